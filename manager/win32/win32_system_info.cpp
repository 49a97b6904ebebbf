#include "win32_system_info.h"

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace {

// Rights the NT 4.0 method opens every process with: query information and read memory.
constexpr DWORD kQueryAndReadAccess = 0x410;
// The process-identifier buffer starts at 96 bytes (24 identifiers) and doubles while full. The
// cap only stops a system call that keeps reporting a full buffer from growing it for ever.
constexpr DWORD kFirstIdBufferBytes = 96;
constexpr DWORD kMaxIdBufferBytes = 64u * 1024u * 1024u;

}  // namespace

bool Win32SystemInfo::IsWindowsNT4() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);  // 148 bytes: the ANSI structure
  if (!GetVersionExA(&info)) return false;
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 4 &&
         info.dwMinorVersion == 0 && info.dwBuildNumber > 1380;
}

std::vector<std::string> Win32SystemInfo::SnapshotProcessNames() {
  std::vector<std::string> names;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return names;
  // The entry's size is the structure's own size on this platform (296 bytes in a 32-bit
  // program, 304 in a 64-bit one); the API rejects any other.
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    names.emplace_back(entry.szExeFile, strnlen(entry.szExeFile, sizeof(entry.szExeFile)));
    entry.dwSize = sizeof(entry);
  }
  CloseHandle(snapshot);
  return names;
}

std::vector<std::string> Win32SystemInfo::ProcessModuleFileNames() {
  std::vector<std::string> names;
  std::vector<DWORD> ids;
  DWORD bufferBytes = kFirstIdBufferBytes;
  DWORD returnedBytes = 0;
  for (;;) {
    ids.assign(bufferBytes / sizeof(DWORD), 0);
    if (!EnumProcesses(ids.data(), bufferBytes, &returnedBytes)) return names;
    if (returnedBytes < bufferBytes || bufferBytes >= kMaxIdBufferBytes) break;
    bufferBytes *= 2;
  }
  const size_t count = returnedBytes / sizeof(DWORD);
  for (size_t i = 0; i < count && i < ids.size(); ++i) {
    HANDLE process = OpenProcess(kQueryAndReadAccess, FALSE, ids[i]);
    if (process == nullptr) continue;
    HMODULE firstModule = nullptr;
    DWORD neededBytes = 0;
    if (EnumProcessModules(process, &firstModule, sizeof(firstModule), &neededBytes)) {
      char fileName[MAX_PATH] = {};  // 260 characters
      const DWORD length = GetModuleFileNameExA(process, firstModule, fileName, MAX_PATH);
      names.emplace_back(fileName, length < MAX_PATH ? length : MAX_PATH);
    }
    CloseHandle(process);
  }
  return names;
}

std::string Win32SystemInfo::HostName() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 0), &data) == 0) {
    char name[256] = {};
    const int result = gethostname(name, sizeof(name) - 1);
    WSACleanup();
    if (result == 0 && name[0] != '\0') return std::string(name, strnlen(name, sizeof(name)));
  }
  char name[256] = {};
  DWORD length = sizeof(name);
  if (GetComputerNameExA(ComputerNameDnsHostname, name, &length)) return std::string(name, length);
  return std::string();
}

std::string Win32SystemInfo::LocalTimeText(std::int64_t secondsSince1970) {
  // FILETIME counts 100 ns from 1601; 11644473600 seconds lie between 1601 and 1970.
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(secondsSince1970) + 11644473600ULL) * 10000000ULL;
  FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME universal{}, local{};
  if (secondsSince1970 < 0 || !FileTimeToSystemTime(&utc, &universal) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth,
                local.wDay, local.wHour, local.wMinute, local.wSecond);
  return text;
}
