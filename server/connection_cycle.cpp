#include "connection_cycle.h"

#include "listener.h"
#include "serial_port.h"
#include "service.h"
#include "session.h"

void MaxConnectTimer(int timeoutMs, os::Event& exitEvent, os::Event& cancelEvent,
                     os::Event& maxConnectEvent) {
  os::Waitable* handles[] = {&exitEvent, &cancelEvent};
  int error = 0;
  if (os::WaitAny(handles, timeoutMs, &error) == os::kWaitTimeout) maxConnectEvent.Set();
}

namespace {

void RaiseLines(os::SerialPort& port, const ServiceSettings& service, const LogSettings& log) {
  if (service.DropDTRonSocketClose) {
    if (int e = port.SetModemLine(os::ModemLine::kDtr, true); e != 0)
      LogEvent(Format("Win32 Error #: %d Could not set DTR high", e), log);
  }
  if (service.DropRTSonSocketClose) {
    if (int e = port.SetModemLine(os::ModemLine::kRts, true); e != 0)
      LogEvent(Format("Win32 Error #: %d Could not set RTS high", e), log);
  }
}

void LowerLines(os::SerialPort& port, const ServiceSettings& service, const LogSettings& log) {
  if (service.DropDTRonSocketClose) {
    if (int e = port.SetModemLine(os::ModemLine::kDtr, false); e != 0)
      LogEvent(Format("Win32 Error #: %d Could not release DTR high", e), log);
  }
  if (service.DropRTSonSocketClose) {
    if (int e = port.SetModemLine(os::ModemLine::kRts, false); e != 0)
      LogEvent(Format("Win32 Error #: %d Could not release RTS", e), log);
  }
}

}  // namespace

void RunConnectionCycle(os::SerialPort& port, std::unique_ptr<os::Socket>& listener,
                        const ServiceSettings& service, const SerialSettings& serial,
                        const LogSettings& log) {
  os::Event& exitEvent = *Globals.ExitEvent;
  os::Event& maxConnectEvent = *Globals.MaxConnectEvent;
  // Each session's timer is ended through its own cancel event, so a stop request (ExitEvent)
  // is never reset by the cycle and a late timer cannot touch a later session.
  std::unique_ptr<os::Event> cancelTimer = os::CreateEvent(true);

  for (;;) {
    std::unique_ptr<os::Socket> client;
    std::string clientAddress;
    SessionOutcome outcome = WaitForClient(exitEvent, listener, client, clientAddress,
                                           serial.COMPort, log, service);
    if (outcome != SessionOutcome::Accepted) return;

    RaiseLines(port, service, log);
    PurgeSerialInput(port);

    cancelTimer->Reset();
    maxConnectEvent.Reset();
    int error = 0;
    const int maxConnectTime = service.MaxConnectTime;
    std::unique_ptr<os::Thread> timer = os::StartThread(
        [&, maxConnectTime] {
          MaxConnectTimer(maxConnectTime, exitEvent, *cancelTimer, maxConnectEvent);
        },
        &error);
    if (!timer) LogEvent(Format("Win32 Error #: %d Could not start Max Connect Timer", error), log);

    SessionContext context{exitEvent, maxConnectEvent, *client,       port,
                           service.IdleTimeout, clientAddress, serial.COMPort, log};
    outcome = RunSession(context);

    client.reset();
    cancelTimer->Set();
    if (timer) timer->Join();
    // A timer that expired as the session ended for another reason must not close the next one.
    maxConnectEvent.Reset();

    LowerLines(port, service, log);
    if (outcome != SessionOutcome::SessionClosed) return;
  }
}
