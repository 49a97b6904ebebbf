// The status file vmds.prom: its text after each event, the atomic replace, the once-a-second
// limit while bytes move, and a write that fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "os/os.h"
#include "status_file.h"
#include "test_support.h"

namespace {

using vmds_unit::FileExists;
using vmds_unit::LogLines;
using vmds_unit::MessageOf;
using vmds_unit::ReadWholeFile;
using vmds_unit::TempDir;

// Clocks the test moves by hand.
std::chrono::steady_clock::time_point g_steady{};
std::int64_t g_wall = 0;
StatusClocks FakeClocks() {
  StatusClocks clocks;
  clocks.steady = [] { return g_steady; };
  clocks.wall = [] { return g_wall; };
  return clocks;
}
void Advance(int ms) { g_steady += std::chrono::milliseconds(ms); }

constexpr const char* kLabels = R"(instance="Lab 1",com_port="COM3",tcp_port="6100")";

std::string Sample(const std::string& name, const std::string& extra, const std::string& value) {
  return name + "{" + kLabels + (extra.empty() ? "" : "," + extra) + "} " + value + "\n";
}

class StatusFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_steady = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    g_wall = 1796690000;
    log.LogFilename = dir.File("vmds.log");
  }
  std::string Path() const { return dir.File("vmds.prom"); }
  std::vector<std::string> LogMessages() const {
    std::vector<std::string> messages;
    for (const std::string& line : LogLines(ReadWholeFile(log.LogFilename))) {
      messages.push_back(MessageOf(line));
    }
    return messages;
  }

  TempDir dir;
  LogSettings log;
};

// The whole text of a server that has just started, as monitoring tools read it.
TEST_F(StatusFileTest, StartingTextIsTheWholeFormat) {
  StatusFile status(Path(), log, FakeClocks());
  status.Start("Lab 1", "COM3", 6100, "4.0.47.0");
  const std::string expected = std::string() +
      "# HELP vmds_build_info Version of the device server.\n"
      "# TYPE vmds_build_info gauge\n" +
      Sample("vmds_build_info", "version=\"4.0.47.0\"", "1") +
      "# HELP vmds_start_time_seconds When the device server started, in seconds since 1970.\n"
      "# TYPE vmds_start_time_seconds gauge\n" +
      Sample("vmds_start_time_seconds", "", "1796690000") +
      "# HELP vmds_state The device server's state: 1 for the current one.\n"
      "# TYPE vmds_state gauge\n" +
      Sample("vmds_state", "state=\"starting\"", "1") +
      Sample("vmds_state", "state=\"listening\"", "0") +
      Sample("vmds_state", "state=\"connected\"", "0") +
      Sample("vmds_state", "state=\"stopping\"", "0") +
      Sample("vmds_state", "state=\"failed\"", "0") +
      "# HELP vmds_client_connected Whether a client is connected.\n"
      "# TYPE vmds_client_connected gauge\n" +
      Sample("vmds_client_connected", "", "0") +
      "# HELP vmds_client_info The connected client (present only while one is connected).\n"
      "# TYPE vmds_client_info gauge\n"
      "# HELP vmds_session_start_time_seconds When the current session started (present only "
      "while connected).\n"
      "# TYPE vmds_session_start_time_seconds gauge\n"
      "# HELP vmds_sessions_total Sessions since the server started.\n"
      "# TYPE vmds_sessions_total counter\n" +
      Sample("vmds_sessions_total", "", "0") +
      "# HELP vmds_sessions_ended_total Sessions ended, by how they ended.\n"
      "# TYPE vmds_sessions_ended_total counter\n" +
      Sample("vmds_sessions_ended_total", "reason=\"client_closed\"", "0") +
      Sample("vmds_sessions_ended_total", "reason=\"idle_timeout\"", "0") +
      Sample("vmds_sessions_ended_total", "reason=\"max_connect_time\"", "0") +
      Sample("vmds_sessions_ended_total", "reason=\"close_command\"", "0") +
      Sample("vmds_sessions_ended_total", "reason=\"error\"", "0") +
      Sample("vmds_sessions_ended_total", "reason=\"stop\"", "0") +
      "# HELP vmds_device_bytes_total Bytes written to the serial device.\n"
      "# TYPE vmds_device_bytes_total counter\n" +
      Sample("vmds_device_bytes_total", "", "0") +
      "# HELP vmds_client_bytes_total Bytes sent to the client.\n"
      "# TYPE vmds_client_bytes_total counter\n" +
      Sample("vmds_client_bytes_total", "", "0") +
      "# HELP vmds_dropped_bytes_total Bytes dropped because the device or the client did not "
      "take them.\n"
      "# TYPE vmds_dropped_bytes_total counter\n" +
      Sample("vmds_dropped_bytes_total", "", "0") +
      "# HELP vmds_exit_code The exit code of a failure that ended the server (present only when "
      "failed).\n"
      "# TYPE vmds_exit_code gauge\n"
      "# HELP vmds_failure_info Why the server failed (present only when failed).\n"
      "# TYPE vmds_failure_info gauge\n";
  EXPECT_EQ(ReadWholeFile(Path()), expected);
  EXPECT_EQ(status.Text(), expected);
}

