#include "rfc2217.h"

#include <cctype>

namespace rfc2217 {

namespace {

constexpr const char* kCommandNames[] = {
    "SIGNATURE",         "SET-BAUDRATE",       "SET-DATASIZE",       "SET-PARITY",
    "SET-STOPSIZE",      "SET-CONTROL",        "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",
    "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
    "PURGE-DATA",
};
constexpr std::uint8_t kLastCommand = static_cast<std::uint8_t>(Command::kPurgeData);

const char* CommandName(Command command) {
  return kCommandNames[static_cast<std::uint8_t>(command)];
}

// Modem state bits of NOTIFY-MODEMSTATE besides the lines themselves (which are the kModem* bits).
constexpr unsigned kDeltaCts = 0x01;
constexpr unsigned kDeltaDsr = 0x02;
constexpr unsigned kRingTrailingEdge = 0x04;
constexpr unsigned kDeltaDcd = 0x08;
constexpr unsigned kModemLines = os::kModemCts | os::kModemDsr | os::kModemRing | os::kModemDcd;

// SET-CONTROL values.
enum Control : std::uint8_t {
  kFlowQuery = 0,
  kFlowNone = 1,
  kFlowXonXoff = 2,
  kFlowHardware = 3,
  kBreakQuery = 4,
  kBreakOn = 5,
  kBreakOff = 6,
  kDtrQuery = 7,
  kDtrOn = 8,
  kDtrOff = 9,
  kRtsQuery = 10,
  kRtsOn = 11,
  kRtsOff = 12,
  kInboundFlowQuery = 13,
  kInboundFlowNone = 14,
  kInboundFlowXonXoff = 15,
  kInboundFlowHardware = 16,
};

// PURGE-DATA values.
constexpr std::uint8_t kPurgeReceive = 1;
constexpr std::uint8_t kPurgeTransmit = 2;
constexpr std::uint8_t kPurgeBoth = 3;

const char* FlowName(os::FlowControl flow) {
  switch (flow) {
    case os::FlowControl::kXonXoff: return "XON/XOFF";
    case os::FlowControl::kHardware: return "hardware";
    default: return "none";
  }
}

// The RFC's parity codes are LineSettings' parity plus one.
const char* ParityName(std::uint8_t parity) {
  static constexpr const char* kNames[] = {"none", "odd", "even", "mark", "space"};
  return parity < 5 ? kNames[parity] : "?";
}

std::uint8_t StopSizeCode(std::uint8_t stopBits) {
  return stopBits == 2 ? 2 : stopBits == 1 ? 3 : 1;
}

const char* StopSizeName(std::uint8_t stopBits) {
  return stopBits == 2 ? "2" : stopBits == 1 ? "1.5" : "1";
}

bool SameLineSettings(const os::LineSettings& a, const os::LineSettings& b) {
  return a.baudRate == b.baudRate && a.byteSize == b.byteSize && a.parity == b.parity &&
         a.parityCheck == b.parityCheck && a.stopBits == b.stopBits && a.flow == b.flow;
}

// A client's text for the log: printable ASCII as it is, anything else as \xHH.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += Format("\\x%02X", c);
    }
  }
  return out;
}

void AppendByteCommand(Command command, std::uint8_t value, std::vector<std::uint8_t>& out) {
  AppendServerCommand(command, &value, 1, out);
}

}  // namespace

// ---- Decoder ------------------------------------------------------------------------------------

void Decoder::AddData(std::uint8_t byte) {
  if (items_.empty() || items_.back().kind != Item::Kind::kData ||
      items_.back().offset + items_.back().size != data_.size()) {
    Item item;
    item.kind = Item::Kind::kData;
    item.offset = data_.size();
    items_.push_back(item);
  }
  data_.push_back(byte);
  ++items_.back().size;
}

// Keeps at most kMaxSubnegotiation bytes of a subnegotiation; the rest only marks it too long.
void Decoder::AddSubByte(std::uint8_t byte) {
  if (sub_.size() < kMaxSubnegotiation) {
    sub_.push_back(byte);
  } else {
    subTooLong_ = true;
  }
}

