// The live state: the status file's reader, the State column's texts, the refresh on the
// window's timer, Start and Stop, and the label that says whether the chosen port is present.
#include "instance_status.h"
#include "presenter_rig.h"

namespace {

// A status file as the device server writes it, for one instance in one state; a client is
// connected when `client` is not empty.
std::string PromText(const std::string& instance, const std::string& state,
                     const std::string& client = "", const std::string& failure = "",
                     int exitCode = 0) {
  const std::string labels =
      "instance=\"" + instance + "\",com_port=\"COM1\",tcp_port=\"6100\"";
  auto series = [&](const std::string& name, const std::string& more, const std::string& value) {
    return name + "{" + labels + more + "} " + value + "\n";
  };
  auto head = [](const std::string& name, const std::string& type) {
    return "# HELP " + name + " Something.\n# TYPE " + name + " " + type + "\n";
  };
  std::string text = head("vmds_build_info", "gauge") +
                     series("vmds_build_info", ",version=\"4.0.0.84\"", "1") +
                     head("vmds_start_time_seconds", "gauge") +
                     series("vmds_start_time_seconds", "", "1796690000") +
                     head("vmds_state", "gauge");
  for (const char* s : {"starting", "listening", "connected", "stopping", "failed"})
    text += series("vmds_state", std::string(",state=\"") + s + "\"", s == state ? "1" : "0");
  text += head("vmds_client_connected", "gauge") +
          series("vmds_client_connected", "", client.empty() ? "0" : "1");
  if (!client.empty())
    text += head("vmds_client_info", "gauge") +
            series("vmds_client_info", ",address=\"" + client + "\"", "1") +
            head("vmds_session_start_time_seconds", "gauge") +
            series("vmds_session_start_time_seconds", "", "1796690100");
  text += head("vmds_sessions_total", "counter") + series("vmds_sessions_total", "", "3") +
          head("vmds_sessions_ended_total", "counter");
  for (const char* r : {"client_closed", "idle_timeout", "max_connect_time", "close_command",
                        "error", "stop"})
    text += series("vmds_sessions_ended_total", std::string(",reason=\"") + r + "\"", "0");
  text += head("vmds_device_bytes_total", "counter") +
          series("vmds_device_bytes_total", "", "1234") +
          head("vmds_client_bytes_total", "counter") +
          series("vmds_client_bytes_total", "", "5.678e3") +
          head("vmds_dropped_bytes_total", "counter") +
          series("vmds_dropped_bytes_total", "", "0");
  if (!failure.empty())
    text += head("vmds_exit_code", "gauge") +
            series("vmds_exit_code", "", std::to_string(exitCode)) +
            head("vmds_failure_info", "gauge") +
            series("vmds_failure_info", ",reason=\"" + failure + "\"", "1");
  return text;
}

TEST(StatusFile, ReadsTheSeriesOfItsInstanceAndSkipsWhatItCannotRead) {
  ServerStatus connected;
  connected.state = "connected";
  connected.clientAddress = "10.1.2.3";
  connected.sessionStart = 1796690100;
  connected.deviceBytes = 1234;
  connected.clientBytes = 5678;
  connected.droppedBytes = 0;
  ServerStatus failed;
  failed.state = "failed";
  failed.deviceBytes = 1234;
  failed.clientBytes = 5678;
  failed.droppedBytes = 0;
  failed.exitCode = 11;
  failed.failureReason = "port \"COM1\" not opened\\";
  ServerStatus listening;
  listening.state = "listening";
  const std::string full = PromText("Lab 1", "connected", "10.1.2.3");
  struct Case {
    const char* what;
    std::string text;
    ServerStatus expected;
  };
  for (const Case& c : std::vector<Case>{
           {"connected", full, connected},
           {"CR LF lines", [&] {
              std::string t;
              for (char ch : full) t += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
              return t;
            }(), connected},
           {"failed, escaped label value",
            PromText("Lab 1", "failed", "", "port \\\"COM1\\\" not opened\\\\", 11), failed},
           {"another instance's series", PromText("Lab 2", "connected", "10.1.2.3"), {}},
           {"cut off in a label value",
            "vmds_state{instance=\"Lab 1\",state=\"listening\"} 1\n"
            "vmds_client_info{instance=\"Lab 1\",address=\"10.1", listening},
           {"garbled lines between good ones",
            "vmds_state{instance=\"Lab 1\",state=\"connected\"} yes\n"
            "vmds_state{instance=\"Lab 1\" state=\"failed\"} 1\n"
            "{instance=\"Lab 1\"} 1\n"
            "vmds_state{instance=\"Lab 1\",state=\"stopping\"}\n"
            "vmds_state{instance=\"Lab 1\",state=\"listening\"} 1 1796690000000\n"
            "vmds_client_info{instance=\"Lab 1\",address=\"10.1.2.3\"} NaN\n"
            "vmds_device_bytes_total{instance=\"Lab 1\"} +Inf\n", listening},
           {"empty", "", {}},
           {"not a status file at all", std::string("\0\xff\n}}{{=\"\n", 9), {}},
       }) {
    EXPECT_EQ(ParseServerStatus(c.text, "Lab 1"), c.expected) << c.what;
  }
}

TEST(StatusFile, LiesBesideTheLogFileRelativeToTheInstanceDirectory) {
  const std::string dir = "C:\\VMDS\\Lab 1";
  for (const auto& [log, expected] : std::vector<std::pair<std::string, std::string>>{
           {".\\vmds.log", dir + "\\vmds.prom"},
           {"vmds.log", dir + "\\vmds.prom"},
           {"", dir + "\\vmds.prom"},
           {"logs\\lab.log", dir + "\\logs\\vmds.prom"},
           {"D:\\logs\\lab.log", "D:\\logs\\vmds.prom"},
           {"\\\\server\\share\\lab.log", "\\\\server\\share\\vmds.prom"},
           {"C:vmds.log", "C:vmds.prom"},
       })
    EXPECT_EQ(StatusFilePathOf(dir, log), expected) << log;
}

TEST(StateColumn, TheServiceDatabaseSaysWhatRunsAndAConsistentStatusFileRefinesIt) {
  using C = ServiceCondition;
  const ServerStatus none;
  ServerStatus listening, connected, failed, noAddress;
  listening.state = "listening";
  connected.state = "connected";
  connected.clientAddress = "10.1.2.3";
  noAddress.state = "connected";
  failed.state = "failed";
  failed.failureReason = "port not opened";
  struct Case {
    C condition;
    const ServerStatus& status;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{
           {C::kRunning, none, "Running"},
           {C::kRunning, listening, "Listening"},
           {C::kRunning, connected, "Client 10.1.2.3"},
           {C::kRunning, noAddress, "Running"},
           {C::kRunning, failed, "Running"},  // left over from the run before the restart
           {C::kStopped, none, "Stopped"},
           {C::kStopped, listening, "Stopped"},  // the server ended without writing
           {C::kStopped, failed, "Failed: port not opened"},
           {C::kStartPending, failed, "Start pending"},
           {C::kStopPending, connected, "Stop pending"},
           {C::kNotRegistered, listening, "Not registered"},
           {C::kUnknown, listening, ""},
       })
    EXPECT_EQ(StateText(c.condition, c.status), c.text);
  EXPECT_EQ(ConditionOfServiceState(kServiceRunning), C::kRunning);
  EXPECT_EQ(ConditionOfServiceState(kServiceNoState), C::kUnknown);
}

class InstanceState : public ::testing::Test, public Rig {
 protected:
  void SetUp() override {
    Start();
    for (auto& [name, service] : services.services) service.states = {kServiceRunning};
  }
  std::string PromPath(const std::string& instance) {
    return instance == "Master" ? kDir + "\\vmds.prom" : kDir + "\\" + instance + "\\vmds.prom";
  }
  Strings States() {
    Strings states;
    for (const InstanceListRow& row : view.rows) states.push_back(row.State);
    return states;
  }
};

TEST_F(InstanceState, ARefreshFillsTheStateColumnAndTheDetailsAndLeavesTheEditorAlone) {
  files.files[PromPath("Master")] = PromText("Master", "connected", "10.1.2.3");
  files.files[PromPath("Lab 1")] = PromText("Lab 1", "listening");
  files.files[PromPath("bay")] = PromText("bay", "failed", "", "port not opened", 11);
  services.services["Daltrimore_VMDS_bay"].states = {kServiceStopped};
  services.services.erase("Daltrimore_VMDS_Dock");
  // An edit that is not saved: the refresh must keep it, the hint and Save's state.
  Type(MaxIdleTimeTextBox, "77");
  const Strings editor = Editor();
  const std::vector<ProgressText> progress = view.progress;

  presenter.RefreshTimer();
  EXPECT_EQ(States(), (Strings{"Client 10.1.2.3", "Listening", "Not registered",
                               "Failed: port not opened"}));
  EXPECT_EQ(presenter.Rows(), view.rows);
  EXPECT_EQ(view[StatusDetailsLabel].text,
            "State: Client 10.1.2.3 since @1796690100\r\n"
            "Bytes to the device: 1234, to the client: 5678");
  EXPECT_FALSE(view[StartServiceCmdBtn].enabled);
  EXPECT_TRUE(view[StopServiceCmdBtn].enabled);
  EXPECT_EQ(Editor(), editor);
  EXPECT_EQ(view.progress, progress);
  EXPECT_TRUE(view[SaveCmdBtn].enabled);
  EXPECT_EQ(Messages(), Strings{});
  EXPECT_EQ(Count("Sleep 1000") + Count("Sleep 500"), 0u) << "a refresh never waits";
  EXPECT_EQ(services.calls, (Strings{"OpenSCManager 0x20004", "Enumerate", "Close SCM"}))
      << "one enumeration for all services";
  EXPECT_EQ(services.openHandles, 0);

  // A status file is read again only when its stamp changed.
  EXPECT_EQ(files.reads[PromPath("Master")], 1);
  presenter.RefreshTimer();
  EXPECT_EQ(files.reads[PromPath("Master")], 1);
  EXPECT_EQ(files.reads[PromPath("Dock")], 0) << "no service, no file read";
  EXPECT_EQ(States()[0], "Client 10.1.2.3");

  // Stopped from outside, a client gone, a status file gone: the next tick shows it.
  services.services["Daltrimore_VMDS_Mstr"].states = {kServiceStopped};
  files.files[PromPath("Master")] = PromText("Master", "stopping");
  files.files.erase(PromPath("Lab 1"));
  services.services["Daltrimore_VMDS_bay"].states = {kServiceStartPending};
  services.enumerateError = 5;  // then a query per service
  presenter.RefreshTimer();
  EXPECT_EQ(States(), (Strings{"Stopped", "Running", "Not registered", "Start pending"}));
  services.enumerateError = 0;
  EXPECT_EQ(view[StatusDetailsLabel].text, "State: Stopped");
  EXPECT_EQ(files.reads[PromPath("Master")], 2);
  EXPECT_TRUE(view[StartServiceCmdBtn].enabled);
  EXPECT_FALSE(view[StopServiceCmdBtn].enabled);
  EXPECT_EQ(Editor(), editor);

  // Sorting by State like the other columns; the row order then stays across refreshes.
  presenter.ColumnClick(3);  // the first click sorts descending
  EXPECT_EQ(RowNames(), (Strings{"Master", "bay", "Lab 1", "Dock"}));
  presenter.ColumnClick(3);
  EXPECT_EQ(RowNames(), (Strings{"Dock", "Lab 1", "bay", "Master"}));
  presenter.RefreshTimer();
  EXPECT_EQ(RowNames(), (Strings{"Dock", "Lab 1", "bay", "Master"}));

  // Another instance shown: its details at once, from the last refresh.
  files.files[PromPath("bay")] = PromText("bay", "failed", "", "port not opened", 11);
  services.services["Daltrimore_VMDS_bay"].states = {kServiceStopped};
  presenter.RefreshTimer();
  view.answers = {Answer::kNo};  // leaves the idle-time edit behind
  ClickRow(2);
  EXPECT_EQ(Messages(), Strings{"The settings for instance, \"Master\" have been changed. Do you "
                                "want to save the changes?"});
  EXPECT_EQ(view[StatusDetailsLabel].text,
            "State: Failed: port not opened\r\n"
            "Last failure: port not opened (exit code 11)");
}

TEST_F(InstanceState, StartAndStopTheShownInstanceTellWhatHappened) {
  struct Case {
    const char* what;
    std::deque<std::uint32_t> states;  // of the master's service, query by query
    std::string prom;                  // the master's status file
    int startError = 0, stopError = 0;
    bool stop;
    std::deque<Answer> answers;
    Strings messages;
    std::string progress;
    bool stopSent;
  };
  const std::string clientQuestion =
      "A client (10.1.2.3) is connected to \"Master\". Stopping the service ends its session. Do "
      "you want to stop the service?";
  const std::string connected = PromText("Master", "connected", "10.1.2.3");
  for (const Case& c : std::vector<Case>{
           {"start", {kServiceRunning}, "", 0, 0, false, {}, {},
            "The service of \"Master\" is started.", false},
           {"start refused", {kServiceStopped}, "", 1058, 0, false, {},
            {"The service of \"Master\" could not be started. <error 1058> Check the Instance "
             "Log File."}, "", false},
           {"start, then the server ends", {kServiceStartPending, kServiceStopped},
            "", 0, 0, false, {},
            {"The service of \"Master\" could not be started. Check the Instance Log File."}, "",
            false},
           {"start, still pending", {kServiceStartPending}, "", 0, 0, false, {},
            {"The service of \"Master\" could not be started. <error 1053> Check the Instance "
             "Log File."}, "", false},
           {"stop, no client", {kServiceRunning, kServiceRunning, kServiceStopPending, kServiceStopped},
            PromText("Master", "listening"), 0, 0, true, {}, {},
            "The service of \"Master\" is stopped.", true},
           {"stop with a client, yes", {kServiceRunning, kServiceRunning, kServiceStopped},
            connected, 0, 0, true, {Answer::kYes}, {clientQuestion},
            "The service of \"Master\" is stopped.", true},
           {"stop with a client, no", {kServiceRunning}, connected, 0, 0, true, {Answer::kNo},
            {clientQuestion}, "", false},
           {"stop refused", {kServiceRunning}, "", 0, 1051, true, {},
            {"The service of \"Master\" could not be stopped. <error 1051>"}, "", true},
           {"stop pending at the bound", {kServiceRunning, kServiceRunning, kServiceStopPending},
            "", 0, 0, true, {}, {"The service of \"Master\" could not be stopped. <error 1053>"},
            "", true},
       }) {
    SCOPED_TRACE(c.what);
    FakeService& master = services.services["Daltrimore_VMDS_Mstr"];
    master.states = c.states;
    master.startError = c.startError;
    services.stopError = c.stopError;
    if (c.prom.empty()) files.files.erase(PromPath("Master"));
    else files.files[PromPath("Master")] = c.prom;
    services.calls.clear();
    view.progress.clear();
    view[ProgressLabel].text.clear();
    view.answers = c.answers;
    if (c.stop) presenter.StopClick();
    else presenter.StartClick();
    EXPECT_EQ(Messages(), c.messages);
    EXPECT_EQ(Count("Stop Daltrimore_VMDS_Mstr"), c.stopSent ? 1u : 0u);
    EXPECT_EQ(Count("Start Daltrimore_VMDS_Mstr"), c.stop ? 0u : 1u);
    EXPECT_EQ(Progress(), c.progress);
    if (!c.answers.empty() && c.answers.front() == Answer::kNo) continue;
    ASSERT_FALSE(view.progress.empty());
    EXPECT_TRUE(view.progress.front().repainted) << "painted before the wait";
    EXPECT_EQ(services.openHandles, 0);
    // The state afterwards is in the row at once.
    EXPECT_EQ(view.rows[0].State,
              StateText(ConditionOfServiceState(master.states.back()),
                        ParseServerStatus(c.prom, "Master")));
  }
}

TEST_F(InstanceState, TheLabelBesideTheSerialPortListsSaysWhetherThePortIsPresent) {
  ports.present = {{"COM1", ""}, {"COM3", "USB Serial Port (COM3)"}, {"COM12", "Moxa UPort"}};
  presenter.LoadInstance("Master", 1);
  EXPECT_EQ(view[SerialPortPresenceLabel].text, "COM1 is present on this computer");
  ClickRow(2);  // Dock
  EXPECT_EQ(view[SerialPortPresenceLabel].text, "USB Serial Port (COM3)");
  ClickRow(1);  // Lab 1
  EXPECT_EQ(view[SerialPortPresenceLabel].text, "Moxa UPort (COM12)");
  Pick(SerialPortComboBox, "COM9");
  EXPECT_EQ(view[SerialPortPresenceLabel].text, "COM9 is not present on this computer");
  auto restarts = [this] {
    services.services["Daltrimore_VMDS_Lab_1"].states = {kServiceRunning, kServiceStopped,
                                                         kServiceRunning};
  };
  restarts();
  // Save of an absent port still saves and restarts, and says the port is absent.
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{kRestartStarted});
  EXPECT_TRUE(Has(files.files[InstanceFile("Lab 1")], "COMPort=COM9"));
  EXPECT_EQ(Progress(),
            "COM9 is not present on this computer. The settings are saved and the service is "
            "started.");
  Pick(SerialPortComboBox, "COM3");
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{SerialInUse("COM3", "Dock")});
  Pick(SerialPortComboBox, "COM12");
  restarts();
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{kRestartStarted});
  EXPECT_EQ(Progress(), "");

  FakeAddDialog dialog;
  presenter.AddDialogLoad(dialog);
  EXPECT_EQ(dialog.portLabel, "COM1 is present on this computer");
  dialog.Pick("COM3");
  presenter.AddDialogPortChanged(dialog);
  EXPECT_EQ(dialog.portLabel, "USB Serial Port (COM3)");
  dialog.Pick("COM200");
  presenter.AddDialogPortChanged(dialog);
  EXPECT_EQ(dialog.portLabel, "COM200 is not present on this computer");
  // The added instance is shown: its port's label, and no details of the one shown before.
  presenter.RefreshTimer();
  ASSERT_NE(view[StatusDetailsLabel].text, "");
  view[SerialPortPresenceLabel].text.clear();
  dialog.name = "Cave";
  dialog.port = "7100";
  presenter.CreateInstanceClick(dialog);
  ASSERT_EQ(presenter.CurrentInstanceName(), "Cave");
  EXPECT_EQ(view[SerialPortPresenceLabel].text, "COM200 is not present on this computer");
  EXPECT_EQ(view[StatusDetailsLabel].text, "");
  presenter.RefreshTimer();
  EXPECT_EQ(view.rows.back().State, "Stopped");
  EXPECT_EQ(view[StatusDetailsLabel].text, "State: Stopped");
  EXPECT_EQ(PortPresenceText("", ports.present), "");
  EXPECT_EQ(PortPresenceText("com3", ports.present), "USB Serial Port (COM3)");
}

}  // namespace
