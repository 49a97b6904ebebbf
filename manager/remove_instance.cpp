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

    // A service that is already gone (deleted by hand, or by a removal that stopped half-way)
    // counts as removed.
    std::vector<std::string> missing;
    const std::string serviceName = ServiceNameOf(name);
    if (DeleteInstanceService(services_, serviceName) == 0) {
      if (ServiceIsRegistered(services_, serviceName)) {
        view_.ShowMessage("Selected service, \"" + BlanksForUnderscores(serviceName) +
                              "\" cannot be removed due to inappropriate privileges or if the "
                              "service was previously deleted.\rOperation was aborted.",
                          MessageIcon::kExclamation, MessageButtons::kOk);
        return view_.SetProgress("");
      }
      missing.push_back("Its service " + serviceName + " did not exist");
    }

    // The directory goes all or nothing: it is renamed aside first, which fails while a file in
    // it is in use, and only then deleted. A name that cannot have a directory of its own (one
    // that ends in a dot or a blank would name another instance's) never deletes anything.
    const std::string directory = InstanceDirectoryOf(managerDirectory_, name);
    std::string leftOver;
    if (!IsInstanceDirectoryName(name)) {
      missing.push_back("Its folder was left alone because the name cannot name a folder of its "
                        "own");
    } else if (!files_.DirectoryExists(directory)) {
      missing.push_back("Its folder " + directory + " did not exist");
    } else {
      std::string asideName = name + "%removed";
      for (int n = 2; files_.DirectoryExists(InstanceDirectoryOf(managerDirectory_, asideName));
           ++n)
        asideName = name + "%removed" + std::to_string(n);
      const std::string aside = InstanceDirectoryOf(managerDirectory_, asideName);
      if (int error = files_.MoveDirectory(directory, aside))
        throw RunTimeFailure(MoveFailureNumber(error));
      if (DeleteInstanceDirectory(files_, managerDirectory_, asideName) != 0) leftOver = aside;
    }

    state_.InstanceNamesList = WithoutInstanceName(state_.InstanceNamesList, name);
    --state_.NumberofInstancesInstalled;
    if (state_.NumberofInstancesInstalled <= 0)
      view_.SetEnabled(Control::cmdRemoveInstance, false);
    WriteStartupFile(state_, files_, view_, MasterStartupFilePath(), false, 1);
    rows_.erase(rows_.begin() + position);
    view_.RemoveInstanceListRow(position);
    state_.Instances.Remove(GetInstanceIndex(state_, name));

    const std::string next = rows_.at(static_cast<std::size_t>(followUp)).InstanceName;
    view_.SelectInstanceListRow(followUp);
    currentInstanceIndex_ = GetInstanceIndex(state_, next);
    LoadInstance(next, currentInstanceIndex_);
    currentInstanceName_ = next;
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
