#include "main_presenter.h"

#include <algorithm>
#include <optional>
#include <tuple>

#include "instance_directory.h"
#include "instance_names.h"
#include "run_time_error.h"
#include "serial_settings.h"
#include "service_control.h"
#include "startup_file.h"
#include "text_functions.h"
#include "value_conversions.h"
#include "window_placement.h"

namespace {

constexpr const char* kMasterNotCreated =
    "Master instance could not be created. Program is aborting due to inappropriate privileges "
    "or a duplicate service entry in the service control manager.";

constexpr int kMaxLogFilePath = 230;

// The number a text starts with (0 when it starts with none), after trimming.
double NumberOf(const std::string& text) { return LeadingNumber(Trim(text)); }

// Collects the rows the startup-file reader adds, and passes everything on to the window.
class RowCollector : public MessageView {
 public:
  RowCollector(View& view, std::vector<InstanceListRow>& rows) : view_(view), rows_(rows) {}
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override {
    return view_.ShowMessage(text, icon, buttons);
  }
  void AddInstanceListRow(const InstanceListRow& row) override {
    rows_.push_back(row);
    view_.AddInstanceListRow(row);
  }

 private:
  View& view_;
  std::vector<InstanceListRow>& rows_;
};

}  // namespace

namespace {

const std::vector<std::string>& EntriesOf(Control combo) {
  switch (combo) {
    case Control::SerialPortComboBox: return SerialPortEntries();
    case Control::BitRateComboBox: return BitRateEntries();
    case Control::DataBitsComboBox: return DataBitsEntries();
    case Control::ParityComboBox: return ParityEntries();
    default: return StopBitsEntries();
  }
}

}  // namespace

std::optional<std::int32_t> TCPPortOf(const std::string& text) {
  std::optional<double> port = WholeNumberText(text);
  if (!port) throw RunTimeFailure(kErrTypeMismatch);
  if (*port < 1 || *port > 65535 || text.find('.') != std::string::npos) return std::nullopt;
  return RoundToInt32(*port);
}

std::string GeneralErrorText(int number, const std::string& description) {
  std::string digits = std::to_string(number);
  if (number >= 0) digits.insert(0, " ");
  return "Error Code: " + digits + ", " + description;
}

bool AnotherCopyRuns(SystemInfo& system, const std::string& programName) {
  int copies = 0;
  if (system.IsWindowsNT4()) {
    const std::string wanted = UpperCase(programName);
    for (std::string name : system.ProcessModuleFileNames()) {
      name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
      name = UpperCase(Trim(name));
      std::int16_t elements = GetNumElements(name, "\\");
      std::string file = elements > 0 ? GetElement(name, "\\", 1, elements - 1, 0) : name;
      if (file == wanted && ++copies == 2) return true;
    }
  } else {
    const std::string wanted = LowerCase(programName);
    for (std::string name : system.SnapshotProcessNames()) {
      name = LowerCase(name.substr(0, name.find('\0')));
      if (name.size() >= wanted.size() &&
          name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0 &&
          ++copies == 2)
        return true;
    }
  }
  return false;
}

MainPresenter::MainPresenter(View& view, ServiceDatabase& services, FileSystem& files,
                             SystemInfo& system, Shell& shell, SerialPortCatalog& ports,
                             std::string managerDirectory)
    : view_(view),
      services_(services),
      files_(files),
      system_(system),
      shell_(shell),
      ports_(ports),
      managerDirectory_(std::move(managerDirectory)) {}

std::string MainPresenter::MasterStartupFilePath() const {
  return StartupFilePathOf(managerDirectory_, state_.StartupFileName);
}

void MainPresenter::ShowGeneralError(int number, const std::string& description) {
  view_.ShowMessage(GeneralErrorText(number, description), MessageIcon::kExclamation,
                    MessageButtons::kOk);
}