void Decoder::Feed(const std::uint8_t* bytes, std::size_t size) {
  items_.clear();
  data_.clear();
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = bytes[i];
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          state_ = State::kIac;
        } else {
          AddData(byte);
        }
        break;
      case State::kIac:
        state_ = State::kData;
        if (byte == kIac) {
          AddData(byte);
        } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
          verb_ = byte;
          state_ = State::kVerb;
        } else if (byte == kSb) {
          sub_.clear();
          subTooLong_ = false;
          state_ = State::kSub;
        }
        // Any other command (NOP, GA, a stray SE, ...) means nothing here and is dropped.
        break;
      case State::kVerb: {
        Item item;
        item.kind = Item::Kind::kNegotiation;
        item.offset = data_.size();
        item.verb = verb_;
        item.option = byte;
        items_.push_back(item);
        state_ = State::kData;
        break;
      }
      case State::kSub:
        if (byte == kIac) {
          state_ = State::kSubIac;
        } else {
          AddSubByte(byte);
        }
        break;
      case State::kSubIac:
        if (byte == kIac) {
          AddSubByte(byte);  // a doubled IAC is one byte of the value
          state_ = State::kSub;
        } else if (byte == kSe) {
          EndSubnegotiation();
          state_ = State::kData;
        } else if (byte == kSb) {
          // A new subnegotiation before the last one ended: the unfinished one is given up.
          sub_.clear();
          subTooLong_ = false;
          state_ = State::kSub;
        } else {
          state_ = State::kSub;  // a command inside a subnegotiation means nothing: dropped
        }
        break;
    }
  }
}

void Decoder::EndSubnegotiation() {
  if (sub_.empty() || sub_[0] != kOptionComPort) return;  // another option's: dropped
  Item item;
  item.offset = data_.size();
  item.kind = Item::Kind::kMalformed;
  if (subTooLong_) {
    item.text = Format("com port subnegotiation longer than %d bytes",
                       static_cast<int>(kMaxSubnegotiation));
  } else if (sub_.size() < 2) {
    item.text = "com port subnegotiation without a command";
  } else if (sub_[1] > kLastCommand) {
    item.text = Format("unknown com port command %u", sub_[1]);
  } else {
    const Command command = static_cast<Command>(sub_[1]);
    const std::size_t length = sub_.size() - 2;
    const std::uint8_t* value = sub_.data() + 2;
    bool good;
    const char* needs;
    switch (command) {
      case Command::kSignature:
        good = true;
        needs = "";
        break;
      case Command::kSetBaudRate:
        good = length == 4;
        needs = "4";
        break;
      case Command::kNotifyLineState:
      case Command::kNotifyModemState:
      case Command::kFlowControlSuspend:
      case Command::kFlowControlResume:
        // The notifications are queries from a client; SUSPEND and RESUME carry no value in the
        // RFC, but a client that sends one byte anyway is not turned away.
        good = length <= 1;
        needs = "0 or 1";
        break;
      default:
        good = length == 1;
        needs = "1";
        break;
    }
    if (!good) {
      item.text = Format("%s with %d value bytes instead of %s", CommandName(command),
                         static_cast<int>(length), needs);
    } else {
      item.kind = Item::Kind::kRequest;
      item.request.command = command;
      if (command == Command::kSignature) {
        item.request.text.assign(value, value + length);
      } else if (command == Command::kSetBaudRate) {
        item.request.value = (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                             (std::uint32_t{value[2]} << 8) | value[3];
      } else if (length == 1) {
        item.request.value = value[0];
      }
    }
  }
  items_.push_back(std::move(item));
}

// ---- Encoder ------------------------------------------------------------------------------------

void EncodeData(const std::uint8_t* bytes, std::size_t size, std::vector<std::uint8_t>& out) {
  out.reserve(out.size() + size);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(bytes[i]);
    if (bytes[i] == kIac) out.push_back(kIac);
  }
}

void AppendServerCommand(Command command, const std::uint8_t* value, std::size_t size,
                         std::vector<std::uint8_t>& out) {
  out.push_back(kIac);
  out.push_back(kSb);
  out.push_back(kOptionComPort);
  out.push_back(static_cast<std::uint8_t>(static_cast<std::uint8_t>(command) + kServerOffset));
  EncodeData(value, size, out);
  out.push_back(kIac);
  out.push_back(kSe);
}

