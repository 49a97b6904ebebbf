#include "tls.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ciphersuites.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <vector>

std::string ResolveTlsPath(const std::string& instanceDirectory, const std::string& path) {
  const bool absolute = (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
                        (path.size() >= 2 && path[1] == ':');
  return absolute ? path : instanceDirectory + path;
}

std::optional<TlsFiles> TlsFilesOf(const ServiceSettings& service,
                                   const std::string& instanceDirectory, std::string* error) {
  error->clear();
  if (!service.TLSError.empty()) {
    *error = service.TLSError;
    return std::nullopt;
  }
  if (service.TLSCertificate.empty()) {
    // No TLS asked for. A key or client CAs alone mean that it was meant: never plain text then.
    if (!service.TLSKey.empty()) *error = "TLSKey is set but TLSCertificate is not";
    if (!service.TLSClientCA.empty()) *error = "TLSClientCA is set but TLSCertificate is not";
    return std::nullopt;
  }
  if (service.TLSKey.empty()) {
    *error = "TLSCertificate is set but TLSKey is not";
    return std::nullopt;
  }
  TlsFiles files;
  files.certificate = ResolveTlsPath(instanceDirectory, service.TLSCertificate);
  files.key = ResolveTlsPath(instanceDirectory, service.TLSKey);
  if (!service.TLSClientCA.empty()) {
    files.clientCA = ResolveTlsPath(instanceDirectory, service.TLSClientCA);
  }
  return files;
}

namespace {

std::string ErrorText(int code) {
  char text[160] = {};
  mbedtls_strerror(code, text, sizeof text);
  return text;
}

// The whole file, or an empty optional with `*why` set. PEM parsers want the text with a NUL
// after it, so one is appended.
constexpr long kMaxFileSize = 4 * 1024 * 1024;
std::optional<std::vector<unsigned char>> ReadWholeFile(const std::string& path,
                                                        std::string* why) {
  errno = 0;
  std::FILE* file = std::fopen(os::NativePath(path).c_str(), "rb");
  if (file == nullptr) {
    const int error = errno;
    if (error == ENOENT) {
      *why = "the file does not exist";
    } else if (error == EACCES) {
      *why = "access to the file is denied";
    } else {
      *why = "the file cannot be opened (errno " + std::to_string(error) + ")";
    }
    return std::nullopt;
  }
  std::vector<unsigned char> content;
  unsigned char block[4096];
  std::size_t got;
  bool tooLarge = false;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
    content.insert(content.end(), block, block + got);
    if (content.size() > static_cast<std::size_t>(kMaxFileSize)) {
      tooLarge = true;
      break;
    }
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (tooLarge || failed) {
    mbedtls_platform_zeroize(content.data(), content.size());
    *why = tooLarge ? "the file is larger than 4 MB" : "the file cannot be read";
    return std::nullopt;
  }
  content.push_back(0);
  return content;
}

// The suites allowed: ECDHE key exchange (ECDSA or RSA certificates) with AEAD ciphers only, in
// the server's order of preference; those the library was built without are left out.
constexpr int kWantedSuites[] = {
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
};

// The socket of a session after its handshake: plaintext over the records of `ssl_`, which
// reads and writes the accepted socket through the callbacks below.
class TlsSocket final : public os::Socket {
 public:
  TlsSocket(std::unique_ptr<os::Socket> inner, const std::string& clientAddress,
            const LogSettings& log)
      : inner_(std::move(inner)), clientAddress_(clientAddress), log_(log) {
    mbedtls_ssl_init(&ssl_);
  }
  ~TlsSocket() override {
    // Tells the client that nothing more comes; one try, on the non-blocking socket.
    if (established_ && !failed_) mbedtls_ssl_close_notify(&ssl_);
    mbedtls_ssl_free(&ssl_);
  }
  TlsSocket(const TlsSocket&) = delete;
  TlsSocket& operator=(const TlsSocket&) = delete;

  int Setup(const mbedtls_ssl_config& config) {
    if (int ret = mbedtls_ssl_setup(&ssl_, &config); ret != 0) return ret;
    mbedtls_ssl_set_bio(&ssl_, this, &TlsSocket::BioSend, &TlsSocket::BioReceive, nullptr);
    return 0;
  }
  mbedtls_ssl_context& Context() { return ssl_; }
  os::Socket& Inner() { return *inner_; }
  std::unique_ptr<os::Socket> TakeInner() { return std::move(inner_); }
  void Established() { established_ = true; }

  int SetNonBlocking() override { return inner_->SetNonBlocking(); }
  int SetNoDelay() override { return inner_->SetNoDelay(); }
  int Bind(std::uint16_t, std::uint32_t) override { return os::kErrInvalidParameter; }
  int Listen(int) override { return os::kErrInvalidParameter; }
  std::unique_ptr<os::Socket> Accept(std::string*, int* error) override {
    *error = os::kErrInvalidParameter;
    return nullptr;
  }
  int SelectEvents(unsigned mask) override { return inner_->SelectEvents(mask); }
  os::Waitable* EventWaitable() override { return inner_->EventWaitable(); }
  unsigned TakeEvents(int* error) override { return inner_->TakeEvents(error); }
  std::uint16_t LocalPort() const override { return inner_->LocalPort(); }

  int BytesWaiting(std::size_t* count) override {
    int error = inner_->BytesWaiting(count);
    *count += mbedtls_ssl_get_bytes_avail(&ssl_);
    return error;
  }

  bool HasBufferedInput() const override {
    return mbedtls_ssl_get_bytes_avail(&ssl_) > 0 || mbedtls_ssl_check_pending(&ssl_) != 0;
  }
  bool ReceivesInRecords() const override { return true; }

  int Receive(std::uint8_t* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    if (peerClosed_) return 0;
    const int ret = mbedtls_ssl_read(&ssl_, buffer, std::min<std::size_t>(size, INT_MAX));
    if (ret > 0) {
      *got = static_cast<std::size_t>(ret);
      return 0;
    }
    // The client's close alert ends the stream, and so does a close without one: what came
    // before it has been received.
    if (ret == 0 || ret == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || ret == MBEDTLS_ERR_SSL_CONN_EOF) {
      peerClosed_ = true;
      return 0;
    }
    return Failure(ret);
  }

  int Send(const std::uint8_t* data, std::size_t size, std::size_t* sent) override {
    // One record per kTlsRecordPlaintext bytes. A record the socket did not take whole stays
    // with the library, which must be called again with the same bytes: until it has gone, the
    // caller keeps them (they are not reported sent) and offers them again first.
    *sent = 0;
    std::size_t done = 0;
    while (done < size) {
      std::size_t length = std::min(kTlsRecordPlaintext, size - done);
      if (inFlight_ != 0) length = std::min(inFlight_, size - done);
      const int ret = mbedtls_ssl_write(&ssl_, data + done, length);
      if (ret == MBEDTLS_ERR_SSL_WANT_WRITE || ret == MBEDTLS_ERR_SSL_WANT_READ) {
        inFlight_ = length;
        break;
      }
      if (ret < 0) {
        inFlight_ = 0;
        const int error = Failure(ret);
        if (done == 0) return error;
        break;  // the bytes taken count; the error shows again at the next send
      }
      inFlight_ = 0;
      done += static_cast<std::size_t>(ret);
    }
    *sent = done;
    return done == 0 && size != 0 ? os::kWsaWouldBlock : 0;
  }

  int SocketError() const { return socketError_; }

 private:
  static int BioSend(void* context, const unsigned char* data, std::size_t size) {
    auto* self = static_cast<TlsSocket*>(context);
    std::size_t sent = 0;
    const int error = self->inner_->Send(data, std::min<std::size_t>(size, INT_MAX), &sent);
    if (error == os::kWsaWouldBlock || (error == 0 && sent == 0)) {
      return MBEDTLS_ERR_SSL_WANT_WRITE;
    }
    if (error != 0) {
      self->socketError_ = error;
      return MBEDTLS_ERR_NET_SEND_FAILED;
    }
    return static_cast<int>(sent);
  }
  static int BioReceive(void* context, unsigned char* buffer, std::size_t size) {
    auto* self = static_cast<TlsSocket*>(context);
    std::size_t got = 0;
    const int error = self->inner_->Receive(buffer, std::min<std::size_t>(size, INT_MAX), &got);
    if (error == os::kWsaWouldBlock) return MBEDTLS_ERR_SSL_WANT_READ;
    if (error != 0) {
      self->socketError_ = error;
      return MBEDTLS_ERR_NET_RECV_FAILED;
    }
    return static_cast<int>(got);  // 0: the end of the stream
  }

  // What a failed read or write means for the session: the socket's own error where the socket
  // failed (a reset, say), else the link is unusable: logged, and reported as an aborted
  // connection, which ends this session only.
  int Failure(int ret) {
    if (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE) {
      return os::kWsaWouldBlock;
    }
    if ((ret == MBEDTLS_ERR_NET_SEND_FAILED || ret == MBEDTLS_ERR_NET_RECV_FAILED) &&
        socketError_ != 0) {
      return socketError_;
    }
    if (!failed_) {
      LogEvent(Format("%s TLS error: %s", clientAddress_.c_str(), ErrorText(ret).c_str()), log_);
    }
    failed_ = true;
    return os::kWsaConnAborted;
  }

  std::unique_ptr<os::Socket> inner_;
  const std::string clientAddress_;
  const LogSettings& log_;
  mbedtls_ssl_context ssl_;
  bool established_ = false;
  bool failed_ = false;
  bool peerClosed_ = false;
  int socketError_ = 0;
  std::size_t inFlight_ = 0;  // plaintext bytes of the record the socket has not taken whole
};

class MbedTlsConfig final : public TlsConfig {
 public:
  MbedTlsConfig() {
    mbedtls_x509_crt_init(&certificate_);
    mbedtls_x509_crt_init(&clientCA_);
    mbedtls_pk_init(&key_);
    mbedtls_entropy_init(&entropy_);
    mbedtls_ctr_drbg_init(&random_);
    mbedtls_ssl_config_init(&config_);
  }
  ~MbedTlsConfig() override {
    mbedtls_ssl_config_free(&config_);
    mbedtls_ctr_drbg_free(&random_);
    mbedtls_entropy_free(&entropy_);
    mbedtls_pk_free(&key_);
    mbedtls_x509_crt_free(&clientCA_);
    mbedtls_x509_crt_free(&certificate_);
  }
  MbedTlsConfig(const MbedTlsConfig&) = delete;
  MbedTlsConfig& operator=(const MbedTlsConfig&) = delete;

  bool Load(const TlsFiles& files, std::string* error);
  TlsHandshakeResult Handshake(std::unique_ptr<os::Socket>& client, os::Event& exitEvent,
                               int timeoutMs, const std::string& clientAddress,
                               const LogSettings& log) override;

 private:
  bool LoadCertificates(const char* key, const std::string& path, mbedtls_x509_crt* chain,
                        std::string* error);

  mbedtls_x509_crt certificate_;
  mbedtls_x509_crt clientCA_;
  mbedtls_pk_context key_;
  mbedtls_entropy_context entropy_;
  mbedtls_ctr_drbg_context random_;
  mbedtls_ssl_config config_;
  std::vector<int> suites_;  // zero-terminated; the configuration points at it
};

bool MbedTlsConfig::LoadCertificates(const char* key, const std::string& path,
                                     mbedtls_x509_crt* chain, std::string* error) {
  std::string why;
  auto content = ReadWholeFile(path, &why);
  if (!content) {
    *error = Format("%s file \"%s\" cannot be used: %s", key, path.c_str(), why.c_str());
    return false;
  }
  const int ret = mbedtls_x509_crt_parse(chain, content->data(), content->size());
  if (ret < 0) {
    *error = Format("%s file \"%s\" holds no valid certificate: %s", key, path.c_str(),
                    ErrorText(ret).c_str());
    return false;
  }
  if (ret > 0) {
    // A chain or bundle that reads only in part would be another chain or bundle.
    *error = Format("%s file \"%s\" holds %d certificates that cannot be read", key, path.c_str(),
                    ret);
    return false;
  }
  return true;
}

bool MbedTlsConfig::Load(const TlsFiles& files, std::string* error) {
  if (!LoadCertificates("TLSCertificate", files.certificate, &certificate_, error)) return false;

  std::string why;
  auto content = ReadWholeFile(files.key, &why);
  if (!content) {
    *error = Format("TLSKey file \"%s\" cannot be used: %s", files.key.c_str(), why.c_str());
    return false;
  }
  int ret = mbedtls_pk_parse_key(&key_, content->data(), content->size(), nullptr, 0);
  mbedtls_platform_zeroize(content->data(), content->size());
  if (ret != 0) {
    *error = Format("TLSKey file \"%s\" holds no valid private key: %s", files.key.c_str(),
                    ErrorText(ret).c_str());
    return false;
  }
  if ((ret = mbedtls_pk_check_pair(&certificate_.pk, &key_)) != 0) {
    // The library's reason (a bad input parameter, a type mismatch) would say no more.
    *error = Format("TLSKey file \"%s\" does not match the certificate in \"%s\"",
                    files.key.c_str(), files.certificate.c_str());
    return false;
  }
  if (!files.clientCA.empty() &&
      !LoadCertificates("TLSClientCA", files.clientCA, &clientCA_, error)) {
    return false;
  }

  static constexpr unsigned char kPersonalisation[] = "vmds tls";
  if ((ret = mbedtls_ctr_drbg_seed(&random_, mbedtls_entropy_func, &entropy_, kPersonalisation,
                                   sizeof kPersonalisation - 1)) != 0) {
    *error = Format("TLS random generator cannot be seeded: %s", ErrorText(ret).c_str());
    return false;
  }
  if ((ret = mbedtls_ssl_config_defaults(&config_, MBEDTLS_SSL_IS_SERVER,
                                         MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT)) != 0) {
    *error = Format("TLS settings cannot be made: %s", ErrorText(ret).c_str());
    return false;
  }
  mbedtls_ssl_conf_rng(&config_, mbedtls_ctr_drbg_random, &random_);
  mbedtls_ssl_conf_min_version(&config_, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
  mbedtls_ssl_conf_max_version(&config_, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
  for (int suite : kWantedSuites) {
    if (mbedtls_ssl_ciphersuite_from_id(suite) != nullptr) suites_.push_back(suite);
  }
  if (suites_.empty()) {
    *error = "TLS cannot be used: the TLS library has none of the allowed cipher suites";
    return false;
  }
  suites_.push_back(0);
  mbedtls_ssl_conf_ciphersuites(&config_, suites_.data());
#if defined(MBEDTLS_SSL_RENEGOTIATION)
  mbedtls_ssl_conf_renegotiation(&config_, MBEDTLS_SSL_RENEGOTIATION_DISABLED);
#endif
  // Compression is never agreed: the library is built without it (checked below).
  if ((ret = mbedtls_ssl_conf_own_cert(&config_, &certificate_, &key_)) != 0) {
    *error = Format("TLSCertificate file \"%s\" cannot be used: %s", files.certificate.c_str(),
                    ErrorText(ret).c_str());
    return false;
  }
  if (files.clientCA.empty()) {
    mbedtls_ssl_conf_authmode(&config_, MBEDTLS_SSL_VERIFY_NONE);
  } else {
    mbedtls_ssl_conf_ca_chain(&config_, &clientCA_, nullptr);
    mbedtls_ssl_conf_authmode(&config_, MBEDTLS_SSL_VERIFY_REQUIRED);
  }
  return true;
}
#if defined(MBEDTLS_ZLIB_SUPPORT)
#error "TLS compression must not be offered: build mbed TLS without MBEDTLS_ZLIB_SUPPORT"
#endif

// Why the client's certificate was refused, in the library's words, on one line.
std::string VerifyText(const mbedtls_ssl_context& ssl) {
  const std::uint32_t flags = mbedtls_ssl_get_verify_result(&ssl);
  if (flags == 0 || flags == static_cast<std::uint32_t>(-1)) return std::string();
  char text[512] = {};
  if (mbedtls_x509_crt_verify_info(text, sizeof text, "", flags) < 0) return std::string();
  std::string line = text;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  std::replace(line.begin(), line.end(), '\n', ';');
  return line;
}

TlsHandshakeResult MbedTlsConfig::Handshake(std::unique_ptr<os::Socket>& client,
                                            os::Event& exitEvent, int timeoutMs,
                                            const std::string& clientAddress,
                                            const LogSettings& log) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  TlsHandshakeResult result;
  auto tls = std::make_unique<TlsSocket>(std::move(client), clientAddress, log);
  // Whatever the outcome, the caller gets its socket back unless the handshake is done.
  struct GiveBack {
    std::unique_ptr<TlsSocket>& tls;
    std::unique_ptr<os::Socket>& client;
    ~GiveBack() {
      if (tls) client = tls->TakeInner();
    }
  } giveBack{tls, client};

  if (int ret = tls->Setup(config_); ret != 0) {
    result.reason = ErrorText(ret);
    return result;
  }
  mbedtls_ssl_context& ssl = tls->Context();
  for (;;) {
    const int ret = mbedtls_ssl_handshake(&ssl);
    if (ret == 0) break;
    if (ret != MBEDTLS_ERR_SSL_WANT_READ && ret != MBEDTLS_ERR_SSL_WANT_WRITE) {
      result.outcome = TlsHandshakeResult::Outcome::kFailed;
      if ((ret == MBEDTLS_ERR_NET_RECV_FAILED || ret == MBEDTLS_ERR_NET_SEND_FAILED) &&
          tls->SocketError() != 0) {
        result.reason = Format("Winsock Error #: %d", tls->SocketError());
      } else {
        result.reason = ErrorText(ret);
        const std::string verify = VerifyText(ssl);
        if (!verify.empty()) result.reason += " (" + verify + ")";
      }
      return result;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.outcome = TlsHandshakeResult::Outcome::kTimedOut;
      return result;
    }
    os::Socket& socket = tls->Inner();
    // Only what the library waits for: a close wakes the wait as well (Winsock signals every
    // network event, poll reports the end of the stream as readable), and the next step sees it.
    // A close taken here would be lost to the session (Winsock reports it once).
    const unsigned wanted = ret == MBEDTLS_ERR_SSL_WANT_READ ? os::kNetRead : os::kNetWrite;
    if (int error = socket.SelectEvents(wanted); error != 0) {
      result.reason = Format("Winsock Error #: %d", error);
      return result;
    }
    os::Waitable* handles[] = {&exitEvent, socket.EventWaitable()};
    int waitError = 0;
    const int signalled = os::WaitAny(handles, static_cast<int>(left), &waitError);
    if (signalled == 0) {
      result.outcome = TlsHandshakeResult::Outcome::kStopped;
      return result;
    }
    if (signalled == os::kWaitTimeout) {
      result.outcome = TlsHandshakeResult::Outcome::kTimedOut;
      return result;
    }
    if (signalled != 1) {
      result.reason = Format("Win32 Error #: %d waiting for the client", waitError);
      return result;
    }
    int error = 0;
    socket.TakeEvents(&error);  // the next step of the handshake tells what happened
  }
  // The session selects the events it wants anew.
  tls->Inner().SelectEvents(0);
  tls->Established();
  result.outcome = TlsHandshakeResult::Outcome::kDone;
  result.negotiated = std::string(mbedtls_ssl_get_version(&ssl)) + ", " +
                      mbedtls_ssl_get_ciphersuite(&ssl);
  client = std::move(tls);
  return result;
}

}  // namespace

std::unique_ptr<TlsConfig> LoadTlsConfig(const TlsFiles& files, std::string* error) {
  auto config = std::make_unique<MbedTlsConfig>();
  if (!config->Load(files, error)) return nullptr;
  return config;
}
