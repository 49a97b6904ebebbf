// The main window's behaviour over a scripted view: start-up and the first run, the single-copy
// check, sorting, centring, the editor's change tracking, Save with its refusals and the service
// restart, switching instances and closing.
#include "presenter_rig.h"

namespace {

class MainPresenterTest : public ::testing::Test, public Rig {};
class Started : public MainPresenterTest {
 protected:
  void SetUp() override { Start(); }
};

TEST_F(MainPresenterTest, StartUpShowsTheMasterWithSaveAndRemoveDisabled) {
  ASSERT_TRUE(presenter.FormLoad());
  EXPECT_EQ(Messages(), Strings{});
  EXPECT_EQ(services.calls, Strings{});  // nothing written, no service touched
  EXPECT_EQ(view.columns, (std::vector<ListColumn>{{"Instance Name", 100, ColumnAlignment::kLeft},
                                                   {"TCP Port", 68, ColumnAlignment::kCenter},
                                                   {"Serial Port", 92, ColumnAlignment::kCenter},
                                                   {"State", 140, ColumnAlignment::kLeft}}));
  EXPECT_EQ(view.rows, (std::vector<InstanceListRow>{{"Master", "6100", "COM  1"},
                                                     {"Lab 1", "10001", "COM 12"},
                                                     {"Dock", "2000", "COM  3"},
                                                     {"bay", "7000", "COM  1"}}));
  EXPECT_EQ(presenter.Rows(), view.rows);
  EXPECT_EQ(view.selectedRow, 0);
  EXPECT_EQ(view[SerialPortComboBox].entries.size(), 255u);
  EXPECT_EQ(view[SerialPortComboBox].entries.back(), "COM255");
  EXPECT_EQ(view[BitRateComboBox].entries, (Strings{"110", "300", "600", "1200", "2400", "4800",
                                                    "9600", "14400", "19200", "28800", "38400",
                                                    "57600", "115200"}));
  EXPECT_EQ(view[DataBitsComboBox].entries, (Strings{"5", "6", "7", "8"}));
  EXPECT_EQ(view[ParityComboBox].entries, (Strings{"None", "Even", "Odd", "Space", "Mark"}));
  EXPECT_EQ(view[StopBitsComboBox].entries, (Strings{"1", "1.5", "2"}));
  EXPECT_EQ(Editor(), (Strings{"6100", "COM1", "9600", "8", "None", "1", "3600", "120", "on", "off",
                               kDir + "\\vmds.log", "off"}));
  EXPECT_EQ(view[InstanceNameValueLabel].text, "Master");
  EXPECT_EQ(view[ServiceDisplayNameValueLabel].text, "Daltrimore VMDS Mstr");
  EXPECT_EQ(view[HostDomainNameTextBox].text, "bench-pc");
  EXPECT_EQ(view[ExitCmdBtn].toolTip,
            "Click the Exit button to exit Velmora Device Server - Instance Manager");
  EXPECT_FALSE(view[SaveCmdBtn].enabled);
  EXPECT_FALSE(view[cmdRemoveInstance].enabled);
  EXPECT_EQ(Progress(), "");
  EXPECT_EQ(view.moves, (std::vector<std::pair<int, int>>{{62, 134}}));
  EXPECT_EQ(presenter.CurrentInstanceName(), "Master");
  EXPECT_EQ(presenter.CurrentInstanceIndex(), 1);
  presenter.FormActivate(ActivatedFrom::kMessageBox);  // the first activation, from anywhere
  EXPECT_EQ(view.focus, VMDSInstanceListView);
  view[cmdRemoveInstance].enabled = true;
  presenter.ListGotFocus();  // the master is shown
  EXPECT_FALSE(view[cmdRemoveInstance].enabled);
  EXPECT_EQ(GeneralErrorText(13, "Type mismatch"), "Error Code:  13, Type mismatch");
  EXPECT_EQ(GeneralErrorText(-2147, "y"), "Error Code: -2147, y");
}

TEST(MainPresenterFirstRun, RegistersTheMasterBetweenTwoWritesOfItsFile) {
  const std::string notStarted =
      "Master instance was created successfully but the service, \"Daltrimore VMDS Mstr\" could "
      "not be started. Check the log file for details.";
  const std::string notCreated =
      "Master instance could not be created. Program is aborting due to inappropriate privileges "
      "or a duplicate service entry in the service control manager.";
  std::ifstream shipped(VMDS_SHIPPED_MASTER_INI, std::ios::binary);
  std::ostringstream firstRunFile;
  firstRunFile << shipped.rdbuf();
  struct Case {
    std::uint32_t stateAfterStart;  // 0: the name is taken already and registering fails
    Strings messages;
  };
  for (const Case& c : std::vector<Case>{
           {kServiceRunning, {}}, {kServiceStopped, {notStarted}}, {0, {notCreated}}}) {
    SCOPED_TRACE(c.stateAfterStart);
    Rig rig;
    rig.files.files = {{kMasterFile, firstRunFile.str()}};
    rig.services.services.clear();
    if (c.stateAfterStart == 0) rig.services.services[kMasterServiceName] = {};
    rig.services.statesAfterCreate[kMasterServiceName] = {c.stateAfterStart};
    EXPECT_EQ(rig.presenter.FormLoad(), c.stateAfterStart != 0);
    EXPECT_EQ(rig.Messages(), c.messages);
    const Strings& writes = rig.files.writes;
    ASSERT_EQ(writes.size(), c.stateAfterStart ? 2u : 1u);
    EXPECT_TRUE(Has(writes[0], "FirstTimeRun=True\r\n"));  // on disk before the service starts
    EXPECT_TRUE(Has(writes[0], "LogFilename=" + kDir + "\\vmds.log\r\n"));
    Strings calls = rig.services.calls;
    calls.resize(std::min<std::size_t>(calls.size(), 3));
    EXPECT_EQ(calls, (Strings{"Write " + kMasterFile, "OpenSCManager 0x20002",
                              "CreateService Daltrimore_VMDS_Mstr"}));
    if (c.stateAfterStart == 0) {
      EXPECT_TRUE(Has(rig.files.files[kMasterFile], "FirstTimeRun=True\r\n"));
      continue;
    }
    EXPECT_EQ(rig.services.registrations.at(0).DisplayName, "Daltrimore VMDS Mstr");
    EXPECT_EQ(rig.services.registrations.at(0).BinaryPathName,
              QuotedProgramPath(kDir + "\\vmds.exe"));
    EXPECT_EQ(rig.services.calls.back(), "Write " + kMasterFile);
    EXPECT_TRUE(Has(writes[1], "FirstTimeRun=False\r\nInstallDir=" + kDir + "\r\n"));
    EXPECT_TRUE(Has(writes[1], "LogFilename=" + kDir + "\\vmds.log\r\n"));
    EXPECT_FALSE(rig.presenter.State().FirstTimeRun);
    EXPECT_FALSE(rig.view[SaveCmdBtn].enabled);
  }
}

TEST(MainPresenterSingleCopy, ASecondRunningCopyEndsStartUpSilently) {
  const std::string nulTail("VMDSMGR.EXE\0junk", 16);
  const std::string nulsAtEnd("D:\\b\\vmdsmgr.EXE\0\0", 18);
  struct Case {
    bool nt4;
    Strings snapshot, modules;
    bool anotherCopy;
  };
  for (const Case& c : std::vector<Case>{
           {false, {"System", "VMDSMgr.exe"}, {}, false},
           {false, {"VMDSMgr.exe", "vmdsmgr.EXE"}, {}, true},
           {false, {"VMDSMgr.exe", "OldVMDSMgr.exe"}, {}, true},  // the ending is enough
           {false, {"VMDSMgr.exe", nulTail}, {}, true},
           {false, {"VMDSMgr.exe", "VMDSMgr.exe.bak"}, {}, false},
           {true, {"VMDSMgr.exe", "VMDSMgr.exe"}, {"C:\\VMDS\\VMDSMgr.exe"}, false},
           {true, {}, {"C:\\VMDS\\VMDSMgr.exe", nulsAtEnd}, true},
           {true, {}, {"C:\\VMDS\\VMDSMgr.exe", "C:\\VMDS\\OldVMDSMgr.exe"}, false},
       }) {
    SCOPED_TRACE(testing::PrintToString(c.nt4 ? c.modules : c.snapshot));
    Rig rig;
    rig.system.nt4 = c.nt4;
    rig.system.snapshot = c.snapshot;
    rig.system.modules = c.modules;
    EXPECT_EQ(rig.presenter.FormLoad(), !c.anotherCopy);
    EXPECT_EQ(rig.Messages(), Strings{});
    if (c.anotherCopy) {
      EXPECT_EQ(rig.services.calls, Strings{});  // nothing written either
    }
  }
}

TEST_F(Started, ColumnClicksReverseTheOneDirectionAndCompareTextIgnoringCase) {
  for (const auto& [column, order] : std::vector<std::pair<int, Strings>>{
           {1, {"bay", "Master", "Dock", "Lab 1"}},  // the first click sorts descending
           {1, {"Lab 1", "Dock", "Master", "bay"}},  // '10001' before '2000'
           {0, {"Master", "Lab 1", "Dock", "bay"}},
           {4, {"bay", "Dock", "Lab 1", "Master"}},  // no such column: the last one, reversed
           {2, {"Lab 1", "Dock", "bay", "Master"}},  // 'COM 12' before 'COM  3'; ties keep order
       }) {
    presenter.ColumnClick(column);
    EXPECT_EQ(RowNames(), order) << column;
    EXPECT_EQ(presenter.Rows(), view.rows);
    ASSERT_GE(view.selectedRow, 0) << "the shown instance's row stays selected";
    EXPECT_EQ(view.rows[static_cast<std::size_t>(view.selectedRow)].InstanceName, "Master");
  }
  ClickRow(2);  // positions are those of the shown order
  EXPECT_EQ(presenter.CurrentInstanceName(), "bay");
  EXPECT_EQ(presenter.CurrentInstanceIndex(), 4);
  Type(TCPPortNumberTextBox, "7001");
  Pick(SerialPortComboBox, "COM9");
  presenter.SaveClick();
  EXPECT_EQ(view.rows[2], (InstanceListRow{"bay", "7001", "COM  9"}));
}

TEST_F(Started, ResizeCentresAndKeepsAnOversizedWindowAtTheTopLeftEdge) {
  struct Case {
    int screenWidth, screenHeight, width, height;
    bool minimised;
    std::vector<std::pair<int, int>> moves;
  };
  for (const Case& c : std::vector<Case>{{1024, 768, 900, 500, false, {{62, 134}}},
                                         {800, 600, 900, 500, false, {{0, 50}}},
                                         {800, 600, 700, 700, false, {{50, 0}}},
                                         {800, 600, 900, 700, false, {{0, 0}}},
                                         {1024, 768, 900, 500, true, {}}}) {
    view.screen = {0, 0, c.screenWidth, c.screenHeight};
    view.window = {5, 5, c.width, c.height};
    view.minimised = c.minimised;
    view.moves.clear();
    presenter.FormResize();
    EXPECT_EQ(view.moves, c.moves) << c.width << "x" << c.height;
  }
}

TEST_F(MainPresenterTest, OnlyTheFirstActivationAndAHandBackFromADialogFocusTheList) {
  Start();
  for (const auto& [from, focused] : std::vector<std::pair<ActivatedFrom, bool>>{
           {ActivatedFrom::kOtherProgram, true},  // the first one
           {ActivatedFrom::kOtherProgram, false},
           {ActivatedFrom::kMessageBox, false},
           {ActivatedFrom::kOwnWindow, true}}) {
    view.focus = ExitCmdBtn;
    presenter.FormActivate(from);
    EXPECT_EQ(view.focus, focused ? VMDSInstanceListView : ExitCmdBtn) << static_cast<int>(from);
  }
}

// Loading centres the dialog; a later resize keeps it at an edge the main window sits on.
TEST_F(Started, TheAddDialogIsCentredAndFollowsTheMainWindowToTheScreenEdge) {
  struct Case {
    int mainLeft, mainTop;
    bool loading;
    std::pair<int, int> place;
  };
  for (const Case& c : std::vector<Case>{{0, 0, true, {352, 284}},
                                         {0, 50, false, {0, 284}},
                                         {50, 0, false, {352, 0}},
                                         {50, 50, false, {352, 284}}}) {
    view.screen = {0, 0, 1024, 768};
    view.window = {c.mainLeft, c.mainTop, 900, 500};
    FakeAddDialog dialog;
    presenter.AddDialogPlace(dialog, c.loading);
    EXPECT_EQ(dialog.moves, (std::vector<std::pair<int, int>>{c.place})) << c.mainLeft << c.mainTop;
  }
}

TEST_F(Started, SwitchingShowsTheRecordAndLeavesUnknownParityAndStopBitsAlone) {
  ClickRow(1);
  EXPECT_EQ(Editor(), (Strings{"10001", "COM12", "19200", "7", "Even", "1.5", "0", "60", "off", "on",
                               ".\\vmds.log", "on"}));
  EXPECT_EQ(view[ServiceDisplayNameValueLabel].text, "Daltrimore VMDS Lab 1");
  EXPECT_EQ(presenter.CurrentInstanceIndex(), 2);
  EXPECT_FALSE(view[SaveCmdBtn].enabled);
  EXPECT_EQ(Progress(), "");
  presenter.ListGotFocus();
  EXPECT_TRUE(view[cmdRemoveInstance].enabled);
  ClickRow(0);
  EXPECT_FALSE(view[cmdRemoveInstance].enabled);
  ClickRow(3);
  EXPECT_EQ(Editor(), (Strings{"7000", "COM1", "9600", "7", "None", "1", "0", "120", "off", "off",
                               ".\\vmds.log", "off"}));
  EXPECT_EQ(presenter.DetectChange(4), 1);  // "None" is not the record's token
  EXPECT_EQ(Messages(), Strings{});
}

TEST(MainPresenterEditor, ARecordThatCannotBeShownIsReportedAndTheRestKeptAsItWas) {
  Rig rig;
  std::string& dock = rig.files.files[InstanceFile("Dock")];
  dock.replace(dock.find("BitRate=57600"), 13, "BitRate=1234");
  dock.replace(dock.find("DataBits=8"), 10, "DataBits=5");
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  rig.ClickRow(2);
  Strings shown = rig.Messages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind("Error Code: ", 0), 0u) << shown[0];
  EXPECT_EQ(rig.Editor(), (Strings{"2000", "COM3", "9600", "8", "None", "1", "3600", "120", "on",
                                   "off", kDir + "\\vmds.log", "off"}));
  EXPECT_EQ(rig.presenter.CurrentInstanceName(), "Dock");
  EXPECT_FALSE(rig.view[SaveCmdBtn].enabled);
}

