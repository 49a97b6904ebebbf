// The behaviour of the main window MainDisplay: start-up, the instance list, the instance
// editor, Save, switching instances and closing (main_presenter.cpp), adding and removing
// instances (add_instance.cpp, remove_instance.cpp) and the auxiliary commands
// (auxiliary_commands.cpp). The window (View) only shows and asks; it calls
// one method of this class per event the user causes, and nothing else.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "file_system.h"
#include "instance_list.h"
#include "instance_status.h"
#include "serial_port_catalog.h"
#include "serial_settings.h"
#include "service_database.h"
#include "shell.h"
#include "system_info.h"
#include "view.h"

// The manager's own program file name (the single-copy check looks for it).
inline constexpr const char* kManagerProgramName = "VMDSMgr.exe";
inline constexpr const char* kLogViewerProgram = "notepad.exe";

// Texts of the editor and of the questions about unsaved settings.
inline constexpr const char* kChangeHint = "Click the Save button for changes to take effect.";
inline constexpr const char* kSavingHint = "Please wait while the changes are being saved";

// The refusal of a TCP port outside 1 to 65535 (Save and Add New Instance word it alike).
inline constexpr const char* kTCPPortRange =
    "The TCP Port Number must be between 1 and 65535. Change the TCP Port Number and click on "
    "Create Instance. Operation was aborted.";

// The port of a trimmed TCP port text: a whole number from 1 to 65535 without a decimal point;
// nothing when it is outside. A text that is no number at all raises "Type mismatch".
std::optional<std::int32_t> TCPPortOf(const std::string& text);

// The question asked before unsaved edits, or a new instance not saved yet, are left behind.
// The new-instance question ends "start the service" + newInstanceEnding.
std::string UnsavedChangesQuestion(const std::string& instanceName, bool newInstance,
                                   const std::string& newInstanceEnding);

// "Error Code: " + the number (a leading blank when not negative) + ", " + the description.
std::string GeneralErrorText(int number, const std::string& description);

// True when at least two running processes are copies of the manager (the running one is the
// first): whole module file names on Windows NT 4.0, name endings elsewhere.
bool AnotherCopyRuns(SystemInfo& system, const std::string& programName);

class MainPresenter {
 public:
  // managerDirectory: the directory of the manager's own program file, without a trailing "\".
  MainPresenter(View& view, ServiceDatabase& services, FileSystem& files, SystemInfo& system,
                Shell& shell, SerialPortCatalog& ports, std::string managerDirectory);

  // Window events.
  // Start-up; false when the program must end at once (the window is then never shown).
  bool FormLoad();
  // The window became active. The instance list gets the focus on the first activation and when
  // a dialog of the manager hands the activation back, not when the user comes back from another
  // program or a message box closes.
  void FormActivate(ActivatedFrom from);
  void FormResize();
  // Closing; true keeps the window open (the user cancelled).
  bool FormUnload();

  // Instance list events.
  // A click on a column header: 0 the name, 1 the TCP port, 2 the serial port, 3 the state.
  void ColumnClick(int column);
  void ListGotFocus();
  void ItemClick(int position);

  // Editor events: any selection, text change or check-box click by the user, and a mouse click
  // into one of the two time boxes.
  void EditorChanged(Control control);
  void DefaultSettingsClick();
  void SaveClick();

  // Add New Instance: the command, the dialog's load and its Create Instance button.
  void AddClick();
  void AddDialogLoad(AddInstanceView& dialog);
  // Places the dialog when it loads (centred on the screen) and whenever its size changes
  // (centred too, except at the screen's top or left edge while the main window sits there).
  void AddDialogPlace(AddInstanceView& dialog, bool loading);
  void CreateInstanceClick(AddInstanceView& dialog);
  void RemoveClick();

  // The auxiliary commands and the About box's web button.
  void BrowseClick();
  // Browse... of the Encryption (TLS) fields: a PEM file for the field.
  void BrowseCertificateClick();
  void BrowseKeyClick();
  void BrowseClientCAClick();
  void ViewLogFileClick();
  void ViewManualClick();
  void AboutClick();
  void AboutWebClick();
  void ExitClick();

