#include "service_control.h"

#include "text_functions.h"

namespace {

// A service-database handle that is closed when it goes out of scope; 0 while nothing is open.
class ScopedServiceHandle {
 public:
  explicit ScopedServiceHandle(ServiceDatabase& db) : db_(db) {}
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;
  ~ScopedServiceHandle() {
    if (handle_ != 0) db_.CloseServiceEntry(handle_);
  }
  // Opens through `open`, which stores the handle it gives; on a failure the handle stays 0.
  template <typename Open>
  int OpenWith(Open open) {
    ScHandle opened = 0;
    int error = open(&opened);
    handle_ = error == 0 ? opened : 0;
    return error;
  }
  ScHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }

 private:
  ServiceDatabase& db_;
  ScHandle handle_ = 0;
};

// The service control manager and one service in it, closed service first.
struct OpenService {
  ScopedServiceHandle manager;
  ScopedServiceHandle service;
  int error = 0;  // why the service is not open (0 when it is)

  OpenService(ServiceDatabase& db, std::uint32_t managerAccess, const std::string& name,
              std::uint32_t serviceAccess)
      : manager(db), service(db) {
    error = manager.OpenWith([&](ScHandle* h) { return db.OpenServiceManager(managerAccess, h); });
    if (error == 0)
      error = service.OpenWith(
          [&](ScHandle* h) { return db.OpenServiceEntry(manager.get(), name, serviceAccess, h); });
  }
};

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

// Sends the stop control and waits; true when the service is stopped afterwards. A refused
// control other than "not active", or a service still stop pending at the bound, is not stopped.
// *error: the refused control's error, when it was refused.
bool StopAndWait(ServiceDatabase& db, ScHandle service, int* error = nullptr) {
  int stopError = db.SendStopControl(service);
  if (stopError != 0 && stopError != kErrorServiceNotActive) {
    if (error != nullptr) *error = stopError;
    return false;
  }
  return WaitWhileStopPending(db, service, QueryState(db, service)) == kServiceStopped;
}

}  // namespace

std::string QuotedProgramPath(const std::string& programPath) {
  if (!programPath.empty() && programPath.front() == '"') return programPath;
  return "\"" + programPath + "\"";
}

bool CreateInstanceService(ServiceDatabase& db, const std::string& serviceName,
                           const std::string& displayName, const std::string& programPath,
                           const std::string& eventMessageFile) {
  ScopedServiceHandle manager(db);
  if (manager.OpenWith([&](ScHandle* h) {
        return db.OpenServiceManager(kScManagerCreateService | kStandardRightsRead, h);
      }) != 0)
    return false;
  ServiceRegistration registration;
  registration.ServiceName = serviceName;
  registration.DisplayName = displayName;
  registration.DesiredAccess = kServiceAllAccess;
  registration.ServiceType = kServiceWin32OwnProcess;
  registration.StartType = kServiceAutoStart;
  registration.ErrorControl = kServiceErrorNormal;
  registration.BinaryPathName = QuotedProgramPath(programPath);
  ScopedServiceHandle service(db);
  service.OpenWith(
      [&](ScHandle* h) { return db.CreateServiceEntry(manager.get(), registration, h); });
  if (!service) return false;
  // Neither result is used: a service without a description or recovery actions still runs.
  db.SetServiceDescription(service.get(), kServiceDescription);
  db.SetRecoveryActions(service.get(), kInstanceRecovery);
  if (!eventMessageFile.empty()) {
    db.WriteEventSource(kEventSourceName, eventMessageFile, kEventTypesSupported);
  }
  return true;
}

bool StartInstanceService(ServiceDatabase& db, const std::string& serviceName) {
  int error = 0;
  return StartInstanceService(db, serviceName, &error);
}

bool StartInstanceService(ServiceDatabase& db, const std::string& serviceName, int* error) {
  *error = 0;
  OpenService open(db, kStandardRightsRead, serviceName,
                   kReadControl | kServiceStart | kServiceQueryStatus);
  if (!open.service) {
    *error = open.error;
    return false;
  }
  // An already running service is fine.
  if (int started = db.StartServiceEntry(open.service.get());
      started != 0 && started != kErrorServiceAlreadyRunning)
    *error = started;
  db.Sleep(500);
  std::uint32_t state = QueryState(db, open.service.get());
  if (state == kServiceStartPending) {
    db.Sleep(1000);
    state = QueryState(db, open.service.get());
    if (state == kServiceStartPending && *error == 0) *error = kErrorServiceRequestTimeout;
  }
  return state == kServiceRunning;
}

