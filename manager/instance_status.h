// The live state of an instance: what the service database says of its service, refined by the
// status file `vmds.prom` that its device server keeps beside its log file (Prometheus text
// format). The manager only reads that file; anything it cannot read or understand leaves the
// service database's word alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr const char* kStatusFileName = "vmds.prom";

// What a status file says; every field empty or unset when the file does not say it.
struct ServerStatus {
  std::string state;          // starting, listening, connected, stopping or failed
  std::string clientAddress;  // while a client is connected
  std::optional<std::int64_t> sessionStart;  // seconds since 1970, while connected
  std::optional<double> deviceBytes, clientBytes, droppedBytes;
  std::optional<std::int64_t> exitCode;
  std::string failureReason;
  bool operator==(const ServerStatus&) const = default;
};

// Reads the series of one instance (label instance="instanceName") from the text of a status
// file. Lines it cannot parse, series of other instances and unknown names are skipped; a
// missing, partial or garbled text gives what could be read, possibly nothing.
ServerStatus ParseServerStatus(const std::string& text, const std::string& instanceName);

// The status file beside a log file: in the log file's directory, a relative log path being
// relative to the instance directory. Paths are Windows paths.
std::string StatusFilePathOf(const std::string& instanceDirectory, const std::string& logFileName);

// The service's state as the refresh found it.
enum class ServiceCondition : std::uint8_t {
  kUnknown,  // the query failed
  kNotRegistered,
  kStopped,
  kStartPending,
  kStopPending,
  kRunning,
  kOther,  // paused or pausing: the device server never is
};

// The instance's condition for a service state as the service database reports it (0: no
// state was reported).
ServiceCondition ConditionOfServiceState(std::uint32_t state);

// The text of the list's State column: Running, Stopped, Start pending, Stop pending or Not
// registered; a running service whose device server says it listens "Listening", or that a
// client is connected "Client <address>"; a stopped one whose server says it failed
// "Failed: <reason>". A status file that contradicts the service database (left over from an
// earlier run) refines nothing.
std::string StateText(ServiceCondition condition, const ServerStatus& status);

// The shown instance's details: its state, the client and since when, bytes each way and the
// last failure, one item per line (CR LF between). `timeText` turns seconds since 1970 into the
// local time's text.
template <typename TimeText>
std::string StatusDetails(ServiceCondition condition, const ServerStatus& status,
                          TimeText timeText);

// Bytes as a whole number text ("1234").
std::string ByteCountText(double bytes);

template <typename TimeText>
std::string StatusDetails(ServiceCondition condition, const ServerStatus& status,
                          TimeText timeText) {
  std::string text = "State: " + StateText(condition, status);
  const bool running = condition == ServiceCondition::kRunning;
  if (running && status.state == "connected" && status.sessionStart)
    text += " since " + timeText(*status.sessionStart);
  if (running && status.deviceBytes && status.clientBytes)
    text += "\r\nBytes to the device: " + ByteCountText(*status.deviceBytes) +
            ", to the client: " + ByteCountText(*status.clientBytes) +
            (status.droppedBytes && *status.droppedBytes > 0
                 ? ", dropped: " + ByteCountText(*status.droppedBytes)
                 : std::string());
  if (!status.failureReason.empty())
    text += "\r\nLast failure: " + status.failureReason +
            (status.exitCode ? " (exit code " + std::to_string(*status.exitCode) + ")"
                             : std::string());
  return text;
}
