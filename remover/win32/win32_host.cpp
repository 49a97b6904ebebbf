#include "win32/win32_host.h"

#include <windows.h>

#include <cstdio>
#include <ctime>

namespace {

SC_HANDLE ToSc(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
int LastError() { return static_cast<int>(::GetLastError()); }

}  // namespace

int Win32ServiceDatabase::OpenServiceManager(std::uint32_t access, ScHandle* manager) {
  SC_HANDLE handle = ::OpenSCManagerA(nullptr, nullptr, access);
  *manager = reinterpret_cast<ScHandle>(handle);
  return handle ? 0 : LastError();
}

int Win32ServiceDatabase::OpenServiceEntry(ScHandle manager, const std::string& name,
                                           std::uint32_t access, ScHandle* service) {
  SC_HANDLE handle = ::OpenServiceA(ToSc(manager), name.c_str(), access);
  *service = reinterpret_cast<ScHandle>(handle);
  return handle ? 0 : LastError();
}

int Win32ServiceDatabase::QueryServiceState(ScHandle service, std::uint32_t* state) {
  SERVICE_STATUS status{};
  if (!::QueryServiceStatus(ToSc(service), &status)) return LastError();
  *state = status.dwCurrentState;
  return 0;
}

int Win32ServiceDatabase::SendStopControl(ScHandle service) {
  SERVICE_STATUS status{};
  return ::ControlService(ToSc(service), SERVICE_CONTROL_STOP, &status) ? 0 : LastError();
}

int Win32ServiceDatabase::DeleteServiceEntry(ScHandle service) {
  return ::DeleteService(ToSc(service)) ? 0 : LastError();
}

void Win32ServiceDatabase::CloseServiceEntry(ScHandle handle) {
  if (handle != 0) ::CloseServiceHandle(ToSc(handle));
}

void Win32ServiceDatabase::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::int64_t Win32ServiceDatabase::NowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

int Win32ToolHost::GetProgramPath(std::string* path) {
  char buffer[MAX_PATH + 1] = {};
  DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return length == 0 ? LastError() : ERROR_INSUFFICIENT_BUFFER;
  path->assign(buffer, length);
  return 0;
}

int Win32ToolHost::ReadWholeFile(const std::string& path, std::string* content) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  content->clear();
  char block[2048];
  DWORD got = 0;
  while (::ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) content->append(block, got);
  ::CloseHandle(file);
  return 0;
}

void Win32ToolHost::ShowMessageBox(const std::string& text) {
  ::MessageBoxA(::GetFocus(), text.c_str(), kToolTitle, MB_OK | MB_ICONEXCLAMATION | MB_SYSTEMMODAL);
}

void Win32ToolHost::Write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void Win32ToolHost::Flush() { std::fflush(stdout); }
