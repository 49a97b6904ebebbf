// Fuzz target: the device server's startup-file reader, the whole ReadServiceSettings path (the
// file opened and read, its lines cut, its values parsed, the outcome logged). The input is the
// file vmds.ini in this process's scratch directory; the log line goes to a scratch file there,
// whatever LogFilename the input names.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_check.h"
#include "os/os.h"
#include "settings.h"
#include "tls.h"

extern "C" std::FILE* __real_fopen(const char* path, const char* mode);

namespace {

std::string g_directory;
std::string g_startupFile;
std::string g_logFile;
const LogSettings* g_reading = nullptr;  // the reader's log settings while it runs
int g_logOpens = 0;

void RemoveScratch() {
  std::remove(g_startupFile.c_str());
  std::remove(g_logFile.c_str());
  rmdir(g_directory.c_str());
}

std::string ReadAll(const std::string& path) {
  std::string text;
  if (std::FILE* file = __real_fopen(path.c_str(), "rb")) {
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
    std::fclose(file);
  }
  return text;
}

bool OneOf(const std::string& value, std::initializer_list<const char*> tokens) {
  for (const char* token : tokens)
    if (value == token) return true;
  return false;
}

}  // namespace

// Every fopen of the program comes here (linked with --wrap=fopen). While the reader runs, its
// log must be the file LogSettings names at that moment, and the scratch log is opened instead;
// the only file it may read is its startup file.
extern "C" std::FILE* __wrap_fopen(const char* path, const char* mode) {
  if (g_reading != nullptr && mode[0] == 'a') {
    FUZZ_CHECK(path == os::NativePath(g_reading->LogFilename));
    ++g_logOpens;
    return __real_fopen(g_logFile.c_str(), mode);
  }
  if (g_reading != nullptr && mode[0] == 'r') FUZZ_CHECK(path == g_startupFile);
  return __real_fopen(path, mode);
}

