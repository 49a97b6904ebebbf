// Sessions of the real vmds: bytes both ways, the close command, one client at a time, the idle
// and connect-time limits, stop requests, and the debug trace.
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <regex>

#include "harness.h"

namespace vmds_it {
namespace {

class Session : public VmdsTest {
 protected:
  // Connects `client` as the `number`-th session and waits until the session loop runs (the
  // serial settings line is written after stale input was discarded).
  void Open(Client& client, int number = 1) {
    ASSERT_EQ(client.Connect(instance.port()), 0);
    ASSERT_TRUE(instance.WaitForLog("127.0.0.1 connected to " + port(), number));
    ASSERT_TRUE(instance.WaitForLog("Bit Rate = ", number));
  }
  std::string port() { return instance.device().slavePath(); }
  PtyDevice& device() { return instance.device(); }
};

Bytes AllByteValues(bool descending) {
  Bytes bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::uint8_t>(descending ? 255 - i : i);
  return bytes;
}

TEST_F(Session, EveryByteValuePassesUnchangedBothWays) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));

  Bytes up = AllByteValues(false);
  ASSERT_TRUE(client.Send(up));
  EXPECT_EQ(device().Read(up.size()), up);

  Bytes down = AllByteValues(true);
  ASSERT_TRUE(device().Write(down));
  EXPECT_EQ(client.Read(down.size()), down);

  // Nothing was added on either side (no echo, no line-end translation).
  ASSERT_TRUE(client.Send("end"));
  EXPECT_EQ(ToText(device().Read(3)), "end");
  ASSERT_TRUE(device().Write(ToBytes("END")));
  EXPECT_EQ(ToText(client.Read(3)), "END");
}

TEST_F(Session, HundredDeviceBytesArriveInChunksOfAtMost64) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));

  Bytes burst = PatternBytes(100, 7);
  ASSERT_TRUE(device().Write(burst));
  EXPECT_EQ(client.Read(100), burst);

  // Every chunk is dumped before it is sent, so all headers are in the log by now.
  const std::regex header("127\\.0\\.0\\.1 ([0-9]+) bytes arrived from " +
                          std::regex_replace(port(), std::regex("[/.]"), "\\$&") + ": .*");
  int total = 0;
  int chunks = 0;
  for (const std::string& message : instance.LogMessages()) {
    std::smatch match;
    if (!std::regex_match(message, match, header)) continue;
    int count = std::stoi(match[1]);
    EXPECT_GE(count, 1);
    EXPECT_LE(count, 64);
    total += count;
    ++chunks;
  }
  EXPECT_EQ(total, 100);
  EXPECT_GE(chunks, 2);
}

TEST_F(Session, ReplyLongerThanAChunkComesBackWithoutWaitingForAnAcknowledgement) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  ASSERT_TRUE(instance.WaitForLog("STARTUP: "));
  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("connected to"));

  // A request answered by a 255-byte reply, which leaves in four chunks: a chunk held back until
  // the client acknowledges the one before costs the client's delayed acknowledgement (about
  // 40 ms) on every round trip.
  std::vector<double> millis;
  for (int round = 0; round < 21; ++round) {
    const Bytes request = PatternBytes(255, 100 + round);
    const Bytes reply = PatternBytes(255, 200 + round);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(client.Send(request));
    ASSERT_EQ(device().Read(request.size()), request);
    ASSERT_TRUE(device().Write(reply));
    ASSERT_EQ(client.Read(reply.size()), reply);
    millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(millis.begin(), millis.end());
  EXPECT_LT(millis[millis.size() / 2], 20.0) << "median round trip in ms";
}

TEST_F(Session, CloseCommandAloneEndsTheSessionAndIsNotPassedOn) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Open(client));
    ASSERT_TRUE(client.Send("SSSP=0"));
    EXPECT_TRUE(client.WaitClosedByServer());
    EXPECT_TRUE(instance.WaitForLog("127.0.0.1 issued SSSP=0, closing session"));
  }
  // The next client's first byte is the first thing the device sees.
  ASSERT_TRUE(instance.WaitListening(2));
  Client next;
  ASSERT_NO_FATAL_FAILURE(Open(next, 2));
  ASSERT_TRUE(next.Send("X"));
  EXPECT_EQ(ToText(device().Read(1)), "X");
}

