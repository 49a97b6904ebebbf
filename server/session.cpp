#include "session.h"

#include <cstring>

#include "serial_port.h"

namespace {

// One session's state. Nothing is dropped: bytes read from the port wait in `toClient` until the
// client takes them (the port is not read meanwhile), and a client chunk is only received once
// the previous serial write has completed (the port owns the data of a pending write).
class Session {
 public:
  explicit Session(const SessionContext& c) : c_(c) {}
  SessionOutcome Run();

 private:
  enum class Step { kContinue, kEnd };

  // Wait list positions; the order is the priority when several are signalled.
  enum Slot { kExit, kWriteDone, kSocket, kSerial, kMaxConnect, kSlots };

  const char* client() const { return c_.clientAddress.c_str(); }
  const char* port() const { return c_.comPort.c_str(); }
  Step End(SessionOutcome outcome) {
    outcome_ = outcome;
    return Step::kEnd;
  }

  bool ClientWorkReady() const { return !c_.port.WritePending() && (clientReadable_ || clientClosed_); }
  bool SendWorkReady() const { return toClientSize_ > toClientOffset_ && clientWritable_; }
  bool HoldingClientBytes() const { return toClientSize_ > toClientOffset_; }

  Step ReceiveChunk();
  Step HandleClientChunk(const std::uint8_t* data, std::size_t size);
  Step SerialPath();
  Step SendToClient();
  void WriteCompleted();
  void UpdateSocketSelection();

