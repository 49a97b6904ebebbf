// Remote port control: Telnet with the Com Port Control Option (RFC 2217) on the client side of a
// session. The decoder and encoder are pure; PortControl applies a client's requests to the port
// and keeps what is in force, so that the session only moves bytes and hands requests on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "event_log.h"
#include "os/os.h"

namespace rfc2217 {

// Telnet bytes (RFC 854) and the options the server speaks.
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kOptionBinary = 0;
constexpr std::uint8_t kOptionSuppressGoAhead = 3;
constexpr std::uint8_t kOptionComPort = 44;

// Com port commands as the client sends them; the server's answer is the code plus kServerOffset.
enum class Command : std::uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
constexpr std::uint8_t kServerOffset = 100;

// One com port subnegotiation from the client.
struct Request {
  Command command = Command::kSignature;
  std::uint32_t value = 0;  // SET-BAUDRATE: the 4-byte rate; others: the one-byte value (0 if none)
  std::string text;         // SIGNATURE: the client's text (empty: it asks for the server's)
};

// One piece of the client's stream, in the order it came.
struct Item {
  enum class Kind {
    kData,         // data bytes: Decoder::Data()[offset, offset + size)
    kNegotiation,  // IAC <verb> <option>
    kRequest,      // IAC SB COM-PORT-OPTION <command> <value> IAC SE
    kMalformed,    // a com port subnegotiation with an unknown command or a bad value length;
                   // `text` says what was wrong, for the log (the session answers nothing)
  };
  Kind kind = Kind::kData;
  std::size_t offset = 0;
  std::size_t size = 0;
  std::uint8_t verb = 0;
  std::uint8_t option = 0;
  Request request;
  std::string text;
};

// Decodes what the client sends. A Telnet sequence may be split anywhere between receives (an IAC
// can end one receive and its partner start the next): what is not complete is kept for the next
// Feed. IAC IAC is one data byte 255; a lone IAC before any other byte (NOP, GA, ...) is dropped;
// subnegotiations of other options are dropped whole; a subnegotiation longer than
// kMaxSubnegotiation bytes is dropped up to its IAC SE and reported malformed.
class Decoder {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 64;
  // Decodes one receive; replaces what Items and Data held. The data bytes are never more than
  // `size`.
  void Feed(const std::uint8_t* bytes, std::size_t size);
  const std::vector<Item>& Items() const { return items_; }
  const std::uint8_t* Data() const { return data_.data(); }

 private:
  enum class State { kData, kIac, kVerb, kSub, kSubIac };
  void EndSubnegotiation();
  void AddData(std::uint8_t byte);
  void AddSubByte(std::uint8_t byte);
  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::vector<std::uint8_t> sub_;
  bool subTooLong_ = false;
  std::vector<Item> items_;
  std::vector<std::uint8_t> data_;
};

// Appends device data with every IAC doubled (between size and 2 * size bytes).
void EncodeData(const std::uint8_t* bytes, std::size_t size, std::vector<std::uint8_t>& out);
// Appends IAC SB COM-PORT-OPTION <command + kServerOffset> <value> IAC SE, the value's IACs
// doubled.
void AppendServerCommand(Command command, const std::uint8_t* value, std::size_t size,
                         std::vector<std::uint8_t>& out);

// Option negotiation. The server offers WILL COM-PORT-OPTION, WILL and DO BINARY, WILL and DO
// SUPPRESS-GO-AHEAD at the start and answers every request: an option it speaks is agreed, any
// other refused (DONT / WONT). A request that would not change an option's state is not answered,
// so two peers never loop.
class Negotiation {
 public:
  void Offer(std::vector<std::uint8_t>& out);
  void Answer(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
  // The client agreed to the com port option (it sent DO or WILL COM-PORT-OPTION).
  bool ComPortActive() const { return comPortActive_; }

 private:
  bool weWill_[3] = {};    // BINARY, SGA, COM-PORT: the server's side is on
  bool theyWill_[3] = {};  // BINARY, SGA, COM-PORT: the client's side is on
  bool weAsked_[3] = {};   // the server sent WILL and waits for the client's DO or DONT
  bool theyAsked_[3] = {}; // the server sent DO and waits for the client's WILL or WONT
  bool comPortActive_ = false;
};

// What a request asks of the session besides the port.
struct Effects {
  bool purgeFromDevice = false;  // drop device data the session holds for the client
  bool purgeToDevice = false;    // drop client data the session holds for the device (and the
                                 // port's pending write: DiscardWrite)
  bool suspendToClient = false;  // FLOWCONTROL-SUSPEND: send the client nothing until RESUME
  bool resumeToClient = false;
};

// The port settings a client may change, and what is in force, for one session.
class PortControl {
 public:
  // `configured`: the instance's line settings, restored when the session ends. `client` and
  // `comPort` name the session in log lines.
  PortControl(os::SerialPort& port, const os::LineSettings& configured, const std::string& client,
              const std::string& comPort, const LogSettings& log);
  // Applies one request, appends the server's answer (holding the value in force, also after a
  // refused value, which is logged) to `out`, and writes the debug line of request and answer.
  Effects Handle(const Request& request, std::vector<std::uint8_t>& out);
  // Called once the client agreed to the option: appends NOTIFY-MODEMSTATE with the lines now.
  void Started(std::vector<std::uint8_t>& out);
  // Called after a wake for the input lines (or received data, which may come with line errors):
  // reads the lines and the errors and appends NOTIFY-MODEMSTATE (changes, as the client's mask
  // allows) and NOTIFY-LINESTATE (errors, as its mask allows).
  void CheckLines(std::vector<std::uint8_t>& out);
  // Puts back what the client changed: line settings and flow control, break off, DTR and RTS
  // high again where the client lowered them. Called when the session ends, before the lines'
  // usual handling after a session.
  void Restore();

 private:
  // Sets `next` as the port's line settings; on a refusal logs what the client asked for
  // (`asked`) and what stays in force (`kept`). Returns whether the port took them.
  bool ApplyLineSettings(const os::LineSettings& next, const std::string& asked,
                         const std::string& kept);
  void LogRefusal(const std::string& asked, const std::string& kept, int error);
  std::uint8_t ControlAnswer(std::uint8_t value, std::string* note);
  std::uint8_t FlowCode(bool inbound) const;

  os::SerialPort& port_;
  const os::LineSettings configured_;
  const std::string& client_;
  const std::string& comPort_;
  const LogSettings& log_;
  os::LineSettings inForce_;
  bool breakOn_ = false;
  bool dtrOn_ = true;  // the session starts with DTR and RTS high
  bool rtsOn_ = true;
  unsigned lines_ = 0;  // input lines last reported to the client
  std::uint8_t modemMask_ = 255;
  std::uint8_t lineMask_ = 0;
};

}  // namespace rfc2217