TEST_F(Started, EveryEditEnablesSaveAndDetectChangeComparesNumbersAsNumbers) {
  const std::string log = kDir + "\\vmds.log";
  struct Case {
    const char* what;
    std::function<void()> act;
    int differs;
  };
  for (const Case& c : std::vector<Case>{
           {"idle 0120", [&] { Type(MaxIdleTimeTextBox, "0120"); }, 0},
           {"tcp 06100", [&] { Type(TCPPortNumberTextBox, " 06100"); }, 0},
           {"log in blanks", [&] { Type(BrowseLogFileTextBox, "  " + log + " "); }, 0},
           {"click into conn", [&] { presenter.EditorChanged(MaxConnTimeTextBox); }, 0},
           {"click into idle", [&] { presenter.EditorChanged(MaxIdleTimeTextBox); }, 0},
           {"DTR undone", [&] { Click(DropDTRCheckBox); Click(DropDTRCheckBox); }, 0},
           {"tcp", [&] { Type(TCPPortNumberTextBox, "6101"); }, 1},
           {"serial", [&] { Pick(SerialPortComboBox, "COM2"); }, 1},
           {"bit rate", [&] { Pick(BitRateComboBox, "19200"); }, 1},
           {"data bits", [&] { Pick(DataBitsComboBox, "7"); }, 1},
           {"parity", [&] { Pick(ParityComboBox, "Mark"); }, 1},
           {"stop bits", [&] { Pick(StopBitsComboBox, "2"); }, 1},
           {"DTR", [&] { Click(DropDTRCheckBox); }, 1},
           {"RTS", [&] { Click(DropRTSCheckBox); }, 1},
           {"conn", [&] { Type(MaxConnTimeTextBox, "3601"); }, 1},
           {"idle", [&] { Type(MaxIdleTimeTextBox, "12"); }, 1},
           {"log", [&] { Type(BrowseLogFileTextBox, log + "x"); }, 1},
           {"debug", [&] { Click(EnableDebugModeCheckBox); }, 1},
           {"clients in blanks", [&] { Type(AllowedClientsTextBox, "   "); }, 0},
           {"listen in blanks", [&] { Type(ListenAddressTextBox, " "); }, 0},
           {"clients", [&] { Type(AllowedClientsTextBox, "10.1.2.3"); }, 1},
           {"listen", [&] { Type(ListenAddressTextBox, "127.0.0.1"); }, 1},
           {"port control undone",
            [&] { Click(RemotePortControlCheckBox); Click(RemotePortControlCheckBox); }, 0},
           {"port control", [&] { Click(RemotePortControlCheckBox); }, 1},
           {"TLS in blanks",
            [&] {
              Type(TLSCertificateTextBox, " ");
              Type(TLSKeyTextBox, "   ");
              Type(TLSClientCATextBox, "  ");
            },
            0},
           {"certificate", [&] { Type(TLSCertificateTextBox, "server.pem"); }, 1},
           {"key", [&] { Type(TLSKeyTextBox, "server.key"); }, 1},
           {"client CA", [&] { Type(TLSClientCATextBox, "ca.pem"); }, 1},
       }) {
    SCOPED_TRACE(c.what);
    presenter.LoadInstance("Master", 1);
    view[SaveCmdBtn].enabled = false;
    view[ProgressLabel].text = "";
    c.act();
    EXPECT_TRUE(view[SaveCmdBtn].enabled);
    EXPECT_EQ(Progress(), kChangeHint);
    EXPECT_EQ(presenter.DetectChange(1), c.differs);
    EXPECT_EQ(Progress(), c.differs ? kChangeHint : "");
  }
  EXPECT_EQ(Messages(), Strings{});
}

