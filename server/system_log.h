// Events for the system's own log, where administrators and monitoring tools look: the
// Application event log on Windows (source "Velmora Device Server"), the journal on Linux when
// the daemon runs under systemd (standard error with sd-daemon priority prefixes). The service's
// own log file is written as before; these events come on top of it.
//
// Reporting is best effort: a report that cannot be delivered is lost and nothing else happens.
#pragma once

#include <string>

enum class SystemLogLevel { kInformation, kWarning, kError };

// Where reports go. The default sink hands them to the platform (os::ReportSystemEvent); tests
// put in their own.
class SystemLogSink {
 public:
  virtual ~SystemLogSink() = default;
  virtual void Report(SystemLogLevel level, const std::string& text) = 0;
};
// Replaces the sink (null: the platform's again); returns the one it replaces (null for the
// platform's).
SystemLogSink* SetSystemLogSink(SystemLogSink* sink);

namespace SystemLog {
void Information(const std::string& text);
void Warning(const std::string& text);
void Error(const std::string& text);
}  // namespace SystemLog

// The texts of the service's own events. Each names the instance, since on Windows every
// instance reports under the one event source.
std::string StartedEventText(const std::string& instance, const std::string& version);
std::string StoppedEventText(const std::string& instance);
// A failure that ends the service: the log line that tells why, and the exit code.
std::string FailureEventText(const std::string& instance, const std::string& logLine,
                             unsigned exitCode);
