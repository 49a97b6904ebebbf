// The three layouts byte for byte, the write failures, the reader and its conversions.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fakes.h"
#include "instance_names.h"
#include "run_time_error.h"
#include "startup_file.h"
#include "value_conversions.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Expected(const std::string& name) { return ReadFile(MGR_TEST_DATA_DIR "/" + name); }

VMDSInstanceClass Instance(const std::string& name, std::int32_t tcp, const std::string& com) {
  VMDSInstanceClass r;
  r.mInstallDir = "C:\\VMDS\\" + name;
  r.mInstanceName = name;
  r.mServiceName = ServiceNameOf(name);
  r.mServiceDisplayName = ServiceDisplayNameOf(name);
  r.mTCPPort = tcp;
  r.mCOMPort = com;
  return r;
}

// A master with two instances, as in the expected files.
ManagerState MasterWithTwoInstances() {
  ManagerState state;
  state.FirstTimeRun = false;
  state.InstallDir = "C:\\VMDS";
  state.NumberofInstancesInstalled = 2;
  state.InstanceNamesList = "Lab 1%Dock";
  state.UserManualFilename = "VMDS User Manual.pdf";

  VMDSInstanceClass master;
  master.mInstallDir = "C:\\VMDS";
  master.mMasterInstance = true;
  master.mInstanceName = "Master";
  master.mServiceName = kMasterServiceName;
  master.mServiceDisplayName = kMasterServiceDisplayName;
  master.mDebugEnabled = 1;
  master.mTCPPort = 6100;
  master.mCOMPort = "COM1";
  master.mLogFileName = "C:\\VMDS\\vmds.log";
  master.mCOMPortBitRate = 9600;
  master.mCOMPortDataBits = 8;
  master.mCOMPortParity = "NOPARITY";
  master.mCOMPortStopBits = 1;
  master.mDropDTRonSocketClose = 1;
  master.mMaxConnectTime = 3600;
  master.mIdleTimeout = 120;
  state.Instances.Add(master);

  VMDSInstanceClass lab = Instance("Lab 1", 6101, "COM12");
  lab.mCOMPortBitRate = 19200;
  lab.mCOMPortDataBits = 7;
  lab.mCOMPortParity = "EVENPARITY";
  lab.mCOMPortStopBits = 1.5f;
  lab.mDropRTSonSocketClose = 1;
  lab.mIdleTimeout = 60;
  state.Instances.Add(lab);

  VMDSInstanceClass dock = Instance("Dock", 6102, "COM3");
  dock.mDebugEnabled = 1;  // the new-instance layout writes fixed values whatever the record holds
  dock.mRemotePortControl = true;  // and no Protocol line
  dock.mTLSCertificate = "server.pem";  // nor TLS lines
  dock.mTLSKey = "server.key";
  dock.mCOMPortBitRate = 57600;
  dock.mCOMPortStopBits = 2;
  state.Instances.Add(dock);
  return state;
}

TEST(WriteStartupFile, ThreeLayoutsByteForByte) {
  ManagerState state = MasterWithTwoInstances();
  FakeFileSystem fs;
  FakeView view;
  WriteStartupFile(state, fs, view, "C:\\VMDS\\vmds.ini", false, 1);
  WriteStartupFile(state, fs, view, "C:\\VMDS\\Lab 1\\vmds.ini", false, 2);
  WriteStartupFile(state, fs, view, "C:\\VMDS\\Dock\\vmds.ini", true, 3);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(fs.files["C:\\VMDS\\vmds.ini"], Expected("master_expected.ini"));
  EXPECT_EQ(fs.files["C:\\VMDS\\Lab 1\\vmds.ini"], Expected("instance_expected.ini"));
  EXPECT_EQ(fs.files["C:\\VMDS\\Dock\\vmds.ini"], Expected("new_instance_expected.ini"));
}

