// What the manager's portable logic needs of its windows. The Win32 window implements View with
// real controls and message boxes; tests implement it with a fake that records every call and
// answers the questions from a script.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The product name: the main window's caption and the title of every message box.
inline constexpr const char* kProductName = "Velmora Device Server - Instance Manager";

enum class MessageIcon { kExclamation, kCritical, kQuestion, kInformation };
enum class MessageButtons { kOk, kYesNo, kYesNoCancel };
enum class MessageAnswer { kOk, kYes, kNo, kCancel };

// One row of the instance list: the row text is the instance name.
struct InstanceListRow {
  InstanceListRow() = default;
  InstanceListRow(std::string name, std::string tcpPort, std::string serialPort,
                  std::string state = std::string())
      : InstanceName(std::move(name)),
        TCPPort(std::move(tcpPort)),
        SerialPort(std::move(serialPort)),
        State(std::move(state)) {}
  std::string InstanceName;
  std::string TCPPort;     // decimal digits
  std::string SerialPort;  // "COM" + the port number right-aligned in three
  std::string State;       // the live state (instance_status.h); empty until the first refresh
  bool operator==(const InstanceListRow&) const = default;
};

// What the core procedures (startup files, service control) show: message boxes, and the rows
// the startup-file reader adds to the instance list.
class MessageView {
 public:
  virtual ~MessageView() = default;
  // A modal message box titled kProductName; returns the button the user chose.
  virtual MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                                    MessageButtons buttons) = 0;
  // Appends a row to the instance list.
  virtual void AddInstanceListRow(const InstanceListRow& row) = 0;
};

// The controls of the main window that the presenter reads, writes, enables or focuses.
enum class Control {
  VMDSInstanceListView,
  cmdAddNewInstance,
  cmdRemoveInstance,
  HostDomainNameTextBox,
  TCPPortNumberTextBox,
  SerialPortComboBox,
  InstanceNameValueLabel,
  ServiceDisplayNameValueLabel,
  BitRateComboBox,
  DataBitsComboBox,
  ParityComboBox,
  StopBitsComboBox,
  MaxConnTimeTextBox,
  MaxIdleTimeTextBox,
  DropDTRCheckBox,
  DropRTSCheckBox,
  BrowseLogFileTextBox,
  BrowseCmdBtn,
  ViewLogFileCmdBtn,
  EnableDebugModeCheckBox,
  DefaultSettingsCmdBtn,
  SaveCmdBtn,
  ViewManualCmdBtn,
  AboutCmdBtn,
  ExitCmdBtn,
  ProgressLabel,
  // The live state: the shown instance's details, and starting and stopping its service.
  StatusDetailsLabel,
  StartServiceCmdBtn,
  StopServiceCmdBtn,
  // Beside the Serial Port list: whether the chosen port is present on this computer.
  SerialPortPresenceLabel,
  // In the Session Settings: who may connect, and the local address the service listens on.
  AllowedClientsTextBox,
  ListenAddressTextBox,
  // In the Session Settings: the clients control the serial port (RFC 2217) or send raw bytes.
  RemotePortControlCheckBox,
  // Encryption (TLS): the certificate, private key and client CA files, each with its Browse.
  TLSCertificateTextBox,
  TLSCertificateBrowseCmdBtn,
  TLSKeyTextBox,
  TLSKeyBrowseCmdBtn,
  TLSClientCATextBox,
  TLSClientCABrowseCmdBtn,
};

enum class ColumnAlignment { kLeft, kCenter };

struct ScreenRect {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const ScreenRect&) const = default;
};

// The window the main window took the activation from: another program's (or none), a message
// box of the manager's own, or another window of the manager (a dialog that closed).
enum class ActivatedFrom { kOtherProgram, kMessageBox, kOwnWindow };

// The dialog "Add New Instance": the name (at most 20 characters can be typed), the TCP port and
// a pick-only list of serial ports. While it is open the main window is disabled.
class AddInstanceView {
 public:
  virtual ~AddInstanceView() = default;
  virtual std::string InstanceNameText() = 0;
  virtual void SetInstanceNameText(const std::string& text) = 0;
  virtual std::string TCPPortText() = 0;
  virtual void SetTCPPortText(const std::string& text) = 0;
  virtual void FillSerialPorts(const std::vector<std::string>& entries, int selected) = 0;
  virtual std::string SerialPortText() = 0;  // the selected entry; empty when none
  // The label beside the serial-port list.
  virtual void SetPortLabel(const std::string& text) = 0;
  // The dialog's place in pixels, and moving it (the size stays).
  virtual ScreenRect WindowArea() = 0;
  virtual void MoveWindowTo(int left, int top) = 0;
  // Closes the dialog and enables the main window again.
  virtual void Close() = 0;
};

