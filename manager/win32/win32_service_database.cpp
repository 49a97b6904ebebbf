#include "win32/win32_service_database.h"

#include "text_functions.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

SC_HANDLE ToSc(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
ScHandle FromSc(SC_HANDLE handle) { return reinterpret_cast<ScHandle>(handle); }
int LastError() { return static_cast<int>(::GetLastError()); }

}  // namespace

int Win32ServiceDatabase::OpenServiceManager(std::uint32_t access, ScHandle* manager) {
  SC_HANDLE handle = ::OpenSCManagerA(nullptr, nullptr, access);
  *manager = FromSc(handle);
  return handle ? 0 : LastError();
}

int Win32ServiceDatabase::CreateServiceEntry(ScHandle manager,
                                             const ServiceRegistration& registration,
                                             ScHandle* service) {
  SC_HANDLE handle = ::CreateServiceA(
      ToSc(manager), registration.ServiceName.c_str(), registration.DisplayName.c_str(),
      registration.DesiredAccess, registration.ServiceType, registration.StartType,
      registration.ErrorControl, registration.BinaryPathName.c_str(), nullptr, nullptr, nullptr,
      nullptr, nullptr);
  *service = FromSc(handle);
  return handle ? 0 : LastError();
}

int Win32ServiceDatabase::SetServiceDescription(ScHandle service, const std::string& description) {
  std::string text = description;
  SERVICE_DESCRIPTIONA info{};
  info.lpDescription = text.data();
  return ::ChangeServiceConfig2A(ToSc(service), SERVICE_CONFIG_DESCRIPTION, &info) ? 0
                                                                                   : LastError();
}

int Win32ServiceDatabase::WriteEventSource(const std::string& source,
                                           const std::string& messageFile,
                                           std::uint32_t typesSupported) {
  const std::string keyPath =
      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  HKEY key = nullptr;
  LONG error = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (error != ERROR_SUCCESS) return static_cast<int>(error);
  error = ::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>(messageFile.c_str()),
                           static_cast<DWORD>(messageFile.size() + 1));
  if (error == ERROR_SUCCESS) {
    DWORD types = typesSupported;
    error = ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&types), sizeof types);
  }
  ::RegCloseKey(key);
  return static_cast<int>(error);
}

int Win32ServiceDatabase::SetRecoveryActions(ScHandle service, const RecoveryActions& actions) {
  // The same restart for the first, the second and every later failure (the last action
  // repeats). Restart actions need SERVICE_START access on the handle.
  SC_ACTION steps[3];
  for (SC_ACTION& step : steps) {
    step.Type = SC_ACTION_RESTART;
    step.Delay = actions.RestartDelayMilliseconds;
  }
  SERVICE_FAILURE_ACTIONSA failure{};
  failure.dwResetPeriod = actions.ResetPeriodSeconds;
  failure.cActions = 3;
  failure.lpsaActions = steps;
  if (!::ChangeServiceConfig2A(ToSc(service), SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return LastError();
  SERVICE_FAILURE_ACTIONS_FLAG flag{};
  flag.fFailureActionsOnNonCrashFailures = actions.ApplyToNonZeroExit ? TRUE : FALSE;
  return ::ChangeServiceConfig2A(ToSc(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)
             ? 0
             : LastError();
}

int Win32ServiceDatabase::OpenServiceEntry(ScHandle manager, const std::string& name,
                                           std::uint32_t access, ScHandle* service) {
  SC_HANDLE handle = ::OpenServiceA(ToSc(manager), name.c_str(), access);
  *service = FromSc(handle);
  return handle ? 0 : LastError();
}

int Win32ServiceDatabase::StartServiceEntry(ScHandle service) {
  return ::StartServiceA(ToSc(service), 0, nullptr) ? 0 : LastError();
}

int Win32ServiceDatabase::SendStopControl(ScHandle service) {
  SERVICE_STATUS status{};
  return ::ControlService(ToSc(service), SERVICE_CONTROL_STOP, &status) ? 0 : LastError();
}

int Win32ServiceDatabase::QueryServiceState(ScHandle service, std::uint32_t* state) {
  SERVICE_STATUS status{};
  if (!::QueryServiceStatus(ToSc(service), &status)) return LastError();
  *state = status.dwCurrentState;
  return 0;
}

int Win32ServiceDatabase::DeleteServiceEntry(ScHandle service) {
  return ::DeleteService(ToSc(service)) ? 0 : LastError();
}

void Win32ServiceDatabase::CloseServiceEntry(ScHandle handle) {
  if (handle != 0) ::CloseServiceHandle(ToSc(handle));
}

void Win32ServiceDatabase::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::string Win32ServiceDatabase::ErrorText(int error) {
  char* buffer = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 && buffer != nullptr ? std::string(buffer, length) : std::string();
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  // The number too: it is what a search or the vendor's support asks for.
  return (text.empty() ? "Error" : text) + " (error " + std::to_string(error) + ")";
}

int Win32ServiceDatabase::EnumerateServiceStates(ScHandle manager,
                                                 std::map<std::string, std::uint32_t>* states) {
  std::vector<BYTE> buffer(64 * 1024);
  DWORD resume = 0;
  for (;;) {
    DWORD needed = 0, count = 0;
    const BOOL done = ::EnumServicesStatusExA(
        ToSc(manager), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
        static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
    const int error = done ? 0 : LastError();
    if (!done && error != ERROR_MORE_DATA) return error;
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
      const std::string name =
          UpperCase(entries[i].lpServiceName != nullptr ? entries[i].lpServiceName : "");
      (*states)[name] = entries[i].ServiceStatusProcess.dwCurrentState;
    }
    if (done) return 0;
    // More entries follow: the next call goes on from `resume`, in a buffer as large as asked.
    if (needed > buffer.size()) buffer.resize(needed);
  }
}