void RestartInstanceService(ServiceDatabase& db, MessageView& view, const std::string& serviceName) {
  OpenService open(db, kStandardRightsRead, serviceName,
                   kReadControl | kServiceStop | kServiceStart | kServiceQueryStatus);
  const ScHandle service = open.service.get();
  std::uint32_t state = QueryState(db, service);
  if (state == kServiceStopped) {
    db.StartServiceEntry(service);
  } else if (state == kServiceRunning) {
    // The old process must be gone before a new one can read the new settings: a stop that is
    // refused, or a service that does not stop in time, is a failed restart, never a success.
    if (!StopAndWait(db, service)) {
      view.ShowMessage(kRestartFailedToStart, MessageIcon::kExclamation, MessageButtons::kOk);
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
}

StopOutcome StopInstanceService(ServiceDatabase& db, const std::string& serviceName) {
  int error = 0;
  return StopInstanceService(db, serviceName, &error);
}

StopOutcome StopInstanceService(ServiceDatabase& db, const std::string& serviceName, int* error) {
  *error = 0;
  OpenService open(db, kStandardRightsRead, serviceName,
                   kReadControl | kServiceStop | kServiceQueryStatus);
  if (!open.service) {
    if (open.error == kErrorServiceDoesNotExist) return StopOutcome::kNotRegistered;
    *error = open.error;
    return StopOutcome::kFailed;
  }
  const std::uint32_t state = QueryState(db, open.service.get());
  if (state == kServiceStopped) return StopOutcome::kWasStopped;
  if (StopAndWait(db, open.service.get(), error)) return StopOutcome::kStopped;
  if (*error == 0) *error = kErrorServiceRequestTimeout;
  return StopOutcome::kFailed;
}

std::vector<ServiceCondition> QueryServiceConditions(ServiceDatabase& db,
                                                     const std::vector<std::string>& serviceNames) {
  std::vector<ServiceCondition> conditions(serviceNames.size(), ServiceCondition::kUnknown);
  ScopedServiceHandle manager(db);
  if (manager.OpenWith([&](ScHandle* h) {
        return db.OpenServiceManager(kStandardRightsRead | kScManagerEnumerateService, h);
      }) != 0)
    return conditions;
  std::map<std::string, std::uint32_t> states;
  if (db.EnumerateServiceStates(manager.get(), &states) == 0) {
    for (std::size_t i = 0; i < serviceNames.size(); ++i) {
      auto found = states.find(UpperCase(serviceNames[i]));
      conditions[i] = serviceNames[i].empty() || found == states.end()
                          ? ServiceCondition::kNotRegistered
                          : ConditionOfServiceState(found->second);
    }
    return conditions;
  }
  for (std::size_t i = 0; i < serviceNames.size(); ++i) {
    if (serviceNames[i].empty()) {
      conditions[i] = ServiceCondition::kNotRegistered;
      continue;
    }
    ScopedServiceHandle service(db);
    const int error = service.OpenWith([&](ScHandle* h) {
      return db.OpenServiceEntry(manager.get(), serviceNames[i], kServiceQueryStatus, h);
    });
    if (error == kErrorServiceDoesNotExist) conditions[i] = ServiceCondition::kNotRegistered;
    else if (error == 0) conditions[i] = ConditionOfServiceState(QueryState(db, service.get()));
  }
  return conditions;
}

bool DeleteInstanceService(ServiceDatabase& db, const std::string& serviceName) {
  OpenService open(db, kScManagerAllAccess, serviceName,
                   kDelete | kReadControl | kServiceStop | kServiceQueryStatus);
  const ScHandle service = open.service.get();
  if (service == 0) return false;
  if (QueryState(db, service) != kServiceStopped) db.SendStopControl(service);
  WaitWhileStopPending(db, service, QueryState(db, service));
  return db.DeleteServiceEntry(service) == 0;
}

bool ServiceIsRegistered(ServiceDatabase& db, const std::string& serviceName) {
  OpenService open(db, kStandardRightsRead, serviceName, kServiceQueryStatus);
  if (!open.manager) return true;
  return open.error != kErrorServiceDoesNotExist;
}
