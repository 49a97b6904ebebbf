// Service control over a scripted service database: the calls, rights, waits and outcomes in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "fakes.h"
#include "service_control.h"

namespace {

using Calls = std::vector<std::string>;

FakeServiceDatabase WithService(std::deque<std::uint32_t> states) {
  FakeServiceDatabase db;
  db.services["Lab"].states = std::move(states);
  return db;
}

TEST(CreateInstanceService, RegistersQuotedPathWithTheSectionsProperties) {
  FakeServiceDatabase db;
  EXPECT_NE(CreateInstanceService(db, "Daltrimore_VMDS_Lab_1", "Daltrimore VMDS Lab 1",
                                  "C:\\Program Files\\VMDS\\Lab 1\\vmds.exe"),
            0);
  ASSERT_EQ(db.registrations.size(), 1u);
  const ServiceRegistration& r = db.registrations[0];
  EXPECT_EQ(r.BinaryPathName, "\"C:\\Program Files\\VMDS\\Lab 1\\vmds.exe\"");
  EXPECT_EQ(r.DisplayName, "Daltrimore VMDS Lab 1");
  EXPECT_EQ(r.DesiredAccess, 0xF01FFu);
  EXPECT_EQ(r.ServiceType, 0x10u);
  EXPECT_EQ(r.StartType, 2u);
  EXPECT_EQ(r.ErrorControl, 1u);
  EXPECT_EQ(db.descriptions["Daltrimore_VMDS_Lab_1"],
            "Permits a COM port connected sensor or device to be accessed over TCP");
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0x20002", "CreateService Daltrimore_VMDS_Lab_1",
                             "Description Daltrimore_VMDS_Lab_1",
                             "Recovery Daltrimore_VMDS_Lab_1 86400 60000 non-zero-exit",
                             "Close Daltrimore_VMDS_Lab_1", "Close SCM"}));
  EXPECT_EQ(db.openHandles, 0);
  // Recovery actions the database refuses do not undo the registration.
  FakeServiceDatabase refusing;
  refusing.recoveryError = 5;
  EXPECT_NE(CreateInstanceService(refusing, "Lab", "Daltrimore VMDS Lab", "C:\\x\\vmds.exe"), 0);
  EXPECT_EQ(refusing.services.count("Lab"), 1u);
  EXPECT_EQ(refusing.openHandles, 0);
}

// The device servers' event source is written with the manager directory's vmds.exe as its
// message file, after the service was registered; a source the registry refuses does not undo
// the registration, and a refused registration writes no source.
TEST(CreateInstanceService, RegistersTheEventSource) {
  FakeServiceDatabase db;
  EXPECT_TRUE(CreateInstanceService(db, "Lab", "Daltrimore VMDS Lab", "C:\\VMDS\\Lab\\vmds.exe",
                                    "C:\\VMDS\\vmds.exe"));
  EXPECT_EQ(db.eventSources,
            (std::map<std::string, std::pair<std::string, std::uint32_t>>{
                {"Velmora Device Server", {"C:\\VMDS\\vmds.exe", 7u}}}));
  FakeServiceDatabase refusing;
  refusing.eventSourceError = 5;
  EXPECT_TRUE(CreateInstanceService(refusing, "Lab", "Daltrimore VMDS Lab", "C:\\x\\vmds.exe",
                                    "C:\\VMDS\\vmds.exe"));
  EXPECT_EQ(refusing.services.count("Lab"), 1u);
  EXPECT_EQ(refusing.openHandles, 0);
  FakeServiceDatabase existing = WithService({kServiceRunning});
  EXPECT_FALSE(CreateInstanceService(existing, "Lab", "Daltrimore VMDS Lab", "C:\\x\\vmds.exe",
                                     "C:\\VMDS\\vmds.exe"));
  EXPECT_TRUE(existing.eventSources.empty());
}

