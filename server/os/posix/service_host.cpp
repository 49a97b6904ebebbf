// The Linux service host: the same run sequence as a foreground daemon. SIGTERM and SIGINT are
// the stop request; of the status reports only the stopped one counts, its exit code becomes the
// process's; the program's own directory is the instance's.
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "posix_internal.h"

namespace os {

namespace {
// Like the service control manager, the host sends no control while the service reports
// start-pending; a stop request that comes then is held and delivered after the next report.
std::atomic<ControlHandlerFn> g_handler{nullptr};
std::atomic<std::uint32_t> g_state{kServiceStartPending};
std::atomic<bool> g_stopHeld{false};
int g_wake = -1;  // eventfd: a held stop request can now be delivered
// The process's exit code, from the stopped report; a run that never reported stopped failed.
std::atomic<int> g_exitCode{1};

int ExitCodeOf(const ServiceStatus& status) {
  if (status.win32ExitCode == 0) return 0;
  if (status.win32ExitCode == static_cast<std::uint32_t>(kErrServiceSpecificError) &&
      status.serviceSpecificExitCode >= 1 && status.serviceSpecificExitCode <= 255) {
    return static_cast<int>(status.serviceSpecificExitCode);
  }
  return 1;  // an exit code does not hold a Win32 number; any failure stays a failure
}

std::string OwnProgramPath() {
  char buffer[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (length <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(length));
}
}  // namespace

int RunServiceDispatcher(ServiceMainFn serviceMain) {
  // Stop requests arrive as signals; they are taken from a signalfd by this thread only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  int done = eventfd(0, EFD_CLOEXEC);
  g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

  std::string program = OwnProgramPath();
  std::string name = "vmds";
  if (std::size_t slash = program.find_last_of('/'); slash != std::string::npos) {
    name = program.substr(slash + 1);
  }
  std::thread service([&] {
    char* argv[] = {name.data(), nullptr};
    serviceMain(1, argv);
    std::uint64_t one = 1;
    ssize_t ignored = write(done, &one, sizeof one);
    (void)ignored;
  });

  auto deliverStop = [] {
    ControlHandlerFn handler = g_handler.load();
    if (handler != nullptr) handler(kControlStop);
  };
  for (;;) {
    pollfd fds[3] = {{done, POLLIN, 0}, {g_wake, POLLIN, 0}, {signals, POLLIN, 0}};
    int ready = poll(fds, signals >= 0 ? 3 : 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (fds[0].revents & POLLIN)) break;
    if (fds[1].revents & POLLIN) {
      std::uint64_t value;
      ssize_t got = read(g_wake, &value, sizeof value);
      (void)got;
      deliverStop();
    }
    if (fds[2].revents & POLLIN) {
      signalfd_siginfo info;
      ssize_t got = read(signals, &info, sizeof info);
      (void)got;
      if (g_state.load() == kServiceStartPending) {
        g_stopHeld = true;
        // The service may have reported in the meantime: deliver if so.
        if (g_state.load() != kServiceStartPending && g_stopHeld.exchange(false)) deliverStop();
      } else {
        deliverStop();
      }
    }
  }
  service.join();
  if (signals >= 0) close(signals);
  close(done);
  close(g_wake);
  g_wake = -1;
  return g_exitCode.load();
}

int RegisterControlHandler(const std::string&, ControlHandlerFn handler) {
  g_handler = handler;
  return 0;
}

void SetStatus(const ServiceStatus& status) {
  if (status.state == kServiceStopped) g_exitCode = ExitCodeOf(status);
  g_state = status.state;
  if (status.state != kServiceStartPending && g_stopHeld.exchange(false) && g_wake >= 0) {
    std::uint64_t one = 1;
    ssize_t ignored = write(g_wake, &one, sizeof one);
    (void)ignored;
  }
}

ImagePathResult ReadServiceImagePath(const std::string&) {
  ImagePathResult result;
  result.path = OwnProgramPath();
  if (result.path.empty()) result.queryError = posix::Win32ErrorFromErrno(errno);
  return result;
}

int SetCurrentDir(const std::string& dir) {
  return chdir(dir.c_str()) == 0 ? 0 : posix::Win32ErrorFromErrno(errno);
}

}  // namespace os
