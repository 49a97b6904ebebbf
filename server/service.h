// The service's run sequence and the state shared across the device server.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/os.h"

inline constexpr const char* kVersionText = "4.0 Build 47";

// Process-wide state. ExitEvent (manual reset) is set by the control handler on a stop request;
// MaxConnectEvent (auto reset) by a session's max connect timer.
struct ServerGlobals {
  std::unique_ptr<os::Event> ExitEvent;
  std::unique_ptr<os::Event> MaxConnectEvent;
  bool ListenerClosed = true;
  bool WinsockStarted = false;
};
extern ServerGlobals Globals;

// Reports a status to the service control manager: own process, no service-specific exit code,
// no controls while start-pending, stop and shutdown otherwise.
void ReportServiceStatus(std::uint32_t state, std::uint32_t win32ExitCode,
                         std::uint32_t checkPoint, std::uint32_t waitHint);

// The instance directory (with its trailing separator) from a registered program path: one pair
// of surrounding quotes is removed, then the program file name is cut off.
std::string InstanceDirectoryFromImagePath(const std::string& imagePath);

void ServiceMain(int argc, char** argv);
void ServiceControlHandler(std::uint32_t control);
