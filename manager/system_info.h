// What the manager asks of the system at start-up: the running processes (for the single-copy
// check) and the computer's host name. The Win32 implementation is win32/win32_system_info.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // True on Windows NT 4.0 with a build above 1380 (GetVersionExA, platform id 2, 4.0).
  virtual bool IsWindowsNT4() = 0;
  // The executable name of every process of a tool-help snapshot, as the snapshot gives it.
  virtual std::vector<std::string> SnapshotProcessNames() = 0;
  // The NT 4.0 method: for every process that opens with query and read rights, the file name of
  // its first module (the process-status functions), as returned.
  virtual std::vector<std::string> ProcessModuleFileNames() = 0;
  // The computer's host name; display only.
  virtual std::string HostName() = 0;
  // A time (seconds since 1970) as the local date and time, for display.
  virtual std::string LocalTimeText(std::int64_t secondsSince1970) = 0;
};
