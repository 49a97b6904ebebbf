// The device server's platform seam.
//
// Everything the service decides lives in the portable code above this folder; the platform only
// performs operations and reports their outcome as a Win32 or Winsock error number (0 = success),
// whatever the platform, so that every log line is the same on Windows and Linux.
//
// win32/ implements this with the Win32 calls the service is defined by (service control manager,
// registry, overlapped serial I/O, WSAEventSelect, WaitForMultipleObjects); posix/ with termios,
// epoll (poll where epoll cannot watch a descriptor), eventfd and pthreads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace os {

// ---- Error numbers (Win32 / Winsock values on every platform) ---------------------------------
constexpr int kErrFileNotFound = 2;
constexpr int kErrAccessDenied = 5;
constexpr int kErrInvalidHandle = 6;
constexpr int kErrInvalidParameter = 87;
constexpr int kErrOperationAborted = 995;
constexpr int kErrIoIncomplete = 996;
constexpr int kErrIoPending = 997;
constexpr int kErrDeviceNotConnected = 1167;
constexpr int kErrServiceNotInExe = 1063;  // dispatcher called outside the service control manager
constexpr int kErrServiceSpecificError = 1066;  // the reason is in serviceSpecificExitCode

constexpr int kWsaWouldBlock = 10035;
constexpr int kWsaConnAborted = 10053;
constexpr int kWsaConnReset = 10054;
constexpr int kWsaNotConnected = 10057;
constexpr int kWsaShutdown = 10058;
constexpr int kWsaAddrInUse = 10048;

// Longest serial port name the platform accepts (Windows builds "\\.\" + name in a 16-byte buffer;
// on Linux the name may be a device path).
extern const std::size_t kMaxPortNameLength;

// ---- Waiting ----------------------------------------------------------------------------------
// Anything that can be waited on. Only the platform that made it knows what stands behind it.
class Waitable {
 public:
  virtual ~Waitable() = default;
};

class Event : public Waitable {
 public:
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // Whether Set came after the last Reset, read from memory without a system call (for an
  // auto-reset event a wait that consumed the signal may or may not clear it). Set raises this
  // flag before it signals the event, so a thread that checks the flag before work it does
  // without waiting stays behind no Set that has returned.
  bool IsSet() const { return set_.load(std::memory_order_acquire); }

 protected:
  std::atomic<bool> set_{false};
};

// manualReset: stays signalled until Reset. Otherwise a wait that returns it consumes the signal.
std::unique_ptr<Event> CreateEvent(bool manualReset);

constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
constexpr int kInfinite = -1;

// Waits until one of `list` is signalled or `timeoutMs` passes (kInfinite: no limit). Returns the
// lowest signalled index, kWaitTimeout, or kWaitFailed with `*error` set. Null entries are skipped
// (never signalled). An auto-reset event is consumed only when its own index is returned. A list
// with nothing to wait for sleeps out a time-out and fails with kErrInvalidParameter without one.
int WaitAny(std::span<Waitable* const> list, int timeoutMs, int* error);

// The waitables one piece of code waits on again and again (a session waits once per chunk), in
// places numbered from 0 that Wait reports like WaitAny reports list indexes. The set may keep
// what it learned between waits (POSIX registers the descriptors with epoll once); it still
// reports each waitable as it is at the wait. A waitable must outlive its place in the set.
constexpr std::size_t kMaxWaitSetPlaces = 64;
class WaitSet {
 public:
  virtual ~WaitSet() = default;
  // Appends a place holding `waitable` (null: an empty place) and returns its number. Past
  // kMaxWaitSetPlaces places every wait fails with kErrInvalidParameter.
  std::size_t Add(Waitable* waitable) {
    if (placeCount_ == kMaxWaitSetPlaces) {
      tooMany_ = true;
      return placeCount_;
    }
    places_[placeCount_] = nullptr;
    Change(placeCount_++, waitable);
    return placeCount_ - 1;
  }
  // Puts `waitable` (null: nothing) into place `place`; the other places keep their numbers.
  void Change(std::size_t place, Waitable* waitable) {
    if (place >= placeCount_) return;
    places_[place] = waitable;
    PlaceChanged(place);
  }
  void Remove(std::size_t place) { Change(place, nullptr); }
  // As WaitAny over the places in order.
  virtual int Wait(int timeoutMs, int* error) = 0;