// The scratch directory of this process: in memory (/dev/shm) where there is one, as every
// execution writes and reads files there; else under TMPDIR or /tmp.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  for (std::string base :
       {std::string("/dev/shm"), std::string(tmp != nullptr && *tmp ? tmp : "/tmp")}) {
    std::string pattern = base + "/vmds-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      g_directory = pattern;
      break;
    }
  }
  FUZZ_CHECK(!g_directory.empty());
  g_startupFile = g_directory + "/vmds.ini";
  g_logFile = g_directory + "/vmds.log";
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  std::FILE* file = __real_fopen(g_startupFile.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), file) == content.size());
  std::fclose(file);
  std::remove(g_logFile.c_str());

  ServiceSettings service;
  SerialSettings serial;
  LogSettings log;
  DebugEnabled = true;
  g_logOpens = 0;
  g_reading = &log;
  const bool ok = ReadServiceSettings(g_startupFile, service, serial, log);
  g_reading = nullptr;
  const bool debug = DebugEnabled;

  // Every field within its range.
  FUZZ_CHECK(serial.COMPort.size() <= os::kMaxPortNameLength);
  FUZZ_CHECK(log.LogFilename.size() <= kMaxLogFilenameLength);
  FUZZ_CHECK(OneOf(serial.COMPortParity,
                   {"NOPARITY", "EVENPARITY", "ODDPARITY", "SPACEPARITY", "MARKPARITY"}));
  FUZZ_CHECK(OneOf(serial.COMPortStopBits, {"ONESTOPBIT", "ONE5STOPBITS", "TWOSTOPBITS"}));
  FUZZ_CHECK(service.MaxConnectTime != 0 && service.IdleTimeout != 0);  // 0 is kept as -1
  if (content.find('=') == std::string::npos) {
    FUZZ_CHECK(ok && debug);
    FUZZ_CHECK(service.TCPPort == 6100 && serial.COMPort == "Com1" &&
               log.LogFilename == ".\\vmds.log");
  }

  // The file read from disk gives what its lines give one by one.
  ServiceSettings service2;
  SerialSettings serial2;
  LogSettings log2;
  struct Records {
    ServiceSettings& service;
    SerialSettings& serial;
    LogSettings& log;
    bool ok;
  } records{service2, serial2, log2, true};
  DebugEnabled = true;
  SplitStartupLines(
      content,
      [](const std::string& line, void* raw) {
        auto* r = static_cast<Records*>(raw);
        FUZZ_CHECK(line.size() <= kMaxLinePiece);
        if (!ApplyStartupLine(line, r->service, r->serial, r->log)) r->ok = false;
      },
      &records);
  FUZZ_CHECK(records.ok == ok && DebugEnabled == debug);
  FUZZ_CHECK(service2.TCPPort == service.TCPPort &&
             service2.MaxConnectTime == service.MaxConnectTime &&
             service2.IdleTimeout == service.IdleTimeout &&
             service2.DropDTRonSocketClose == service.DropDTRonSocketClose &&
             service2.DropRTSonSocketClose == service.DropRTSonSocketClose);
  FUZZ_CHECK(serial2.COMPort == serial.COMPort && serial2.COMPortBitRate == serial.COMPortBitRate &&
             serial2.COMPortDataBits == serial.COMPortDataBits &&
             serial2.COMPortParity == serial.COMPortParity &&
             serial2.COMPortStopBits == serial.COMPortStopBits);
  FUZZ_CHECK(log2.LogFilename == log.LogFilename && log2.LogEnabled == log.LogEnabled);
  FUZZ_CHECK(service2.TLSCertificate == service.TLSCertificate &&
             service2.TLSKey == service.TLSKey && service2.TLSClientCA == service.TLSClientCA &&
             service2.TLSError == service.TLSError);

  // TLS names whole files or stops the start, never plain text by mistake: no file name holds a
  // NUL or was cut at the line limit, and files come only with a certificate and a key and no
  // error.
  for (const std::string* name : {&service.TLSCertificate, &service.TLSKey, &service.TLSClientCA}) {
    FUZZ_CHECK(name->find('\0') == std::string::npos);
    FUZZ_CHECK(name->size() < kMaxLinePiece - std::strlen("TLSKey="));
  }
  std::string tlsError;
  const std::optional<TlsFiles> tlsFiles = TlsFilesOf(service, "/inst/", &tlsError);
  FUZZ_CHECK(tlsFiles.has_value() == (tlsError.empty() && !service.TLSCertificate.empty()));
  FUZZ_CHECK(service.TLSError.empty() || tlsError == service.TLSError);
  if (!service.TLSKey.empty() || !service.TLSClientCA.empty()) {
    FUZZ_CHECK(tlsFiles.has_value() || !tlsError.empty());
  }
  if (tlsFiles) {
    FUZZ_CHECK(!tlsFiles->certificate.empty() && !tlsFiles->key.empty());
    FUZZ_CHECK(tlsFiles->clientCA.empty() == service.TLSClientCA.empty());
  }

  // The outcome is logged in one line "<time stamp> <message>\r\n", to the file LogFilename names
  // (checked at the open), or not at all.
  const char* message = !ok     ? "Startup file not read successfully"
                        : debug ? "Startup file read successfully"
                                : nullptr;
  if (log.LogFilename.empty()) message = nullptr;
  const std::string logged = ReadAll(g_logFile);
  if (message == nullptr) {
    FUZZ_CHECK(g_logOpens == 0 && logged.empty());
  } else {
    const std::string tail = std::string(" ") + message + "\r\n";
    FUZZ_CHECK(g_logOpens == 1);
    FUZZ_CHECK(logged.size() == 20 + tail.size());  // "Mmm-dd-yyyy hh:mm:ss"
    FUZZ_CHECK(logged.compare(20, tail.size(), tail) == 0);
  }
  return 0;
}
