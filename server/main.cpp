// vmds: bridges one serial port and one TCP port as a service (a foreground daemon on Linux).
#include "os/os.h"
#include "service.h"

int main() {
  // Started outside the service control manager, the dispatcher returns at once with 0 and
  // nothing is logged.
  return os::RunServiceDispatcher(ServiceMain);
}
