// Serial ports on Linux: termios, non-blocking descriptors and poll events.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd_(fd), receive_(fd, POLLIN), write_(fd, POLLOUT) {}
  ~PosixSerialPort() override {
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
    // Binary, no flow control either way, no echo or line editing.
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
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (standard != nullptr) {
      cfsetispeed(&tio, standard->code);
      cfsetospeed(&tio, standard->code);
    }
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) return Win32ErrorFromErrno(errno);
    if (standard == nullptr) {
      if (int error = posix::SetTermiosBitRate(fd_, settings.baudRate); error != 0) {
        return Win32ErrorFromErrno(error);
      }
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

  int SetReceiveMask() override { return hungUp_ ? kErrDeviceNotConnected : 0; }
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
  return std::make_unique<PosixSerialPort>(fd);
}

}  // namespace os