// One run of events; after each, the file holds these lines (and not the absent ones).
TEST_F(StatusFileTest, ContentsAfterEachEvent) {
  StatusFile status(Path(), log, FakeClocks());
  struct Step {
    const char* event;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const auto state = [](const char* name, int value) {
    return Sample("vmds_state", std::string("state=\"") + name + "\"", std::to_string(value));
  };
  const auto ended = [](const char* reason, int value) {
    return Sample("vmds_sessions_ended_total", std::string("reason=\"") + reason + "\"",
                  std::to_string(value));
  };
  const std::string client = Sample("vmds_client_info", "address=\"10.1.2.3\"", "1");
  const std::string since = Sample("vmds_session_start_time_seconds", "", "1796690100");
  const std::vector<std::pair<std::function<void()>, Step>> steps = {
      {[&] { status.Start("Lab 1", "COM3", 6100, "4.0.47.0"); },
       {"start", {state("starting", 1), state("listening", 0)}, {client}}},
      {[&] { status.Listening(); },
       {"listening", {state("starting", 0), state("listening", 1)}, {client}}},
      {[&] {
         g_wall = 1796690100;
         status.Connected("10.1.2.3");
       },
       {"connected",
        {state("listening", 0), state("connected", 1), client, since,
         Sample("vmds_client_connected", "", "1"), Sample("vmds_sessions_total", "", "1")},
        {}}},
      {[&] {
         status.DeviceBytes(7);
         status.ClientBytes(300);
         status.DroppedBytes(5);
         status.SessionEnded(SessionEnd::kIdleTimeout);
         status.Listening();
       },
       {"idle time-out",
        {state("connected", 0), state("listening", 1), ended("idle_timeout", 1),
         ended("client_closed", 0), Sample("vmds_client_connected", "", "0"),
         Sample("vmds_device_bytes_total", "", "7"), Sample("vmds_client_bytes_total", "", "300"),
         Sample("vmds_dropped_bytes_total", "", "5")},
        {client, since}}},
      {[&] {
         status.Connected("10.1.2.3");
         status.SessionEnded(SessionEnd::kCloseCommand);
         status.Listening();
         status.Connected("10.1.2.3");
         status.SessionEnded(SessionEnd::kMaxConnectTime);
         status.Listening();
         status.Connected("10.1.2.3");
         status.SessionEnded(SessionEnd::kClientClosed);
         status.Listening();
       },
       {"three more sessions",
        {Sample("vmds_sessions_total", "", "4"), ended("close_command", 1),
         ended("max_connect_time", 1), ended("client_closed", 1), state("listening", 1)},
        {}}},
      {[&] {
         status.Connected("10.1.2.3");
         status.SessionEnded(SessionEnd::kStop);
       },
       // The end of a session is written with the state that follows.
       {"a session ended (not written yet)", {state("connected", 1), ended("stop", 0)}, {}}},
      {[&] { status.Stopping(); },
       {"stopping",
        {state("connected", 0), state("stopping", 1), ended("stop", 1),
         Sample("vmds_sessions_total", "", "5")},
        {client, "vmds_exit_code{"}}},
      {[&] { status.Failed(11); },
       {"failed",
        {state("stopping", 0), state("failed", 1), Sample("vmds_exit_code", "", "11"),
         Sample("vmds_failure_info", "reason=\"port not opened\"", "1")},
        {}}},
  };
  for (const auto& [event, step] : steps) {
    event();
    const std::string text = ReadWholeFile(Path());
    for (const std::string& line : step.present) {
      EXPECT_NE(text.find(line), std::string::npos) << step.event << ": no " << line;
    }
    for (const std::string& line : step.absent) {
      EXPECT_EQ(text.find(line), std::string::npos) << step.event << ": " << line;
    }
    EXPECT_EQ(text.find('\r'), std::string::npos) << step.event;
  }
}

TEST_F(StatusFileTest, FailureReasonsOfEveryExitCode) {
  const std::vector<std::pair<std::uint32_t, std::string>> reasons = {
      {11, "port not opened"},  {12, "port not configured"}, {13, "listener not opened"},
      {14, "events not made"},  {16, "protocol not valid"}, {17, "TLS settings not valid"},
      {21, "socket failure"},      {22, "serial port or system failure"},
  };
  for (const auto& [code, reason] : reasons) EXPECT_EQ(FailureReason(code), reason) << code;
}

// The file is replaced, never rewritten in place: a reader that opened the old file reads all of
// the old text, and no temporary file stays behind.
TEST_F(StatusFileTest, EveryWriteReplacesTheFileAtOnce) {
  StatusFile status(Path(), log, FakeClocks());
  status.Start("Lab 1", "COM3", 6100, "4.0.47.0");
  const std::string before = ReadWholeFile(Path());
  struct stat old {};
  ASSERT_EQ(stat(Path().c_str(), &old), 0);
  const int reader = open(Path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);

  status.Connected("10.1.2.3");
  struct stat now {};
  ASSERT_EQ(stat(Path().c_str(), &now), 0);
  EXPECT_NE(now.st_ino, old.st_ino) << "rewritten in place";
  std::string seen(before.size() + 100, '\0');
  const ssize_t got = read(reader, seen.data(), seen.size());
  close(reader);
  ASSERT_GE(got, 0);
  seen.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(seen, before);
  EXPECT_NE(ReadWholeFile(Path()).find("address=\"10.1.2.3\""), std::string::npos);

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"vmds.prom"});
}

