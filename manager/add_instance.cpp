// Add New Instance: the command of the main window, the dialog's load and its Create Instance
// button (validation, then provisioning that is undone as a whole when any step fails).
#include <optional>
#include <string>

#include "instance_directory.h"
#include "instance_names.h"
#include "main_presenter.h"
#include "run_time_error.h"
#include "service_control.h"
#include "startup_file.h"
#include "text_functions.h"
#include "value_conversions.h"

namespace {

constexpr const char* kAddAborted = "Add New Instance aborted";

bool HasReservedCharacter(const std::string& name) {
  return name.find_first_of("\\/*%|:\"?<>.") != std::string::npos;
}

}  // namespace

void MainPresenter::AddClick() {
  try {
    view_.SetProgress("");
    if (!OfferToSave(Leaving::kForAdd)) return;
    newInstancePending_ = false;
    view_.ShowAddInstanceDialog();
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

void MainPresenter::AddDialogLoad(AddInstanceView& dialog) {
  dialog.FillSerialPorts(SerialPortEntries(), 0);
  AddDialogPortChanged(dialog);
}

void MainPresenter::CreateInstanceClick(AddInstanceView& dialog) {
  // What provisioning has done so far, undone in reverse when a later step fails.
  struct Done {
    bool directory = false;
    std::optional<std::string> namesList;  // the list before the name was added
    std::optional<std::int16_t> count;     // the count before
    int recordIndex = 0;
    bool service = false;
  } done;
  std::string name, serviceName, displayName;

  auto rollBack = [&] {
    if (done.service) DeleteInstanceService(services_, serviceName);
    if (done.recordIndex > 0) state_.Instances.Remove(done.recordIndex);
    if (done.directory) DeleteInstanceDirectory(files_, managerDirectory_, name);
    if (done.count) state_.NumberofInstancesInstalled = *done.count;
    if (done.namesList) state_.InstanceNamesList = *done.namesList;
  };

  try {
    name = Trim(dialog.InstanceNameText());
    dialog.SetInstanceNameText(name);
    const std::string portText = Trim(dialog.TCPPortText());
    dialog.SetTCPPortText(portText);
    const std::string lowerName = LowerCase(name);

    if (name.empty())
      return ShowRefusal(
          "The Instance Name cannot be blank. Enter an Instance Name and click on Create "
          "Instance. Operation was aborted.");
    if (portText.empty())
      return ShowRefusal(
          "The TCP Port Number cannot be blank. Enter a TCP Port Number and click on Create "
          "Instance. Operation was aborted.");
    if (lowerName == "master")
      return ShowRefusal(
          "The Instance Name - Master - is reserved and cannot be used. Change the Instance Name "
          "and click on Create Instance. Operation was aborted.");
    if (lowerName.find("master") != std::string::npos)
      return ShowRefusal(
          "The string  \"Master\"  is reserved and cannot be used within the Instance Name. "
          "Change the Instance Name and click on Create Instance. Operation was aborted.");
    if (lowerName == "mstr")
      return ShowRefusal(
          "The Instance Name - Mstr - is reserved and cannot be used. Change the Instance Name "
          "and click on Create Instance. Operation was aborted.");
    if (state_.NumberofInstancesInstalled > 0 &&
        UpperCase(state_.InstanceNamesList).find(UpperCase(name)) != std::string::npos)
      return ShowRefusal(
          "The Instance Name is already in use. Change the Instance Name and click on Create "
          "Instance. Operation was aborted.");
    if (HasReservedCharacter(name))
      return ShowRefusal(
          "A reserved character ( * \\ / % | : \" ? <> . ) is being used in the Instance Name. "
          "Change the Instance Name and click on Create Instance. Operation was aborted.");
    const std::optional<std::int32_t> port = TCPPortOf(portText);
    if (!port) return ShowRefusal(kTCPPortRange);
    const std::int32_t tcpPort = *port;
    if (std::int16_t i = GetInstanceIndexByTCPPort(state_, tcpPort); i != 0) {
      ShowRefusal("The TCP Port Number is already in use by \"" +
                  state_.Instances.Item(i).mInstanceName +
                  "\". Change the TCP Port Number and click on Create Instance. Operation was "
                  "aborted.");
      return view_.SetProgress(kAddAborted);
    }
    const std::string serialPort = Trim(dialog.SerialPortText());
    if (std::int16_t i = GetInstanceIndexByCOMPort(state_, serialPort); i != 0) {
      ShowRefusal("The Serial Port is already in use by \"" +
                  state_.Instances.Item(i).mInstanceName +
                  "\". Change the Serial Port and click on Create Instance. Operation was "
                  "aborted.");
      return view_.SetProgress(kAddAborted);
    }

    const InstanceListRow row{name, portText, SerialPortColumn(serialPort)};

    // Provisioning.
    view_.SetProgressAndRepaint("Please wait - adding software instance " + name);
    const std::string directory = InstanceDirectoryOf(managerDirectory_, name);
    if (!IsInstanceDirectoryName(name)) throw RunTimeFailure(kErrBadFileName);
    if (int error = files_.MakeDirectory(directory))  // an existing directory is never taken over
      throw RunTimeFailure(RunTimeErrorFromWin32(error));
    done.directory = true;
    // Its program runs as LocalSystem: only administrators may change what is in it, wherever
    // the manager's own directory is.
    if (int error = files_.RestrictDirectoryAccess(directory)) {
      rollBack();
      view_.ShowMessage("The access rights of the new instance directory, \"" + directory +
                            "\", cannot be set (Windows error " + std::to_string(error) +
                            ").\rOperation was aborted.",
                        MessageIcon::kExclamation, MessageButtons::kOk);
      return view_.SetProgress("");
    }
    if (int error = files_.CopyOneFile(managerDirectory_ + "\\vmds.exe", directory + "\\vmds.exe"))
      throw RunTimeFailure(RunTimeErrorFromWin32(error));

    done.namesList = state_.InstanceNamesList;
    state_.InstanceNamesList +=
        (state_.NumberofInstancesInstalled < 1 ? "" : "%") + name;
    if (state_.NumberofInstancesInstalled == INT16_MAX) throw RunTimeFailure(kErrOverflow);
    done.count = state_.NumberofInstancesInstalled++;

    displayName = ServiceDisplayNameOf(name);
    serviceName = ServiceNameOf(name);
    VMDSInstanceClass record;
    record.mInstallDir = directory;
    record.mInstanceName = name;
    record.mTCPPort = tcpPort;
    record.mCOMPort = serialPort;
    record.mServiceName = serviceName;
    record.mServiceDisplayName = displayName;
    ApplyInstanceDefaults(record);
    record.mLogFileName = directory + "\\vmds.log";
    state_.Instances.Add(record);
    done.recordIndex = state_.Instances.Count();

    if (!WriteStartupFile(state_, files_, view_,
                          StartupFilePathOf(directory, state_.StartupFileName), true,
                          static_cast<std::int16_t>(done.recordIndex))) {
      rollBack();
      return view_.SetProgress(kAddAborted);
    }
    if (!CreateInstanceService(services_, serviceName, displayName, directory + "\\vmds.exe",
                               managerDirectory_ + "\\vmds.exe")) {
      rollBack();
      view_.ShowMessage("New service, \"" + displayName +
                            "\" cannot be created due to inappropriate privileges or a duplicate "
                            "entry in the Service Control Manager.\rOperation was aborted.",
                        MessageIcon::kExclamation, MessageButtons::kOk);
      return view_.SetProgress("");
    }
    done.service = true;
    // The master file names the instance only once everything else exists; a failed write
    // undoes the instance instead of leaving one the master file does not know.
    if (!WriteStartupFile(state_, files_, view_, MasterStartupFilePath(), false, 1)) {
      rollBack();
      return view_.SetProgress(kAddAborted);
    }

    // The main window shows the new instance, its settings still to be saved.
    rows_.push_back(row);
    view_.AddInstanceListRow(row);
    PutText(Control::TCPPortNumberTextBox, portText);
    PutEntry(Control::SerialPortComboBox, serialPort);
    view_.SetEnabled(Control::cmdRemoveInstance, true);
    view_.SetProgress("Done - adding software instance " + name);
    shell_.Beep();
    view_.SetEnabled(Control::SaveCmdBtn, true);
    view_.SetProgress("New Instance " + name +
                      " has been added. Click the Save button for changes to take effect.");
    newInstancePending_ = true;
    view_.SelectInstanceListRow(static_cast<int>(rows_.size()) - 1);
    currentInstanceName_ = name;
    currentInstanceIndex_ = GetInstanceIndex(state_, name);
    DefaultSettings();
    ShowPortPresence();
    ShowDetails();  // nothing known of it until the next refresh
    view_.SetText(Control::ServiceDisplayNameValueLabel, record.mServiceDisplayName);
    view_.SetText(Control::InstanceNameValueLabel, record.mInstanceName);
    PutText(Control::AllowedClientsTextBox, record.mAllowedClients);
    PutText(Control::ListenAddressTextBox, record.mListenAddress);
    PutCheck(Control::RemotePortControlCheckBox, record.mRemotePortControl);
    PutText(Control::TLSCertificateTextBox, record.mTLSCertificate);
    PutText(Control::TLSKeyTextBox, record.mTLSKey);
    PutText(Control::TLSClientCATextBox, record.mTLSClientCA);
    PutText(Control::BrowseLogFileTextBox, record.mLogFileName);
    dialog.Close();
  } catch (const RunTimeFailure& failure) {
    rollBack();
    view_.ShowMessage(GeneralErrorText(failure.Number(), failure.what()) +
                          "\rOperation was aborted.",
                      MessageIcon::kExclamation, MessageButtons::kOk);
    view_.SetProgress("");
  }
}
