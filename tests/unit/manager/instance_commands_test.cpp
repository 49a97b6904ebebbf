// Adding and removing instances, the auxiliary commands, and Save when a value or the file
// write fails, over the scripted main window.
#include "presenter_rig.h"
#include "run_time_error.h"
#include "value_conversions.h"

namespace {

const std::string kYardDir = kDir + "\\Yard 1";

std::string AddRefusal(const std::string& text) {
  return text + " Change the " +
         (text.rfind("The TCP", 0) == 0 ? "TCP Port Number" : "Instance Name") +
         " and click on Create Instance." + kAborted;
}

class Commands : public ::testing::Test, public Rig {
 protected:
  void SetUp() override {
    for (const char* name : {"Lab 1", "Dock", "bay"}) files.directories.insert(kDir + "\\" + name);
    Start();
  }
  // Opens the dialog through the command and presses Create Instance with these fields.
  FakeAddDialog Create(const std::string& name, const std::string& port,
                       const std::string& serial = "COM5") {
    presenter.AddClick();
    FakeAddDialog dialog;
    presenter.AddDialogLoad(dialog);
    dialog.name = name;
    dialog.port = port;
    dialog.Pick(serial);
    presenter.CreateInstanceClick(dialog);
    return dialog;
  }
  // Everything that an added instance leaves behind, to compare before and after.
  std::tuple<Strings, std::size_t, std::string, std::size_t, std::set<std::string>> Footprint() {
    return {RowNames(), presenter.State().Instances.Count(), files.files[kMasterFile],
            services.registrations.size(), files.directories};
  }
};

TEST_F(Commands, CreateRefusesNamesAndPortsInOrderAndMakesNothing) {
  const std::string reserved = "A reserved character ( * \\ / % | : \" ? <> . ) is being used in "
                               "the Instance Name.";
  const auto before = Footprint();
  struct Case {
    std::string name, port, serial, message;
    bool aborted;  // the progress text says so
  };
  for (const Case& c : std::vector<Case>{
           {"   ", "6200", "COM5", "The Instance Name cannot be blank. Enter an Instance Name "
                                   "and click on Create Instance." + kAborted, false},
           {"Yard", " ", "COM5", "The TCP Port Number cannot be blank. Enter a TCP Port Number "
                                 "and click on Create Instance." + kAborted, false},
           {"MASTER", "6200", "COM5", AddRefusal("The Instance Name - Master - is reserved and "
                                                 "cannot be used."), false},
           {"MyMaster", "6200", "COM5", AddRefusal("The string  \"Master\"  is reserved and "
                                                   "cannot be used within the Instance Name."), false},
           {"mstr", "6200", "COM5", AddRefusal("The Instance Name - Mstr - is reserved and "
                                               "cannot be used."), false},
           {"lab", "6200", "COM5", AddRefusal("The Instance Name is already in use."), false},
           {"a.b", "6200", "COM5", AddRefusal(reserved), false},
           {"a:b", "6200", "COM5", AddRefusal(reserved), false},
           {"a\"b", "6200", "COM5", AddRefusal(reserved), false},
           {"Yard", "0", "COM5", kRange, false},
           {"Yard", "65536", "COM5", kRange, false},
           {"Yard", "80.5", "COM5", kRange, false},
           {"Yard", "6100", "COM5", AddRefusal("The TCP Port Number is already in use by "
                                               "\"Master\"."), true},
           {"Yard", "6200", "COM3", "The Serial Port is already in use by \"Dock\". Change the "
                                    "Serial Port and click on Create Instance." + kAborted, true},
       }) {
    SCOPED_TRACE(c.name + "/" + c.port);
    view[ProgressLabel].text = "";
    FakeAddDialog dialog = Create("  " + c.name + " ", c.port + "  ", c.serial);
    EXPECT_EQ(Messages(), Strings{c.message});
    EXPECT_EQ(Progress(), c.aborted ? "Add New Instance aborted" : "");
    EXPECT_FALSE(dialog.closed);
    EXPECT_EQ(dialog.name, Trim("  " + c.name + " "));  // the trimmed texts stay in the fields
    EXPECT_EQ(dialog.port, Trim(c.port + "  "));
    EXPECT_EQ(Footprint(), before);
  }
  EXPECT_EQ(view.addDialogsShown, 14);
  EXPECT_TRUE(Create("Mstr1", "6201", "COM5").closed);
  view.answers = {Answer::kNo};  // Mstr1 is not saved yet when the next Add starts
  EXPECT_TRUE(Create("a b", "6202", "COM6").closed);
  EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(Commands, CreateProvisionsTheInstanceAndShowsItUnsaved) {
  FakeAddDialog dialog = Create("  Yard 1  ", " 6200 ");
  EXPECT_EQ(Messages(), Strings{});
  EXPECT_TRUE(dialog.closed);
  EXPECT_EQ(dialog.serialPorts, SerialPortEntries());
  EXPECT_TRUE(files.directories.count(kYardDir));
  EXPECT_EQ(files.files[kYardDir + "\\vmds.ini"].rfind(
                "[Daltrimore Velmora Device Server - Instance Manager - Instance - Yard 1]\r\n", 0),
            0u);
  EXPECT_TRUE(Has(files.files[kYardDir + "\\vmds.ini"], "TCPPort=6200\r\nCOMPort=COM5\r\n"));
  ASSERT_EQ(services.registrations.size(), 1u);
  EXPECT_EQ(services.registrations[0].ServiceName, "Daltrimore_VMDS_Yard_1");
  EXPECT_EQ(services.registrations[0].DisplayName, "Daltrimore VMDS Yard 1");
  EXPECT_EQ(services.registrations[0].BinaryPathName, QuotedProgramPath(kYardDir + "\\vmds.exe"));
  EXPECT_EQ(Count("Start Daltrimore_VMDS_Yard_1"), 0u);
  EXPECT_TRUE(Has(files.files[kMasterFile],
                  "NumberofInstancesInstalled=4\r\nInstanceNamesList=Lab 1%Dock%bay%Yard 1\r\n"));
  EXPECT_EQ(services.calls.back(), "Write " + kMasterFile);  // after the registration
  // The directory gets its own access list before anything is put into it.
  EXPECT_EQ(files.restricted, Strings{kYardDir});
  EXPECT_EQ(Strings(services.calls.begin(), services.calls.begin() + 3),
            (Strings{"Restrict " + kYardDir, "Copy " + kYardDir + "\\vmds.exe",
                     "Write " + kYardDir + "\\vmds.ini"}));
  EXPECT_EQ(view.rows.back(), (InstanceListRow{"Yard 1", "6200", "COM  5"}));
  EXPECT_EQ(view.selectedRow, 4);
  EXPECT_EQ(Editor(), (Strings{"6200", "COM5", "1200", "8", "None", "1", "0", "120", "off", "off",
                               kYardDir + "\\vmds.log", "off"}));
  EXPECT_EQ(view[InstanceNameValueLabel].text, "Yard 1");
  EXPECT_EQ(view[ServiceDisplayNameValueLabel].text, "Daltrimore VMDS Yard 1");
  EXPECT_EQ(Progress(),
            "New Instance Yard 1 has been added. Click the Save button for changes to take effect.");
  EXPECT_TRUE(view[SaveCmdBtn].enabled);
  EXPECT_TRUE(view[cmdRemoveInstance].enabled);
  EXPECT_EQ(shell.beeps, 1);
  EXPECT_TRUE(presenter.NewInstancePending());
  EXPECT_EQ(presenter.CurrentInstanceIndex(), 5);

  // Leaving the new instance asks about it even without an edit; the next Add asks too.
  view.answers = {Answer::kCancel, Answer::kNo};
  ClickRow(0);
  presenter.AddClick();
  EXPECT_EQ(Messages(),
            (Strings{"Would you like to save the settings for the new instance, \"Yard 1\"?\r"
                     "Saving the new instance will start the service for the instance.",
                     "Would you like to save the settings for the new instance, \"Yard 1\"?\r"
                     "Saving the new instance will start the service."}));
  EXPECT_FALSE(presenter.NewInstancePending());
  EXPECT_EQ(view.addDialogsShown, 2);
}

// Yes to the question, then a value Save refuses: the dialog does not open and the edits stay.
TEST_F(Commands, AddAfterARefusedSaveKeepsTheEdits) {
  ClickRow(1);
  Type(MaxIdleTimeTextBox, "-1");
  view.answers = {Answer::kYes};
  presenter.AddClick();
  EXPECT_EQ(Messages(), (Strings{kLabQuestion, kIdle}));
  EXPECT_EQ(view.addDialogsShown, 0);
  EXPECT_EQ(view[MaxIdleTimeTextBox].text, "-1");
  EXPECT_EQ(presenter.CurrentInstanceName(), "Lab 1");
}

TEST(AddInstance, TheNamesListGetsASeparatorFromTheSecondName) {
  Rig rig;
  std::string& master = rig.files.files[kMasterFile];
  master.replace(master.find("=3\r\nInstanceNamesList=Lab 1%Dock%bay"), 36, "=0\r\nInstanceNamesList=");
  rig.services.services.erase("Daltrimore_VMDS_Dock");  // no instance registered yet
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  for (const auto& [name, list] : std::vector<std::pair<std::string, std::string>>{
           {"Lab", "InstanceNamesList=Lab\r\n"}, {"Dock", "InstanceNamesList=Lab%Dock\r\n"}}) {
    if (name == "Dock") rig.view.answers = {Answer::kNo};  // Lab is not saved yet
    rig.presenter.AddClick();
    FakeAddDialog dialog;
    rig.presenter.AddDialogLoad(dialog);
    dialog.name = name;
    dialog.port = name == "Lab" ? "6200" : "6201";
    dialog.Pick(name == "Lab" ? "COM5" : "COM6");
    rig.presenter.CreateInstanceClick(dialog);
    EXPECT_TRUE(Has(rig.files.files[kMasterFile], list)) << name;
  }
}

TEST_F(Commands, AFailedProvisioningStepUndoesEverythingAndARetryWorks) {
  const auto before = Footprint();
  const std::string file = kYardDir + "\\vmds.ini";
  const std::string exe = kYardDir + "\\vmds.exe";
  struct Case {
    const char* what;
    std::function<void()> fault, mend;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"access list", [&] { files.restrictErrors[kYardDir] = 1307; },
            [&] { files.restrictErrors.erase(kYardDir); },
            "The access rights of the new instance directory, \"" + kYardDir +
                "\", cannot be set (Windows error 1307).\rOperation was aborted."},
           {"program missing", [&] { files.errors[exe] = 2; }, [&] { files.errors.erase(exe); },
            "Error Code:  53, File not found\rOperation was aborted."},
           {"instance file", [&] { files.errors[file] = 5; }, [&] { files.errors.erase(file); },
            "Cannot open file for write: " + file + " - file is read-only."},
           {"registration", [&] { services.services["Daltrimore_VMDS_Yard_1"] = {}; },
            [&] { services.services.erase("Daltrimore_VMDS_Yard_1"); },
            "New service, \"Daltrimore VMDS Yard 1\" cannot be created due to inappropriate "
            "privileges or a duplicate entry in the Service Control Manager.\rOperation was "
            "aborted."},
           {"master file", [&] { files.errors[kMasterFile] = 32; },
            [&] { files.errors.erase(kMasterFile); },
            "Cannot open file for write: " + kMasterFile + " - file already in use."},
       }) {
    SCOPED_TRACE(c.what);
    c.fault();
    FakeAddDialog dialog = Create("Yard 1", "6200");
    EXPECT_EQ(Messages(), Strings{c.message});
    EXPECT_FALSE(dialog.closed);
    EXPECT_EQ(presenter.State().NumberofInstancesInstalled, 3);
    EXPECT_EQ(presenter.State().InstanceNamesList, "Lab 1%Dock%bay");
    EXPECT_EQ(std::get<0>(Footprint()), std::get<0>(before));
    EXPECT_EQ(std::get<1>(Footprint()), std::get<1>(before));
    EXPECT_EQ(std::get<2>(Footprint()), std::get<2>(before));
    EXPECT_EQ(std::get<4>(Footprint()), std::get<4>(before));
    if (std::string(c.what) == "master file") {
      EXPECT_EQ(Count("Delete Daltrimore_VMDS_Yard_1"), 1u);
    }
    c.mend();
    services.services.erase("Daltrimore_VMDS_Yard_1");
    services.registrations.clear();
  }
  // A directory that exists already is never taken over, nor deleted.
  files.directories.insert(kYardDir);
  const std::size_t deletions = files.deletedTrees.size();
  EXPECT_FALSE(Create("Yard 1", "6200").closed);
  EXPECT_EQ(Messages(), Strings{"Error Code:  58, File already exists\rOperation was aborted."});
  EXPECT_TRUE(files.directories.count(kYardDir));
  EXPECT_EQ(files.deletedTrees.size(), deletions);
  files.directories.erase(kYardDir);
  EXPECT_TRUE(Create("Yard 1", "6200").closed);
  EXPECT_EQ(Messages(), Strings{});
}