 protected:
  // Called after every Add and Change (also of a place to what it held: the object at that
  // address may be another one now).
  virtual void PlaceChanged(std::size_t place) = 0;
  Waitable* places_[kMaxWaitSetPlaces] = {};
  std::size_t placeCount_ = 0;
  bool tooMany_ = false;
};
std::unique_ptr<WaitSet> CreateWaitSet();

// ---- Threads ----------------------------------------------------------------------------------
class Thread {
 public:
  virtual ~Thread() = default;  // joins
  virtual void Join() = 0;
};
// Starts `body` on a new thread; on failure returns null and sets `*error`.
std::unique_ptr<Thread> StartThread(std::function<void()> body, int* error);

// ---- Time and paths ---------------------------------------------------------------------------
std::tm LocalTimeNow();
// Turns a path as written in a startup file into one the platform opens (backslashes become
// slashes on POSIX; unchanged on Windows).
std::string NativePath(const std::string& path);

// Writes `size` bytes of `data` to `tempPath` (made anew) and then puts that file in place of
// `path` in one step (rename on POSIX, MoveFileExA with MOVEFILE_REPLACE_EXISTING on Windows), so
// that a reader finds the old content or the new, never a part. Both paths name the same
// directory. Tried once; on failure the temporary file is removed and `path` is left as it was.
// Returns 0 or an error number.
int ReplaceFileContent(const std::string& path, const std::string& tempPath, const char* data,
                       std::size_t size);

// ---- Service host -----------------------------------------------------------------------------
enum ServiceState : std::uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};
constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlInterrogate = 4;
constexpr std::uint32_t kControlShutdown = 5;
constexpr std::uint32_t kAcceptStop = 1;
constexpr std::uint32_t kAcceptShutdown = 4;

struct ServiceStatus {
  std::uint32_t state = kServiceStopped;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;  // read when win32ExitCode is 1066
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

using ServiceMainFn = void (*)(int argc, char** argv);
using ControlHandlerFn = void (*)(std::uint32_t control);

// Hands `serviceMain` to the service control manager and blocks until the service has stopped.
// The result is the process's exit code: on Windows 0 when the process was not started as a
// service (then `serviceMain` never runs) and nonzero after a run (the service control manager
// keeps the exit code of the stopped report). POSIX runs `serviceMain` as a foreground daemon
// (SIGTERM and SIGINT become stop controls, argv[0] is the program's name) and returns the exit
// code of the stopped report: 0 for none, serviceSpecificExitCode with 1066, else nonzero. (The
// Linux program blocks SIGTERM and SIGINT before any of its code runs: os/posix/stop_signals.cpp.)
int RunServiceDispatcher(ServiceMainFn serviceMain);
// Registers the control handler; returns 0 or an error number.
int RegisterControlHandler(const std::string& serviceName, ControlHandlerFn handler);
// Passes a status report on (POSIX: nowhere).
void SetStatus(const ServiceStatus& status);

// The registered program path of the service: Windows reads "ImagePath" of
// HKLM\SYSTEM\CurrentControlSet\Services\<name> (any length); POSIX gives the program's own path.
struct ImagePathResult {
  int openError = 0;   // the service's registry key could not be opened
  int queryError = 0;  // the value could not be read
  std::string path;
};
ImagePathResult ReadServiceImagePath(const std::string& serviceName);
// Makes `dir` the process's current directory; returns 0 or an error number.
int SetCurrentDir(const std::string& dir);

// ---- System log -------------------------------------------------------------------------------
// Hands one event to the system's log: level 0 information, 1 warning, 2 error. Windows reports
// it to the Application event log under the source kEventSourceName; POSIX writes it to standard
// error with an sd-daemon priority prefix when JOURNAL_STREAM names standard error, else nowhere.
// Whatever fails is ignored.
inline constexpr const char* kEventSourceName = "Velmora Device Server";
void ReportSystemEvent(int level, const std::string& text);

// ---- Serial device ----------------------------------------------------------------------------
// Flow control of a serial line, the same both ways: none, XON/XOFF, or RTS/CTS handshake.
enum class FlowControl : std::uint8_t { kNone, kXonXoff, kHardware };

struct LineSettings {
  std::uint32_t baudRate = 0;
  std::uint8_t byteSize = 8;
  std::uint8_t parity = 0;    // NOPARITY 0, ODDPARITY 1, EVENPARITY 2, MARKPARITY 3, SPACEPARITY 4
  bool parityCheck = false;   // fParity
  std::uint8_t stopBits = 0;  // ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2
  FlowControl flow = FlowControl::kNone;
};

// The input lines of a port (the values of GetCommModemStatus's MS_*_ON bits).
constexpr unsigned kModemCts = 0x10;
constexpr unsigned kModemDsr = 0x20;
constexpr unsigned kModemRing = 0x40;
constexpr unsigned kModemDcd = 0x80;
// Line errors seen on received data.
constexpr unsigned kLineOverrun = 0x02;
constexpr unsigned kLineParity = 0x04;
constexpr unsigned kLineFraming = 0x08;
constexpr unsigned kLineBreak = 0x10;

enum class ModemLine { kDtr, kRts };

// One open serial port, overlapped on Windows, non-blocking on POSIX. All operations return 0 or
// an error number.
class SerialPort {
 public:
  virtual ~SerialPort() = default;  // cancels and waits for outstanding I/O, then closes

