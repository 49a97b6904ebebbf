// service_recovery: prints a service's recovery settings as the service database keeps them, for
// the Wine tests of the manager and the installer.
//
//   service_recovery NAME             reset=SECONDS actions=TYPE/DELAY,... non_crash=0|1
//   service_recovery NAME DELAY_MS    first sets every action's delay to DELAY_MS (so that a test
//                                     can watch a restart without waiting a minute), then prints
//
// TYPE is none, restart, reboot or run. Exit code 0, or 1 with the failing call and its error
// number printed instead.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const char* TypeName(SC_ACTION_TYPE type) {
  switch (type) {
    case SC_ACTION_NONE: return "none";
    case SC_ACTION_RESTART: return "restart";
    case SC_ACTION_REBOOT: return "reboot";
    case SC_ACTION_RUN_COMMAND: return "run";
    default: return "?";
  }
}

int Fail(const char* call) {
  std::printf("%s failed: %lu\n", call, GetLastError());
  return 1;
}

bool Query(SC_HANDLE service, DWORD level, std::vector<BYTE>& buffer) {
  DWORD needed = 0;
  buffer.assign(8192, 0);
  return QueryServiceConfig2A(service, level, buffer.data(), static_cast<DWORD>(buffer.size()),
                              &needed) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: service_recovery NAME [DELAY_MS]\n");
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return Fail("OpenSCManagerA");
  SC_HANDLE service = OpenServiceA(manager, argv[1],
                                   SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START);
  if (!service) return Fail("OpenServiceA");

  std::vector<BYTE> buffer;
  if (!Query(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer))
    return Fail("QueryServiceConfig2A(FAILURE_ACTIONS)");
  auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
  if (argc == 3) {
    std::vector<SC_ACTION> steps(actions->lpsaActions, actions->lpsaActions + actions->cActions);
    for (SC_ACTION& step : steps) step.Delay = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    SERVICE_FAILURE_ACTIONSA changed = *actions;
    changed.lpRebootMsg = nullptr;  // unchanged
    changed.lpCommand = nullptr;    // unchanged
    changed.lpsaActions = steps.data();
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &changed))
      return Fail("ChangeServiceConfig2A(FAILURE_ACTIONS)");
    if (!Query(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer))
      return Fail("QueryServiceConfig2A(FAILURE_ACTIONS)");
    actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
  }
  std::printf("reset=%lu actions=", actions->dwResetPeriod);
  for (DWORD i = 0; i < actions->cActions; ++i) {
    std::printf("%s%s/%lu", i ? "," : "", TypeName(actions->lpsaActions[i].Type),
                actions->lpsaActions[i].Delay);
  }
  std::vector<BYTE> flagBuffer;
  if (!Query(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, flagBuffer))
    return Fail("QueryServiceConfig2A(FAILURE_ACTIONS_FLAG)");
  auto* flag = reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(flagBuffer.data());
  std::printf(" non_crash=%d\n", flag->fFailureActionsOnNonCrashFailures ? 1 : 0);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}