// ---- Negotiation --------------------------------------------------------------------------------

namespace {

constexpr std::uint8_t kOptions[3] = {kOptionBinary, kOptionSuppressGoAhead, kOptionComPort};

int OptionIndex(std::uint8_t option) {
  for (int i = 0; i < 3; ++i)
    if (kOptions[i] == option) return i;
  return -1;
}

void AppendVerb(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  out.push_back(kIac);
  out.push_back(verb);
  out.push_back(option);
}

}  // namespace

void Negotiation::Offer(std::vector<std::uint8_t>& out) {
  const int com = OptionIndex(kOptionComPort);
  const int binary = OptionIndex(kOptionBinary);
  const int sga = OptionIndex(kOptionSuppressGoAhead);
  AppendVerb(kWill, kOptionComPort, out);
  weAsked_[com] = true;
  AppendVerb(kWill, kOptionBinary, out);
  weAsked_[binary] = true;
  AppendVerb(kDo, kOptionBinary, out);
  theyAsked_[binary] = true;
  AppendVerb(kWill, kOptionSuppressGoAhead, out);
  weAsked_[sga] = true;
  AppendVerb(kDo, kOptionSuppressGoAhead, out);
  theyAsked_[sga] = true;
}

void Negotiation::Answer(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  const int index = OptionIndex(option);
  switch (verb) {
    case kDo:
      if (index < 0) {
        AppendVerb(kWont, option, out);
      } else if (!weWill_[index]) {
        weWill_[index] = true;
        if (!weAsked_[index]) AppendVerb(kWill, option, out);  // else it agrees to our offer
        weAsked_[index] = false;
      }
      if (option == kOptionComPort) comPortActive_ = true;
      break;
    case kWill:
      if (index < 0) {
        AppendVerb(kDont, option, out);
      } else if (!theyWill_[index]) {
        theyWill_[index] = true;
        if (!theyAsked_[index]) AppendVerb(kDo, option, out);
        theyAsked_[index] = false;
      }
      if (option == kOptionComPort) comPortActive_ = true;
      break;
    case kDont:
      if (index < 0) break;
      if (weWill_[index]) {
        weWill_[index] = false;
        AppendVerb(kWont, option, out);
      }
      weAsked_[index] = false;  // a refusal of our offer needs no answer
      break;
    case kWont:
      if (index < 0) break;
      if (theyWill_[index]) {
        theyWill_[index] = false;
        AppendVerb(kDont, option, out);
      }
      theyAsked_[index] = false;
      break;
    default:
      break;
  }
}

// ---- PortControl --------------------------------------------------------------------------------

PortControl::PortControl(os::SerialPort& port, const os::LineSettings& configured,
                         const std::string& client, const std::string& comPort,
                         const LogSettings& log)
    : port_(port),
      configured_(configured),
      client_(client),
      comPort_(comPort),
      log_(log),
      inForce_(configured) {}

void PortControl::LogRefusal(const std::string& asked, const std::string& kept, int error) {
  LogEvent(Format("%s asked for %s on %s, Win32 Error #: %d; kept %s", client_.c_str(),
                  asked.c_str(), comPort_.c_str(), error, kept.c_str()),
           log_);
}

bool PortControl::ApplyLineSettings(const os::LineSettings& next, const std::string& asked,
                                    const std::string& kept) {
  if (int error = port_.SetLineSettings(next); error != 0) {
    LogRefusal(asked, kept, error);
    return false;
  }
  // Leaving the RTS/CTS handshake raises RTS.
  if (inForce_.flow == os::FlowControl::kHardware && next.flow != os::FlowControl::kHardware)
    rtsOn_ = true;
  inForce_ = next;
  return true;
}

std::uint8_t PortControl::FlowCode(bool inbound) const {
  const std::uint8_t base = inbound ? kInboundFlowNone : kFlowNone;
  switch (inForce_.flow) {
    case os::FlowControl::kXonXoff: return static_cast<std::uint8_t>(base + 1);
    case os::FlowControl::kHardware: return static_cast<std::uint8_t>(base + 2);
    default: return base;
  }
}

