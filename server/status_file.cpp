#include "status_file.h"

#include <charconv>
#include <ctime>
#include <utility>

#include "os/os.h"

namespace {

constexpr const char* kStateNames[] = {"starting", "listening", "connected", "stopping",
                                       "failed"};
constexpr const char* kEndNames[] = {"client_closed", "idle_timeout", "max_connect_time",
                                     "close_command", "error",        "stop"};

// Length of the UTF-8 sequence starting at `i`, or 0 when none does.
std::size_t Utf8SequenceAt(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
  static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kMinimum[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceAt(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

void AppendNumber(std::string& out, std::int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

std::string StatusFilePath(const std::string& logFilename) {
  const std::string native = os::NativePath(logFilename);
  // A drive letter ends the directory part too ("D:vmds.log"); on POSIX "D:" is part of a name in
  // the current directory, and "D:vmds.prom" is then beside it all the same.
  const std::size_t separator = native.find_last_of("\\/:");
  return (separator == std::string::npos ? std::string() : native.substr(0, separator + 1)) +
         "vmds.prom";
}

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  const bool utf8 = IsUtf8(value);
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte >= 0x80 && !utf8) {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    } else {
      out += c;
    }
  }
  return out;
}

const char* FailureReason(std::uint32_t exitCode) {
  switch (exitCode) {
    case 11: return "port not opened";
    case 12: return "port not configured";
    case 13: return "listener not opened";
    case 14: return "events not made";
    case 15: return "allowed clients or listen address not valid";
    case 16: return "protocol not valid";
    case 17: return "TLS settings not valid";
    case 21: return "socket failure";
    case 22: return "serial port or system failure";
    default: return "failure";
  }
}

std::int64_t WallClockSeconds() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

StatusFile::StatusFile(std::string path, const LogSettings& log, StatusClocks clocks)
    : path_(std::move(path)),
      tempPath_(path_.empty() ? std::string() : path_ + ".tmp"),
      log_(log),
      clocks_(clocks) {}

void StatusFile::Start(const std::string& instance, const std::string& comPort,
                       std::int32_t tcpPort, const std::string& version) {
  labels_ = "instance=\"" + EscapeLabelValue(instance) + "\",com_port=\"" +
            EscapeLabelValue(comPort) + "\",tcp_port=\"" + std::to_string(tcpPort) + "\"";
  version_ = EscapeLabelValue(version);
  startTime_ = clocks_.wall();
  state_ = ServerState::kStarting;
  Write();
}

void StatusFile::Listening() {
  state_ = ServerState::kListening;
  Write();
}

void StatusFile::Connected(const std::string& address) {
  state_ = ServerState::kConnected;
  clientConnected_ = true;
  clientAddress_ = EscapeLabelValue(address);
  sessionStart_ = clocks_.wall();
  ++sessions_;
  Write();
}

void StatusFile::SessionEnded(SessionEnd how) {
  ++ended_[static_cast<std::size_t>(how)];
  clientConnected_ = false;
  clientAddress_.clear();
}

void StatusFile::Stopping() {
  state_ = ServerState::kStopping;
  clientConnected_ = false;
  Write();
}

void StatusFile::Failed(std::uint32_t exitCode) {
  state_ = ServerState::kFailed;
  clientConnected_ = false;
  exitCode_ = exitCode;
  Write();
}

int StatusFile::WriteIfDue() {
  if (!moved_) return os::kInfinite;
  const auto since = clocks_.steady() - lastWrite_;
  const auto left = std::chrono::milliseconds(kBytesWriteIntervalMs) -
                    std::chrono::duration_cast<std::chrono::milliseconds>(since);
  if (left.count() > 0) return static_cast<int>(left.count());
  Write();
  return os::kInfinite;
}

void StatusFile::Write() {
  moved_ = false;
  lastWrite_ = clocks_.steady();
  if (path_.empty()) return;
  Format();
  const int error = os::ReplaceFileContent(path_, tempPath_, text_.data(), text_.size());
  if (error == 0) {
    failureLogged_ = false;
  } else if (!failureLogged_) {
    failureLogged_ = true;
    LogEvent(::Format("Win32 Error #: %d Status file %s could not be written", error,
                      path_.c_str()),
             log_);
  }
}

void StatusFile::AppendFamily(const char* name, const char* type, const char* help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  text_ += help;
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void StatusFile::AppendSample(const char* name, const char* extraLabel, const char* extraValue,
                              std::int64_t value) {
  text_ += name;
  text_ += '{';
  text_ += labels_;
  if (extraLabel != nullptr) {
    text_ += ',';
    text_ += extraLabel;
    text_ += "=\"";
    text_ += extraValue;
    text_ += '"';
  }
  text_ += "} ";
  AppendNumber(text_, value);
  text_ += '\n';
}

void StatusFile::Format() {
  const auto count = [](std::uint64_t value) { return static_cast<std::int64_t>(value); };
  text_.clear();
  AppendFamily("vmds_build_info", "gauge", "Version of the device server.");
  AppendSample("vmds_build_info", "version", version_.c_str(), 1);

  AppendFamily("vmds_start_time_seconds", "gauge",
               "When the device server started, in seconds since 1970.");
  AppendSample("vmds_start_time_seconds", nullptr, nullptr, startTime_);

  AppendFamily("vmds_state", "gauge", "The device server's state: 1 for the current one.");
  for (std::size_t i = 0; i < std::size(kStateNames); ++i) {
    AppendSample("vmds_state", "state", kStateNames[i],
                 static_cast<std::size_t>(state_) == i ? 1 : 0);
  }

  AppendFamily("vmds_client_connected", "gauge", "Whether a client is connected.");
  AppendSample("vmds_client_connected", nullptr, nullptr, clientConnected_ ? 1 : 0);
  AppendFamily("vmds_client_info", "gauge",
               "The connected client (present only while one is connected).");
  if (clientConnected_) AppendSample("vmds_client_info", "address", clientAddress_.c_str(), 1);
  AppendFamily("vmds_session_start_time_seconds", "gauge",
               "When the current session started (present only while connected).");
  if (clientConnected_) {
    AppendSample("vmds_session_start_time_seconds", nullptr, nullptr, sessionStart_);
  }

  AppendFamily("vmds_sessions_total", "counter", "Sessions since the server started.");
  AppendSample("vmds_sessions_total", nullptr, nullptr, count(sessions_));
  AppendFamily("vmds_sessions_ended_total", "counter", "Sessions ended, by how they ended.");
  for (std::size_t i = 0; i < std::size(kEndNames); ++i) {
    AppendSample("vmds_sessions_ended_total", "reason", kEndNames[i], count(ended_[i]));
  }

  AppendFamily("vmds_device_bytes_total", "counter", "Bytes written to the serial device.");
  AppendSample("vmds_device_bytes_total", nullptr, nullptr, count(deviceBytes_));
  AppendFamily("vmds_client_bytes_total", "counter", "Bytes sent to the client.");
  AppendSample("vmds_client_bytes_total", nullptr, nullptr, count(clientBytes_));
  AppendFamily("vmds_dropped_bytes_total", "counter",
               "Bytes dropped because the device or the client did not take them.");
  AppendSample("vmds_dropped_bytes_total", nullptr, nullptr, count(droppedBytes_));

  const bool failed = state_ == ServerState::kFailed;
  AppendFamily("vmds_exit_code", "gauge",
               "The exit code of a failure that ended the server (present only when failed).");
  if (failed) AppendSample("vmds_exit_code", nullptr, nullptr, count(exitCode_));
  AppendFamily("vmds_failure_info", "gauge", "Why the server failed (present only when failed).");
  if (failed) AppendSample("vmds_failure_info", "reason", FailureReason(exitCode_), 1);
}