void MainPresenter::ShowRefusal(const std::string& text) {
  view_.ShowMessage(text, MessageIcon::kExclamation, MessageButtons::kOk);
}

bool MainPresenter::Refused(const std::string& text) {
  ShowRefusal(text);
  return false;
}

// ---- Start-up, activation, placement --------------------------------------------------------

bool MainPresenter::FormLoad() {
  try {
    if (AnotherCopyRuns(system_, kManagerProgramName)) return false;

    state_ = ManagerState{};
    state_.StartupFileName = "vmds.ini";
    state_.UserManualFilename.clear();
    state_.FirstTimeRun = true;
    state_.NumberofInstancesInstalled = 0;

    const int width = view_.InstanceListWidth();
    view_.AddInstanceListColumn("Instance Name", width * 25 / 100, ColumnAlignment::kLeft);
    view_.AddInstanceListColumn("TCP Port", width * 17 / 100, ColumnAlignment::kCenter);
    view_.AddInstanceListColumn("Serial Port", width * 23 / 100, ColumnAlignment::kCenter);
    view_.AddInstanceListColumn("State", width * 35 / 100, ColumnAlignment::kLeft);

    for (Control combo : {Control::SerialPortComboBox, Control::BitRateComboBox,
                          Control::DataBitsComboBox, Control::ParityComboBox,
                          Control::StopBitsComboBox})
      view_.FillList(combo, EntriesOf(combo));

    CentreWindow();

    view_.SetToolTip(Control::SaveCmdBtn,
                     "The Save button will save the changes made to the instance and start the "
                     "service");
    view_.SetToolTip(Control::DefaultSettingsCmdBtn,
                     "Clicking Default will reset all the settings to the default values");
    view_.SetToolTip(Control::cmdAddNewInstance,
                     "Clicking this button will add a new VMDS instance");
    view_.SetToolTip(Control::cmdRemoveInstance,
                     "Clicking this button will remove the selected VMDS instance");
    view_.SetToolTip(Control::ExitCmdBtn,
                     std::string("Click the Exit button to exit ") + kProductName);
    view_.SetToolTip(Control::StartServiceCmdBtn,
                     "Starts the service of the selected instance with its saved settings");
    view_.SetToolTip(Control::StopServiceCmdBtn,
                     "Stops the service of the selected instance; a connected client is cut off");
    view_.SetToolTip(Control::TCPPortNumberTextBox, "No other Windows Service can use this port.");
    view_.SetToolTip(Control::MaxConnTimeTextBox, "A value of 0 disables this timer.");
    view_.SetToolTip(Control::MaxIdleTimeTextBox, "A value of 0 disables this timer.");
    view_.SetToolTip(Control::AllowedClientsTextBox,
                     "IPv4 addresses and ranges, such as 10.1.2.3, 10.1.5.0/24. Empty: any "
                     "client.");
    view_.SetToolTip(Control::ListenAddressTextBox,
                     "One IPv4 address of this computer, such as 127.0.0.1. Empty: all addresses.");
    view_.SetToolTip(Control::RemotePortControlCheckBox,
                     "Clients set the serial line and its signals through Telnet (RFC 2217). "
                     "Clear: bytes pass unchanged.");
    view_.SetToolTip(Control::TLSCertificateTextBox,
                     "The server's certificate (PEM file). Empty: clients connect without "
                     "encryption.");
    view_.SetToolTip(Control::TLSKeyTextBox, "The certificate's private key (PEM file).");
    view_.SetToolTip(Control::TLSClientCATextBox,
                     "Optional: clients must present a certificate issued by one of these "
                     "authorities (PEM file).");

    rows_.clear();
    RowCollector collector(view_, rows_);
    if (!ReadStartupFiles(state_, files_, collector, MasterStartupFilePath())) return false;

    if (state_.FirstTimeRun) {
      CreateFirstMaster();
      if (state_.FirstTimeRun) return false;
    }

    currentInstanceName_ = kMasterInstanceName;
    currentInstanceIndex_ = 1;
    view_.SetText(Control::HostDomainNameTextBox, system_.HostName());
    view_.SetText(Control::InstanceNameValueLabel, "");
    view_.SetText(Control::ServiceDisplayNameValueLabel, "");
    newInstancePending_ = false;
    LoadInstance(kMasterInstanceName, 1);
    view_.SetProgress("");
    view_.SetEnabled(Control::SaveCmdBtn, false);
    view_.SetEnabled(Control::cmdRemoveInstance, false);
    view_.SelectInstanceListRow(rows_.empty() ? -1 : 0);
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
    return false;
  }
  return true;
}

