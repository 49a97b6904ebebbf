// The log file: time stamp format, appending lines, and the traffic dump.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "event_log.h"
#include "test_support.h"

namespace {

using vmds_unit::LogLines;
using vmds_unit::MessageOf;
using vmds_unit::ReadWholeFile;
using vmds_unit::TempDir;
using vmds_unit::WriteWholeFile;

std::tm MakeTime(int year, int month0, int day, int hour, int minute, int second) {
  std::tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month0;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_sec = second;
  return when;
}

const std::regex kStampPattern(
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-3][0-9]-[0-9]{4} "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]");

// ---- time stamp --------------------------------------------------------------------------------

TEST(LogTimestamp, Format) {
  EXPECT_EQ(FormatLogTimestamp(MakeTime(2026, 11, 6, 16, 10, 20)), "Dec-06-2026 16:10:20");
  EXPECT_EQ(FormatLogTimestamp(MakeTime(2025, 0, 1, 0, 0, 0)), "Jan-01-2025 00:00:00");
  EXPECT_EQ(FormatLogTimestamp(MakeTime(1999, 6, 31, 23, 59, 59)), "Jul-31-1999 23:59:59");
}

TEST(LogTimestamp, EnglishMonthAbbreviations) {
  const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int m = 0; m < 12; ++m) {
    EXPECT_EQ(FormatLogTimestamp(MakeTime(2024, m, 15, 8, 5, 3)),
              std::string(months[m]) + "-15-2024 08:05:03");
  }
}

TEST(LogTimestamp, CurrentTimeHasTheSameShape) {
  EXPECT_TRUE(std::regex_match(FormatLogTimestamp(), kStampPattern)) << FormatLogTimestamp();
}

// Restores the process's locale after a test that changes it.
class ForeignLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* current = std::setlocale(LC_ALL, nullptr);
    saved_ = current != nullptr ? current : "C";
    const char* path = std::getenv("LOCPATH");
    if (path != nullptr) savedPath_ = path;
  }
  void TearDown() override {
    std::setlocale(LC_ALL, saved_.c_str());
    if (!builtLocales_) return;
    if (savedPath_) {
      setenv("LOCPATH", savedPath_->c_str(), 1);
    } else {
      unsetenv("LOCPATH");
    }
  }

  // True when `name` can be set and names May otherwise than in English.
  bool TrySwitch(const char* name) {
    if (std::setlocale(LC_ALL, name) == nullptr) return false;
    std::tm may = MakeTime(2026, 4, 1, 0, 0, 0);
    char month[32] = {};
    std::strftime(month, sizeof month, "%b", &may);
    if (std::string(month) == "May") return false;
    chosen_ = name;
    return true;
  }

  // Switches to an installed locale with month names other than English; where none is
  // installed, builds a German one in a temporary directory from the system's locale sources.
  bool SwitchToNonEnglishLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                             "es_ES.UTF-8", "nl_NL.UTF-8", "de_DE", "fr_FR"}) {
      if (TrySwitch(name)) return true;
    }
    if (!vmds_unit::FileExists("/usr/share/i18n/locales/de_DE")) return false;
    std::string command = "localedef -i de_DE -f UTF-8 '" + localeDir_.File("de_DE.UTF-8") +
                          "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    setenv("LOCPATH", localeDir_.path().c_str(), 1);
    builtLocales_ = true;
    return TrySwitch("de_DE.UTF-8");
  }

  std::string saved_;
  std::optional<std::string> savedPath_;
  std::string chosen_;
  TempDir localeDir_;
  bool builtLocales_ = false;
};

TEST_F(ForeignLocale, MonthNamesStayEnglish) {
  if (!SwitchToNonEnglishLocale()) {
    GTEST_SKIP() << "no locale with non-English month names is installed";
  }
  SCOPED_TRACE("locale " + chosen_);
  EXPECT_EQ(FormatLogTimestamp(MakeTime(2026, 4, 1, 9, 0, 0)), "May-01-2026 09:00:00");
  EXPECT_EQ(FormatLogTimestamp(MakeTime(2026, 11, 6, 16, 10, 20)), "Dec-06-2026 16:10:20");
  EXPECT_EQ(FormatLogTimestamp(MakeTime(2026, 2, 6, 16, 10, 20)), "Mar-06-2026 16:10:20");
}

TEST_F(ForeignLocale, LcTimeAloneDoesNotMatterEither) {
  for (const char* name : {"C.UTF-8", "C.utf8", "POSIX"}) {
    if (std::setlocale(LC_TIME, name) == nullptr) continue;
    EXPECT_EQ(FormatLogTimestamp(MakeTime(2026, 9, 2, 1, 2, 3)), "Oct-02-2026 01:02:03") << name;
  }
}

// ---- appending lines ---------------------------------------------------------------------------

class LogFile : public vmds_unit::DebugFlagTest {
 protected:
  void SetUp() override {
    DebugFlagTest::SetUp();
    log.LogFilename = dir.File("vmds.log");
  }
  std::string Content() { return ReadWholeFile(dir.File("vmds.log")); }
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    for (const std::string& line : LogLines(Content())) messages.push_back(MessageOf(line));
    return messages;
  }

  TempDir dir;
  LogSettings log;
};

