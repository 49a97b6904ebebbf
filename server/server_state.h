// The state the whole device server shares: the two events, the listener and socket-layer flags,
// and the service status as last reported (with the exit codes it carries). Everything below the
// run sequence reaches the process-wide state through this header only.
#pragma once

#include <cstdint>
#include <memory>

#include "os/os.h"

// Process-wide state. ExitEvent (manual reset) is set by the control handler on a stop request;
// MaxConnectEvent (auto reset) by a session's max connect timer.
struct ServerGlobals {
  std::unique_ptr<os::Event> ExitEvent;
  std::unique_ptr<os::Event> MaxConnectEvent;
  bool ListenerClosed = true;
  bool WinsockStarted = false;
};
extern ServerGlobals Globals;

// Why the service stopped, reported with its stopped status: 0 for a stop on request, otherwise
// ERROR_SERVICE_SPECIFIC_ERROR (1066) with one of these in dwServiceSpecificExitCode, so that the
// service manager's recovery actions (and systemd's Restart=on-failure: the Linux daemon exits
// with the same number) can bring the instance back. 1x: initialisation failed; 2x: a failure
// ended the connection cycle. The log file tells the details.
enum ServiceExitCode : std::uint32_t {
  kExitOnRequest = 0,
  kExitSerialPortNotOpened = 11,      // missing, in use, or refused by the system
  kExitSerialPortNotConfigured = 12,  // buffers, line settings, time-outs or DTR/RTS refused
  kExitListenerNotOpened = 13,        // socket layer, socket, bind or listen
  kExitNoEvents = 14,                 // the stop and max connect events could not be made
  kExitBadAccessSettings = 15,        // AllowedClients or ListenAddress does not read
  kExitBadProtocol = 16,              // Protocol is neither Raw nor RFC2217
  kExitBadTlsSettings = 17,           // a TLS key, file, or the pairing of certificate and key
  kExitSocketFailure = 21,
  kExitSerialOrSystemFailure = 22,    // the serial port failed, or a wait did
};
// A status as reported: own process, no controls while start-pending, stop and shutdown
// otherwise; a nonzero `exitCode` is reported as 1066 with the code as service-specific one.
os::ServiceStatus MakeServiceStatus(std::uint32_t state, std::uint32_t exitCode,
                                    std::uint32_t waitHint);

// Reports a status (MakeServiceStatus with `checkPoint`) to the service control manager and keeps
// it as the service's current status.
void ReportServiceStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                         std::uint32_t waitHint);
// The status last reported (by ReportServiceStatus or the control handler).
os::ServiceStatus CurrentServiceStatus();

// What the control handler does with `control` while `current` is the last status reported: stop
// and shutdown report stop-pending (nothing once stopped) and ask for the stop; any other control
// (interrogate included) reports `current` again, so it never turns a stopping service into a
// running one.
struct ControlResponse {
  bool report = false;
  os::ServiceStatus status;
  bool stop = false;
};
ControlResponse RespondToControl(const os::ServiceStatus& current, std::uint32_t control);
// Answers a control as RespondToControl says, under the lock of the kept status; true when the
// control asks the service to stop.
bool ApplyServiceControl(std::uint32_t control);
