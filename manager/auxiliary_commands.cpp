// The commands around the editor that change no instance themselves: Browse for a log file,
// View Log File, View User Manual, About (with its web button) and Exit.
#include "instance_directory.h"
#include "main_presenter.h"
#include "run_time_error.h"
#include "text_functions.h"
#include "value_conversions.h"

namespace {

// The maker's data shown and opened by the About box.
constexpr const char* kMakerName = "Daltrimore";
constexpr const char* kCopyright = "Copyright (C) 2026 Daltrimore. All rights reserved.";
constexpr const char* kTrademark =
    " Velmora is a trademark of Daltrimore. Other names may be trademarks of their owners.";
constexpr const char* kSupportAddress = "support@daltrimore.example";
constexpr const char* kWebAddress = "www.daltrimore.example";
constexpr const char* kWebPage = "https://www.daltrimore.example/";

// The reason of a failed ShellExecuteA, as the log viewer's and the manual's messages word it.
std::string ShellFailureReason(int result, bool sentence) {
  const char* reason;
  switch (result) {
    case 2: reason = "File not found"; break;
    case 3: reason = "Path not found"; break;
    case 5: reason = "Access denied"; break;
    case 8: reason = "Out of memory"; break;
    case 11: reason = "Invalid EXE file or error in EXE image"; break;
    case 26: reason = "A sharing violation occurred"; break;
    case 27: reason = "Incomplete or invalid file association"; break;
    case 28: reason = "DDE Time out"; break;
    case 29: reason = "DDE transaction failed"; break;
    case 30: reason = "DDE busy"; break;
    case 31: reason = "No association for file extension"; break;
    case 32: reason = "DLL not found"; break;
    default: return sentence ? "unknown error." : "Unknown error";
  }
  return sentence ? std::string(reason) + "." : reason;
}

}  // namespace

void MainPresenter::BrowseClick() {
  try {
    const std::string field = view_.Text(Control::BrowseLogFileTextBox);
    std::string path = Trim(field);
    const std::size_t first = path.find_first_not_of('\\');  // leading backslashes do not count
    path = first == std::string::npos ? "" : path.substr(first);
    FileDialogRequest request;
    request.title = "Select Log File";
    if (path.size() > 3 && path.find('\\') != std::string::npos && path.back() != '\\')
      request.fileName = field;
    request.filter = "Log File (*.log)|*.log|All Files (*.*)|*.*";
    request.defaultExtension = "log";
    const std::string chosen = view_.AskForFileName(request);
    if (!chosen.empty()) PutText(Control::BrowseLogFileTextBox, chosen);
    const std::string now = view_.Text(Control::BrowseLogFileTextBox);
    if (now.size() <= 3 || UpperCase(now.substr(now.size() - 3)) != "LOG")
      view_.SetProgress(
          "This does not appear to be a valid log file. Please verify your selection.");
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

void MainPresenter::BrowseCertificateClick() {
  BrowseTLSFile(Control::TLSCertificateTextBox, "Select Certificate File");
}

void MainPresenter::BrowseKeyClick() {
  BrowseTLSFile(Control::TLSKeyTextBox, "Select Private Key File");
}

void MainPresenter::BrowseClientCAClick() {
  BrowseTLSFile(Control::TLSClientCATextBox, "Select Client CA File");
}

// The dialog opens on the field's file (a relative path inside the instance directory); the
// file chosen replaces the field, cancelling leaves it as it was.
void MainPresenter::BrowseTLSFile(Control box, const std::string& title) {
  try {
    const std::string field = Trim(view_.Text(box));
    FileDialogRequest request;
    request.title = title;
    if (!field.empty())
      request.fileName = PathInInstanceDirectory(InstanceDirectory(currentInstanceName_), field);
    request.filter = "PEM files (*.pem;*.crt;*.key)|*.pem;*.crt;*.key|All files (*.*)|*.*";
    request.defaultExtension = "pem";
    const std::string chosen = view_.AskForFileName(request);
    if (!chosen.empty()) PutText(box, chosen);
  } catch (const RunTimeFailure& failure) {
    ShowGeneralError(failure.Number(), failure.what());
  }
}

void MainPresenter::ViewLogFileClick() {
  const int result = shell_.Execute("open", kLogViewerProgram,
                                    Trim(view_.Text(Control::BrowseLogFileTextBox)), "");
  if (result <= 32)
    ShowRefusal(std::string(kLogViewerProgram) + " not opened: " +
                ShellFailureReason(result, false));
}

void MainPresenter::ViewManualClick() {
  const int result = shell_.Execute("open", state_.UserManualFilename, "", state_.InstallDir);
  if (result <= 32)
    ShowRefusal(state_.UserManualFilename + " not opened: " + ShellFailureReason(result, true));
}

void MainPresenter::AboutClick() {
  const ProgramVersion version = view_.Version();
  AboutTexts texts;
  texts.caption = std::string("About ") + kProductName;
  texts.maker = kMakerName;
  texts.version = std::string(kProductName) + "\rVer " + std::to_string(version.major) + "." +
                  std::to_string(version.minor) + " Build " + std::to_string(version.revision);
  texts.legal = std::string("\r") + kCopyright + kTrademark;
  texts.support = std::string("For support please contact:\r\r") + kMakerName + "\rE-mail:  " +
                  kSupportAddress + "\rWeb:     " + kWebAddress + "\r";
  texts.webAddress = kWebAddress;
  view_.ShowAbout(texts);
}

void MainPresenter::AboutWebClick() {
  std::string user = shell_.UserName();
  user = Trim(user.substr(0, user.find('\0')));
  // The old per-user profile folder exists only on systems before Vista; elsewhere the page goes
  // into the user's temporary directory.
  const std::string profiles = "C:\\Documents and Settings\\";
  const bool administrator = LowerCase(user) == "administrator";
  const std::string folder = administrator ? profiles : profiles + user + "\\";
  const std::string page =
      (files_.DirectoryExists(folder.substr(0, folder.size() - 1)) ? folder
                                                                   : shell_.TempDirectory()) +
      "temporary.html";
  if (files_.WriteTextFile(page, "\"<HTML> <\\HTML>\"\r\n") != 0) {
    ShowRefusal("An unknown error occurred during attempt to open URL");
    return;
  }
  std::string program;
  if (shell_.FindAssociatedProgram(page, &program) <= 32) {
    view_.ShowTitledMessage("Browser Not Found", "Could not find associated Browser",
                            MessageIcon::kExclamation, MessageButtons::kOk);
  } else if (shell_.Execute("open", program, kWebPage, "") <= 32) {
    view_.ShowTitledMessage("URL Failed", "Web page not Opened", MessageIcon::kExclamation,
                            MessageButtons::kOk);
  }
  files_.DeleteOneFile(page);
}

void MainPresenter::ExitClick() { view_.CloseWindow(); }
