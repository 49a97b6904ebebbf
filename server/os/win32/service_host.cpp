// The service control manager side of the device server, the registry and the current directory.
#include <windows.h>

#include <vector>

#include "os/win32/win32_waitable.h"

namespace os {

namespace {

ServiceMainFn g_serviceMain = nullptr;
ControlHandlerFn g_controlHandler = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;

void WINAPI ServiceMainTrampoline(DWORD argc, LPSTR* argv) {
  if (g_serviceMain != nullptr) g_serviceMain(static_cast<int>(argc), argv);
}

void WINAPI ControlHandlerTrampoline(DWORD control) {
  if (g_controlHandler != nullptr) g_controlHandler(control);
}

}  // namespace

int RunServiceDispatcher(ServiceMainFn serviceMain) {
  g_serviceMain = serviceMain;
  char emptyName[] = "";
  SERVICE_TABLE_ENTRYA table[] = {
      {emptyName, ServiceMainTrampoline},
      {nullptr, nullptr},
  };
  // FALSE when the process was not started by the service control manager (1063).
  return StartServiceCtrlDispatcherA(table) ? 1 : 0;
}

int RegisterControlHandler(const std::string& serviceName, ControlHandlerFn handler) {
  g_controlHandler = handler;
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerA(serviceName.c_str(), ControlHandlerTrampoline);
  if (handle == nullptr) return static_cast<int>(GetLastError());
  g_statusHandle = handle;
  return 0;
}

void SetStatus(const ServiceStatus& status) {
  if (g_statusHandle == nullptr) return;
  SERVICE_STATUS report{};
  report.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  report.dwCurrentState = status.state;
  report.dwControlsAccepted = status.controlsAccepted;
  report.dwWin32ExitCode = status.win32ExitCode;
  report.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  report.dwCheckPoint = status.checkPoint;
  report.dwWaitHint = status.waitHint;
  SetServiceStatus(g_statusHandle, &report);
}

ImagePathResult ReadServiceImagePath(const std::string& serviceName) {
  ImagePathResult result;
  const std::string keyName = "SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) {
    result.openError = static_cast<int>(status);
    return result;
  }

  // Size first, then the value; the value may change in between, so retry while it grows.
  std::vector<char> buffer;
  DWORD type = 0;
  for (int attempt = 0;; ++attempt) {
    DWORD size = 0;
    status = RegQueryValueExA(key, "ImagePath", nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) break;
    buffer.assign(static_cast<std::size_t>(size) + 1, '\0');  // room for a missing terminator
    status = RegQueryValueExA(key, "ImagePath", nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_MORE_DATA || attempt == 4) {
      if (status == ERROR_SUCCESS) buffer.resize(static_cast<std::size_t>(size) + 1, '\0');
      break;
    }
  }
  RegCloseKey(key);
  if (status == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) {
    status = ERROR_INVALID_DATA;
  }
  if (status != ERROR_SUCCESS) {
    result.queryError = static_cast<int>(status);
    return result;
  }

  std::string path(buffer.data());  // up to the first terminator
  if (type == REG_EXPAND_SZ) {
    DWORD needed = ExpandEnvironmentStringsA(path.c_str(), nullptr, 0);
    if (needed == 0) {
      result.queryError = static_cast<int>(GetLastError());
      return result;
    }
    std::vector<char> expanded(needed + 1, '\0');
    DWORD written = ExpandEnvironmentStringsA(path.c_str(), expanded.data(),
                                              static_cast<DWORD>(expanded.size()));
    if (written == 0 || written > expanded.size()) {
      result.queryError = written == 0 ? static_cast<int>(GetLastError()) : ERROR_MORE_DATA;
      return result;
    }
    path = expanded.data();
  }
  result.path = path;
  return result;
}

int SetCurrentDir(const std::string& dir) {
  return SetCurrentDirectoryA(dir.c_str()) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace os
