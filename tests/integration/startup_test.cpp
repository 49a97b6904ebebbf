// Start-up and shutdown of the real vmds: the startup file, the device and the TCP port.
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "harness.h"

namespace vmds_it {
namespace {

const std::string kStartupLine = "STARTUP: Daltrimore Velmora Device Server Ver 4.0 Build 47";
const std::string kShutdownLine = "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47";
const std::string kDefaultsLine =
    "Some default values may be used due to error reading startup file";
const std::string kNotInitialised = "Velmora Device Server could not be initialized successfully";

using Messages = std::vector<std::string>;

// Exit codes of a failed initialisation: the serial port could not be opened, the listener not.
constexpr int kExitSerialPortNotOpened = 11;
constexpr int kExitListenerNotOpened = 13;

class Startup : public VmdsTest {
 protected:
  // For a start that must fail: waits for the process to stop by itself with `exitCode`.
  void ExpectStopsByItself(int exitCode) {
    std::optional<int> status = instance.WaitExit();
    ASSERT_TRUE(status.has_value()) << "vmds did not stop by itself";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == exitCode)
        << "wait status " << *status << ", expected exit code " << exitCode;
  }
};

TEST_F(Startup, GoodStartupFileRunsAndStopsOnSigterm) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  EXPECT_TRUE(instance.StopCleanly());
  EXPECT_EQ(instance.LogMessages(), (Messages{
                                        "Startup file read successfully",
                                        "Serial port initialized",
                                        "TCP socket initialized",
                                        kStartupLine,
                                        "--Debug Mode Enabled--",
                                        "Waiting for connection",
                                        "Exit Signalled",
                                        kShutdownLine,
                                    }));
}

TEST_F(Startup, LogLinesCarryTimeStampsAndCrLf) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  ASSERT_TRUE(instance.StopCleanly());
  const std::regex line(
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-3][0-9]-[0-9]{4} "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [^\r\n]+\r\n");
  std::string text = instance.LogText();
  ASSERT_FALSE(text.empty());
  std::size_t pos = 0;
  int lines = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    ASSERT_NE(end, std::string::npos) << "unterminated last line";
    std::string one = text.substr(pos, end + 1 - pos);
    EXPECT_TRUE(std::regex_match(one, line)) << one;
    pos = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 8);
}

TEST_F(Startup, DebugOffLogsNoReaderLineAndASessionLeavesTwoLines) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  {
    Client client;
    ASSERT_EQ(client.Connect(instance.port()), 0);
    ASSERT_TRUE(instance.WaitForLog("connected to"));
    client.Close();
    ASSERT_TRUE(instance.WaitForLog("closed session"));
  }
  ASSERT_TRUE(instance.StopCleanly());
  EXPECT_EQ(instance.LogMessages(),
            (Messages{kStartupLine, "127.0.0.1 connected to " + instance.device().slavePath(),
                      "127.0.0.1 closed session", kShutdownLine}));
}

TEST_F(Startup, BadValueIsReportedAndTheServiceStillRuns) {
  StartupSettings settings = instance.DefaultSettings();
  settings["COMPortParity"] = "evenparity";  // tokens are case-sensitive: parity stays none
  settings["MaxConnectTime"] = "10 ";        // trailing blank: no limit
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  Messages messages = instance.LogMessages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0], "Startup file not read successfully");
  EXPECT_EQ(messages[1], kDefaultsLine);
  EXPECT_EQ(instance.CountLogLines(kStartupLine), 1);
  EXPECT_EQ(instance.CountLogLines("Startup file read successfully"), 0);

  // And it works: a client's bytes reach the device.
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("Bit Rate = "));
  ASSERT_TRUE(client.Send("ping"));
  EXPECT_EQ(ToText(instance.device().Read(4)), "ping");
}

TEST_F(Startup, BadValueWithDebugOffIsStillReported) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  settings["COMPortStopBits"] = "2";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  ASSERT_TRUE(instance.StopCleanly());
  EXPECT_EQ(instance.LogMessages(), (Messages{"Startup file not read successfully", kDefaultsLine,
                                              kStartupLine, kShutdownLine}));
}

