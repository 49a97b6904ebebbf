// The status file vmds.prom of the real vmds: it follows the server's state, counts sessions and
// bytes, is not written while nothing moves, names a failure, passes promtool and is read by
// node_exporter's textfile collector.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "harness.h"

namespace vmds_it {
namespace {

constexpr const char* kInstanceName = "Lab 1";

class StatusFileRun : public VmdsTest {
 protected:
  StartupSettings Settings() const {
    StartupSettings settings = instance.DefaultSettings();
    settings["InstanceName"] = kInstanceName;
    return settings;
  }
  std::string Labels() {
    return std::string("instance=\"") + kInstanceName + "\",com_port=\"" +
           instance.device().slavePath() + "\",tcp_port=\"" + std::to_string(instance.port()) +
           "\"";
  }
  std::string Sample(const std::string& name, const std::string& extra,
                     const std::string& value) {
    return name + "{" + Labels() + (extra.empty() ? "" : "," + extra) + "} " + value + "\n";
  }
  std::string State(const std::string& state) {
    return Sample("vmds_state", "state=\"" + state + "\"", "1");
  }
  bool WaitStatus(const std::vector<std::string>& fragments) {
    return instance.WaitForFileText("vmds.prom", fragments);
  }
  std::string StatusText() const {
    std::ifstream in(instance.File("vmds.prom"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

// True when vmds.prom was replaced within `timeout` (watched through inotify).
bool ReplacedWithin(const std::string& dir, std::chrono::milliseconds timeout) {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    ADD_FAILURE() << "inotify";
    if (fd >= 0) close(fd);
    return true;
  }
  const auto deadline = Clock::now() + timeout;
  bool replaced = false;
  while (!replaced) {
    pollfd p{fd, POLLIN, 0};
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || poll(&p, 1, left) <= 0) break;
    alignas(inotify_event) char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    for (ssize_t at = 0; at < got;) {
      auto* event = reinterpret_cast<inotify_event*>(buffer + at);
      if (event->len > 0 && std::string(event->name).rfind("vmds.prom", 0) == 0) replaced = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(fd);
  return replaced;
}

TEST_F(StatusFileRun, FollowsSessionsAndBytesAndIsQuietWhileIdle) {
  ASSERT_NO_FATAL_FAILURE(StartWith(Settings()));
  ASSERT_TRUE(WaitStatus({State("listening"), Sample("vmds_sessions_total", "", "0")}))
      << StatusText();

  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(WaitStatus({State("connected"), Sample("vmds_client_connected", "", "1"),
                          Sample("vmds_client_info", "address=\"127.0.0.1\"", "1"),
                          Sample("vmds_sessions_total", "", "1"),
                          "vmds_session_start_time_seconds{" + Labels() + "} "}))
      << StatusText();

  // Bytes each way; then nothing moves: the bytes still reach the file (within a second).
  const Bytes request = PatternBytes(100, 1);
  const Bytes reply = PatternBytes(300, 2);
  ASSERT_TRUE(client.Send(request));
  ASSERT_EQ(instance.device().Read(request.size()), request);
  ASSERT_TRUE(instance.device().Write(reply));
  ASSERT_EQ(client.Read(reply.size()), reply);
  ASSERT_TRUE(WaitStatus({Sample("vmds_device_bytes_total", "", "100"),
                          Sample("vmds_client_bytes_total", "", "300"), State("connected")}))
      << StatusText();
  // Idle: no more writes.
  EXPECT_FALSE(ReplacedWithin(instance.dir(), std::chrono::milliseconds(1500)));

  ASSERT_TRUE(client.Send("SSSP=0"));
  ASSERT_TRUE(WaitStatus({State("listening"), Sample("vmds_client_connected", "", "0"),
                          Sample("vmds_sessions_ended_total", "reason=\"close_command\"", "1")}))
      << StatusText();
  EXPECT_EQ(StatusText().find("vmds_client_info{" + Labels()), std::string::npos);

  Client second;
  ASSERT_EQ(second.Connect(instance.port()), 0);
  ASSERT_TRUE(WaitStatus({State("connected"), Sample("vmds_sessions_total", "", "2")}));
  second.Close();
  ASSERT_TRUE(WaitStatus({State("listening"),
                          Sample("vmds_sessions_ended_total", "reason=\"client_closed\"", "1")}))
      << StatusText();

  Client third;
  ASSERT_EQ(third.Connect(instance.port()), 0);
  ASSERT_TRUE(WaitStatus({State("connected"), Sample("vmds_sessions_total", "", "3")}));
  ASSERT_TRUE(instance.StopCleanly());
  const std::string text = StatusText();
  EXPECT_NE(text.find(State("stopping")), std::string::npos) << text;
  EXPECT_NE(text.find(Sample("vmds_sessions_ended_total", "reason=\"stop\"", "1")),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("vmds_exit_code{"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(instance.File("vmds.prom.tmp")));
}

TEST_F(StatusFileRun, IdleTimeoutIsCountedAndKeepsItsTimeWhileBytesMoved) {
  StartupSettings settings = Settings();
  settings["IdleTimeout"] = "2";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("connected to"));
  const auto sent = Clock::now();
  ASSERT_TRUE(client.Send("ping"));
  ASSERT_EQ(instance.device().Read(4), ToBytes("ping"));
  // The write of the counted bytes ends the session's wait early; the idle time still runs from
  // the last event, not from that write.
  ASSERT_TRUE(instance.WaitForLog("reached idle time; closing connection"));
  const auto idle = Clock::now() - sent;
  EXPECT_LT(idle, std::chrono::milliseconds(2900)) << "idle time started again by a write";
  ASSERT_TRUE(WaitStatus({State("listening"), Sample("vmds_device_bytes_total", "", "4"),
                          Sample("vmds_sessions_ended_total", "reason=\"idle_timeout\"", "1")}))
      << StatusText();
}

TEST_F(StatusFileRun, FailureNamesItsExitCodeAndReason) {
  StartupSettings settings = Settings();
  settings["COMPort"] = instance.dir() + "/no-such-device";
  instance.WriteStartupFile(settings);
  instance.Start();
  std::optional<int> status = instance.WaitExit();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 11);
  const std::string labels = std::string("instance=\"") + kInstanceName + "\",com_port=\"" +
                             settings["COMPort"] + "\",tcp_port=\"" +
                             std::to_string(instance.port()) + "\"";
  const std::string text = StatusText();
  for (const std::string& line : {
           "vmds_state{" + labels + ",state=\"failed\"} 1\n",
           "vmds_state{" + labels + ",state=\"starting\"} 0\n",
           "vmds_exit_code{" + labels + "} 11\n",
           "vmds_failure_info{" + labels + ",reason=\"port not opened\"} 1\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

// ---- promtool and node_exporter ----------------------------------------------------------------

// The first of `names` found in PATH (or /usr/bin, /usr/sbin), or nothing.
std::optional<std::string> FindProgram(std::initializer_list<const char*> names) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/bin:/usr/sbin:/usr/local/bin";
  for (const char* name : names) {
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t end = path.find(':', start);
      if (end == std::string::npos) end = path.size();
      const std::string candidate = path.substr(start, end - start) + "/" + name;
      if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
  }
  return std::nullopt;
}

// A program run with its output in a file; its exit code.
int RunProgram(const std::vector<std::string>& argv, const std::string& input,
               const std::string& output) {
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// node_exporter with only the textfile collector, on the loopback interface; killed at the end.
class NodeExporter {
 public:
  NodeExporter(const std::string& program, const std::string& textDir, int port) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipeFds[1], 1);
      dup2(pipeFds[1], 2);
      const std::string dirFlag = "--collector.textfile.directory=" + textDir;
      const std::string listenFlag = "--web.listen-address=127.0.0.1:" + std::to_string(port);
      execl(program.c_str(), program.c_str(), "--collector.disable-defaults",
            "--collector.textfile", dirFlag.c_str(), listenFlag.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFds[1]);
    output_ = pipeFds[0];
    fcntl(output_, F_SETFL, O_NONBLOCK);
  }
  ~NodeExporter() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    if (output_ >= 0) close(output_);
  }
  // Waits for its "Listening on" line.
  bool WaitListening(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (text_.find("Listening on") == std::string::npos) {
      pollfd p{output_, POLLIN, 0};
      const int left = MillisecondsLeft(deadline);
      if (left == 0 || poll(&p, 1, left) <= 0) return false;
      char buffer[4096];
      ssize_t got = read(output_, buffer, sizeof buffer);
      if (got <= 0) return false;  // it ended
      text_.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  }
  const std::string& output() const { return text_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string text_;
};

// One HTTP GET of `path` on 127.0.0.1:port; the whole response.
std::string HttpGet(int port, const std::string& path) {
  Client client;
  if (client.Connect(port) != 0) return "";
  if (!client.Send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) return "";
  Bytes response;
  client.WaitClosedByServer(kWait, &response);
  return ToText(response);
}

TEST_F(StatusFileRun, PassesPromtoolAndNodeExporterReadsIt) {
  const std::optional<std::string> promtool = FindProgram({"promtool"});
  const std::optional<std::string> exporter =
      FindProgram({"prometheus-node-exporter", "node_exporter"});
  if (!promtool || !exporter) {
    GTEST_SKIP() << "promtool or node_exporter is not installed (scripts/setup.sh --all)";
  }
  ASSERT_NO_FATAL_FAILURE(StartWith(Settings()));
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(WaitStatus({State("connected")})) << StatusText();

  const std::string checked = instance.File("promtool.txt");
  EXPECT_EQ(RunProgram({*promtool, "check", "metrics"}, instance.File("vmds.prom"), checked), 0)
      << std::ifstream(checked).rdbuf();

  const int port = FreeTcpPort();
  NodeExporter nodeExporter(*exporter, instance.dir(), port);
  ASSERT_TRUE(nodeExporter.WaitListening(kWait)) << nodeExporter.output();
  const std::string metrics = HttpGet(port, "/metrics");
  EXPECT_EQ(metrics.rfind("HTTP/1.0 200", 0), 0u) << metrics.substr(0, 200);
  // The exporter puts the labels in alphabetical order.
  const std::string com = "com_port=\"" + instance.device().slavePath() + "\"";
  const std::string name = std::string("instance=\"") + kInstanceName + "\"";
  const std::string tcp = "tcp_port=\"" + std::to_string(instance.port()) + "\"";
  for (const std::string& line : {
           "vmds_state{" + com + "," + name + ",state=\"connected\"," + tcp + "} 1\n",
           "vmds_client_info{address=\"127.0.0.1\"," + com + "," + name + "," + tcp + "} 1\n",
           "vmds_sessions_total{" + com + "," + name + "," + tcp + "} 1\n",
       }) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
  }
  EXPECT_NE(metrics.find("node_textfile_scrape_error 0"), std::string::npos) << metrics;
}

}  // namespace
}  // namespace vmds_it