// Applies one SET-CONTROL value and returns the answer's value; `note` tells the debug line about
// a value that was not carried out.
std::uint8_t PortControl::ControlAnswer(std::uint8_t value, std::string* note) {
  switch (value) {
    case kFlowQuery:
      return FlowCode(false);
    case kInboundFlowQuery:
      return FlowCode(true);
    case kFlowNone:
    case kFlowXonXoff:
    case kFlowHardware:
    case kInboundFlowNone:
    case kInboundFlowXonXoff:
    case kInboundFlowHardware: {
      // The port has one flow control setting for both ways.
      const bool inbound = value >= kInboundFlowNone;
      const int code = value - (inbound ? kInboundFlowNone : kFlowNone);
      os::LineSettings next = inForce_;
      next.flow = code == 2   ? os::FlowControl::kHardware
                  : code == 1 ? os::FlowControl::kXonXoff
                              : os::FlowControl::kNone;
      ApplyLineSettings(next, std::string("flow control ") + FlowName(next.flow),
                        FlowName(inForce_.flow));
      return FlowCode(inbound);
    }
    case kBreakQuery:
      return breakOn_ ? kBreakOn : kBreakOff;
    case kBreakOn:
    case kBreakOff: {
      const bool on = value == kBreakOn;
      if (int error = port_.SetBreak(on); error != 0) {
        LogRefusal(on ? "break on" : "break off", breakOn_ ? "on" : "off", error);
      } else {
        breakOn_ = on;
      }
      return breakOn_ ? kBreakOn : kBreakOff;
    }
    case kDtrQuery:
      return dtrOn_ ? kDtrOn : kDtrOff;
    case kDtrOn:
    case kDtrOff: {
      const bool on = value == kDtrOn;
      if (int error = port_.SetModemLine(os::ModemLine::kDtr, on); error != 0) {
        LogRefusal(on ? "DTR high" : "DTR low", dtrOn_ ? "high" : "low", error);
      } else {
        dtrOn_ = on;
      }
      return dtrOn_ ? kDtrOn : kDtrOff;
    }
    case kRtsQuery:
      return rtsOn_ ? kRtsOn : kRtsOff;
    case kRtsOn:
    case kRtsOff: {
      const bool on = value == kRtsOn;
      if (inForce_.flow == os::FlowControl::kHardware) {
        *note = " (RTS belongs to the hardware handshake)";
      } else if (int error = port_.SetModemLine(os::ModemLine::kRts, on); error != 0) {
        LogRefusal(on ? "RTS high" : "RTS low", rtsOn_ ? "high" : "low", error);
      } else {
        rtsOn_ = on;
      }
      return rtsOn_ ? kRtsOn : kRtsOff;
    }
    default:
      // DCD, DTR and DSR flow control (17, 18, 19) and unknown values.
      *note = " (not supported)";
      return FlowCode(false);
  }
}

