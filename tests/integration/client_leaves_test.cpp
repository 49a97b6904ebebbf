// A client that leaves: the session ends soon after its close whatever waits for the device, at
// most the queue bound of its bytes is kept for the device and the rest is dropped and counted;
// a client that only shuts its sending side still gets the device's reply; a reset ends at once.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <regex>

#include "harness.h"

namespace vmds_it {
namespace {

constexpr std::size_t kQueueBound = 64 * 1024;

// How much the client sends, and in which protocol (with remote port control the bytes hold no
// IAC, so that they are the same data on both sides of the Telnet layer).
struct LeaveCase {
  const char* name;
  std::size_t amount;
  const char* protocol;
};

void PrintTo(const LeaveCase& c, std::ostream* out) { *out << c.name; }

class ClientLeaves : public VmdsTest, public ::testing::WithParamInterface<LeaveCase> {};

// Sends as much of `data` as the sockets take until they have taken nothing for `quiet`; returns
// the count.
std::size_t SendWhatIsTaken(Client& client, const Bytes& data, std::chrono::milliseconds quiet) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(client.fd(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    pollfd fd{client.fd(), POLLOUT, 0};
    if (poll(&fd, 1, static_cast<int>(quiet.count())) <= 0) break;
  }
  return sent;
}

// A client connected as soon as the service listens again (with debug mode off no line says
// when: a refused connection is tried again, for at most kWait).
std::unique_ptr<Client> ConnectOnceListening(int port) {
  const Clock::time_point deadline = Clock::now() + kWait;
  for (;;) {
    auto client = std::make_unique<Client>();
    const int error = client->Connect(port);
    if (error == 0) return client;
    if (error != ECONNREFUSED || Clock::now() >= deadline) return nullptr;
    pollfd none{-1, 0, 0};
    poll(&none, 1, 20);  // a refused connection leaves nothing to wait on
  }
}

TEST_P(ClientLeaves, SessionEndsAtOnceAndTheRestIsDroppedAndCounted) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  settings["Protocol"] = GetParam().protocol;
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  ASSERT_TRUE(instance.WaitForLog("STARTUP: "));
  PtyDevice& device = instance.device();

  // The device reads nothing while the client sends and leaves.
  Bytes data = PatternBytes(GetParam().amount, 0x1EAF);
  for (std::uint8_t& byte : data) byte = byte == 0xFF ? 0xFE : byte;
  std::size_t sent = 0;
  {
    Client client;
    ASSERT_EQ(client.Connect(instance.port()), 0);
    ASSERT_TRUE(instance.WaitForLog("connected to"));
    sent = SendWhatIsTaken(client, data, std::chrono::milliseconds(300));
    ASSERT_GT(sent, kQueueBound);
    // With remote port control the server offers its options first. A client that closed with
    // them unread would reset the connection (and a reset drops what it sent): it reads them.
    if (std::string(GetParam().protocol) == "RFC2217") {
      ASSERT_EQ(client.Read(15).size(), 15u) << "the server's option offer";
    }
  }
  const Clock::time_point closed = Clock::now();
  ASSERT_TRUE(instance.WaitForLog("127.0.0.1 closed session"));
  // Loosely bounded (the device may still reply for up to 2 s after a close): a session that
  // waited for the device would take for ever.
  EXPECT_LT(Clock::now() - closed, std::chrono::milliseconds(2500));
  ASSERT_TRUE(instance.WaitForLog("Dropped "));

  const std::vector<std::string> messages = instance.LogMessages();
  long dropped = -1;
  for (const std::string& message : messages) {
    std::smatch match;
    if (std::regex_match(message, match,
                         std::regex("Dropped ([0-9]+) bytes from 127\\.0\\.0\\.1: .*"))) {
      dropped = std::stol(match[1]);
    }
  }
  ASSERT_GE(dropped, static_cast<long>(sent - kQueueBound) - 8192) << "sent " << sent;
  // The status file counts the same bytes as dropped (what the session and the drain after it
  // dropped), written when the session has ended.
  EXPECT_TRUE(instance.WaitForFileText(
      "vmds.prom", {"vmds_dropped_bytes_total{instance=\"\",com_port=\"" + device.slavePath() +
                        "\",tcp_port=\"" + std::to_string(instance.port()) + "\"} " +
                        std::to_string(dropped) + "\n"}));