TEST(WriteStartupFile, StopBitsLineLeftOutAndEmptyLogFileNames) {
  ManagerState state = MasterWithTwoInstances();
  VMDSInstanceClass& lab = state.Instances.Item(2);
  lab.mCOMPortStopBits = 0;
  lab.mLogFileName = "  ";
  std::string text = StartupFileText(state, lab, StartupFileLayout::kInstance);
  EXPECT_EQ(text.find("COMPortStopBits"), std::string::npos);
  EXPECT_NE(text.find("COMPortParity=EVENPARITY\r\nDropDTRonSocketClose=No\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nLogFilename=.\\vmds.log\r\n"), std::string::npos);
  std::string fresh = StartupFileText(state, lab, StartupFileLayout::kNewInstance);
  EXPECT_NE(fresh.find("\r\nLogFilename=\r\n"), std::string::npos);
}

TEST(WriteStartupFile, FailuresAreShownAndTheCallerCarriesOn) {
  ManagerState state = MasterWithTwoInstances();
  FakeFileSystem fs;
  FakeView view;
  fs.errors["C:\\RO\\vmds.ini"] = 5;
  fs.errors["C:\\Gone\\vmds.ini"] = 3;
  fs.errors["C:\\Busy\\vmds.ini"] = 32;
  fs.errors["C:\\Full\\vmds.ini"] = 112;
  WriteStartupFile(state, fs, view, "C:\\RO\\vmds.ini", false, 1);
  WriteStartupFile(state, fs, view, "C:\\Gone\\vmds.ini", false, 1);
  WriteStartupFile(state, fs, view, "C:\\Busy\\vmds.ini", false, 1);
  WriteStartupFile(state, fs, view, "C:\\Full\\vmds.ini", false, 1);
  WriteStartupFile(state, fs, view, "C:\\VMDS\\x.ini", false, 9);  // no such record
  ASSERT_EQ(view.messages.size(), 5u);
  EXPECT_EQ(view.messages[0].text, "Cannot open file for write: C:\\RO\\vmds.ini - file is read-only.");
  EXPECT_EQ(view.messages[1].text, "Cannot open file for write: C:\\Gone\\vmds.ini - path does not exist.");
  EXPECT_EQ(view.messages[2].text, "Cannot open file for write: C:\\Busy\\vmds.ini - file already in use.");
  EXPECT_EQ(view.messages[3].text, "Cannot open file for write: C:\\Full\\vmds.ini - disk is full.");
  EXPECT_EQ(view.messages[4].text, "Cannot open file for write: C:\\VMDS\\x.ini - Error number: 9.");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::kExclamation);
  EXPECT_EQ(WriteFailureMessage("f", 52), "Cannot open file for write: f - illegal filename.");
  EXPECT_EQ(WriteFailureMessage("f", 71), "Cannot open file for write: f - drive not ready.");
}