Effects PortControl::Handle(const Request& request, std::vector<std::uint8_t>& out) {
  Effects effects;
  const Command command = request.command;
  const std::uint32_t value = request.value;
  const std::uint8_t byte = static_cast<std::uint8_t>(value);
  std::string asked = std::to_string(value);  // the request, for the debug line
  std::string answered;                       // the answer, for the debug line (empty: none)
  std::string note;
  switch (command) {
    case Command::kSignature: {
      const std::string signature = "Velmora Device Server " + comPort_;
      AppendServerCommand(command, reinterpret_cast<const std::uint8_t*>(signature.data()),
                          signature.size(), out);
      asked = request.text.empty() ? std::string("(query)") : "\"" + Printable(request.text) + "\"";
      answered = "\"" + Printable(signature) + "\"";
      break;
    }
    case Command::kSetBaudRate: {
      if (value != 0) {
        os::LineSettings next = inForce_;
        next.baudRate = value;
        ApplyLineSettings(next, Format("bit rate %u", value), std::to_string(inForce_.baudRate));
      }
      const std::uint32_t rate = inForce_.baudRate;
      const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(rate >> 24),
                                     static_cast<std::uint8_t>(rate >> 16),
                                     static_cast<std::uint8_t>(rate >> 8),
                                     static_cast<std::uint8_t>(rate)};
      AppendServerCommand(command, bytes, sizeof bytes, out);
      answered = std::to_string(rate);
      break;
    }
    case Command::kSetDataSize:
      if (byte >= 5 && byte <= 8) {
        os::LineSettings next = inForce_;
        next.byteSize = byte;
        ApplyLineSettings(next, Format("data size %u", byte), std::to_string(inForce_.byteSize));
      } else if (byte != 0) {
        note = " (out of range)";
      }
      AppendByteCommand(command, inForce_.byteSize, out);
      answered = std::to_string(inForce_.byteSize);
      break;
    case Command::kSetParity:
      if (byte >= 1 && byte <= 5) {
        os::LineSettings next = inForce_;
        next.parity = static_cast<std::uint8_t>(byte - 1);
        next.parityCheck = next.parity != 0;
        ApplyLineSettings(next, std::string("parity ") + ParityName(next.parity),
                          ParityName(inForce_.parity));
      } else if (byte != 0) {
        note = " (out of range)";
      }
      AppendByteCommand(command, static_cast<std::uint8_t>(inForce_.parity + 1), out);
      answered = std::to_string(inForce_.parity + 1);
      break;
    case Command::kSetStopSize:
      if (byte >= 1 && byte <= 3) {
        os::LineSettings next = inForce_;
        next.stopBits = byte == 1 ? 0 : byte == 2 ? 2 : 1;
        ApplyLineSettings(next, std::string("stop bits ") + StopSizeName(next.stopBits),
                          StopSizeName(inForce_.stopBits));
      } else if (byte != 0) {
        note = " (out of range)";
      }
      AppendByteCommand(command, StopSizeCode(inForce_.stopBits), out);
      answered = std::to_string(StopSizeCode(inForce_.stopBits));
      break;
    case Command::kSetControl: {
      const std::uint8_t answer = ControlAnswer(byte, &note);
      AppendByteCommand(command, answer, out);
      answered = std::to_string(answer);
      break;
    }
    case Command::kNotifyLineState:
      AppendByteCommand(command, 0, out);
      answered = "0";
      break;
    case Command::kNotifyModemState: {
      unsigned lines = 0;
      if (int error = port_.GetModemStatus(&lines); error != 0) {
        lines = lines_;
        note = Format(" (input lines not read, error %d)", error);
      }
      lines_ = lines & kModemLines;
      AppendByteCommand(command, static_cast<std::uint8_t>(lines_), out);
      answered = std::to_string(lines_);
      break;
    }
    case Command::kFlowControlSuspend:
    case Command::kFlowControlResume:
      // The client asks the server to stop (or go on) sending it data. No answer: the server's
      // own codes 108 and 109 would ask the client to stop or resume its sending, so a client
      // that took them as an acknowledgement would suspend its own output.
      if (command == Command::kFlowControlSuspend) {
        effects.suspendToClient = true;
      } else {
        effects.resumeToClient = true;
      }
      if (DebugEnabled)
        LogDebug(Format("%s RFC 2217 %s, not answered", client_.c_str(), CommandName(command)),
                 log_);
      return effects;
    case Command::kSetLineStateMask:
      lineMask_ = byte;
      AppendByteCommand(command, lineMask_, out);
      answered = std::to_string(lineMask_);
      break;
    case Command::kSetModemStateMask:
      modemMask_ = byte;
      AppendByteCommand(command, modemMask_, out);
      answered = std::to_string(modemMask_);
      break;
    case Command::kPurgeData:
      if (byte == kPurgeReceive || byte == kPurgeBoth) {
        effects.purgeFromDevice = true;
        if (int error = port_.PurgeReceive(); error != 0)
          LogEvent(Format("Win32 Error #: %d Could not purge the receive buffer of %s for %s",
                          error, comPort_.c_str(), client_.c_str()),
                   log_);
      }
      if (byte == kPurgeTransmit || byte == kPurgeBoth) effects.purgeToDevice = true;
      if (byte < kPurgeReceive || byte > kPurgeBoth) note = " (not supported)";
      AppendByteCommand(command, byte, out);
      answered = std::to_string(byte);
      break;
  }
  if (DebugEnabled)
    LogDebug(Format("%s RFC 2217 %s %s, answered %s%s", client_.c_str(), CommandName(command),
                    asked.c_str(), answered.c_str(), note.c_str()),
             log_);
  return effects;
}

