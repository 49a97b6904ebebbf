// vmdsmgr_bench: times the manager's start-up and its state refresh with many instances, from
// outside the running VMDSMgr.exe (scripts/bench-manager.sh runs it under Wine). One command per
// run:
//
//   register DIRECTORY NAME...
//       registers one stopped, demand-start service per instance name, as the manager names them
//       ("Daltrimore_VMDS_" + the name with blanks turned into "_", display name "Daltrimore
//       VMDS " + the name; "Master" is the master's "Daltrimore_VMDS_Mstr"), running
//       DIRECTORY\NAME\vmds.exe (the master: DIRECTORY\vmds.exe)
//   startup REPEATS SECONDS MANAGER_EXE:ROWS...
//       starts each manager in turn, REPEATS rounds, and times from CreateProcess until its
//       main window is shown and answers with ROWS list rows whose State cells are all filled
//       (the first refresh has run); then closes it and waits for its end. Prints every figure
//       and, per manager, the median, minimum and maximum in milliseconds
//   refresh REPEATS SECONDS MANAGER_EXE ROWS
//       starts the manager, waits as above, then sends its window REPEATS refresh ticks
//       (WM_TIMER of the refresh timer; SendMessage returns once the tick is handled): with the
//       status files unchanged, and again with every instance's vmds.prom given a new last-write
//       time before each tick (all of them are read again). A WM_NULL round trip, timed the same
//       way, is the message's own share. Prints median and maximum in milliseconds
//   seams REPEATS DIRECTORY
//       times the Win32 calls of one refresh without the manager (the service database's
//       enumeration, the stamps of the status files of DIRECTORY and its instance directories,
//       and reading each of them), REPEATS times: what Wine's calls alone cost
//
// Every wait is bounded by SECONDS. Exit code 0 when every run ended as expected, 1 when not
// (the reason on stderr), 2 for a wrong command line.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "resource.h"

namespace {

constexpr UINT_PTR kRefreshTimerId = 1;  // the manager's refresh timer
constexpr UINT kSendTimeoutMs = 10000;
constexpr int kStateColumn = 3;

struct Failure {
  std::wstring reason;
};

[[noreturn]] void Fail(const std::wstring& reason) { throw Failure{reason}; }

std::wstring Win32Error(const std::wstring& what) {
  return what + L" (error " + std::to_wstring(GetLastError()) + L")";
}

// ---- Time ------------------------------------------------------------------------------------

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / frequency;  // milliseconds
}

struct Summary {
  double median, minimum, maximum;
};

Summary Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {median, values.front(), values.back()};
}

// ---- Services --------------------------------------------------------------------------------

std::wstring ServiceNameOf(const std::wstring& instance) {
  if (instance == L"Master") return L"Daltrimore_VMDS_Mstr";
  std::wstring name = L"Daltrimore_VMDS_" + instance;
  std::replace(name.begin(), name.end(), L' ', L'_');
  return name;
}

