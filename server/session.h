// The session bridge: moves bytes between one client and the serial port until something ends
// the session.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event_log.h"
#include "listener.h"
#include "os/os.h"
#include "rfc2217.h"
#include "status_file.h"

// Bytes per receive from the client and per read from the port.
constexpr std::size_t kChunkSize = 64;

// Bytes to the device are held for a client only up to kToDeviceLimit (behind the pending write).
constexpr std::size_t kToDeviceLimit = 64 * 1024;
// A device that takes nothing for this long while it holds the client back is stalled: the
// client's bytes are then read on and dropped, so that its close is seen within a second. (A
// serial line without flow control always takes bytes at its rate; only a port that is stuck or
// a pseudo-terminal nobody reads stalls.)
constexpr int kSessionStallMs = 500;

struct SessionDrops {
  std::size_t bytes = 0;
  // Why: the device took nothing for kSessionStallMs while the queue was full (the client's bytes
  // were read on, so that its close could be seen), or more than kToDeviceLimit bytes waited for
  // the device when the client had gone.
  enum class Reason { kNone, kDeviceStalled, kClientGone } reason = Reason::kNone;
};

struct SessionContext {
  os::Event& exitEvent;
  os::Event& maxConnectEvent;
  os::Socket& client;
  os::SerialPort& port;
  int idleTimeout;  // milliseconds, -1 = no limit
  const std::string& clientAddress;
  const std::string& comPort;
  const LogSettings& log;
  // Out: client bytes received but not yet handed to the port when the session ended (they came
  // while a serial write was pending); the connection cycle writes them after the session, behind
  // the pending write, or drops them.
  std::vector<std::uint8_t>& unwritten;
  // Out: client bytes the session dropped, and why (the connection cycle's drop line counts them).
  SessionDrops& drops;
  // Counts the bytes moved and dropped; its WriteIfDue bounds the session's waits while bytes move.
  StatusFile& status;
  // Out: how the session ended.
  SessionEnd& end;
  // Remote port control (RFC 2217) for this session; null: the client side is raw bytes.
  rfc2217::PortControl* control = nullptr;
};

// True for a chunk that is exactly the close command "SSSP=0" (read as text up to a zero byte).
bool IsCloseCommand(const std::uint8_t* data, std::size_t size);

SessionOutcome RunSession(const SessionContext& context);

// The debug line of a finished serial write and the line of a failed one.
void LogSerialWritten(std::size_t written, const std::string& client, const std::string& comPort,
                      const LogSettings& log);
void LogSerialWriteFailure(int error, const std::string& client, const std::string& comPort,
                           const LogSettings& log);
