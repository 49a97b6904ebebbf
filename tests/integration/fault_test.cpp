// Faults around a session: the device goes away, or a stop comes while the device takes nothing.
#include <sys/wait.h>

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
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  instance.device().Close();
  // A serial failure ends the service; it neither hangs on nor spins.
  std::optional<int> status = instance.WaitExit();
  ASSERT_TRUE(status.has_value()) << "vmds went on running after its device went away";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  EXPECT_EQ(instance.CountLogLines("Error while setting wait for serial data"), 1);
  EXPECT_EQ(instance.LogMessages().back(),
            "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47");
  EXPECT_TRUE(client.WaitClosedByServer());
}

TEST_F(Fault, StopWhileTheDeviceTakesNothing) {
  ASSERT_NO_FATAL_FAILURE(StartWith(instance.DefaultSettings()));
  Client client;
  ASSERT_NO_FATAL_FAILURE(Open(client));
  // More than the terminal holds, and the device reads nothing: the write stays pending.
  ASSERT_TRUE(client.Send(PatternBytes(200000, 5)));
  ASSERT_TRUE(instance.WaitForLog("127.0.0.1 serial write pending"));
  EXPECT_TRUE(instance.StopCleanly());
  EXPECT_EQ(instance.CountLogLines("Server shutting down from SCM notification."), 1);
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
