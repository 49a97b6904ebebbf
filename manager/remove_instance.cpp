// Remove Selected Instance: the service, then the instance directory (all or nothing), then the
// name in the master file, the row and the record; the editor then shows the follow-up row.
#include "instance_directory.h"
#include "instance_names.h"
#include "main_presenter.h"
#include "run_time_error.h"
#include "service_control.h"
#include "startup_file.h"
#include "value_conversions.h"

namespace {

// Win32 errors of renaming a directory that mean a file in it is in use.
int MoveFailureNumber(int win32Error) {
  switch (win32Error) {
    case 5: case 32: case 33: return kErrPermissionDenied;  // access denied, sharing, lock
    default: return RunTimeErrorFromWin32(win32Error);
  }
}

constexpr int kMoveRetries = 10;
constexpr std::uint32_t kMoveRetryMilliseconds = 200;

std::string BlanksForUnderscores(std::string text) {
  for (char& c : text)
    if (c == '_') c = ' ';
  return text;
}

}  // namespace

void MainPresenter::ShowRemoveFailure(int number) {
  const char* text;
  switch (number) {
    case kErrPermissionDenied:
      text = "The software instance you are trying to remove, is probably still running. "
             "Operation was aborted.";
      break;
    case kErrPathFileAccess:
      text = "A file or directory for the software instance you are trying to remove, is set to "
             "Read-only. Operation was aborted.";
      break;
    case kErrPathNotFound:
      text = "The folder or directory for the software instance you are trying to remove, does "
             "not exist. Operation was aborted.";
      break;
    default:
      text = "An unknown problem occurred during removal of software instance. Operation was "
             "aborted.";
      break;
  }
  view_.ShowMessage(text, MessageIcon::kExclamation, MessageButtons::kOk);
  view_.SetEnabled(Control::SaveCmdBtn, false);
  view_.SetProgress("");
}

