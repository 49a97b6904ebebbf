// Serial ports on Linux: termios, non-blocking descriptors and poll events; the input lines are
// watched by a thread of the port that waits in TIOCMIWAIT.
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bit_rate.h"
#include "posix_internal.h"

namespace os {

const std::size_t kMaxPortNameLength = 254;

namespace {

using posix::PosixWaitable;
using posix::Win32ErrorFromErrno;

struct BaudEntry {
  std::uint32_t rate;
  speed_t code;
};
constexpr BaudEntry kBaudRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// "COM3" (any letter case) is the third serial port, /dev/ttyS2; an absolute path is a device.
std::string DevicePath(const std::string& portName) {
  if (!portName.empty() && portName[0] == '/') return portName;
  if (portName.size() > 3 && (portName[0] == 'C' || portName[0] == 'c') &&
      (portName[1] == 'O' || portName[1] == 'o') && (portName[2] == 'M' || portName[2] == 'm')) {
    unsigned long number = 0;
    for (std::size_t i = 3; i < portName.size(); ++i) {
      if (portName[i] < '0' || portName[i] > '9' || number > 100000) return std::string();
      number = number * 10 + static_cast<unsigned long>(portName[i] - '0');
    }
    if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
  }
  return std::string();
}

class DescriptorWaitable final : public PosixWaitable {
 public:
  DescriptorWaitable(int fd, short events) : fd_(fd), events_(events) {}
  int PollFd() const override { return fd_; }
  short PollEvents() const override { return events_; }
  void OnSignalled(short revents) override { lastRevents_ = revents; }
  short lastRevents_ = 0;

 private:
  int fd_;
  short events_;
};

// The input lines as kModem* bits (0 with `*lines` or an errno value).
int ReadModemLines(int fd, unsigned* lines) {
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) != 0) return errno;
  *lines = ((bits & TIOCM_CTS) ? kModemCts : 0u) | ((bits & TIOCM_DSR) ? kModemDsr : 0u) |
           ((bits & TIOCM_RNG) ? kModemRing : 0u) | ((bits & TIOCM_CAR) ? kModemDcd : 0u);
  return 0;
}

// The signal that ends a watcher's TIOCMIWAIT: its handler does nothing and is installed without
// SA_RESTART, so the ioctl returns EINTR. (The service blocks only SIGTERM and SIGINT.)
constexpr int kWakeSignal = SIGUSR2;

void IgnoreWakeSignal(int) {}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = IgnoreWakeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked ioctl is interrupted
    sigaction(kWakeSignal, &action, nullptr);
  });
}

// A thread that waits for changes of CTS, DSR, RI and DCD (TIOCMIWAIT) and sets an auto-reset
// event after each one. It ends by itself when the driver cannot wait for the lines (a
// pseudo-terminal), and then the event is never set; nothing polls.
class LineWatcher {
 public:
  LineWatcher(int fd, Event& event) : state_(std::make_shared<State>(fd, event)) {}
  ~LineWatcher() { Stop(); }
  LineWatcher(const LineWatcher&) = delete;
  LineWatcher& operator=(const LineWatcher&) = delete;

