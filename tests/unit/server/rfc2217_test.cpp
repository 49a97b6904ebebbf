// Remote port control (Telnet with the com port option): the decoder over every split of a
// stream, each command's decoding, the encoder, option negotiation, and PortControl against a
// recording serial port (answers, refusals and their log lines, purge and flow effects, input line
// notifications, what is put back when the session ends).
#include "rfc2217.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using rfc2217::Command;
using rfc2217::Decoder;
using rfc2217::Item;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                       SE = 240, NOP = 241, GA = 249, COM = 44;

std::string Hex(const Bytes& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += (out.empty() ? "" : " ") + std::to_string(b);
  return out;
}

// What a decoder made of a stream fed in pieces, in one text: data bytes as numbers, the other
// items in brackets. Data split over several items or receives reads the same as in one.
class Transcript {
 public:
  void Feed(Decoder& decoder, const Bytes& piece) {
    decoder.Feed(piece.data(), piece.size());
    std::size_t dataSize = 0;
    for (const Item& item : decoder.Items()) {
      if (item.kind == Item::Kind::kData) {
        EXPECT_GT(item.size, 0u);
        EXPECT_EQ(item.offset, dataSize) << "data items in order, without gaps";
        dataSize = item.offset + item.size;
        for (std::size_t i = 0; i < item.size; ++i)
          text_ += " " + std::to_string(decoder.Data()[item.offset + i]);
        continue;
      }
      EXPECT_EQ(item.offset, dataSize);
      if (item.kind == Item::Kind::kNegotiation) {
        text_ += " [neg " + std::to_string(item.verb) + " " + std::to_string(item.option) + "]";
      } else if (item.kind == Item::Kind::kRequest) {
        text_ += " [req " + std::to_string(static_cast<int>(item.request.command)) + " " +
                 std::to_string(item.request.value) + " '" + item.request.text + "']";
      } else {
        text_ += " [bad " + item.text + "]";
      }
    }
    EXPECT_LE(dataSize, piece.size());
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

std::string DecodeInPieces(const Bytes& stream, const std::vector<std::size_t>& cuts) {
  Decoder decoder;
  Transcript transcript;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    transcript.Feed(decoder, Bytes(stream.begin() + from, stream.begin() + cut));
    from = cut;
  }
  transcript.Feed(decoder, Bytes(stream.begin() + from, stream.end()));
  return transcript.text();
}

TEST(Rfc2217Decoder, EveryWayOfSplittingAStreamDecodesTheSame) {
  const Bytes stream = {
      'a', IAC, IAC, 'b',                                           // doubled IAC in data
      IAC, WILL, COM, IAC, DO, 1, IAC, DONT, 3, IAC, WONT, 0,       // negotiation
      IAC, SB, COM, 1, 0, 1, IAC, IAC, IAC, IAC, IAC, SE,           // baud rate 0x0001FFFF
      'c', IAC, NOP, IAC, GA, IAC, SE, 'd',                         // commands and SE dropped
      IAC, SB, 24, 0, 'x', IAC, IAC, IAC, SE,                       // another option: dropped
      IAC, SB, COM, 0, 'h', IAC, IAC, 'i', IAC, SE,                 // signature with a 255
      IAC, SB, COM, 2, 7, 8, IAC, SE,                               // bad length
      IAC, IAC, IAC};                                               // data 255, IAC pending
  const std::string expected =
      " 97 255 98 [neg 251 44] [neg 253 1] [neg 254 3] [neg 252 0] [req 1 131071 '']"
      " 99 100 [req 0 0 'h\xFFi'] [bad SET-DATASIZE with 2 value bytes instead of 1] 255";
  EXPECT_EQ(DecodeInPieces(stream, {}), expected);
  for (std::size_t cut = 1; cut < stream.size(); ++cut)
    EXPECT_EQ(DecodeInPieces(stream, {cut}), expected) << "cut at " << cut;
  std::vector<std::size_t> everyByte;
  for (std::size_t cut = 1; cut < stream.size(); ++cut) everyByte.push_back(cut);
  EXPECT_EQ(DecodeInPieces(stream, everyByte), expected);
}

TEST(Rfc2217Decoder, EachCommandAndBadSubnegotiations) {
  struct Case {
    Bytes value;           // after IAC SB COM-PORT-OPTION, before IAC SE
    std::string expected;  // as the transcript shows it
  } cases[] = {
      {{0}, "[req 0 0 '']"},
      {{0, 'p', 'y'}, "[req 0 0 'py']"},
      {{1, 0, 0, 0x25, 0x80}, "[req 1 9600 '']"},
      {{1, 0, 0, 0}, "[bad SET-BAUDRATE with 3 value bytes instead of 4]"},
      {{1, 0, 0, 0, 0, 0}, "[bad SET-BAUDRATE with 5 value bytes instead of 4]"},
      {{2, 7}, "[req 2 7 '']"},
      {{3, 3}, "[req 3 3 '']"},
      {{4, 1}, "[req 4 1 '']"},
      {{5, 19}, "[req 5 19 '']"},
      {{5}, "[bad SET-CONTROL with 0 value bytes instead of 1]"},
      {{6}, "[req 6 0 '']"},
      {{6, 0}, "[req 6 0 '']"},
      {{7}, "[req 7 0 '']"},
      {{7, 1, 2}, "[bad NOTIFY-MODEMSTATE with 2 value bytes instead of 0 or 1]"},
      {{8}, "[req 8 0 '']"},
      {{9}, "[req 9 0 '']"},
      {{10, 0x1E}, "[req 10 30 '']"},
      {{11, IAC, IAC}, "[req 11 255 '']"},
      {{12, 3}, "[req 12 3 '']"},
      {{12, 3, 3}, "[bad PURGE-DATA with 2 value bytes instead of 1]"},
      {{13, 1}, "[bad unknown com port command 13]"},
      {{112, 1}, "[bad unknown com port command 112]"},
      {{}, "[bad com port subnegotiation without a command]"},
      {{1, 0, 0, IAC, NOP, 0x10, 0}, "[req 1 4096 '']"},  // a command inside is dropped
  };
  for (const Case& c : cases) {
    Bytes stream = {IAC, SB, COM};
    stream.insert(stream.end(), c.value.begin(), c.value.end());
    stream.insert(stream.end(), {IAC, SE});
    EXPECT_EQ(DecodeInPieces(stream, {}), " " + c.expected) << Hex(c.value);
  }
  // Truncated: nothing until the end comes; a new SB gives up the unfinished subnegotiation.
  EXPECT_EQ(DecodeInPieces({IAC, SB, COM, 1, 0, 0}, {}), "");
  EXPECT_EQ(DecodeInPieces({IAC, SB, COM, 1, 0, IAC, SB, COM, 2, 8, IAC, SE, 'z'}, {}),
            " [req 2 8 ''] 122");
  // An empty subnegotiation and one of another option leave nothing.
  EXPECT_EQ(DecodeInPieces({'a', IAC, SB, IAC, SE, IAC, SB, 31, 0, 80, 0, 24, IAC, SE, 'b'}, {}),
            " 97 98");
}

TEST(Rfc2217Decoder, EndlessSubnegotiationStaysBoundedAndIsReportedMalformed) {
  for (std::uint8_t option : {COM, std::uint8_t{24}}) {
    Decoder decoder;
    Bytes start = {IAC, SB, option, 0};
    decoder.Feed(start.data(), start.size());
    const Bytes block(4096, 'x');
    for (int i = 0; i < 256; ++i) {  // 1 MiB
      decoder.Feed(block.data(), block.size());
      ASSERT_TRUE(decoder.Items().empty());
    }
    const Bytes end = {IAC, SE, 'k'};
    Transcript transcript;
    transcript.Feed(decoder, end);
    EXPECT_EQ(transcript.text(), option == COM
                                     ? " [bad com port subnegotiation longer than 64 bytes] 107"
                                     : " 107");
  }
  // Exactly the limit is still decoded.
  Bytes stream = {IAC, SB, COM, 0};
  stream.insert(stream.end(), Decoder::kMaxSubnegotiation - 2, 's');
  stream.insert(stream.end(), {IAC, SE});
  EXPECT_EQ(DecodeInPieces(stream, {}),
            " [req 0 0 '" + std::string(Decoder::kMaxSubnegotiation - 2, 's') + "']");
}

TEST(Rfc2217Encoder, DoublesEveryIac) {
  const Bytes data = {'a', IAC, IAC, 0, IAC};
  Bytes out = {7};
  rfc2217::EncodeData(data.data(), data.size(), out);
  EXPECT_EQ(out, (Bytes{7, 'a', IAC, IAC, IAC, IAC, 0, IAC, IAC}));

  const Bytes rate = {0x00, 0x01, 0xFF, 0xFF};
  out.clear();
  rfc2217::AppendServerCommand(Command::kSetBaudRate, rate.data(), rate.size(), out);
  EXPECT_EQ(out, (Bytes{IAC, SB, COM, 101, 0x00, 0x01, IAC, IAC, IAC, IAC, IAC, SE}));
  // What the server sends decodes back to the value.
  Decoder decoder;
  out[3] = 1;  // as a client's SET-BAUDRATE
  decoder.Feed(out.data(), out.size());
  ASSERT_EQ(decoder.Items().size(), 1u);
  EXPECT_EQ(decoder.Items()[0].request.value, 0x0001FFFFu);
}

// ---- negotiation -------------------------------------------------------------------------------

TEST(Rfc2217Negotiation, AnswersAgreeOrRefuseOnceAndNeverLoop) {
  rfc2217::Negotiation offered;
  Bytes out;
  offered.Offer(out);
  EXPECT_EQ(out, (Bytes{IAC, WILL, COM, IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3}));

  struct Step {
    std::uint8_t verb, option;
    Bytes answer;
  };
  struct Case {
    const char* name;
    bool offer;
    std::vector<Step> steps;
    bool comPort;
  } cases[] = {
      // pyserial: DO ECHO, WILL SGA, DO SGA, DO COM-PORT, WILL COM-PORT; then it answers our
      // WILL BINARY with DO and our DO BINARY with WILL.
      {"pyserial",
       true,
       {{DO, 1, {IAC, WONT, 1}},
        {WILL, 3, {}},
        {DO, 3, {}},
        {DO, COM, {}},
        {WILL, COM, {IAC, DO, COM}},
        {DO, 0, {}},
        {WILL, 0, {}},
        {WILL, COM, {}},
        {DO, 0, {}}},
       true},
      {"unknown options refused every time",
       true,
       {{WILL, 1, {IAC, DONT, 1}}, {DO, 24, {IAC, WONT, 24}}, {DO, 24, {IAC, WONT, 24}},
        {DONT, 24, {}}, {WONT, 1, {}}},
       false},
      {"switched off once",
       true,
       {{DO, 0, {}}, {DONT, 0, {IAC, WONT, 0}}, {DONT, 0, {}}, {WILL, 3, {}},
        {WONT, 3, {IAC, DONT, 3}}, {WONT, 3, {}}, {DO, 0, {IAC, WILL, 0}}},
       false},
      {"refused offer needs no answer",
       true,
       {{DONT, COM, {}}, {WONT, 0, {}}, {DO, COM, {IAC, WILL, COM}}, {WILL, 0, {IAC, DO, 0}}},
       true},
      {"without an offer",
       false,
       {{DO, 3, {IAC, WILL, 3}}, {WILL, 3, {IAC, DO, 3}}, {DO, 3, {}}, {WILL, COM, {IAC, DO, COM}},
        {DONT, 44, {}}},
       true},
  };
  for (const Case& c : cases) {
    rfc2217::Negotiation negotiation;
    Bytes ignored;
    if (c.offer) negotiation.Offer(ignored);
    for (const Step& step : c.steps) {
      Bytes answer;
      negotiation.Answer(step.verb, step.option, answer);
      EXPECT_EQ(Hex(answer), Hex(step.answer))
          << c.name << ": " << int{step.verb} << " " << int{step.option};
    }
    EXPECT_EQ(negotiation.ComPortActive(), c.comPort) << c.name;
  }

  // Two servers offering to each other settle within a few rounds.
  rfc2217::Negotiation a, b;
  Bytes toB, toA;
  a.Offer(toB);
  b.Offer(toA);
  int rounds = 0;
  while ((!toA.empty() || !toB.empty()) && rounds < 10) {
    Bytes nextA, nextB;
    for (std::size_t i = 0; i + 2 < toB.size(); i += 3) b.Answer(toB[i + 1], toB[i + 2], nextA);
    for (std::size_t i = 0; i + 2 < toA.size(); i += 3) a.Answer(toA[i + 1], toA[i + 2], nextB);
    toA = nextA;
    toB = nextB;
    ++rounds;
  }
  EXPECT_LE(rounds, 2);
  EXPECT_TRUE(a.ComPortActive() && b.ComPortActive());
}

// ---- port control ------------------------------------------------------------------------------

// A serial port that records the control calls and can refuse them.
class FakePort : public os::SerialPort {
 public:
  std::string calls;
  int refuse = 0;  // error number every control call returns while nonzero
  unsigned lines = 0;
  unsigned errors = 0;

