#include "instance_status.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string_view>
#include <vector>

#include "startup_file.h"

namespace {

struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

// One sample line: name{label="value",...} value [timestamp]. Nothing for a line that is not one.
std::optional<Sample> ParseSample(const std::string& line) {
  Sample sample;
  std::size_t at = 0;
  while (at < line.size() && line[at] != '{' && line[at] != ' ' && line[at] != '\t') ++at;
  sample.name = line.substr(0, at);
  if (sample.name.empty()) return std::nullopt;
  if (at < line.size() && line[at] == '{') {
    ++at;
    for (;;) {
      while (at < line.size() && (line[at] == ' ' || line[at] == ',')) ++at;
      if (at >= line.size()) return std::nullopt;
      if (line[at] == '}') {
        ++at;
        break;
      }
      const std::size_t equals = line.find('=', at);
      if (equals == std::string::npos || equals + 1 >= line.size() || line[equals + 1] != '"')
        return std::nullopt;
      std::string key = line.substr(at, equals - at);
      std::string value;
      at = equals + 2;
      for (;; ++at) {
        if (at >= line.size()) return std::nullopt;
        if (line[at] == '"') break;
        if (line[at] == '\\') {
          if (++at >= line.size()) return std::nullopt;
          value += line[at] == 'n' ? '\n' : line[at];
        } else {
          value += line[at];
        }
      }
      ++at;
      sample.labels[key] = value;
    }
  }
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  std::size_t end = at;
  while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
  const std::string number = line.substr(at, end - at);
  if (number.empty()) return std::nullopt;
  char* stop = nullptr;
  sample.value = std::strtod(number.c_str(), &stop);
  if (stop != number.c_str() + number.size() || !std::isfinite(sample.value)) return std::nullopt;
  return sample;
}

constexpr std::string_view kRead[] = {
    "vmds_state",           "vmds_client_info",        "vmds_session_start_time_seconds",
    "vmds_device_bytes_total", "vmds_client_bytes_total", "vmds_dropped_bytes_total",
    "vmds_exit_code",       "vmds_failure_info",
};

std::string Label(const Sample& sample, const char* key) {
  auto found = sample.labels.find(key);
  return found == sample.labels.end() ? std::string() : found->second;
}

// A count or a time as a whole number; nothing when it is negative or too large to be one.
std::optional<std::int64_t> WholeNumber(double value) {
  if (!(value >= -9.0e15 && value <= 9.0e15)) return std::nullopt;
  return static_cast<std::int64_t>(std::llround(value));
}

}  // namespace

ServerStatus ParseServerStatus(const std::string& text, const std::string& instanceName) {
  ServerStatus status;
  for (const std::string& line : SplitLines(text)) {
    if (line.empty() || line[0] == '#') continue;
    // Only the series read below are parsed further.
    const std::string_view series(line.data(), std::min(line.find_first_of("{ \t"), line.size()));
    if (std::find(std::begin(kRead), std::end(kRead), series) == std::end(kRead)) continue;
    const std::optional<Sample> sample = ParseSample(line);
    if (!sample || Label(*sample, "instance") != instanceName) continue;
    const std::string& name = sample->name;
    const double value = sample->value;
    if (name == "vmds_state") {
      if (value == 1) status.state = Label(*sample, "state");
    } else if (name == "vmds_client_info") {
      if (value == 1) status.clientAddress = Label(*sample, "address");
    } else if (name == "vmds_session_start_time_seconds") {
      status.sessionStart = WholeNumber(value);
    } else if (name == "vmds_device_bytes_total") {
      status.deviceBytes = value;
    } else if (name == "vmds_client_bytes_total") {
      status.clientBytes = value;
    } else if (name == "vmds_dropped_bytes_total") {
      status.droppedBytes = value;
    } else if (name == "vmds_exit_code") {
      status.exitCode = WholeNumber(value);
    } else if (name == "vmds_failure_info") {
      if (value == 1) status.failureReason = Label(*sample, "reason");
    }
  }
  return status;
}

std::string StatusFilePathOf(const std::string& instanceDirectory,
                             const std::string& logFileName) {
  // A drive, a share or the drive's root: as given; anything else is inside the instance
  // directory.
  const bool drive = logFileName.size() >= 2 && logFileName[1] == ':';
  const bool absolute =
      drive || (!logFileName.empty() && (logFileName[0] == '\\' || logFileName[0] == '/'));
  std::string path = logFileName;
  if (!absolute) {
    while (path.rfind(".\\", 0) == 0 || path.rfind("./", 0) == 0) path.erase(0, 2);
    path = instanceDirectory + "\\" + path;
  }
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return path.substr(0, 2) + kStatusFileName;  // "C:vmds.log"
  return path.substr(0, slash) + "\\" + kStatusFileName;
}

ServiceCondition ConditionOfServiceState(std::uint32_t state) {
  switch (state) {
    case 1: return ServiceCondition::kStopped;
    case 2: return ServiceCondition::kStartPending;
    case 3: return ServiceCondition::kStopPending;
    case 4: return ServiceCondition::kRunning;
    case 5:
    case 6:
    case 7: return ServiceCondition::kOther;
    default: return ServiceCondition::kUnknown;
  }
}

std::string StateText(ServiceCondition condition, const ServerStatus& status) {
  switch (condition) {
    case ServiceCondition::kNotRegistered: return "Not registered";
    case ServiceCondition::kStopped:
      if (status.state == "failed" && !status.failureReason.empty())
        return "Failed: " + status.failureReason;
      return "Stopped";
    case ServiceCondition::kStartPending: return "Start pending";
    case ServiceCondition::kStopPending: return "Stop pending";
    case ServiceCondition::kRunning:
      if (status.state == "listening") return "Listening";
      if (status.state == "connected" && !status.clientAddress.empty())
        return "Client " + status.clientAddress;
      return "Running";
    case ServiceCondition::kOther: return "Paused";
    case ServiceCondition::kUnknown: break;
  }
  return "";
}

std::string ByteCountText(double bytes) {
  const std::optional<std::int64_t> whole = WholeNumber(bytes);
  return whole ? std::to_string(*whole) : std::string("?");
}