TEST(CreateInstanceService, AnExistingNameOrNoManagerGivesZero) {
  FakeServiceDatabase db = WithService({kServiceRunning});
  EXPECT_EQ(CreateInstanceService(db, "Lab", "Daltrimore VMDS Lab", "C:\\x\\vmds.exe"), 0);
  EXPECT_TRUE(db.registrations.empty());
  EXPECT_EQ(db.openHandles, 0);
  FakeServiceDatabase denied;
  denied.openManagerError = 5;
  EXPECT_EQ(CreateInstanceService(denied, "Lab", "Daltrimore VMDS Lab", "C:\\x\\vmds.exe"), 0);
  EXPECT_EQ(denied.calls, (Calls{"OpenSCManager 0x20002"}));
}

TEST(QuotedProgramPath, QuotesOnce) {
  EXPECT_EQ(QuotedProgramPath("C:\\a b\\vmds.exe"), "\"C:\\a b\\vmds.exe\"");
  EXPECT_EQ(QuotedProgramPath("\"C:\\a b\\vmds.exe\""), "\"C:\\a b\\vmds.exe\"");
}

TEST(StartInstanceService, StartPendingThenRunning) {
  FakeServiceDatabase db = WithService({kServiceStartPending, kServiceRunning});
  EXPECT_EQ(StartInstanceService(db, "Lab"), 1);
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0x20000", "OpenService Lab 0x20014", "Start Lab",
                             "Sleep 500", "Query Lab=2", "Sleep 1000", "Query Lab=4", "Close Lab",
                             "Close SCM"}));
}

TEST(StartInstanceService, StillStartPendingCountsAsNotStarted) {
  FakeServiceDatabase db = WithService({kServiceStartPending});
  EXPECT_EQ(StartInstanceService(db, "Lab"), 0);
}

TEST(StartInstanceService, AlreadyRunningIsStarted) {
  FakeServiceDatabase db = WithService({kServiceRunning});
  db.services["Lab"].startError = kErrorServiceAlreadyRunning;
  EXPECT_EQ(StartInstanceService(db, "Lab"), 1);
}

TEST(StartInstanceService, MissingServiceGivesZero) {
  FakeServiceDatabase db;
  EXPECT_EQ(StartInstanceService(db, "Gone"), 0);
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0x20000", "OpenService Gone 0x20014", "Close SCM"}));
}

TEST(RestartInstanceService, RunningServiceIsStoppedThroughStopPendingAndStarted) {
  FakeServiceDatabase db = WithService(
      {kServiceRunning, kServiceStopPending, kServiceStopPending, kServiceStopped, kServiceRunning});
  FakeView view;
  RestartInstanceService(db, view, "Lab");
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0x20000", "OpenService Lab 0x20034", "Query Lab=4",
                             "Stop Lab", "Query Lab=3", "Sleep 1000", "Query Lab=3", "Sleep 1000",
                             "Query Lab=1", "Start Lab", "Query Lab=4", "Close Lab",
                             "Close SCM"}));
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, "Changes are saved and service is started successfully");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::kExclamation);
}

// A restart that cannot get rid of the old process must not start anything nor claim success:
// a refused stop control, or a service still stop pending after the bounded wait. A stop that
// finds the service no longer active goes on with the start.
TEST(RestartInstanceService, AStopThatFailsIsAFailedRestart) {
  struct Case {
    int stopError;
    std::deque<std::uint32_t> states;
    bool started;
  };
  std::deque<std::uint32_t> hung{kServiceRunning};
  hung.insert(hung.end(), kMaxStopPendingWaits + 1, kServiceStopPending);
  for (const Case& c : {Case{1061, {kServiceRunning, kServiceRunning}, false},
                        Case{5, {kServiceRunning, kServiceStopped}, false},
                        Case{0, hung, false},
                        Case{kErrorServiceNotActive, {kServiceRunning, kServiceStopped,
                                                      kServiceRunning}, true}}) {
    FakeServiceDatabase db = WithService(c.states);
    db.services["Lab"].stopError = c.stopError;
    FakeView view;
    RestartInstanceService(db, view, "Lab");
    bool started = std::count(db.calls.begin(), db.calls.end(), "Start Lab") > 0;
    EXPECT_EQ(started, c.started) << c.stopError;
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, c.started ? kRestartStarted : kRestartFailedToStart);
    EXPECT_EQ(db.openHandles, 0);
  }
}

