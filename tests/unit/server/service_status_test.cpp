// Status reports of the service: what each control does, the exit codes, and that a stopping
// service is never reported running again.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "service.h"

namespace {

constexpr std::uint32_t kStopAndShutdown = os::kAcceptStop | os::kAcceptShutdown;

std::string Describe(const os::ServiceStatus& s) {
  return "state " + std::to_string(s.state) + " accepts " + std::to_string(s.controlsAccepted) +
         " exit " + std::to_string(s.win32ExitCode) + "/" +
         std::to_string(s.serviceSpecificExitCode) + " hint " + std::to_string(s.waitHint);
}

bool Same(const os::ServiceStatus& a, const os::ServiceStatus& b) {
  return Describe(a) == Describe(b) && a.checkPoint == b.checkPoint;
}

TEST(ServiceStatus, MadeWithAcceptedControlsAndTheExitCodeAsServiceSpecificOne) {
  struct Row {
    std::uint32_t state, exitCode, accepts, win32, specific;
  };
  const Row rows[] = {
      {os::kServiceStartPending, 0, 0, 0, 0},
      {os::kServiceRunning, 0, kStopAndShutdown, 0, 0},
      {os::kServiceStopPending, 0, kStopAndShutdown, 0, 0},
      {os::kServiceStopped, kExitOnRequest, kStopAndShutdown, 0, 0},
      {os::kServiceStopped, kExitSerialPortNotOpened, kStopAndShutdown, 1066, 11},
      {os::kServiceStopped, kExitSerialOrSystemFailure, kStopAndShutdown, 1066, 22},
  };
  for (const Row& row : rows) {
    os::ServiceStatus status = MakeServiceStatus(row.state, row.exitCode, 250);
    SCOPED_TRACE(Describe(status));
    EXPECT_EQ(status.state, row.state);
    EXPECT_EQ(status.controlsAccepted, row.accepts);
    EXPECT_EQ(status.win32ExitCode, row.win32);
    EXPECT_EQ(status.serviceSpecificExitCode, row.specific);
    EXPECT_EQ(status.waitHint, 250u);
    EXPECT_EQ(status.checkPoint, 0u);
  }
}

TEST(ServiceStatus, OnlyAStopOnRequestEndsTheCycleWithZero) {
  EXPECT_EQ(ExitCodeOfCycle(SessionOutcome::ExitRequested), 0u);
  EXPECT_EQ(ExitCodeOfCycle(SessionOutcome::SocketFailure), 21u);
  EXPECT_EQ(ExitCodeOfCycle(SessionOutcome::SystemFailure), 22u);
  // The exit codes are distinct and fit a process exit code.
  const std::uint32_t codes[] = {kExitSerialPortNotOpened, kExitSerialPortNotConfigured,
                                 kExitListenerNotOpened,   kExitNoEvents,
                                 kExitSocketFailure,       kExitSerialOrSystemFailure};
  for (std::uint32_t a : codes) {
    EXPECT_GT(a, 7u) << "1-7 have meanings of their own to init systems";
    EXPECT_LT(a, 64u);
    int same = 0;
    for (std::uint32_t b : codes) same += a == b;
    EXPECT_EQ(same, 1) << a;
  }
}

// Every control in every state the service can be in when the manager sends one.
TEST(ServiceStatus, StopAndShutdownAskForTheStopOtherControlsReportTheCurrentStatus) {
  os::ServiceStatus stopped = MakeServiceStatus(os::kServiceStopped, kExitSocketFailure, 0);
  const os::ServiceStatus states[] = {
      MakeServiceStatus(os::kServiceStartPending, 0, 500),
      MakeServiceStatus(os::kServiceRunning, 0, 0),
      MakeServiceStatus(os::kServiceStopPending, 0, 500),  // a failed start
      MakeServiceStatus(os::kServiceStopPending, 0, 250),  // the cycle has ended
      stopped,
  };
  const std::uint32_t controls[] = {os::kControlStop, os::kControlShutdown,
                                    os::kControlInterrogate, 2 /* pause */, 3 /* continue */,
                                    6 /* paramchange */, 128 /* user-defined */};
  for (const os::ServiceStatus& current : states) {
    for (std::uint32_t control : controls) {
      SCOPED_TRACE(Describe(current) + ", control " + std::to_string(control));
      ControlResponse response = RespondToControl(current, control);
      if (control == os::kControlStop || control == os::kControlShutdown) {
        EXPECT_TRUE(response.stop);
        EXPECT_EQ(response.report, current.state != os::kServiceStopped);
        EXPECT_TRUE(Same(response.status, MakeServiceStatus(os::kServiceStopPending, 0, 0)))
            << Describe(response.status);
      } else {
        EXPECT_FALSE(response.stop);
        EXPECT_TRUE(response.report);
        EXPECT_TRUE(Same(response.status, current)) << Describe(response.status);
      }
    }
  }
}

// Through the real handler: once a stop was answered with stop-pending, neither an interrogate nor
// the run sequence's running report (after a failed start) shows the service running again. (The
// stop request stays recorded for the rest of this test process.)
TEST(ServiceStatus, AfterAStopNothingReportsRunning) {
  ReportServiceStatus(os::kServiceRunning, 0, 0, 0);
  ServiceControlHandler(os::kControlInterrogate);
  EXPECT_EQ(CurrentServiceStatus().state, os::kServiceRunning);
  ServiceControlHandler(os::kControlStop);
  EXPECT_EQ(CurrentServiceStatus().state, os::kServiceStopPending);
  ServiceControlHandler(os::kControlInterrogate);
  EXPECT_EQ(CurrentServiceStatus().state, os::kServiceStopPending);
  ReportServiceStatus(os::kServiceRunning, 0, 0, 0);
  EXPECT_EQ(CurrentServiceStatus().state, os::kServiceStopPending);
  ReportServiceStatus(os::kServiceStopped, kExitListenerNotOpened, 0, 0);
  ServiceControlHandler(os::kControlStop);
  EXPECT_TRUE(Same(CurrentServiceStatus(),
                   MakeServiceStatus(os::kServiceStopped, kExitListenerNotOpened, 0)));
}

}  // namespace