  // Starts the thread; 0 or an errno value.
  int Start() {
    InstallWakeHandler();
    // The lines as they are before the thread runs: a change made while it starts is not lost.
    state_->haveReported = ReadModemLines(state_->fd, &state_->reported) == 0;
    try {
      thread_ = std::thread([state = state_] { Run(*state); });
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    return 0;
  }

  // Ends the thread: the stop flag, then the wake signal until the thread has gone (a signal that
  // comes just before the thread enters its wait is lost, so it is sent again). False when the
  // thread would not end; it is then left to itself, with the descriptor it still uses.
  bool Stop() {
    if (!thread_.joinable()) return true;
    state_->stop.store(true, std::memory_order_release);
    bool ended = false;
    auto pause = std::chrono::milliseconds(2);
    for (int attempt = 0; attempt < kStopAttempts && !ended; ++attempt) {
      pthread_kill(thread_.native_handle(), kWakeSignal);
      std::unique_lock<std::mutex> lock(state_->mutex);
      ended = state_->ended.wait_for(lock, pause, [&] { return state_->hasEnded; });
      if (pause < std::chrono::milliseconds(200)) pause *= 2;
    }
    if (!ended) {
      thread_.detach();
      return false;
    }
    thread_.join();
    return true;
  }

 private:
  static constexpr int kStopAttempts = 40;  // about 6 s in all

  // What the thread uses; shared so that a thread that would not end never touches freed memory.
  struct State {
    State(int descriptor, Event& signalled) : fd(descriptor), event(signalled) {}
    const int fd;
    Event& event;
    std::atomic<bool> stop{false};
    unsigned reported = 0;  // the lines when the event was last set (or at the start)
    bool haveReported = false;
    std::mutex mutex;
    std::condition_variable ended;
    bool hasEnded = false;
  };

  static void Run(State& state) {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, kWakeSignal);
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    const unsigned long mask = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
    while (!state.stop.load(std::memory_order_acquire)) {
      // A change made since the event was last set (while the thread was not waiting) is reported
      // before the next wait, which sees only changes after it began.
      unsigned now = 0;
      if (ReadModemLines(state.fd, &now) == 0) {
        if (state.haveReported && now != state.reported) {
          state.reported = now;
          state.event.Set();
          continue;
        }
        state.reported = now;
        state.haveReported = true;
      }
      if (ioctl(state.fd, TIOCMIWAIT, mask) != 0) {
        if (errno == EINTR) continue;
        break;  // the driver cannot wait for the lines
      }
      // Every change is reported, also a pulse (of RI, say) that is over by now.
      state.haveReported = ReadModemLines(state.fd, &state.reported) == 0;
      state.event.Set();
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    state.hasEnded = true;
    state.ended.notify_all();
  }

  std::shared_ptr<State> state_;
  std::thread thread_;
};

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(int fd, std::unique_ptr<Event> lineEvent)
      : fd_(fd), receive_(fd, POLLIN), write_(fd, POLLOUT), lineEvent_(std::move(lineEvent)) {
    // Line errors are counted from the opening on.
    haveCounts_ = ioctl(fd_, TIOCGICOUNT, &counts_) == 0;
  }
  ~PosixSerialPort() override {
    // The watcher uses the descriptor: it ends first. One that would not end keeps it open,
    // rather than wait on a number that may stand for another file by then.
    if (!StopWatcher()) return;
    // A write still outstanding was given its chance by the connection cycle (which drains or
    // discards it before the service ends); its bytes go with the port.
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    posix::CloseWaitableDescriptor(fd_);
  }

  int SetupBuffers(std::uint32_t, std::uint32_t) override { return 0; }

  int GetLineSettings(LineSettings* out) override {
    termios tio;
    if (tcgetattr(fd_, &tio) != 0) return Win32ErrorFromErrno(errno);
    // The rate by number, also one set without a B-constant; the table only where termios2 fails.
    if (posix::GetTermiosBitRate(fd_, &out->baudRate) != 0) {
      speed_t speed = cfgetospeed(&tio);
      out->baudRate = 0;
      for (const BaudEntry& entry : kBaudRates) {
        if (entry.code == speed) out->baudRate = entry.rate;
      }
    }
    switch (tio.c_cflag & CSIZE) {
      case CS5: out->byteSize = 5; break;
      case CS6: out->byteSize = 6; break;
      case CS7: out->byteSize = 7; break;
      default: out->byteSize = 8; break;
    }
    out->parityCheck = (tio.c_cflag & PARENB) != 0;
    if (!(tio.c_cflag & PARENB)) {
      out->parity = 0;
    } else if (tio.c_cflag & CMSPAR) {
      out->parity = (tio.c_cflag & PARODD) ? 3 : 4;
    } else {
      out->parity = (tio.c_cflag & PARODD) ? 1 : 2;
    }
    out->stopBits = (tio.c_cflag & CSTOPB) ? (out->byteSize == 5 ? 1 : 2) : 0;
    if (tio.c_cflag & CRTSCTS) {
      out->flow = FlowControl::kHardware;
    } else if (tio.c_iflag & (IXON | IXOFF)) {
      out->flow = FlowControl::kXonXoff;
    } else {
      out->flow = FlowControl::kNone;
    }
    return 0;
  }

