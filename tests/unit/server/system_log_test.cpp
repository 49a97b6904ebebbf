// Events for the system's log: each level reaches the sink with its text, the texts name the
// instance, and the failure event carries the line that told why.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "access.h"
#include "event_log.h"
#include "system_log.h"
#include "test_support.h"

namespace {

class RecordingSink : public SystemLogSink {
 public:
  void Report(SystemLogLevel level, const std::string& text) override {
    reports.emplace_back(level, text);
  }
  std::vector<std::pair<SystemLogLevel, std::string>> reports;
};

class SystemLogTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetSystemLogSink(&sink); }
  void TearDown() override { SetSystemLogSink(previous_); }
  RecordingSink sink;

 private:
  SystemLogSink* previous_ = nullptr;
};

TEST_F(SystemLogTest, EachLevelReachesTheSinkWithItsText) {
  SystemLog::Information("one");
  SystemLog::Warning("10.0.0.9 refused: not an allowed client");
  SystemLog::Error("three");
  EXPECT_EQ(sink.reports, (std::vector<std::pair<SystemLogLevel, std::string>>{
                              {SystemLogLevel::kInformation, "one"},
                              {SystemLogLevel::kWarning, "10.0.0.9 refused: not an allowed client"},
                              {SystemLogLevel::kError, "three"},
                          }));
}

// A refused client becomes a warning exactly when its log line is written: a host that retries
// in a loop fills neither the log nor the system's log.
TEST_F(SystemLogTest, RefusedClientsAreWarningsAsRateLimitedAsTheLog) {
  vmds_unit::TempDir dir;
  LogSettings log;
  log.LogFilename = dir.File("vmds.log");
  RefusalLog refusals;
  for (int i = 0; i < 1000; ++i) refusals.Refused("10.0.0.9", log);
  refusals.Refused("10.0.0.8", log);
  EXPECT_EQ(sink.reports, (std::vector<std::pair<SystemLogLevel, std::string>>{
                              {SystemLogLevel::kWarning, "10.0.0.9 refused: not an allowed client"},
                              {SystemLogLevel::kWarning, "10.0.0.8 refused: not an allowed client"},
                          }));
}

TEST(SystemLogTexts, NameTheInstanceTheLineAndTheExitCode) {
  EXPECT_EQ(StartedEventText("Scale 2", "4.0 Build 47"),
            "Instance Scale 2 started: Daltrimore Velmora Device Server Ver 4.0 Build 47");
  EXPECT_EQ(StoppedEventText("Scale 2"), "Instance Scale 2 stopped on request");
  EXPECT_EQ(FailureEventText("Scale 2", "COM5 does not exist", 11),
            "Instance Scale 2 stopped after a failure (exit code 11): COM5 does not exist");
  // Printf directives in a log line are text, not formatting.
  EXPECT_EQ(FailureEventText("%s", "100%d", 22),
            "Instance %s stopped after a failure (exit code 22): 100%d");
}

// The failure event's text is the last line LogEvent wrote; debug lines and dumps that follow
// it do not take its place, and the count tells a caller whether a step logged at all.
TEST(LastLoggedLine, FollowsLogEventOnlyAndCounts) {
  vmds_unit::TempDir dir;
  LogSettings log;
  log.LogFilename = dir.File("vmds.log");
  bool debug = DebugEnabled;
  DebugEnabled = true;
  LastLogLine before = LastLoggedLine();
  LogEvent("COM5 does not exist", log);
  LogDebug("--Debug Mode Enabled--", log);
  const std::uint8_t bytes[] = {0x41};
  LogTrafficDump("Client: ", bytes, 1, log);
  LastLogLine after = LastLoggedLine();
  DebugEnabled = debug;
  EXPECT_EQ(after.message, "COM5 does not exist");
  EXPECT_EQ(after.count, before.count + 1);
  EXPECT_NE(vmds_unit::ReadWholeFile(log.LogFilename).find("--Debug Mode Enabled--"),
            std::string::npos);
  LogSettings noFile;
  noFile.LogFilename.clear();
  LogEvent("Could not configure COM5", noFile);  // no log file: still the last line
  EXPECT_EQ(LastLoggedLine().message, "Could not configure COM5");
}

}  // namespace