TEST_F(Started, DefaultSettingsResetsNineControlsAndKeepsPortsAndLog) {
  ClickRow(1);
  presenter.DefaultSettingsClick();
  EXPECT_EQ(Editor(), (Strings{"10001", "COM12", "1200", "8", "None", "1", "0", "120", "off", "off",
                               ".\\vmds.log", "off"}));
  EXPECT_TRUE(view[SaveCmdBtn].enabled);
  EXPECT_EQ(Progress(), kChangeHint);
  EXPECT_EQ(Record(2).mCOMPortBitRate, 19200);
}

TEST_F(Started, SaveRefusesBadValuesInTheOrderOfItsChecksAndStoresNothing) {
  ClickRow(1);  // 7 data bits, Even, 1.5 stop bits
  const VMDSInstanceClass before = Record(2);
  Type(MaxConnTimeTextBox, "-1");
  Type(MaxIdleTimeTextBox, "-1");
  Type(BrowseLogFileTextBox, "  " + std::string(231, 'L') + "  ");
  Pick(SerialPortComboBox, "COM1");
  Pick(DataBitsComboBox, "8");
  // Each step mends or changes one value; only the first failing check is reported.
  for (const auto& [control, value, message] :
       std::vector<std::tuple<Control, std::string, std::string>>{
           {TCPPortNumberTextBox, "0", kRange},
           {TCPPortNumberTextBox, "65536", kRange},
           {TCPPortNumberTextBox, "8080.0", kRange},
           {TCPPortNumberTextBox, "6100", TcpInUse("6100", "Master")},
           {TCPPortNumberTextBox, " 2000 ", TcpInUse("2000", "Dock")},
           {TCPPortNumberTextBox, "65535", SerialInUse("COM1", "Master")},  // bay's too
           {SerialPortComboBox, "COM42", kParity},                        // 8 with Even
           {ParityComboBox, "None", kStop},                               // 8 with 1.5
           {StopBitsComboBox, "1", kConn},
           {MaxConnTimeTextBox, "1.5", kConn},
           {MaxConnTimeTextBox, "10s", kConn},
           {MaxConnTimeTextBox, "0", kIdle},
           {MaxIdleTimeTextBox, "1.5", kIdle},
           {MaxIdleTimeTextBox, "10s", kIdle},
           {MaxIdleTimeTextBox, "0", kLog},
       }) {
    Edit(control, value);
    presenter.SaveClick();
    EXPECT_EQ(Messages(), Strings{message}) << value;
    EXPECT_TRUE(view[SaveCmdBtn].enabled);
    EXPECT_EQ(Record(2), before);
    EXPECT_EQ(view.rows[1], (InstanceListRow{"Lab 1", "10001", "COM 12"}));
  }
  EXPECT_EQ(services.calls, Strings{});
  Type(BrowseLogFileTextBox, std::string(230, 'L'));
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{kRestartStarted});
  EXPECT_EQ(Record(2).mLogFileName, std::string(230, 'L'));
  EXPECT_EQ(Record(2).mTCPPort, 65535);
}

