#include "session.h"

#include <algorithm>
#include <cstring>
#include <chrono>
#include <memory>

#include "serial_port.h"

void LogSerialWritten(std::size_t written, const std::string& client, const std::string& comPort,
                      const LogSettings& log) {
  if (!DebugEnabled) return;  // no line to format
  LogDebug(Format("%s had %d bytes written to %s", client.c_str(), static_cast<int>(written),
                  comPort.c_str()),
           log);
}

void LogSerialWriteFailure(int error, const std::string& client, const std::string& comPort,
                           const LogSettings& log) {
  LogEvent(Format("Win32 Error #: %d error writing data to %s from %s", error, comPort.c_str(),
                  client.c_str()),
           log);
}

namespace {

// What a socket error means for the session, one table per direction: the errors that say the
// client has gone end the session with their line; any other ends it as a socket failure.
struct SocketErrorLines {
  struct Line {
    int error;
    const char* format;  // "%s": the client's address
  };
  Line gone[4];
  const char* unexpected;  // "%d": the error, "%s": the client's address
};

constexpr SocketErrorLines kReceiveErrors = {
    {{os::kWsaConnAborted, "%s aborted connection"},
     {os::kWsaConnReset, "%s reset connection"},
     {os::kWsaNotConnected, "%s disconnected"},
     {os::kWsaShutdown, "%s closed connection"}},
    "Winsock Error #: %d Unexpected error while sending data to %s"};

constexpr SocketErrorLines kSendErrors = {
    {{os::kWsaConnAborted, "%s aborted connection"},
     {os::kWsaConnReset, "%s reset connection"},
     {os::kWsaNotConnected, "%s has broken connection"},
     {os::kWsaShutdown, "%s closed Session"}},
    "Winsock Error #: %d Error sending data to %s"};

// One session's state. Nothing is dropped while the client is there and the device takes bytes:
// bytes read from the port wait in `toClient_` until the client takes them (the port is not read
// meanwhile), and client chunks that come while a serial write is pending wait in `toDevice_`
// (the port owns the data of the pending write) and go to the port in one write when it is done,
// up to kToDeviceLimit bytes; then the client is held back. So a slow side holds the other back
// instead of losing bytes. A client's close queued behind bytes not received yet cannot be seen
// (Winsock reports it only once the data before it has been received, and a full receive buffer
// keeps it in the client's send buffer): a device that takes nothing for kSessionStallMs while it
// holds the client back no longer does so, and what the client sends is then dropped and counted.
// Once the client has gone at most kToDeviceLimit bytes are kept for the device; after its end of
// stream it still gets what the device sends, until the device has been quiet for a while.
//
// With remote port control (RFC 2217) the client side speaks Telnet: what the client sends is
// decoded, its data runs take the path of raw chunks (each run is checked for the close command)
// and its negotiations and com port requests are answered in order; device data is sent with its
// IACs doubled, and the answers and line notifications go out in the same queue as that data.
//
// Each chunk is moved after one wait. What a wait reports is kept as readiness until it is used,
// and the wait asks only for what can be used now. The two directions take turns: the direction
// served last comes second in the wait list, and when it alone has work known without waiting, a
// wait that does not block first gives the other direction its chance. Otherwise the order of
// events signalled together is stop, client, device, connect time.
class Session {
 public:
  explicit Session(const SessionContext& c) : c_(c), waitSet_(os::CreateWaitSet()) {
    for (std::size_t place = 0; place < kPlaces; ++place) waitSet_->Add(nullptr);
    waitSet_->Change(kExitPlace, &c_.exitEvent);
    waitSet_->Change(kMaxConnectPlace, &c_.maxConnectEvent);
  }
  SessionOutcome Run();

 private:
  enum class Step { kContinue, kEnd };
  enum class Direction { kNone, kToDevice, kToClient };
  // The places of the wait set, in the order a wait reports what is signalled together. The
  // port's receive wait stands in one of two places, so that the direction served last comes
  // second.
  enum Place : std::size_t {
    kExitPlace,
    kSerialFirstPlace,
    kSocketPlace,
    kWriteDonePlace,
    kSerialLastPlace,
    kLinesPlace,
    kMaxConnectPlace,
    kPlaces
  };

