// Checks that the mbedTLS the programs link works on this platform: the library's version is the
// headers' and a 2.28 one, SHA-256 of "abc" is the known digest, a CTR-DRBG seeds from the
// platform's entropy source (CryptoAPI on Windows, /dev/urandom or getrandom on Linux) and gives
// different output on two draws, and a TLS server configuration takes its defaults (which links
// all three libraries). Prints what it found; exit code 0 when all holds, 1 otherwise.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/sha256.h>
#include <mbedtls/ssl.h>
#include <mbedtls/version.h>
#include <mbedtls/x509_crt.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool Check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  return ok;
}

std::string Hex(const unsigned char* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0f];
  }
  return text;
}

bool VersionMatches() {
  char version[18] = {};
  mbedtls_version_get_string(version);
  std::printf("mbedTLS %s (headers %s)\n", version, MBEDTLS_VERSION_STRING);
  return Check(std::strcmp(version, MBEDTLS_VERSION_STRING) == 0 &&
                   std::strncmp(version, "2.28.", 5) == 0,
               "library version is the headers' and 2.28.x");
}

bool Sha256OfAbc() {
  const unsigned char input[] = {'a', 'b', 'c'};
  std::array<unsigned char, 32> digest{};
  const int rc = mbedtls_sha256_ret(input, sizeof input, digest.data(), 0);
  const std::string hex = Hex(digest.data(), digest.size());
  std::printf("sha256(\"abc\") = %s\n", hex.c_str());
  return Check(rc == 0 && hex == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
               "SHA-256 of \"abc\"");
}

bool RandomFromEntropy() {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
  const unsigned char personal[] = "vmds-mbedtls-smoke";
  int rc = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, personal,
                                 sizeof personal - 1);
  std::array<unsigned char, 32> first{}, second{};
  if (rc == 0) rc = mbedtls_ctr_drbg_random(&drbg, first.data(), first.size());
  if (rc == 0) rc = mbedtls_ctr_drbg_random(&drbg, second.data(), second.size());
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  if (rc != 0) std::printf("CTR-DRBG error -0x%04x\n", static_cast<unsigned>(-rc));
  return Check(rc == 0 && first != second, "CTR-DRBG seeded from the platform's entropy");
}

bool ServerConfigDefaults() {
  mbedtls_ssl_config config;
  mbedtls_x509_crt chain;
  mbedtls_ssl_config_init(&config);
  mbedtls_x509_crt_init(&chain);
  const int rc = mbedtls_ssl_config_defaults(&config, MBEDTLS_SSL_IS_SERVER,
                                             MBEDTLS_SSL_TRANSPORT_STREAM,
                                             MBEDTLS_SSL_PRESET_DEFAULT);
  mbedtls_x509_crt_free(&chain);
  mbedtls_ssl_config_free(&config);
  return Check(rc == 0, "TLS server configuration defaults");
}

}  // namespace

int main() {
  bool ok = VersionMatches();
  ok = Sha256OfAbc() && ok;
  ok = RandomFromEntropy() && ok;
  ok = ServerConfigDefaults() && ok;
  std::printf("%s\n", ok ? "mbedtls smoke: passed" : "mbedtls smoke: FAILED");
  return ok ? 0 : 1;
}
