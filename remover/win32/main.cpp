// vmdsremove: stops and deletes every device-server service listed in the vmds.ini next to it.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "remove_all_services.h"
#include "win32/win32_host.h"

int main(int argc, char** argv) {
  try {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    Win32ToolHost host;
    Win32ServiceDatabase db;
    return RemoveAllServicesMain(arguments, host, db);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "vmdsremove: fatal error: %s\n", failure.what());
    return kExitFrameworkFailure;
  }
}