// The one-time creation of the master instance and its service. FirstTimeRun stays True when
// the service cannot be registered.
void MainPresenter::CreateFirstMaster() {
  const std::string path = MasterStartupFilePath();
  const std::string logFile = managerDirectory_ + "\\vmds.log";
  state_.Instances.Item(1).mLogFileName = logFile;
  WriteStartupFile(state_, files_, view_, path, false, 1);

  const MasterService result = CreateMasterInstance();
  if (result == MasterService::kNotRegistered) {
    view_.ShowMessage(kMasterNotCreated, MessageIcon::kExclamation, MessageButtons::kOk);
    return;
  }
  state_.InstallDir = managerDirectory_;
  state_.FirstTimeRun = false;
  state_.NumberofInstancesInstalled = 0;
  state_.InstanceNamesList.clear();
  VMDSInstanceClass& master = state_.Instances.Item(1);
  master.mInstallDir = managerDirectory_;
  master.mMasterInstance = true;
  master.mInstanceName = kMasterInstanceName;
  master.mServiceName = kMasterServiceName;
  master.mServiceDisplayName = kMasterServiceDisplayName;
  master.mLogFileName = logFile;
  if (result == MasterService::kNotStarted)
    view_.ShowMessage(std::string("Master instance was created successfully but the service, \"") +
                          kMasterServiceDisplayName +
                          "\" could not be started. Check the log file for details.",
                      MessageIcon::kExclamation, MessageButtons::kOk);
  WriteStartupFile(state_, files_, view_, path, false, 1);
}

MainPresenter::MasterService MainPresenter::CreateMasterInstance() {
  if (!CreateInstanceService(services_, kMasterServiceName, kMasterServiceDisplayName,
                             managerDirectory_ + "\\vmds.exe", managerDirectory_ + "\\vmds.exe"))
    return MasterService::kNotRegistered;
  return StartInstanceService(services_, kMasterServiceName) ? MasterService::kRunning
                                                             : MasterService::kNotStarted;
}

void MainPresenter::FormActivate(ActivatedFrom from) {
  const bool first = !activated_;
  activated_ = true;
  if (!first && from != ActivatedFrom::kOwnWindow) return;
  view_.SetFocus(Control::VMDSInstanceListView);
  ListGotFocus();
}

void MainPresenter::FormResize() {
  if (view_.IsMinimised()) return;
  CentreWindow();
}

// Centres the window on the screen; a window larger than the screen goes to its left or top edge.
void MainPresenter::CentreWindow() {
  const ScreenRect window = view_.WindowArea();
  const ScreenPoint place = CentredOnScreen(view_.ScreenArea(), window.width, window.height);
  view_.MoveWindowTo(place.left, place.top);
}

void MainPresenter::AddDialogPlace(AddInstanceView& dialog, bool loading) {
  const ScreenRect screen = view_.ScreenArea();
  const ScreenRect box = dialog.WindowArea();
  ScreenPoint place = CentredOnScreen(screen, box.width, box.height);
  if (!loading) {
    const ScreenRect main = view_.WindowArea();
    if (main.left == screen.left) place.left = screen.left;
    if (main.top == screen.top) place.top = screen.top;
  }
  dialog.MoveWindowTo(place.left, place.top);
}

// ---- The instance list ------------------------------------------------------------------------

