// Serial ports of the Win32 platform layer.
//
// Opening errors need no device. The other cases run on a pair of linked pseudo-terminals that
// the test runner maps onto two COM ports, named by VMDS_TEST_COM_PORT and VMDS_TEST_COM_PEER;
// whatever one end writes the other receives. Character-received waits and the modem lines need
// the modem-control shim (VMDS_TEST_MODEM_SHIM=1); without it those cases are skipped. The
// shim's input-line file, as the program sees it, is VMDS_TEST_MODEM_INPUT.
#include <windows.h>
#undef CreateEvent

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/os.h"

namespace {

constexpr int kBoundMs = 5000;  // upper bound for waits that must end much sooner

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

TEST(Win32SerialOpen, PortWithoutADeviceDoesNotExist) {
  int error = 0;
  EXPECT_FALSE(os::OpenSerialDevice("COM250", &error));
  EXPECT_EQ(error, os::kErrFileNotFound);
}

TEST(Win32SerialOpen, NameLongerThanTheDevicePathAllowsIsRefused) {
  int error = 0;
  EXPECT_FALSE(os::OpenSerialDevice("COM123456789", &error));  // 12 characters
  EXPECT_EQ(error, ERROR_INVALID_NAME);
  EXPECT_FALSE(os::OpenSerialDevice("", &error));
  EXPECT_EQ(error, ERROR_INVALID_NAME);
}

class Win32Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    portName_ = Env("VMDS_TEST_COM_PORT");
    peerName_ = Env("VMDS_TEST_COM_PEER");
    if (portName_.empty() || peerName_.empty()) GTEST_SKIP() << "no pseudo-terminal COM ports";
    port_ = Open(portName_);
    peer_ = Open(peerName_);
    ASSERT_TRUE(port_ && peer_);
  }

  static bool ShimLoaded() { return Env("VMDS_TEST_MODEM_SHIM") == "1"; }

  // Opens and configures a port the way the device server does.
  static std::unique_ptr<os::SerialPort> Open(const std::string& name) {
    int error = 0;
    auto port = os::OpenSerialDevice(name, &error);
    EXPECT_TRUE(port) << name << ": error " << error;
    if (!port) return nullptr;
    EXPECT_EQ(port->SetupBuffers(128, 128), 0);
    os::LineSettings line;
    EXPECT_EQ(port->GetLineSettings(&line), 0);
    line.baudRate = 9600;
    line.byteSize = 8;
    line.parity = 0;
    line.parityCheck = false;
    line.stopBits = 0;
    line.flow = os::FlowControl::kNone;
    EXPECT_EQ(port->SetLineSettings(line), 0);
    EXPECT_EQ(port->SetNonBlockingTimeouts(), 0);
    EXPECT_EQ(port->SetReceiveMask(false), 0);
    return port;
  }

  // Writes `data` through `port` and waits for the write to end; returns the bytes written.
  static std::size_t WriteAll(os::SerialPort& port, const std::string& data) {
    std::size_t written = 0;
    int error = port.StartWrite(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
                                &written);
    if (error == os::kErrIoPending) {
      os::Waitable* handles[] = {port.WriteWaitable()};
      int waitError = 0;
      EXPECT_EQ(os::WaitAny(handles, kBoundMs, &waitError), 0);
      error = port.FinishWrite(&written);
    }
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(port.WritePending());
    return written;
  }

  // Receives through character-received waits and reads of at most `chunk` bytes until `size`
  // bytes came or a wait ran into its bound.
  static std::string ReceiveByWaiting(os::SerialPort& port, std::size_t size, std::size_t chunk) {
    std::string received;
    for (int round = 0; received.size() < size && round < 1000; ++round) {
      int armed = port.ArmReceiveWait();
      EXPECT_TRUE(armed == 0 || armed == os::kErrIoPending) << armed;
      os::Waitable* handles[] = {port.ReceiveWaitable()};
      int error = 0;
      if (os::WaitAny(handles, kBoundMs, &error) != 0) break;
      port.ReceiveWaitDone();
      std::uint8_t buffer[128];
      std::size_t got = 0;
      EXPECT_EQ(port.Read(buffer, chunk, &got), 0);
      EXPECT_LE(got, chunk);
      received.append(reinterpret_cast<char*>(buffer), got);
    }
    return received;
  }

  std::string portName_, peerName_;
  std::unique_ptr<os::SerialPort> port_, peer_;
};

