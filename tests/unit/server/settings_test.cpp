// The startup-file value parsers, the line splitter and the rule applied to one key=value line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/os.h"
#include "settings.h"
#include "test_support.h"

namespace {

using vmds_unit::DebugFlagTest;

// ---- number ------------------------------------------------------------------------------------

TEST(NumberValue, PlainIntegersAndSigns) {
  EXPECT_EQ(ParseNumberValue("6100"), 6100);
  EXPECT_EQ(ParseNumberValue("0"), 0);
  EXPECT_EQ(ParseNumberValue("-5"), -5);
  EXPECT_EQ(ParseNumberValue("+7"), 7);
  EXPECT_EQ(ParseNumberValue("007"), 7);
}

TEST(NumberValue, FractionsTruncateTowardZero) {
  EXPECT_EQ(ParseNumberValue("1.9"), 1);
  EXPECT_EQ(ParseNumberValue("-1.9"), -1);
  EXPECT_EQ(ParseNumberValue("0.999"), 0);
  EXPECT_EQ(ParseNumberValue(".5"), 0);
  EXPECT_EQ(ParseNumberValue("5."), 5);
  EXPECT_EQ(ParseNumberValue("9600.0"), 9600);
}

TEST(NumberValue, ExponentsWithEAndD) {
  EXPECT_EQ(ParseNumberValue("1e3"), 1000);
  EXPECT_EQ(ParseNumberValue("1E3"), 1000);
  EXPECT_EQ(ParseNumberValue("2d2"), 200);
  EXPECT_EQ(ParseNumberValue("2D2"), 200);
  EXPECT_EQ(ParseNumberValue("1.2e+3"), 1200);
  EXPECT_EQ(ParseNumberValue("25e-1"), 2);
  EXPECT_EQ(ParseNumberValue("96D2"), 9600);
}

TEST(NumberValue, LeadingWhiteSpaceIsSkipped) {
  EXPECT_EQ(ParseNumberValue("  42"), 42);
  EXPECT_EQ(ParseNumberValue("\t42"), 42);
}

TEST(NumberValue, EmptyValueReadsAsZero) { EXPECT_EQ(ParseNumberValue(""), 0); }

TEST(NumberValue, BlanksWithoutDigitsAreBad) {
  EXPECT_EQ(ParseNumberValue(" "), std::nullopt);
  EXPECT_EQ(ParseSecondsValue("   "), std::nullopt);
}

TEST(NumberValue, LeftoverCharactersMakeItBad) {
  EXPECT_EQ(ParseNumberValue("42 "), std::nullopt);  // a trailing blank
  EXPECT_EQ(ParseNumberValue("42\t"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("42x"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("4 2"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("1e3x"), std::nullopt);
}

TEST(NumberValue, NonNumbersAreBad) {
  EXPECT_EQ(ParseNumberValue("abc"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("-"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("."), std::nullopt);
  EXPECT_EQ(ParseNumberValue("e5"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("1e"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("1e+"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("--1"), std::nullopt);
}

TEST(NumberValue, OnlyTheFullStopIsADecimalSeparator) {
  EXPECT_EQ(ParseNumberValue("1,5"), std::nullopt);
}

TEST(NumberValue, NoHexInfinityOrNan) {
  EXPECT_EQ(ParseNumberValue("0x10"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("inf"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("infinity"), std::nullopt);
  EXPECT_EQ(ParseNumberValue("nan"), std::nullopt);
}

TEST(NumberValue, HugeNumbersAreGoodValues) {
  // No range check in the reader; the value must merely not be refused (and not be undefined).
  EXPECT_TRUE(ParseNumberValue("1e20").has_value());
  EXPECT_TRUE(ParseNumberValue("-1e20").has_value());
  EXPECT_EQ(ParseNumberValue("70000"), 70000);
}

// ---- seconds -----------------------------------------------------------------------------------

TEST(SecondsValue, SecondsBecomeMilliseconds) {
  EXPECT_EQ(ParseSecondsValue("120"), 120000);
  EXPECT_EQ(ParseSecondsValue("1"), 1000);
  EXPECT_EQ(ParseSecondsValue("1.5"), 1500);
  EXPECT_EQ(ParseSecondsValue("0.5"), 500);
  EXPECT_EQ(ParseSecondsValue("0.3"), 300);
  EXPECT_EQ(ParseSecondsValue("3e2"), 300000);
  EXPECT_EQ(ParseSecondsValue("0.0015"), 1);  // 1.5 ms truncated
}

TEST(SecondsValue, ZeroAndEmptyMeanNoLimit) {
  EXPECT_EQ(ParseSecondsValue("0"), -1);
  EXPECT_EQ(ParseSecondsValue(""), -1);
  EXPECT_EQ(ParseSecondsValue("0.0"), -1);
  EXPECT_EQ(ParseSecondsValue("0.0004"), -1);  // under a millisecond truncates to 0
}

TEST(SecondsValue, BadValues) {
  EXPECT_EQ(ParseSecondsValue("10 "), std::nullopt);
  EXPECT_EQ(ParseSecondsValue("ten"), std::nullopt);
  EXPECT_EQ(ParseSecondsValue("1,5"), std::nullopt);
}

// ---- yes/no ------------------------------------------------------------------------------------

TEST(YesNoValue, AnyLetterCase) {
  EXPECT_EQ(ParseYesNoValue("yes"), true);
  EXPECT_EQ(ParseYesNoValue("Yes"), true);
  EXPECT_EQ(ParseYesNoValue("YES"), true);
  EXPECT_EQ(ParseYesNoValue("yEs"), true);
  EXPECT_EQ(ParseYesNoValue("no"), false);
  EXPECT_EQ(ParseYesNoValue("NO"), false);
  EXPECT_EQ(ParseYesNoValue("No"), false);
}

TEST(YesNoValue, NothingElse) {
  EXPECT_EQ(ParseYesNoValue(" yes"), std::nullopt);
  EXPECT_EQ(ParseYesNoValue("yes "), std::nullopt);
  EXPECT_EQ(ParseYesNoValue(""), std::nullopt);
  EXPECT_EQ(ParseYesNoValue("y"), std::nullopt);
  EXPECT_EQ(ParseYesNoValue("true"), std::nullopt);
  EXPECT_EQ(ParseYesNoValue("1"), std::nullopt);
  EXPECT_EQ(ParseYesNoValue("yess"), std::nullopt);
}

// ---- line splitting ----------------------------------------------------------------------------

std::vector<std::string> Split(const std::string& content) {
  std::vector<std::string> pieces;
  SplitStartupLines(
      content,
      [](const std::string& piece, void* raw) {
        static_cast<std::vector<std::string>*>(raw)->push_back(piece);
      },
      &pieces);
  return pieces;
}

TEST(StartupLines, CrLfReadsAsOneLineFeed) {
  EXPECT_EQ(Split("[vmds]\r\nTCPPort=1\r\nCOMPort=COM2\r\n"),
            (std::vector<std::string>{"[vmds]\n", "TCPPort=1\n", "COMPort=COM2\n"}));
}

TEST(StartupLines, PlainLineFeedsAndLastLineWithoutEnd) {
  EXPECT_EQ(Split("A=1\nB=2"), (std::vector<std::string>{"A=1\n", "B=2"}));
}

TEST(StartupLines, EmptyContentGivesNoLines) { EXPECT_TRUE(Split("").empty()); }

TEST(StartupLines, BlankLinesAreLinesOfTheirOwn) {
  EXPECT_EQ(Split("A=1\r\n\r\n \r\nB=2\r\n"),
            (std::vector<std::string>{"A=1\n", "\n", " \n", "B=2\n"}));
}

TEST(StartupLines, LineOf157CharactersWithItsLineFeedIsSplitBeforeTheLineFeed) {
  // 156 characters and the line feed fit one piece; 157 characters leave the line feed over.
  std::string fits(156, 'a');
  EXPECT_EQ(Split(fits + "\n"), (std::vector<std::string>{fits + "\n"}));
  std::string full(157, 'b');
  EXPECT_EQ(Split(full + "\n"), (std::vector<std::string>{full, "\n"}));
}

TEST(StartupLines, OverLongLineIsTakenIn157CharacterPieces) {
  std::string line(400, 'x');
  auto pieces = Split(line + "\r\nNext=1\r\n");
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[0], std::string(157, 'x'));
  EXPECT_EQ(pieces[1], std::string(157, 'x'));
  EXPECT_EQ(pieces[2], std::string(86, 'x') + "\n");
  EXPECT_EQ(pieces[3], "Next=1\n");
}

// ---- one line applied --------------------------------------------------------------------------

class StartupLine : public DebugFlagTest {
 protected:
  bool Apply(const std::string& line) { return ApplyStartupLine(line, service, serial, log); }
  ServiceSettings service;
  SerialSettings serial;
  LogSettings log;
};

TEST_F(StartupLine, EveryKeyReachesItsField) {
  EXPECT_TRUE(Apply("TCPPort=5001\n"));
  EXPECT_TRUE(Apply("COMPort=COM7\n"));
  EXPECT_TRUE(Apply("COMPortBitRate=9600\n"));
  EXPECT_TRUE(Apply("COMPortDataBits=7\n"));
  EXPECT_TRUE(Apply("COMPortParity=EVENPARITY\n"));
  EXPECT_TRUE(Apply("COMPortStopBits=TWOSTOPBITS\n"));
  EXPECT_TRUE(Apply("DropDTRonSocketClose=Yes\n"));
  EXPECT_TRUE(Apply("DropRTSonSocketClose=yes\n"));
  EXPECT_TRUE(Apply("MaxConnectTime=300\n"));
  EXPECT_TRUE(Apply("IdleTimeout=120\n"));
  EXPECT_TRUE(Apply("LogFilename=C:\\logs\\lab.log\n"));
  EXPECT_TRUE(Apply("LogEnabled=No\n"));
  EXPECT_TRUE(Apply("DebugEnabled=no\n"));

  EXPECT_EQ(service.TCPPort, 5001);
  EXPECT_EQ(serial.COMPort, "COM7");
  EXPECT_EQ(serial.COMPortBitRate, 9600);
  EXPECT_EQ(serial.COMPortDataBits, 7);
  EXPECT_EQ(serial.COMPortParity, "EVENPARITY");
  EXPECT_EQ(serial.COMPortStopBits, "TWOSTOPBITS");
  EXPECT_TRUE(service.DropDTRonSocketClose);
  EXPECT_TRUE(service.DropRTSonSocketClose);
  EXPECT_EQ(service.MaxConnectTime, 300000);
  EXPECT_EQ(service.IdleTimeout, 120000);
  EXPECT_EQ(log.LogFilename, "C:\\logs\\lab.log");
  EXPECT_FALSE(log.LogEnabled);
  EXPECT_FALSE(DebugEnabled);
}

TEST_F(StartupLine, DefaultsOfTheRecords) {
  EXPECT_EQ(service.TCPPort, 6100);
  EXPECT_FALSE(service.DropDTRonSocketClose);
  EXPECT_FALSE(service.DropRTSonSocketClose);
  EXPECT_EQ(service.MaxConnectTime, -1);
  EXPECT_EQ(service.IdleTimeout, -1);
  EXPECT_EQ(serial.COMPort, "Com1");
  EXPECT_EQ(serial.COMPortBitRate, 1200);
  EXPECT_EQ(serial.COMPortDataBits, 8);
  EXPECT_EQ(serial.COMPortParity, "NOPARITY");
  EXPECT_EQ(serial.COMPortStopBits, "ONESTOPBIT");
  EXPECT_EQ(log.LogFilename, ".\\vmds.log");
  EXPECT_TRUE(log.LogEnabled);
}

TEST_F(StartupLine, ValueWithoutLineFeedAtEndOfPiece) {
  EXPECT_TRUE(Apply("TCPPort=4000"));
  EXPECT_EQ(service.TCPPort, 4000);
}

TEST_F(StartupLine, BadTcpPortBecomes3001) {
  EXPECT_FALSE(Apply("TCPPort=abc\n"));
  EXPECT_EQ(service.TCPPort, 3001);
}

TEST_F(StartupLine, EmptyTcpPortIsZeroAndGood) {
  EXPECT_TRUE(Apply("TCPPort=\n"));
  EXPECT_EQ(service.TCPPort, 0);
}

TEST_F(StartupLine, TrailingBlankMakesANumberBad) {
  EXPECT_FALSE(Apply("TCPPort=5001 \n"));
  EXPECT_EQ(service.TCPPort, 3001);
}

TEST_F(StartupLine, BadBitRateBecomes1200AndBadDataBits8) {
  serial.COMPortBitRate = 9600;
  serial.COMPortDataBits = 7;
  EXPECT_FALSE(Apply("COMPortBitRate=fast\n"));
  EXPECT_FALSE(Apply("COMPortDataBits=seven\n"));
  EXPECT_EQ(serial.COMPortBitRate, 1200);
  EXPECT_EQ(serial.COMPortDataBits, 8);
}

TEST_F(StartupLine, BadTimesMeanNoLimit) {
  service.MaxConnectTime = 5000;
  service.IdleTimeout = 5000;
  EXPECT_FALSE(Apply("MaxConnectTime=soon\n"));
  EXPECT_FALSE(Apply("IdleTimeout=10 \n"));
  EXPECT_EQ(service.MaxConnectTime, -1);
  EXPECT_EQ(service.IdleTimeout, -1);
}

TEST_F(StartupLine, ZeroOrEmptyTimesMeanNoLimit) {
  EXPECT_TRUE(Apply("MaxConnectTime=0\n"));
  EXPECT_TRUE(Apply("IdleTimeout=\n"));
  EXPECT_EQ(service.MaxConnectTime, -1);
  EXPECT_EQ(service.IdleTimeout, -1);
  EXPECT_TRUE(Apply("IdleTimeout=1.5\n"));
  EXPECT_EQ(service.IdleTimeout, 1500);
}

TEST_F(StartupLine, TokensAreCaseSensitiveAndABadOneLeavesTheField) {
  EXPECT_FALSE(Apply("COMPortParity=evenparity\n"));
  EXPECT_EQ(serial.COMPortParity, "NOPARITY");
  EXPECT_FALSE(Apply("COMPortStopBits=twostopbits\n"));
  EXPECT_EQ(serial.COMPortStopBits, "ONESTOPBIT");
  EXPECT_FALSE(Apply("COMPortParity=EVENPARITY \n"));
  EXPECT_EQ(serial.COMPortParity, "NOPARITY");
}

TEST_F(StartupLine, AllParityAndStopBitTokens) {
  for (const char* token : {"NOPARITY", "EVENPARITY", "ODDPARITY", "SPACEPARITY", "MARKPARITY"}) {
    EXPECT_TRUE(Apply(std::string("COMPortParity=") + token + "\n")) << token;
    EXPECT_EQ(serial.COMPortParity, token);
  }
  for (const char* token : {"ONESTOPBIT", "ONE5STOPBITS", "TWOSTOPBITS"}) {
    EXPECT_TRUE(Apply(std::string("COMPortStopBits=") + token + "\n")) << token;
    EXPECT_EQ(serial.COMPortStopBits, token);
  }
}

TEST_F(StartupLine, BadYesNoLeavesTheFlag) {
  service.DropDTRonSocketClose = true;
  EXPECT_FALSE(Apply("DropDTRonSocketClose=maybe\n"));
  EXPECT_TRUE(service.DropDTRonSocketClose);
  EXPECT_FALSE(Apply("DebugEnabled= no\n"));
  EXPECT_TRUE(DebugEnabled);
  EXPECT_TRUE(Apply("DebugEnabled=YES\n"));
  EXPECT_TRUE(DebugEnabled);
}

TEST_F(StartupLine, KeysAreExactAndCaseSensitive) {
  EXPECT_TRUE(Apply(" TCPPort=1234\n"));  // a blank in front: unknown key
  EXPECT_TRUE(Apply("TCPPort =1234\n"));
  EXPECT_TRUE(Apply("tcpport=1234\n"));
  EXPECT_TRUE(Apply("TCPPORT=1234\n"));
  EXPECT_TRUE(Apply("UnknownKey=whatever\n"));
  EXPECT_EQ(service.TCPPort, 6100);
}

TEST_F(StartupLine, LinesWithoutEqualsSignAreSkipped) {
  EXPECT_TRUE(Apply("[Daltrimore Velmora Device Server]\n"));
  EXPECT_TRUE(Apply("# TCPPort 1234\n"));
  EXPECT_TRUE(Apply(" \n"));
  EXPECT_TRUE(Apply("\n"));
  EXPECT_EQ(service.TCPPort, 6100);
}

TEST_F(StartupLine, ValueKeepsFurtherEqualsSigns) {
  EXPECT_TRUE(Apply("LogFilename=a=b.log\n"));
  EXPECT_EQ(log.LogFilename, "a=b.log");
}

TEST_F(StartupLine, TextValuesKeepBlanks) {
  EXPECT_TRUE(Apply("LogFilename= spaced name.log \n"));
  EXPECT_EQ(log.LogFilename, " spaced name.log ");
}

TEST_F(StartupLine, EmptyLogFilenameIsGood) {
  EXPECT_TRUE(Apply("LogFilename=\n"));
  EXPECT_EQ(log.LogFilename, "");
}

TEST_F(StartupLine, LastOccurrenceWins) {
  EXPECT_TRUE(Apply("TCPPort=1000\n"));
  EXPECT_TRUE(Apply("TCPPort=2000\n"));
  EXPECT_EQ(service.TCPPort, 2000);
}

TEST_F(StartupLine, PortNameUpToTheLimitIsTaken) {
  std::string name(os::kMaxPortNameLength, 'P');
  EXPECT_TRUE(Apply("COMPort=" + name + "\n"));
  EXPECT_EQ(serial.COMPort, name);
}

TEST_F(StartupLine, OverLongPortNameIsRefused) {
  serial.COMPort = "COM3";
  std::string name(os::kMaxPortNameLength + 1, 'P');
  EXPECT_FALSE(Apply("COMPort=" + name + "\n"));
  EXPECT_EQ(serial.COMPort, "COM3");
}

TEST_F(StartupLine, DevicePathAsPortName) {
  EXPECT_TRUE(Apply("COMPort=/dev/pts/12\n"));
  EXPECT_EQ(serial.COMPort, "/dev/pts/12");
}

}  // namespace

TEST(ProtocolKey, RawByDefaultRfc2217ByNameAndABadValueStopsTheStart) {
  struct Case {
    const char* line;
    SessionProtocol protocol;
    const char* error;
  };
  const Case cases[] = {
      {"", SessionProtocol::kRaw, ""},
      {"Protocol=Raw\n", SessionProtocol::kRaw, ""},
      {"Protocol=\n", SessionProtocol::kRaw, ""},
      {"Protocol= rfc2217 \r\n", SessionProtocol::kRfc2217, ""},
      {"Protocol=RFC2217", SessionProtocol::kRfc2217, ""},
      {"Protocol=RFC 2217\n", SessionProtocol::kRaw, "Protocol \"RFC 2217\" is not Raw or RFC2217"},
      {"Protocol=telnet\n", SessionProtocol::kRaw, "Protocol \"telnet\" is not Raw or RFC2217"},
  };
  for (const Case& c : cases) {
    ServiceSettings service;
    SerialSettings serial;
    LogSettings log;
    EXPECT_TRUE(ApplyStartupLine(c.line, service, serial, log)) << c.line;
    EXPECT_EQ(service.Protocol, c.protocol) << c.line;
    EXPECT_EQ(service.ProtocolError, c.error) << c.line;
  }
}