int Register(const std::vector<std::wstring>& args) {
  if (args.size() < 2) return 2;
  const std::wstring& directory = args[0];
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) Fail(Win32Error(L"cannot open the service control manager"));
  const double start = Now();
  for (size_t i = 1; i < args.size(); ++i) {
    const std::wstring& instance = args[i];
    const std::wstring program = instance == L"Master"
                                     ? L"\"" + directory + L"\\vmds.exe\""
                                     : L"\"" + directory + L"\\" + instance + L"\\vmds.exe\"";
    const std::wstring display =
        instance == L"Master" ? L"Daltrimore VMDS Mstr" : L"Daltrimore VMDS " + instance;
    SC_HANDLE service = CreateServiceW(manager, ServiceNameOf(instance).c_str(), display.c_str(),
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, program.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
      CloseServiceHandle(manager);
      Fail(Win32Error(L"cannot register " + ServiceNameOf(instance)));
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  std::printf("registered %zu services in %.0f ms\n", args.size() - 1, Now() - start);
  return 0;
}

// ---- The manager's window --------------------------------------------------------------------

struct Manager {
  PROCESS_INFORMATION process{};
  HWND window = nullptr;
  HWND list = nullptr;

  ~Manager() {
    if (process.hProcess) {
      if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(process.hProcess, 1);
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
    }
  }
};

HWND VisibleMainWindowOf(DWORD pid) {
  struct Search {
    DWORD pid;
    HWND found;
  } search{pid, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        char name[64] = {};
        GetClassNameA(window, name, sizeof name);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s->pid && std::strcmp(name, VMDSMGR_MAIN_CLASS) == 0 &&
            IsWindowVisible(window)) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND ListOf(HWND window) {
  struct Search {
    HWND found;
  } search{nullptr};
  EnumChildWindows(
      window,
      [](HWND child, LPARAM param) -> BOOL {
        if (GetDlgCtrlID(child) != IDC_INSTANCE_LIST) return TRUE;
        char name[64] = {};
        GetClassNameA(child, name, sizeof name);
        if (std::strcmp(name, WC_LISTVIEWA) != 0) return TRUE;
        reinterpret_cast<Search*>(param)->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The texts of the process's other visible top-level windows (a message box that stopped it).
std::wstring OtherWindowsOf(DWORD pid) {
  struct Search {
    DWORD pid;
    std::wstring texts;
  } search{pid, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != s->pid || !IsWindowVisible(window)) return TRUE;
        EnumChildWindows(
            window,
            [](HWND child, LPARAM inner) -> BOOL {
              wchar_t text[512] = {};
              if (GetWindowTextW(child, text, 512) > 0)
                *reinterpret_cast<std::wstring*>(inner) += L" [" + std::wstring(text) + L"]";
              return TRUE;
            },
            reinterpret_cast<LPARAM>(&s->texts));
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.texts;
}

bool Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, kSendTimeoutMs, &answer))
    return false;
  if (result) *result = static_cast<LRESULT>(answer);
  return true;
}

// Memory in the manager's process for a list view item and its text.
class RemoteItem {
 public:
  explicit RemoteItem(HANDLE process) : process_(process) {
    memory_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT | MEM_RESERVE,
                                                PAGE_READWRITE));
    if (!memory_) Fail(Win32Error(L"cannot allocate memory in the manager's process"));
  }
  ~RemoteItem() { VirtualFreeEx(process_, memory_, 0, MEM_RELEASE); }
  RemoteItem(const RemoteItem&) = delete;
  RemoteItem& operator=(const RemoteItem&) = delete;

  // The text of one cell; false when the window did not answer.
  bool Cell(HWND list, int row, int column, std::wstring* text) {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(memory_ + sizeof(LVITEMW));
    item.cchTextMax = kChars;
    const wchar_t empty = 0;
    SIZE_T done = 0;
    if (!WriteProcessMemory(process_, memory_, &item, sizeof item, &done) ||
        !WriteProcessMemory(process_, memory_ + sizeof(LVITEMW), &empty, sizeof empty, &done))
      Fail(Win32Error(L"cannot write into the manager's process"));
    LRESULT length = 0;
    if (!Send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(memory_),
              &length))
      return false;
    std::wstring buffer(kChars, L'\0');
    if (!ReadProcessMemory(process_, memory_ + sizeof(LVITEMW), buffer.data(),
                           kChars * sizeof(wchar_t), &done))
      Fail(Win32Error(L"cannot read from the manager's process"));
    buffer.resize(std::min<size_t>(length < 0 ? 0 : static_cast<size_t>(length), kChars - 1));
    *text = buffer;
    return true;
  }

 private:
  static constexpr int kChars = 256;
  static constexpr size_t kSize = sizeof(LVITEMW) + kChars * sizeof(wchar_t);
  HANDLE process_;
  char* memory_ = nullptr;
};

// Starts the manager and returns the milliseconds until its window shows `rows` rows with every
// State cell filled. The poll looks at window visibility first, which needs nothing from the
// manager's thread; only a shown window is sent list queries, which it answers once it pumps
// messages (after start-up and the first refresh).
double StartAndWait(Manager& manager, const std::wstring& program, int rows, double seconds) {
  std::wstring commandLine = L"\"" + program + L"\"";
  const std::wstring directory = program.substr(0, program.find_last_of(L'\\'));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  const double start = Now();
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &manager.process))
    Fail(Win32Error(L"cannot start " + program));
  const double deadline = start + seconds * 1000.0;
  const DWORD pid = manager.process.dwProcessId;
  std::wstring lastSeen = L"no window";
  while (Now() < deadline) {
    if (WaitForSingleObject(manager.process.hProcess, 0) == WAIT_OBJECT_0)
      Fail(program + L" ended during start-up");
    if (!manager.window) manager.window = VisibleMainWindowOf(pid);
    if (manager.window && !manager.list) manager.list = ListOf(manager.window);
    if (manager.list) {
      LRESULT count = 0;
      if (Send(manager.list, LVM_GETITEMCOUNT, 0, 0, &count) && count == rows) {
        RemoteItem item(manager.process.hProcess);
        bool filled = true;
        for (int row = rows - 1; row >= 0 && filled; --row) {
          std::wstring text;
          filled = item.Cell(manager.list, row, kStateColumn, &text) && !text.empty();
        }
        const double elapsed = Now() - start;
        if (filled) return elapsed;
        lastSeen = L"rows without state";
      } else {
        lastSeen = L"list with " + std::to_wstring(count) + L" rows";
      }
    }
    Sleep(1);
  }
  Fail(program + L": no complete list within the time (" + lastSeen + L")" +
       OtherWindowsOf(pid));
}