TEST(ReadStartupFiles, RoundTripOfAMasterWithTwoInstances) {
  ManagerState written = MasterWithTwoInstances();
  written.Instances.Item(3).mCOMPortStopBits = 1;  // what the new-instance layout writes
  written.Instances.Item(2).mAllowedClients = "10.1.2.3, 10.1.5.0/24";
  written.Instances.Item(2).mListenAddress = "127.0.0.1";
  written.Instances.Item(2).mRemotePortControl = true;
  written.Instances.Item(1).mOtherLines = {"Protocol=Telnet"};  // a value the manager keeps as is
  written.Instances.Item(2).mTLSCertificate = "certs\\lab 1.pem";
  written.Instances.Item(2).mTLSKey = "D:\\pki\\lab.key";
  written.Instances.Item(2).mTLSClientCA = "..\\clients.pem";
  written.Instances.Item(1).mTLSCertificate = "master.crt";
  written.Instances.Item(1).mTLSKey = "master.key";
  FakeFileSystem fs;
  FakeView view;
  WriteStartupFile(written, fs, view, "C:\\VMDS\\vmds.ini", false, 1);
  WriteStartupFile(written, fs, view, "C:\\VMDS\\Lab 1\\vmds.ini", false, 2);
  WriteStartupFile(written, fs, view, "C:\\VMDS\\Dock\\vmds.ini", false, 3);
  // After the known keys, each only when set; hand-written lines last.
  EXPECT_NE(fs.files["C:\\VMDS\\Lab 1\\vmds.ini"].find(
                "\r\nProtocol=RFC2217\r\nTLSCertificate=certs\\lab 1.pem\r\n"
                "TLSKey=D:\\pki\\lab.key\r\nTLSClientCA=..\\clients.pem\r\n"),
            std::string::npos);
  EXPECT_NE(fs.files["C:\\VMDS\\vmds.ini"].find(
                "\r\nTLSCertificate=master.crt\r\nTLSKey=master.key\r\nProtocol=Telnet\r\n"),
            std::string::npos);
  // Blanks around a value are not part of it.
  std::string& dockFile = fs.files["C:\\VMDS\\Dock\\vmds.ini"];
  dockFile += "TLSCertificate=  dock.pem \r\nTLSKey= dock.key\r\nTLSClientCA=   \r\n";

  ManagerState read;
  ASSERT_TRUE(ReadStartupFiles(read, fs, view, "C:\\VMDS\\vmds.ini"));
  EXPECT_TRUE(view.messages.empty());
  EXPECT_FALSE(read.FirstTimeRun);
  EXPECT_EQ(read.InstallDir, "C:\\VMDS");
  EXPECT_EQ(read.NumberofInstancesInstalled, 2);
  EXPECT_EQ(read.InstanceNamesList, "Lab 1%Dock");
  EXPECT_EQ(read.UserManualFilename, "VMDS User Manual.pdf");
  ASSERT_EQ(read.Instances.Count(), 3);
  EXPECT_EQ(read.Instances.Item(1), written.Instances.Item(1));
  VMDSInstanceClass lab = written.Instances.Item(2);
  lab.mLogFileName = ".\\vmds.log";  // an empty name is written as the default
  EXPECT_EQ(read.Instances.Item(2), lab);
  VMDSInstanceClass dock = written.Instances.Item(3);
  dock.mLogFileName = ".\\vmds.log";
  dock.mTLSCertificate = "dock.pem";  // the last line of a key wins
  dock.mTLSKey = "dock.key";
  EXPECT_EQ(read.Instances.Item(3), dock);
  EXPECT_EQ(view.rows, (std::vector<InstanceListRow>{{"Master", "6100", "COM  1"},
                                                     {"Lab 1", "6101", "COM 12"},
                                                     {"Dock", "6102", "COM  3"}}));
}

// Lines the manager does not write itself: a comment above the header, unknown keys between
// and after its own (a key differing only in case is not its key), a second section, blank lines
// between two of them; in an instance file also the keys only the master file holds.
TEST(ReadStartupFiles, HandWrittenLinesFollowTheOwnLinesInTheirOrderOnEveryRewrite) {
  ManagerState written = MasterWithTwoInstances();
  written.NumberofInstancesInstalled = 1;
  written.InstanceNamesList = "Lab 1";
  FakeFileSystem fs;
  FakeView view;
  WriteStartupFile(written, fs, view, "C:\\VMDS\\vmds.ini", false, 1);
  WriteStartupFile(written, fs, view, "C:\\VMDS\\Lab 1\\vmds.ini", false, 2);
  const std::string masterOwn = fs.files["C:\\VMDS\\vmds.ini"];
  const std::string labOwn = fs.files["C:\\VMDS\\Lab 1\\vmds.ini"];
  auto insertAfter = [](std::string& text, const std::string& line, const std::string& added) {
    std::size_t at = text.find(line + "\r\n");
    ASSERT_NE(at, std::string::npos) << line;
    text.insert(at + line.size() + 2, added);
  };
  std::string master = "# Line B, ask the shift lead\r\n" + masterOwn;
  insertAfter(master, "InstallDir=C:\\VMDS", "Site = North hall\r\n");
  insertAfter(master, "COMPort=COM1", "tcpport=1\n");
  master += " \r\n[Extra]\r\nOwner=Maintenance\r\n\t\r\n;Shift=night \r\n \r\n\r\n";
  std::string lab = labOwn + "UserManualFilename=lab.pdf\r\n# AllowedClients=10.0.0.1";
  insertAfter(lab, "MasterInstance=False", "\r\nFirstTimeRun=True\r\n");
  fs.files["C:\\VMDS\\vmds.ini"] = master;
  fs.files["C:\\VMDS\\Lab 1\\vmds.ini"] = lab;

  const std::vector<std::string> masterOther = {"# Line B, ask the shift lead", "Site = North hall",
                                                "tcpport=1", "[Extra]", "Owner=Maintenance", "\t",
                                                ";Shift=night "};
  const std::vector<std::string> labOther = {"FirstTimeRun=True", "UserManualFilename=lab.pdf",
                                             "# AllowedClients=10.0.0.1"};
  auto joined = [](const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
  };
  for (int round = 1; round <= 2; ++round) {  // the second round reads what the first wrote
    SCOPED_TRACE(round);
    ManagerState read;
    ASSERT_TRUE(ReadStartupFiles(read, fs, view, "C:\\VMDS\\vmds.ini"));
    ASSERT_EQ(read.Instances.Count(), 2);
    EXPECT_EQ(read.Instances.Item(1).mOtherLines, masterOther);
    EXPECT_EQ(read.Instances.Item(2).mOtherLines, labOther);
    EXPECT_EQ(read.Instances.Item(1).mCOMPort, "COM1");
    EXPECT_EQ(read.Instances.Item(1).mTCPPort, 6100);
    EXPECT_FALSE(read.FirstTimeRun);
    EXPECT_EQ(read.UserManualFilename, "VMDS User Manual.pdf");
    WriteStartupFile(read, fs, view, "C:\\VMDS\\vmds.ini", false, 1);
    WriteStartupFile(read, fs, view, "C:\\VMDS\\Lab 1\\vmds.ini", false, 2);
    EXPECT_EQ(fs.files["C:\\VMDS\\vmds.ini"], masterOwn + joined(masterOther));
    EXPECT_EQ(fs.files["C:\\VMDS\\Lab 1\\vmds.ini"], labOwn + joined(labOther));
  }
  EXPECT_TRUE(view.messages.empty());
}