  // The next client is served right after; the device gets an unchanged beginning of the first
  // client's bytes (at most the bound and what the terminal held), then the next client's.
  std::unique_ptr<Client> next = ConnectOnceListening(instance.port());
  ASSERT_TRUE(next);
  ASSERT_TRUE(instance.WaitForLog("connected to", 2, std::chrono::milliseconds(3000)));
  ASSERT_TRUE(next->Send("next"));
  Bytes got;
  Clock::time_point deadline = Clock::now() + kWait;
  while (Clock::now() < deadline &&
         (got.size() < 4 || ToText(Bytes(got.end() - 4, got.end())) != "next")) {
    Bytes more = device.Read(1, std::chrono::milliseconds(MillisecondsLeft(deadline)));
    if (more.empty()) break;
    got.insert(got.end(), more.begin(), more.end());
    Bytes rest = device.ReadFor(std::chrono::milliseconds(0));
    got.insert(got.end(), rest.begin(), rest.end());
  }
  ASSERT_GE(got.size(), 4u);
  ASSERT_EQ(ToText(Bytes(got.end() - 4, got.end())), "next");
  const std::size_t delivered = got.size() - 4;
  EXPECT_EQ(FirstDifference(got, data), delivered);
  EXPECT_EQ(static_cast<long>(delivered) + dropped, static_cast<long>(sent));
}

INSTANTIATE_TEST_SUITE_P(Amounts, ClientLeaves,
                         ::testing::Values(LeaveCase{"Bytes200K", 200000, "Raw"},
                                           LeaveCase{"Bytes8M", 8 * 1024 * 1024, "Raw"},
                                           LeaveCase{"Bytes8MRemoteControl", 8 * 1024 * 1024,
                                                     "RFC2217"}),
                         [](const ::testing::TestParamInfo<LeaveCase>& info) {
                           return std::string(info.param.name);
                         });

// How the client ends, and what the device does after the client's last request.
enum class ClientEnd { kShutSending, kReset };
enum class DeviceAfter { kRepliesOnce, kKeepsTalking };
struct EndCase {
  const char* name;
  ClientEnd end;
  DeviceAfter device;
  int closeWithinMs;  // loose bound for the close line, from the client's end
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class ClientEnds : public VmdsTest, public ::testing::WithParamInterface<EndCase> {
 protected:
  bool SessionEnded() {
    return instance.CountLogLines("127.0.0.1 closed session") +
               instance.CountLogLines("127.0.0.1 reset connection") >
           0;
  }
};

TEST_P(ClientEnds, HalfCloseGetsTheReplyAndAResetEndsAtOnce) {
  const EndCase& c = GetParam();
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  ASSERT_TRUE(instance.WaitForLog("STARTUP: "));
  PtyDevice& device = instance.device();
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("connected to"));

  ASSERT_TRUE(client.Send("READ\r\n"));
  ASSERT_EQ(ToText(device.Read(6)), "READ\r\n");
  Clock::time_point ended = Clock::now();
  if (c.end == ClientEnd::kShutSending) {
    ASSERT_EQ(shutdown(client.fd(), SHUT_WR), 0);
  } else {
    linger abort{1, 0};
    ASSERT_EQ(setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    client.Close();
  }
  const Bytes reply = PatternBytes(200, 0x4E1);
  if (c.device == DeviceAfter::kRepliesOnce) {
    ASSERT_TRUE(device.Write(reply));
  } else {
    // Never quiet for long: only the upper bound, or the client's reset, ends the session.
    while (!SessionEnded() && Clock::now() - ended < kWait) {
      ASSERT_TRUE(device.Write(ToBytes("tick")));
      device.ReadFor(std::chrono::milliseconds(100));
    }
  }
  if (c.end == ClientEnd::kReset) {
    // Seen by a receive or by a send to the client, whichever comes first.
    EXPECT_TRUE(SessionEnded()) << "no closed or reset line";
  } else {
    ASSERT_TRUE(instance.WaitForLog("127.0.0.1 closed session"));
  }
  EXPECT_LT(Clock::now() - ended, std::chrono::milliseconds(c.closeWithinMs));
  if (c.end == ClientEnd::kShutSending) {
    Bytes got = client.Read(reply.size());
    if (c.device == DeviceAfter::kRepliesOnce) {
      EXPECT_EQ(got, reply);
    }
    EXPECT_TRUE(client.WaitClosedByServer());
  }
  // The next client is served.
  std::unique_ptr<Client> next = ConnectOnceListening(instance.port());
  ASSERT_TRUE(next);
  ASSERT_TRUE(instance.WaitForLog("connected to", 2));
  ASSERT_TRUE(next->Send("next"));
  EXPECT_EQ(ToText(device.Read(4)), "next");
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ClientEnds,
    ::testing::Values(
        EndCase{"HalfCloseThenReply", ClientEnd::kShutSending, DeviceAfter::kRepliesOnce, 1500},
        EndCase{"HalfCloseDeviceKeepsTalking", ClientEnd::kShutSending,
                DeviceAfter::kKeepsTalking, 3000},
        EndCase{"ResetDeviceKeepsTalking", ClientEnd::kReset, DeviceAfter::kKeepsTalking, 1000}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vmds_it