  const char* client() const { return c_.clientAddress.c_str(); }
  const char* port() const { return c_.comPort.c_str(); }
  Step End(SessionOutcome outcome) {
    outcome_ = outcome;
    return Step::kEnd;
  }
  Step End(SessionEnd how) {
    c_.end = how;
    return End(SessionOutcome::SessionClosed);
  }

  static Direction Other(Direction served) {
    return served == Direction::kToDevice ? Direction::kToClient : Direction::kToDevice;
  }
  bool HoldingClientBytes() const { return toClient_.size() > toClientOffset_; }
  bool QueueFull() const { return toDevice_.size() + kChunkSize > kToDeviceLimit; }
  // Answers to a client that sends requests but does not read hold its further requests back.
  bool AnswersBacklogged() const { return toClient_.size() - toClientOffset_ > kAnswerBacklog; }
  // A stalled device no longer holds the client back: its bytes are read on and dropped.
  bool ToDeviceRoom() const { return (!QueueFull() || deviceStalled_) && !AnswersBacklogged(); }
  // Work that needs no wait, from readiness already reported.
  bool ToDeviceReady() const {
    return (!c_.port.WritePending() && !toDevice_.empty()) ||
           (!lingering_ && (clientReadable_ || clientClosed_) && ToDeviceRoom());
  }
  bool ToClientReady() const {
    return HoldingClientBytes() ? clientWritable_ : serialReady_ && !suspended_;
  }
  bool RemoteControl() const { return c_.control != nullptr; }

  SessionOutcome Loop();
  Step Serve(Direction direction);
  Step ServeAfterWake();
  Step StopRequested();
  Step MaxConnectReached();
  Step ReceiveChunk();
  // A receive that brought no data: the end of the stream or an error.
  Step ReceiveEnded(int error, std::size_t got);
  // Dumps a chunk from the client in debug mode; true when it is the close command (logged).
  bool TakeCloseCommand(const std::uint8_t* data, std::size_t size) const;
  Step HandleClientChunk(const std::uint8_t* data, std::size_t size);
  void WriteQueued();
  Step ClientGoneWhileWriting();
  // After the client's end of stream the device's data still goes to the client until the device
  // has been quiet for kLingerQuietMs (at most kLingerMaxMs) or a send fails.
  Step StartLingering();
  bool LingerOver() const;
  int LingerTimeout(int timeout) const;
  int WatchDevice(int timeout);
  // The idle time-out of a wait: all of it, or what is left of it after waits that ended only for
  // the status file.
  int IdleTimeout() const;
  void Drop(std::size_t bytes, SessionDrops::Reason reason);
  Step DiscardChunk();
  // Receives up to kToDeviceLimit bytes into discard_.
  int ReceiveLarge(std::size_t* got);
  Step SerialPath();
  Step SendToClient();
  void WriteCompleted();
  // The chunk paths format their debug lines only while DebugEnabled is set: with it cleared a
  // line would be formatted for every chunk and then thrown away.
  void LogWritten(std::size_t written) const {
    LogSerialWritten(written, c_.clientAddress, c_.comPort, c_.log);
  }
  void LogWriteFailure(int error) const {
    LogSerialWriteFailure(error, c_.clientAddress, c_.comPort, c_.log);
  }
  Step SocketError(const SocketErrorLines& lines, int error);
  void UpdateSocketSelection();
  void UpdateWaitSet();
  bool ClientDataWaiting();
  // A TLS socket may hold the rest of a record after a receive took part of it: no read event
  // comes for that, so the client stays readable until it is taken (a plain socket holds none).
  void KeepReadableForBufferedInput() {
    if (c_.client.HasBufferedInput()) clientReadable_ = true;
  }

