#include "event_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "os/os.h"

bool DebugEnabled = true;

namespace {
constexpr std::size_t kDumpItemsPerLine = 15;
std::mutex lastLineMutex;
std::string lastLine;
unsigned long lineCount = 0;

void WriteLogLine(const std::string& message, const LogSettings& log) {
  if (log.LogFilename.empty()) return;
  std::FILE* file = std::fopen(os::NativePath(log.LogFilename).c_str(), "ab");
  if (file == nullptr) return;
  std::string line = FormatLogTimestamp() + " " + message + "\r\n";
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
  }
  va_end(args);
  return text;
}

std::string FormatLogTimestamp(const std::tm& when) {
  int month = (when.tm_mon >= 0 && when.tm_mon < 12) ? when.tm_mon : 0;
  return Format("%s-%02d-%04d %02d:%02d:%02d", kMonths[month], when.tm_mday, when.tm_year + 1900,
                when.tm_hour, when.tm_min, when.tm_sec);
}

std::string FormatLogTimestamp() { return FormatLogTimestamp(os::LocalTimeNow()); }

void LogEvent(const std::string& message, const LogSettings& log) {
  {
    std::lock_guard<std::mutex> lock(lastLineMutex);
    lastLine = message;
    ++lineCount;
  }
  WriteLogLine(message, log);
}

void LogDebug(const std::string& message, const LogSettings& log) {
  if (DebugEnabled) WriteLogLine(message, log);
}

LastLogLine LastLoggedLine() {
  std::lock_guard<std::mutex> lock(lastLineMutex);
  return LastLogLine{lineCount, lastLine};
}

std::string DumpLine(const std::string& header, const std::uint8_t* data, std::size_t size,
                     std::size_t firstByte) {
  std::string line = firstByte == 0 ? header : std::string();
  for (std::size_t i = firstByte; i < size && i < firstByte + kDumpItemsPerLine; ++i) {
    line += Format("<%02Xh>", static_cast<unsigned>(data[i]));
  }
  return line;
}

void LogTrafficDump(const std::string& header, const std::uint8_t* data, std::size_t size,
                    const LogSettings& log) {
  if (!DebugEnabled || size == 0) return;
  for (std::size_t first = 0; first < size; first += kDumpItemsPerLine) {
    WriteLogLine(DumpLine(header, data, size, first), log);
  }
}