int MainPresenter::RowOf(const std::string& instanceName) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].InstanceName == instanceName) return static_cast<int>(i);
  return -1;
}

void MainPresenter::SelectCurrentRow() { view_.SelectInstanceListRow(RowOf(currentInstanceName_)); }

void MainPresenter::ColumnClick(int column) {
  if (column >= 0 && column <= 3) sortColumn_ = column;
  sortDescending_ = !sortDescending_;
  auto cell = [this](const InstanceListRow& row) {
    return LowerCase(sortColumn_ == 0   ? row.InstanceName
                     : sortColumn_ == 1 ? row.TCPPort
                     : sortColumn_ == 2 ? row.SerialPort
                                        : row.State);
  };
  std::stable_sort(rows_.begin(), rows_.end(),
                   [&](const InstanceListRow& a, const InstanceListRow& b) {
                     return sortDescending_ ? cell(b) < cell(a) : cell(a) < cell(b);
                   });
  view_.SetInstanceListRows(rows_);
  SelectCurrentRow();
}

void MainPresenter::ListGotFocus() {
  view_.SetEnabled(Control::cmdRemoveInstance, currentInstanceName_ != kMasterInstanceName);
}

std::string UnsavedChangesQuestion(const std::string& instanceName, bool newInstance,
                                   const std::string& newInstanceEnding) {
  if (newInstance)
    return "Would you like to save the settings for the new instance, \"" + instanceName +
           "\"?\rSaving the new instance will start the service" + newInstanceEnding;
  return "The settings for instance, \"" + instanceName +
         "\" have been changed. Do you want to save the changes?";
}

bool MainPresenter::OfferToSave(Leaving leaving) {
  if (!DetectChange(currentInstanceIndex_) && !newInstancePending_) return true;
  const std::string question = UnsavedChangesQuestion(
      currentInstanceName_, newInstancePending_,
      leaving == Leaving::kForAdd ? "." : " for the instance.");
  switch (view_.ShowMessage(question, MessageIcon::kExclamation, MessageButtons::kYesNoCancel)) {
    case MessageAnswer::kYes:
      view_.SetProgressAndRepaint(kSavingHint);
      // A refused value or a file that cannot be written keeps the instance and its edits shown:
      // Save has told why.
      return Save();
    case MessageAnswer::kCancel:
      return false;
    default:
      switch (leaving) {
        case Leaving::kToSwitch:
          view_.SetEnabled(Control::SaveCmdBtn, false);
          view_.SetProgressAndRepaint("");
          break;
        case Leaving::kForAdd:
          LoadInstance(currentInstanceName_, currentInstanceIndex_);
          view_.SetEnabled(Control::SaveCmdBtn, false);
          view_.SetProgress("");
          break;
        case Leaving::kToClose:
          break;
      }
      return true;
  }
}