  // Remote port control. ClientBytes hands the bytes of one receive on as data runs (raw: all of
  // them), each to `run`; the Telnet commands among them are answered in order.
  template <typename Run>
  Step ClientBytes(const std::uint8_t* bytes, std::size_t size, Run run) {
    if (!RemoteControl()) return run(bytes, size);
    const bool wasHolding = HoldingClientBytes();
    decoder_.Feed(bytes, size);
    Step step = Step::kContinue;
    for (const rfc2217::Item& item : decoder_.Items()) {
      switch (item.kind) {
        case rfc2217::Item::Kind::kData:
          step = run(decoder_.Data() + item.offset, item.size);
          break;
        case rfc2217::Item::Kind::kNegotiation:
          Negotiate(item.verb, item.option);
          break;
        case rfc2217::Item::Kind::kRequest:
          HandleRequest(item.request);
          break;
        case rfc2217::Item::Kind::kMalformed:
          if (DebugEnabled) {
            LogDebug(Format("%s RFC 2217 request not understood: %s", client(), item.text.c_str()),
                     c_.log);
          }
          break;
      }
      if (step == Step::kEnd) break;
    }
    AnswersQueued(wasHolding);
    return step;
  }
  void Negotiate(std::uint8_t verb, std::uint8_t option);
  void HandleRequest(const rfc2217::Request& request);
  void CheckLines();
  // Called after answers were queued: a queue that was empty may be sent at once.
  void AnswersQueued(bool wasHolding) {
    if (!wasHolding && HoldingClientBytes()) clientWritable_ = true;
  }

  const SessionContext& c_;
  SessionOutcome outcome_ = SessionOutcome::SessionClosed;

  // Readiness reported by waits and not used yet.
  bool clientReadable_ = false;  // the client has sent data (or its end) not received yet
  bool clientClosed_ = false;    // the client closed; what it sent before is still received
  bool clientWritable_ = true;   // a send may go through (false after it would block)
  bool serialReady_ = false;     // characters have arrived from the port
  bool armNeeded_ = true;        // a new wait for characters has to be started

  Direction lastServed_ = Direction::kNone;
  unsigned selected_ = 0;  // network events the socket is tied to now
  int failedWaits_ = 0;    // failed waits in a row
  static constexpr int kMaxFailedWaits = 10;

  // What the session waits on; its places change only when what they should hold changes.
  std::unique_ptr<os::WaitSet> waitSet_;
  unsigned waitSetKey_ = ~0u;

  // Client bytes received while a serial write was pending, oldest first.
  std::vector<std::uint8_t> toDevice_;

  // Watching a device that holds the client back: what it had not taken at the mark, and when
  // it counts as stalled if it takes nothing more.
  using Clock = std::chrono::steady_clock;
  static constexpr int kLingerQuietMs = 500;
  static constexpr int kLingerMaxMs = 2000;
  bool lingering_ = false;
  Clock::time_point quietUntil_;
  Clock::time_point lingerUntil_;

  bool idleTiming_ = false;  // idleSince_ holds when the quiet began
  Clock::time_point idleSince_;

  bool watchingDevice_ = false;
  bool deviceStalled_ = false;
  std::size_t unsentAtMark_ = 0;
  Clock::time_point stallDeadline_;
  std::vector<std::uint8_t> discard_;  // receives of bytes that are dropped

  // Bytes for the client: one chunk from the device (with remote port control, its IACs doubled,
  // and the answers and notifications queued behind it), sent from toClientOffset_ on.
  std::vector<std::uint8_t> toClient_;
  std::size_t toClientOffset_ = 0;

