// Harness of the integration tests: the real Linux vmds in a temporary instance directory, a
// pseudo-terminal as its serial device (the test holds the master side, the "device"), TCP
// clients on the loopback interface, and the instance's log file as evidence.
//
// Every wait is bounded (kWait unless a test says otherwise) and driven by an event: a change in
// the instance directory, readiness of a descriptor, or the exit of the process.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vmds_it {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::chrono::milliseconds kWait{10000};

Bytes ToBytes(const std::string& text);
std::string ToText(const Bytes& bytes);
// Pseudo-random bytes from a seed: a stream in which a lost or repeated piece shows.
Bytes PatternBytes(std::size_t count, std::uint32_t seed);
// The first index where two byte strings differ (or the shorter length).
std::size_t FirstDifference(const Bytes& a, const Bytes& b);

// Milliseconds left until `deadline`, at least 0.
int MillisecondsLeft(Clock::time_point deadline);

// A fresh directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The "device": the master side of a pseudo-terminal pair. vmds opens the slave by its path.
class PtyDevice {
 public:
  PtyDevice();
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }
  // The device goes away: the master side is closed and the terminal hangs up.
  void Close();

  // Writes all of `data`; false when the deadline passes first.
  bool Write(const Bytes& data, std::chrono::milliseconds timeout = kWait);
  // Writes what the terminal takes now, waiting at most `timeout` for room; returns the count.
  std::size_t WriteSome(const std::uint8_t* data, std::size_t size,
                        std::chrono::milliseconds timeout);
  // Reads until `count` bytes came or the deadline passed; returns what came.
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout = kWait);
  // Reads whatever arrives within `timeout` (used only to show that nothing more came).
  Bytes ReadFor(std::chrono::milliseconds timeout);
  // Waits until at least `count` bytes written by the device wait unread on the vmds side.
  bool WaitUntilQueuedForHost(std::size_t count, std::chrono::milliseconds timeout = kWait);

 private:
  int master_ = -1;
  std::string slavePath_;
};

// A TCP client of the loopback interface.
class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Shrinks the receive buffer (before Connect) so that a client that does not read pushes back.
  void SetReceiveBuffer(int bytes);
  // Connects to 127.0.0.1:port; returns 0 or the errno of the failed connect.
  int Connect(int port);
  // Connects from the local address `source` (empty: any) to `destination`:port.
  int Connect(int port, const std::string& source, const std::string& destination);
  bool Send(const Bytes& data, std::chrono::milliseconds timeout = kWait);
  bool Send(const std::string& text) { return Send(ToBytes(text)); }
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout = kWait);
  // True when the server closed the connection (end of stream or reset) within `timeout`;
  // data that arrives meanwhile is appended to `*unread` when given.
  bool WaitClosedByServer(std::chrono::milliseconds timeout = kWait, Bytes* unread = nullptr);
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Keys and values of a startup file; written in CR LF lines under a section header.
using StartupSettings = std::map<std::string, std::string>;

struct LaunchOptions {
  bool preloadModemShim = true;
  std::vector<std::string> preload;  // further libraries to preload, after the shim
  // JOURNAL_STREAM names the process's standard error (output.txt) as systemd would; otherwise
  // the variable is not passed on.
  bool journalStream = false;
  std::vector<std::string> extraEnvironment;  // further NAME=value entries, added last
  int standardError = -1;  // a descriptor to give the process as standard error (else output.txt)
};

// One instance: its directory with a copy of vmds, its startup file, its device and its process.
class Instance {
 public:
  Instance();
  ~Instance();  // kills a process still running, removes everything
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  const std::string& dir() const { return dir_.path(); }
  std::string File(const std::string& name) const { return dir_.File(name); }
  PtyDevice& device() { return device_; }
  int port() const { return port_; }

  // Settings of a working instance on this instance's device and port, debug mode on, no limits.
  StartupSettings DefaultSettings() const;
  void WriteStartupFile(const StartupSettings& settings);
  void WriteStartupFileText(const std::string& content);

  void Start(const LaunchOptions& options = {});
  bool Running();
  pid_t pid() const { return pid_; }
  // Sends SIGTERM.
  void RequestStop();
  // Waits for the process to end; its wait status, or nothing when the deadline passed.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout = kWait);
  // SIGTERM and a bounded wait; true when the process ended with exit code 0.
  bool StopCleanly();

  // Log file (the default one in the instance directory unless `logPath` is given).
  std::string LogText() const;
  std::vector<std::string> LogMessages() const;  // without time stamps
  int CountLogLines(const std::string& fragment) const;
  // Waits until at least `occurrences` log lines contain `fragment`.
  bool WaitForLog(const std::string& fragment, int occurrences = 1,
                  std::chrono::milliseconds timeout = kWait);
  void SetLogPath(const std::string& path) { logPath_ = path; }
  // Waits until the file `name` of the instance directory contains every one of `fragments`.
  bool WaitForFileText(const std::string& name, const std::vector<std::string>& fragments,
                       std::chrono::milliseconds timeout = kWait);

  // Shim log of DTR/RTS changes, one "DTR=x RTS=y" per line (the shim's other lines left out).
  std::vector<std::string> ModemLines() const;
  std::string ProcessOutput() const;

  // Waits for the listener: after the `count`-th "Waiting for connection" (debug mode).
  bool WaitListening(int count = 1) { return WaitForLog("Waiting for connection", count); }

 private:
  bool WaitForChange(Clock::time_point deadline);

  TempDir dir_;
  PtyDevice device_;
  int port_ = 0;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::optional<int> exitStatus_;
  int inotify_ = -1;
  std::string logPath_;
};

// Fixture: one instance per test; on failure the log and the process output are printed, and a
// sanitizer report in the process output fails the test.
class VmdsTest : public ::testing::Test {
 protected:
  void TearDown() override;
  // Writes the startup file and starts the process; with debug on, waits for the listener.
  void StartWith(const StartupSettings& settings, const LaunchOptions& options = {});
  std::string ClientAddress() const { return "127.0.0.1"; }

  Instance instance;
};

// A port on which nothing listens right now.
int FreeTcpPort();
// The modem-line shim that is preloaded into vmds (pseudo-terminals have no DTR/RTS of their own).
std::string ModemShimPath();

}  // namespace vmds_it