  // The live state (instance_state.cpp). The window's timer, every 2 seconds: each listed
  // instance's service is queried and its status file read, the State column and the shown
  // instance's details are updated. It waits for nothing, shows no message and never touches the
  // editor's values, the change tracking or the progress text.
  void RefreshTimer();
  // Start and Stop for the shown instance, with progress text and a message when they fail.
  // Stop asks first when a client is connected.
  void StartClick();
  void StopClick();
  // The Add New Instance dialog's serial port was picked.
  void AddDialogPortChanged(AddInstanceView& dialog);

  // The editor and the manager state, also used by the commands around them.
  void LoadInstance(const std::string& instanceName, std::int16_t index);
  void DefaultSettings();
  // True when the editor differs from the record at `index`.
  bool DetectChange(std::int16_t index);
  // True when the settings were written (whatever the restart's outcome); false when a value was
  // refused, the file could not be written or anything failed, each told to the user.
  bool Save();

  const ManagerState& State() const { return state_; }
  const std::string& CurrentInstanceName() const { return currentInstanceName_; }
  std::int16_t CurrentInstanceIndex() const { return currentInstanceIndex_; }
  bool NewInstancePending() const { return newInstancePending_; }
  const std::vector<InstanceListRow>& Rows() const { return rows_; }

 private:
  enum class MasterService { kNotRegistered, kNotStarted, kRunning };
  // Where the user goes when leaving the shown instance.
  enum class Leaving { kToSwitch, kToClose, kForAdd };

  void CreateFirstMaster();
  MasterService CreateMasterInstance();
  void CentreWindow();
  void ShowGeneralError(int number, const std::string& description);
  void ShowRefusal(const std::string& text);
  bool Refused(const std::string& text);  // shows the refusal; false
  // Asks whether to save the shown instance's edits when there are any (or it is new). False
  // keeps the instance shown: the user cancelled, or answered Yes and Save did not save.
  bool OfferToSave(Leaving leaving);
  // Writes a value into a control and applies the change notification when it differs.
  void PutText(Control box, const std::string& text);
  void PutEntry(Control combo, const std::string& text);
  void PutCheck(Control box, bool checked);
  void ChangeNotification();
  std::string SelectedEntry(Control combo);
  int RowOf(const std::string& instanceName) const;
  void SelectCurrentRow();
  std::string MasterStartupFilePath() const;
  void ShowRemoveFailure(int number);
  int MoveAside(const std::string& directory, const std::string& aside, bool serviceJustStopped);
  // What the last refresh found of one instance.
  struct LiveState {
    ServiceCondition condition = ServiceCondition::kUnknown;
    ServerStatus status;
  };
  void RefreshStates();
  // What the instance's status file says, read only when its stamp changed since the last
  // refresh; `kept` collects what the next refresh can reuse.
  struct KnownStatus {
    FileStamp stamp;
    std::string instanceName;
    ServerStatus status;
  };
  ServerStatus StatusFileOf(const VMDSInstanceClass& record,
                            std::map<std::string, KnownStatus>& kept);
  void ShowDetails();
  void ShowPortPresence();
  std::string InstanceDirectory(const std::string& instanceName) const;
  void BrowseTLSFile(Control box, const std::string& title);

  View& view_;
  ServiceDatabase& services_;
  FileSystem& files_;
  SystemInfo& system_;
  Shell& shell_;
  SerialPortCatalog& ports_;
  std::string managerDirectory_;

  ManagerState state_;
  std::string currentInstanceName_;
  std::int16_t currentInstanceIndex_ = 0;
  bool newInstancePending_ = false;
  std::vector<InstanceListRow> rows_;  // in the shown order
  int sortColumn_ = 0;
  bool sortDescending_ = false;
  bool activated_ = false;  // the window was activated before
  std::map<std::string, LiveState> live_;  // by instance name
  std::map<std::string, KnownStatus> knownStatus_;  // by status file path
};
