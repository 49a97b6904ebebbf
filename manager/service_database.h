// The manager's service-database seam: the Service Control Manager calls and the
// waits between them. Every call returns 0 or a Win32 error number. Handles are opaque; 0 is
// no handle. The Win32 implementation (win32/win32_service_database.h) makes the real calls;
// tests script a fake, whose Sleep returns at once.
#pragma once

#include <cstdint>
#include <map>
#include <string>

using ScHandle = std::uintptr_t;

// Service states of the Service Control Manager. 0: no state was reported.
enum ServiceState : std::uint32_t {
  kServiceNoState = 0,
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

// Access rights and property values of the registered services.
constexpr std::uint32_t kScManagerCreateService = 0x0002;
constexpr std::uint32_t kScManagerEnumerateService = 0x0004;
constexpr std::uint32_t kStandardRightsRead = 0x20000;
constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;
constexpr std::uint32_t kDelete = 0x10000;
constexpr std::uint32_t kReadControl = 0x20000;
constexpr std::uint32_t kServiceQueryStatus = 0x0004;
constexpr std::uint32_t kServiceStart = 0x0010;
constexpr std::uint32_t kServiceStop = 0x0020;
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceErrorNormal = 1;

// Win32 error numbers the service database reports.
constexpr int kErrorServiceRequestTimeout = 1053;
constexpr int kErrorServiceAlreadyRunning = 1056;
constexpr int kErrorServiceDoesNotExist = 1060;
constexpr int kErrorServiceNotActive = 1062;
constexpr int kErrorServiceMarkedForDelete = 1072;
constexpr int kErrorServiceExists = 1073;

// What CreateServiceEntry registers. The local system account, no load-order group, tag or
// dependencies.
struct ServiceRegistration {
  std::string ServiceName;
  std::string DisplayName;
  std::uint32_t DesiredAccess = 0;
  std::uint32_t ServiceType = 0;
  std::uint32_t StartType = 0;
  std::uint32_t ErrorControl = 0;
  std::string BinaryPathName;  // passed as given
};

// What the service database does when a service fails: restart it after a delay on the first,
// the second and every later failure, forget the failures after a quiet period, and count a
// stop with a non-zero exit code as a failure too (not only a crash).
struct RecoveryActions {
  std::uint32_t ResetPeriodSeconds = 0;
  std::uint32_t RestartDelayMilliseconds = 0;
  bool ApplyToNonZeroExit = false;
};

class ServiceDatabase {
 public:
  virtual ~ServiceDatabase() = default;
  // OpenSCManagerA on the local computer's active database.
  virtual int OpenServiceManager(std::uint32_t access, ScHandle* manager) = 0;
  // CreateServiceA.
  virtual int CreateServiceEntry(ScHandle manager, const ServiceRegistration& registration,
                                 ScHandle* service) = 0;
  // ChangeServiceConfig2A with SERVICE_CONFIG_DESCRIPTION.
  virtual int SetServiceDescription(ScHandle service, const std::string& description) = 0;
  // ChangeServiceConfig2A with SERVICE_CONFIG_FAILURE_ACTIONS, then with
  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG.
  virtual int SetRecoveryActions(ScHandle service, const RecoveryActions& actions) = 0;
  // OpenServiceA.
  virtual int OpenServiceEntry(ScHandle manager, const std::string& name, std::uint32_t access,
                               ScHandle* service) = 0;
  // StartServiceA without arguments.
  virtual int StartServiceEntry(ScHandle service) = 0;
  // ControlService with SERVICE_CONTROL_STOP.
  virtual int SendStopControl(ScHandle service) = 0;
  // QueryServiceStatus: the current state.
  virtual int QueryServiceState(ScHandle service, std::uint32_t* state) = 0;
  // EnumServicesStatusExA over the own-process and shared-process services in every state: the
  // current state of each by its name in upper case (service names ignore case). One call for
  // all services, where a query per service costs a round trip each.
  virtual int EnumerateServiceStates(ScHandle manager,
                                     std::map<std::string, std::uint32_t>* states) = 0;
  // The event source `source` of the Application event log: creates or opens
  // HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> and sets its
  // EventMessageFile (REG_EXPAND_SZ) and TypesSupported (REG_DWORD).
  virtual int WriteEventSource(const std::string& source, const std::string& messageFile,
                               std::uint32_t typesSupported) = 0;
  // DeleteService.
  virtual int DeleteServiceEntry(ScHandle service) = 0;
  // CloseServiceHandle; 0 is ignored.
  virtual void CloseServiceEntry(ScHandle handle) = 0;
  // Sleep.
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // The system's text for a Win32 error number (FormatMessage), without a trailing line end,
  // and the number.
  virtual std::string ErrorText(int error) = 0;
};
