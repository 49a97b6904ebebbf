// service_holder: keeps a handle to a service open until its standard input ends, for the Wine
// test of the uninstaller. A service deleted meanwhile is only marked for deletion and stays
// registered until the handle is closed, as one that is still running does on Windows.
//
//   service_holder NAME    prints "holding NAME" once the handle is open, then reads its input
//                          to the end, closes the handle and prints "released NAME"
//
// Exit code 0, or 1 with the failing call and its error number printed instead.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: service_holder NAME\n");
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    std::printf("OpenSCManagerA failed: %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceA(manager, argv[1], SERVICE_QUERY_STATUS);
  if (!service) {
    std::printf("OpenServiceA failed: %lu\n", GetLastError());
    return 1;
  }
  std::printf("holding %s\n", argv[1]);
  std::fflush(stdout);
  char buffer[256];
  DWORD got = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  std::printf("released %s\n", argv[1]);
  return 0;
}
