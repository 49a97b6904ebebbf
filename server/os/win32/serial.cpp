// The serial port on Win32: one overlapped handle with a character-received wait, non-blocking
// reads and background writes whose data the port keeps until they complete.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "os/win32/win32_waitable.h"

namespace os {

namespace {

int LastError() { return static_cast<int>(GetLastError()); }

// A manual-reset event owned by the port, which the session waits on.
class PortEvent final : public win32::HandleWaitable {
 public:
  PortEvent() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~PortEvent() override {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  PortEvent(const PortEvent&) = delete;
  PortEvent& operator=(const PortEvent&) = delete;
  HANDLE WaitHandle() const override { return handle_; }
  bool valid() const { return handle_ != nullptr; }

 private:
  HANDLE handle_;
};

// Everything the driver may still touch while an operation is outstanding. If an operation
// cannot be brought to an end at closing, this block is left allocated rather than freed under
// the driver's feet.
struct IoState {
  PortEvent waitEvent;
  OVERLAPPED waitOverlapped{};
  DWORD waitMask = 0;
  bool waitOutstanding = false;
  bool waitEventSet = false;  // waitEvent is known to be signalled (set here or by a completion)
  DWORD knownQueued = 0;      // bytes known to wait in the receive queue (a lower bound)

  PortEvent readEvent;
  OVERLAPPED readOverlapped{};

  PortEvent writeEvent;
  OVERLAPPED writeOverlapped{};
  std::vector<std::uint8_t> writeBuffer;
  bool writePending = false;
  DWORD writeBytesDone = 0;  // bytes a cancelled write had taken

  bool valid() const { return waitEvent.valid() && readEvent.valid() && writeEvent.valid(); }
};

// How long closing waits for a cancelled operation to finish.
constexpr DWORD kCancelWaitMs = 5000;

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(HANDLE handle, IoState* io) : handle_(handle), io_(io) {}
  ~Win32SerialPort() override;
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  int SetupBuffers(std::uint32_t rxSize, std::uint32_t txSize) override {
    if (!SetupComm(handle_, rxSize, txSize)) return LastError();
    receiveBufferSize_ = rxSize;
    return 0;
  }
  int GetLineSettings(LineSettings* out) override;
  int SetLineSettings(const LineSettings& settings) override;
  int GetTimeouts() override;
  int SetNonBlockingTimeouts() override;
  int SetModemLine(ModemLine line, bool high) override;

  int SetBreak(bool on) override {
    return (on ? SetCommBreak(handle_) : ClearCommBreak(handle_)) ? 0 : LastError();
  }
  int GetModemStatus(unsigned* lines) override;
  int PurgeReceive() override;
  int TakeLineErrors(unsigned* errors) override;

  int SetReceiveMask(bool lineChanges) override {
    const DWORD mask = lineChanges ? EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR |
                                         EV_BREAK
                                   : EV_RXCHAR;
    return SetCommMask(handle_, mask) ? 0 : LastError();
  }
  // The line changes complete the receive wait itself.
  Waitable* LineChangeWaitable() override { return nullptr; }
  int ArmReceiveWait() override;
  Waitable* ReceiveWaitable() override { return &io_->waitEvent; }
  bool ReceiveWaitDone() override;

  int Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override;

  int StartWrite(const std::uint8_t* data, std::size_t size, std::size_t* written) override;
  Waitable* WriteWaitable() override { return &io_->writeEvent; }
  bool WritePending() const override { return io_->writePending; }
  int FinishWrite(std::size_t* written) override;
  std::size_t UnsentBytes() override;
  int DiscardWrite(std::size_t* dropped) override;

 private:
  // ClearCommError, keeping the line errors it clears for TakeLineErrors. False when it failed.
  bool ClearErrors(COMSTAT* status);
  // Bytes waiting in the driver's receive queue (0 when that cannot be asked).
  DWORD QueuedBytes();
  // Bytes the driver still holds for sending, outstanding writes included (0 when unknown).
  DWORD OutputQueue();
  // Cancels the operation of `overlapped` and waits (at most kCancelWaitMs) until it has ended.
  // False if it could not be brought to an end.
  bool Drain(OVERLAPPED* overlapped);