void PortControl::Started(std::vector<std::uint8_t>& out) {
  unsigned lines = 0;
  if (int error = port_.GetModemStatus(&lines); error != 0 && DebugEnabled)
    LogDebug(Format("Win32 Error #: %d Could not read the input lines of %s", error,
                    comPort_.c_str()),
             log_);
  lines_ = lines & kModemLines;
  AppendByteCommand(Command::kNotifyModemState, static_cast<std::uint8_t>(lines_ & modemMask_),
                    out);
}

void PortControl::CheckLines(std::vector<std::uint8_t>& out) {
  unsigned lines = 0;
  if (port_.GetModemStatus(&lines) == 0) {
    lines &= kModemLines;
    if (lines != lines_) {
      const unsigned changed = lines ^ lines_;
      unsigned state = lines;
      if (changed & os::kModemCts) state |= kDeltaCts;
      if (changed & os::kModemDsr) state |= kDeltaDsr;
      if ((lines_ & os::kModemRing) && !(lines & os::kModemRing)) state |= kRingTrailingEdge;
      if (changed & os::kModemDcd) state |= kDeltaDcd;
      lines_ = lines;
      // A change the client's mask hides is still taken as reported: the next change is
      // measured from here.
      const std::uint8_t masked = static_cast<std::uint8_t>(state & modemMask_);
      if (masked != 0) {
        AppendByteCommand(Command::kNotifyModemState, masked, out);
        if (DebugEnabled)
          LogDebug(Format("%s RFC 2217 NOTIFY-MODEMSTATE %u sent", client_.c_str(), masked),
                   log_);
      }
    }
  }
  unsigned errors = 0;
  if (port_.TakeLineErrors(&errors) == 0) {
    const std::uint8_t masked = static_cast<std::uint8_t>(errors & lineMask_);
    if (masked != 0) {
      AppendByteCommand(Command::kNotifyLineState, masked, out);
      if (DebugEnabled)
        LogDebug(Format("%s RFC 2217 NOTIFY-LINESTATE %u sent", client_.c_str(), masked), log_);
    }
  }
}

void PortControl::Restore() {
  if (!SameLineSettings(inForce_, configured_)) {
    if (int error = port_.SetLineSettings(configured_); error != 0) {
      LogEvent(Format("Win32 Error #: %d Could not restore the line settings of %s", error,
                      comPort_.c_str()),
               log_);
    } else {
      if (inForce_.flow == os::FlowControl::kHardware &&
          configured_.flow != os::FlowControl::kHardware)
        rtsOn_ = true;
      inForce_ = configured_;
    }
  }
  if (breakOn_) {
    if (int error = port_.SetBreak(false); error != 0) {
      LogEvent(Format("Win32 Error #: %d Could not end the break on %s", error, comPort_.c_str()),
               log_);
    } else {
      breakOn_ = false;
    }
  }
  if (!dtrOn_) {
    if (int error = port_.SetModemLine(os::ModemLine::kDtr, true); error != 0) {
      LogEvent(Format("Win32 Error #: %d Could not set DTR high", error), log_);
    } else {
      dtrOn_ = true;
    }
  }
  // Under the RTS/CTS handshake the driver holds RTS.
  if (!rtsOn_ && inForce_.flow != os::FlowControl::kHardware) {
    if (int error = port_.SetModemLine(os::ModemLine::kRts, true); error != 0) {
      LogEvent(Format("Win32 Error #: %d Could not set RTS high", error), log_);
    } else {
      rtsOn_ = true;
    }
  }
  modemMask_ = 255;
  lineMask_ = 0;
}

}  // namespace rfc2217
