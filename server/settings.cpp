#include "settings.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "os/os.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Truncates toward zero into 32 bits; out-of-range values saturate instead of wrapping into
// something unrelated.
std::int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  double truncated = std::trunc(value);
  if (truncated >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (truncated <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(truncated);
}

// The whole value must be a decimal number; '.' is the only decimal separator, whatever the
// locale. Parsed by hand so that neither the locale nor the C library's notion of hex or
// infinity comes into it.
std::optional<double> ParseDecimal(const std::string& value) {
  if (value.empty()) return 0.0;  // an empty value reads as 0
  std::size_t i = 0;
  const std::size_t n = value.size();
  while (i < n && IsSpace(value[i])) ++i;
  std::string normalised;
  if (value[i] == '+' || value[i] == '-') normalised += value[i++];
  std::size_t digits = 0;
  while (i < n && IsDigit(value[i])) { normalised += value[i++]; ++digits; }
  if (i < n && value[i] == '.') {
    normalised += value[i++];
    while (i < n && IsDigit(value[i])) { normalised += value[i++]; ++digits; }
  }
  if (digits == 0) return std::nullopt;
  if (i < n && (value[i] == 'e' || value[i] == 'E' || value[i] == 'd' || value[i] == 'D')) {
    normalised += 'e';
    ++i;
    if (i < n && (value[i] == '+' || value[i] == '-')) normalised += value[i++];
    std::size_t expDigits = 0;
    while (i < n && IsDigit(value[i])) { normalised += value[i++]; ++expDigits; }
    if (expDigits == 0) return std::nullopt;
  }
  if (i != n) return std::nullopt;  // anything left over, a trailing blank included
  // The text is now plain decimal notation; the program never changes the C library's locale,
  // so strtod reads '.' as the separator (overflow gives HUGE_VAL, underflow 0).
  return std::strtod(normalised.c_str(), nullptr);
}

}  // namespace

std::optional<std::int32_t> ParseNumberValue(const std::string& value) {
  auto number = ParseDecimal(value);
  if (!number) return std::nullopt;
  return TruncateToInt32(*number);
}

std::optional<std::int32_t> ParseSecondsValue(const std::string& value) {
  auto number = ParseDecimal(value);
  if (!number) return std::nullopt;
  std::int32_t ms = TruncateToInt32(*number * 1000.0);
  return ms == 0 ? -1 : ms;
}

std::optional<bool> ParseYesNoValue(const std::string& value) {
  std::string lower = value;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "yes") return true;
  if (lower == "no") return false;
  return std::nullopt;
}

void SplitStartupLines(const std::string& content, void (*fn)(const std::string&, void*),
                       void* context) {
  // Text-mode reading: CR LF reads as LF.
  std::string text;
  text.reserve(content.size());
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n') continue;
    text += content[i];
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lineEnd = text.find('\n', pos);
    std::size_t available = (lineEnd == std::string::npos ? text.size() : lineEnd + 1) - pos;
    std::size_t take = available < kMaxLinePiece ? available : kMaxLinePiece;
    fn(text.substr(pos, take), context);
    pos += take;
  }
}