// While bytes move the file is written at most once a second; with nothing moving no write is
// due and the session's wait has no time-out from it.
TEST_F(StatusFileTest, BytesAreWrittenAtMostOnceASecond) {
  StatusFile status(Path(), log, FakeClocks());
  status.Start("Lab 1", "COM3", 6100, "4.0.47.0");
  status.Connected("10.1.2.3");
  const auto deviceBytes = [&] {
    const std::string text = ReadWholeFile(Path());
    const std::string name = Sample("vmds_device_bytes_total", "", "");
    const std::size_t at = text.find(name.substr(0, name.size() - 1));
    return at == std::string::npos ? std::string("?")
                                   : text.substr(at + name.size() - 1,
                                                 text.find('\n', at) - at - name.size() + 1);
  };
  EXPECT_EQ(status.WriteIfDue(), os::kInfinite) << "idle: nothing due";

  Advance(300);
  status.DeviceBytes(10);
  EXPECT_EQ(status.WriteIfDue(), 700) << "a second after the last write (the connect)";
  EXPECT_EQ(deviceBytes(), "0");
  Advance(699);
  status.DeviceBytes(10);
  EXPECT_EQ(status.WriteIfDue(), 1);
  EXPECT_EQ(deviceBytes(), "0");
  Advance(1);
  EXPECT_EQ(status.WriteIfDue(), os::kInfinite) << "written, nothing left";
  EXPECT_EQ(deviceBytes(), "20");

  // Counting nothing arms nothing; a long quiet pause then bytes: written at the next look.
  status.ClientBytes(0);
  EXPECT_EQ(status.WriteIfDue(), os::kInfinite);
  Advance(60000);
  status.DeviceBytes(1);
  EXPECT_EQ(status.WriteIfDue(), os::kInfinite);
  EXPECT_EQ(deviceBytes(), "21");

  // A state change writes at once and starts the second again.
  Advance(400);
  status.DeviceBytes(1);
  status.SessionEnded(SessionEnd::kClientClosed);
  status.Listening();
  EXPECT_EQ(deviceBytes(), "22");
  EXPECT_EQ(status.WriteIfDue(), os::kInfinite);
  Advance(100);
  status.DroppedBytes(3);
  EXPECT_EQ(status.WriteIfDue(), 900);
}

