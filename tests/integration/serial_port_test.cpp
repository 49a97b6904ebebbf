// The Linux serial port of the platform layer on a pseudo-terminal, with the modem-line shim
// preloaded into this test program (ctest does that): flow control, break, the input lines and
// their watcher, and throwing received bytes away. The test holds the master side of the
// terminal; the master reads the slave's termios, and the shim's files stand for the device's
// input lines (VMDS_MODEM_INPUT) and record the port's requests (VMDS_MODEM_LOG).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/os.h"

namespace {

constexpr int kBoundMs = 10000;  // upper bound for waits that must end much sooner

// The shim's hooks: when a wait for the input lines is in place.
struct ShimHooks {
  unsigned long (*arms)() = nullptr;
  int (*waiters)() = nullptr;
  int (*waitArmed)(unsigned long after, int timeoutMs) = nullptr;
};

ShimHooks Hooks() {
  ShimHooks hooks;
  void* arms = dlsym(RTLD_DEFAULT, "vmds_modem_shim_arms");
  void* waiters = dlsym(RTLD_DEFAULT, "vmds_modem_shim_waiters");
  void* waitArmed = dlsym(RTLD_DEFAULT, "vmds_modem_shim_wait_armed");
  if (arms == nullptr || waiters == nullptr || waitArmed == nullptr) return hooks;
  hooks.arms = reinterpret_cast<unsigned long (*)()>(arms);
  hooks.waiters = reinterpret_cast<int (*)()>(waiters);
  hooks.waitArmed = reinterpret_cast<int (*)(unsigned long, int)>(waitArmed);
  return hooks;
}

class SerialPortUnderShim : public ::testing::Test {
 protected:
  void SetUp() override {
    hooks_ = Hooks();
    ASSERT_NE(hooks_.arms, nullptr) << "the modem-line shim is not preloaded";
    char dir[] = "/tmp/vmds_serial_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    input_ = dir_ + "/lines";
    log_ = dir_ + "/modem.log";
    setenv("VMDS_MODEM_INPUT", input_.c_str(), 1);
    setenv("VMDS_MODEM_LOG", log_.c_str(), 1);

    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    const char* slave = ptsname(master_);
    ASSERT_NE(slave, nullptr);
    int error = 0;
    port_ = os::OpenSerialDevice(slave, &error);
    ASSERT_TRUE(port_) << slave << ": error " << error;
    os::LineSettings line;
    ASSERT_EQ(port_->GetLineSettings(&line), 0);
    line.baudRate = 9600;
    line.flow = os::FlowControl::kNone;  // a fresh terminal has XON/XOFF on
    ASSERT_EQ(port_->SetLineSettings(line), 0);
    ASSERT_EQ(port_->SetNonBlockingTimeouts(), 0);
  }

