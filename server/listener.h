// The TCP listener: one client at a time. The listening socket is closed while a client is
// connected, so a second client is refused, and made anew for the next wait.
#pragma once

#include <memory>
#include <string>

#include "access.h"
#include "event_log.h"
#include "os/os.h"
#include "settings.h"
#include "status_file.h"
#include "tls.h"

enum class SessionOutcome { Accepted, ExitRequested, SocketFailure, SessionClosed, SystemFailure };

bool OpenListener(std::unique_ptr<os::Socket>& listener, const ServiceSettings& service,
                  const LogSettings& log);
void CloseListener(std::unique_ptr<os::Socket>& listener);

// `status` says "listening" once the listener is open and the wait for a client begins, and
// "connected" for the client accepted. A client outside service.AllowedClients is closed at once
// and logged through `refusals`; the wait goes on. With `tls` the client must complete a TLS
// handshake (the listener closed meanwhile, as during a session) before it is accepted; a
// failed or timed-out handshake is logged and closed like a refused client, and the wait goes on
// with the listener made anew.
SessionOutcome WaitForClient(os::Event& exitEvent, std::unique_ptr<os::Socket>& listener,
                             std::unique_ptr<os::Socket>& client, std::string& clientAddress,
                             const std::string& comPort, const LogSettings& log,
                             const ServiceSettings& service, StatusFile& status,
                             RefusalLog& refusals, TlsConfig* tls = nullptr);
