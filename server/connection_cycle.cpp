#include "connection_cycle.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "listener.h"
#include "rfc2217.h"
#include "serial_port.h"
#include "server_state.h"
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

// Client bytes still on their way to the device when a session ends (the pending write and the
// chunks received behind it) are handed to the device, in one write behind the pending one, while
// it keeps taking them: the lines are still up and the next client is not accepted yet. A device
// that takes nothing for kDrainQuietMs, or a stop request (then at most kStopDrainMs more), ends
// the attempt; what is left is discarded, so that it never reaches the device later, and a log
// line says how much was dropped and why (counting what the session dropped itself).
constexpr int kDrainQuietMs = 1000;
constexpr int kStopDrainMs = 1000;

void DrainSessionWrites(os::SerialPort& port, std::vector<std::uint8_t>& unwritten,
                        const SessionDrops& sessionDrops, os::Event& exitEvent, bool stopping,
                        const std::string& client, const std::string& comPort,
                        const LogSettings& log, StatusFile& status) {
  using Clock = std::chrono::steady_clock;
  const char* who = client.c_str();
  const char* where = comPort.c_str();
  auto logWritten = [&](std::size_t written) {
    status.DeviceBytes(written);
    LogSerialWritten(written, client, comPort, log);
  };
  auto logFailure = [&](int error) { LogSerialWriteFailure(error, client, comPort, log); };

  enum class End { kDone, kDeviceStalled, kStopped, kWriteFailed } end = End::kDone;
  Clock::time_point stopDeadline = Clock::now() + std::chrono::milliseconds(kStopDrainMs);
  std::size_t next = 0;  // first byte of `unwritten` not given to the port yet
  std::size_t unsentBefore = port.UnsentBytes() + unwritten.size();
  while (port.WritePending() || next < unwritten.size()) {
    if (!port.WritePending()) {
      // What is left goes in one write, as in the session.
      const std::size_t size = std::min(kToDeviceLimit, unwritten.size() - next);
      std::size_t written = 0;
      int result = port.StartWrite(unwritten.data() + next, size, &written);
      next += size;
      if (result == 0) {
        logWritten(written);
        continue;
      }
      if (result != os::kErrIoPending) {
        logFailure(result);
        end = End::kWriteFailed;
        break;
      }
    }
    int timeout = kDrainQuietMs;
    if (stopping) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(stopDeadline -
                                                                        Clock::now());
      timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    os::Waitable* handles[] = {stopping ? nullptr : &exitEvent, port.WriteWaitable()};
    int waitError = 0;
    const int signalled = os::WaitAny(handles, timeout, &waitError);
    if (signalled == 0) {
      stopping = true;
      stopDeadline = Clock::now() + std::chrono::milliseconds(kStopDrainMs);
      continue;
    }
    if (signalled == 1) {
      std::size_t written = 0;
      int result = port.FinishWrite(&written);
      if (result == 0) logWritten(written);
      if (result != 0 && result != os::kErrIoIncomplete) {
        logFailure(result);
        end = End::kWriteFailed;
        break;
      }
      unsentBefore = port.UnsentBytes() + (unwritten.size() - next);
      continue;
    }
    if (stopping) {
      end = End::kStopped;
      break;
    }
    // No write ended for kDrainQuietMs; a driver that sends from its own queue may still have
    // taken bytes meanwhile.
    const std::size_t unsent = port.UnsentBytes() + (unwritten.size() - next);
    if (signalled == os::kWaitTimeout && unsent < unsentBefore) {
      unsentBefore = unsent;
      continue;
    }
    end = End::kDeviceStalled;
    break;
  }

  std::size_t dropped = unwritten.size() - next;
  unwritten.clear();
  if (end != End::kDone) {
    std::size_t discarded = 0;
    if (int error = port.DiscardWrite(&discarded); error != 0) {
      LogEvent(Format("Win32 Error #: %d Could not cancel the write to %s", error, where), log);
    }
    dropped += discarded;
  }
  status.DroppedBytes(dropped);  // the session counted its own drops
  if (dropped == 0 && sessionDrops.bytes == 0) return;
  const int count = static_cast<int>(dropped + sessionDrops.bytes);
  if (dropped == 0 && sessionDrops.reason == SessionDrops::Reason::kClientGone) {
    LogEvent(Format("Dropped %d bytes from %s: more than %d bytes waited for %s when the client "
                    "left",
                    count, who, static_cast<int>(kToDeviceLimit), where),
             log);
    return;
  }
  // Only the session dropped: the device stalled while the client was there.
  const int quietMs = dropped == 0 ? kSessionStallMs : kDrainQuietMs;
  if (dropped == 0) end = End::kDeviceStalled;
  switch (end) {
    case End::kDeviceStalled:
      LogEvent(Format("Dropped %d bytes from %s: %s took nothing for %d ms", count, who, where,
                      quietMs),
               log);
      break;
    case End::kStopped:
      LogEvent(Format("Dropped %d bytes from %s: %s did not take them before the service stopped",
                      count, who, where),
               log);
      break;
    default:
      LogEvent(Format("Dropped %d bytes from %s after the write to %s failed", count, who, where),
               log);
      break;
  }
}

}  // namespace

SessionOutcome RunConnectionCycle(os::SerialPort& port, std::unique_ptr<os::Socket>& listener,
                                  const ServiceSettings& service, const SerialSettings& serial,
                                  const LogSettings& log, StatusFile& status, TlsConfig* tls) {
  os::Event& exitEvent = *Globals.ExitEvent;
  os::Event& maxConnectEvent = *Globals.MaxConnectEvent;
  // Each session's timer is ended through its own cancel event, so a stop request (ExitEvent)
  // is never reset by the cycle and a late timer cannot touch a later session.
  std::unique_ptr<os::Event> cancelTimer = os::CreateEvent(true);
  RefusalLog refusals;
  // What a remote-control client changes lasts for its session only.
  const os::LineSettings configured = ConfiguredLineSettings(serial);

  for (;;) {
    std::unique_ptr<os::Socket> client;
    std::string clientAddress;
    SessionOutcome outcome = WaitForClient(exitEvent, listener, client, clientAddress,
                                           serial.COMPort, log, service, status, refusals, tls);
    if (outcome != SessionOutcome::Accepted) return outcome;

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

    std::vector<std::uint8_t> unwritten;
    SessionDrops drops;
    SessionEnd end = SessionEnd::kClientClosed;
    std::optional<rfc2217::PortControl> control;
    if (service.Protocol == SessionProtocol::kRfc2217) {
      control.emplace(port, configured, clientAddress, serial.COMPort, log);
    }
    SessionContext context{exitEvent, maxConnectEvent, *client,   port,  service.IdleTimeout,
                           clientAddress, serial.COMPort, log, unwritten, drops, status, end,
                           control ? &*control : nullptr};
    outcome = RunSession(context);
    // The bytes still queued for the device may take a second more.
    if (outcome == SessionOutcome::ExitRequested) status.Stopping();

    client.reset();
    if (timer) {
      cancelTimer->Set();
      timer->Join();
    }
    // A timer that expired as the session ended for another reason must not close the next one.
    maxConnectEvent.Reset();

    DrainSessionWrites(port, unwritten, drops, exitEvent, outcome != SessionOutcome::SessionClosed,
                       clientAddress, serial.COMPort, log, status);
    // The bytes the client sent went out with its settings; the next client finds the instance's.
    if (control) control->Restore();
    LowerLines(port, service, log);
    status.SessionEnded(end);
    if (outcome != SessionOutcome::SessionClosed) return outcome;
  }
}