TEST_F(Commands, AddSettlesTheShownEditsFirst) {
  for (Answer answer : {Answer::kCancel, Answer::kNo, Answer::kYes}) {
    Type(MaxIdleTimeTextBox, "99");
    view.answers = {answer};
    const int shown = view.addDialogsShown;
    presenter.AddClick();
    EXPECT_EQ(Messages().size(), answer == Answer::kYes ? 2u : 1u);
    EXPECT_EQ(view.addDialogsShown, shown + (answer == Answer::kCancel ? 0 : 1));
    EXPECT_EQ(view[MaxIdleTimeTextBox].text, answer == Answer::kNo ? "120" : "99");
    EXPECT_EQ(Record(1).mIdleTimeout, answer == Answer::kYes ? 99 : 120);
  }
}

TEST_F(Commands, RemoveTakesTheInstanceEverywhereAndShowsTheFollowUpRow) {
  struct Case {
    int row;
    std::string list, shownAfter;
  };
  for (const Case& c : std::vector<Case>{{1, "Dock%bay", "Dock"},
                                         {2, "Lab 1%bay", "bay"},
                                         {3, "Lab 1%Dock", "Dock"}}) {
    Rig rig;
    for (const char* name : {"Lab 1", "Dock", "bay"})
      rig.files.directories.insert(kDir + "\\" + name);
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    // Each instance's client is named in its status file: the follow-up's shows after removal.
    for (const std::string n : {"Lab 1", "Dock", "bay"})
      rig.files.files[kDir + "\\" + n + "\\vmds.prom"] =
          "vmds_state{instance=\"" + n + "\",state=\"connected\"} 1\n"
          "vmds_client_info{instance=\"" + n + "\",address=\"" + n + "-client\"} 1\n";
    rig.presenter.RefreshTimer();
    for (auto& [service, state] : rig.services.services)
      state.states = {kServiceRunning, kServiceStopped, kServiceRunning};
    rig.services.calls.clear();
    const std::string name = rig.view.rows[static_cast<std::size_t>(c.row)].InstanceName;
    SCOPED_TRACE(name);
    rig.ClickRow(c.row);
    EXPECT_EQ(rig.view[StatusDetailsLabel].text, "State: Client " + name + "-client");
    rig.view.answers = {Answer::kYes};
    rig.presenter.RemoveClick();
    EXPECT_EQ(rig.Messages(), Strings{"Would you like to remove the selected instance: " + name});
    EXPECT_EQ(rig.Count("Delete " + ServiceNameOf(name)), 1u);
    EXPECT_EQ(rig.files.moves, Strings{kDir + "\\" + name + " -> " + kDir + "\\" + name + "%removed"});
    EXPECT_EQ(rig.files.deletedTrees, Strings{kDir + "\\" + name + "%removed"});
    EXPECT_TRUE(Has(rig.files.files[kMasterFile],
                    "NumberofInstancesInstalled=2\r\nInstanceNamesList=" + c.list + "\r\n"));
    EXPECT_EQ(rig.presenter.State().Instances.Count(), 3);
    EXPECT_EQ(GetInstanceIndex(rig.presenter.State(), name), -1);
    EXPECT_EQ(rig.RowNames().size(), 3u);
    EXPECT_EQ(rig.presenter.Rows(), rig.view.rows);
    EXPECT_EQ(rig.presenter.CurrentInstanceName(), c.shownAfter);
    EXPECT_EQ(rig.view[InstanceNameValueLabel].text, c.shownAfter);
    EXPECT_EQ(rig.view[StatusDetailsLabel].text, "State: Client " + c.shownAfter + "-client");
    EXPECT_EQ(rig.view.rows.at(static_cast<std::size_t>(rig.view.selectedRow)).InstanceName,
              c.shownAfter);
    EXPECT_TRUE(rig.view[cmdRemoveInstance].enabled);
    EXPECT_FALSE(rig.view[SaveCmdBtn].enabled);
    EXPECT_EQ(rig.view.progress.back(),
              (ProgressText{"Done - removing software instance " + name, true}));
    EXPECT_EQ(rig.shell.beeps, 1);
  }
}