void MainPresenter::RemoveClick() {
  view_.SetProgress("");
  newInstancePending_ = false;
  try {
    const int position = view_.SelectedInstanceListRow();
    if (position < 0 || position >= static_cast<int>(rows_.size()))
      throw RunTimeFailure(kErrObjectNotSet);
    const std::string name = Trim(rows_[static_cast<std::size_t>(position)].InstanceName);
    if (name == kMasterInstanceName) return;  // the master stays; its button is disabled anyway
    const int count = static_cast<int>(rows_.size());
    const int followUp = position + 1 < count ? position : position - 1;  // after the removal

    if (view_.ShowMessage("Would you like to remove the selected instance: " + name,
                          MessageIcon::kExclamation, MessageButtons::kYesNo) != MessageAnswer::kYes)
      return;
    view_.SetProgressAndRepaint("Please wait - removing software instance " + name);

    // Every step before the service is deleted can be undone, and is, when a later one fails:
    // the instance is then whole again (its service running again when it ran). A service that
    // is already gone (deleted by hand, or by a removal that stopped half-way) counts as removed.
    std::vector<std::string> missing;
    const std::string serviceName = ServiceNameOf(name);
    const StopOutcome stop = StopInstanceService(services_, serviceName);
    const auto serviceNotRemoved = [&] {
      view_.ShowMessage("Selected service, \"" + BlanksForUnderscores(serviceName) +
                            "\" cannot be removed due to inappropriate privileges or if the "
                            "service was previously deleted.\rOperation was aborted.",
                        MessageIcon::kExclamation, MessageButtons::kOk);
      view_.SetProgress("");
    };
    if (stop == StopOutcome::kFailed) return serviceNotRemoved();
    if (stop == StopOutcome::kNotRegistered)
      missing.push_back("Its service " + serviceName + " did not exist");
    const auto restartService = [&] {
      if (stop == StopOutcome::kStopped) StartInstanceService(services_, serviceName);
    };

    // The directory is renamed aside, which fails while a file in it is in use, and is deleted
    // only once the service is gone. A name that cannot have a directory of its own (one that
    // ends in a dot or a blank would name another instance's) never moves or deletes anything.
    const std::string directory = InstanceDirectoryOf(managerDirectory_, name);
    std::string asideName;
    if (!IsInstanceDirectoryName(name)) {
      missing.push_back("Its folder was left alone because the name cannot name a folder of its "
                        "own");
    } else if (!files_.DirectoryExists(directory)) {
      missing.push_back("Its folder " + directory + " did not exist");
    } else {
      asideName = name + "%removed";
      for (int n = 2; files_.DirectoryExists(InstanceDirectoryOf(managerDirectory_, asideName));
           ++n)
        asideName = name + "%removed" + std::to_string(n);
      if (int error = MoveAside(directory, InstanceDirectoryOf(managerDirectory_, asideName),
                                stop == StopOutcome::kStopped)) {
        restartService();
        throw RunTimeFailure(MoveFailureNumber(error));
      }
    }
    const std::string aside =
        asideName.empty() ? "" : InstanceDirectoryOf(managerDirectory_, asideName);
    const auto moveBack = [&] {
      if (!aside.empty()) files_.MoveDirectory(aside, directory);
    };

    // The master file stops naming the instance before its service goes: when it cannot be
    // written (the writer has told why), the instance is put back whole.
    const std::string namesBefore = state_.InstanceNamesList;
    const std::int16_t countBefore = state_.NumberofInstancesInstalled;
    state_.InstanceNamesList = WithoutInstanceName(state_.InstanceNamesList, name);
    --state_.NumberofInstancesInstalled;
    const auto relist = [&] {
      state_.InstanceNamesList = namesBefore;
      state_.NumberofInstancesInstalled = countBefore;
    };
    if (!WriteStartupFile(state_, files_, view_, MasterStartupFilePath(), false, 1)) {
      relist();
      moveBack();
      restartService();
      view_.ShowMessage("The instance " + name + " was not removed: the list of instances in " +
                            MasterStartupFilePath() +
                            " could not be written. The instance was left as it was.\r"
                            "Operation was aborted.",
                        MessageIcon::kExclamation, MessageButtons::kOk);
      view_.SetEnabled(Control::SaveCmdBtn, false);
      return view_.SetProgress("");
    }

    if (stop != StopOutcome::kNotRegistered && !DeleteInstanceService(services_, serviceName)) {
      if (ServiceIsRegistered(services_, serviceName)) {
        relist();
        const bool listed = WriteStartupFile(state_, files_, view_, MasterStartupFilePath(), false, 1);
        moveBack();
        restartService();
        serviceNotRemoved();
        if (!listed)
          view_.ShowMessage("The instance " + name + " is no longer named in " +
                                MasterStartupFilePath() +
                                ". Add it to InstanceNamesList there again by hand.",
                            MessageIcon::kExclamation, MessageButtons::kOk);
        return;
      }
      missing.push_back("Its service " + serviceName + " did not exist");
    }

    std::string leftOver;
    if (!aside.empty() && DeleteInstanceDirectory(files_, managerDirectory_, asideName) != 0)
      leftOver = aside;

    if (state_.NumberofInstancesInstalled <= 0)
      view_.SetEnabled(Control::cmdRemoveInstance, false);
    rows_.erase(rows_.begin() + position);
    view_.RemoveInstanceListRow(position);
    state_.Instances.Remove(GetInstanceIndex(state_, name));

    const std::string next = rows_.at(static_cast<std::size_t>(followUp)).InstanceName;
    view_.SelectInstanceListRow(followUp);
    currentInstanceIndex_ = GetInstanceIndex(state_, next);
    LoadInstance(next, currentInstanceIndex_);
    currentInstanceName_ = next;
    ShowDetails();
    view_.SetFocus(Control::VMDSInstanceListView);
    ListGotFocus();
    view_.SetEnabled(Control::SaveCmdBtn, false);
    view_.SetProgressAndRepaint("Done - removing software instance " + name);
    shell_.Beep();

    if (!missing.empty() || !leftOver.empty()) {
      std::string text = "The instance " + name + " was removed.";
      for (const std::string& what : missing) text += "\r" + what + ".";
      if (!leftOver.empty())
        text += "\rSome of its files could not be deleted; they are in " + leftOver + ".";
      view_.ShowMessage(text, MessageIcon::kExclamation, MessageButtons::kOk);
    }
  } catch (const RunTimeFailure& failure) {
    ShowRemoveFailure(failure.Number());
  }
}

// Renames the instance directory aside. A service that has just stopped may still hold its
// program file for a moment after it reports stopped, so a move refused as "in use" is tried
// again a few times then.
int MainPresenter::MoveAside(const std::string& directory, const std::string& aside,
                             bool serviceJustStopped) {
  int error = files_.MoveDirectory(directory, aside);
  for (int tries = 0; error != 0 && serviceJustStopped && tries < kMoveRetries &&
                      MoveFailureNumber(error) == kErrPermissionDenied;
       ++tries) {
    services_.Sleep(kMoveRetryMilliseconds);
    error = files_.MoveDirectory(directory, aside);
  }
  return error;
}
