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

}  // namespace
}  // namespace vmds_it
