// The service's log file: one line per event, opened and closed for every line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

struct LogSettings {
  std::string LogFilename = ".\\vmds.log";
  bool LogEnabled = true;  // read and kept; logging does not depend on it
};

// Debug-only lines are written while this is set (initially set; the startup file may clear it).
extern bool DebugEnabled;

// "%b-%d-%Y %H:%M:%S" with English month names whatever the locale.
std::string FormatLogTimestamp(const std::tm& when);
std::string FormatLogTimestamp();

// Appends "<time stamp> <message>\r\n" to the log file; a failure loses the line silently.
void LogEvent(const std::string& message, const LogSettings& log);
// Same, but only while DebugEnabled is set.
void LogDebug(const std::string& message, const LogSettings& log);

// The last line LogEvent was given (debug lines and dumps are not counted) and how many it was
// given so far: a caller that noted the count before a step learns whether the step logged.
struct LastLogLine {
  unsigned long count = 0;
  std::string message;
};
LastLogLine LastLoggedLine();

// printf-style formatting into a std::string (no fixed buffer to overflow).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The lines of a traffic dump: `header` then the bytes as "<%02Xh>", 15 to a line; only the first
// line carries the header. Empty for an empty chunk.
std::string DumpLine(const std::string& header, const std::uint8_t* data, std::size_t size,
                     std::size_t firstByte);
void LogTrafficDump(const std::string& header, const std::uint8_t* data, std::size_t size,
                    const LogSettings& log);