  virtual int SetupBuffers(std::uint32_t rxSize, std::uint32_t txSize) = 0;
  virtual int GetLineSettings(LineSettings* out) = 0;
  // Sets bit rate, data bits, parity, stop bits and flow control (`flow`), binary mode; leaves
  // DTR control, special characters and limits as the driver holds them, and RTS too unless the
  // flow control is the RTS/CTS handshake (leaving the handshake raises RTS).
  virtual int SetLineSettings(const LineSettings& settings) = 0;
  // Reads the port's current time-outs (only to learn that they can be read).
  virtual int GetTimeouts() = 0;
  // Reads return at once with whatever is buffered (possibly nothing); writes have no time-out.
  virtual int SetNonBlockingTimeouts() = 0;
  virtual int SetModemLine(ModemLine line, bool high) = 0;
  // Holds the transmit line in the break state (on) or releases it.
  virtual int SetBreak(bool on) = 0;
  // The input lines now, as kModem* bits that are high.
  virtual int GetModemStatus(unsigned* lines) = 0;
  // Throws away what the driver has received and that has not been read yet.
  virtual int PurgeReceive() = 0;
  // The line errors (kLine* bits) the driver has seen since the last call; 0 where it cannot
  // tell (Windows: ClearCommError; Linux: the TIOCGICOUNT counters against the last call).
  virtual int TakeLineErrors(unsigned* errors) = 0;

  // Character-received notification. SetReceiveMask selects it; ArmReceiveWait starts a wait for
  // it unless one is already outstanding (0 or kErrIoPending: armed; anything else: failure).
  // ReceiveWaitable is signalled once characters have arrived; ReceiveWaitDone consumes a
  // completed wait (returns false while it is still outstanding). Arm again before the next wait.
  //
  // With `lineChanges` a change of CTS, DSR, RI or DCD and a line error wake a wait as well:
  // on Windows through the same receive wait (one WaitCommEvent for EV_RXCHAR, EV_CTS, EV_DSR,
  // EV_RLSD, EV_RING, EV_ERR and EV_BREAK), elsewhere through LineChangeWaitable. The woken
  // code reads GetModemStatus and TakeLineErrors; a wake may also find nothing changed.
  virtual int SetReceiveMask(bool lineChanges) = 0;
  // Signalled (and consumed by the wait that returns it) after the input lines changed, while
  // SetReceiveMask(true) is in force; null where the receive wait reports the changes. Where the
  // driver cannot wait for the lines (a pseudo-terminal), it is never signalled.
  virtual Waitable* LineChangeWaitable() = 0;
  virtual int ArmReceiveWait() = 0;
  virtual Waitable* ReceiveWaitable() = 0;
  virtual bool ReceiveWaitDone() = 0;

  // Reads at most `size` bytes that have already arrived; never blocks. `*got` may be 0.
  virtual int Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) = 0;