  const SessionContext& c_;
  SessionOutcome outcome_ = SessionOutcome::SessionClosed;
  bool clientReadable_ = false;  // the client has data we have not received yet
  bool clientClosed_ = false;    // the client closed; what it sent before is still received
  bool clientWritable_ = true;   // a send may go through (false after it would block)
  unsigned selected_ = 0;        // network events the socket is tied to now
  int failedWaits_ = 0;          // failed waits in a row
  static constexpr int kMaxFailedWaits = 10;
  std::uint8_t toClient_[kChunkSize] = {};
  std::size_t toClientSize_ = 0;
  std::size_t toClientOffset_ = 0;
};

SessionOutcome Session::Run() {
  if (DebugEnabled) {
    os::LineSettings line;
    c_.port.GetLineSettings(&line);
    LogEvent(SerialSettingsLine(line), c_.log);
  }
  if (int error = c_.port.SetReceiveMask(); error != 0) {
    LogEvent(Format("Win32 Error #: %d Error setting communications event mask", error), c_.log);
    return SessionOutcome::SystemFailure;
  }
  UpdateSocketSelection();

  for (;;) {
    if (int error = c_.port.ArmReceiveWait(); error != 0 && error != os::kErrIoPending) {
      LogEvent(Format("Win32 Error #: %d Error while setting wait for serial data", error),
               c_.log);
      return SessionOutcome::SystemFailure;
    }
    UpdateSocketSelection();

    // Work that needs no waiting is done at once, but never ahead of a stop request.
    bool clientWork = ClientWorkReady();
    bool sendWork = SendWorkReady();

    os::Waitable* handles[kSlots] = {};
    handles[kExit] = &c_.exitEvent;
    if (c_.port.WritePending()) handles[kWriteDone] = c_.port.WriteWaitable();
    if (selected_ != 0) handles[kSocket] = c_.client.EventWaitable();
    if (!HoldingClientBytes()) handles[kSerial] = c_.port.ReceiveWaitable();
    handles[kMaxConnect] = &c_.maxConnectEvent;

    int waitError = 0;
    int signalled;
    if (clientWork || sendWork) {
      os::Waitable* exitOnly[] = {&c_.exitEvent};
      signalled = os::WaitAny(exitOnly, 0, &waitError) == 0 ? kExit : os::kWaitTimeout;
    } else {
      signalled = os::WaitAny(handles, c_.idleTimeout, &waitError);
    }

    Step step = Step::kContinue;
    switch (signalled) {
      case kExit:
        LogDebug("Server shutting down from SCM notification.", c_.log);
        return SessionOutcome::ExitRequested;
      case kWriteDone:
        WriteCompleted();
        break;
      case kSocket: {
        int error = 0;
        unsigned events = c_.client.TakeEvents(&error);
        if (events & os::kNetRead) clientReadable_ = true;
        if (events & os::kNetClose) clientClosed_ = true;
        if (events & os::kNetWrite) clientWritable_ = true;
        break;
      }
      case kSerial:
        step = SerialPath();
        break;
      case kMaxConnect:
        LogEvent(Format("%s reached max connect time, closing session", client()), c_.log);
        return SessionOutcome::SessionClosed;
      case os::kWaitTimeout:
        if (clientWork) {
          step = ReceiveChunk();
        } else if (sendWork) {
          step = SendToClient();
        } else {
          LogEvent(Format("%s reached idle time; closing connection", client()), c_.log);
          return SessionOutcome::SessionClosed;
        }
        break;
      default:
        // The wait failed: another pass, but a wait that keeps failing would make the loop spin.
        if (++failedWaits_ >= kMaxFailedWaits) {
          LogEvent(Format("Win32 Error #: %d Error waiting for session events", waitError),
                   c_.log);
          return SessionOutcome::SystemFailure;
        }
        continue;
    }
    failedWaits_ = 0;
    if (step == Step::kEnd) return outcome_;
  }
}

void Session::UpdateSocketSelection() {
  // The close is watched for as long as it has not been seen, so a client that goes away is
  // noticed even while its data waits for a serial write.
  unsigned wanted = 0;
  if (!clientReadable_ && !clientClosed_) wanted |= os::kNetRead;
  if (!clientClosed_) wanted |= os::kNetClose;
  if (HoldingClientBytes() && !clientWritable_) wanted |= os::kNetWrite;
  if (wanted != selected_) {
    // A failure here leaves the old selection; the session goes on as the wait allows.
    if (c_.client.SelectEvents(wanted) == 0) selected_ = wanted;
  }
}

Session::Step Session::ReceiveChunk() {
  std::uint8_t data[kChunkSize + 1] = {};
  std::size_t got = 0;
  clientReadable_ = false;
  int error = c_.client.Receive(data, kChunkSize, &got);
  if (error == 0 && got == 0) {
    // End of the client's stream: everything it sent has been passed on.
    LogEvent(Format("%s closed session", client()), c_.log);
    return End(SessionOutcome::SessionClosed);
  }
  if (error != 0) {
    if (clientClosed_) {
      // Closed (or reset) after its data: what could be received has been passed on.
      LogEvent(Format("%s closed session", client()), c_.log);
      return End(SessionOutcome::SessionClosed);
    }
    switch (error) {
      case os::kWsaWouldBlock:
        LogEvent(Format("%s has data pending", client()), c_.log);
        return HoldingClientBytes() ? Step::kContinue : SerialPath();
      case os::kWsaConnAborted:
        LogEvent(Format("%s aborted connection", client()), c_.log);
        return End(SessionOutcome::SessionClosed);
      case os::kWsaConnReset:
        LogEvent(Format("%s reset connection", client()), c_.log);
        return End(SessionOutcome::SessionClosed);
      case os::kWsaNotConnected:
        LogEvent(Format("%s disconnected", client()), c_.log);
        return End(SessionOutcome::SessionClosed);
      case os::kWsaShutdown:
        LogEvent(Format("%s closed connection", client()), c_.log);
        return End(SessionOutcome::SessionClosed);
      default:
        LogEvent(Format("Winsock Error #: %d Unexpected error while sending data to %s", error,
                        client()),
                 c_.log);
        return End(SessionOutcome::SocketFailure);
    }
  }
  return HandleClientChunk(data, got);
}

Session::Step Session::HandleClientChunk(const std::uint8_t* data, std::size_t size) {
  LogTrafficDump(Format("%s sent %d bytes: ", client(), static_cast<int>(size)), data, size,
                 c_.log);
  if (IsCloseCommand(data, size)) {
    LogEvent(Format("%s issued SSSP=0, closing session", client()), c_.log);
    return End(SessionOutcome::SessionClosed);
  }
  std::size_t written = 0;
  int error = c_.port.StartWrite(data, size, &written);
  if (error == 0) {
    LogDebug(Format("%s had %d bytes written to %s", client(), static_cast<int>(written), port()),
             c_.log);
  } else if (error == os::kErrIoPending) {
    LogDebug(Format("%s serial write pending", client()), c_.log);
  } else {
    LogEvent(Format("Win32 Error #: %d error writing data to %s from %s", error, port(), client()),
             c_.log);
  }
  return Step::kContinue;
}

void Session::WriteCompleted() {
  std::size_t written = 0;
  int error = c_.port.FinishWrite(&written);
  if (error == os::kErrIoIncomplete) return;
  if (error == 0) {
    LogDebug(Format("%s had %d bytes written to %s", client(), static_cast<int>(written), port()),
             c_.log);
  } else {
    LogEvent(Format("Win32 Error #: %d error writing data to %s from %s", error, port(), client()),
             c_.log);
  }
}

Session::Step Session::SerialPath() {
  c_.port.ReceiveWaitDone();
  std::size_t got = 0;
  int error = c_.port.Read(toClient_, kChunkSize, &got);
  if (got > kChunkSize) got = 0;
  LogTrafficDump(Format("%s %d bytes arrived from %s: ", client(), static_cast<int>(got), port()),
                 toClient_, got, c_.log);
  if (error == os::kErrIoPending) {
    LogDebug(Format("%s read pending", port()), c_.log);
    return Step::kContinue;
  }
  if (got == 0) return Step::kContinue;
  toClientSize_ = got;
  toClientOffset_ = 0;
  clientWritable_ = true;
  return SendToClient();
}

Session::Step Session::SendToClient() {
  std::size_t sent = 0;
  int error = c_.client.Send(toClient_ + toClientOffset_, toClientSize_ - toClientOffset_, &sent);
  if (error == 0) {
    if (sent > 0) LogDebug(Format("%s was sent %d bytes", client(), static_cast<int>(sent)), c_.log);
    toClientOffset_ += sent;
    if (toClientOffset_ >= toClientSize_) toClientSize_ = toClientOffset_ = 0;
    // A partial send is retried at once; the retry then either goes through or would block.
    return Step::kContinue;
  }
  switch (error) {
    case os::kWsaWouldBlock:
      LogDebug(Format("%s receive data pending", client()), c_.log);
      clientWritable_ = false;
      return Step::kContinue;
    case os::kWsaConnAborted:
      LogEvent(Format("%s aborted connection", client()), c_.log);
      return End(SessionOutcome::SessionClosed);
    case os::kWsaConnReset:
      LogEvent(Format("%s reset connection", client()), c_.log);
      return End(SessionOutcome::SessionClosed);
    case os::kWsaNotConnected:
      LogEvent(Format("%s has broken connection", client()), c_.log);
      return End(SessionOutcome::SessionClosed);
    case os::kWsaShutdown:
      LogEvent(Format("%s closed Session", client()), c_.log);
      return End(SessionOutcome::SessionClosed);
    default:
      LogEvent(Format("Winsock Error #: %d Error sending data to %s", error, client()), c_.log);
      return End(SessionOutcome::SocketFailure);
  }
}

}  // namespace

bool IsCloseCommand(const std::uint8_t* data, std::size_t size) {
  static constexpr char kCommand[] = "SSSP=0";
  std::size_t textLength = 0;
  while (textLength < size && data[textLength] != 0) ++textLength;
  return textLength == 6 && std::memcmp(data, kCommand, 6) == 0;
}

SessionOutcome RunSession(const SessionContext& context) { return Session(context).Run(); }