// Allowed clients: IPv4 addresses and ranges separated by commas, blanks around each; Listen
// address: one IPv4 address. Empty means anyone and all addresses, and is what a new instance
// gets.
TEST_F(Started, AllowedClientsAndListenAddressAreCheckedSavedAndShown) {
  const std::string kClients =
      "Please enter IPv4 addresses or ranges such as 10.1.2.3 or 10.1.5.0/24, separated by "
      "commas, in the Allowed clients field." + kAborted;
  const std::string kListen =
      "Please enter one IPv4 address such as 127.0.0.1, or nothing for all addresses, in the "
      "Listen address field." + kAborted;
  ClickRow(1);
  EXPECT_EQ(view[AllowedClientsTextBox].text, "");
  EXPECT_EQ(view[ListenAddressTextBox].text, "");
  const VMDSInstanceClass before = Record(2);
  for (const auto& [clients, listen, message] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"10.1.2", "", kClients},
           {"10.1.2.3.4", "", kClients},
           {"256.1.2.3", "", kClients},
           {"10.1.2.3/33", "", kClients},
           {"10.1.2.3/", "", kClients},
           {"10.1.2.3/08", "", kClients},
           {"010.1.2.3", "", kClients},
           {"+10.1.2.3", "", kClients},
           {"10.1.2.3,", "", kClients},
           {", 10.1.2.3", "", kClients},
           {"10.1.2.3,,10.1.2.4", "", kClients},
           {"10.1.2.3 10.1.2.4", "", kClients},
           {"10.1.2.3; 10.1.2.4", "", kClients},
           {"plc.example", "", kClients},
           {"0.0.0.0/0", "127.0.0.1/32", kListen},
           {"255.255.255.255/32", "10.1.2.3, 10.1.2.4", kListen},
           {"10.1.2.3", "localhost", kListen},
           {"10.1.2.3", "1.2.3", kListen},
           {"10.1.2.3", "1.2.3.256", kListen},
       }) {
    Type(AllowedClientsTextBox, clients);
    Type(ListenAddressTextBox, listen);
    presenter.SaveClick();
    EXPECT_EQ(Messages(), Strings{message}) << clients << " | " << listen;
    EXPECT_TRUE(view[SaveCmdBtn].enabled);
    EXPECT_EQ(Record(2), before);
  }
  EXPECT_EQ(services.calls, Strings{});

  Type(AllowedClientsTextBox, "  10.1.2.3 ,10.1.5.0/24,\t0.0.0.0/0  ");
  Type(ListenAddressTextBox, " 192.168.0.10 ");
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{kRestartStarted});
  EXPECT_EQ(Record(2).mAllowedClients, "10.1.2.3 ,10.1.5.0/24,\t0.0.0.0/0");
  EXPECT_EQ(Record(2).mListenAddress, "192.168.0.10");
  EXPECT_TRUE(Has(files.files[InstanceFile("Lab 1")],
                  "\r\nIdleTimeout=60\r\nAllowedClients=10.1.2.3 ,10.1.5.0/24,\t0.0.0.0/0\r\n"
                  "ListenAddress=192.168.0.10\r\n"));
  EXPECT_FALSE(presenter.DetectChange(2));

  // Switching shows each instance's own values; a new instance starts with both empty.
  ClickRow(2);
  EXPECT_EQ(view[AllowedClientsTextBox].text, "");
  EXPECT_EQ(view[ListenAddressTextBox].text, "");
  ClickRow(1);
  EXPECT_EQ(view[AllowedClientsTextBox].text, "10.1.2.3 ,10.1.5.0/24,\t0.0.0.0/0");
  EXPECT_EQ(view[ListenAddressTextBox].text, "192.168.0.10");
  presenter.AddClick();
  FakeAddDialog dialog;
  presenter.AddDialogLoad(dialog);
  dialog.name = "Yard 1";
  dialog.port = "6200";
  dialog.Pick("COM5");
  presenter.CreateInstanceClick(dialog);
  ASSERT_TRUE(dialog.closed);
  EXPECT_EQ(view[AllowedClientsTextBox].text, "");
  EXPECT_EQ(view[ListenAddressTextBox].text, "");
  // Unset, the keys are not written: the file is the one an instance always had.
  EXPECT_FALSE(Has(files.files[kDir + "\\Yard 1\\vmds.ini"], "AllowedClients"));
  EXPECT_FALSE(Has(files.files[kDir + "\\Yard 1\\vmds.ini"], "ListenAddress"));
  EXPECT_EQ(Messages(), Strings{});
}

