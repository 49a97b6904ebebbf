// Reading a whole startup file: the result, the fields, and the lines the reader logs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings.h"
#include "test_support.h"

namespace {

using vmds_unit::LogLines;
using vmds_unit::MessageOf;
using vmds_unit::ReadWholeFile;
using vmds_unit::TempDir;
using vmds_unit::WriteWholeFile;

class StartupFile : public vmds_unit::DebugFlagTest {
 protected:
  void SetUp() override {
    DebugFlagTest::SetUp();
    log.LogFilename = dir.File("vmds.log");
  }

  // Writes `lines` joined with CR LF (and a final CR LF) and reads the file.
  bool ReadLines(const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines) content += line + "\r\n";
    return ReadContent(content);
  }
  bool ReadContent(const std::string& content) {
    WriteWholeFile(dir.File("vmds.ini"), content);
    return ReadServiceSettings(dir.File("vmds.ini"), service, serial, log);
  }
  std::vector<std::string> Messages(const std::string& logPath) {
    std::vector<std::string> messages;
    for (const std::string& line : LogLines(ReadWholeFile(logPath))) {
      messages.push_back(MessageOf(line));
    }
    return messages;
  }
  std::vector<std::string> Messages() { return Messages(dir.File("vmds.log")); }

  TempDir dir;
  ServiceSettings service;
  SerialSettings serial;
  LogSettings log;
};

const std::vector<std::string> kGoodInstanceFile = {
    "[Daltrimore Velmora Device Server]",
    "# Instance settings",
    " ",
    "TCPPort=6200",
    "COMPort=COM4",
    "COMPortBitRate=19200",
    "COMPortDataBits=7",
    "COMPortParity=ODDPARITY",
    "COMPortStopBits=TWOSTOPBITS",
    "DropDTRonSocketClose=Yes",
    "DropRTSonSocketClose=No",
    "MaxConnectTime=300",
    "IdleTimeout=120",
};

TEST_F(StartupFile, GoodCrLfFileIsReadAndReported) {
  EXPECT_TRUE(ReadLines(kGoodInstanceFile));
  EXPECT_EQ(service.TCPPort, 6200);
  EXPECT_EQ(serial.COMPort, "COM4");
  EXPECT_EQ(serial.COMPortBitRate, 19200);
  EXPECT_EQ(serial.COMPortDataBits, 7);
  EXPECT_EQ(serial.COMPortParity, "ODDPARITY");
  EXPECT_EQ(serial.COMPortStopBits, "TWOSTOPBITS");
  EXPECT_TRUE(service.DropDTRonSocketClose);
  EXPECT_FALSE(service.DropRTSonSocketClose);
  EXPECT_EQ(service.MaxConnectTime, 300000);
  EXPECT_EQ(service.IdleTimeout, 120000);
  EXPECT_TRUE(DebugEnabled);  // no DebugEnabled line: debug stays on
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Startup file read successfully"}));
}

TEST_F(StartupFile, DebugOffWithGoodValuesLogsNothing) {
  auto lines = kGoodInstanceFile;
  lines.push_back("DebugEnabled=no");
  EXPECT_TRUE(ReadLines(lines));
  EXPECT_FALSE(DebugEnabled);
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("vmds.log")));
}

TEST_F(StartupFile, SuccessLineDependsOnTheFlagAtTheEnd) {
  EXPECT_TRUE(ReadLines({"DebugEnabled=no", "TCPPort=1", "DebugEnabled=Yes"}));
  EXPECT_TRUE(DebugEnabled);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Startup file read successfully"}));
}

TEST_F(StartupFile, BadValueIsReportedEvenWithDebugOff) {
  EXPECT_FALSE(ReadLines({"TCPPort=abc", "COMPortBitRate=9600", "DebugEnabled=no"}));
  EXPECT_EQ(service.TCPPort, 3001);
  EXPECT_EQ(serial.COMPortBitRate, 9600);  // the other lines are still applied
  EXPECT_FALSE(DebugEnabled);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Startup file not read successfully"}));
}

TEST_F(StartupFile, BadValueWithDebugOnLogsOnlyTheFailure) {
  EXPECT_FALSE(ReadLines({"COMPortParity=evenparity", "TCPPort=6300"}));
  EXPECT_EQ(serial.COMPortParity, "NOPARITY");
  EXPECT_EQ(service.TCPPort, 6300);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Startup file not read successfully"}));
}

TEST_F(StartupFile, BadValueFallbacks) {
  service.MaxConnectTime = 1000;
  EXPECT_FALSE(ReadLines({"TCPPort=x", "COMPortBitRate=", "COMPortBitRate=1200baud",
                          "MaxConnectTime=5 ", "IdleTimeout=2"}));
  EXPECT_EQ(service.TCPPort, 3001);
  EXPECT_EQ(serial.COMPortBitRate, 1200);
  EXPECT_EQ(service.MaxConnectTime, -1);
  EXPECT_EQ(service.IdleTimeout, 2000);
}

TEST_F(StartupFile, EmptyTcpPortIsASuccessfulRead) {
  EXPECT_TRUE(ReadLines({"TCPPort="}));
  EXPECT_EQ(service.TCPPort, 0);
}

TEST_F(StartupFile, MissingFileFailsSilentlyAndKeepsDefaults) {
  EXPECT_FALSE(ReadServiceSettings(dir.File("absent.ini"), service, serial, log));
  EXPECT_EQ(service.TCPPort, 6100);
  EXPECT_EQ(serial.COMPort, "Com1");
  EXPECT_TRUE(DebugEnabled);
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("vmds.log")));
}

