// The connection cycle: one client after another for the life of the service.
#pragma once

#include <memory>

#include "event_log.h"
#include "listener.h"
#include "os/os.h"
#include "settings.h"
#include "status_file.h"
#include "tls.h"

// Runs until a stop request or a socket or system failure; returns the outcome that ended it
// (ExitRequested, SocketFailure or SystemFailure). `status` learns of every session and of the
// bytes it moves. With `tls` every client speaks TLS (WaitForClient).
SessionOutcome RunConnectionCycle(os::SerialPort& port, std::unique_ptr<os::Socket>& listener,
                                  const ServiceSettings& service, const SerialSettings& serial,
                                  const LogSettings& log, StatusFile& status,
                                  TlsConfig* tls = nullptr);

// Sets `maxConnectEvent` after `timeoutMs` unless `exitEvent` or `cancelEvent` comes first.
void MaxConnectTimer(int timeoutMs, os::Event& exitEvent, os::Event& cancelEvent,
                     os::Event& maxConnectEvent);
