// The run of the Linux daemon as a whole: bit rates without a B-constant, a stop signal that comes
// while the process is still loading, and the exit code that tells a failure from a stop.
#include <sys/wait.h>

#include "harness.h"

namespace vmds_it {
namespace {

const std::string kStartupLine = "STARTUP: Daltrimore Velmora Device Server Ver 4.0 Build 47";
const std::string kShutdownLine = "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47";
constexpr int kExitSerialPortNotConfigured = 12;

std::string DescribeStatus(const std::optional<int>& status) {
  if (!status) return "still running";
  if (WIFEXITED(*status)) return "exit code " + std::to_string(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return "killed by signal " + std::to_string(WTERMSIG(*status));
  return "wait status " + std::to_string(*status);
}

class BitRate : public VmdsTest, public ::testing::WithParamInterface<int> {};

// Rates that Windows and the manager offer but termios has no B-constant for, and one that no
// list offers: the port takes them (a pseudo-terminal takes any rate), the driver holds the rate
// afterwards, and the service bridges.
TEST_P(BitRate, IsSetByNumberAndTheServiceBridges) {
  const std::string rate = std::to_string(GetParam());
  StartupSettings settings = instance.DefaultSettings();
  settings["COMPortBitRate"] = rate;
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  EXPECT_EQ(instance.CountLogLines("Could not configure"), 0);

  Client client;
  ASSERT_EQ(client.Connect(instance.port()), 0);
  // The settings line shows what the driver holds.
  ASSERT_TRUE(instance.WaitForLog("Bit Rate = " + rate + " Data Bits = 8 Parity = None"));
  ASSERT_TRUE(client.Send("to the device"));
  EXPECT_EQ(ToText(instance.device().Read(13)), "to the device");
  ASSERT_TRUE(instance.device().Write(ToBytes("to the client")));
  EXPECT_EQ(ToText(client.Read(13)), "to the client");
  EXPECT_TRUE(instance.StopCleanly());
}

INSTANTIATE_TEST_SUITE_P(WithoutConstant, BitRate, ::testing::Values(14400, 28800, 250000));

class ServiceRun : public VmdsTest {};

// A preloaded library sends SIGTERM from its initialiser: the signal comes while the process is
// still being set up, before main() and before any library that follows it is initialised, at the
// same point of every run. The program blocks the stop signals in its very first code, so the
// signal waits until the service can take it, and the run ends as a stopped run.
TEST_F(ServiceRun, StopSignalWhileTheProcessIsStillLoading) {
  instance.WriteStartupFile(instance.DefaultSettings());
  LaunchOptions options;
  options.preload.push_back(VMDS_STOP_AT_LOAD);
  instance.Start(options);
  std::optional<int> status = instance.WaitExit();
  ASSERT_TRUE(status.has_value()) << "vmds did not stop";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << DescribeStatus(status);
  EXPECT_EQ(instance.LogMessages(), (std::vector<std::string>{
                                        "Startup file read successfully",
                                        "Serial port initialized",
                                        "TCP socket initialized",
                                        kStartupLine,
                                        "--Debug Mode Enabled--",
                                        "Waiting for connection",
                                        "Exit Signalled",
                                        kShutdownLine,
                                    }));
}

// A rate of 0 would hang the line up instead of setting a rate: refused, and the run ends with the
// exit code of a port that could not be configured.
TEST_F(ServiceRun, RateZeroIsRefusedAndTheRunFails) {
  StartupSettings settings = instance.DefaultSettings();
  settings["COMPortBitRate"] = "0";
  instance.WriteStartupFile(settings);
  instance.Start();
  std::optional<int> status = instance.WaitExit();
  ASSERT_TRUE(status.has_value()) << "vmds did not stop by itself";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 12) << DescribeStatus(status);
  EXPECT_EQ(instance.CountLogLines("Could not configure " + instance.device().slavePath()), 1);
  EXPECT_EQ(instance.LogMessages().back(), kShutdownLine);
}

}  // namespace
}  // namespace vmds_it