  int SetupBuffers(std::uint32_t, std::uint32_t) override { return 0; }
  int GetLineSettings(os::LineSettings*) override { return 0; }
  int SetLineSettings(const os::LineSettings& s) override {
    static const char* kFlows[] = {"none", "xon", "hw"};
    Record("line " + std::to_string(s.baudRate) + " " + std::to_string(s.byteSize) + " " +
           std::to_string(s.parity) + (s.parityCheck ? "+" : "") + " " +
           std::to_string(s.stopBits) + " " + kFlows[static_cast<int>(s.flow)]);
    return refuse;
  }
  int GetTimeouts() override { return 0; }
  int SetNonBlockingTimeouts() override { return 0; }
  int SetModemLine(os::ModemLine line, bool high) override {
    Record(std::string(line == os::ModemLine::kDtr ? "DTR " : "RTS ") + (high ? "1" : "0"));
    return refuse;
  }
  int SetBreak(bool on) override {
    Record(std::string("break ") + (on ? "1" : "0"));
    return refuse;
  }
  int GetModemStatus(unsigned* out) override {
    *out = lines;
    return 0;
  }
  int PurgeReceive() override {
    Record("purge");
    return refuse;
  }
  int TakeLineErrors(unsigned* out) override {
    *out = errors;
    errors = 0;
    return 0;
  }
  int SetReceiveMask(bool) override { return 0; }
  os::Waitable* LineChangeWaitable() override { return nullptr; }
  int ArmReceiveWait() override { return 0; }
  os::Waitable* ReceiveWaitable() override { return nullptr; }
  bool ReceiveWaitDone() override { return true; }
  int Read(std::uint8_t*, std::size_t, std::size_t* got) override {
    *got = 0;
    return 0;
  }
  int StartWrite(const std::uint8_t*, std::size_t size, std::size_t* written) override {
    *written = size;
    return 0;
  }
  os::Waitable* WriteWaitable() override { return nullptr; }
  bool WritePending() const override { return false; }
  int FinishWrite(std::size_t* written) override {
    *written = 0;
    return 0;
  }
  std::size_t UnsentBytes() override { return 0; }
  int DiscardWrite(std::size_t* dropped) override {
    *dropped = 0;
    return 0;
  }