TEST_F(Startup, MissingStartupFileRunsOnDefaults) {
  // The defaults name COM1 (/dev/ttyS0 here) and port 6100. Where this machine has a /dev/ttyS0
  // the test holds it, so the service cannot take the real port: "Com1 is in use".
  int heldPort = open("/dev/ttyS0", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (heldPort >= 0 && flock(heldPort, LOCK_EX | LOCK_NB) != 0) {
    close(heldPort);
    GTEST_SKIP() << "/dev/ttyS0 is locked by another program";
  }
  instance.Start();
  ASSERT_NO_FATAL_FAILURE(ExpectStopsByItself(kExitSerialPortNotOpened));
  if (heldPort >= 0) close(heldPort);

  Messages messages = instance.LogMessages();
  ASSERT_EQ(messages.size(), 5u) << instance.LogText();
  EXPECT_EQ(messages[0], kDefaultsLine);
  EXPECT_TRUE(messages[1] == "Com1 does not exist" || messages[1] == "Com1 is in use" ||
              messages[1].find("Com1 could not be opened") != std::string::npos)
      << messages[1];
  EXPECT_EQ(messages[2], kNotInitialised);
  EXPECT_EQ(messages[3], "--Debug Mode Enabled--");  // debug stays on without a startup file
  EXPECT_EQ(messages[4], kShutdownLine);
}

TEST_F(Startup, TcpPortAlreadyUsed) {
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(instance.port()));
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);

  instance.WriteStartupFile(instance.DefaultSettings());
  instance.Start();
  ASSERT_NO_FATAL_FAILURE(ExpectStopsByItself(kExitListenerNotOpened));
  close(holder);

  EXPECT_EQ(instance.CountLogLines("TCP Port number, " + std::to_string(instance.port()) +
                                   ", already used"),
            1);
  EXPECT_EQ(instance.CountLogLines(kNotInitialised), 1);
  EXPECT_EQ(instance.CountLogLines(kStartupLine), 0);
  EXPECT_EQ(instance.CountLogLines(kShutdownLine), 1);
}

TEST_F(Startup, SerialDeviceMissing) {
  StartupSettings settings = instance.DefaultSettings();
  settings["COMPort"] = "/dev/vmds-test-no-such-device";
  instance.WriteStartupFile(settings);
  instance.Start();
  ASSERT_NO_FATAL_FAILURE(ExpectStopsByItself(kExitSerialPortNotOpened));
  Messages messages = instance.LogMessages();
  EXPECT_EQ(instance.CountLogLines("/dev/vmds-test-no-such-device does not exist"), 1);
  EXPECT_EQ(instance.CountLogLines(kNotInitialised), 1);
  EXPECT_EQ(instance.CountLogLines(kStartupLine), 0);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), kShutdownLine);
}

TEST_F(Startup, ComPortNameThatDoesNotExist) {
  StartupSettings settings = instance.DefaultSettings();
  settings["COMPort"] = "COM250";
  instance.WriteStartupFile(settings);
  instance.Start();
  ASSERT_NO_FATAL_FAILURE(ExpectStopsByItself(kExitSerialPortNotOpened));
  EXPECT_EQ(instance.CountLogLines("COM250 does not exist"), 1);
  EXPECT_EQ(instance.CountLogLines(kNotInitialised), 1);
}

TEST_F(Startup, SerialDeviceInUse) {
  int holder = open(instance.device().slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);

  instance.WriteStartupFile(instance.DefaultSettings());
  instance.Start();
  ASSERT_NO_FATAL_FAILURE(ExpectStopsByItself(kExitSerialPortNotOpened));
  close(holder);
  EXPECT_EQ(instance.CountLogLines(instance.device().slavePath() + " is in use"), 1);
  EXPECT_EQ(instance.CountLogLines(kNotInitialised), 1);
  EXPECT_EQ(instance.CountLogLines(kStartupLine), 0);
}

TEST_F(Startup, RelativeLogFilenameResolvesAgainstTheInstanceDirectory) {
  StartupSettings settings = instance.DefaultSettings();
  settings["LogFilename"] = ".\\custom.log";
  instance.SetLogPath(instance.File("custom.log"));
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  ASSERT_TRUE(instance.StopCleanly());
  EXPECT_EQ(instance.CountLogLines(kStartupLine), 1);
  EXPECT_EQ(instance.CountLogLines(kShutdownLine), 1);
  EXPECT_EQ(access(instance.File("vmds.log").c_str(), F_OK), -1);
}