  // Starts writing `size` bytes; the port copies them and owns the copy until the write is done.
  // Returns 0 with `*written` set when it completed at once, kErrIoPending when it goes on in the
  // background (WriteWaitable is then signalled when it can go on or has ended, and FinishWrite
  // reports it), or an error. One write at a time: while one is outstanding, StartWrite refuses
  // with kErrInvalidParameter.
  virtual int StartWrite(const std::uint8_t* data, std::size_t size, std::size_t* written) = 0;
  virtual Waitable* WriteWaitable() = 0;
  virtual bool WritePending() const = 0;
  // Collects the outcome of the outstanding write once WriteWaitable was signalled: 0 with
  // `*written` (the whole write), kErrIoIncomplete while it still runs, or an error.
  virtual int FinishWrite(std::size_t* written) = 0;
  // Bytes given to StartWrite that the device has not taken yet, as far as the port can tell:
  // what is left of the outstanding write and what the driver still holds for sending. Falls as
  // the device takes bytes.
  virtual std::size_t UnsentBytes() = 0;
  // Gives up the outstanding write and empties the driver's transmit queue; `*dropped` is the
  // number of bytes that will never reach the device. Returns 0, or an error when the write
  // could not be ended (it then stays outstanding and owns its data).
  virtual int DiscardWrite(std::size_t* dropped) = 0;
};

// Opens the named port ("COM3", and on POSIX also an absolute device path) for exclusive use.
// On failure returns null and sets `*error` (kErrFileNotFound, kErrAccessDenied when in use, ...).
std::unique_ptr<SerialPort> OpenSerialDevice(const std::string& portName, int* error);

// ---- TCP sockets ------------------------------------------------------------------------------
constexpr unsigned kNetRead = 1;     // FD_READ
constexpr unsigned kNetWrite = 2;    // FD_WRITE
constexpr unsigned kNetAccept = 8;   // FD_ACCEPT
constexpr unsigned kNetClose = 32;   // FD_CLOSE

// A non-blocking IPv4 TCP socket whose network events can be waited on.
class Socket {
 public:
  virtual ~Socket() = default;  // closes
  virtual int SetNonBlocking() = 0;
  // Sends each piece at once instead of holding a small one back until the last is acknowledged
  // (TCP_NODELAY). Returns 0 or an error number.
  virtual int SetNoDelay() = 0;
  // `address` in host byte order, 0 (INADDR_ANY) for all local addresses; no address reuse.
  virtual int Bind(std::uint16_t port, std::uint32_t address = 0) = 0;
  virtual int Listen(int backlog) = 0;
  // Accepts a waiting connection: the new socket and the peer's dotted-decimal address.
  virtual std::unique_ptr<Socket> Accept(std::string* peerAddress, int* error) = 0;
  // Ties the socket's notification to the events in `mask` (kNet* bits). Returns 0 or an error.
  virtual int SelectEvents(unsigned mask) = 0;
  virtual Waitable* EventWaitable() = 0;
  // Which selected events occurred since the last call (resets the notification). Call it after a
  // wait returned EventWaitable.
  virtual unsigned TakeEvents(int* error) = 0;
  // Bytes that have arrived and wait to be received (0 with `*count`, or an error number).
  virtual int BytesWaiting(std::size_t* count) = 0;
  // 0 with `*got` bytes (0: the peer closed), or an error number.
  virtual int Receive(std::uint8_t* buffer, std::size_t size, std::size_t* got) = 0;
  // 0 with `*sent` bytes accepted (possibly fewer than offered: then the write notification
  // comes once there is room again), or an error number.
  virtual int Send(const std::uint8_t* data, std::size_t size, std::size_t* sent) = 0;
  // The bound local port (useful when port 0 was asked for).
  virtual std::uint16_t LocalPort() const = 0;

  // For sockets that carry a record protocol over a TCP socket (TLS, tls.h); a plain socket
  // answers false to both.
  // Input already taken off the network and held for the next Receive (the rest of a record
  // after a receive took part of it): no network event will come for it.
  virtual bool HasBufferedInput() const { return false; }
  // Data comes in records that may arrive in pieces: a receive that would block after a read
  // event is then part of the normal course, not a fault.
  virtual bool ReceivesInRecords() const { return false; }
};

// Starts the socket layer asking for `version` (0x0002 = 2.0); `*granted` receives what it gives.
int NetStartup(std::uint16_t version, std::uint16_t* granted);
void NetCleanup();
std::unique_ptr<Socket> CreateTcpSocket(int* error);

}  // namespace os