  int SetLineSettings(const LineSettings& settings) override {
    // A rate of 0 (B0) would hang up the line instead of setting a rate.
    if (settings.baudRate == 0) return kErrInvalidParameter;
    termios tio;
    if (tcgetattr(fd_, &tio) != 0) return Win32ErrorFromErrno(errno);
    // A rate with a B-constant is set with the other settings; any other rate by number
    // (termios2) right after them, and then the driver decides whether it can make it.
    const BaudEntry* standard = nullptr;
    for (const BaudEntry& entry : kBaudRates) {
      if (entry.rate == settings.baudRate) standard = &entry;
    }
    tcflag_t size;
    switch (settings.byteSize) {
      case 5: size = CS5; break;
      case 6: size = CS6; break;
      case 7: size = CS7; break;
      case 8: size = CS8; break;
      default: return kErrInvalidParameter;
    }
    if (settings.parity > 4 || settings.stopBits > 2) return kErrInvalidParameter;
    // 1.5 stop bits exist only with 5 data bits, 2 stop bits only without them.
    if ((settings.stopBits == 1) != (settings.stopBits != 0 && settings.byteSize == 5)) {
      return kErrInvalidParameter;
    }
    const termios before = tio;
    const bool leavesHandshake =
        (tio.c_cflag & CRTSCTS) != 0 && settings.flow != FlowControl::kHardware;
    // Binary, no echo or line editing; flow control as asked, the same both ways.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | CREAD | CLOCAL;
    switch (settings.parity) {
      case 1: tio.c_cflag |= PARENB | PARODD; break;
      case 2: tio.c_cflag |= PARENB; break;
      case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case 4: tio.c_cflag |= PARENB | CMSPAR; break;
      default: break;
    }
    if (settings.stopBits != 0) tio.c_cflag |= CSTOPB;
    switch (settings.flow) {
      case FlowControl::kXonXoff:
        tio.c_iflag |= IXON | IXOFF;
        // The driver's XON and XOFF characters, unless they are unusable.
        if (tio.c_cc[VSTART] == _POSIX_VDISABLE || tio.c_cc[VSTOP] == _POSIX_VDISABLE ||
            tio.c_cc[VSTART] == tio.c_cc[VSTOP]) {
          tio.c_cc[VSTART] = 0x11;
          tio.c_cc[VSTOP] = 0x13;
        }
        break;
      case FlowControl::kHardware: tio.c_cflag |= CRTSCTS; break;
      default: break;
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (standard != nullptr) {
      cfsetispeed(&tio, standard->code);
      cfsetospeed(&tio, standard->code);
    }
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return Win32ErrorFromErrno(errno);
    // tcsetattr succeeds when any of the changes was made; a driver may quietly keep its own
    // data bits or parity (a pseudo-terminal on some kernels). Such a port is put back and the
    // settings refused, so that nobody is told that a setting is in force when it is not.
    constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    termios now;
    if (tcgetattr(fd_, &now) == 0 && ((now.c_cflag ^ tio.c_cflag) & kFraming) != 0) {
      tcsetattr(fd_, TCSANOW, &before);
      return kErrInvalidParameter;
    }
    if (standard == nullptr) {
      if (int error = posix::SetTermiosBitRate(fd_, settings.baudRate); error != 0) {
        return Win32ErrorFromErrno(error);
      }
    }
    // The handshake may have left RTS low; without it RTS is high, as on Windows. (A device
    // without modem lines cannot raise it: that is no failure of the settings.)
    if (leavesHandshake) {
      int rts = TIOCM_RTS;
      ioctl(fd_, TIOCMBIS, &rts);
    }
    return 0;
  }

  int GetTimeouts() override {
    termios tio;
    return tcgetattr(fd_, &tio) == 0 ? 0 : Win32ErrorFromErrno(errno);
  }

  int SetNonBlockingTimeouts() override {
    termios tio;
    if (tcgetattr(fd_, &tio) != 0) return Win32ErrorFromErrno(errno);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return Win32ErrorFromErrno(errno);
    return 0;
  }

  int SetModemLine(ModemLine line, bool high) override {
    int bits = line == ModemLine::kDtr ? TIOCM_DTR : TIOCM_RTS;
    if (ioctl(fd_, high ? TIOCMBIS : TIOCMBIC, &bits) != 0) return Win32ErrorFromErrno(errno);
    return 0;
  }

  int SetBreak(bool on) override {
    if (ioctl(fd_, on ? TIOCSBRK : TIOCCBRK, 0) != 0) return Win32ErrorFromErrno(errno);
    return 0;
  }

  int GetModemStatus(unsigned* lines) override {
    *lines = 0;
    return Win32ErrorFromErrno(ReadModemLines(fd_, lines));
  }

  int PurgeReceive() override {
    if (tcflush(fd_, TCIFLUSH) != 0) return Win32ErrorFromErrno(errno);
    // A readiness reported for bytes that are gone now is no sign of a hang-up.
    readyReported_ = false;
    return 0;
  }

  int TakeLineErrors(unsigned* errors) override {
    *errors = 0;
    serial_icounter_struct now{};
    // A driver without the counters (a pseudo-terminal) cannot tell: no errors.
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return 0;
    if (haveCounts_) {
      if (now.overrun != counts_.overrun || now.buf_overrun != counts_.buf_overrun) {
        *errors |= kLineOverrun;
      }
      if (now.parity != counts_.parity) *errors |= kLineParity;
      if (now.frame != counts_.frame) *errors |= kLineFraming;
      if (now.brk != counts_.brk) *errors |= kLineBreak;
    }
    counts_ = now;
    haveCounts_ = true;
    return 0;
  }

  int SetReceiveMask(bool lineChanges) override {
    if (hungUp_) return kErrDeviceNotConnected;
    if (!lineChanges) {
      // The lines are no longer watched: the watcher ends and a wake it left is dropped.
      if (!StopWatcher()) return kErrOperationAborted;
      if (lineEvent_) lineEvent_->Reset();
      return 0;
    }
    if (watcher_) return 0;  // one watcher per port (also one that has ended by itself)
    if (!lineEvent_) {
      // The event went with a watcher that would not end: a new one.
      lineEvent_ = CreateEvent(false);
      if (!lineEvent_) return 8;  // ERROR_NOT_ENOUGH_MEMORY
    }
    auto watcher = std::make_unique<LineWatcher>(fd_, *lineEvent_);
    if (int error = watcher->Start(); error != 0) return Win32ErrorFromErrno(error);
    watcher_ = std::move(watcher);
    return 0;
  }
  Waitable* LineChangeWaitable() override { return lineEvent_.get(); }
  int ArmReceiveWait() override { return hungUp_ ? kErrDeviceNotConnected : 0; }
  Waitable* ReceiveWaitable() override { return &receive_; }
  bool ReceiveWaitDone() override {
    readyReported_ = receive_.lastRevents_ != 0;
    receive_.lastRevents_ = 0;
    return true;
  }

  int Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    const bool readyReported = readyReported_;
    readyReported_ = false;
    ssize_t n = ::read(fd_, buffer, size);
    if (n > 0) {
      *got = static_cast<std::size_t>(n);
      return 0;
    }
    // With VMIN = VTIME = 0 a read with nothing buffered returns 0 at once; after the descriptor
    // was reported ready that means the device has hung up (a vanished USB adapter, a closed
    // pseudo-terminal), and the next wait for characters fails instead of waking for ever.
    if (n == 0) {
      if (readyReported) hungUp_ = true;
      return 0;
    }
    if (errno == EAGAIN || errno == EINTR) return 0;
    if (errno == EIO) hungUp_ = true;
    return Win32ErrorFromErrno(errno);
  }