TEST_F(LogFile, LineIsTimeStampBlankMessageCrLf) {
  LogEvent("STARTUP: Daltrimore Velmora Device Server Ver 4.0 Build 47", log);
  std::string content = Content();
  ASSERT_GE(content.size(), 23u);
  EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
  std::vector<std::string> lines = LogLines(content);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0].substr(0, 20), kStampPattern)) << lines[0];
  EXPECT_EQ(lines[0][20], ' ');
  EXPECT_EQ(MessageOf(lines[0]), "STARTUP: Daltrimore Velmora Device Server Ver 4.0 Build 47");
}

TEST_F(LogFile, LinesAreAppendedNeverTruncated) {
  WriteWholeFile(dir.File("vmds.log"), "Jan-01-2020 00:00:00 earlier run\r\n");
  LogEvent("first", log);
  LogEvent("second", log);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"earlier run", "first", "second"}));
}

TEST_F(LogFile, DeletedFileIsCreatedAgain) {
  LogEvent("one", log);
  std::remove(dir.File("vmds.log").c_str());
  LogEvent("two", log);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"two"}));
}

TEST_F(LogFile, UnopenablePathLosesTheLineSilently) {
  log.LogFilename = dir.File("no-such-directory/vmds.log");
  LogEvent("lost", log);
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("no-such-directory")));
  log.LogFilename = "";
  LogEvent("lost too", log);
}

TEST_F(LogFile, BackslashesInTheFileNameAreSeparators) {
  log.LogFilename = dir.path() + "\\win.log";
  LogEvent("through a Windows-style path", log);
  std::vector<std::string> lines = LogLines(ReadWholeFile(dir.File("win.log")));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(MessageOf(lines[0]), "through a Windows-style path");
}

TEST_F(LogFile, MessagesAreWrittenAsGiven) {
  LogEvent("100% <0Dh> %s %d", log);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"100% <0Dh> %s %d"}));
}

TEST_F(LogFile, DebugLinesOnlyWhileDebugIsSet) {
  LogDebug("shown", log);
  DebugEnabled = false;
  LogDebug("hidden", log);
  LogEvent("always", log);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"shown", "always"}));
}

TEST(LogFormat, PrintfStyle) {
  EXPECT_EQ(Format("%s connected to %s", "127.0.0.1", "COM3"), "127.0.0.1 connected to COM3");
  EXPECT_EQ(Format("TCP Port number, %d, already used", 6100),
            "TCP Port number, 6100, already used");
  EXPECT_EQ(Format("%s", ""), "");
  std::string longText(1000, 'z');
  EXPECT_EQ(Format("%s!", longText.c_str()), longText + "!");
}

// ---- traffic dump ------------------------------------------------------------------------------

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first = 0) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

std::string Items(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
  static const char* kHex = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = from; i < to; ++i) {
    text += '<';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xF];
    text += "h>";
  }
  return text;
}

TEST(DumpLine, ItemFormat) {
  const std::uint8_t data[] = {0x0D, 0x0A, 0x00, 0xFF, 0xab, 0x41};
  EXPECT_EQ(DumpLine("H: ", data, sizeof data, 0), "H: <0Dh><0Ah><00h><FFh><ABh><41h>");
}

TEST(DumpLine, FifteenItemsAndHeaderOnlyOnTheFirstLine) {
  auto bytes = Bytes(40, 0x10);
  EXPECT_EQ(DumpLine("H: ", bytes.data(), bytes.size(), 0), "H: " + Items(bytes, 0, 15));
  EXPECT_EQ(DumpLine("H: ", bytes.data(), bytes.size(), 15), Items(bytes, 15, 30));
  EXPECT_EQ(DumpLine("H: ", bytes.data(), bytes.size(), 30), Items(bytes, 30, 40));
}

class TrafficDump : public LogFile {};

TEST_F(TrafficDump, SixteenBytesGiveTwoLines) {
  auto bytes = Bytes(16);
  LogTrafficDump("10.0.0.5 sent 16 bytes: ", bytes.data(), bytes.size(), log);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"10.0.0.5 sent 16 bytes: " + Items(bytes, 0, 15),
                                                  Items(bytes, 15, 16)}));
}

TEST_F(TrafficDump, ThirtyBytesGiveTwoFullLines) {
  auto bytes = Bytes(30, 0xE0);
  LogTrafficDump("10.0.0.5 30 bytes arrived from COM3: ", bytes.data(), bytes.size(), log);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"10.0.0.5 30 bytes arrived from COM3: " + Items(bytes, 0, 15),
                                      Items(bytes, 15, 30)}));
}

TEST_F(TrafficDump, SixtyFourBytesGiveFiveLines) {
  auto bytes = Bytes(64);
  LogTrafficDump("h ", bytes.data(), bytes.size(), log);
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], "h " + Items(bytes, 0, 15));
  EXPECT_EQ(messages[4], Items(bytes, 60, 64));
}

TEST_F(TrafficDump, FifteenBytesGiveOneLine) {
  auto bytes = Bytes(15);
  LogTrafficDump("h ", bytes.data(), bytes.size(), log);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"h " + Items(bytes, 0, 15)}));
}

TEST_F(TrafficDump, NothingForAnEmptyChunk) {
  LogTrafficDump("h ", nullptr, 0, log);
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("vmds.log")));
}

TEST_F(TrafficDump, NothingWhileDebugIsClear) {
  DebugEnabled = false;
  auto bytes = Bytes(20);
  LogTrafficDump("h ", bytes.data(), bytes.size(), log);
  EXPECT_FALSE(vmds_unit::FileExists(dir.File("vmds.log")));
}

}  // namespace
