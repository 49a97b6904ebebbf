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

// A client chunk whose serial write is still under way when the session ends is let finish
// (while the lines are still up) before the next client can come; a stop request ends the wait,
// and so does a device that takes nothing for kWriteDrainMs.
constexpr int kWriteDrainMs = 5000;

void FinishSessionWrite(os::SerialPort& port, os::Event& exitEvent, const std::string& client,
                        const std::string& comPort, const LogSettings& log) {
  if (!port.WritePending()) return;
  os::Waitable* handles[] = {&exitEvent, port.WriteWaitable()};
  int error = 0;
  while (port.WritePending() && os::WaitAny(handles, kWriteDrainMs, &error) == 1) {
    std::size_t written = 0;
    int result = port.FinishWrite(&written);
    if (result == os::kErrIoIncomplete) continue;
    if (result == 0) {
      LogDebug(Format("%s had %d bytes written to %s", client.c_str(), static_cast<int>(written),
                      comPort.c_str()),
               log);
    } else {
      LogEvent(Format("Win32 Error #: %d error writing data to %s from %s", result,
                      comPort.c_str(), client.c_str()),
               log);
    }
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

    maxConnectEvent.Reset();
    int error = 0;
    std::unique_ptr<os::Thread> timer;
    if (cancelTimer) {
      cancelTimer->Reset();
      const int maxConnectTime = service.MaxConnectTime;
      timer = os::StartThread(
          [&, maxConnectTime] {
            MaxConnectTimer(maxConnectTime, exitEvent, *cancelTimer, maxConnectEvent);
          },
          &error);
    } else {
      error = 8;  // ERROR_NOT_ENOUGH_MEMORY: no event to end the timer with
    }
    if (!timer) LogEvent(Format("Win32 Error #: %d Could not start Max Connect Timer", error), log);

    SessionContext context{exitEvent, maxConnectEvent, *client,       port,
                           service.IdleTimeout, clientAddress, serial.COMPort, log};
    outcome = RunSession(context);

    client.reset();
    if (timer) {
      cancelTimer->Set();
      timer->Join();
    }
    // A timer that expired as the session ended for another reason must not close the next one.
    maxConnectEvent.Reset();

    FinishSessionWrite(port, exitEvent, clientAddress, serial.COMPort, log);
    LowerLines(port, service, log);
    if (outcome != SessionOutcome::SessionClosed) return;
  }
}
