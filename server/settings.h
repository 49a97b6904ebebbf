// The service's configuration records and the reader of its startup file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access.h"
#include "event_log.h"

// What the client side of a session speaks: bytes unchanged, or Telnet with remote port control
// (RFC 2217).
enum class SessionProtocol { kRaw, kRfc2217 };

struct ServiceSettings {
  std::int32_t TCPPort = 6100;
  bool DropDTRonSocketClose = false;
  bool DropRTSonSocketClose = false;
  std::int32_t MaxConnectTime = -1;  // milliseconds, -1 = no limit
  std::int32_t IdleTimeout = -1;     // milliseconds, -1 = no limit
  // Names the instance in the status file only ("Master" for the master).
  std::string InstanceName;
  // Clients that may connect; empty: anyone.
  std::vector<ClientRange> AllowedClients;
  // The local address the listener binds to, host byte order; 0: all local addresses.
  std::uint32_t ListenAddress = 0;
  // Set when AllowedClients or ListenAddress does not read: the log line that names the bad
  // entry. The service then does not start (a bad allow-list must never mean "anyone").
  std::string AccessError;
  SessionProtocol Protocol = SessionProtocol::kRaw;
  // Set when Protocol does not read: the log line that names the value. The service then does
  // not start (a client would otherwise get another protocol than the one it was set up for).
  std::string ProtocolError;
  // TLS on the client side: the PEM files of the server's certificate (with its chain) and key,
  // and of the CAs a client's certificate must chain to (empty: none is asked for), as the
  // startup file writes them (tls.h resolves them). Without a certificate the client side is
  // plain TCP.
  std::string TLSCertificate;
  std::string TLSKey;
  std::string TLSClientCA;
  // Set when a TLS line does not read (cut at the line limit, or holding a NUL): the log line.
  // The service then does not start (it must never fall back to plain text).
  std::string TLSError;
};

struct SerialSettings {
  std::string COMPort = "Com1";
  std::int32_t COMPortBitRate = 1200;
  std::int32_t COMPortDataBits = 8;
  std::string COMPortParity = "NOPARITY";
  std::string COMPortStopBits = "ONESTOPBIT";
};

// Field limits of the records.
constexpr std::size_t kMaxTokenLength = 19;
constexpr std::size_t kMaxLogFilenameLength = 254;
// Lines of the startup file are taken at most this many characters at a time; the rest of a
// longer line is handled as a line of its own.
constexpr std::size_t kMaxLinePiece = 157;

// Value parsers of the startup file. Each returns nothing for a bad value.
// number: a whole decimal floating-point number (exponent e/E/d/D), truncated toward zero;
// an empty value is 0.
std::optional<std::int32_t> ParseNumberValue(const std::string& value);
// seconds: a number of seconds as milliseconds, 0 meaning no limit (-1).
std::optional<std::int32_t> ParseSecondsValue(const std::string& value);
// yes/no in any letter case.
std::optional<bool> ParseYesNoValue(const std::string& value);

// Splits file content into the lines the reader sees: CR LF counts as one line end, and a line
// longer than kMaxLinePiece is cut into pieces, each handed on with its line feed if it has one.
void SplitStartupLines(const std::string& content, void (*fn)(const std::string&, void*),
                       void* context);

// Applies one startup-file line to the records; returns false for a recognised key with a bad
// value.
bool ApplyStartupLine(const std::string& line, ServiceSettings& service, SerialSettings& serial,
                      LogSettings& log);

// Reads the startup file at `path` into the records (which hold their defaults beforehand) and
// sets DebugEnabled. True when the file was read and every recognised key had a valid value.
bool ReadServiceSettings(const std::string& path, ServiceSettings& service,
                         SerialSettings& serial, LogSettings& log);