 private:
  void Record(const std::string& call) { calls += (calls.empty() ? "" : ", ") + call; }
};

os::LineSettings Configured(os::FlowControl flow = os::FlowControl::kNone) {
  os::LineSettings line;
  line.baudRate = 9600;
  line.flow = flow;
  return line;
}

// One session's PortControl on a fake port, logging into a temporary directory.
class PortControlTest : public vmds_unit::DebugFlagTest {
 protected:
  void SetUp() override {
    DebugFlagTest::SetUp();
    log_.LogFilename = dir_.File("vmds.log");
  }
  std::unique_ptr<rfc2217::PortControl> Make(os::FlowControl flow = os::FlowControl::kNone) {
    return std::make_unique<rfc2217::PortControl>(port_, Configured(flow), client_, comPort_,
                                                  log_);
  }
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    for (const std::string& line : vmds_unit::LogLines(vmds_unit::ReadWholeFile(log_.LogFilename)))
      messages.push_back(vmds_unit::MessageOf(line));
    return messages;
  }

  vmds_unit::TempDir dir_;
  LogSettings log_;
  FakePort port_;
  const std::string client_ = "127.0.0.1";
  const std::string comPort_ = "COM1";
};

rfc2217::Request Req(Command command, std::uint32_t value = 0, std::string text = "") {
  rfc2217::Request request;
  request.command = command;
  request.value = value;
  request.text = std::move(text);
  return request;
}