TEST(RemoveInstance, TheOnlyInstanceLeavesAnEmptyListAndRemoveDisabled) {
  Rig rig;
  std::string& master = rig.files.files[kMasterFile];
  master.replace(master.find("=3\r\nInstanceNamesList=Lab 1%Dock%bay"), 36,
                 "=1\r\nInstanceNamesList=Lab 1");
  rig.files.directories.insert(kDir + "\\Lab 1");
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  rig.ClickRow(1);
  rig.view.answers = {Answer::kYes};
  rig.presenter.RemoveClick();
  rig.Messages();
  EXPECT_TRUE(Has(master, "NumberofInstancesInstalled=0\r\nInstanceNamesList=\r\n"));
  EXPECT_EQ(rig.presenter.CurrentInstanceName(), "Master");
  EXPECT_FALSE(rig.view[cmdRemoveInstance].enabled);
}

// A removal that fails at any step leaves the instance whole: listed in the master file, its
// folder in place, its service registered and running again. It can be removed again later.
TEST_F(Commands, ARefusedRemovalKeepsTheInstance) {
  const std::string dock = kDir + "\\Dock";
  const std::string service = "Daltrimore_VMDS_Dock";
  const std::string masterBefore = files.files[kMasterFile];
  const std::string notRemoved =
      "Selected service, \"Daltrimore VMDS Dock\" cannot be removed due to inappropriate "
      "privileges or if the service was previously deleted.\rOperation was aborted.";
  struct Case {
    const char* what;
    std::function<void()> fault;
    Strings messages;
    bool stopped;      // the service was stopped (and so is started again)
    bool masterSame;   // the master file was not written at all
  };
  for (const Case& c : std::vector<Case>{
           {"No", [&] { view.answers = {Answer::kNo}; }, {}, false, true},
           {"service does not stop", [&] { services.stopError = 5; }, {notRemoved}, false, true},
           {"file in use", [&] { files.errors[dock] = 32; },
            {"The software instance you are trying to remove, is probably still running. "
             "Operation was aborted."},
            true, true},
           {"master file cannot be written", [&] { files.errors[kMasterFile] = 5; },
            {WriteFailureMessage(kMasterFile, RunTimeErrorFromWin32(5)),
             "The instance Dock was not removed: the list of instances in " + kMasterFile +
                 " could not be written. The instance was left as it was.\rOperation was "
                 "aborted."},
            true, true},
           {"service refuses deletion", [&] { services.services[service].deleteError = 5; },
            {notRemoved}, true, false},
       }) {
    SCOPED_TRACE(c.what);
    services.services[service].states = {kServiceRunning, kServiceStopped, kServiceRunning};
    ClickRow(2);
    services.calls.clear();
    view.answers = {Answer::kYes};
    c.fault();
    presenter.RemoveClick();
    Strings shown = Messages();
    shown.erase(shown.begin());  // the question
    EXPECT_EQ(shown, c.messages);
    EXPECT_EQ(RowNames(), (Strings{"Master", "Lab 1", "Dock", "bay"}));
    if (c.masterSame) {
      EXPECT_EQ(files.files[kMasterFile], masterBefore);
    }
    EXPECT_TRUE(Has(files.files[kMasterFile],
                    "NumberofInstancesInstalled=3\r\nInstanceNamesList=Lab 1%Dock%bay\r\n"));
    EXPECT_TRUE(files.directories.count(dock));
    EXPECT_TRUE(files.deletedTrees.empty());
    EXPECT_TRUE(services.services.count(service));
    EXPECT_EQ(Count("Start " + service), c.stopped ? 1u : 0u);
    if (c.stopped) {
      EXPECT_EQ(services.calls.back(), "Close SCM");
    }
    EXPECT_FALSE(view[SaveCmdBtn].enabled);
    EXPECT_FALSE(presenter.NewInstancePending());
    EXPECT_EQ(presenter.State().NumberofInstancesInstalled, 3);
    files.errors.clear();
    services.stopError = 0;
    services.services[service].deleteError = 0;
  }
  // Nothing was left behind: the instance is removed at the next attempt.
  services.services[service].states = {kServiceRunning, kServiceStopped};
  ClickRow(2);
  services.calls.clear();
  view.answers = {Answer::kYes};
  presenter.RemoveClick();
  EXPECT_EQ(Messages().size(), 1u);
  EXPECT_EQ(RowNames(), (Strings{"Master", "Lab 1", "bay"}));
  EXPECT_EQ(Count("Delete " + service), 1u);
  EXPECT_FALSE(files.directories.count(dock));
}