// Remote port control: Protocol=RFC2217 ticks the box, Raw or no key leaves it clear (any case,
// blanks around); the key is written after the known keys only when the box is ticked. A value the
// manager does not know keeps every Protocol line where it was, with the box clear, until the box
// is ticked: then the manager's line replaces them.
TEST(MainPresenterEditor, RemotePortControlIsShownTrackedAndSavedAndKeepsUnknownValues) {
  struct Case {
    const char* added;  // lines added to Lab 1's file, after IdleTimeout=60
    bool shown;         // the box when Lab 1 is shown
    bool tick;          // the user clicks the box before Save
    const char* saved;  // what follows IdleTimeout=60 in the saved file
  };
  for (const Case& c : std::vector<Case>{
           {"", false, false, ""},
           {"", false, true, "Protocol=RFC2217\r\n"},
           {"Protocol=raw\r\n", false, false, ""},
           {"Protocol=Raw\r\n", false, true, "Protocol=RFC2217\r\n"},
           {"Protocol= Rfc2217\t\r\n", true, false, "Protocol=RFC2217\r\n"},
           {"Protocol=RFC2217\r\n", true, true, ""},
           {"Protocol=RFC2217\r\nProtocol=Raw\r\n", false, false, ""},
           {"Protocol=Telnet\r\n\r\nSite=North\r\n", false, false,
            "Protocol=Telnet\r\n\r\nSite=North\r\n"},
           {"Protocol=Telnet\r\n\r\nSite=North\r\n", false, true,
            "Protocol=RFC2217\r\nSite=North\r\n"},
           {"Protocol=\r\n", false, false, "Protocol=\r\n"},
           {"Protocol=RFC2217\r\n# old\r\nProtocol=RFC 2217\r\n", false, false,
            "Protocol=RFC2217\r\n# old\r\nProtocol=RFC 2217\r\n"},
           {"Protocol=RFC2217\r\n# old\r\nProtocol=RFC 2217\r\n", false, true,
            "Protocol=RFC2217\r\n# old\r\n"},
           {"protocol=RFC2217\r\n", false, false, "protocol=RFC2217\r\n"},  // not the key
       }) {
    SCOPED_TRACE(std::string(c.added) + (c.tick ? " ticked" : ""));
    Rig rig;
    rig.files.files[InstanceFile("Lab 1")] += c.added;
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    EXPECT_FALSE(rig.view[RemotePortControlCheckBox].checked);  // the master's
    rig.ClickRow(1);
    EXPECT_EQ(rig.view[RemotePortControlCheckBox].checked, c.shown);
    EXPECT_FALSE(rig.presenter.DetectChange(2));
    if (c.tick) rig.Click(RemotePortControlCheckBox);
    EXPECT_EQ(rig.presenter.DetectChange(2), c.tick);
    rig.presenter.SaveClick();
    EXPECT_EQ(rig.Messages(), Strings{kRestartStarted});
    const std::string& file = rig.files.files[InstanceFile("Lab 1")];
    const std::string tail = "\r\nIdleTimeout=60\r\n" + std::string(c.saved);
    EXPECT_EQ(file.substr(file.size() - std::min(file.size(), tail.size())), tail);
    EXPECT_EQ(rig.Record(2).mRemotePortControl, c.shown != c.tick);
    EXPECT_FALSE(rig.presenter.DetectChange(2));
    // Another instance shows its own state; coming back shows what was saved.
    rig.ClickRow(2);
    EXPECT_FALSE(rig.view[RemotePortControlCheckBox].checked);
    rig.ClickRow(1);
    EXPECT_EQ(rig.view[RemotePortControlCheckBox].checked, c.shown != c.tick);
  }

  // A new instance is raw, whatever the instance shown before it.
  Rig rig;
  rig.files.files[InstanceFile("Lab 1")] += "Protocol=RFC2217\r\n";
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  rig.ClickRow(1);
  ASSERT_TRUE(rig.view[RemotePortControlCheckBox].checked);
  rig.presenter.AddClick();
  FakeAddDialog dialog;
  rig.presenter.AddDialogLoad(dialog);
  dialog.name = "Yard 1";
  dialog.port = "6200";
  dialog.Pick("COM5");
  rig.presenter.CreateInstanceClick(dialog);
  ASSERT_TRUE(dialog.closed);
  EXPECT_FALSE(rig.view[RemotePortControlCheckBox].checked);
  EXPECT_FALSE(Has(rig.files.files[kDir + "\\Yard 1\\vmds.ini"], "Protocol"));
  EXPECT_FALSE(rig.Record(5).mRemotePortControl);
  EXPECT_EQ(rig.Messages(), Strings{});
}

