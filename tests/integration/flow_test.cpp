// Nothing is lost in either direction: a client that reads slowly holds the device back instead
// of losing its bytes, and what a client sends just before it closes still reaches the device.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "harness.h"

namespace vmds_it {
namespace {

// The most a TCP socket's send buffer can grow to on this system.
std::size_t LargestTcpSendBuffer() {
  std::ifstream in("/proc/sys/net/ipv4/tcp_wmem");
  std::size_t least = 0, initial = 0, most = 0;
  if (in >> least >> initial >> most && most > 0) return most;
  return 4 * 1024 * 1024;
}

// CPU time (user + system) the process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t end = text.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream rest(text.substr(end + 2));
  std::string field;
  unsigned long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stoul(field);
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class Flow : public VmdsTest {
 protected:
  PtyDevice& device() { return instance.device(); }
};

TEST_F(Flow, NoDeviceByteIsLostWhileTheClientDoesNotRead) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";  // a trace of every byte would only slow the test down
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));

  Client client;
  client.SetReceiveBuffer(4096);
  ASSERT_EQ(client.Connect(instance.port()), 0);
  // Client data reaching the device shows that the session loop runs (stale input is gone).
  ASSERT_TRUE(client.Send("sync"));
  ASSERT_EQ(ToText(device().Read(4)), "sync");

  // More than the service's socket may buffer (its send buffer grows up to the system's limit),
  // so the device is held back before the client starts reading.
  const Bytes flood = PatternBytes(LargestTcpSendBuffer() + 1024 * 1024, 0x5EED);
  const int master = device().masterFd();

  // The device writes while the client reads nothing, until the device is held back (no room
  // for 300 ms) or everything is written.
  std::size_t written = 0;
  bool heldBack = false;
  Clock::time_point deadline = Clock::now() + kWait;
  while (written < flood.size() && Clock::now() < deadline) {
    ssize_t n = write(master, flood.data() + written, flood.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EINTR)) << std::strerror(errno);
    pollfd pfd{master, POLLOUT, 0};
    if (poll(&pfd, 1, 300) == 0) {
      heldBack = true;
      break;
    }
  }
  RecordProperty("written_before_reading", static_cast<int>(written));
  EXPECT_TRUE(heldBack) << "the device could write " << written
                        << " bytes to a client that read nothing";

  // Now the client reads everything while the device writes the rest.
  Bytes received;
  received.reserve(flood.size());
  std::uint8_t buffer[65536];
  deadline = Clock::now() + std::chrono::seconds(20);
  while (received.size() < flood.size() && Clock::now() < deadline) {
    pollfd fds[2] = {{client.fd(), POLLIN, 0}, {master, POLLOUT, 0}};
    int count = written < flood.size() ? 2 : 1;
    if (poll(fds, count, MillisecondsLeft(deadline)) <= 0) break;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(client.fd(), buffer, sizeof buffer, 0);
      if (n == 0) break;  // the server closed: nothing more will come
      if (n > 0) received.insert(received.end(), buffer, buffer + n);
    }
    if (count == 2 && (fds[1].revents & POLLOUT)) {
      ssize_t n = write(master, flood.data() + written, flood.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
    }
  }
  EXPECT_EQ(written, flood.size());
  EXPECT_EQ(received.size(), flood.size());
  std::size_t first = FirstDifference(received, flood);
  EXPECT_EQ(first, std::min(received.size(), flood.size())) << "first wrong byte at " << first;
  EXPECT_TRUE(instance.Running());
}

