#include "service_control.h"

namespace {

// The state of the service, or kServiceNoState when there is no handle or the query fails.
std::uint32_t QueryState(ServiceDatabase& db, ScHandle service) {
  std::uint32_t state = kServiceNoState;
  if (service == 0 || db.QueryServiceState(service, &state) != 0) return kServiceNoState;
  return state;
}

// Waits while the service is stop pending (1000 ms each, at most kMaxStopPendingWaits times);
// returns the last state.
std::uint32_t WaitWhileStopPending(ServiceDatabase& db, ScHandle service, std::uint32_t state) {
  for (int waits = 0; state == kServiceStopPending && waits < kMaxStopPendingWaits; ++waits) {
    db.Sleep(1000);
    state = QueryState(db, service);
  }
  return state;
}

// Opens the manager and the service; either handle stays 0 when it cannot be opened.
void OpenBoth(ServiceDatabase& db, std::uint32_t managerAccess, const std::string& name,
              std::uint32_t serviceAccess, ScHandle* manager, ScHandle* service) {
  *manager = 0;
  *service = 0;
  if (db.OpenServiceManager(managerAccess, manager) != 0) {
    *manager = 0;
    return;
  }
  if (db.OpenServiceEntry(*manager, name, serviceAccess, service) != 0) *service = 0;
}

void CloseBoth(ServiceDatabase& db, ScHandle manager, ScHandle service) {
  if (service != 0) db.CloseServiceEntry(service);
  if (manager != 0) db.CloseServiceEntry(manager);
}

}  // namespace

std::string QuotedProgramPath(const std::string& programPath) {
  if (!programPath.empty() && programPath.front() == '"') return programPath;
  return "\"" + programPath + "\"";
}

int CreateInstanceService(ServiceDatabase& db, const std::string& serviceName,
                          const std::string& displayName, const std::string& programPath) {
  ScHandle manager = 0;
  if (db.OpenServiceManager(kScManagerCreateService | kStandardRightsRead, &manager) != 0)
    return 0;
  ServiceRegistration registration;
  registration.ServiceName = serviceName;
  registration.DisplayName = displayName;
  registration.DesiredAccess = kServiceAllAccess;
  registration.ServiceType = kServiceWin32OwnProcess;
  registration.StartType = kServiceAutoStart;
  registration.ErrorControl = kServiceErrorNormal;
  registration.BinaryPathName = QuotedProgramPath(programPath);
  ScHandle service = 0;
  bool created = db.CreateServiceEntry(manager, registration, &service) == 0 && service != 0;
  if (created) {
    // Neither result is used: a service without a description or recovery actions still runs.
    db.SetServiceDescription(service, kServiceDescription);
    db.SetRecoveryActions(service, kInstanceRecovery);
  }
  CloseBoth(db, manager, created ? service : 0);
  return created ? 1 : 0;
}

std::int16_t StartInstanceService(ServiceDatabase& db, const std::string& serviceName) {
  ScHandle manager = 0, service = 0;
  OpenBoth(db, kStandardRightsRead, serviceName, kReadControl | kServiceStart | kServiceQueryStatus,
           &manager, &service);
  if (service == 0) {
    CloseBoth(db, manager, 0);
    return 0;
  }
  db.StartServiceEntry(service);  // the answer is not used: an already running service is fine
  db.Sleep(500);
  std::uint32_t state = QueryState(db, service);
  if (state == kServiceStartPending) {
    db.Sleep(1000);
    state = QueryState(db, service);
  }
  CloseBoth(db, manager, service);
  return state == kServiceRunning ? 1 : 0;
}

void RestartInstanceService(ServiceDatabase& db, MessageView& view, const std::string& serviceName) {
  ScHandle manager = 0, service = 0;
  OpenBoth(db, kStandardRightsRead, serviceName,
           kReadControl | kServiceStop | kServiceStart | kServiceQueryStatus, &manager, &service);
  std::uint32_t state = QueryState(db, service);
  if (state == kServiceStopped) {
    db.StartServiceEntry(service);
  } else if (state == kServiceRunning) {
    // The old process must be gone before a new one can read the new settings: a stop that is
    // refused, or a service that does not stop in time, is a failed restart, never a success.
    int stopError = db.SendStopControl(service);
    bool stopped = (stopError == 0 || stopError == kErrorServiceNotActive) &&
                   WaitWhileStopPending(db, service, QueryState(db, service)) == kServiceStopped;
    if (!stopped) {
      view.ShowMessage(kRestartFailedToStart, MessageIcon::kExclamation, MessageButtons::kOk);
      CloseBoth(db, manager, service);
      return;
    }
    db.StartServiceEntry(service);
  }
  state = QueryState(db, service);
  const char* message = kRestartNotStarted;
  if (state == kServiceRunning) {
    message = kRestartStarted;
  } else if (state == kServiceStartPending) {
    db.Sleep(1000);
    message = QueryState(db, service) == kServiceRunning ? kRestartStarted : kRestartFailedToStart;
  }
  view.ShowMessage(message, MessageIcon::kExclamation, MessageButtons::kOk);
  CloseBoth(db, manager, service);
}

int DeleteInstanceService(ServiceDatabase& db, const std::string& serviceName) {
  ScHandle manager = 0, service = 0;
  OpenBoth(db, kScManagerAllAccess, serviceName,
           kDelete | kReadControl | kServiceStop | kServiceQueryStatus, &manager, &service);
  if (service == 0) {
    CloseBoth(db, manager, 0);
    return 0;
  }
  if (QueryState(db, service) != kServiceStopped) db.SendStopControl(service);
  WaitWhileStopPending(db, service, QueryState(db, service));
  int result = db.DeleteServiceEntry(service) == 0 ? 1 : 0;
  CloseBoth(db, manager, service);
  return result;
}

bool ServiceIsRegistered(ServiceDatabase& db, const std::string& serviceName) {
  ScHandle manager = 0;
  if (db.OpenServiceManager(kStandardRightsRead, &manager) != 0) return true;
  ScHandle service = 0;
  int error = db.OpenServiceEntry(manager, serviceName, kServiceQueryStatus, &service);
  CloseBoth(db, manager, error == 0 ? service : 0);
  return error != kErrorServiceDoesNotExist;
}