// Encryption (TLS): Save refuses a certificate without its private key (or the other way round),
// a client CA without them, and a path that names no file (relative paths inside the instance
// directory), storing nothing; what it saves is written after the known keys, each only when set,
// and shown again. Browse... fills its own field. A new instance has none of them.
TEST_F(Started, EncryptionFilesAreCheckedSavedShownAndBrowsedFor) {
  const std::string lab = kDir + "\\Lab 1";
  const std::string kPair =
      "Please fill in both the Certificate and the Private key fields, or leave both empty." +
      kAborted;
  const std::string kAlone =
      "Please fill in the Certificate and Private key fields to use a Client CA, or clear the "
      "Client CA field." + kAborted;
  auto missing = [](const std::string& file, const std::string& path, const std::string& field,
                    const std::string& what = " does not exist.") {
    return "The " + file + " file " + path + what + " Please choose an existing file in the " +
           field + " field." + kAborted;
  };
  files.files[lab + "\\server.pem"] = "certificate";
  files.files[lab + "\\server.key"] = "key";
  files.files["D:\\pki\\clients.pem"] = "authorities";
  files.directories.insert(lab + "\\certs");
  ClickRow(1);
  const VMDSInstanceClass before = Record(2);
  for (const auto& [certificate, key, clientCA, message] :
       std::vector<std::tuple<std::string, std::string, std::string, std::string>>{
           {"server.pem", "", "", kPair},
           {"", "server.key", "", kPair},
           {"  ", "server.key", "D:\\pki\\clients.pem", kPair},
           {"", "", "D:\\pki\\clients.pem", kAlone},
           {"servers.pem", "server.key", "",
            missing("certificate", lab + "\\servers.pem", "Certificate")},
           {"server.pem", ".\\server.k", "",
            missing("private key", lab + "\\server.k", "Private key")},
           {"server.pem", "certs", "", missing("private key", lab + "\\certs", "Private key",
                                               " is a folder.")},
           {"\\pki\\server.pem", "server.key", "",
            missing("certificate", "\\pki\\server.pem", "Certificate")},
           {"server.pem", "server.key", "D:\\pki\\client.pem",
            missing("client CA", "D:\\pki\\client.pem", "Client CA")},
           {"server.pem", "server.key", "..\\clients.pem",
            missing("client CA", lab + "\\..\\clients.pem", "Client CA")},
       }) {
    Type(TLSCertificateTextBox, certificate);
    Type(TLSKeyTextBox, key);
    Type(TLSClientCATextBox, clientCA);
    presenter.SaveClick();
    EXPECT_EQ(Messages(), Strings{message}) << certificate << " | " << key << " | " << clientCA;
    EXPECT_TRUE(view[SaveCmdBtn].enabled);
    EXPECT_EQ(Record(2), before);
  }
  EXPECT_EQ(services.calls, Strings{});

  Type(TLSCertificateTextBox, " .\\server.pem ");
  Type(TLSKeyTextBox, lab + "\\server.key");
  Type(TLSClientCATextBox, "D:\\pki\\clients.pem  ");
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{kRestartStarted});
  EXPECT_EQ(Record(2).mTLSCertificate, ".\\server.pem");
  EXPECT_EQ(Record(2).mTLSKey, lab + "\\server.key");
  EXPECT_EQ(Record(2).mTLSClientCA, "D:\\pki\\clients.pem");
  EXPECT_TRUE(Has(files.files[InstanceFile("Lab 1")],
                  "\r\nIdleTimeout=60\r\nTLSCertificate=.\\server.pem\r\nTLSKey=" + lab +
                      "\\server.key\r\nTLSClientCA=D:\\pki\\clients.pem\r\n"));
  EXPECT_FALSE(presenter.DetectChange(2));
  ClickRow(2);
  EXPECT_EQ((Strings{view[TLSCertificateTextBox].text, view[TLSKeyTextBox].text,
                     view[TLSClientCATextBox].text}),
            (Strings{"", "", ""}));
  ClickRow(1);
  EXPECT_EQ((Strings{view[TLSCertificateTextBox].text, view[TLSKeyTextBox].text,
                     view[TLSClientCATextBox].text}),
            (Strings{".\\server.pem", lab + "\\server.key", "D:\\pki\\clients.pem"}));

  // Browse...: the dialog opens on the field's file; what is chosen replaces the field, and
  // cancelling leaves it.
  const std::string kPem = "PEM files (*.pem;*.crt;*.key)|*.pem;*.crt;*.key|All files (*.*)|*.*";
  struct Browse {
    void (MainPresenter::*click)();
    Control box;
    std::string field, chosen, title, preset, after;
  };
  for (const Browse& b : std::vector<Browse>{
           {&MainPresenter::BrowseCertificateClick, TLSCertificateTextBox, ".\\server.pem", "",
            "Select Certificate File", lab + "\\server.pem", ".\\server.pem"},
           {&MainPresenter::BrowseKeyClick, TLSKeyTextBox, "", "E:\\keys\\lab.key",
            "Select Private Key File", "", "E:\\keys\\lab.key"},
           {&MainPresenter::BrowseClientCAClick, TLSClientCATextBox, "D:\\pki\\clients.pem",
            "D:\\pki\\new.pem", "Select Client CA File", "D:\\pki\\clients.pem",
            "D:\\pki\\new.pem"},
       }) {
    SCOPED_TRACE(b.title);
    view[b.box].text = b.field;
    view.chosenFile = b.chosen;
    (presenter.*b.click)();
    ASSERT_FALSE(view.fileDialogs.empty());
    EXPECT_EQ(view.fileDialogs.back(), (FileDialogRequest{b.title, b.preset, kPem, "pem"}));
    EXPECT_EQ(view[b.box].text, b.after);
  }
  EXPECT_TRUE(view[SaveCmdBtn].enabled);
  EXPECT_TRUE(presenter.DetectChange(2));

  // A new instance starts with all three empty, and its file has none of the keys.
  presenter.LoadInstance("Lab 1", 2);
  EXPECT_FALSE(presenter.DetectChange(2));
  presenter.AddClick();
  FakeAddDialog dialog;
  presenter.AddDialogLoad(dialog);
  dialog.name = "Yard 1";
  dialog.port = "6200";
  dialog.Pick("COM5");
  presenter.CreateInstanceClick(dialog);
  ASSERT_TRUE(dialog.closed);
  EXPECT_EQ((Strings{view[TLSCertificateTextBox].text, view[TLSKeyTextBox].text,
                     view[TLSClientCATextBox].text}),
            (Strings{"", "", ""}));
  EXPECT_FALSE(Has(files.files[kDir + "\\Yard 1\\vmds.ini"], "TLS"));
  EXPECT_EQ(Messages(), Strings{});
}