// A master file naming `count` instances from `list`, and instance files for Lab and Dock.
FakeFileSystem FilesWith(const std::string& count, const std::string& list) {
  FakeFileSystem fs;
  fs.files["C:\\VMDS\\vmds.ini"] =
      "[header]\r\n \r\nMasterInstance=True\r\nInstanceName=Master\r\nTCPPort=6100\r\n"
      "COMPort=COM1\r\nNumberofInstancesInstalled=" + count + "\r\nInstanceNamesList=" + list +
      "\r\n";
  fs.files["C:\\VMDS\\Lab\\vmds.ini"] = "InstanceName=Renamed\r\nTCPPort=6101\r\nCOMPort=COM2\r\n";
  fs.files["C:\\VMDS\\Dock\\vmds.ini"] = "TCPPort=6102\r\nCOMPort=COM3\r\n";
  return fs;
}

std::vector<std::string> Names(const ManagerState& state) {
  std::vector<std::string> names;
  for (int i = 1; i <= state.Instances.Count(); ++i) names.push_back(state.Instances.Item(i).mInstanceName);
  return names;
}

TEST(ReadStartupFiles, InstanceNameLineDoesNotRename) {
  FakeFileSystem fs = FilesWith("1", "Lab");
  FakeView view;
  ManagerState state;
  ASSERT_TRUE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
  EXPECT_EQ(Names(state), (std::vector<std::string>{"Master", "Lab"}));
}

TEST(ReadStartupFiles, CountLargerThanTheListStartsAgainFromTheFirstName) {
  FakeFileSystem fs = FilesWith("3", "Lab%Dock");
  FakeView view;
  ManagerState state;
  ASSERT_TRUE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
  EXPECT_EQ(Names(state), (std::vector<std::string>{"Master", "Lab", "Dock", "Lab"}));
  EXPECT_EQ(view.rows.size(), 4u);
}

TEST(ReadStartupFiles, CountSmallerThanTheListLoadsTheFirstNames) {
  FakeFileSystem fs = FilesWith("1", "Lab%Dock");
  FakeView view;
  ManagerState state;
  ASSERT_TRUE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
  EXPECT_EQ(Names(state), (std::vector<std::string>{"Master", "Lab"}));
}

