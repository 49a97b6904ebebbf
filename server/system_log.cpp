#include "system_log.h"

#include <atomic>

#include "event_log.h"
#include "os/os.h"

namespace {
std::atomic<SystemLogSink*> customSink{nullptr};

void Report(SystemLogLevel level, const std::string& text) {
  if (SystemLogSink* sink = customSink.load(std::memory_order_acquire)) {
    sink->Report(level, text);
  } else {
    os::ReportSystemEvent(static_cast<int>(level), text);
  }
}
}  // namespace

SystemLogSink* SetSystemLogSink(SystemLogSink* sink) {
  return customSink.exchange(sink, std::memory_order_acq_rel);
}

namespace SystemLog {
void Information(const std::string& text) { Report(SystemLogLevel::kInformation, text); }
void Warning(const std::string& text) { Report(SystemLogLevel::kWarning, text); }
void Error(const std::string& text) { Report(SystemLogLevel::kError, text); }
}  // namespace SystemLog

std::string StartedEventText(const std::string& instance, const std::string& version) {
  return "Instance " + instance + " started: Daltrimore Velmora Device Server Ver " + version;
}

std::string StoppedEventText(const std::string& instance) {
  return "Instance " + instance + " stopped on request";
}

std::string FailureEventText(const std::string& instance, const std::string& logLine,
                             unsigned exitCode) {
  return Format("Instance %s stopped after a failure (exit code %u): %s", instance.c_str(),
                exitCode, logLine.c_str());
}
