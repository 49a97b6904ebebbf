#include "listener.h"

#include "server_state.h"

bool OpenListener(std::unique_ptr<os::Socket>& listener, const ServiceSettings& service,
                  const LogSettings& log) {
  auto fail = [&](const std::string& message) {
    ReportServiceStatus(os::kServiceStopPending, 0, 0, 500);
    LogEvent(message, log);
  };
  listener.reset();
  if (!Globals.WinsockStarted) {
    std::uint16_t granted = 0;
    if (os::NetStartup(0x0002, &granted) != 0) {
      fail("Winsock cannot be started.  Please check network settings.");
      os::NetCleanup();
      return false;
    }
    if (granted != 0x0002) {
      fail("WinSock 2.0 is not available");
      os::NetCleanup();
      return false;
    }
    Globals.WinsockStarted = true;
  }
  int error = 0;
  std::unique_ptr<os::Socket> socket = os::CreateTcpSocket(&error);
  if (!socket) {
    fail(Format("Winsock Error #: %d Local socket could not be created", error));
    os::NetCleanup();
    return false;
  }
  if ((error = socket->SetNonBlocking()) != 0) {
    fail(Format("Winsock Error #: %d Local socket could not be configured", error));
    socket.reset();
    os::NetCleanup();
    return false;
  }
  if ((error = socket->Bind(static_cast<std::uint16_t>(service.TCPPort & 0xFFFF),
                              service.ListenAddress)) != 0) {
    if (error == os::kWsaAddrInUse) {
      fail(Format("TCP Port number, %d, already used", service.TCPPort));
    } else {
      fail(Format("Winsock Error #: %d Error binding socket", error));
    }
    socket.reset();
    os::NetCleanup();
    return false;
  }
  if ((error = socket->Listen(0)) != 0) {
    if (error == os::kWsaAddrInUse) {
      fail("Port number aleady used");
    } else {
      fail(Format("Winsock Error #: %d Error binding socket", error));
    }
    return false;
  }
  LogDebug("TCP socket initialized", log);
  listener = std::move(socket);
  Globals.ListenerClosed = false;
  return true;
}

void CloseListener(std::unique_ptr<os::Socket>& listener) {
  if (!Globals.ListenerClosed) listener.reset();
  Globals.ListenerClosed = true;
}

SessionOutcome WaitForClient(os::Event& exitEvent, std::unique_ptr<os::Socket>& listener,
                             std::unique_ptr<os::Socket>& client, std::string& clientAddress,
                             const std::string& comPort, const LogSettings& log,
                             const ServiceSettings& service, StatusFile& status,
                             RefusalLog& refusals, TlsConfig* tls) {
  bool listening = false;
  bool refusedOne = false;
  for (;;) {
    if (Globals.ListenerClosed) OpenListener(listener, service, log);
    int error = listener ? listener->SelectEvents(os::kNetAccept) : os::kErrInvalidHandle;
    if (!listener || error != 0) {
      // A listener that could not be made again is not usable: the cycle ends.
      if (!listener) error = 10038;  // WSAENOTSOCK
      LogEvent(Format("Error configuring WSAEvent. WinSock error: %d", error), log);
      return SessionOutcome::SocketFailure;
    }
    if (!listening) {
      listening = true;
      status.Listening();
    }
    // Only once for a run of refused clients, which may be thousands.
    if (!refusedOne) LogDebug("Waiting for connection", log);
    refusedOne = false;
    os::Waitable* handles[] = {&exitEvent, listener->EventWaitable()};
    int waitError = 0;
    int signalled = os::WaitAny(handles, os::kInfinite, &waitError);
    if (signalled == 0) {
      LogDebug("Exit Signalled", log);
      return SessionOutcome::ExitRequested;
    }
    if (signalled != 1) {
      LogEvent(Format("Win32 Error #: %d Error waiting for connection", waitError), log);
      return SessionOutcome::SystemFailure;
    }
    listener->TakeEvents(&error);
    std::string address;
    std::unique_ptr<os::Socket> accepted = listener->Accept(&address, &error);
    if (!accepted) {
      // A client that gave up between knocking and being accepted is no failure of the
      // listener: keep waiting for the next one.
      if (error == os::kWsaWouldBlock || error == os::kWsaConnReset ||
          error == os::kWsaConnAborted) {
        continue;
      }
      LogEvent(Format("Winsock error #: %d Error creating connection to client", error), log);
      return SessionOutcome::SocketFailure;
    }
    if (!IsAllowedClient(service.AllowedClients, address)) {
      // Closed before anything of a session happens; the listener stays open for the next one.
      accepted.reset();
      refusals.Refused(address, log);
      refusedOne = true;
      continue;
    }
    // Device replies go out in chunks of at most 64 bytes: each one leaves at once, instead of
    // waiting for the client's (delayed) acknowledgement of the one before. A failure only costs
    // that delay.
    accepted->SetNoDelay();
    CloseListener(listener);
    const std::string shortAddress = address.substr(0, 15);
    if (tls != nullptr) {
      // No session yet: the lines, the port, the timer and the status file are untouched until
      // the handshake is done. A client that fails it is closed, and the listener opens again.
      TlsHandshakeResult handshake =
          tls->Handshake(accepted, exitEvent, kTlsHandshakeMs, shortAddress, log);
      if (handshake.outcome == TlsHandshakeResult::Outcome::kStopped) {
        LogDebug("Exit Signalled", log);
        return SessionOutcome::ExitRequested;
      }
      if (handshake.outcome != TlsHandshakeResult::Outcome::kDone) {
        accepted.reset();
        if (handshake.outcome == TlsHandshakeResult::Outcome::kTimedOut) {
          LogEvent(Format("%s TLS handshake timed out", shortAddress.c_str()), log);
        } else {
          LogEvent(Format("%s TLS handshake failed: %s", shortAddress.c_str(),
                          handshake.reason.c_str()),
                   log);
        }
        continue;
      }
      if (DebugEnabled) {
        LogDebug(Format("%s TLS session: %s", shortAddress.c_str(),
                        handshake.negotiated.c_str()),
                 log);
      }
    }
    clientAddress = shortAddress;
    client = std::move(accepted);
    LogEvent(Format("%s connected to %s", clientAddress.c_str(), comPort.c_str()), log);
    status.Connected(clientAddress);
    return SessionOutcome::Accepted;
  }
}
