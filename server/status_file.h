// The status file vmds.prom: the device server's state and counters in the Prometheus text
// exposition format (0.0.4), beside the log file, for the textfile collectors of node_exporter and
// windows_exporter and for the manager. Nothing listens on the network for it.
//
// The file is written on every change of state (starting, listening, connected, stopping,
// failed; the end of a session is written with the state that follows it) and, while bytes move,
// at most once a second: the session asks WriteIfDue how long its wait may last, so no timer runs
// while nothing moves. Counting bytes only adds to a number; the text is made only when the file
// is written. Every write goes to a temporary file that then replaces the status file in one
// step. A write that fails is logged once (the next failure after a write that worked is logged
// again) and the bridge goes on as before.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "event_log.h"

enum class ServerState { kStarting, kListening, kConnected, kStopping, kFailed };

// How a session ended, as counted in vmds_sessions_ended_total.
enum class SessionEnd {
  kClientClosed,    // the client closed, reset or broke the connection
  kIdleTimeout,
  kMaxConnectTime,
  kCloseCommand,    // "SSSP=0"
  kError,           // a socket or system failure (it ends the server too)
  kStop,            // the service was stopped
};

// "vmds.prom" in the directory of the log file (`LogFilename` as the startup file gives it; a
// relative one is relative to the current directory, the instance directory).
std::string StatusFilePath(const std::string& logFilename);

// A label value as the format writes it between quotes: backslash, double quote and line feed
// escaped; text that is not UTF-8 is read as Latin-1 (the format is UTF-8).
std::string EscapeLabelValue(const std::string& value);

// The short reason of vmds_failure_info for one of the exit codes of a failure (ServiceExitCode).
const char* FailureReason(std::uint32_t exitCode);

// Seconds since 1970.
std::int64_t WallClockSeconds();

// Where the status file's time comes from: the steady clock times the writes while bytes move,
// the wall clock gives the start times. Tests put in their own.
struct StatusClocks {
  std::chrono::steady_clock::time_point (*steady)() = &std::chrono::steady_clock::now;
  std::int64_t (*wall)() = &WallClockSeconds;
};

class StatusFile {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kBytesWriteIntervalMs = 1000;

  // `path` empty: nothing is ever written.
  StatusFile(std::string path, const LogSettings& log, StatusClocks clocks = StatusClocks());
  StatusFile(const StatusFile&) = delete;
  StatusFile& operator=(const StatusFile&) = delete;

  // The labels of every series and the version; the start time is now. Writes "starting".
  void Start(const std::string& instance, const std::string& comPort, std::int32_t tcpPort,
             const std::string& version);
  void Listening();
  // A client was accepted: one session more, started now.
  void Connected(const std::string& address);
  // Counts how the session ended; written with the state that comes next (Listening once the
  // listener is open again, or Stopping, or Failed), right after.
  void SessionEnded(SessionEnd how);
  void Stopping();
  // A failure ends the server with `exitCode` (ServiceExitCode).
  void Failed(std::uint32_t exitCode);

  void DeviceBytes(std::size_t count) {
    deviceBytes_ += count;
    moved_ = moved_ || count != 0;
  }
  void ClientBytes(std::size_t count) {
    clientBytes_ += count;
    moved_ = moved_ || count != 0;
  }
  void DroppedBytes(std::size_t count) {
    droppedBytes_ += count;
    moved_ = moved_ || count != 0;
  }

  // While bytes have moved since the last write: writes once kBytesWriteIntervalMs have passed
  // since it, else returns the milliseconds left until then (at least 1). Returns -1 (no limit,
  // as a wait's time-out) when nothing is due: no bytes moved since the last write.
  int WriteIfDue();

  // The text of the last write (made even when the file could not be written).
  const std::string& Text() const { return text_; }
  ServerState State() const { return state_; }

 private:
  void Write();
  void Format();
  void AppendFamily(const char* name, const char* type, const char* help);
  void AppendSample(const char* name, const char* extraLabel, const char* extraValue,
                    std::int64_t value);

  const std::string path_;
  const std::string tempPath_;
  const LogSettings& log_;
  const StatusClocks clocks_;

  std::string labels_;  // instance="...",com_port="...",tcp_port="..."
  std::string version_;
  std::int64_t startTime_ = 0;
  ServerState state_ = ServerState::kStarting;
  bool clientConnected_ = false;
  std::string clientAddress_;
  std::int64_t sessionStart_ = 0;
  std::uint64_t sessions_ = 0;
  std::uint64_t ended_[6] = {};
  std::uint64_t deviceBytes_ = 0;
  std::uint64_t clientBytes_ = 0;
  std::uint64_t droppedBytes_ = 0;
  std::uint32_t exitCode_ = 0;

  bool moved_ = false;  // bytes were counted since the last write
  Clock::time_point lastWrite_;
  bool failureLogged_ = false;
  std::string text_;
};