TEST(ReadStartupFiles, LowerCaseYesIsOffAndMissingStopBitsStayUnset) {
  FakeFileSystem fs = FilesWith("1", "Lab");
  fs.files["C:\\VMDS\\Lab\\vmds.ini"] =
      "TCPPort=6101\r\nCOMPort=COM2\r\nDebugEnabled=yes\r\nDropDTRonSocketClose= Yes \r\n"
      "COMPortStopBits=THREE\r\n";
  FakeView view;
  ManagerState state;
  ASSERT_TRUE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
  EXPECT_EQ(state.Instances.Item(2).mDebugEnabled, 0);
  EXPECT_EQ(state.Instances.Item(2).mDropDTRonSocketClose, 1);
  EXPECT_EQ(state.Instances.Item(2).mCOMPortStopBits, 0.0f);
  EXPECT_EQ(StartupFileText(state, state.Instances.Item(2), StartupFileLayout::kInstance)
                .find("COMPortStopBits"),
            std::string::npos);
}

TEST(ReadStartupFiles, ANonMasterItemOneLoadsNothingElse) {
  for (const char* master : {"MasterInstance=False\r\nInstanceName=Master\r\n",
                             "MasterInstance=True\r\nInstanceName=master\r\n"}) {
    FakeFileSystem fs = FilesWith("2", "Lab%Dock");
    fs.files["C:\\VMDS\\vmds.ini"] += master;
    FakeView view;
    ManagerState state;
    EXPECT_TRUE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
    EXPECT_EQ(state.Instances.Count(), 1);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_TRUE(view.messages.empty());
  }
}

TEST(ReadStartupFiles, ShortCOMPortEndsTheStartUp) {
  FakeFileSystem fs = FilesWith("1", "Lab");
  fs.files["C:\\VMDS\\Lab\\vmds.ini"] = "TCPPort=6101\r\nCOMPort=C1\r\n";
  FakeView view;
  ManagerState state;
  EXPECT_FALSE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text,
            "Cannot open for read, C:\\VMDS\\Lab\\vmds.ini, Error 5, Invalid procedure call or "
            "argument.");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::kCritical);
}

TEST(ReadStartupFiles, MissingFilesAndBadValuesAreReadFailures) {
  struct Case {
    std::string masterExtra;
    int labError;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"", 3, "Cannot open for read, C:\\VMDS\\Lab\\vmds.ini, path does not exist"},
           {"", 2, "Cannot open for read, C:\\VMDS\\Lab\\vmds.ini, file not found"},
           {"FirstTimeRun=maybe\r\n", 0, "Cannot open for read, C:\\VMDS\\vmds.ini, Error 13, Type mismatch."},
           {"NumberofInstancesInstalled=40000\r\n", 0, "Cannot open for read, C:\\VMDS\\vmds.ini, Error 6, Overflow."},
       }) {
    FakeFileSystem fs = FilesWith("1", "Lab");
    fs.files["C:\\VMDS\\vmds.ini"] += c.masterExtra;
    if (c.labError) fs.errors["C:\\VMDS\\Lab\\vmds.ini"] = c.labError;
    FakeView view;
    ManagerState state;
    EXPECT_FALSE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, c.message);
  }
  FakeFileSystem none;
  FakeView view;
  ManagerState state;
  EXPECT_FALSE(ReadStartupFiles(state, none, view, "C:\\VMDS\\vmds.ini"));
  EXPECT_EQ(view.messages.at(0).text, "Cannot open for read, C:\\VMDS\\vmds.ini, file not found");
}

// Found by the fuzz target manager_startup_files: a listed name that is empty (a count without a
// list), "..", a path or a drive led the reader to a file outside the manager's directory (or to
// the master file itself). Such a name is an illegal file name, refused before anything is read;
// a name ending in a dot still loads (RemoveInstance tests).
TEST(ReadStartupFiles, NamesLeadingOutsideTheManagerDirectoryAreIllegalFileNames) {
  {
    // The fuzzer's input, minimized: a count of 1 and no InstanceNamesList line.
    FakeFileSystem fs;
    fs.files["C:\\VMDS\\vmds.ini"] =
        "MasterInstance=1\rInstanceName=Master\nCOMPort=COM7\rNumberofInstancesInstalled=1";
    fs.files["C:\\VMDS\\\\vmds.ini"] = "COMPort=COM2\r\n";
    FakeView view;
    ManagerState state;
    EXPECT_FALSE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
    EXPECT_EQ(state.Instances.Count(), 1);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text,
              "Cannot open for read, C:\\VMDS\\\\vmds.ini, illegal filename");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::kCritical);
  }
  for (const std::string& name : std::vector<std::string>{
           "..", "..\\..\\Windows", "../x", "D:", "C:\\Other", ". .", ".", " .", "a\\b",
           std::string("..\0x", 4), "Lab\t1",
           // Windows drops trailing dots and blanks: these would read and write Dock's file.
           "Dock.", "Dock. .", "Lab*", "Lab?"}) {
    FakeFileSystem fs = FilesWith("2", "Lab%" + name);
    fs.files["C:\\VMDS\\" + name + "\\vmds.ini"] = "TCPPort=6103\r\nCOMPort=COM4\r\n";
    FakeView view;
    ManagerState state;
    EXPECT_FALSE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini")) << name;
    EXPECT_EQ(Names(state), (std::vector<std::string>{"Master", "Lab"})) << name;
    ASSERT_EQ(view.messages.size(), 1u) << name;
    EXPECT_EQ(view.messages[0].text,
              "Cannot open for read, C:\\VMDS\\" + name + "\\vmds.ini, illegal filename");
  }
}