void CloseManager(Manager& manager, double seconds) {
  PostMessageW(manager.window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(manager.process.hProcess, static_cast<DWORD>(seconds * 1000)) !=
      WAIT_OBJECT_0)
    Fail(L"the manager did not end after WM_CLOSE" + OtherWindowsOf(manager.process.dwProcessId));
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

double Seconds(const std::wstring& text) {
  wchar_t* end = nullptr;
  const double value = std::wcstod(text.c_str(), &end);
  if (end == text.c_str() || *end != 0 || value <= 0 || value > 600) Fail(L"bad SECONDS " + text);
  return value;
}

int Count(const std::wstring& text) {
  wchar_t* end = nullptr;
  const long value = std::wcstol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != 0 || value < 1 || value > 10000) Fail(L"bad count " + text);
  return static_cast<int>(value);
}

int Startup(const std::vector<std::wstring>& args) {
  if (args.size() < 3) return 2;
  const int repeats = Count(args[0]);
  const double seconds = Seconds(args[1]);
  struct Case {
    std::wstring program;
    int rows;
    std::vector<double> times;
  };
  std::vector<Case> cases;
  for (size_t i = 2; i < args.size(); ++i) {
    const size_t colon = args[i].rfind(L':');
    if (colon == std::wstring::npos || colon < 3) return 2;
    cases.push_back({args[i].substr(0, colon), Count(args[i].substr(colon + 1)), {}});
  }
  for (int round = 0; round < repeats; ++round) {
    for (Case& c : cases) {
      Manager manager;
      c.times.push_back(StartAndWait(manager, c.program, c.rows, seconds));
      CloseManager(manager, seconds);
    }
  }
  for (const Case& c : cases) {
    std::string all;
    for (double t : c.times) {
      all += ' ';
      all += Number(t);
    }
    const Summary s = Summarise(c.times);
    std::printf("  %-16s rows=%-4d median=%s min=%s max=%s ms; runs:%s\n",
                Narrow(c.program.substr(0, c.program.find_last_of(L'\\'))).c_str(), c.rows,
                Number(s.median).c_str(), Number(s.minimum).c_str(), Number(s.maximum).c_str(),
                all.c_str());
  }
  return 0;
}

// Every vmds.prom of the manager's directory and of its instance directories.
std::vector<std::wstring> StatusFiles(const std::wstring& directory) {
  std::vector<std::wstring> files;
  auto add = [&files](const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) files.push_back(path);
  };
  add(directory + L"\\vmds.prom");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    const std::wstring name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
      add(directory + L"\\" + name + L"\\vmds.prom");
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return files;
}

// Gives every file the same new last-write time (now + `step` seconds: each call differs).
void Touch(const std::vector<std::wstring>& files, int step) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER time;
  time.LowPart = now.dwLowDateTime;
  time.HighPart = now.dwHighDateTime;
  time.QuadPart += static_cast<ULONGLONG>(step) * 10000000ULL;
  FILETIME stamp{time.LowPart, time.HighPart};
  for (const std::wstring& path : files) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail(Win32Error(L"cannot open " + path));
    const BOOL set = SetFileTime(file, nullptr, nullptr, &stamp);
    CloseHandle(file);
    if (!set) Fail(Win32Error(L"cannot set the time of " + path));
  }
}