void MainPresenter::ItemClick(int position) {
  try {
    if (position < 0 || position >= static_cast<int>(rows_.size()))
      throw RunTimeFailure(kErrInvalidProcedureCall);
    const std::string clicked = Trim(rows_[static_cast<std::size_t>(position)].InstanceName);
    if (!OfferToSave(Leaving::kToSwitch)) {
      SelectCurrentRow();
      return;
    }
    newInstancePending_ = false;
    currentInstanceName_ = clicked;
    view_.SetEnabled(Control::cmdRemoveInstance, currentInstanceName_ != kMasterInstanceName);
    currentInstanceIndex_ = GetInstanceIndex(state_, currentInstanceName_);
    LoadInstance(currentInstanceName_, currentInstanceIndex_);
    view_.SetProgress("");
    view_.SetEnabled(Control::SaveCmdBtn, false);
    ShowDetails();
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

bool MainPresenter::FormUnload() {
  try {
    if (!OfferToSave(Leaving::kToClose)) return true;
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
  newInstancePending_ = false;
  state_.Instances.Clear();
  view_.CloseDialogs();
  return false;
}

// ---- The editor ------------------------------------------------------------------------------

void MainPresenter::ChangeNotification() {
  view_.SetEnabled(Control::SaveCmdBtn, true);
  if (!newInstancePending_) view_.SetProgress(kChangeHint);
}

void MainPresenter::EditorChanged(Control control) {
  ChangeNotification();
  if (control == Control::SerialPortComboBox) ShowPortPresence();
}

void MainPresenter::PutText(Control box, const std::string& text) {
  if (view_.Text(box) == text) return;
  view_.SetText(box, text);
  ChangeNotification();
}

void MainPresenter::PutEntry(Control combo, const std::string& text) {
  const std::vector<std::string>& entries = EntriesOf(combo);
  const std::string wanted = LowerCase(text);
  auto found = std::find_if(entries.begin(), entries.end(),
                            [&](const std::string& e) { return LowerCase(e) == wanted; });
  if (found == entries.end()) throw RunTimeFailure(kErrNoSuchEntry);
  const int position = static_cast<int>(found - entries.begin());
  if (view_.Selection(combo) == position) return;
  view_.Select(combo, position);
  ChangeNotification();
}

void MainPresenter::PutCheck(Control box, bool checked) {
  if (view_.Checked(box) == checked) return;
  view_.SetChecked(box, checked);
  ChangeNotification();
}

std::string MainPresenter::SelectedEntry(Control combo) {
  const std::vector<std::string>& entries = EntriesOf(combo);
  const int position = view_.Selection(combo);
  if (position < 0 || position >= static_cast<int>(entries.size())) return "";
  return entries[static_cast<std::size_t>(position)];
}

void MainPresenter::LoadInstance(const std::string&, std::int16_t index) {
  try {
    const VMDSInstanceClass record = state_.Instances.Item(index);
    view_.SetText(Control::InstanceNameValueLabel, "");
    view_.SetText(Control::InstanceNameValueLabel, record.mInstanceName);
    view_.SetText(Control::ServiceDisplayNameValueLabel, "");
    view_.SetText(Control::ServiceDisplayNameValueLabel, record.mServiceDisplayName);
    PutText(Control::TCPPortNumberTextBox, std::to_string(record.mTCPPort));
    PutEntry(Control::SerialPortComboBox, record.mCOMPort);
    PutEntry(Control::BitRateComboBox, std::to_string(record.mCOMPortBitRate));
    PutEntry(Control::DataBitsComboBox, std::to_string(record.mCOMPortDataBits));
    if (std::string entry = ParityEntry(record.mCOMPortParity); !entry.empty())
      PutEntry(Control::ParityComboBox, entry);
    if (std::string entry = StopBitsEntry(record.mCOMPortStopBits); !entry.empty())
      PutEntry(Control::StopBitsComboBox, entry);
    PutCheck(Control::DropRTSCheckBox, record.mDropRTSonSocketClose == 1);
    PutCheck(Control::DropDTRCheckBox, record.mDropDTRonSocketClose == 1);
    PutText(Control::MaxConnTimeTextBox, std::to_string(record.mMaxConnectTime));
    PutText(Control::MaxIdleTimeTextBox, std::to_string(record.mIdleTimeout));
    PutText(Control::AllowedClientsTextBox, record.mAllowedClients);
    PutText(Control::ListenAddressTextBox, record.mListenAddress);
    PutCheck(Control::RemotePortControlCheckBox, record.mRemotePortControl);
    PutText(Control::TLSCertificateTextBox, record.mTLSCertificate);
    PutText(Control::TLSKeyTextBox, record.mTLSKey);
    PutText(Control::TLSClientCATextBox, record.mTLSClientCA);
    PutText(Control::BrowseLogFileTextBox, record.mLogFileName);
    PutCheck(Control::EnableDebugModeCheckBox, record.mDebugEnabled == 1);
    ShowPortPresence();
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

void MainPresenter::DefaultSettings() {
  VMDSInstanceClass d;
  ApplyInstanceDefaults(d);
  PutEntry(Control::BitRateComboBox, std::to_string(d.mCOMPortBitRate));
  PutEntry(Control::DataBitsComboBox, std::to_string(d.mCOMPortDataBits));
  PutEntry(Control::ParityComboBox, ParityEntry(d.mCOMPortParity));
  PutEntry(Control::StopBitsComboBox, StopBitsEntry(d.mCOMPortStopBits));
  PutText(Control::MaxConnTimeTextBox, std::to_string(d.mMaxConnectTime));
  PutText(Control::MaxIdleTimeTextBox, std::to_string(d.mIdleTimeout));
  PutCheck(Control::EnableDebugModeCheckBox, d.mDebugEnabled == 1);
  PutCheck(Control::DropRTSCheckBox, d.mDropRTSonSocketClose == 1);
  PutCheck(Control::DropDTRCheckBox, d.mDropDTRonSocketClose == 1);
}

void MainPresenter::DefaultSettingsClick() {
  try {
    DefaultSettings();
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

bool MainPresenter::DetectChange(std::int16_t index) {
  const VMDSInstanceClass& r = state_.Instances.Item(index);
  auto numberDiffers = [this](Control c, double field) {
    return NumberOf(view_.Text(c)) != field;
  };
  auto entryNumberDiffers = [this](Control c, double field) {
    return NumberOf(SelectedEntry(c)) != field;
  };
  auto checkDiffers = [this](Control c, std::int16_t field) {
    return (view_.Checked(c) ? 1 : 0) != field;
  };
  const std::string parity = SelectedEntry(Control::ParityComboBox);
  const bool changed =
      numberDiffers(Control::TCPPortNumberTextBox, r.mTCPPort) ||
      Trim(SelectedEntry(Control::SerialPortComboBox)) != r.mCOMPort ||
      entryNumberDiffers(Control::BitRateComboBox, r.mCOMPortBitRate) ||
      entryNumberDiffers(Control::DataBitsComboBox, r.mCOMPortDataBits) ||
      (!parity.empty() && ParityToken(parity) != r.mCOMPortParity) ||
      entryNumberDiffers(Control::StopBitsComboBox, r.mCOMPortStopBits) ||
      checkDiffers(Control::DropRTSCheckBox, r.mDropRTSonSocketClose) ||
      checkDiffers(Control::DropDTRCheckBox, r.mDropDTRonSocketClose) ||
      numberDiffers(Control::MaxConnTimeTextBox, r.mMaxConnectTime) ||
      numberDiffers(Control::MaxIdleTimeTextBox, r.mIdleTimeout) ||
      Trim(view_.Text(Control::AllowedClientsTextBox)) != r.mAllowedClients ||
      Trim(view_.Text(Control::ListenAddressTextBox)) != r.mListenAddress ||
      view_.Checked(Control::RemotePortControlCheckBox) != r.mRemotePortControl ||
      Trim(view_.Text(Control::TLSCertificateTextBox)) != r.mTLSCertificate ||
      Trim(view_.Text(Control::TLSKeyTextBox)) != r.mTLSKey ||
      Trim(view_.Text(Control::TLSClientCATextBox)) != r.mTLSClientCA ||
      Trim(view_.Text(Control::BrowseLogFileTextBox)) != r.mLogFileName ||
      checkDiffers(Control::EnableDebugModeCheckBox, r.mDebugEnabled);
  if (changed) return true;
  view_.SetProgress("");
  return false;
}

// ---- Save -------------------------------------------------------------------------------------

void MainPresenter::SaveClick() { Save(); }

bool MainPresenter::Save() {
  view_.SetProgress("");
  try {
    const std::string portText = Trim(view_.Text(Control::TCPPortNumberTextBox));
    const std::optional<std::int32_t> port = TCPPortOf(portText);
    if (!port) return Refused(kTCPPortRange);
    const std::int32_t p = *port;
    std::int16_t i = GetInstanceIndexByTCPPort(state_, p);
    if (i != 0 && i != currentInstanceIndex_)
      return Refused("TCP port " + portText + " is already in use by " +
                         state_.Instances.Item(i).mInstanceName +
                         ". Change the TCP Port Number and click on Save. Operation was aborted.");

    const std::string s = Trim(SelectedEntry(Control::SerialPortComboBox));
    i = GetInstanceIndexByCOMPort(state_, s);
    if (i != 0 && i != currentInstanceIndex_)
      return Refused(s + " is already in use by " + state_.Instances.Item(i).mInstanceName +
                         ". Change the Serial Port and click on Save. Operation was aborted.");

    const std::string dataBitsText = Trim(SelectedEntry(Control::DataBitsComboBox));
    const std::string parityText = Trim(SelectedEntry(Control::ParityComboBox));
    const std::string stopBitsText = Trim(SelectedEntry(Control::StopBitsComboBox));
    const bool eightDataBits = LeadingNumber(dataBitsText) == 8;
    if (eightDataBits && UpperCase(parityText) != "NONE")
      return Refused(
          "Parity must be set to None if 8 data bits are needed. Make necessary changes and click "
          "on Save. Operation was aborted.");
    if (eightDataBits && LeadingNumber(stopBitsText) != 1)
      return Refused(
          "Stop bits must be set to 1 to use 8 data bits. Make necessary changes and click on "
          "Save. Operation was aborted.");

    std::string connectText = view_.Text(Control::MaxConnTimeTextBox);
    if (Trim(connectText).empty()) throw RunTimeFailure(kErrTypeMismatch);
    if (CheckStringForNonNumericCharacter(connectText))
      return Refused(
          "Please enter a positive integer in the Maximum Connection Time field. Operation was "
          "aborted.");
    std::string idleText = view_.Text(Control::MaxIdleTimeTextBox);
    if (Trim(idleText).empty()) throw RunTimeFailure(kErrTypeMismatch);
    if (CheckStringForNonNumericCharacter(idleText))
      return Refused(
          "Please enter a positive integer in the Maximum Idle Time field. Operation was "
          "aborted.");
    const std::string allowedClients = Trim(view_.Text(Control::AllowedClientsTextBox));
    if (!IsAllowedClientsList(allowedClients))
      return Refused(
          "Please enter IPv4 addresses or ranges such as 10.1.2.3 or 10.1.5.0/24, separated by "
          "commas, in the Allowed clients field. Operation was aborted.");
    const std::string listenAddress = Trim(view_.Text(Control::ListenAddressTextBox));
    if (!listenAddress.empty() && !IsIPv4Address(listenAddress))
      return Refused(
          "Please enter one IPv4 address such as 127.0.0.1, or nothing for all addresses, in the "
          "Listen address field. Operation was aborted.");
    const std::string logFile = Trim(view_.Text(Control::BrowseLogFileTextBox));
    if (logFile.size() > kMaxLogFilePath)
      return Refused(
          "Invalid file path for log file. Please change the log file location. Operation was "
          "aborted.");
    const std::string certificate = Trim(view_.Text(Control::TLSCertificateTextBox));
    const std::string key = Trim(view_.Text(Control::TLSKeyTextBox));
    const std::string clientCA = Trim(view_.Text(Control::TLSClientCATextBox));
    if (certificate.empty() != key.empty())
      return Refused(
          "Please fill in both the Certificate and the Private key fields, or leave both empty. "
          "Operation was aborted.");
    if (!clientCA.empty() && certificate.empty())
      return Refused(
          "Please fill in the Certificate and Private key fields to use a Client CA, or clear the "
          "Client CA field. Operation was aborted.");
    const std::string directory = InstanceDirectory(currentInstanceName_);
    for (const auto& [value, file, field] : {std::tuple{&certificate, "certificate", "Certificate"},
                                             std::tuple{&key, "private key", "Private key"},
                                             std::tuple{&clientCA, "client CA", "Client CA"}}) {
      if (value->empty()) continue;
      const std::string path = PathInInstanceDirectory(directory, *value);
      if (files_.FileExists(path)) continue;
      return Refused("The " + std::string(file) + " file " + path +
                     (files_.DirectoryExists(path) ? " is a folder." : " does not exist.") +
                     " Please choose an existing file in the " + field +
                     " field. Operation was aborted.");
    }

    const std::string serialColumn = SerialPortColumn(s);
    const int row = RowOf(currentInstanceName_);
    if (row < 0) throw RunTimeFailure(kErrObjectNotSet);

    // Every value is converted before anything is stored: a value out of range leaves the
    // record, the row and the file as they were.
    VMDSInstanceClass& r = state_.Instances.Item(currentInstanceIndex_);
    const VMDSInstanceClass before = r;
    VMDSInstanceClass edited = r;
    edited.mTCPPort = p;
    edited.mCOMPort = s;
    edited.mCOMPortBitRate = ReadNumber32(SelectedEntry(Control::BitRateComboBox));
    edited.mCOMPortDataBits = ReadNumber16(dataBitsText);
    if (std::string token = ParityToken(parityText); !token.empty()) edited.mCOMPortParity = token;
    edited.mCOMPortStopBits = static_cast<float>(LeadingNumber(stopBitsText));
    edited.mDropRTSonSocketClose = view_.Checked(Control::DropRTSCheckBox) ? 1 : 0;
    edited.mDropDTRonSocketClose = view_.Checked(Control::DropDTRCheckBox) ? 1 : 0;
    edited.mMaxConnectTime = ReadNumber32(connectText);
    edited.mIdleTimeout = ReadNumber32(idleText);
    edited.mAllowedClients = allowedClients;
    edited.mListenAddress = listenAddress;
    SetRemotePortControl(edited, view_.Checked(Control::RemotePortControlCheckBox));
    edited.mTLSCertificate = certificate;
    edited.mTLSKey = key;
    edited.mTLSClientCA = clientCA;
    edited.mLogFileName = logFile;
    edited.mDebugEnabled = view_.Checked(Control::EnableDebugModeCheckBox) ? 1 : 0;

    InstanceListRow& listRow = rows_[static_cast<std::size_t>(row)];
    const InstanceListRow rowBefore = listRow;
    r = edited;
    listRow.TCPPort = std::to_string(p);
    listRow.SerialPort = serialColumn;
    view_.SetInstanceListRow(row, listRow);

    const std::string path =
        currentInstanceIndex_ == 1
            ? MasterStartupFilePath()
            : StartupFilePathOf(InstanceDirectoryOf(managerDirectory_, currentInstanceName_),
                                state_.StartupFileName);
    if (!WriteStartupFile(state_, files_, view_, path, false, currentInstanceIndex_)) {
      // The writer has told why. The service keeps running on the file it has, so the record
      // and the row go back to what that file holds; the edits stay in the editor to retry.
      r = before;
      listRow = rowBefore;
      view_.SetInstanceListRow(row, listRow);
      return false;
    }
    RestartInstanceService(services_, view_, r.mServiceName);
    if (!PortIsPresent(s, ports_.PresentPorts()))
      view_.SetProgress(PortPresenceText(s, {}) +
                        ". The settings are saved and the service is started.");

    newInstancePending_ = false;
    view_.SetEnabled(Control::SaveCmdBtn, false);
    view_.SetFocus(Control::TCPPortNumberTextBox);
    return true;
  } catch (const RunTimeFailure& failure) {
    newInstancePending_ = false;
    view_.SetEnabled(Control::SaveCmdBtn, false);
    ShowGeneralError(failure.Number(), failure.what());
    view_.SetProgress("");
    return false;
  }
}
