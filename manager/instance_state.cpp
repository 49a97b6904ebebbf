// The live state of the instances: the State column, the shown instance's details, Start and
// Stop, and whether the chosen serial port is present.
#include "instance_names.h"
#include "main_presenter.h"
#include "run_time_error.h"
#include "service_control.h"
#include "text_functions.h"
#include "value_conversions.h"

namespace {

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

}  // namespace

std::string MainPresenter::InstanceDirectory(const std::string& instanceName) const {
  return instanceName == kMasterInstanceName ? managerDirectory_
                                             : InstanceDirectoryOf(managerDirectory_, instanceName);
}

void MainPresenter::RefreshTimer() {
  try {
    RefreshStates();
  } catch (const RunTimeFailure&) {
    // A refresh shows nothing of its own failures: the next one tries again.
  }
}

void MainPresenter::RefreshStates() {
  std::vector<const VMDSInstanceClass*> records;
  std::vector<std::string> serviceNames;
  for (const InstanceListRow& row : rows_) {
    const std::int16_t index = GetInstanceIndex(state_, Trim(row.InstanceName));
    const VMDSInstanceClass* record =
        index >= 1 && index <= state_.Instances.Count() ? &state_.Instances.Item(index) : nullptr;
    records.push_back(record);
    serviceNames.push_back(record != nullptr ? record->mServiceName : std::string());
  }
  const std::vector<ServiceCondition> conditions = QueryServiceConditions(services_, serviceNames);

  std::map<std::string, LiveState> live;
  std::map<std::string, KnownStatus> kept;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    LiveState found;
    found.condition = conditions[i];
    const VMDSInstanceClass* record = records[i];
    if (record != nullptr && found.condition != ServiceCondition::kNotRegistered)
      found.status = StatusFileOf(*record, kept);
    const std::string stateText = StateText(found.condition, found.status);
    if (rows_[i].State != stateText) {
      rows_[i].State = stateText;
      view_.SetInstanceListRow(static_cast<int>(i), rows_[i]);
    }
    live[Trim(rows_[i].InstanceName)] = std::move(found);
  }
  live_ = std::move(live);
  knownStatus_ = std::move(kept);
  ShowDetails();
}

ServerStatus MainPresenter::StatusFileOf(const VMDSInstanceClass& record,
                                         std::map<std::string, KnownStatus>& kept) {
  const std::string path =
      StatusFilePathOf(InstanceDirectory(record.mInstanceName), record.mLogFileName);
  FileStamp stamp;
  const int stamped = files_.StampOf(path, &stamp);
  if (stamped != 0 && stamped != kStampsNotSupported) return {};  // no status file
  if (stamped == 0) {
    auto known = knownStatus_.find(path);
    if (known != knownStatus_.end() && known->second.stamp == stamp &&
        known->second.instanceName == record.mInstanceName)
      return kept.insert_or_assign(path, known->second).first->second.status;
  }
  std::string text;
  if (files_.ReadTextFile(path, &text) != 0) return {};
  ServerStatus status = ParseServerStatus(text, record.mInstanceName);
  if (stamped == 0) kept.insert_or_assign(path, KnownStatus{stamp, record.mInstanceName, status});
  return status;
}

void MainPresenter::ShowDetails() {
  auto found = live_.find(currentInstanceName_);
  const LiveState* live = found != live_.end() ? &found->second : nullptr;
  const std::string details =
      live == nullptr ? std::string()
                      : StatusDetails(live->condition, live->status, [this](std::int64_t seconds) {
                          return system_.LocalTimeText(seconds);
                        });
  // Written only when it changed: the label is not repainted every tick.
  if (details != view_.Text(Control::StatusDetailsLabel))
    view_.SetText(Control::StatusDetailsLabel, details);
  view_.SetEnabled(Control::StartServiceCmdBtn,
                   live != nullptr && live->condition == ServiceCondition::kStopped);
  view_.SetEnabled(Control::StopServiceCmdBtn,
                   live != nullptr && (live->condition == ServiceCondition::kRunning ||
                                       live->condition == ServiceCondition::kStartPending));
}

void MainPresenter::StartClick() {
  try {
    const std::string name = currentInstanceName_;
    const VMDSInstanceClass& record =
        state_.Instances.Item(GetInstanceIndex(state_, currentInstanceName_));
    view_.SetProgressAndRepaint("Starting the service of " + Quoted(name) + " ...");
    int error = 0;
    const bool started = StartInstanceService(services_, record.mServiceName, &error);
    RefreshStates();
    if (started) {
      view_.SetProgress("The service of " + Quoted(name) + " is started.");
      return;
    }
    view_.SetProgress("");
    view_.ShowMessage("The service of " + Quoted(name) + " could not be started. " +
                          (error != 0 ? services_.ErrorText(error) + " " : std::string()) +
                          "Check the Instance Log File.",
                      MessageIcon::kExclamation, MessageButtons::kOk);
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

void MainPresenter::StopClick() {
  try {
    const std::string name = currentInstanceName_;
    const VMDSInstanceClass& record =
        state_.Instances.Item(GetInstanceIndex(state_, currentInstanceName_));
    // The client is looked for now, not at the last tick.
    RefreshStates();
    auto found = live_.find(name);
    if (found != live_.end() && found->second.condition == ServiceCondition::kRunning &&
        found->second.status.state == "connected") {
      const std::string& client = found->second.status.clientAddress;
      const std::string question =
          "A client" + (client.empty() ? std::string() : " (" + client + ")") +
          " is connected to " + Quoted(name) +
          ". Stopping the service ends its session. Do you want to stop the service?";
      if (view_.ShowMessage(question, MessageIcon::kExclamation, MessageButtons::kYesNo) !=
          MessageAnswer::kYes)
        return;
    }
    view_.SetProgressAndRepaint("Stopping the service of " + Quoted(name) + " ...");
    int error = 0;
    const StopOutcome outcome = StopInstanceService(services_, record.mServiceName, &error);
    RefreshStates();
    switch (outcome) {
      case StopOutcome::kStopped:
      case StopOutcome::kWasStopped:
        view_.SetProgress("The service of " + Quoted(name) + " is stopped.");
        return;
      case StopOutcome::kNotRegistered:
        view_.SetProgress("");
        view_.ShowMessage("The service of " + Quoted(name) + " is not registered.",
                          MessageIcon::kExclamation, MessageButtons::kOk);
        return;
      case StopOutcome::kFailed:
        view_.SetProgress("");
        view_.ShowMessage("The service of " + Quoted(name) + " could not be stopped. " +
                              services_.ErrorText(error),
                          MessageIcon::kExclamation, MessageButtons::kOk);
        return;
    }
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

void MainPresenter::ShowPortPresence() {
  view_.SetText(Control::SerialPortPresenceLabel,
                PortPresenceText(Trim(SelectedEntry(Control::SerialPortComboBox)),
                                 ports_.PresentPorts()));
}

void MainPresenter::AddDialogPortChanged(AddInstanceView& dialog) {
  dialog.SetPortLabel(PortPresenceText(Trim(dialog.SerialPortText()), ports_.PresentPorts()));
}
