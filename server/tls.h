// TLS on the client side of a session: the server's credentials and policy, loaded once at
// start-up, and the handshake that turns an accepted socket into one whose Receive and Send carry
// plaintext over encrypted records. The session runs over that socket as over a raw one.
//
// Only this header is seen by the rest of the program; tls.cpp holds the library (mbed TLS 2.28),
// so another library means another tls.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "event_log.h"
#include "os/os.h"
#include "settings.h"

// A handshake that has not finished by then is given up.
constexpr int kTlsHandshakeMs = 10000;
// Device data leaves in records of at most this much plaintext (one per chunk, as raw data
// leaves in one send per chunk).
constexpr std::size_t kTlsRecordPlaintext = 64;

// The files of the TLS keys, resolved: a relative path is relative to the instance directory.
struct TlsFiles {
  std::string certificate;
  std::string key;
  std::string clientCA;  // empty: no client certificate is asked for
  bool operator==(const TlsFiles&) const = default;
};

// A path as the startup file writes it, resolved against `instanceDirectory` (which ends with its
// separator, or is empty: the current directory) unless it is absolute ("/x", "\x", "C:\x").
std::string ResolveTlsPath(const std::string& instanceDirectory, const std::string& path);

// What the settings ask for: nothing (plain TCP, TLSCertificate absent or empty) or the files.
// When the keys do not go together (TLSKey or TLSClientCA without TLSCertificate, TLSCertificate
// without TLSKey) or a TLS line did not read, `*error` is set to the log line.
std::optional<TlsFiles> TlsFilesOf(const ServiceSettings& service,
                                   const std::string& instanceDirectory, std::string* error);

struct TlsHandshakeResult {
  enum class Outcome { kDone, kFailed, kTimedOut, kStopped } outcome = Outcome::kFailed;
  // kFailed: why, in the library's words (never key material).
  std::string reason;
  // kDone: the protocol version and cipher suite agreed, e.g. "TLSv1.2, TLS-ECDHE-...".
  std::string negotiated;
};

// The server's certificate, key and policy: TLS 1.2 at least, ECDHE with AES-GCM or
// ChaCha20-Poly1305 only, no renegotiation, no compression; a client certificate that chains to
// the client CAs is required when they are set.
class TlsConfig {
 public:
  virtual ~TlsConfig() = default;
  // Runs the server side of a handshake over `client` (non-blocking, just accepted), waiting on
  // its network events and on `exitEvent`, for at most `timeoutMs`. When it is done, `client` is
  // replaced by a socket that carries plaintext over the records and sends a close alert when
  // it is destroyed (best effort, never blocking); its Receive reports the peer's close alert, or
  // a close without one, as the end of the stream. Otherwise `client` is left for the caller to
  // close. `clientAddress` and `log` serve the log line of a TLS failure during the session.
  virtual TlsHandshakeResult Handshake(std::unique_ptr<os::Socket>& client, os::Event& exitEvent,
                                       int timeoutMs, const std::string& clientAddress,
                                       const LogSettings& log) = 0;
};

// Reads and checks the files (certificate chain, key, key against certificate, client CAs) and
// sets up the policy. On failure returns null with `*error` set to the log line, which names the
// key, the file and the reason.
std::unique_ptr<TlsConfig> LoadTlsConfig(const TlsFiles& files, std::string* error);
