// A tiny own-process service for the Wine tests of the manager and the removal tool: it registers
// a control handler, reports running, and stops on a stop control. Every start appends
// "started <pid>" to starts.txt next to its program, so a test can count the starts.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWaitHint = 2000;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(stopEvent);
  }
  return NO_ERROR;
}

void NoteStart() {
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string file(path, length);
  file = file.substr(0, file.rfind('\\') + 1) + "starts.txt";
  if (FILE* out = std::fopen(file.c_str(), "a")) {
    std::fprintf(out, "started %lu\n", GetCurrentProcessId());
    std::fclose(out);
  }
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
  statusHandle = RegisterServiceCtrlHandlerExA(argc > 0 ? argv[0] : "", Handler, nullptr);
  if (!statusHandle) return;
  stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  NoteStart();
  Report(SERVICE_RUNNING);
  WaitForSingleObject(stopEvent, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  char name[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    std::printf("vmds_test_service: not started as a service (%lu)\n", GetLastError());
    return 1;
  }
  return 0;
}
