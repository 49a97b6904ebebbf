// Faults around a session: the device goes away, or a stop comes while the device takes nothing.
#include <sys/wait.h>

#include <regex>

#include "harness.h"

namespace vmds_it {
namespace {

class Fault : public VmdsTest {
 protected:
  void Open(Client& client) {
    ASSERT_EQ(client.Connect(instance.port()), 0);
    ASSERT_TRUE(instance.WaitForLog("Bit Rate = "));
  }
};

TEST_F(Fault, DeviceThatGoesAwayStopsTheService) {
  LaunchOptions underSystemd;
  underSystemd.journalStream = true;
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings(), underSystemd));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  instance.device().Close();
  // A serial failure ends the service; it neither hangs on nor spins.
  std::optional<int> status = instance.WaitExit();
  ASSERT_TRUE(status.has_value()) << "vmds went on running after its device went away";
  // A failure, not a stop: the exit code of a serial failure, so that a supervisor restarts it.
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 22) << "wait status " << *status;
  EXPECT_EQ(instance.CountLogLines("Error while setting wait for serial data"), 1);
  EXPECT_EQ(instance.LogMessages().back(),
            "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47");
  EXPECT_TRUE(client.WaitClosedByServer());
  // The journal gets the failure with the line that says why.
  std::string output = instance.ProcessOutput();
  EXPECT_NE(output.find("\n<3>Instance vmds stopped after a failure (exit code 22): Win32 Error #: "),
            std::string::npos) << output;
  EXPECT_NE(output.find(" Error while setting wait for serial data\n"), std::string::npos) << output;
}

// Bytes the service received from the client: the sum of the debug dumps' headers.
long BytesReceivedFromClient(const std::vector<std::string>& messages) {
  static const std::regex header("127\\.0\\.0\\.1 sent ([0-9]+) bytes: .*");
  long total = 0;
  for (const std::string& message : messages) {
    std::smatch match;
    if (std::regex_match(message, match, header)) total += std::stol(match[1]);
  }
  return total;
}

int IndexOf(const std::vector<std::string>& messages, const std::string& prefix, int from = 0) {
  for (int i = from; i < static_cast<int>(messages.size()); ++i) {
    if (messages[i].rfind(prefix, 0) == 0) return i;
  }
  return -1;
}

// A session ends while the device reads nothing (a terminal whose other end is not read) and a
// serial write is pending. Whatever ends it, the service lets go: the ending line, then a line
// that counts the bytes it dropped, then the lines fall; the dropped bytes never reach the device.
enum class Ending { kClientCloses, kMaxConnectTime, kStopRequest };
struct StalledCase {
  const char* name;
  Ending ending;
  const char* endingLine;
  const char* dropReason;  // after the port's name
};

void PrintTo(const StalledCase& c, std::ostream* out) { *out << c.name; }

class StalledDevice : public VmdsTest, public ::testing::WithParamInterface<StalledCase> {};

TEST_P(StalledDevice, UnwrittenBytesAreDroppedCountedAndNeverDelivered) {
  const StalledCase& c = GetParam();
  StartupSettings settings = instance.DefaultSettings();
  settings["DropDTRonSocketClose"] = "Yes";
  settings["DropRTSonSocketClose"] = "Yes";
  if (c.ending == Ending::kMaxConnectTime) settings["MaxConnectTime"] = "1";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  PtyDevice& device = instance.device();

  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("Bit Rate = "));
  // More than the terminal holds; what the service does not take waits in the sockets.
  const Bytes data = PatternBytes(64 * 1024, 0x57A11);
  ASSERT_TRUE(client.Send(data));
  ASSERT_TRUE(instance.WaitForLog("127.0.0.1 serial write pending"));

  switch (c.ending) {
    case Ending::kClientCloses: client.Close(); break;
    case Ending::kMaxConnectTime: break;
    case Ending::kStopRequest: instance.RequestStop(); break;
  }
  ASSERT_TRUE(instance.WaitForLog(c.endingLine));
  // Until the drop line is written the lines stay up (read in this order, so that a lowering
  // seen in the snapshot would have come before the drop line).
  std::vector<std::string> modem = instance.ModemLines();
  if (instance.CountLogLines("Dropped ") == 0) {
    ASSERT_FALSE(modem.empty());
    EXPECT_EQ(modem.back(), "DTR=1 RTS=1") << "the lines fell before the bytes were dropped";
  }
  ASSERT_TRUE(instance.WaitForLog("Dropped "));
  if (c.ending == Ending::kStopRequest) {
    std::optional<int> status = instance.WaitExit();
    ASSERT_TRUE(status.has_value());
  } else {
    ASSERT_TRUE(instance.WaitListening(2));
  }

  const std::vector<std::string> messages = instance.LogMessages();
  const int ending = IndexOf(messages, c.endingLine);
  const int drop = IndexOf(messages, "Dropped ");
  ASSERT_GE(ending, 0);
  ASSERT_GT(drop, ending);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(messages[drop], match,
                               std::regex("Dropped ([0-9]+) bytes from 127\\.0\\.0\\.1: (.*)")))
      << messages[drop];
  EXPECT_EQ(match[2].str(), device.slavePath() + c.dropReason);
  const long dropped = std::stol(match[1]);
  const long received = BytesReceivedFromClient(messages);
  EXPECT_GT(dropped, 0);
  if (c.ending == Ending::kClientCloses) {
    // A client that closed had sent everything: the service took it all before it let go.
    EXPECT_EQ(received, static_cast<long>(data.size()));
  }
  // What the device gets is exactly what was not dropped: an unchanged beginning of the data.
  ASSERT_GE(received, dropped);
  const std::size_t delivered = static_cast<std::size_t>(received - dropped);
  Bytes got = device.Read(delivered);
  ASSERT_EQ(got.size(), delivered);
  EXPECT_EQ(FirstDifference(got, data), delivered);
  EXPECT_EQ(instance.ModemLines().back(), "DTR=0 RTS=0");

  if (c.ending == Ending::kStopRequest) {
    EXPECT_EQ(messages.back(), "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47");
    EXPECT_LT(IndexOf(messages, "Server shutting down from SCM notification."), drop);
    // Nothing more comes: the terminal's other end is closed once what it held is read.
    EXPECT_TRUE(device.Read(1, std::chrono::milliseconds(2000)).empty());
    return;
  }
  // The lines fell after the drop line and before the listener opened again; the next client's
  // bytes are the first the device sees after the delivered ones.
  EXPECT_GT(IndexOf(messages, "Waiting for connection", drop), drop);
  Client next;
  ASSERT_EQ(next.Connect(instance.port()), 0);
  ASSERT_TRUE(instance.WaitForLog("Bit Rate = ", 2));
  ASSERT_TRUE(next.Send("next"));
  EXPECT_EQ(ToText(device.Read(4)), "next");
  EXPECT_EQ(instance.ModemLines().back(), "DTR=1 RTS=1");
}