TEST_F(Session, CloseCommandWithLineEndIsData) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  ASSERT_TRUE(client.Send("SSSP=0\r\n"));
  EXPECT_EQ(ToText(device().Read(8)), "SSSP=0\r\n");
  // The session goes on.
  ASSERT_TRUE(client.Send("more"));
  EXPECT_EQ(ToText(device().Read(4)), "more");
  ASSERT_TRUE(device().Write(ToBytes("reply")));
  EXPECT_EQ(ToText(client.Read(5)), "reply");
  EXPECT_EQ(instance.CountLogLines("issued SSSP=0"), 0);
}

TEST_F(Session, SecondClientIsRefusedDuringASessionAndAcceptedAfterIt) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client first;
  ASSERT_NO_FATAL_FAILURE(Open(first));
  {
    Client second;
    EXPECT_EQ(second.Connect(instance.port()), ECONNREFUSED);
  }
  first.Close();
  ASSERT_TRUE(instance.WaitForLog("127.0.0.1 closed session"));
  ASSERT_TRUE(instance.WaitListening(2));
  Client third;
  ASSERT_NO_FATAL_FAILURE(Open(third, 2));
  ASSERT_TRUE(third.Send("3"));
  EXPECT_EQ(ToText(device().Read(1)), "3");
  // Re-listening logs the listener lines again.
  EXPECT_EQ(instance.CountLogLines("TCP socket initialized"), 2);
}

TEST_F(Session, DeviceBytesFromBetweenSessionsNeverReachTheNextClient) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  // Before the first client.
  ASSERT_TRUE(device().Write(ToBytes("OLD")));
  ASSERT_TRUE(device().WaitUntilQueuedForHost(3));
  {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Open(client));
    ASSERT_TRUE(device().Write(ToBytes("NEW1")));
    EXPECT_EQ(ToText(client.Read(4)), "NEW1");
  }
  // Between two clients.
  ASSERT_TRUE(instance.WaitForLog("closed session"));
  ASSERT_TRUE(instance.WaitListening(2));
  ASSERT_TRUE(device().Write(ToBytes("STALE")));
  ASSERT_TRUE(device().WaitUntilQueuedForHost(5));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client, 2));
  ASSERT_TRUE(device().Write(ToBytes("NEW2")));
  EXPECT_EQ(ToText(client.Read(4)), "NEW2");
}

TEST_F(Session, IdleTimeoutEndsTheSessionAndTheNextClientGetsIn) {
  StartupSettings settings = instance.DefaultSettings();
  settings["IdleTimeout"] = "1";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  {
    Client client;
    ASSERT_NO_FATAL_FAILURE(Open(client));
    EXPECT_TRUE(client.WaitClosedByServer());
    EXPECT_EQ(instance.CountLogLines("127.0.0.1 reached idle time; closing connection"), 1);
  }
  ASSERT_TRUE(instance.WaitListening(2));
  Client next;
  ASSERT_NO_FATAL_FAILURE(Open(next, 2));
  ASSERT_TRUE(next.Send("after idle"));
  EXPECT_EQ(ToText(device().Read(10)), "after idle");
  EXPECT_TRUE(next.WaitClosedByServer());
  EXPECT_EQ(instance.CountLogLines("127.0.0.1 reached idle time; closing connection"), 2);
}

TEST_F(Session, MaxConnectTimeEndsABusySessionAndTheNextClientGetsIn) {
  StartupSettings settings = instance.DefaultSettings();
  settings["MaxConnectTime"] = "0.5";
  settings["DebugEnabled"] = "no";  // keeps the busy client's trace out of the log
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  const std::string line = "127.0.0.1 reached max connect time, closing session";
  {
    Client client;
    ASSERT_EQ(client.Connect(instance.port()), 0);
    // The client keeps the session busy until the limit ends it.
    Clock::time_point deadline = Clock::now() + kWait;
    while (instance.CountLogLines(line) == 0 && Clock::now() < deadline) {
      if (!client.Send("k")) break;
      instance.WaitForLog(line, 1, std::chrono::milliseconds(20));
      device().ReadFor(std::chrono::milliseconds(0));
    }
    EXPECT_EQ(instance.CountLogLines(line), 1);
    EXPECT_TRUE(client.WaitClosedByServer());
  }
  EXPECT_EQ(instance.CountLogLines("idle time"), 0);

  Client next;
  Clock::time_point deadline = Clock::now() + kWait;
  int error = ECONNREFUSED;
  while (error == ECONNREFUSED && Clock::now() < deadline) {
    // Without debug lines the listener's return shows only as a connect that succeeds.
    Client attempt;
    error = attempt.Connect(instance.port());
    if (error == 0) {
      ASSERT_TRUE(instance.WaitForLog("connected to", 2));
      EXPECT_TRUE(attempt.WaitClosedByServer());
      EXPECT_TRUE(instance.WaitForLog(line, 2));
    } else {
      instance.WaitForLog("connected to", 2, std::chrono::milliseconds(5));
    }
  }
  EXPECT_EQ(error, 0);
}

TEST_F(Session, StopRequestEndsASessionAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  ASSERT_TRUE(instance.StopCleanly());
  EXPECT_TRUE(client.WaitClosedByServer());
  std::vector<std::string> messages = instance.LogMessages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], "Server shutting down from SCM notification.");
  EXPECT_EQ(messages.back(), "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47");
  EXPECT_EQ(instance.CountLogLines("Exit Signalled"), 0);
}

TEST_F(Session, ClientThatDisconnectsClosesTheSession) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  client.Close();
  EXPECT_TRUE(instance.WaitForLog("127.0.0.1 closed session"));
  EXPECT_TRUE(instance.WaitListening(2));
  EXPECT_TRUE(instance.Running());
}

TEST_F(Session, DebugTraceOfClientDataDumpsFifteenItemsALine) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  Bytes data;
  for (int i = 0; i < 20; ++i) data.push_back(static_cast<std::uint8_t>(0x41 + i));
  data[3] = 0x0D;
  data[4] = 0x00;
  ASSERT_TRUE(client.Send(data));
  ASSERT_EQ(device().Read(20), data);
  ASSERT_TRUE(instance.WaitForLog("had 20 bytes written to"));

  std::vector<std::string> messages = instance.LogMessages();
  const std::string header = "127.0.0.1 sent 20 bytes: ";
  std::size_t at = 0;
  while (at < messages.size() && messages[at].rfind(header, 0) != 0) ++at;
  ASSERT_LT(at + 2, messages.size()) << "no dump of the client's 20 bytes";
  EXPECT_EQ(messages[at], header + "<41h><42h><43h><0Dh><00h><46h><47h><48h><49h><4Ah><4Bh><4Ch>"
                                   "<4Dh><4Eh><4Fh>");
  EXPECT_EQ(messages[at + 1], "<50h><51h><52h><53h><54h>");
  EXPECT_EQ(messages[at + 2], "127.0.0.1 had 20 bytes written to " + port());
}

TEST_F(Session, DebugTraceOfDeviceData) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  ASSERT_TRUE(device().Write(ToBytes("0123456789abcdefg")));
  ASSERT_EQ(ToText(client.Read(17)), "0123456789abcdefg");
  ASSERT_TRUE(instance.WaitForLog(" was sent "));

  // Each chunk: a header line with up to 15 items, further lines of up to 15 items, then the
  // count the client was sent.
  const std::string headerEnd = " bytes arrived from " + port() + ": ";
  std::string items;
  int sent = 0;
  for (const std::string& message : instance.LogMessages()) {
    std::size_t pos = message.find(headerEnd);
    std::string rest;
    if (message.rfind("127.0.0.1 ", 0) == 0 && pos != std::string::npos) {
      rest = message.substr(pos + headerEnd.size());
    } else if (!message.empty() && message[0] == '<') {
      rest = message;
    } else {
      std::smatch match;
      if (std::regex_match(message, match, std::regex("127\\.0\\.0\\.1 was sent ([0-9]+) bytes"))) {
        sent += std::stoi(match[1]);
      }
      continue;
    }
    EXPECT_LE(rest.size(), 15u * 5u) << message;
    EXPECT_TRUE(std::regex_match(rest, std::regex("(<[0-9A-F]{2}h>)+"))) << message;
    items += rest;
  }
  EXPECT_EQ(items, "<30h><31h><32h><33h><34h><35h><36h><37h><38h><39h><61h><62h><63h><64h><65h>"
                   "<66h><67h>");
  EXPECT_EQ(sent, 17);
}

}  // namespace
}  // namespace vmds_it