TEST_F(Flow, WaitingOnBothSidesAtOnceIsQuiet) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  Client client;
  client.SetReceiveBuffer(4096);
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(client.Send("sync"));
  ASSERT_EQ(ToText(device().Read(4)), "sync");
  fcntl(client.fd(), F_SETFL, fcntl(client.fd(), F_GETFL) | O_NONBLOCK);

  // Neither the device nor the client reads: client data waits for the serial write and device
  // data waits for the client, each side held back by the other.
  const Bytes chunk = PatternBytes(4096, 3);
  std::size_t sent = 0;
  for (int i = 0; i < 1000; ++i) {
    ssize_t n = send(client.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ASSERT_GT(sent, 0u);
  std::size_t written = 0;
  for (;;) {
    std::size_t n = device().WriteSome(chunk.data(), chunk.size(), std::chrono::milliseconds(300));
    if (n == 0) break;
    written += n;
    ASSERT_LT(written, 64u * 1024 * 1024) << "the device was never held back";
  }

  // Waiting like this takes no CPU to speak of; a loop that spins takes the better part of a
  // core. The bound is far from both, whatever the machine.
  double before = CpuSeconds(instance.pid());
  pollfd none{-1, 0, 0};
  poll(&none, 1, 1000);  // the observation window itself, not a synchronisation
  double used = CpuSeconds(instance.pid()) - before;
  EXPECT_LT(used, 0.3) << "vmds used " << used << " s of CPU in 1 s while waiting";

  // And the half-closed client does not make it spin either.
  shutdown(client.fd(), SHUT_WR);
  before = CpuSeconds(instance.pid());
  poll(&none, 1, 1000);
  used = CpuSeconds(instance.pid()) - before;
  EXPECT_LT(used, 0.3) << "vmds used " << used << " s of CPU in 1 s after the client half-closed";
  EXPECT_TRUE(instance.Running());
}

// Both ends of a session driven as fast as they can: the client sends one endless stream to the
// device, the device another to the client, and each side reads and checks what comes.
class TwoWayPump {
 public:
  TwoWayPump(Client& client, PtyDevice& device)
      : client_(client), device_(device), up_(PatternBytes(kStream, 0xC0FFEE)),
        down_(PatternBytes(kStream, 0xBEEF)) {
    fcntl(client.fd(), F_SETFL, fcntl(client.fd(), F_GETFL) | O_NONBLOCK);
  }

  struct Moved {
    std::size_t up = 0;    // bytes that reached the device
    std::size_t down = 0;  // bytes that reached the client
    double seconds = 0;
  };

  // Sends in the directions asked for until `total` bytes have arrived (both directions
  // together), then lets what is under way arrive. What arrived before `total` is counted.
  Moved Run(bool sendUp, bool sendDown, std::size_t total) {
    Moved moved;
    const std::size_t upStart = upReceived_, downStart = downReceived_;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::seconds(20);
    bool counting = true;
    while (Clock::now() < deadline) {
      if (counting && (upReceived_ - upStart) + (downReceived_ - downStart) >= total) {
        moved.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        moved.up = upReceived_ - upStart;
        moved.down = downReceived_ - downStart;
        counting = false;
      }
      const bool up = counting && sendUp && upSent_ < up_.size();
      const bool down = counting && sendDown && downSent_ < down_.size();
      if (!counting && upReceived_ == upSent_ && downReceived_ == downSent_) break;
      pollfd fds[2] = {{client_.fd(), static_cast<short>(POLLIN | (up ? POLLOUT : 0)), 0},
                       {device_.masterFd(), static_cast<short>(POLLIN | (down ? POLLOUT : 0)), 0}};
      if (poll(fds, 2, MillisecondsLeft(deadline)) <= 0) break;
      if (fds[0].revents & POLLOUT) {
        ssize_t n = send(client_.fd(), up_.data() + upSent_, std::min(kBurst, up_.size() - upSent_),
                         MSG_NOSIGNAL);
        if (n > 0) upSent_ += static_cast<std::size_t>(n);
      }
      if (fds[1].revents & POLLOUT) {
        ssize_t n = write(device_.masterFd(), down_.data() + downSent_,
                          std::min(kBurst, down_.size() - downSent_));
        if (n > 0) downSent_ += static_cast<std::size_t>(n);
      }
      if ((fds[0].revents & POLLIN) && !Take(recv(client_.fd(), buffer_, sizeof buffer_, 0),
                                             down_, downReceived_)) {
        break;
      }
      if ((fds[1].revents & POLLIN) && !Take(read(device_.masterFd(), buffer_, sizeof buffer_),
                                             up_, upReceived_)) {
        break;
      }
    }
    EXPECT_FALSE(counting) << "only " << upReceived_ - upStart << " bytes up and "
                           << downReceived_ - downStart << " down arrived";
    EXPECT_EQ(upReceived_, upSent_) << "bytes to the device were lost";
    EXPECT_EQ(downReceived_, downSent_) << "bytes to the client were lost";
    return moved;
  }

 private:
  static constexpr std::size_t kStream = 16 * 1024 * 1024;
  static constexpr std::size_t kBurst = 64 * 1024;

  // Checks what arrived against the stream; false when it is not the stream's next bytes.
  bool Take(ssize_t n, const Bytes& stream, std::size_t& received) {
    if (n <= 0) return n < 0 && errno == EAGAIN;
    const std::size_t count = static_cast<std::size_t>(n);
    if (received + count > stream.size() ||
        std::memcmp(buffer_, stream.data() + received, count) != 0) {
      ADD_FAILURE() << "wrong bytes after " << received << " bytes of a stream";
      return false;
    }
    received += count;
    return true;
  }

  Client& client_;
  PtyDevice& device_;
  const Bytes up_, down_;
  std::size_t upSent_ = 0, upReceived_ = 0, downSent_ = 0, downReceived_ = 0;
  std::uint8_t buffer_[65536];
};

TEST_F(Flow, NeitherDirectionStarvesWhenBothSendAsFastAsTheyCan) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(client.Send("sync"));
  ASSERT_EQ(ToText(device().Read(4)), "sync");

  // Each direction alone, then both at once, over the same amount of bytes. Taking turns gives
  // each direction about half of what it moves alone; a third is the aim, a tenth the bound.
  constexpr std::size_t kAmount = 1024 * 1024;
  TwoWayPump pump(client, device());
  const TwoWayPump::Moved upAlone = pump.Run(true, false, kAmount);
  const TwoWayPump::Moved downAlone = pump.Run(false, true, kAmount);
  const TwoWayPump::Moved both = pump.Run(true, true, kAmount);
  ASSERT_GT(upAlone.seconds, 0);
  ASSERT_GT(downAlone.seconds, 0);
  ASSERT_GT(both.seconds, 0);
  const double upShare = (both.up / both.seconds) / (upAlone.up / upAlone.seconds);
  const double downShare = (both.down / both.seconds) / (downAlone.down / downAlone.seconds);
  RecordProperty("up_share_percent", static_cast<int>(upShare * 100));
  RecordProperty("down_share_percent", static_cast<int>(downShare * 100));
  EXPECT_GE(upShare, 0.1) << "client to device: " << both.up << " bytes while the other way took "
                          << both.down;
  EXPECT_GE(downShare, 0.1) << "device to client: " << both.down
                            << " bytes while the other way took " << both.up;
  std::cout << "alone: up " << upAlone.up / upAlone.seconds / 1e6 << " MB/s, down "
            << downAlone.down / downAlone.seconds / 1e6 << " MB/s; together: up "
            << both.up / both.seconds / 1e6 << " MB/s, down " << both.down / both.seconds / 1e6
            << " MB/s\n";
}