TEST_F(Started, AnUnreadableNumberIsAGeneralErrorThatStoresNothing) {
  for (Control box : {TCPPortNumberTextBox, MaxConnTimeTextBox, MaxIdleTimeTextBox}) {
    presenter.LoadInstance("Master", 1);
    const VMDSInstanceClass before = Record(1);
    Type(box, "  ");
    presenter.SaveClick();
    Strings shown = Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("Error Code: ", 0), 0u) << shown[0];
    EXPECT_FALSE(view[SaveCmdBtn].enabled);
    EXPECT_EQ(Progress(), "");
    EXPECT_EQ(Record(1), before);
  }
  EXPECT_EQ(services.calls, Strings{});
}

TEST_F(Started, ASuccessfulSaveStoresRewritesTheRowWritesTheFileAndRestarts) {
  ClickRow(1);
  Type(TCPPortNumberTextBox, " 65535");
  Pick(SerialPortComboBox, "COM42");
  Pick(BitRateComboBox, "115200");
  Pick(StopBitsComboBox, "2");  // 7 data bits, Even and 2 stop bits are fine
  Click(DropDTRCheckBox);
  Click(DropRTSCheckBox);
  Type(MaxConnTimeTextBox, "30");
  Type(MaxIdleTimeTextBox, "0");
  Type(BrowseLogFileTextBox, "  D:\\logs\\lab.log ");
  Click(EnableDebugModeCheckBox);
  view.progress.clear();
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{kRestartStarted});
  const std::string& file = files.files[InstanceFile("Lab 1")];
  EXPECT_TRUE(Has(file, "ServiceName=Daltrimore_VMDS_Lab_1\r\n"));
  EXPECT_TRUE(Has(file, "DebugEnabled=No\r\nLogFilename=D:\\logs\\lab.log\r\nTCPPort=65535\r\n"
                        "COMPort=COM42\r\nCOMPortBitRate=115200\r\nCOMPortDataBits=7\r\n"
                        "COMPortParity=EVENPARITY\r\nCOMPortStopBits=TWOSTOPBITS\r\n"
                        "DropDTRonSocketClose=Yes\r\nDropRTSonSocketClose=No\r\n"
                        "MaxConnectTime=30\r\nIdleTimeout=0\r\n"));
  EXPECT_EQ(file, StartupFileText(presenter.State(), Record(2), StartupFileLayout::kInstance));
  EXPECT_EQ(view.rows[1], (InstanceListRow{"Lab 1", "65535", "COM 42"}));
  EXPECT_EQ(presenter.Rows(), view.rows);
  EXPECT_EQ(services.calls.at(0), "Write " + InstanceFile("Lab 1"));
  EXPECT_EQ(Count("Stop Daltrimore_VMDS_Lab_1") + Count("Start Daltrimore_VMDS_Lab_1"), 2u);
  EXPECT_EQ(view.focus, TCPPortNumberTextBox);
  EXPECT_FALSE(view[SaveCmdBtn].enabled);
  EXPECT_EQ(view.progress, (std::vector<ProgressText>{{"", false}}));  // cleared, not repainted
  EXPECT_EQ(presenter.DetectChange(2), 0);
}

TEST_F(Started, SavingTheMasterWritesNextToTheManagerAndPassesItsSharedPort) {
  Type(MaxIdleTimeTextBox, "90");  // bay uses COM1 too, after the master
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{kRestartStarted});
  EXPECT_EQ(services.calls.at(0), "Write " + kMasterFile);
  EXPECT_TRUE(Has(files.writes.at(0), "FirstTimeRun=False\r\n"));
  EXPECT_TRUE(Has(files.writes.at(0), "IdleTimeout=90\r\n"));
  EXPECT_EQ(Count("Start Daltrimore_VMDS_Mstr"), 1u);
}