  void TearDown() override {
    port_.reset();  // before the variables go: its watcher may still read them
    unsetenv("VMDS_MODEM_INPUT");
    unsetenv("VMDS_MODEM_LOG");
    if (master_ >= 0) close(master_);
    if (!dir_.empty() && dir_.rfind("/tmp/vmds_serial_test_", 0) == 0) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  // Replaces the input-line file in one step.
  void SetInput(const std::string& text) {
    const std::string temp = input_ + ".new";
    {
      std::ofstream out(temp, std::ios::trunc);
      out << text;
    }
    ASSERT_EQ(std::rename(temp.c_str(), input_.c_str()), 0);
  }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  termios MasterView() const {
    termios tio{};
    EXPECT_EQ(tcgetattr(master_, &tio), 0);
    return tio;
  }

  // Waits for `waitable` at most `timeoutMs`: true when it was signalled.
  static bool Signalled(os::Waitable* waitable, int timeoutMs) {
    os::Waitable* list[] = {waitable};
    int error = 0;
    return os::WaitAny(list, timeoutMs, &error) == 0;
  }

  ShimHooks hooks_;
  std::string dir_, input_, log_;
  int master_ = -1;
  std::unique_ptr<os::SerialPort> port_;
};

TEST_F(SerialPortUnderShim, FlowControlBreakAndPurgeReachTheTerminal) {
  // Flow control: what the terminal holds and what the port reads back, through changes in
  // every direction; leaving the handshake raises RTS.
  struct Step {
    os::FlowControl flow;
    bool crtscts, ixon, ixoff;
  };
  const Step steps[] = {
      {os::FlowControl::kHardware, true, false, false},
      {os::FlowControl::kXonXoff, false, true, true},
      {os::FlowControl::kHardware, true, false, false},
      {os::FlowControl::kNone, false, false, false},
      {os::FlowControl::kXonXoff, false, true, true},
      {os::FlowControl::kNone, false, false, false},
  };
  os::FlowControl before = os::FlowControl::kNone;
  for (const Step& step : steps) {
    SCOPED_TRACE(static_cast<int>(step.flow));
    os::LineSettings line;
    ASSERT_EQ(port_->GetLineSettings(&line), 0);
    line.flow = step.flow;
    const std::size_t logged = LogLines().size();
    ASSERT_EQ(port_->SetLineSettings(line), 0);
    termios tio = MasterView();
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, step.crtscts);
    EXPECT_EQ((tio.c_iflag & IXON) != 0, step.ixon);
    EXPECT_EQ((tio.c_iflag & IXOFF) != 0, step.ixoff);
    if (step.ixon) {
      EXPECT_EQ(tio.c_cc[VSTART], 0x11);
      EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    }
    // The other settings stay binary.
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    os::LineSettings back;
    ASSERT_EQ(port_->GetLineSettings(&back), 0);
    EXPECT_EQ(back.flow, step.flow);
    std::vector<std::string> lines = LogLines();
    const bool left = before == os::FlowControl::kHardware && step.flow != before;
    if (left) {
      ASSERT_EQ(lines.size(), logged + 1);
      EXPECT_EQ(lines.back(), "DTR=0 RTS=1") << "RTS raised after the handshake";
    } else {
      EXPECT_EQ(lines.size(), logged) << "the modem lines were touched";
    }
    before = step.flow;
  }