int Refresh(const std::vector<std::wstring>& args) {
  if (args.size() != 4) return 2;
  const int repeats = Count(args[0]);
  const double seconds = Seconds(args[1]);
  const std::wstring& program = args[2];
  const int rows = Count(args[3]);
  const std::vector<std::wstring> files =
      StatusFiles(program.substr(0, program.find_last_of(L'\\')));

  Manager manager;
  const double startup = StartAndWait(manager, program, rows, seconds);
  auto timed = [&manager](UINT message, WPARAM wparam) {
    const double start = Now();
    if (!Send(manager.window, message, wparam, 0, nullptr))
      Fail(L"the manager did not answer within " + std::to_wstring(kSendTimeoutMs) + L" ms");
    return Now() - start;
  };
  std::vector<double> roundTrip, unchanged, changed;
  for (int i = 0; i < repeats; ++i) roundTrip.push_back(timed(WM_NULL, 0));
  for (int i = 0; i < repeats; ++i) unchanged.push_back(timed(WM_TIMER, kRefreshTimerId));
  for (int i = 0; i < repeats; ++i) {
    Touch(files, i + 1);
    changed.push_back(timed(WM_TIMER, kRefreshTimerId));
  }
  CloseManager(manager, seconds);

  std::printf("refresh of %d rows with %zu status files (start-up %s ms), %d ticks each:\n", rows,
              files.size(), Number(startup).c_str(), repeats);
  auto print = [](const char* what, const std::vector<double>& values) {
    const Summary s = Summarise(values);
    std::printf("  %-40s median=%s max=%s ms\n", what, Number(s.median).c_str(),
                Number(s.maximum).c_str());
  };
  print("message round trip alone (WM_NULL)", roundTrip);
  print("refresh, status files unchanged", unchanged);
  print("refresh, every status file changed", changed);
  return 0;
}

// The Win32 calls a refresh makes, alone and in the same order, without the manager: the service
// database's enumeration, then every status file's stamp, then every file opened, read and closed
// as the manager's reader does (4 KB reads to the end).
int Seams(const std::vector<std::wstring>& args) {
  if (args.size() != 2) return 2;
  const int repeats = Count(args[0]);
  const std::vector<std::wstring> files = StatusFiles(args[1]);
  std::vector<double> enumerate, stamps, reads;
  std::vector<BYTE> buffer(256 * 1024);
  for (int i = 0; i < repeats; ++i) {
    double start = Now();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (!manager) Fail(Win32Error(L"cannot open the service control manager"));
    DWORD needed = 0, count = 0, resume = 0;
    const BOOL enumerated = EnumServicesStatusExW(
        manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
        static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
    CloseServiceHandle(manager);
    if (!enumerated) Fail(Win32Error(L"cannot enumerate the services"));
    enumerate.push_back(Now() - start);

    start = Now();
    for (const std::wstring& path : files) {
      WIN32_FILE_ATTRIBUTE_DATA data{};
      if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        Fail(Win32Error(L"no stamp of " + path));
    }
    stamps.push_back(Now() - start);

    start = Now();
    for (const std::wstring& path : files) {
      HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) Fail(Win32Error(L"cannot open " + path));
      char block[4096];
      DWORD got = 0;
      while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) {
      }
      CloseHandle(file);
    }
    reads.push_back(Now() - start);
  }
  std::printf("the refresh's Win32 calls alone, %zu status files, %d times:\n", files.size(),
              repeats);
  auto print = [](const char* what, const std::vector<double>& values) {
    const Summary s = Summarise(values);
    std::printf("  %-40s median=%s max=%s ms\n", what, Number(s.median).c_str(),
                Number(s.maximum).c_str());
  };
  print("service database: open, enumerate, close", enumerate);
  print("status files: stamps (last write, size)", stamps);
  print("status files: open, read, close", reads);
  return 0;
}

int Run(const std::vector<std::wstring>& args) {
  if (args.empty()) return 2;
  const std::vector<std::wstring> rest(args.begin() + 1, args.end());
  if (args[0] == L"register") return Register(rest);
  if (args[0] == L"startup") return Startup(rest);
  if (args[0] == L"refresh") return Refresh(rest);
  if (args[0] == L"seams") return Seams(rest);
  return 2;
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> args;
  for (int i = 1; i < count; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  try {
    const int code = Run(args);
    if (code == 2)
      std::fprintf(stderr,
                   "usage: vmdsmgr_bench register DIRECTORY NAME... | startup REPEATS SECONDS "
                   "MANAGER_EXE:ROWS... | refresh REPEATS SECONDS MANAGER_EXE ROWS | seams REPEATS "
                   "DIRECTORY\n");
    std::fflush(stdout);
    return code;
  } catch (const Failure& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "vmdsmgr_bench: %s\n", Narrow(failure.reason).c_str());
    return 1;
  }
}