// What the file-open dialog of Browse is given. Its options: hide the read-only box, keep the
// current directory, return no read-only file, long file names.
struct FileDialogRequest {
  std::string title;
  std::string fileName;  // preset; empty for none
  std::string filter;    // "Description|pattern|Description|pattern"
  std::string defaultExtension;
  bool operator==(const FileDialogRequest&) const = default;
};

// The texts of the About box.
struct AboutTexts {
  std::string caption;     // window title
  std::string maker;       // bold heading
  std::string version;     // product name, CR, "Ver 4.0 Build 84"
  std::string legal;       // CR, copyright line and trademark sentence
  std::string support;     // who to contact
  std::string webAddress;  // caption of the web button
  bool operator==(const AboutTexts&) const = default;
};

struct ProgramVersion {
  int major = 0, minor = 0, build = 0, revision = 0;
};

// The main window `MainDisplay`. It only shows and asks: every decision is the presenter's. The
// window reports what the user did (main_presenter.h) and never what the program set: values
// written through this interface raise no events back, on every implementation.
class View : public MessageView {
 public:
  // Text boxes and value labels.
  virtual std::string Text(Control control) = 0;
  virtual void SetText(Control control, const std::string& text) = 0;
  // Drop-down lists (pick-only): entries, and the selected position (-1 none).
  virtual void FillList(Control combo, const std::vector<std::string>& entries) = 0;
  virtual int Selection(Control combo) = 0;
  virtual void Select(Control combo, int position) = 0;
  // Check boxes.
  virtual bool Checked(Control box) = 0;
  virtual void SetChecked(Control box, bool checked) = 0;

  virtual void SetEnabled(Control control, bool enabled) = 0;
  virtual void SetFocus(Control control) = 0;
  virtual void SetToolTip(Control control, const std::string& text) = 0;

  // The one-line status text. SetProgress only changes it: it shows when the window next paints.
  // SetProgressAndRepaint paints it at once, before a step that blocks the window.
  virtual void SetProgress(const std::string& text) = 0;
  virtual void SetProgressAndRepaint(const std::string& text) = 0;

  // The instance list (report view). Positions are 0-based in the shown order.
  virtual int InstanceListWidth() = 0;
  virtual void AddInstanceListColumn(const std::string& title, int width,
                                     ColumnAlignment alignment) = 0;
  // Replaces every row, in this order (sorting).
  virtual void SetInstanceListRows(const std::vector<InstanceListRow>& rows) = 0;
  virtual void SetInstanceListRow(int position, const InstanceListRow& row) = 0;
  virtual void SelectInstanceListRow(int position) = 0;

  virtual void RemoveInstanceListRow(int position) = 0;
  // The selected row's position; -1 when none is selected.
  virtual int SelectedInstanceListRow() = 0;

  // A message box with its own title (the others carry the product name).
  virtual MessageAnswer ShowTitledMessage(const std::string& title, const std::string& text,
                                          MessageIcon icon, MessageButtons buttons) = 0;
  // Opens the "Add New Instance" dialog without waiting for it; it reports to the presenter.
  virtual void ShowAddInstanceDialog() = 0;
  // The file-open dialog; the chosen file name, or empty when the user cancelled.
  virtual std::string AskForFileName(const FileDialogRequest& request) = 0;
  // Shows the About box without making it modal (brought to the front when already open).
  virtual void ShowAbout(const AboutTexts& texts) = 0;
  // The program's own version information.
  virtual ProgramVersion Version() = 0;
  // Closes the About box and the Add New Instance dialog when they are open.
  virtual void CloseDialogs() = 0;
  // Closes the main window as its close box does (the closing sequence runs).
  virtual void CloseWindow() = 0;

  // Window placement in pixels.
  virtual ScreenRect ScreenArea() = 0;
  virtual ScreenRect WindowArea() = 0;
  virtual bool IsMinimised() = 0;
  virtual void MoveWindowTo(int left, int top) = 0;
};