TEST_F(Win32Serial, ReadOfAnEmptyPortReturnsNothingAtOnce) {
  std::uint8_t buffer[64];
  std::size_t got = 99;
  EXPECT_EQ(port_->Read(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(got, 0u);
}

TEST_F(Win32Serial, WrittenBytesArriveAtThePeerUnchanged) {
  if (!ShimLoaded()) GTEST_SKIP() << "character-received waits need the modem-control shim";
  std::string data;
  for (int i = 0; i < 64; ++i) data += static_cast<char>(i * 4);  // NUL, CR, LF, high bytes...
  EXPECT_EQ(WriteAll(*port_, data), data.size());
  EXPECT_EQ(ReceiveByWaiting(*peer_, data.size(), 64), data);
}

TEST_F(Win32Serial, BurstLargerThanAReadComesInChunksWithoutWaitingForMoreInput) {
  if (!ShimLoaded()) GTEST_SKIP() << "character-received waits need the modem-control shim";
  std::string data(100, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(WriteAll(*peer_, data), data.size());
  // Bytes left queued after a short read must wake the next wait by themselves: nothing more
  // arrives to raise a character-received event.
  EXPECT_EQ(ReceiveByWaiting(*port_, data.size(), 7), data);
}

// Bytes waiting in the port's receive queue, asked through a second handle to the same device
// (Wine allows that; on Windows the port is exclusive and the answer is "unknown", -1).
long QueuedAt(const std::string& portName) {
  HANDLE side = CreateFileA(("\\\\.\\" + portName).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (side == INVALID_HANDLE_VALUE) return -1;
  DWORD errors = 0;
  COMSTAT status{};
  long queued = ClearCommError(side, &errors, &status) ? static_cast<long>(status.cbInQue) : -1;
  CloseHandle(side);
  return queued;
}

TEST_F(Win32Serial, QueuedBytesSignalTheReceiveWaitAtOnce) {
  if (!ShimLoaded()) GTEST_SKIP() << "character-received waits need the modem-control shim";
  EXPECT_EQ(WriteAll(*peer_, "0123456789"), 10u);
  // Wait for the first byte, then take the bytes one at a time.
  ASSERT_EQ(ReceiveByWaiting(*port_, 1, 1), "0");
  const bool canAsk = QueuedAt(portName_) >= 0;
  std::string rest;
  int armedWhileQueued = 0;
  for (int round = 0; rest.size() < 9 && round < 100; ++round) {
    // On Windows a character-received wait only sees characters that arrive after it started,
    // so arming while bytes are queued must signal by itself, at once. (Wine's wait completes at
    // once on queued characters anyway, so there this holds either way.)
    bool queued = QueuedAt(portName_) > 0;
    int armed = port_->ArmReceiveWait();
    os::Waitable* handles[] = {port_->ReceiveWaitable()};
    int error = 0;
    if (queued) {
      ++armedWhileQueued;
      EXPECT_EQ(armed, 0);
      ASSERT_EQ(os::WaitAny(handles, 0, &error), 0);
    } else {
      ASSERT_TRUE(armed == 0 || armed == os::kErrIoPending) << armed;
      ASSERT_EQ(os::WaitAny(handles, kBoundMs, &error), 0);
    }
    port_->ReceiveWaitDone();
    std::uint8_t byte = 0;
    std::size_t got = 0;
    ASSERT_EQ(port_->Read(&byte, 1, &got), 0);
    if (got == 1) rest += static_cast<char>(byte);
  }
  EXPECT_EQ(rest, "123456789");
  if (canAsk) {
    EXPECT_GT(armedWhileQueued, 0) << "the bytes never sat in the queue: nothing was checked";
  }
}

TEST_F(Win32Serial, WriteKeepsItsOwnCopyOfTheDataAndOneWriteGoesAtATime) {
  if (!ShimLoaded()) GTEST_SKIP() << "character-received waits need the modem-control shim";
  std::vector<std::uint8_t> source = {'f', 'i', 'r', 's', 't'};
  std::size_t written = 0;
  int error = port_->StartWrite(source.data(), source.size(), &written);
  ASSERT_TRUE(error == 0 || error == os::kErrIoPending) << error;
  std::fill(source.begin(), source.end(), 'X');  // the caller reuses its buffer at once
  if (error == os::kErrIoPending) {
    // A second write while the first runs is refused, not queued and not waited for.
    std::uint8_t other = 'Z';
    EXPECT_EQ(port_->StartWrite(&other, 1, &written), os::kErrInvalidParameter);
    os::Waitable* handles[] = {port_->WriteWaitable()};
    int waitError = 0;
    ASSERT_EQ(os::WaitAny(handles, kBoundMs, &waitError), 0);
    EXPECT_EQ(port_->FinishWrite(&written), 0);
  }
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(WriteAll(*port_, "second"), 6u);
  EXPECT_EQ(ReceiveByWaiting(*peer_, 11, 64), "firstsecond");
  // Nothing outstanding: nothing to drop.
  std::size_t dropped = 99;
  EXPECT_EQ(port_->DiscardWrite(&dropped), 0);
  EXPECT_EQ(dropped, 0u);
}

TEST_F(Win32Serial, ClosingWithAnOutstandingReceiveWaitEndsItAndThePortOpensAgain) {
  int armed = port_->ArmReceiveWait();
  EXPECT_TRUE(armed == 0 || armed == os::kErrIoPending) << armed;
  // Closing must end the wait itself: a wait it cannot end would hold the close up for seconds
  // (and leave the port's buffers allocated).
  ULONGLONG started = GetTickCount64();
  port_.reset();
  EXPECT_LT(GetTickCount64() - started, 2000u);
  port_ = Open(portName_);
  ASSERT_TRUE(port_);
  if (!ShimLoaded()) return;
  EXPECT_EQ(WriteAll(*peer_, "again"), 5u);
  EXPECT_EQ(ReceiveByWaiting(*port_, 5, 64), "again");
}

TEST_F(Win32Serial, ModemLinesFollowTheRequests) {
  if (!ShimLoaded()) GTEST_SKIP() << "the modem lines of a pseudo-terminal need the shim";
  const std::string logPath = Env("VMDS_TEST_MODEM_LOG");
  auto readLog = [&] {
    std::vector<std::string> lines;
    std::ifstream file(logPath);
    for (std::string line; std::getline(file, line);) {
      if (line.rfind("DTR=", 0) == 0) lines.push_back(line);  // the levels; a break is logged too
    }
    return lines;
  };
  ASSERT_EQ(port_->SetModemLine(os::ModemLine::kDtr, true), 0);
  ASSERT_EQ(port_->SetModemLine(os::ModemLine::kRts, true), 0);
  const std::size_t before = readLog().size();
  EXPECT_EQ(port_->SetModemLine(os::ModemLine::kDtr, false), 0);
  EXPECT_EQ(port_->SetModemLine(os::ModemLine::kRts, false), 0);
  EXPECT_EQ(port_->SetModemLine(os::ModemLine::kDtr, true), 0);
  EXPECT_EQ(port_->SetModemLine(os::ModemLine::kRts, true), 0);
  if (logPath.empty()) return;
  // The shim logs the levels after every change.
  std::vector<std::string> lines = readLog();
  ASSERT_GE(lines.size(), before);
  std::vector<std::string> ours(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end());
  EXPECT_EQ(ours, (std::vector<std::string>{"DTR=0 RTS=1", "DTR=0 RTS=0", "DTR=1 RTS=0",
                                             "DTR=1 RTS=1"}))
      << "log " << logPath;
}

// Replaces the shim's input-line file in one step (a rename, which the shim's wait sees).
bool SetInputLines(const std::string& path, const std::string& text) {
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  return MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

TEST_F(Win32Serial, FlowControlBreakAndInputLines) {
  if (!ShimLoaded()) GTEST_SKIP() << "the modem lines of a pseudo-terminal need the shim";
  const std::string logPath = Env("VMDS_TEST_MODEM_LOG");
  const std::string inputPath = Env("VMDS_TEST_MODEM_INPUT");
  ASSERT_FALSE(inputPath.empty()) << "no input-line file";

  // Flow control: set, read back through the port and through the control block.
  HANDLE side = CreateFileA(("\\\\.\\" + portName_).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  for (os::FlowControl flow : {os::FlowControl::kHardware, os::FlowControl::kXonXoff,
                               os::FlowControl::kHardware, os::FlowControl::kNone}) {
    SCOPED_TRACE(static_cast<int>(flow));
    os::LineSettings line;
    ASSERT_EQ(port_->GetLineSettings(&line), 0);
    line.flow = flow;
    ASSERT_EQ(port_->SetLineSettings(line), 0);
    os::LineSettings back;
    ASSERT_EQ(port_->GetLineSettings(&back), 0);
    EXPECT_EQ(back.flow, flow);
    if (side == INVALID_HANDLE_VALUE) continue;  // Windows: the port is exclusive
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(side, &dcb));
    EXPECT_EQ(dcb.fOutxCtsFlow != 0, flow == os::FlowControl::kHardware);
    EXPECT_EQ(dcb.fOutX != 0, flow == os::FlowControl::kXonXoff);
    EXPECT_EQ(dcb.fInX != 0, flow == os::FlowControl::kXonXoff);
    if (flow == os::FlowControl::kXonXoff) {
      EXPECT_NE(dcb.XonChar, dcb.XoffChar);
    }
  }
  if (side != INVALID_HANDLE_VALUE) CloseHandle(side);

  // Break on and off: the shim logs both.
  auto breakLines = [&] {
    std::vector<std::string> lines;
    std::ifstream file(logPath);
    for (std::string line; std::getline(file, line);) {
      if (line.rfind("BREAK=", 0) == 0) lines.push_back(line);
    }
    return lines;
  };
  const std::size_t breaks = breakLines().size();
  EXPECT_EQ(port_->SetBreak(true), 0);
  EXPECT_EQ(port_->SetBreak(false), 0);
  if (!logPath.empty()) {
    std::vector<std::string> lines = breakLines();
    ASSERT_GE(lines.size(), breaks);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(breaks),
                                       lines.end()),
              (std::vector<std::string>{"BREAK=1", "BREAK=0"}));
  }

  // The input lines as the device holds them.
  struct Step {
    const char* input;
    unsigned expected;
  };
  const Step steps[] = {
      {"", os::kModemCts | os::kModemDsr | os::kModemDcd},
      {"CTS=0 RI=1", os::kModemDsr | os::kModemDcd | os::kModemRing},
      {"DSR=0 DCD=0", os::kModemCts},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.input);
    ASSERT_TRUE(SetInputLines(inputPath, step.input)) << GetLastError();
    unsigned lines = 0;
    ASSERT_EQ(port_->GetModemStatus(&lines), 0);
    EXPECT_EQ(lines, step.expected);
  }
  unsigned errors = 99;
  EXPECT_EQ(port_->TakeLineErrors(&errors), 0);
  EXPECT_EQ(errors, 0u);

  // With line changes in the mask a change of an input line completes the receive wait, which
  // brought no characters; the receive wait is the only one.
  ASSERT_EQ(port_->SetReceiveMask(true), 0);
  EXPECT_EQ(port_->LineChangeWaitable(), nullptr);
  const Step changes[] = {
      {"DSR=0 DCD=0 CTS=0", 0},
      {"DSR=1 DCD=0 CTS=0", os::kModemDsr},
      {"DSR=1 DCD=1 CTS=0", os::kModemDsr | os::kModemDcd},
      {"DSR=1 DCD=1 CTS=1", os::kModemDsr | os::kModemDcd | os::kModemCts},
  };
  for (const Step& step : changes) {
    SCOPED_TRACE(step.input);
    int armed = port_->ArmReceiveWait();
    ASSERT_TRUE(armed == 0 || armed == os::kErrIoPending) << armed;
    os::Waitable* handles[] = {port_->ReceiveWaitable()};
    int error = 0;
    EXPECT_EQ(os::WaitAny(handles, 0, &error), os::kWaitTimeout) << "woken before the change";
    ASSERT_TRUE(SetInputLines(inputPath, step.input));
    ASSERT_EQ(os::WaitAny(handles, kBoundMs, &error), 0) << "the change did not wake the wait";
    EXPECT_TRUE(port_->ReceiveWaitDone());
    std::uint8_t buffer[16];
    std::size_t got = 99;
    EXPECT_EQ(port_->Read(buffer, sizeof buffer, &got), 0);
    EXPECT_EQ(got, 0u);
    unsigned lines = 0;
    ASSERT_EQ(port_->GetModemStatus(&lines), 0);
    EXPECT_EQ(lines, step.expected);
  }
  // Characters still wake it, and arrive.
  ASSERT_EQ(WriteAll(*peer_, "data"), 4u);
  EXPECT_EQ(ReceiveByWaiting(*port_, 4, 64), "data");
  ASSERT_EQ(port_->SetReceiveMask(false), 0);
  ASSERT_TRUE(SetInputLines(inputPath, ""));
}

}  // namespace