// The service stops first, the folder moves aside, the master file forgets the name, and only
// then is the service deleted and the folder with it; a service that holds its program a moment
// after it stopped delays the move instead of failing it.
TEST_F(Commands, RemovalStopsMovesListsThenDeletes) {
  const std::string dock = kDir + "\\Dock";
  files.errors[dock] = 32;
  services.services["Daltrimore_VMDS_Dock"].states = {kServiceRunning, kServiceStopped};
  ClickRow(2);
  services.calls.clear();
  view.answers = {Answer::kYes};
  // The folder is released after three refused moves.
  int refusals = 0;
  services.onSleep = [&] {
    if (++refusals == 3) files.errors.clear();
  };
  presenter.RemoveClick();
  services.onSleep = nullptr;
  EXPECT_EQ(Messages().size(), 1u);
  std::vector<std::string> steps;
  for (const std::string& call : services.calls)
    if (call.rfind("Stop ", 0) == 0 || call.rfind("Write ", 0) == 0 ||
        call.rfind("Delete ", 0) == 0 || call == "Sleep 200")
      steps.push_back(call);
  EXPECT_EQ(steps, (Strings{"Stop Daltrimore_VMDS_Dock", "Sleep 200", "Sleep 200", "Sleep 200",
                            "Write " + kMasterFile, "Delete Daltrimore_VMDS_Dock"}));
  EXPECT_EQ(files.moves, Strings{dock + " -> " + dock + "%removed"});
  EXPECT_EQ(files.deletedTrees, Strings{dock + "%removed"});
  EXPECT_EQ(RowNames(), (Strings{"Master", "Lab 1", "bay"}));
}