TEST(ReaderConversions, NumbersBooleansAndTrimming) {
  EXPECT_EQ(ReadNumber32(" 6100 "), 6100);
  EXPECT_EQ(ReadNumber32("61 00"), 6100);  // blanks are skipped
  EXPECT_EQ(ReadNumber32("120s"), 120);
  EXPECT_EQ(ReadNumber32("abc"), 0);
  EXPECT_EQ(ReadNumber32(""), 0);
  EXPECT_EQ(ReadNumber32("2.5"), 2);
  EXPECT_EQ(ReadNumber32("3.5"), 4);
  EXPECT_EQ(ReadNumber32("-2.5"), -2);
  EXPECT_EQ(ReadNumber32("1e3"), 1000);
  EXPECT_THROW(ReadNumber16("32768"), RunTimeFailure);
  EXPECT_EQ(ReadNumber16("32767.4"), 32767);
  EXPECT_THROW(ReadNumber32("2147483648"), RunTimeFailure);
  EXPECT_TRUE(ReadBoolean(" TRUE "));
  EXPECT_FALSE(ReadBoolean("false"));
  EXPECT_TRUE(ReadBoolean("-1"));
  EXPECT_FALSE(ReadBoolean("0"));
  EXPECT_THROW(ReadBoolean("Yes"), RunTimeFailure);
  EXPECT_THROW(ReadBoolean(""), RunTimeFailure);
  EXPECT_EQ(ReadYes(" Yes "), 1);
  EXPECT_EQ(ReadYes("YES"), 0);
  EXPECT_EQ(Trim("  a b  "), "a b");
}

TEST(ReaderConversions, LinesEndAtCrLfCrOrLf) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n \r\n"), (std::vector<std::string>{"a", " "}));
}

TEST(ShippedMasterFile, IsAFirstRunMasterWithCrLfLines) {
  std::string text = ReadFile(VMDS_SHIPPED_MASTER_INI);
  ASSERT_FALSE(text.empty());
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "line end at " << i;
    }
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
  FakeFileSystem fs;
  fs.files["C:\\VMDS\\vmds.ini"] = text;
  FakeView view;
  ManagerState state;
  ASSERT_TRUE(ReadStartupFiles(state, fs, view, "C:\\VMDS\\vmds.ini"));
  EXPECT_TRUE(state.FirstTimeRun);
  EXPECT_EQ(state.NumberofInstancesInstalled, 0);
  EXPECT_EQ(view.rows, (std::vector<InstanceListRow>{{"Master", "6100", "COM  1"}}));
  const VMDSInstanceClass& master = state.Instances.Item(1);
  EXPECT_EQ(master.mCOMPortBitRate, 9600);
  EXPECT_EQ(master.mCOMPortDataBits, 8);
  EXPECT_EQ(master.mCOMPortParity, "NOPARITY");
  EXPECT_EQ(master.mCOMPortStopBits, 1.0f);
  // Written back in the master layout, the file is the same byte for byte.
  WriteStartupFile(state, fs, view, "C:\\VMDS\\copy.ini", false, 1);
  EXPECT_EQ(fs.files["C:\\VMDS\\copy.ini"], text);
}

}  // namespace
