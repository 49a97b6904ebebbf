/* Preloaded into vmds by the integration tests: sends the process a stop signal (SIGTERM) while
 * the process is still being initialised, before main() and before the libraries that follow this
 * one are set up: a stop that comes in the first moments of the daemon, at a point that is the
 * same in every run. */
#include <signal.h>
#include <unistd.h>

__attribute__((constructor)) static void StopAtLoad(void) { kill(getpid(), SIGTERM); }