TEST_F(StartupFile, EmptyPathFails) {
  EXPECT_FALSE(ReadServiceSettings("", service, serial, log));
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("vmds.log")));
}

TEST_F(StartupFile, EmptyFileIsASuccessfulRead) {
  EXPECT_TRUE(ReadContent(""));
  EXPECT_EQ(service.TCPPort, 6100);
}

TEST_F(StartupFile, DuplicateKeysLastWins) {
  EXPECT_TRUE(ReadLines({"TCPPort=1000", "COMPort=COM2", "TCPPort=2000", "COMPort=COM3"}));
  EXPECT_EQ(service.TCPPort, 2000);
  EXPECT_EQ(serial.COMPort, "COM3");
}

TEST_F(StartupFile, BadThenGoodDuplicateStillFailsTheRead) {
  EXPECT_FALSE(ReadLines({"TCPPort=abc", "TCPPort=2000"}));
  EXPECT_EQ(service.TCPPort, 2000);
}

TEST_F(StartupFile, LineStartingWithABlankIsIgnored) {
  EXPECT_TRUE(ReadLines({" TCPPort=1234"}));
  EXPECT_EQ(service.TCPPort, 6100);
}

TEST_F(StartupFile, LastLineWithoutLineEnd) {
  EXPECT_TRUE(ReadContent("TCPPort=1\r\nCOMPort=COM9"));
  EXPECT_EQ(serial.COMPort, "COM9");
}

TEST_F(StartupFile, PlainLineFeedFile) {
  EXPECT_TRUE(ReadContent("TCPPort=4444\nIdleTimeout=0.5\n"));
  EXPECT_EQ(service.TCPPort, 4444);
  EXPECT_EQ(service.IdleTimeout, 500);
}

TEST_F(StartupFile, RemainderOfAnOverLongLineIsALineOfItsOwn) {
  // The first 157 characters hold no "=", so they are skipped; the rest is read as a line.
  EXPECT_TRUE(ReadLines({std::string(157, '#') + "TCPPort=4321"}));
  EXPECT_EQ(service.TCPPort, 4321);
}

TEST_F(StartupFile, ValueOfAnOverLongLineEndsWithItsFirstPiece) {
  // "LogFilename=" is 12 characters, so the first piece holds 145 characters of the value.
  // (Debug off: the reader then writes no line into that relative file.)
  std::string value(200, 'f');
  EXPECT_TRUE(ReadLines({"DebugEnabled=No", "LogFilename=" + value, "TCPPort=7000"}));
  EXPECT_EQ(log.LogFilename, std::string(145, 'f'));
  EXPECT_EQ(service.TCPPort, 7000);
}

TEST_F(StartupFile, LongInstanceListDoesNotDisturbLaterKeys) {
  std::string names;
  for (int i = 0; i < 40; ++i) names += "Instance" + std::to_string(i) + "%";
  EXPECT_TRUE(ReadLines({"InstanceNamesList=" + names, "TCPPort=6500"}));
  EXPECT_EQ(service.TCPPort, 6500);
}

TEST_F(StartupFile, ReaderLinesGoToTheLogFileTheStartupFileNames) {
  std::string other = dir.File("other.log");
  EXPECT_TRUE(ReadLines({"LogFilename=" + other}));
  EXPECT_EQ(Messages(other), (std::vector<std::string>{"Startup file read successfully"}));
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("vmds.log")));
}

TEST_F(StartupFile, EqualsSignInsideAValue) {
  EXPECT_TRUE(ReadLines({"LogFilename=" + dir.File("a=b.log")}));
  EXPECT_EQ(log.LogFilename, dir.File("a=b.log"));
  EXPECT_TRUE(vmds_unit::FileExists(dir.File("a=b.log")));
}

TEST_F(StartupFile, EmptyLogFilenameMeansNoLog) {
  EXPECT_FALSE(ReadLines({"LogFilename=", "TCPPort=bad"}));
  EXPECT_EQ(log.LogFilename, "");
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("vmds.log")));
}

// Found by the fuzz target server_startup_file: a LogFilename holding a NUL (a file cut short by
// a full disk may end in NULs) was kept, and the log went to the file named by the text before
// the NUL. A text value with a NUL is now bad and the field keeps its value.
TEST_F(StartupFile, TextValueWithANulIsBad) {
  const std::string logFile = log.LogFilename;
  EXPECT_FALSE(ReadContent(std::string("LogFilename=\0", 13)));  // the fuzzer's input, minimized
  EXPECT_EQ(log.LogFilename, logFile);
  const char kCutShort[] = "LogFilename=C\0\1:\nCOMPort=COM4\0garbage\n";
  EXPECT_FALSE(ReadContent(std::string(kCutShort, sizeof kCutShort - 1)));
  EXPECT_EQ(log.LogFilename, logFile);
  EXPECT_EQ(serial.COMPort, "Com1");
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Startup file not read successfully",
                                                  "Startup file not read successfully"}));
}

TEST_F(StartupFile, BackslashPathsAreOpened) {
  // A startup file path written with backslashes names the same file on this platform.
  WriteWholeFile(dir.File("vmds.ini"), "TCPPort=6111\r\n");
  EXPECT_TRUE(ReadServiceSettings(dir.path() + "\\vmds.ini", service, serial, log));
  EXPECT_EQ(service.TCPPort, 6111);
}

}  // namespace