  HANDLE handle_;
  IoState* io_;
  DWORD lineErrors_ = 0;  // CE_* bits cleared by any ClearCommError since the last TakeLineErrors
  std::uint32_t receiveBufferSize_ = 0;  // as given to SetupBuffers (0: not set)
};

Win32SerialPort::~Win32SerialPort() {
  bool quiet = true;
  // A new event mask ends an outstanding character-received wait (Wine's wait does not react
  // to a cancel).
  if (io_->waitOutstanding) SetCommMask(handle_, 0);
  if (io_->waitOutstanding) quiet = Drain(&io_->waitOverlapped) && quiet;
  if (io_->writePending) quiet = Drain(&io_->writeOverlapped) && quiet;
  CloseHandle(handle_);
  if (quiet) delete io_;
  // Otherwise the driver may still write into `io_`: it is deliberately left allocated.
}

bool Win32SerialPort::Drain(OVERLAPPED* overlapped) {
  if (!CancelIoEx(handle_, overlapped) && GetLastError() != ERROR_NOT_FOUND) {
    CancelIo(handle_);
  }
  if (WaitForSingleObject(overlapped->hEvent, kCancelWaitMs) != WAIT_OBJECT_0) return false;
  DWORD transferred = 0;
  GetOverlappedResult(handle_, overlapped, &transferred, TRUE);
  if (overlapped == &io_->writeOverlapped) io_->writeBytesDone = transferred;
  return true;
}

int Win32SerialPort::GetLineSettings(LineSettings* out) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle_, &dcb)) return LastError();
  out->baudRate = dcb.BaudRate;
  out->byteSize = dcb.ByteSize;
  out->parity = dcb.Parity;
  out->parityCheck = dcb.fParity != 0;
  out->stopBits = dcb.StopBits;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    out->flow = FlowControl::kHardware;
  } else if (dcb.fOutX || dcb.fInX) {
    out->flow = FlowControl::kXonXoff;
  } else {
    out->flow = FlowControl::kNone;
  }
  return 0;
}

int Win32SerialPort::SetLineSettings(const LineSettings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle_, &dcb)) return LastError();
  const DCB before = dcb;
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;
  dcb.fParity = settings.parityCheck ? 1 : 0;
  dcb.StopBits = settings.stopBits;
  dcb.fBinary = 1;
  // Flow control as asked, the same both ways; DTR control stays as the driver holds it, and so
  // does RTS control unless the RTS/CTS handshake is taken up or left (RTS is then high).
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fAbortOnError = 0;
  switch (settings.flow) {
    case FlowControl::kHardware:
      dcb.fOutxCtsFlow = 1;
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    case FlowControl::kXonXoff: {
      dcb.fOutX = 1;
      dcb.fInX = 1;
      // The driver's characters and limits, unless they are unusable (a driver refuses equal
      // characters): then DC1/DC3, XOFF sent with a quarter of the receive buffer free and XON
      // once it is down to a quarter.
      if (dcb.XonChar == dcb.XoffChar) {
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
      }
      if (dcb.XonLim == 0 && dcb.XoffLim == 0) {
        const std::uint32_t buffer = receiveBufferSize_ != 0 ? receiveBufferSize_ : 4096;
        const WORD quarter = static_cast<WORD>(std::min<std::uint32_t>(buffer / 4, 0xFFFF));
        dcb.XonLim = quarter;
        dcb.XoffLim = quarter;
      }
      break;
    }
    default: break;
  }
  if (settings.flow != FlowControl::kHardware && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
  }
  if (!SetCommState(handle_, &dcb)) return LastError();
  // A driver may take the call and keep its own framing (Wine on a pseudo-terminal the kernel
  // refuses parity for): such a port is put back and the settings refused, so that nobody is
  // told that a setting is in force when it is not.
  DCB now{};
  now.DCBlength = sizeof now;
  if (GetCommState(handle_, &now) &&
      (now.BaudRate != dcb.BaudRate || now.ByteSize != dcb.ByteSize ||
       now.Parity != dcb.Parity || now.StopBits != dcb.StopBits)) {
    DCB restore = before;
    SetCommState(handle_, &restore);
    return ERROR_INVALID_PARAMETER;
  }
  return 0;
}

int Win32SerialPort::GetTimeouts() {
  COMMTIMEOUTS timeouts{};
  return GetCommTimeouts(handle_, &timeouts) ? 0 : LastError();
}

int Win32SerialPort::SetNonBlockingTimeouts() {
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(handle_, &timeouts)) return LastError();
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(handle_, &timeouts) ? 0 : LastError();
}