  int StartWrite(const std::uint8_t* data, std::size_t size, std::size_t* written) override {
    *written = 0;
    if (!pending_.empty()) return kErrInvalidParameter;  // one write at a time
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd_, data + done, size - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return Win32ErrorFromErrno(errno);
      break;
    }
    if (done == size) {
      *written = size;
      return 0;
    }
    // The rest goes on in the background: the port keeps its own copy.
    pending_.assign(data + done, data + size);
    pendingOffset_ = 0;
    pendingTotal_ = size;
    return kErrIoPending;
  }

  Waitable* WriteWaitable() override { return &write_; }
  bool WritePending() const override { return !pending_.empty(); }

  int FinishWrite(std::size_t* written) override {
    *written = 0;
    if (pending_.empty()) return kErrInvalidParameter;  // no write to collect
    while (pendingOffset_ < pending_.size()) {
      ssize_t n = ::write(fd_, pending_.data() + pendingOffset_, pending_.size() - pendingOffset_);
      if (n > 0) {
        pendingOffset_ += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return kErrIoIncomplete;
      int error = n < 0 ? Win32ErrorFromErrno(errno) : kErrDeviceNotConnected;
      ClearPending();
      return error;
    }
    *written = pendingTotal_;
    ClearPending();
    return 0;
  }

  std::size_t UnsentBytes() override {
    return (pending_.size() - pendingOffset_) + DriverQueue();
  }

  int DiscardWrite(std::size_t* dropped) override {
    // What the driver holds is emptied only when it says it holds something: a pseudo-terminal
    // reports nothing and its flush would silently take bytes it had already passed on.
    std::size_t queued = DriverQueue();
    if (queued > 0 && tcflush(fd_, TCOFLUSH) != 0) queued = 0;
    *dropped = (pending_.size() - pendingOffset_) + queued;
    ClearPending();
    return 0;
  }

 private:
  // Bytes the driver still holds for sending (0 when it cannot tell).
  std::size_t DriverQueue() const {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::size_t>(queued);
  }
  // Ends the line watcher, if there is one; false when it would not end.
  bool StopWatcher() {
    if (!watcher_) return true;
    const bool ended = watcher_->Stop();
    watcher_.reset();
    // A thread that goes on may still set the event: it is left to it, and a later watcher gets
    // a new one.
    if (!ended) (void)lineEvent_.release();
    return ended;
  }
  void ClearPending() {
    pending_.clear();
    pendingOffset_ = 0;
    pendingTotal_ = 0;
  }

  int fd_;
  DescriptorWaitable receive_;
  DescriptorWaitable write_;
  bool hungUp_ = false;
  bool readyReported_ = false;  // the last wait for characters reported the descriptor ready
  std::vector<std::uint8_t> pending_;  // bytes of the outstanding write, owned until written
  std::size_t pendingOffset_ = 0;
  std::size_t pendingTotal_ = 0;
  serial_icounter_struct counts_{};  // the error counters at the last look
  bool haveCounts_ = false;
  // Set by the watcher after the lines changed; there from the opening on, so that it can be
  // waited for before the lines are watched.
  std::unique_ptr<Event> lineEvent_;
  std::unique_ptr<LineWatcher> watcher_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenSerialDevice(const std::string& portName, int* error) {
  std::string path = DevicePath(portName);
  if (path.empty()) {
    *error = kErrFileNotFound;
    return nullptr;
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  // Exclusive use, as on Windows: a port another program holds is "in use".
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? kErrAccessDenied : Win32ErrorFromErrno(errno);
    close(fd);
    return nullptr;
  }
  ioctl(fd, TIOCEXCL);
  std::unique_ptr<Event> lineEvent = CreateEvent(false);
  if (!lineEvent) {
    *error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    ioctl(fd, TIOCNXCL);
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixSerialPort>(fd, std::move(lineEvent));
}

}  // namespace os