TEST(RemoveInstance, MissingServiceOrFolderStillRemovesTheInstance) {
  const std::string dock = kDir + "\\Dock";
  for (bool serviceGone : {true, false}) {
    Rig rig;
    for (const char* name : {"Lab 1", "bay"}) rig.files.directories.insert(kDir + "\\" + name);
    if (serviceGone) rig.services.services.erase("Daltrimore_VMDS_Dock");
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    rig.ClickRow(2);
    rig.view.answers = {Answer::kYes};
    rig.presenter.RemoveClick();
    Strings shown = rig.Messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1], "The instance Dock was removed.\r" +
                            (serviceGone ? "Its service Daltrimore_VMDS_Dock did not exist.\r"
                                         : std::string()) +
                            "Its folder " + dock + " did not exist.");
    EXPECT_EQ(rig.RowNames(), (Strings{"Master", "Lab 1", "bay"}));
    EXPECT_TRUE(Has(rig.files.files[kMasterFile], "InstanceNamesList=Lab 1%bay\r\n"));
  }
}

TEST(RemoveInstance, NamesAreTakenOutOfTheListWhole) {
  for (const auto& [list, name, left] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"Lab%Dock%Yard", "Lab", "Dock%Yard"}, {"Lab%Dock%Yard", "Dock", "Lab%Yard"},
           {"Lab%Dock%Yard", "Yard", "Lab%Dock"}, {"Lab", "Lab", ""},
           {"Lab 2%Lab", "Lab", "Lab 2"},        {"Lab%Lab 2", "Lab 2", "Lab"}})
    EXPECT_EQ(WithoutInstanceName(list, name), left) << list << " - " << name;

}