  static constexpr std::size_t kAnswerBacklog = 4096;
  rfc2217::Decoder decoder_;
  rfc2217::Negotiation negotiation_;
  bool comPortStarted_ = false;  // the client agreed to the com port option
  bool suspended_ = false;       // the client asked for no device data until it resumes
};

SessionOutcome Session::Run() {
  c_.end = SessionEnd::kClientClosed;
  SessionOutcome outcome = Loop();
  if (outcome == SessionOutcome::ExitRequested) c_.end = SessionEnd::kStop;
  if (outcome == SessionOutcome::SocketFailure || outcome == SessionOutcome::SystemFailure) {
    c_.end = SessionEnd::kError;
  }
  // What waits for the device is left to the connection cycle.
  c_.unwritten.insert(c_.unwritten.end(), toDevice_.begin(), toDevice_.end());
  return outcome;
}

SessionOutcome Session::Loop() {
  if (DebugEnabled) {
    os::LineSettings line;
    c_.port.GetLineSettings(&line);
    LogEvent(SerialSettingsLine(line), c_.log);
  }
  if (int error = c_.port.SetReceiveMask(RemoteControl()); error != 0) {
    LogEvent(Format("Win32 Error #: %d Error setting communications event mask", error), c_.log);
    return SessionOutcome::SystemFailure;
  }
  toClient_.reserve(2 * kChunkSize);
  if (RemoteControl()) {
    negotiation_.Offer(toClient_);
    AnswersQueued(false);
  }

  for (;;) {
    // While bytes move the status file is written once a second, also when every pass has work
    // and none reaches the wait; otherwise this only looks at a flag.
    const int statusDue = c_.status.WriteIfDue();
    // Flags set together with their events, read from memory: a stop stays ahead of work that
    // needs no wait, and a flood of data cannot hold off the end of the connect time.
    if (c_.exitEvent.IsSet()) {
      StopRequested();
      return outcome_;
    }
    if (c_.maxConnectEvent.IsSet()) {
      MaxConnectReached();
      return outcome_;
    }
    if (lingering_ && LingerOver()) {
      LogEvent(Format("%s closed session", client()), c_.log);
      return SessionOutcome::SessionClosed;
    }
    // A client that has gone while its bytes wait for the device: what it left is taken now.
    if (clientClosed_ && !lingering_ && c_.port.WritePending()) {
      if (ClientGoneWhileWriting() == Step::kEnd) return outcome_;
      continue;
    }
    if (armNeeded_ && !HoldingClientBytes()) {
      if (int error = c_.port.ArmReceiveWait(); error != 0 && error != os::kErrIoPending) {
        LogEvent(Format("Win32 Error #: %d Error while setting wait for serial data", error),
                 c_.log);
        return SessionOutcome::SystemFailure;
      }
      armNeeded_ = false;
    }
    UpdateSocketSelection();

    const bool toDevice = ToDeviceReady();
    const bool toClient = ToClientReady();
    Direction next = Direction::kNone;
    if (toDevice && toClient) {
      next = Other(lastServed_);
    } else if (toDevice && lastServed_ != Direction::kToDevice) {
      next = Direction::kToDevice;
    } else if (toClient && lastServed_ != Direction::kToClient) {
      next = Direction::kToClient;
    }
    if (next != Direction::kNone) {
      if (Serve(next) == Step::kEnd) return outcome_;
      continue;
    }

    // Only the direction served last has known work (then the wait only looks), or none has.
    const bool knownWork = toDevice || toClient;
    UpdateWaitSet();
    int waitError = 0;
    int timeout = LingerTimeout(WatchDevice(knownWork ? 0 : IdleTimeout()));
    // The status file's next write may end the wait sooner; that wake is no event and does not
    // start the idle time again.
    const bool statusWake = statusDue >= 0 && (timeout < 0 || statusDue < timeout);
    if (statusWake) {
      timeout = statusDue;
      if (!idleTiming_) {
        idleTiming_ = true;
        idleSince_ = Clock::now();
      }
    }
    int signalled = waitSet_->Wait(timeout, &waitError);
    if (statusWake && signalled == os::kWaitTimeout) continue;  // the next pass writes
    idleTiming_ = false;
    if (signalled == os::kWaitFailed) {
      // Another pass, but a wait that keeps failing would make the loop spin.
      if (++failedWaits_ >= kMaxFailedWaits) {
        LogEvent(Format("Win32 Error #: %d Error waiting for session events", waitError), c_.log);
        return SessionOutcome::SystemFailure;
      }
      continue;
    }
    failedWaits_ = 0;

    Step step = Step::kContinue;
    if (signalled == os::kWaitTimeout) {
      if (knownWork) {
        step = Serve(toDevice ? Direction::kToDevice : Direction::kToClient);
      } else if (lingering_) {
        // The next pass ends the session when the device has been quiet long enough.
      } else if (!c_.port.WritePending() || !ClientDataWaiting()) {
        LogEvent(Format("%s reached idle time; closing connection", client()), c_.log);
        c_.end = SessionEnd::kIdleTimeout;
        return SessionOutcome::SessionClosed;
      }
      // Otherwise the client's data waits for the device: that is no idleness.
    } else {
      switch (static_cast<Place>(signalled)) {
        case kExitPlace:
          StopRequested();
          return outcome_;
        case kSocketPlace: {
          int error = 0;
          unsigned events = c_.client.TakeEvents(&error);
          if (events & os::kNetRead) clientReadable_ = true;
          if (events & os::kNetClose) clientClosed_ = true;
          if (events & os::kNetWrite) clientWritable_ = true;
          // What the wake brought is served at once (what a gone client left is taken first).
          if (clientClosed_ && !lingering_ && c_.port.WritePending()) break;
          step = ServeAfterWake();
          break;
        }
        case kWriteDonePlace:
          deviceStalled_ = watchingDevice_ = false;  // the device took bytes
          WriteCompleted();
          step = ServeAfterWake();
          break;
        case kSerialFirstPlace:
        case kSerialLastPlace:
          serialReady_ = true;
          step = Serve(Direction::kToClient);
          break;
        case kLinesPlace:
          CheckLines();
          break;
        case kMaxConnectPlace:
        case kPlaces:
          MaxConnectReached();
          return outcome_;
      }
    }
    if (step == Step::kEnd) return outcome_;
  }
}

Session::Step Session::StopRequested() {
  LogDebug("Server shutting down from SCM notification.", c_.log);
  return End(SessionOutcome::ExitRequested);
}

Session::Step Session::MaxConnectReached() {
  LogEvent(Format("%s reached max connect time, closing session", client()), c_.log);
  return End(SessionEnd::kMaxConnectTime);
}

Session::Step Session::Serve(Direction direction) {
  if (c_.exitEvent.IsSet()) return StopRequested();
  lastServed_ = direction;
  if (direction == Direction::kToDevice) {
    if (!c_.port.WritePending() && !toDevice_.empty()) {
      WriteQueued();
      return Step::kContinue;
    }
    if (QueueFull()) return DiscardChunk();
    return ReceiveChunk();
  }
  return HoldingClientBytes() ? SendToClient() : SerialPath();
}

Session::Step Session::ServeAfterWake() {
  // The wait that just returned put the other direction first when this one was served last.
  const bool toDevice = ToDeviceReady();
  const bool toClient = ToClientReady();
  if (toDevice && toClient) return Serve(Other(lastServed_));
  if (toDevice) return Serve(Direction::kToDevice);
  if (toClient) return Serve(Direction::kToClient);
  return Step::kContinue;
}

void Session::UpdateSocketSelection() {
  // The close is watched for as long as it has not been seen, so a client that goes away is
  // noticed even while its data waits for a serial write. Data is asked for only when it can be
  // taken (another wake for it would be wasted).
  unsigned wanted = 0;
  if (!clientClosed_) wanted |= os::kNetClose;
  if (!clientReadable_ && !clientClosed_ && ToDeviceRoom()) wanted |= os::kNetRead;
  if (HoldingClientBytes() && !clientWritable_) wanted |= os::kNetWrite;
  if (wanted != selected_) {
    // A failure here leaves the old selection; the session goes on as the wait allows.
    if (c_.client.SelectEvents(wanted) == 0) selected_ = wanted;
  }
}

void Session::UpdateWaitSet() {
  const bool socket = selected_ != 0;
  const bool writeDone = c_.port.WritePending();
  const bool serial = !HoldingClientBytes() && !serialReady_ && !suspended_;
  const bool deviceFirst = lastServed_ == Direction::kToDevice;
  const bool lines = comPortStarted_;
  const unsigned key = (socket ? 1u : 0u) | (writeDone ? 2u : 0u) | (serial ? 4u : 0u) |
                       (deviceFirst ? 8u : 0u) | (lines ? 16u : 0u);
  if (key == waitSetKey_) return;
  waitSetKey_ = key;
  os::Waitable* receive = serial ? c_.port.ReceiveWaitable() : nullptr;
  waitSet_->Change(kSerialFirstPlace, deviceFirst ? receive : nullptr);
  waitSet_->Change(kSocketPlace, socket ? c_.client.EventWaitable() : nullptr);
  waitSet_->Change(kWriteDonePlace, writeDone ? c_.port.WriteWaitable() : nullptr);
  waitSet_->Change(kSerialLastPlace, deviceFirst ? nullptr : receive);
  waitSet_->Change(kLinesPlace, lines ? c_.port.LineChangeWaitable() : nullptr);
}

bool Session::ClientDataWaiting() {
  if (clientReadable_ || !toDevice_.empty()) return true;
  std::size_t waiting = 0;
  return c_.client.BytesWaiting(&waiting) == 0 && waiting > 0;
}

Session::Step Session::ReceiveChunk() {
  std::uint8_t data[kChunkSize + 1] = {};
  std::size_t got = 0;
  clientReadable_ = false;
  int error = c_.client.Receive(data, kChunkSize, &got);
  KeepReadableForBufferedInput();
  if (error != 0 || got == 0) return ReceiveEnded(error, got);
  return ClientBytes(data, got, [this](const std::uint8_t* run, std::size_t size) {
    return HandleClientChunk(run, size);
  });
}

Session::Step Session::ReceiveEnded(int error, std::size_t got) {
  // End of the client's stream: everything it sent has been passed on.
  if (error == 0 && got == 0) return StartLingering();
  if (error != 0) {
    if (clientClosed_) {
      // Closed (or reset) after its data: what could be received has been passed on.
      LogEvent(Format("%s closed session", client()), c_.log);
      return End(SessionOutcome::SessionClosed);
    }
    if (error == os::kWsaWouldBlock) {
      // A TLS record that has arrived in part: the rest comes with the next read event.
      if (c_.client.ReceivesInRecords()) return Step::kContinue;
      LogEvent(Format("%s has data pending", client()), c_.log);
      return HoldingClientBytes() ? Step::kContinue : SerialPath();
    }
    return SocketError(kReceiveErrors, error);
  }
  return Step::kContinue;
}

bool Session::TakeCloseCommand(const std::uint8_t* data, std::size_t size) const {
  if (DebugEnabled) {
    LogTrafficDump(Format("%s sent %d bytes: ", client(), static_cast<int>(size)), data, size,
                   c_.log);
  }
  if (!IsCloseCommand(data, size)) return false;
  LogEvent(Format("%s issued SSSP=0, closing session", client()), c_.log);
  return true;
}

Session::Step Session::HandleClientChunk(const std::uint8_t* data, std::size_t size) {
  if (TakeCloseCommand(data, size)) return End(SessionEnd::kCloseCommand);
  if (c_.port.WritePending() || !toDevice_.empty()) {
    // Behind the write still under way.
    toDevice_.insert(toDevice_.end(), data, data + size);
    if (DebugEnabled) LogDebug(Format("%s serial write pending", client()), c_.log);
    return Step::kContinue;
  }
  std::size_t written = 0;
  int error = c_.port.StartWrite(data, size, &written);
  if (error == 0) {
    c_.status.DeviceBytes(written);
    if (DebugEnabled) LogWritten(written);
  } else if (error == os::kErrIoPending) {
    if (DebugEnabled) LogDebug(Format("%s serial write pending", client()), c_.log);
  } else {
    LogWriteFailure(error);
  }
  return Step::kContinue;
}

void Session::WriteQueued() {
  // Everything that came while the last write was under way goes in one write, in the order the
  // client sent it (the port copies it); the "pending" lines were written when it came.
  const std::size_t size = std::min(kToDeviceLimit, toDevice_.size());
  std::size_t written = 0;
  int error = c_.port.StartWrite(toDevice_.data(), size, &written);
  toDevice_.erase(toDevice_.begin(), toDevice_.begin() + static_cast<std::ptrdiff_t>(size));
  if (error == 0) {
    c_.status.DeviceBytes(written);
    if (DebugEnabled) LogWritten(written);
  } else if (error != os::kErrIoPending) {
    LogWriteFailure(error);
  }
}

int Session::IdleTimeout() const {
  if (c_.idleTimeout < 0 || !idleTiming_) return c_.idleTimeout;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                        idleSince_ + std::chrono::milliseconds(c_.idleTimeout) - Clock::now())
                        .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

int Session::WatchDevice(int timeout) {
  // Only a device that holds the client back is watched: a write pending and the queue full.
  if (!c_.port.WritePending() || !QueueFull() || clientClosed_) {
    watchingDevice_ = deviceStalled_ = false;
    return timeout;
  }
  if (deviceStalled_) return timeout;
  const Clock::time_point now = Clock::now();
  const std::size_t unsent = c_.port.UnsentBytes();
  if (!watchingDevice_ || unsent < unsentAtMark_) {
    watchingDevice_ = true;
    unsentAtMark_ = unsent;
    stallDeadline_ = now + std::chrono::milliseconds(kSessionStallMs);
  } else if (now >= stallDeadline_) {
    // The client's bytes would wait for ever, and its close behind them would never be seen.
    deviceStalled_ = true;
    UpdateSocketSelection();
    return 0;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(stallDeadline_ - now).count();
  const int watch = static_cast<int>(left);
  return timeout < 0 || timeout > watch ? watch : timeout;
}

void Session::Drop(std::size_t bytes, SessionDrops::Reason reason) {
  c_.drops.bytes += bytes;
  c_.status.DroppedBytes(bytes);
  if (c_.drops.reason == SessionDrops::Reason::kNone) c_.drops.reason = reason;
}

int Session::ReceiveLarge(std::size_t* got) {
  if (discard_.empty()) discard_.resize(kToDeviceLimit);
  return c_.client.Receive(discard_.data(), discard_.size(), got);
}

Session::Step Session::DiscardChunk() {
  // The device is stalled and the queue full: what the client sends is received in large pieces
  // and dropped. A piece that is the close command alone still closes the session.
  std::size_t got = 0;
  clientReadable_ = false;
  int error = ReceiveLarge(&got);
  KeepReadableForBufferedInput();
  if (error != 0 || got == 0) return ReceiveEnded(error, got);
  return ClientBytes(discard_.data(), got, [this](const std::uint8_t* run, std::size_t size) {
    if (TakeCloseCommand(run, size)) return End(SessionEnd::kCloseCommand);
    Drop(size, SessionDrops::Reason::kDeviceStalled);
    return Step::kContinue;
  });
}

Session::Step Session::ClientGoneWhileWriting() {
  // The device has not taken the last chunk yet, and the client will send nothing more. What it
  // sent before it closed is taken from the socket now: chunk by chunk as ever up to the queue
  // bound, for the device (what is still queued when the session ends is left to the connection
  // cycle, which writes it behind the pending write, or drops it when the device takes nothing),
  // and the rest in large pieces, dropped and counted, so that the next client is not kept
  // waiting for it. Then the client still gets the device's reply, as after any close.
  int error = 0;
  std::size_t got = 0;
  for (;;) {
    if (QueueFull()) {
      if ((error = ReceiveLarge(&got)) != 0 || got == 0) break;
      auto drop = [this](const std::uint8_t* run, std::size_t size) {
        if (TakeCloseCommand(run, size)) return End(SessionEnd::kCloseCommand);
        Drop(size, SessionDrops::Reason::kClientGone);
        return Step::kContinue;
      };
      Step step = ClientBytes(discard_.data(), got, drop);
      if (step == Step::kEnd) return step;
      continue;
    }
    std::uint8_t data[kChunkSize + 1] = {};
    if ((error = c_.client.Receive(data, kChunkSize, &got)) != 0 || got == 0) break;
    Step step = ClientBytes(data, got, [this](const std::uint8_t* run, std::size_t size) {
      if (TakeCloseCommand(run, size)) return End(SessionEnd::kCloseCommand);
      toDevice_.insert(toDevice_.end(), run, run + size);
      return Step::kContinue;
    });
    if (step == Step::kEnd) return step;
  }
  if (error == 0) return StartLingering();
  // Reset after its data (or not readable at all): the session ends at once.
  LogEvent(Format("%s closed session", client()), c_.log);
  return End(SessionOutcome::SessionClosed);
}

Session::Step Session::StartLingering() {
  // The client has shut its sending side; it may still wait for the device's reply.
  const Clock::time_point now = Clock::now();
  lingering_ = clientClosed_ = true;
  clientReadable_ = false;
  lingerUntil_ = now + std::chrono::milliseconds(kLingerMaxMs);
  quietUntil_ = now + std::chrono::milliseconds(kLingerQuietMs);
  return Step::kContinue;
}

bool Session::LingerOver() const {
  return Clock::now() >= std::min(quietUntil_, lingerUntil_);
}

int Session::LingerTimeout(int timeout) const {
  if (!lingering_) return timeout;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                        std::min(quietUntil_, lingerUntil_) - Clock::now())
                        .count();
  const int linger = left > 0 ? static_cast<int>(left) : 0;
  return timeout < 0 || timeout > linger ? linger : timeout;
}

void Session::WriteCompleted() {
  std::size_t written = 0;
  int error = c_.port.FinishWrite(&written);
  if (error == os::kErrIoIncomplete) return;
  if (error == 0) {
    c_.status.DeviceBytes(written);
    if (DebugEnabled) LogWritten(written);
  } else {
    LogWriteFailure(error);
  }
}

Session::Step Session::SerialPath() {
  serialReady_ = false;
  armNeeded_ = true;
  c_.port.ReceiveWaitDone();
  std::uint8_t chunk[kChunkSize];
  std::size_t got = 0;
  int error = c_.port.Read(chunk, kChunkSize, &got);
  if (got > kChunkSize) got = 0;
  if (DebugEnabled) {
    LogTrafficDump(Format("%s %d bytes arrived from %s: ", client(), static_cast<int>(got), port()),
                   chunk, got, c_.log);
  }
  // A wake for the port may also come from its lines (Windows), and errors come with data.
  if (comPortStarted_) CheckLines();
  if (error == os::kErrIoPending) {
    if (DebugEnabled) LogDebug(Format("%s read pending", port()), c_.log);
    return Step::kContinue;
  }
  if (got == 0) return HoldingClientBytes() && clientWritable_ ? SendToClient() : Step::kContinue;
  if (lingering_) {
    quietUntil_ = Clock::now() + std::chrono::milliseconds(kLingerQuietMs);
  }
  if (RemoteControl()) {
    rfc2217::EncodeData(chunk, got, toClient_);
  } else {
    toClient_.insert(toClient_.end(), chunk, chunk + got);
  }
  clientWritable_ = true;
  return SendToClient();
}

Session::Step Session::SendToClient() {
  std::size_t sent = 0;
  int error = c_.client.Send(toClient_.data() + toClientOffset_, toClient_.size() - toClientOffset_,
                            &sent);
  if (error == 0) {
    c_.status.ClientBytes(sent);
    if (sent > 0 && DebugEnabled) {
      LogDebug(Format("%s was sent %d bytes", client(), static_cast<int>(sent)), c_.log);
    }
    toClientOffset_ += sent;
    if (toClientOffset_ >= toClient_.size()) {
      toClient_.clear();
      toClientOffset_ = 0;
    } else {
      // The socket took part: the rest goes when it says there is room again.
      clientWritable_ = false;
    }
    return Step::kContinue;
  }
  if (error == os::kWsaWouldBlock) {
    if (DebugEnabled) LogDebug(Format("%s receive data pending", client()), c_.log);
    clientWritable_ = false;
    return Step::kContinue;
  }
  if (lingering_) {
    // The client that shut its side has really gone now.
    LogEvent(Format("%s closed session", client()), c_.log);
    return End(SessionOutcome::SessionClosed);
  }
  return SocketError(kSendErrors, error);
}

void Session::Negotiate(std::uint8_t verb, std::uint8_t option) {
  negotiation_.Answer(verb, option, toClient_);
  if (negotiation_.ComPortActive() && !comPortStarted_) {
    comPortStarted_ = true;
    c_.control->Started(toClient_);
  }
}

void Session::HandleRequest(const rfc2217::Request& request) {
  const rfc2217::Effects effects = c_.control->Handle(request, toClient_);
  if (effects.purgeToDevice) {
    // The client asked for it: what waits for the device is not counted as dropped.
    toDevice_.clear();
    std::size_t discarded = 0;
    if (int error = c_.port.DiscardWrite(&discarded); error != 0) {
      LogEvent(Format("Win32 Error #: %d Could not cancel the write to %s", error, port()),
               c_.log);
    }
    deviceStalled_ = watchingDevice_ = false;
  }
  if (effects.suspendToClient) suspended_ = true;
  if (effects.resumeToClient) suspended_ = false;
}

void Session::CheckLines() {
  const bool wasHolding = HoldingClientBytes();
  c_.control->CheckLines(toClient_);
  AnswersQueued(wasHolding);
}

Session::Step Session::SocketError(const SocketErrorLines& lines, int error) {
  for (const SocketErrorLines::Line& line : lines.gone) {
    if (line.error == error) {
      LogEvent(Format(line.format, client()), c_.log);
      return End(SessionOutcome::SessionClosed);
    }
  }
  LogEvent(Format(lines.unexpected, error, client()), c_.log);
  return End(SessionOutcome::SocketFailure);
}

}  // namespace

bool IsCloseCommand(const std::uint8_t* data, std::size_t size) {
  // The text is the command exactly when its six characters (none of them zero) start the chunk
  // and the chunk ends or has a zero byte right after them; no need to measure the whole text.
  static constexpr char kCommand[] = "SSSP=0";
  return size >= 6 && std::memcmp(data, kCommand, 6) == 0 && (size == 6 || data[6] == 0);
}

SessionOutcome RunSession(const SessionContext& context) { return Session(context).Run(); }