TEST_F(Flow, ClientDataSentJustBeforeItClosesReachesTheDeviceFirst) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("Bit Rate = "));

  // Small enough for the terminal to take at once, so everything is written when the session
  // ends: the device reads it only after the closing line.
  const Bytes data = PatternBytes(3000, 0xC105E);
  ASSERT_TRUE(client.Send(data));
  client.Close();
  ASSERT_TRUE(instance.WaitForLog("127.0.0.1 closed session"));
  Bytes got = device().Read(data.size());
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(FirstDifference(got, data), std::min(got.size(), data.size()));
}

TEST_F(Flow, LargeClientSendFollowedByCloseIsPassedOnCompletely) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("Bit Rate = "));

  // More than the terminal holds: the device has to read while the service writes.
  const Bytes data = PatternBytes(40000, 0xB16);
  Bytes got;
  std::size_t sent = 0;
  std::uint8_t buffer[8192];
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
  bool closed = false;
  while (got.size() < data.size() && Clock::now() < deadline) {
    if (sent == data.size() && !closed) {
      client.Close();
      closed = true;
    }
    pollfd fds[2] = {{device().masterFd(), POLLIN, 0}, {client.fd(), POLLOUT, 0}};
    int count = closed ? 1 : 2;
    if (poll(fds, count, MillisecondsLeft(deadline)) <= 0) break;
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(device().masterFd(), buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    if (count == 2 && (fds[1].revents & POLLOUT)) {
      ssize_t n = send(client.fd(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
  }
  if (!closed) client.Close();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(FirstDifference(got, data), std::min(got.size(), data.size()));
  ASSERT_TRUE(instance.WaitForLog("127.0.0.1 closed session"));
  ASSERT_TRUE(instance.WaitListening(2));

  // Every byte was written to the port before the next client could come (a write still pending
  // when the client's close was seen is finished after the session's close line).
  const std::regex writtenLine("127\\.0\\.0\\.1 had ([0-9]+) bytes written to .*");
  long total = 0;
  int listening = 0;
  for (const std::string& message : instance.LogMessages()) {
    std::smatch match;
    if (message == "Waiting for connection") ++listening;
    if (!std::regex_match(message, match, writtenLine)) continue;
    EXPECT_EQ(listening, 1) << "a write completed after the service listened again";
    total += std::stol(match[1]);
  }
  EXPECT_EQ(total, static_cast<long>(data.size()));
  EXPECT_EQ(instance.CountLogLines("Dropped "), 0);
}

TEST_F(Flow, QueuedClientDataReachesTheDeviceWholeInFewerWrites) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("Bit Rate = "));

  // The device reads nothing until the service has received everything (less than the queue
  // bound), most of it behind a pending write.
  const Bytes data = PatternBytes(40000, 0x0DE);
  ASSERT_TRUE(client.Send(data));
  const std::regex sentLine("127\\.0\\.0\\.1 sent ([0-9]+) bytes: .*");
  const std::regex writtenLine("127\\.0\\.0\\.1 had ([0-9]+) bytes written to .*");
  // The bytes of the matching lines; with `queued`, the count and bytes of those after the first
  // write that did not complete at once.
  struct Queued {
    int writes = 0;
    long bytes = 0;
  };
  auto sum = [&](const std::regex& line, Queued* queued) {
    long total = 0;
    bool pending = false;
    for (const std::string& message : instance.LogMessages()) {
      if (message == "127.0.0.1 serial write pending") pending = true;
      std::smatch match;
      if (!std::regex_match(message, match, line)) continue;
      const long n = std::stol(match[1]);
      total += n;
      if (queued && pending) {
        ++queued->writes;
        queued->bytes += n;
      }
    }
    return total;
  };
  const Clock::time_point deadline = Clock::now() + kWait;
  while (sum(sentLine, nullptr) < static_cast<long>(data.size()) &&
         Clock::now() < deadline) {
    instance.WaitForLog("127.0.0.1 serial write pending",
                        instance.CountLogLines("127.0.0.1 serial write pending") + 1,
                        std::chrono::milliseconds(200));
  }
  ASSERT_EQ(sum(sentLine, nullptr), static_cast<long>(data.size()));

  Bytes got = device().Read(data.size());
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(FirstDifference(got, data), std::min(got.size(), data.size()));
  // Every byte went through a reported write; the queued ones went many chunks to a write (one
  // write a chunk before).
  Clock::time_point until = Clock::now() + kWait;
  while (sum(writtenLine, nullptr) < static_cast<long>(data.size()) && Clock::now() < until) {
    instance.WaitForLog("had ", instance.CountLogLines("had ") + 1,
                        std::chrono::milliseconds(200));
  }
  Queued queued;
  EXPECT_EQ(sum(writtenLine, &queued), static_cast<long>(data.size()));
  ASSERT_GT(queued.writes, 0);
  EXPECT_GT(queued.bytes / queued.writes, 64 * 8)
      << queued.bytes << " bytes in " << queued.writes << " writes";
}

}  // namespace
}  // namespace vmds_it