TEST(MainPresenterRestart, StartsOnlyAStoppedServiceAndReportsTheOutcome) {
  const std::string service = "Daltrimore_VMDS_Lab_1";
  struct Case {
    const char* what;
    std::deque<std::uint32_t> states;
    int stopError;
    std::size_t stops, starts;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"running", {4, 3, 3, 1, 4}, 0, 1, 1, kRestartStarted},
           {"stopped", {1, 4}, 0, 0, 1, kRestartStarted},
           {"slow start", {1, 2, 4}, 0, 0, 1, kRestartStarted},
           {"never runs", {1, 2, 2}, 0, 0, 1, kRestartFailedToStart},
           {"never stops", {4, 3}, 0, 1, 0, kRestartFailedToStart},
           {"stop refused", {4, 4}, 1061, 1, 0, kRestartFailedToStart},
           {"stopped meanwhile", {4, 1, 4}, kErrorServiceNotActive, 1, 1, kRestartStarted},
           {"paused", {7}, 0, 0, 0, kRestartNotStarted},
           {"missing", {}, 0, 0, 0, kRestartNotStarted},
       }) {
    SCOPED_TRACE(c.what);
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.ClickRow(1);
    if (c.states.empty()) rig.services.services.erase(service);
    else rig.services.services[service].states = c.states;
    rig.services.stopError = c.stopError;
    rig.Type(MaxIdleTimeTextBox, "61");
    rig.presenter.SaveClick();
    EXPECT_EQ(rig.Count("Stop " + service), c.stops);
    EXPECT_EQ(rig.Count("Start " + service), c.starts);
    EXPECT_EQ(rig.Messages(), Strings{c.message});
    EXPECT_EQ(rig.services.openHandles, 0);
    EXPECT_EQ(rig.Record(2).mIdleTimeout, 61);
    EXPECT_FALSE(rig.view[SaveCmdBtn].enabled);
    EXPECT_EQ(rig.view.focus, TCPPortNumberTextBox);
  }
}

TEST(MainPresenterSwitching, TheAnswerDecidesAboutTheEditsAndTheSwitch) {
  struct Case {
    std::string idle;
    std::deque<Answer> answers;
    std::int32_t storedIdle;
    Strings messages;
    std::vector<ProgressText> progress;  // the first texts set after the click
  };
  for (const Case& c : std::vector<Case>{
           {"99", {Answer::kCancel}, 60, {kLabQuestion}, {}},
           {"060", {}, 60, {}, {}},  // no real difference: no question
           {"99", {Answer::kNo}, 60, {kLabQuestion}, {{"", true}}},
           {"99", {Answer::kYes}, 99, {kLabQuestion, kRestartStarted}, {{kSavingHint, true}}},
           // A refused value keeps the instance and its edits shown.
           {"-1", {Answer::kYes}, 60, {kLabQuestion, kIdle}, {{kSavingHint, true}}},
       }) {
    SCOPED_TRACE(c.idle + " " + testing::PrintToString(c.messages));
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.ClickRow(1);
    rig.Type(MaxIdleTimeTextBox, c.idle);
    rig.view.progress.clear();
    rig.view.answers = c.answers;
    rig.ClickRow(2);
    EXPECT_EQ(rig.Messages(), c.messages);
    EXPECT_EQ(rig.Record(2).mIdleTimeout, c.storedIdle);
    EXPECT_EQ(rig.files.writes.size(), c.storedIdle == 99 ? 1u : 0u);
    rig.view.progress.resize(std::min(rig.view.progress.size(), c.progress.size()));
    EXPECT_EQ(rig.view.progress, c.progress);
    if (c.answers == std::deque<Answer>{Answer::kCancel} || c.idle == "-1") {
      EXPECT_EQ(rig.presenter.CurrentInstanceName(), "Lab 1");
      EXPECT_EQ(rig.view.selectedRow, 1);
      EXPECT_EQ(rig.view[MaxIdleTimeTextBox].text, c.idle);
      EXPECT_TRUE(rig.view[SaveCmdBtn].enabled);
      continue;
    }
    EXPECT_EQ(rig.presenter.CurrentInstanceName(), "Dock");
    EXPECT_EQ(rig.presenter.CurrentInstanceIndex(), 3);
    EXPECT_EQ(rig.Editor()[0], "2000");
    EXPECT_EQ(rig.Editor()[7], "120");
    EXPECT_FALSE(rig.view[SaveCmdBtn].enabled);
    EXPECT_EQ(rig.Progress(), "");
  }
}

TEST(MainPresenterClosing, CancelKeepsTheWindowNoDropsYesSavesAndCloses) {
  struct Case {
    std::string idle;  // "" = no edit
    std::deque<Answer> answers;
    bool keepsOpen;
    Strings messages;
  };
  for (const Case& c : std::vector<Case>{
           {"", {}, false, {}},
           {"99", {Answer::kCancel}, true, {kLabQuestion}},
           {"99", {Answer::kNo}, false, {kLabQuestion}},
           {"99", {Answer::kYes}, false, {kLabQuestion, kRestartStarted}},
           {"-1", {Answer::kYes}, true, {kLabQuestion, kIdle}},  // Save refused: stays
       }) {
    SCOPED_TRACE(c.idle + " " + testing::PrintToString(c.messages));
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.ClickRow(1);
    if (!c.idle.empty()) rig.Type(MaxIdleTimeTextBox, c.idle);
    rig.view.answers = c.answers;
    EXPECT_EQ(rig.presenter.FormUnload(), c.keepsOpen);
    EXPECT_EQ(rig.Messages(), c.messages);
    EXPECT_EQ(rig.files.writes.size(), c.messages.size() == 2 && c.idle == "99" ? 1u : 0u);
    if (c.keepsOpen) {
      EXPECT_EQ(rig.view[MaxIdleTimeTextBox].text, c.idle);
    }
  }
}

}  // namespace