TEST(RemoveInstance, AServiceThatCannotBeRemovedIsNamedWithBlanks) {
  Rig rig;
  std::string& master = rig.files.files[kMasterFile];
  master.replace(master.find("%bay"), 4, "%my_lab");
  rig.files.files[InstanceFile("my_lab")] = rig.files.files[InstanceFile("bay")];
  rig.services.services["Daltrimore_VMDS_my_lab"].deleteError = 5;
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  rig.ClickRow(3);
  rig.view.answers = {Answer::kYes};
  rig.presenter.RemoveClick();
  EXPECT_EQ(rig.Messages().back(),
            "Selected service, \"Daltrimore VMDS my lab\" cannot be removed due to inappropriate "
            "privileges or if the service was previously deleted.\rOperation was aborted.");
  EXPECT_EQ(rig.RowNames().size(), 4u);
}

TEST_F(Commands, BrowsePresetsOnlyAPathAndWarnsAboutAFileThatIsNoLog) {
  struct Case {
    std::string field, preset, chosen, fieldAfter;
    bool warned;
  };
  for (const Case& c : std::vector<Case>{
           {"\\\\server\\logs\\a.log", "\\\\server\\logs\\a.log", "", "\\\\server\\logs\\a.log", false},
           {"a.log", "", "C:\\x\\trace.txt", "C:\\x\\trace.txt", true},
           {"C:\\", "", "C:\\x\\TRACE.LOG", "C:\\x\\TRACE.LOG", false},
           {"\\\\\\a", "", "", "\\\\\\a", true},
       }) {
    SCOPED_TRACE(c.field);
    view[BrowseLogFileTextBox].text = c.field;
    view[ProgressLabel].text = "";
    view.chosenFile = c.chosen;
    presenter.BrowseClick();
    ASSERT_FALSE(view.fileDialogs.empty());
    EXPECT_EQ(view.fileDialogs.back(),
              (FileDialogRequest{"Select Log File", c.preset,
                                 "Log File (*.log)|*.log|All Files (*.*)|*.*", "log"}));
    EXPECT_EQ(view[BrowseLogFileTextBox].text, c.fieldAfter);
    EXPECT_EQ(Progress() == "This does not appear to be a valid log file. Please verify your "
                            "selection.",
              c.warned);
  }
}