int Win32SerialPort::SetModemLine(ModemLine line, bool high) {
  DWORD function = line == ModemLine::kDtr ? (high ? SETDTR : CLRDTR) : (high ? SETRTS : CLRRTS);
  return EscapeCommFunction(handle_, function) ? 0 : LastError();
}

bool Win32SerialPort::ClearErrors(COMSTAT* status) {
  DWORD errors = 0;
  if (!ClearCommError(handle_, &errors, status)) return false;
  lineErrors_ |= errors;
  return true;
}

DWORD Win32SerialPort::QueuedBytes() {
  COMSTAT status{};
  return ClearErrors(&status) ? status.cbInQue : 0;
}

DWORD Win32SerialPort::OutputQueue() {
  COMSTAT status{};
  return ClearErrors(&status) ? status.cbOutQue : 0;
}

static_assert(MS_CTS_ON == kModemCts && MS_DSR_ON == kModemDsr && MS_RING_ON == kModemRing &&
              MS_RLSD_ON == kModemDcd);

int Win32SerialPort::GetModemStatus(unsigned* lines) {
  *lines = 0;
  DWORD status = 0;
  if (!GetCommModemStatus(handle_, &status)) return LastError();
  // The MS_*_ON bits are the kModem* bits.
  *lines = status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  return 0;
}

int Win32SerialPort::PurgeReceive() {
  if (!PurgeComm(handle_, PURGE_RXCLEAR)) return LastError();
  io_->knownQueued = 0;  // those bytes are gone
  return 0;
}

int Win32SerialPort::TakeLineErrors(unsigned* errors) {
  *errors = 0;
  COMSTAT status{};
  const int error = ClearErrors(&status) ? 0 : LastError();
  const DWORD seen = lineErrors_;
  lineErrors_ = 0;
  if ((seen & (CE_OVERRUN | CE_RXOVER)) != 0) *errors |= kLineOverrun;
  if ((seen & CE_RXPARITY) != 0) *errors |= kLineParity;
  if ((seen & CE_FRAME) != 0) *errors |= kLineFraming;
  if ((seen & CE_BREAK) != 0) *errors |= kLineBreak;
  return error;
}

int Win32SerialPort::ArmReceiveWait() {
  if (io_->waitOutstanding) return 0;
  HANDLE event = io_->waitEvent.WaitHandle();
  // EV_RXCHAR reports characters that arrive from now on: bytes already queued (left over from a
  // read that took one chunk only) signal the event by themselves. The queue is asked only when
  // the last read did not leave bytes known to be there.
  DWORD queued = io_->knownQueued > 0 ? io_->knownQueued : QueuedBytes();
  if (queued > 0) {
    io_->knownQueued = queued;
    if (!io_->waitEventSet) SetEvent(event);
    io_->waitEventSet = true;
    return 0;
  }
  std::memset(&io_->waitOverlapped, 0, sizeof io_->waitOverlapped);
  io_->waitOverlapped.hEvent = event;
  if (io_->waitEventSet) ResetEvent(event);
  io_->waitEventSet = false;
  io_->waitMask = 0;
  if (WaitCommEvent(handle_, &io_->waitMask, &io_->waitOverlapped)) {
    SetEvent(event);
    io_->waitEventSet = true;
    return 0;
  }
  int error = LastError();
  if (error == ERROR_IO_PENDING) {
    io_->waitOutstanding = true;
    return kErrIoPending;
  }
  return error;
}

bool Win32SerialPort::ReceiveWaitDone() {
  if (io_->waitOutstanding) {
    DWORD transferred = 0;
    if (!GetOverlappedResult(handle_, &io_->waitOverlapped, &transferred, FALSE) &&
        GetLastError() == ERROR_IO_INCOMPLETE) {
      return false;
    }
    io_->waitOutstanding = false;
    io_->waitEventSet = true;  // the completion signalled it
  }
  // The event stays as it is: the next ArmReceiveWait keeps it signalled while bytes wait. (A wait
  // completed by a line change brought no characters: the next Read finds none.)
  return true;
}