  // Break on and off, in the order asked.
  const std::size_t logged = LogLines().size();
  EXPECT_EQ(port_->SetBreak(true), 0);
  EXPECT_EQ(port_->SetBreak(false), 0);
  EXPECT_EQ(port_->SetBreak(true), 0);
  EXPECT_EQ(port_->SetBreak(false), 0);
  std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), logged);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(logged),
                                     lines.end()),
            (std::vector<std::string>{"BREAK=1", "BREAK=0", "BREAK=1", "BREAK=0"}));

  // A pseudo-terminal counts no line errors: none, and no failure.
  unsigned errors = 99;
  EXPECT_EQ(port_->TakeLineErrors(&errors), 0);
  EXPECT_EQ(errors, 0u);

  // Received bytes that were not read are thrown away; a read after the purge finds nothing and
  // that is no hang-up; bytes that come later arrive.
  ASSERT_EQ(write(master_, "stale", 5), 5);
  ASSERT_EQ(port_->SetReceiveMask(false), 0);
  ASSERT_EQ(port_->ArmReceiveWait(), 0);
  ASSERT_TRUE(Signalled(port_->ReceiveWaitable(), kBoundMs));
  port_->ReceiveWaitDone();
  ASSERT_EQ(port_->PurgeReceive(), 0);
  std::uint8_t buffer[64];
  std::size_t got = 99;
  EXPECT_EQ(port_->Read(buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(got, 0u);
  ASSERT_EQ(write(master_, "fresh", 5), 5);
  std::string received;
  for (int round = 0; received.size() < 5 && round < 100; ++round) {
    ASSERT_EQ(port_->ArmReceiveWait(), 0) << "the purge was taken for a hang-up";
    ASSERT_TRUE(Signalled(port_->ReceiveWaitable(), kBoundMs));
    port_->ReceiveWaitDone();
    ASSERT_EQ(port_->Read(buffer, sizeof buffer, &got), 0);
    received.append(reinterpret_cast<char*>(buffer), got);
  }
  EXPECT_EQ(received, "fresh");
}

TEST_F(SerialPortUnderShim, InputLinesAreReadAndTheirChangesWakeTheLineWaitable) {
  const unsigned kDefault = os::kModemCts | os::kModemDsr | os::kModemDcd;
  unsigned lines = 0;
  ASSERT_EQ(port_->GetModemStatus(&lines), 0);
  EXPECT_EQ(lines, kDefault);
  // The waitable is there from the opening on (and not signalled while nothing watches).
  os::Waitable* changed = port_->LineChangeWaitable();
  ASSERT_NE(changed, nullptr);

  unsigned long arms = hooks_.arms();
  ASSERT_EQ(port_->SetReceiveMask(true), 0);
  EXPECT_EQ(port_->LineChangeWaitable(), changed);
  ASSERT_EQ(hooks_.waitArmed(arms, kBoundMs), 1) << "the watcher never waited for the lines";

  // Each step changes the device's lines once the watcher waits: the waitable is not signalled
  // before the change, is signalled after it, and the lines read then are the new ones.
  struct Step {
    const char* input;
    unsigned expected;
  };
  const Step steps[] = {
      {"CTS=0", os::kModemDsr | os::kModemDcd},
      {"CTS=0 DSR=0", os::kModemDcd},
      {"CTS=0 DSR=0 RI=1", os::kModemDcd | os::kModemRing},
      {"CTS=0 DSR=0 RI=1 DCD=0", os::kModemRing},
      {"CTS=1 DSR=1 RI=0 DCD=1", kDefault},
      {"DCD=0", os::kModemCts | os::kModemDsr},
  };
  for (bool again : {false, true}) {
    for (const Step& step : steps) {
      SCOPED_TRACE(step.input);
      arms = hooks_.arms();
      EXPECT_FALSE(Signalled(changed, 0)) << "signalled before the lines changed";
      ASSERT_NO_FATAL_FAILURE(SetInput(step.input));
      ASSERT_TRUE(Signalled(changed, kBoundMs)) << "no wake after the lines changed";
      ASSERT_EQ(port_->GetModemStatus(&lines), 0);
      EXPECT_EQ(lines, step.expected);
      ASSERT_EQ(hooks_.waitArmed(arms, kBoundMs), 1) << "the watcher did not wait again";
    }
    EXPECT_FALSE(Signalled(changed, 0)) << "one change, one wake";
    if (again) break;
    // Without line changes in the mask the watcher ends; with them again a new one starts.
    ASSERT_NO_FATAL_FAILURE(SetInput(""));
    ASSERT_EQ(port_->SetReceiveMask(false), 0);
    EXPECT_EQ(hooks_.waiters(), 0) << "the watcher still waits";
    EXPECT_FALSE(Signalled(changed, 0)) << "a wake outlived the mask";
    arms = hooks_.arms();
    ASSERT_EQ(port_->SetReceiveMask(true), 0);
    EXPECT_EQ(port_->LineChangeWaitable(), changed);
    ASSERT_EQ(hooks_.waitArmed(arms, kBoundMs), 1);
    // The lines changed while nobody watched: that is no wake.
    EXPECT_FALSE(Signalled(changed, 0));
  }
}

TEST_F(SerialPortUnderShim, ClosingThePortEndsTheLineWatcher) {
  // With the watcher blocked in its wait, and with a watcher that found the driver unable to
  // wait (no input file: the shim refuses like a pseudo-terminal does) and ended by itself.
  for (bool canWait : {true, false}) {
    SCOPED_TRACE(canWait ? "blocked watcher" : "watcher that ended");
    if (!port_) {
      int error = 0;
      port_ = os::OpenSerialDevice(ptsname(master_), &error);
      ASSERT_TRUE(port_) << error;
    }
    if (!canWait) unsetenv("VMDS_MODEM_INPUT");
    unsigned long arms = hooks_.arms();
    ASSERT_EQ(port_->SetReceiveMask(true), 0);
    ASSERT_NE(port_->LineChangeWaitable(), nullptr);
    if (canWait) {
      ASSERT_EQ(hooks_.waitArmed(arms, kBoundMs), 1);
    }
    port_.reset();  // must not hang
    EXPECT_EQ(hooks_.waiters(), 0);
    EXPECT_EQ(hooks_.arms(), canWait ? arms + 1 : arms);
  }
}

}  // namespace