TEST(AuxiliaryCommands, ViewersReportTheShellsFailureInTheirOwnWords) {
  Rig rig;
  rig.files.files[kMasterFile] += "UserManualFilename=manual.pdf\r\n";
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  rig.view[BrowseLogFileTextBox].text = "  D:\\logs\\my lab.log ";
  for (const auto& [result, log, manual] : std::vector<std::tuple<int, std::string, std::string>>{
           {42, "", ""},
           {2, "notepad.exe not opened: File not found", "manual.pdf not opened: File not found."},
           {31, "notepad.exe not opened: No association for file extension",
            "manual.pdf not opened: No association for file extension."},
           {0, "notepad.exe not opened: Unknown error", "manual.pdf not opened: unknown error."}}) {
    rig.shell.executeResult = result;
    rig.presenter.ViewLogFileClick();
    rig.presenter.ViewManualClick();
    Strings expected;
    if (!log.empty()) expected = {log, manual};
    EXPECT_EQ(rig.Messages(), expected) << result;
  }
  EXPECT_EQ(rig.shell.calls.at(0), "open|notepad.exe|D:\\logs\\my lab.log|");
  EXPECT_EQ(rig.shell.calls.at(1), "open|manual.pdf||" + kDir);
}

TEST_F(Commands, AboutShowsTheVersionAndItsWebButtonFindsAPlaceForThePage) {
  presenter.AboutClick();
  ASSERT_TRUE(view.about.has_value());
  EXPECT_EQ(view.about->caption, "About Velmora Device Server - Instance Manager");
  EXPECT_EQ(view.about->version, "Velmora Device Server - Instance Manager\rVer 4.0 Build 84");
  EXPECT_EQ(view.about->support.rfind("For support please contact:\r\r", 0), 0u);

  const std::string temp = "C:\\users\\operator\\Temp\\temporary.html";
  struct Case {
    std::string user, folder, page;
    int find, start;
    std::string title, message;
  };
  for (const Case& c : std::vector<Case>{
           {"operator", "", temp, 42, 42, "", ""},
           {"operator", "C:\\Documents and Settings\\operator",
            "C:\\Documents and Settings\\operator\\temporary.html", 2, 42, "Browser Not Found",
            "Could not find associated Browser"},
           {" Administrator ", "C:\\Documents and Settings",
            "C:\\Documents and Settings\\temporary.html", 42, 5, "URL Failed",
            "Web page not Opened"},
       }) {
    SCOPED_TRACE(c.user);
    shell.userName = c.user + '\0' + "junk";
    files.directories.insert(c.folder);
    shell.findResult = c.find;
    shell.executeResult = c.start;
    shell.calls.clear();
    view.titles.clear();
    presenter.AboutWebClick();
    EXPECT_EQ(shell.calls.at(0), "find|" + c.page);
    EXPECT_EQ(Messages(), c.message.empty() ? Strings{} : Strings{c.message});
    EXPECT_EQ(view.titles, c.title.empty() ? Strings{} : Strings{c.title});
    EXPECT_FALSE(files.files.count(c.page));  // deleted again
    files.directories.erase(c.folder);
  }
  EXPECT_EQ(shell.calls.back(), "open|C:\\Browser\\browse.exe|https://www.daltrimore.example/|");
  files.errors[temp] = 5;
  shell.userName = "operator";
  presenter.AboutWebClick();
  EXPECT_EQ(Messages(), Strings{"An unknown error occurred during attempt to open URL"});

  presenter.ExitClick();
  EXPECT_EQ(view.closeRequests, 1);
  EXPECT_FALSE(presenter.FormUnload());
  EXPECT_EQ(view.dialogsClosed, 1);
}