bool ApplyStartupLine(const std::string& piece, ServiceSettings& service, SerialSettings& serial,
                      LogSettings& log) {
  std::size_t eq = piece.find('=');
  if (eq == std::string::npos) return true;
  std::string key = piece.substr(0, eq);
  std::string value = piece.substr(eq + 1);
  if (!value.empty() && value.back() == '\n') value.pop_back();

  auto number = [&](std::int32_t& field, std::int32_t onBad) {
    auto parsed = ParseNumberValue(value);
    field = parsed ? *parsed : onBad;
    return parsed.has_value();
  };
  auto seconds = [&](std::int32_t& field) {
    auto parsed = ParseSecondsValue(value);
    field = parsed ? *parsed : -1;
    return parsed.has_value();
  };
  auto yesNo = [&](bool& field) {
    auto parsed = ParseYesNoValue(value);
    if (parsed) field = *parsed;
    return parsed.has_value();
  };
  auto token = [&](std::string& field, std::initializer_list<const char*> tokens) {
    for (const char* t : tokens) {
      if (value == t) {
        field = value;
        return true;
      }
    }
    return false;
  };
  // A text longer than its field, or holding a NUL character (a file cut short by a full disk
  // may end in NULs), is refused and the field keeps its value: cutting a port name or a log
  // path, at the limit or where the system stops reading the name at the NUL, would silently
  // name another device or file.
  auto text = [&](std::string& field, std::size_t limit) {
    if (value.size() > limit || value.find('\0') != std::string::npos) return false;
    field = value;
    return true;
  };

  if (key == "TCPPort") return number(service.TCPPort, 3001);
  if (key == "COMPort") return text(serial.COMPort, os::kMaxPortNameLength);
  if (key == "COMPortBitRate") return number(serial.COMPortBitRate, 1200);
  if (key == "COMPortDataBits") return number(serial.COMPortDataBits, 8);
  if (key == "COMPortParity")
    return token(serial.COMPortParity,
                 {"NOPARITY", "EVENPARITY", "ODDPARITY", "SPACEPARITY", "MARKPARITY"});
  if (key == "COMPortStopBits")
    return token(serial.COMPortStopBits, {"ONESTOPBIT", "ONE5STOPBITS", "TWOSTOPBITS"});
  if (key == "DropDTRonSocketClose") return yesNo(service.DropDTRonSocketClose);
  if (key == "DropRTSonSocketClose") return yesNo(service.DropRTSonSocketClose);
  if (key == "MaxConnectTime") return seconds(service.MaxConnectTime);
  if (key == "IdleTimeout") return seconds(service.IdleTimeout);
  if (key == "LogFilename") return text(log.LogFilename, kMaxLogFilenameLength);
  if (key == "LogEnabled") return yesNo(log.LogEnabled);
  if (key == "DebugEnabled") return yesNo(DebugEnabled);
  // A bad value here is not replaced by a default: it is kept in AccessError, which stops the
  // service at start-up. The first bad line is the one named. A value cut at kMaxLinePiece
  // would silently name other hosts, so a line that long is refused whole.
  auto access = [&](auto parse) {
    const bool cut = piece.size() == kMaxLinePiece && piece.back() != '\n';
    std::string error = cut ? Format("%s is longer than a line of the startup file may be",
                                     key.c_str())
                            : parse();
    if (!error.empty() && service.AccessError.empty()) service.AccessError = error;
    return true;
  };
  if (key == "AllowedClients") {
    return access([&] {
      std::string bad;
      auto ranges = ParseAllowedClients(value, &bad);
      if (ranges) {
        service.AllowedClients = *ranges;
        return std::string();
      }
      if (bad.empty()) return std::string("AllowedClients has an empty entry");
      return Format("AllowedClients entry \"%s\" is not an IPv4 address or range", bad.c_str());
    });
  }
  if (key == "ListenAddress") {
    return access([&] {
      std::string trimmed = value;
      while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) {
        trimmed.pop_back();
      }
      trimmed.erase(0, trimmed.find_first_not_of(" \t"));
      if (trimmed.empty()) {
        service.ListenAddress = 0;
        return std::string();
      }
      auto address = ParseIPv4Address(trimmed);
      if (address) {
        service.ListenAddress = *address;
        return std::string();
      }
      return Format("ListenAddress \"%s\" is not an IPv4 address", trimmed.c_str());
    });
  }
  if (key == "Protocol") {
    std::string trimmed = value.substr(0, value.find('\0'));
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) {
      trimmed.pop_back();
    }
    trimmed.erase(0, trimmed.find_first_not_of(" \t"));
    std::string upper = trimmed;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.empty() || upper == "RAW") {
      service.Protocol = SessionProtocol::kRaw;
    } else if (upper == "RFC2217") {
      service.Protocol = SessionProtocol::kRfc2217;
    } else if (service.ProtocolError.empty()) {
      service.ProtocolError =
          Format("Protocol \"%s\" is not Raw or RFC2217", trimmed.c_str());
    }
    return true;
  }
  // A file name cut at kMaxLinePiece, or at a NUL, would name another file: the line is refused
  // whole, and so is the start.
  auto tlsFile = [&](std::string& field) {
    const bool cut = piece.size() == kMaxLinePiece && piece.back() != '\n';
    std::string error;
    if (cut) {
      error = Format("%s is longer than a line of the startup file may be", key.c_str());
    } else if (value.find('\0') != std::string::npos) {
      error = Format("%s holds a NUL character", key.c_str());
    } else {
      field = value;
    }
    if (!error.empty() && service.TLSError.empty()) service.TLSError = error;
    return true;
  };
  if (key == "TLSCertificate") return tlsFile(service.TLSCertificate);
  if (key == "TLSKey") return tlsFile(service.TLSKey);
  if (key == "TLSClientCA") return tlsFile(service.TLSClientCA);
  if (key == "InstanceName") {
    // Only a label of the status file: never a bad value (text after a NUL is left out).
    service.InstanceName = value.substr(0, value.find('\0'));
    return true;
  }
  return true;
}

bool ReadServiceSettings(const std::string& path, ServiceSettings& service,
                         SerialSettings& serial, LogSettings& log) {
  if (path.empty()) return false;
  std::FILE* file = std::fopen(os::NativePath(path).c_str(), "rb");
  if (file == nullptr) return false;
  std::string content;
  char block[4096];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) content.append(block, got);
  std::fclose(file);

  struct Context {
    ServiceSettings& service;
    SerialSettings& serial;
    LogSettings& log;
    bool ok;
  } context{service, serial, log, true};
  SplitStartupLines(
      content,
      [](const std::string& line, void* raw) {
        auto* c = static_cast<Context*>(raw);
        if (!ApplyStartupLine(line, c->service, c->serial, c->log)) c->ok = false;
      },
      &context);

  if (!context.ok) {
    LogEvent("Startup file not read successfully", log);
  } else {
    LogDebug("Startup file read successfully", log);
  }
  return context.ok;
}
