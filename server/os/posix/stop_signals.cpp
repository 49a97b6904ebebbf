// Part of the vmds program only (not of the library the tests link): the stop signals are blocked
// by the first code that runs in the process.
//
// A stop (SIGTERM, SIGINT) can come at any moment after the process was started: also while the
// C and C++ runtimes and the program's libraries are still being initialised, long before the
// service host takes the signals over in RunServiceDispatcher. Left unblocked, such a signal would
// end the process at once, without its shutdown line and with a death by signal. Blocked here it
// stays pending until the service host reads it from its signalfd, and the run ends like any
// other stopped run. The dynamic loader runs the program's .preinit_array before every other
// initialiser of the process (those of preloaded and linked libraries included). Only a signal
// that comes before the program's first instruction is beyond its reach.
#include <signal.h>

namespace {

void BlockStopSignals(int, char**, char**) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Only one thread exists yet; every thread started later inherits the mask.
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
}

[[gnu::used, gnu::section(".preinit_array")]] void (*const kBlockStopSignals)(int, char**, char**) =
    BlockStopSignals;

}  // namespace