TEST_F(Startup, UnusableLogFileDoesNotStopTheService) {
  StartupSettings settings = instance.DefaultSettings();
  settings["LogFilename"] = instance.File("missing-dir/vmds.log");
  instance.WriteStartupFile(settings);
  instance.Start();
  // No log to wait on: a client's bytes reaching the device show that the service runs. The
  // listener's readiness shows only as a connect that succeeds, so the connect is retried.
  Clock::time_point deadline = Clock::now() + kWait;
  int error = ECONNREFUSED;
  while (error == ECONNREFUSED && Clock::now() < deadline && instance.Running()) {
    Client attempt;
    error = attempt.Connect(instance.port());
    if (error == 0) {
      ASSERT_TRUE(attempt.Send("alive"));
      EXPECT_EQ(ToText(instance.device().Read(5)), "alive");
    } else {
      poll(nullptr, 0, 5);
    }
  }
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(instance.StopCleanly());
  EXPECT_EQ(access(instance.File("missing-dir").c_str(), F_OK), -1);
}

}  // namespace
}  // namespace vmds_it

namespace vmds_it {
namespace {

// The lines of the process's standard error that carry an sd-daemon priority prefix.
std::vector<std::string> PrefixedLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 3 && line[0] == '<' && line[2] == '>') lines.push_back(line);
  }
  return lines;
}

// Under systemd (JOURNAL_STREAM names standard error) the service's events go to standard error
// with their priority, one line each, beside the log file; otherwise nothing is written there.
TEST_F(Startup, JournalStreamGetsEventsWithPriorities) {
  const std::string started =
      "<6>Instance Press 4 started: Daltrimore Velmora Device Server Ver 4.0 Build 47";
  const std::string stopped = "<6>Instance Press 4 stopped on request";
  const std::string failed =
      "<3>Instance Press 4 stopped after a failure (exit code 11): "
      "/dev/vmds-test-no-such-device does not exist";
  struct Case {
    const char* name;
    bool journal;
    bool missingDevice;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"stop on request", true, false, {started, stopped}},
      {"failed start", true, true, {failed}},
      {"not under systemd", false, false, {}},
      {"not under systemd, failed start", false, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Instance one;
    StartupSettings settings = one.DefaultSettings();
    settings["InstanceName"] = "Press 4";
    if (c.missingDevice) settings["COMPort"] = "/dev/vmds-test-no-such-device";
    one.WriteStartupFile(settings);
    LaunchOptions options;
    options.journalStream = c.journal;
    one.Start(options);
    if (c.missingDevice) {
      std::optional<int> status = one.WaitExit();
      ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == kExitSerialPortNotOpened);
      EXPECT_EQ(one.CountLogLines("/dev/vmds-test-no-such-device does not exist"), 1);
    } else {
      ASSERT_TRUE(one.WaitListening()) << one.LogText();
      ASSERT_TRUE(one.StopCleanly());
      EXPECT_EQ(one.CountLogLines(kStartupLine), 1);  // the log file as before
    }
    std::string output = one.ProcessOutput();
    EXPECT_EQ(PrefixedLines(output), c.expected) << output;
    if (!c.journal) {
      EXPECT_EQ(output.find("Instance Press 4"), std::string::npos) << output;
    }
  }
}

// A JOURNAL_STREAM that names another file (standard error redirected after systemd set it)
// sends nothing to standard error.
TEST_F(Startup, JournalStreamOfAnotherFileIsIgnored) {
  StartupSettings settings = instance.DefaultSettings();
  instance.WriteStartupFile(settings);
  struct stat info {};
  ASSERT_EQ(stat(instance.File("vmds.ini").c_str(), &info), 0);
  LaunchOptions options;
  options.extraEnvironment.push_back("JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" +
                                     std::to_string(info.st_ino));
  instance.Start(options);
  ASSERT_TRUE(instance.WaitListening());
  ASSERT_TRUE(instance.StopCleanly());
  EXPECT_EQ(PrefixedLines(instance.ProcessOutput()), std::vector<std::string>{});
}

// A journal stream that takes nothing (its reader is gone) loses the events; the server runs,
// serves and stops as always, and is not ended by SIGPIPE.
TEST_F(Startup, JournalStreamThatFailsDisturbsNothing) {
  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  close(pipeEnds[0]);
  struct stat info {};
  ASSERT_EQ(fstat(pipeEnds[1], &info), 0);
  LaunchOptions options;
  options.standardError = pipeEnds[1];
  options.extraEnvironment.push_back("JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" +
                                     std::to_string(info.st_ino));
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings(), options));
  close(pipeEnds[1]);
  {
    Client client;
    ASSERT_EQ(client.Connect(instance.port()), 0);
    ASSERT_TRUE(instance.WaitForLog("127.0.0.1 connected to"));
  }
  EXPECT_TRUE(instance.StopCleanly());
  EXPECT_EQ(instance.CountLogLines(kShutdownLine), 1);
}

}  // namespace
}  // namespace vmds_it