INSTANTIATE_TEST_SUITE_P(
    Endings, StalledDevice,
    ::testing::Values(
        StalledCase{"ClientCloses", Ending::kClientCloses, "127.0.0.1 closed session",
                    " took nothing for 1000 ms"},
        StalledCase{"MaxConnectTime", Ending::kMaxConnectTime,
                    "127.0.0.1 reached max connect time, closing session",
                    " took nothing for 1000 ms"},
        StalledCase{"StopRequest", Ending::kStopRequest, "Server shutting down from SCM notification.",
                    " did not take them before the service stopped"}),
    [](const ::testing::TestParamInfo<StalledCase>& info) { return info.param.name; });

TEST_F(Fault, ClientDataWaitingForTheDeviceIsNoIdleness) {
  StartupSettings settings = instance.DefaultSettings();
  settings["IdleTimeout"] = "1";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  // The device reads nothing, so the client's bytes wait: for the device a write is pending, for
  // the rest in the sockets. That is the service's waiting, not the client's idleness.
  const Bytes data = PatternBytes(64 * 1024, 0x1D1E);
  ASSERT_TRUE(client.Send(data));
  ASSERT_TRUE(instance.WaitForLog("127.0.0.1 serial write pending"));
  EXPECT_FALSE(client.WaitClosedByServer(std::chrono::milliseconds(2500)))
      << "the session was closed while the client's data waited for the device";
  EXPECT_EQ(instance.CountLogLines("reached idle time"), 0);

  // Once the device takes everything and nothing more comes, the idle time ends the session.
  Bytes got = instance.device().Read(data.size());
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(FirstDifference(got, data), std::min(got.size(), data.size()));
  EXPECT_TRUE(client.WaitClosedByServer());
  EXPECT_EQ(instance.CountLogLines("127.0.0.1 reached idle time; closing connection"), 1);
}

TEST_F(Fault, WriteStillPendingWhenASessionEndsIsFinishedBeforeTheNextClient) {
  StartupSettings settings = instance.DefaultSettings();
  settings["DebugEnabled"] = "no";
  settings["MaxConnectTime"] = "1";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  ASSERT_TRUE(instance.WaitForLog("STARTUP: "));

  // The device reads nothing while the first client sends more than the terminal holds, so a
  // serial write is still under way when the max connect time ends the session.
  const Bytes first = PatternBytes(100000, 77);
  {
    Client client;
    ASSERT_EQ(client.Connect(instance.port()), 0);
    ASSERT_TRUE(client.Send(first));
    ASSERT_TRUE(instance.WaitForLog("reached max connect time, closing session"));
  }
  // The device now takes what comes until the service listens again.
  Bytes received;
  Clock::time_point deadline = Clock::now() + kWait;
  while (instance.CountLogLines("connected to") < 2 && Clock::now() < deadline) {
    Bytes more = instance.device().ReadFor(std::chrono::milliseconds(50));
    received.insert(received.end(), more.begin(), more.end());
    Client probe;
    if (probe.Connect(instance.port()) == 0) {
      ASSERT_TRUE(instance.WaitForLog("connected to", 2));
      // Nothing of the first client may come after the second one connected.
      ASSERT_TRUE(probe.Send("second"));
      EXPECT_EQ(ToText(instance.device().Read(6)), "second");
      break;
    }
  }
  ASSERT_EQ(instance.CountLogLines("connected to"), 2);
  ASSERT_GT(received.size(), 0u);
  ASSERT_LE(received.size(), first.size());
  EXPECT_EQ(FirstDifference(received, Bytes(first.begin(), first.begin() + received.size())),
            received.size())
      << "the device did not receive an unchanged beginning of the first client's data";
}

}  // namespace
}  // namespace vmds_it
