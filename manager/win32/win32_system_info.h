// The system queries of the manager's start-up over the real Win32 calls: version, process lists
// (tool-help snapshot and process-status functions) and the host name.
#pragma once

#include "system_info.h"

class Win32SystemInfo : public SystemInfo {
 public:
  bool IsWindowsNT4() override;
  std::vector<std::string> SnapshotProcessNames() override;
  std::vector<std::string> ProcessModuleFileNames() override;
  std::string HostName() override;
  std::string LocalTimeText(std::int64_t secondsSince1970) override;
};