TEST(RestartInstanceService, StoppedServiceIsStartedWithoutAStop) {
  FakeServiceDatabase db = WithService({kServiceStopped, kServiceStartPending, kServiceRunning});
  FakeView view;
  RestartInstanceService(db, view, "Lab");
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0x20000", "OpenService Lab 0x20034", "Query Lab=1",
                             "Start Lab", "Query Lab=2", "Sleep 1000", "Query Lab=4", "Close Lab",
                             "Close SCM"}));
  EXPECT_EQ(view.messages.at(0).text, kRestartStarted);
}

TEST(RestartInstanceService, StillStartPendingAfterASecondFailedToStart) {
  FakeServiceDatabase db = WithService({kServiceStopped, kServiceStartPending});
  FakeView view;
  RestartInstanceService(db, view, "Lab");
  EXPECT_EQ(view.messages.at(0).text,
            "Changes are saved but failed to start service. Check the Instance Log File.");
}

TEST(RestartInstanceService, PausedServiceIsNeitherStoppedNorStarted) {
  FakeServiceDatabase db = WithService({kServicePaused});
  FakeView view;
  RestartInstanceService(db, view, "Lab");
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0x20000", "OpenService Lab 0x20034", "Query Lab=7",
                             "Query Lab=7", "Close Lab", "Close SCM"}));
  EXPECT_EQ(view.messages.at(0).text,
            "Changes are saved but service is not started successfully. Check the Instance Log "
            "File.");
}

TEST(RestartInstanceService, MissingServiceEndsInTheLastMessage) {
  FakeServiceDatabase db;
  FakeView view;
  RestartInstanceService(db, view, "Gone");
  EXPECT_EQ(view.messages.at(0).text, kRestartNotStarted);
  EXPECT_EQ(db.openHandles, 0);
}

TEST(DeleteInstanceService, StopPendingLoopThenDelete) {
  FakeServiceDatabase db =
      WithService({kServiceRunning, kServiceStopPending, kServiceStopPending, kServiceStopped});
  EXPECT_NE(DeleteInstanceService(db, "Lab"), 0);
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0xF003F", "OpenService Lab 0x30024", "Query Lab=4",
                             "Stop Lab", "Query Lab=3", "Sleep 1000", "Query Lab=3", "Sleep 1000",
                             "Query Lab=1", "Delete Lab", "Close Lab", "Close SCM"}));
}

TEST(DeleteInstanceService, StoppedServiceIsDeletedWithoutAStop) {
  FakeServiceDatabase db = WithService({kServiceStopped});
  EXPECT_NE(DeleteInstanceService(db, "Lab"), 0);
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0xF003F", "OpenService Lab 0x30024", "Query Lab=1",
                             "Query Lab=1", "Delete Lab", "Close Lab", "Close SCM"}));
}

TEST(DeleteInstanceService, StopPendingWaitIsBounded) {
  FakeServiceDatabase db = WithService({kServiceRunning, kServiceStopPending});
  EXPECT_NE(DeleteInstanceService(db, "Lab"), 0);
  EXPECT_EQ(std::count(db.calls.begin(), db.calls.end(), "Sleep 1000"), kMaxStopPendingWaits);
}

TEST(DeleteInstanceService, MissingOrUndeletableServiceGivesZero) {
  FakeServiceDatabase db;
  EXPECT_EQ(DeleteInstanceService(db, "Gone"), 0);
  EXPECT_EQ(db.calls, (Calls{"OpenSCManager 0xF003F", "OpenService Gone 0x30024", "Close SCM"}));
  FakeServiceDatabase marked = WithService({kServiceStopped});
  marked.services["Lab"].deleteError = kErrorServiceMarkedForDelete;
  EXPECT_EQ(DeleteInstanceService(marked, "Lab"), 0);
  EXPECT_EQ(marked.openHandles, 0);
}

}  // namespace