// A write that fails is logged once, not per attempt; the server goes on; once a write works
// again a later failure is logged again.
TEST_F(StatusFileTest, FailedWriteIsLoggedOnce) {
  const std::string sub = dir.File("state");
  StatusFile status(sub + "/vmds.prom", log, FakeClocks());
  status.Start("Lab 1", "COM3", 6100, "4.0.47.0");
  status.Listening();
  status.Connected("10.1.2.3");
  Advance(1000);
  status.DeviceBytes(1);
  EXPECT_EQ(status.WriteIfDue(), os::kInfinite) << "a failed write is not tried again early";
  const std::string line =
      "Win32 Error #: 2 Status file " + sub + "/vmds.prom could not be written";
  EXPECT_EQ(LogMessages(), std::vector<std::string>{line});
  EXPECT_NE(status.Text().find(Sample("vmds_state", "state=\"connected\"", "1")),
            std::string::npos);

  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  status.SessionEnded(SessionEnd::kClientClosed);
  status.Listening();
  EXPECT_TRUE(FileExists(sub + "/vmds.prom"));
  // The target is now a directory: the rename fails and the temporary file goes.
  ASSERT_TRUE(std::filesystem::remove(sub + "/vmds.prom"));
  ASSERT_EQ(mkdir((sub + "/vmds.prom").c_str(), 0700), 0);
  status.Connected("10.1.2.3");
  status.Stopping();
  const std::vector<std::string> messages = LogMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].find("Win32 Error #: "), 0u) << messages[1];
  EXPECT_NE(messages[1].find(" Status file " + sub + "/vmds.prom could not be written"),
            std::string::npos)
      << messages[1];
  EXPECT_FALSE(FileExists(sub + "/vmds.prom.tmp"));
}

TEST(StatusFilePath, BesideTheLogFile) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {".\\vmds.log", "./vmds.prom"},
      {"vmds.log", "vmds.prom"},
      {"", "vmds.prom"},
      {"/var/lib/vmds/lab1/vmds.log", "/var/lib/vmds/lab1/vmds.prom"},
      {"logs\\today\\vmds.log", "logs/today/vmds.prom"},
      {"D:vmds.log", "D:vmds.prom"},
  };
  for (const auto& [logFile, expected] : cases) {
    EXPECT_EQ(StatusFilePath(logFile), expected) << logFile;
  }
}

TEST(StatusFileLabels, EscapedAsTheFormatSays) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Lab 1", "Lab 1"},
      {R"(a\b"c)", R"(a\\b\"c)"},
      {"two\nlines", "two\\nlines"},
      {"Caf\xC3\xA9", "Caf\xC3\xA9"},         // UTF-8 stays
      {"Caf\xE9", "Caf\xC3\xA9"},             // Latin-1 becomes UTF-8
      {"\xC3(", "\xC3\x83("},                 // a broken sequence is Latin-1 too
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},  // a surrogate is no UTF-8
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(EscapeLabelValue(value), expected);
}

}  // namespace
