#include "serial_settings.h"

namespace {

struct ParityName {
  const char* entry;
  const char* token;
};
constexpr ParityName kParities[] = {{"None", "NOPARITY"},
                                    {"Even", "EVENPARITY"},
                                    {"Odd", "ODDPARITY"},
                                    {"Space", "SPACEPARITY"},
                                    {"Mark", "MARKPARITY"}};

struct StopBitsName {
  float value;
  const char* entry;
  const char* token;
};
constexpr StopBitsName kStopBits[] = {
    {1.0f, "1", "ONESTOPBIT"}, {1.5f, "1.5", "ONE5STOPBITS"}, {2.0f, "2", "TWOSTOPBITS"}};

const StopBitsName* StopBitsNameOf(float value) {
  for (const StopBitsName& s : kStopBits)
    if (s.value == value) return &s;
  return nullptr;
}

}  // namespace

const std::vector<std::string>& SerialPortEntries() {
  static const std::vector<std::string> entries = [] {
    std::vector<std::string> e;
    for (int n = 1; n <= 255; ++n) e.push_back("COM" + std::to_string(n));
    return e;
  }();
  return entries;
}

const std::vector<std::string>& BitRateEntries() {
  static const std::vector<std::string> entries = {"110",   "300",   "600",   "1200", "2400",
                                                   "4800",  "9600",  "14400", "19200", "28800",
                                                   "38400", "57600", "115200"};
  return entries;
}

const std::vector<std::string>& DataBitsEntries() {
  static const std::vector<std::string> entries = {"5", "6", "7", "8"};
  return entries;
}

const std::vector<std::string>& ParityEntries() {
  static const std::vector<std::string> entries = [] {
    std::vector<std::string> e;
    for (const ParityName& p : kParities) e.push_back(p.entry);
    return e;
  }();
  return entries;
}

const std::vector<std::string>& StopBitsEntries() {
  static const std::vector<std::string> entries = [] {
    std::vector<std::string> e;
    for (const StopBitsName& s : kStopBits) e.push_back(s.entry);
    return e;
  }();
  return entries;
}

std::string ParityToken(const std::string& entry) {
  for (const ParityName& p : kParities)
    if (entry == p.entry) return p.token;
  return "";
}

std::string ParityEntry(const std::string& token) {
  for (const ParityName& p : kParities)
    if (token == p.token) return p.entry;
  return "";
}

std::string StopBitsEntry(float stopBits) {
  const StopBitsName* s = StopBitsNameOf(stopBits);
  return s ? s->entry : "";
}

std::string StopBitsToken(float stopBits) {
  const StopBitsName* s = StopBitsNameOf(stopBits);
  return s ? s->token : "";
}

std::optional<float> StopBitsOfToken(const std::string& token) {
  for (const StopBitsName& s : kStopBits)
    if (token == s.token) return s.value;
  return std::nullopt;
}

void ApplyInstanceDefaults(VMDSInstanceClass& record) {
  record.mCOMPortBitRate = 1200;
  record.mCOMPortDataBits = 8;
  record.mCOMPortParity = "NOPARITY";
  record.mCOMPortStopBits = 1.0f;
  record.mMaxConnectTime = 0;
  record.mIdleTimeout = 120;
  record.mDropDTRonSocketClose = 0;
  record.mDropRTSonSocketClose = 0;
  record.mDebugEnabled = 0;
}
