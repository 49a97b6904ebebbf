#include "server_state.h"

#include <mutex>

ServerGlobals Globals;

namespace {
// The status last reported. Reports come from the service thread and from the control handler on
// the dispatcher thread; the lock keeps the kept status the one the manager saw last.
std::mutex g_statusLock;
os::ServiceStatus g_currentStatus = MakeServiceStatus(os::kServiceStartPending, 0, 0);
// Once a stop was asked for and answered with stop-pending, the service is not reported running
// again (a stop that comes while a failed start reports stop-pending).
bool g_stopRequested = false;
}  // namespace

os::ServiceStatus MakeServiceStatus(std::uint32_t state, std::uint32_t exitCode,
                                    std::uint32_t waitHint) {
  os::ServiceStatus status;
  status.state = state;
  status.controlsAccepted =
      state == os::kServiceStartPending ? 0 : (os::kAcceptStop | os::kAcceptShutdown);
  status.win32ExitCode = exitCode == 0 ? 0 : os::kErrServiceSpecificError;
  status.serviceSpecificExitCode = exitCode;
  status.waitHint = waitHint;
  return status;
}

void ReportServiceStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                         std::uint32_t waitHint) {
  std::lock_guard<std::mutex> lock(g_statusLock);
  if (state == os::kServiceRunning && g_stopRequested) state = os::kServiceStopPending;
  os::ServiceStatus status = MakeServiceStatus(state, exitCode, waitHint);
  status.checkPoint = checkPoint;
  g_currentStatus = status;
  os::SetStatus(status);
}

os::ServiceStatus CurrentServiceStatus() {
  std::lock_guard<std::mutex> lock(g_statusLock);
  return g_currentStatus;
}

ControlResponse RespondToControl(const os::ServiceStatus& current, std::uint32_t control) {
  ControlResponse response;
  if (control == os::kControlStop || control == os::kControlShutdown) {
    response.stop = true;
    // After the stopped report the service is gone for the manager: nothing more is reported.
    response.report = current.state != os::kServiceStopped;
    response.status = MakeServiceStatus(os::kServiceStopPending, 0, 0);
  } else {
    response.report = true;
    response.status = current;
  }
  return response;
}

bool ApplyServiceControl(std::uint32_t control) {
  std::lock_guard<std::mutex> lock(g_statusLock);
  ControlResponse response = RespondToControl(g_currentStatus, control);
  if (response.report) {
    g_currentStatus = response.status;
    os::SetStatus(response.status);
  }
  if (response.stop) g_stopRequested = true;
  return response.stop;
}