std::string EffectsText(const rfc2217::Effects& e) {
  std::string text;
  if (e.purgeFromDevice) text += "from ";
  if (e.purgeToDevice) text += "to ";
  if (e.suspendToClient) text += "suspend ";
  if (e.resumeToClient) text += "resume ";
  return text;
}

// The answer a request gets: IAC SB COM-PORT-OPTION <code + 100> <value> IAC SE.
Bytes Answer(std::uint8_t code, Bytes value) {
  // Built byte by byte: GCC 12 at -O2 takes inserting a range here for a read out of bounds.
  Bytes out;
  out.reserve(value.size() + 6);
  for (std::uint8_t byte : {IAC, SB, COM, static_cast<std::uint8_t>(code + 100)}) {
    out.push_back(byte);
  }
  for (std::uint8_t byte : value) out.push_back(byte);
  out.push_back(IAC);
  out.push_back(SE);
  return out;
}

TEST_F(PortControlTest, EveryCommandIsAnsweredWithTheValueInForce) {
  const std::string signature = "Velmora Device Server COM1";
  const Bytes signatureBytes(signature.begin(), signature.end());
  struct Case {
    rfc2217::Request request;
    os::FlowControl flow;  // configured
    std::string calls;
    Bytes answer;
    std::string effects;
    std::string debugLine;  // after "127.0.0.1 RFC 2217 "
  } cases[] = {
      {Req(Command::kSignature), {}, "", Answer(0, signatureBytes), "",
       "SIGNATURE (query), answered \"Velmora Device Server COM1\""},
      {Req(Command::kSignature, 0, "py\nserial"), {}, "", Answer(0, signatureBytes), "",
       "SIGNATURE \"py\\x0Aserial\", answered \"Velmora Device Server COM1\""},
      {Req(Command::kSetBaudRate, 0), {}, "", Answer(1, {0, 0, 0x25, 0x80}), "",
       "SET-BAUDRATE 0, answered 9600"},
      {Req(Command::kSetBaudRate, 115200), {}, "line 115200 8 0 0 none",
       Answer(1, {0, 1, 0xC2, 0}), "", "SET-BAUDRATE 115200, answered 115200"},
      {Req(Command::kSetDataSize, 0), {}, "", Answer(2, {8}), "", "SET-DATASIZE 0, answered 8"},
      {Req(Command::kSetDataSize, 5), {}, "line 9600 5 0 0 none", Answer(2, {5}), "",
       "SET-DATASIZE 5, answered 5"},
      {Req(Command::kSetDataSize, 9), {}, "", Answer(2, {8}), "",
       "SET-DATASIZE 9, answered 8 (out of range)"},
      {Req(Command::kSetParity, 0), {}, "", Answer(3, {1}), "", "SET-PARITY 0, answered 1"},
      {Req(Command::kSetParity, 3), {}, "line 9600 8 2+ 0 none", Answer(3, {3}), "",
       "SET-PARITY 3, answered 3"},
      {Req(Command::kSetParity, 5), {}, "line 9600 8 4+ 0 none", Answer(3, {5}), "",
       "SET-PARITY 5, answered 5"},
      {Req(Command::kSetParity, 6), {}, "", Answer(3, {1}), "",
       "SET-PARITY 6, answered 1 (out of range)"},
      {Req(Command::kSetStopSize, 0), {}, "", Answer(4, {1}), "", "SET-STOPSIZE 0, answered 1"},
      {Req(Command::kSetStopSize, 2), {}, "line 9600 8 0 2 none", Answer(4, {2}), "",
       "SET-STOPSIZE 2, answered 2"},
      {Req(Command::kSetStopSize, 3), {}, "line 9600 8 0 1 none", Answer(4, {3}), "",
       "SET-STOPSIZE 3, answered 3"},
      {Req(Command::kSetStopSize, 4), {}, "", Answer(4, {1}), "",
       "SET-STOPSIZE 4, answered 1 (out of range)"},
      {Req(Command::kSetControl, 0), os::FlowControl::kXonXoff, "", Answer(5, {2}), "",
       "SET-CONTROL 0, answered 2"},
      {Req(Command::kSetControl, 3), {}, "line 9600 8 0 0 hw", Answer(5, {3}), "",
       "SET-CONTROL 3, answered 3"},
      {Req(Command::kSetControl, 13), os::FlowControl::kHardware, "", Answer(5, {16}), "",
       "SET-CONTROL 13, answered 16"},
      {Req(Command::kSetControl, 15), {}, "line 9600 8 0 0 xon", Answer(5, {15}), "",
       "SET-CONTROL 15, answered 15"},
      {Req(Command::kSetControl, 14), os::FlowControl::kHardware, "line 9600 8 0 0 none",
       Answer(5, {14}), "", "SET-CONTROL 14, answered 14"},
      {Req(Command::kSetControl, 4), {}, "", Answer(5, {6}), "", "SET-CONTROL 4, answered 6"},
      {Req(Command::kSetControl, 5), {}, "break 1", Answer(5, {5}), "",
       "SET-CONTROL 5, answered 5"},
      {Req(Command::kSetControl, 6), {}, "break 0", Answer(5, {6}), "",
       "SET-CONTROL 6, answered 6"},
      {Req(Command::kSetControl, 7), {}, "", Answer(5, {8}), "", "SET-CONTROL 7, answered 8"},
      {Req(Command::kSetControl, 9), {}, "DTR 0", Answer(5, {9}), "", "SET-CONTROL 9, answered 9"},
      {Req(Command::kSetControl, 8), {}, "DTR 1", Answer(5, {8}), "", "SET-CONTROL 8, answered 8"},
      {Req(Command::kSetControl, 10), {}, "", Answer(5, {11}), "", "SET-CONTROL 10, answered 11"},
      {Req(Command::kSetControl, 12), {}, "RTS 0", Answer(5, {12}), "",
       "SET-CONTROL 12, answered 12"},
      {Req(Command::kSetControl, 12), os::FlowControl::kHardware, "", Answer(5, {11}), "",
       "SET-CONTROL 12, answered 11 (RTS belongs to the hardware handshake)"},
      {Req(Command::kSetControl, 17), {}, "", Answer(5, {1}), "",
       "SET-CONTROL 17, answered 1 (not supported)"},
      {Req(Command::kSetControl, 19), os::FlowControl::kXonXoff, "", Answer(5, {2}), "",
       "SET-CONTROL 19, answered 2 (not supported)"},
      {Req(Command::kNotifyLineState), {}, "", Answer(6, {0}), "",
       "NOTIFY-LINESTATE 0, answered 0"},
      {Req(Command::kNotifyModemState), {}, "", Answer(7, {0xB0}), "",
       "NOTIFY-MODEMSTATE 0, answered 176"},
      {Req(Command::kFlowControlSuspend), {}, "", {}, "suspend ",
       "FLOWCONTROL-SUSPEND, not answered"},
      {Req(Command::kFlowControlResume), {}, "", {}, "resume ", "FLOWCONTROL-RESUME, not answered"},
      {Req(Command::kSetLineStateMask, 0x1E), {}, "", Answer(10, {0x1E}), "",
       "SET-LINESTATE-MASK 30, answered 30"},
      {Req(Command::kSetModemStateMask, 255), {}, "", Answer(11, {IAC, IAC}), "",
       "SET-MODEMSTATE-MASK 255, answered 255"},
      {Req(Command::kPurgeData, 1), {}, "purge", Answer(12, {1}), "from ",
       "PURGE-DATA 1, answered 1"},
      {Req(Command::kPurgeData, 2), {}, "", Answer(12, {2}), "to ", "PURGE-DATA 2, answered 2"},
      {Req(Command::kPurgeData, 3), {}, "purge", Answer(12, {3}), "from to ",
       "PURGE-DATA 3, answered 3"},
      {Req(Command::kPurgeData, 4), {}, "", Answer(12, {4}), "",
       "PURGE-DATA 4, answered 4 (not supported)"},
  };
  port_.lines = os::kModemCts | os::kModemDsr | os::kModemDcd;
  for (const Case& c : cases) {
    std::remove(log_.LogFilename.c_str());
    port_.calls.clear();
    auto control = Make(c.flow);
    Bytes out = {1};
    const rfc2217::Effects effects = control->Handle(c.request, out);
    Bytes expected = {1};
    expected.insert(expected.end(), c.answer.begin(), c.answer.end());
    const std::string what = c.debugLine;
    EXPECT_EQ(Hex(out), Hex(expected)) << what;
    EXPECT_EQ(port_.calls, c.calls) << what;
    EXPECT_EQ(EffectsText(effects), c.effects) << what;
    EXPECT_EQ(Messages(), std::vector<std::string>{"127.0.0.1 RFC 2217 " + c.debugLine});
  }
  // Without debug, nothing is logged.
  std::remove(log_.LogFilename.c_str());
  DebugEnabled = false;
  Bytes out;
  Make()->Handle(Req(Command::kSetBaudRate, 19200), out);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(PortControlTest, RefusedValuesAreLoggedAndAnsweredWithWhatStaysInForce) {
  struct Case {
    rfc2217::Request request;
    Bytes answer;
    std::string logged;
  } cases[] = {
      {Req(Command::kSetBaudRate, 1234567), Answer(1, {0, 0, 0x25, 0x80}),
       "127.0.0.1 asked for bit rate 1234567 on COM1, Win32 Error #: 87; kept 9600"},
      {Req(Command::kSetDataSize, 5), Answer(2, {8}),
       "127.0.0.1 asked for data size 5 on COM1, Win32 Error #: 87; kept 8"},
      {Req(Command::kSetParity, 4), Answer(3, {1}),
       "127.0.0.1 asked for parity mark on COM1, Win32 Error #: 87; kept none"},
      {Req(Command::kSetStopSize, 3), Answer(4, {1}),
       "127.0.0.1 asked for stop bits 1.5 on COM1, Win32 Error #: 87; kept 1"},
      {Req(Command::kSetControl, 3), Answer(5, {1}),
       "127.0.0.1 asked for flow control hardware on COM1, Win32 Error #: 87; kept none"},
      {Req(Command::kSetControl, 5), Answer(5, {6}),
       "127.0.0.1 asked for break on on COM1, Win32 Error #: 87; kept off"},
      {Req(Command::kSetControl, 9), Answer(5, {8}),
       "127.0.0.1 asked for DTR low on COM1, Win32 Error #: 87; kept high"},
      {Req(Command::kSetControl, 12), Answer(5, {11}),
       "127.0.0.1 asked for RTS low on COM1, Win32 Error #: 87; kept high"},
      {Req(Command::kPurgeData, 1), Answer(12, {1}),
       "Win32 Error #: 87 Could not purge the receive buffer of COM1 for 127.0.0.1"},
  };
  port_.refuse = os::kErrInvalidParameter;
  DebugEnabled = false;
  for (const Case& c : cases) {
    auto control = Make();
    const unsigned long before = LastLoggedLine().count;
    Bytes out;
    control->Handle(c.request, out);
    EXPECT_EQ(Hex(out), Hex(c.answer)) << c.logged;
    EXPECT_EQ(LastLoggedLine().count, before + 1) << c.logged;
    EXPECT_EQ(LastLoggedLine().message, c.logged);
    // The next query still answers the old value, and the session goes on to restore nothing.
    port_.calls.clear();
    control->Restore();
    EXPECT_EQ(port_.calls, "") << c.logged;
  }
  EXPECT_EQ(Messages().size(), std::size(cases));
}

TEST_F(PortControlTest, LineNotificationsFollowChangesAndMasks) {
  auto control = Make();
  port_.lines = os::kModemCts;
  Bytes out;
  control->Started(out);
  EXPECT_EQ(Hex(out), Hex(Answer(7, {0x10})));

  struct Step {
    std::uint8_t modemMask, lineMask;
    unsigned lines, errors;
    Bytes sent;
    const char* what;
  } steps[] = {
      {255, 0, 0x10, 0, {}, "nothing changed"},
      {255, 0, 0x30, 0, Answer(7, {0x32}), "DSR up"},
      {255, 0, 0x70, 0, Answer(7, {0x70}), "ring starts: no delta bit"},
      {255, 0, 0x30, 0, Answer(7, {0x34}), "ring ends: trailing edge"},
      {255, 0, 0xA0, 0, Answer(7, {0xA9}), "CTS down, DCD up"},
      {0x08, 0, 0x20, 0, Answer(7, {0x08}), "DCD down: only its delta"},
      {0x08, 0, 0x00, 0, {}, "DSR down masked out"},
      {0x02, 0, 0x00, 0, {}, "the hidden change counts as reported"},
      {0x08, 0, 0x80, 0, Answer(7, {0x08}), "DCD up: only its delta"},
      {0x0F, 0, 0x80, 0, {}, "nothing changed"},
      {255, 0, 0x80, 0x0A, {}, "line errors with mask 0"},
      {255, 0x1E, 0x80, 0x12, Answer(6, {0x12}), "break and overrun"},
      {255, 0x10, 0x80, 0x0C, {}, "parity and framing masked out"},
      {255, 0x10, 0xF0, 0x18, Bytes{IAC, SB, COM, 107, 0xF3, IAC, SE, IAC, SB, COM, 106, 0x10,
                                    IAC, SE}, "both at once"},
  };
  for (const Step& step : steps) {
    Bytes answer;
    control->Handle(Req(Command::kSetModemStateMask, step.modemMask), answer);
    control->Handle(Req(Command::kSetLineStateMask, step.lineMask), answer);
    port_.lines = step.lines;
    port_.errors = step.errors;
    out.clear();
    control->CheckLines(out);
    EXPECT_EQ(Hex(out), Hex(step.sent)) << step.what;
  }
}

TEST_F(PortControlTest, RestorePutsBackWhatTheClientChangedAndOnlyThat) {
  struct Case {
    os::FlowControl flow;  // configured
    std::vector<rfc2217::Request> requests;
    std::string restoreCalls;
  } cases[] = {
      {{}, {}, ""},
      {{}, {Req(Command::kSetBaudRate, 0), Req(Command::kSetControl, 0)}, ""},
      {{},
       {Req(Command::kSetBaudRate, 19200), Req(Command::kSetControl, 5),
        Req(Command::kSetControl, 9), Req(Command::kSetControl, 12)},
       "line 9600 8 0 0 none, break 0, DTR 1, RTS 1"},
      {{},
       {Req(Command::kSetBaudRate, 19200), Req(Command::kSetBaudRate, 9600),
        Req(Command::kSetControl, 9), Req(Command::kSetControl, 8), Req(Command::kSetControl, 5),
        Req(Command::kSetControl, 6)},
       ""},
      {{}, {Req(Command::kSetParity, 2)}, "line 9600 8 0 0 none"},
      {{}, {Req(Command::kSetControl, 16)}, "line 9600 8 0 0 none"},
      // RTS lowered, then the handshake taken and left again at the restore: the driver raises RTS.
      {{}, {Req(Command::kSetControl, 12), Req(Command::kSetControl, 3)}, "line 9600 8 0 0 none"},
      // Under a configured handshake the driver holds RTS after the restore.
      {os::FlowControl::kHardware,
       {Req(Command::kSetControl, 1), Req(Command::kSetControl, 12)},
       "line 9600 8 0 0 hw"},
      {{}, {Req(Command::kSetModemStateMask, 0), Req(Command::kSetLineStateMask, 255)}, ""},
  };
  for (const Case& c : cases) {
    auto control = Make(c.flow);
    Bytes out;
    for (const rfc2217::Request& request : c.requests) control->Handle(request, out);
    port_.calls.clear();
    control->Restore();
    EXPECT_EQ(port_.calls, c.restoreCalls) << c.requests.size() << " requests";
    port_.calls.clear();
    control->Restore();
    EXPECT_EQ(port_.calls, "") << "a second restore has nothing left to do";
  }
  // The masks are back to their defaults: every modem change, no line error.
  auto control = Make();
  Bytes out;
  control->Handle(Req(Command::kSetModemStateMask, 0), out);
  control->Handle(Req(Command::kSetLineStateMask, 255), out);
  control->Restore();
  port_.lines = os::kModemDsr;
  port_.errors = os::kLineFraming;
  out.clear();
  control->CheckLines(out);
  EXPECT_EQ(Hex(out), Hex(Answer(7, {0x22})));
}

}  // namespace