int Win32SerialPort::Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  // Only what has arrived is asked for, so the read completes at once everywhere (a read of an
  // empty queue would stay pending on some drivers despite the time-outs).
  DWORD queued = io_->knownQueued > 0 ? io_->knownQueued : QueuedBytes();
  io_->knownQueued = 0;
  if (queued == 0 || size == 0) {
    io_->knownQueued = queued;
    return 0;
  }
  DWORD want = size < queued ? static_cast<DWORD>(size) : queued;
  OVERLAPPED* overlapped = &io_->readOverlapped;
  std::memset(overlapped, 0, sizeof *overlapped);
  overlapped->hEvent = io_->readEvent.WaitHandle();
  if (!ReadFile(handle_, buffer, want, nullptr, overlapped)) {
    int error = LastError();
    if (error != ERROR_IO_PENDING) return error;
    // The bytes are queued, so this ends at once; should it not, it is cancelled rather than
    // left running into the caller's buffer.
    if (WaitForSingleObject(overlapped->hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
      CancelIoEx(handle_, overlapped);
    }
  }
  DWORD transferred = 0;
  if (!GetOverlappedResult(handle_, overlapped, &transferred, TRUE)) {
    int error = LastError();
    *got = transferred;
    return error;
  }
  *got = transferred;
  // What this read left is still there: the next read or wait needs not ask for it.
  if (transferred < queued) io_->knownQueued = queued - transferred;
  return 0;
}

int Win32SerialPort::StartWrite(const std::uint8_t* data, std::size_t size, std::size_t* written) {
  *written = 0;
  if (size > MAXDWORD) return kErrInvalidParameter;
  if (io_->writePending) return kErrInvalidParameter;  // the driver still owns the buffer
  io_->writeBuffer.assign(data, data + size);
  if (io_->writeBuffer.capacity() == 0) io_->writeBuffer.reserve(1);
  OVERLAPPED* overlapped = &io_->writeOverlapped;
  std::memset(overlapped, 0, sizeof *overlapped);
  overlapped->hEvent = io_->writeEvent.WaitHandle();
  if (!WriteFile(handle_, io_->writeBuffer.data(), static_cast<DWORD>(size), nullptr, overlapped)) {
    int error = LastError();
    if (error == ERROR_IO_PENDING) {
      io_->writePending = true;
      return kErrIoPending;
    }
    return error;
  }
  // Completed: the result is read from the overlapped structure, no wait.
  DWORD transferred = 0;
  if (!GetOverlappedResult(handle_, overlapped, &transferred, TRUE)) return LastError();
  *written = transferred;
  return 0;
}

int Win32SerialPort::FinishWrite(std::size_t* written) {
  *written = 0;
  if (!io_->writePending) return kErrInvalidParameter;  // no write to collect
  DWORD transferred = 0;
  if (!GetOverlappedResult(handle_, &io_->writeOverlapped, &transferred, FALSE)) {
    int error = LastError();
    if (error == ERROR_IO_INCOMPLETE) return kErrIoIncomplete;
    io_->writePending = false;
    return error;
  }
  io_->writePending = false;
  *written = transferred;
  return 0;
}

std::size_t Win32SerialPort::UnsentBytes() {
  DWORD queued = OutputQueue();
  // A driver that counts an outstanding write in its queue shows it shrink byte by byte; one that
  // does not (Wine) shows the whole write until it completes.
  if (io_->writePending && queued == 0) return io_->writeBuffer.size();
  return queued;
}

int Win32SerialPort::DiscardWrite(std::size_t* dropped) {
  *dropped = 0;
  if (io_->writePending) {
    if (!Drain(&io_->writeOverlapped)) return ERROR_OPERATION_ABORTED;  // still the driver's
    // Drain collected the outcome; what the write had taken before the cancel is not dropped.
    *dropped += io_->writeBuffer.size() - std::min<std::size_t>(io_->writeBytesDone,
                                                                io_->writeBuffer.size());
    io_->writePending = false;
  }
  // What the driver holds is emptied only when it says it holds something (as on POSIX).
  DWORD queued = OutputQueue();
  if (queued > 0 && PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR)) *dropped += queued;
  return 0;
}

}  // namespace

std::unique_ptr<SerialPort> OpenSerialDevice(const std::string& portName, int* error) {
  if (portName.empty() || portName.size() > kMaxPortNameLength ||
      portName.find('\0') != std::string::npos) {
    *error = ERROR_INVALID_NAME;
    return nullptr;
  }
  const std::string path = "\\\\.\\" + portName;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return nullptr;
  }
  auto* io = new IoState;
  if (!io->valid()) {
    *error = LastError();
    delete io;
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32SerialPort>(handle, io);
}

}  // namespace os