TEST_F(Commands, SaveStoresNothingWhenAValueOverflowsOrTheFileCannotBeWritten) {
  ClickRow(1);
  const VMDSInstanceClass before = Record(2);
  Type(TCPPortNumberTextBox, "6200");
  Type(MaxIdleTimeTextBox, "99999999999");
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{"Error Code:  6, Overflow"});
  EXPECT_EQ(Record(2), before);
  EXPECT_EQ(view.rows[1].TCPPort, "10001");

  Type(MaxIdleTimeTextBox, "99");
  files.errors[InstanceFile("Lab 1")] = 5;
  presenter.SaveClick();
  EXPECT_EQ(Messages(), Strings{"Cannot open file for write: " + InstanceFile("Lab 1") +
                                " - file is read-only."});
  EXPECT_EQ(Record(2), before);
  EXPECT_EQ(view.rows[1].TCPPort, "10001");
  EXPECT_EQ(Count("Stop Daltrimore_VMDS_Lab_1") + Count("Start Daltrimore_VMDS_Lab_1"), 0u);
  EXPECT_TRUE(view[SaveCmdBtn].enabled);  // the edits are still there to save again
}

}  // namespace

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

// What an administrator adds to a startup file by hand is written back after the manager's own
// lines, byte for byte: by Save (an instance's file and the master file), by Add (the master
// file) and by both writes of the first run.
TEST(HandWrittenLines, SurviveSaveAddAndTheFirstRun) {
  const std::string hand =
      "# Line B: ask the shift lead first\r\nSite=North hall\r\n\r\n  Allow = 10.0.0.1 \r\n";
  {
    Rig rig;
    for (const char* name : {"Lab 1", "Dock", "bay"})
      rig.files.directories.insert(kDir + "\\" + name);
    rig.files.files[kMasterFile] += hand;
    rig.files.files[InstanceFile("Lab 1")] += hand;
    rig.Start();
    rig.ClickRow(1);
    rig.Type(MaxIdleTimeTextBox, "30");
    rig.Type(AllowedClientsTextBox, " 10.1.2.3, 10.1.5.0/24 ");
    rig.presenter.SaveClick();
    EXPECT_TRUE(EndsWith(rig.files.files[InstanceFile("Lab 1")],
                         "\r\nIdleTimeout=30\r\nAllowedClients=10.1.2.3, 10.1.5.0/24\r\n" + hand));
    rig.ClickRow(0);
    rig.Type(MaxIdleTimeTextBox, "90");
    rig.presenter.SaveClick();
    EXPECT_TRUE(EndsWith(rig.files.files[kMasterFile],
                         "\r\nIdleTimeout=90\r\nUserManualFilename=\r\n" + hand));

    rig.presenter.AddClick();
    FakeAddDialog dialog;
    rig.presenter.AddDialogLoad(dialog);
    dialog.name = "Yard 1";
    dialog.port = "6200";
    dialog.Pick("COM5");
    rig.presenter.CreateInstanceClick(dialog);
    EXPECT_TRUE(dialog.closed);
    const std::string& master = rig.files.files[kMasterFile];
    EXPECT_TRUE(Has(master, "\r\nInstanceNamesList=Lab 1%Dock%bay%Yard 1\r\n"));
    EXPECT_TRUE(EndsWith(
        master, "\r\nUserManualFilename=\r\n" + hand));
    EXPECT_TRUE(EndsWith(rig.files.files[kYardDir + "\\vmds.ini"],
                         "\r\nIdleTimeout=120\r\n"));
    rig.Messages();
  }
  {
    std::ifstream shipped(VMDS_SHIPPED_MASTER_INI, std::ios::binary);
    std::ostringstream firstRunFile;
    firstRunFile << shipped.rdbuf() << hand;
    Rig rig;
    rig.files.files = {{kMasterFile, firstRunFile.str()}};
    rig.services.services.clear();
    rig.services.statesAfterCreate[kMasterServiceName] = {kServiceRunning};
    EXPECT_TRUE(rig.presenter.FormLoad());
    EXPECT_EQ(rig.Messages(), Strings{});
    ASSERT_EQ(rig.files.writes.size(), 2u);
    for (const std::string& text : rig.files.writes)
      EXPECT_TRUE(EndsWith(text, "\r\nUserManualFilename=VMDS User Manual.pdf\r\n" + hand));
    EXPECT_TRUE(Has(rig.files.writes[1], "FirstTimeRun=False\r\n"));
  }
}
