// A scripted main window and system for the presenter tests. The view holds the state of every
// control and of the instance list, records progress texts and message boxes, and answers
// questions from `answers`: a question the script did not expect fails the test. Like the real
// window, values set through View raise no events; tests simulate the user by changing the
// state and calling the presenter themselves.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakes.h"
#include "serial_port_catalog.h"
#include "shell.h"
#include "system_info.h"
#include "view.h"

struct ProgressText {
  std::string text;
  bool repainted;
  bool operator==(const ProgressText&) const = default;
};

struct ListColumn {
  std::string title;
  int width;
  ColumnAlignment alignment;
  bool operator==(const ListColumn&) const = default;
};

class FakeMainView : public View {
 public:
  struct ControlState {
    std::string text;
    std::vector<std::string> entries;
    int selection = -1;
    bool checked = false;
    bool enabled = true;
    std::string toolTip;
  };
  std::map<Control, ControlState> controls;
  std::optional<Control> focus;
  std::vector<ListColumn> columns;
  std::vector<InstanceListRow> rows;  // in the shown order
  int selectedRow = -1;
  std::vector<ProgressText> progress;  // every progress text set, in order
  std::vector<ShownMessage> messages;
  std::deque<MessageAnswer> answers;  // for questions, front first
  int listWidth = 400;
  ScreenRect screen{0, 0, 1024, 768};
  ScreenRect window{0, 0, 900, 500};
  bool minimised = false;
  std::vector<std::pair<int, int>> moves;
  std::vector<std::string> titles;  // of the boxes with their own title
  int addDialogsShown = 0, dialogsClosed = 0, closeRequests = 0;
  std::vector<FileDialogRequest> fileDialogs;
  std::string chosenFile;  // what the file dialog returns
  std::optional<AboutTexts> about;

  ~FakeMainView() override {
    if (!answers.empty()) ADD_FAILURE() << answers.size() << " scripted answer(s) were never asked for";
  }

  ControlState& operator[](Control control) { return controls[control]; }
  // The entry a drop-down list shows; "" when none is selected.
  std::string Shown(Control combo) {
    const ControlState& c = controls[combo];
    return c.selection < 0 ? "" : c.entries.at(static_cast<std::size_t>(c.selection));
  }
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override {
    messages.push_back({text, icon, buttons});
    if (buttons == MessageButtons::kOk) return MessageAnswer::kOk;
    if (answers.empty()) {
      ADD_FAILURE() << "unexpected question: " << text;
      return MessageAnswer::kCancel;
    }
    MessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void AddInstanceListRow(const InstanceListRow& row) override { rows.push_back(row); }

  std::string Text(Control control) override { return controls[control].text; }
  void SetText(Control control, const std::string& text) override {
    controls[control].text = text;
    if (control == Control::ProgressLabel) progress.push_back({text, false});
  }
  void FillList(Control combo, const std::vector<std::string>& entries) override {
    controls[combo].entries = entries;
    controls[combo].selection = -1;
  }
  int Selection(Control combo) override { return controls[combo].selection; }
  void Select(Control combo, int position) override {
    ControlState& c = controls[combo];
    if (position < -1 || position >= static_cast<int>(c.entries.size())) {
      ADD_FAILURE() << "selection " << position << " outside the list";
      position = -1;
    }
    c.selection = position;
  }
  bool Checked(Control box) override { return controls[box].checked; }
  void SetChecked(Control box, bool checked) override { controls[box].checked = checked; }
  void SetEnabled(Control control, bool enabled) override { controls[control].enabled = enabled; }
  void SetFocus(Control control) override { focus = control; }
  void SetToolTip(Control control, const std::string& text) override {
    controls[control].toolTip = text;
  }
  void SetProgress(const std::string& text) override {
    controls[Control::ProgressLabel].text = text;
    progress.push_back({text, false});
  }
  void SetProgressAndRepaint(const std::string& text) override {
    controls[Control::ProgressLabel].text = text;
    progress.push_back({text, true});
  }

  int InstanceListWidth() override { return listWidth; }
  void AddInstanceListColumn(const std::string& title, int width,
                             ColumnAlignment alignment) override {
    columns.push_back({title, width, alignment});
  }
  // Like a list that is emptied and filled again: the selection is gone.
  void SetInstanceListRows(const std::vector<InstanceListRow>& newRows) override {
    rows = newRows;
    selectedRow = -1;
  }
  void SetInstanceListRow(int position, const InstanceListRow& row) override {
    if (RowExists(position)) rows[static_cast<std::size_t>(position)] = row;
  }
  void SelectInstanceListRow(int position) override {
    if (position == -1 || RowExists(position)) selectedRow = position;
  }
  bool RowExists(int position) {
    if (position >= 0 && position < static_cast<int>(rows.size())) return true;
    ADD_FAILURE() << "row " << position << " outside the list";
    return false;
  }

  void RemoveInstanceListRow(int position) override {
    if (RowExists(position)) rows.erase(rows.begin() + position);
    selectedRow = -1;
  }
  int SelectedInstanceListRow() override { return selectedRow; }

  MessageAnswer ShowTitledMessage(const std::string& title, const std::string& text,
                                  MessageIcon icon, MessageButtons buttons) override {
    titles.push_back(title);
    return ShowMessage(text, icon, buttons);
  }
  void ShowAddInstanceDialog() override { ++addDialogsShown; }
  std::string AskForFileName(const FileDialogRequest& request) override {
    fileDialogs.push_back(request);
    return chosenFile;
  }
  void ShowAbout(const AboutTexts& texts) override { about = texts; }
  ProgramVersion Version() override { return {4, 0, 0, 84}; }
  void CloseDialogs() override { ++dialogsClosed; }
  void CloseWindow() override { ++closeRequests; }

  ScreenRect ScreenArea() override { return screen; }
  ScreenRect WindowArea() override { return window; }
  bool IsMinimised() override { return minimised; }
  void MoveWindowTo(int left, int top) override {
    moves.push_back({left, top});
    window.left = left;
    window.top = top;
  }
};

// The Add New Instance dialog: its fields, and whether it was closed.
class FakeAddDialog : public AddInstanceView {
 public:
  std::string name, port;
  std::vector<std::string> serialPorts;
  int serialSelection = -1;
  bool closed = false;

  std::string InstanceNameText() override { return name; }
  void SetInstanceNameText(const std::string& text) override { name = text; }
  std::string TCPPortText() override { return port; }
  void SetTCPPortText(const std::string& text) override { port = text; }
  void FillSerialPorts(const std::vector<std::string>& entries, int selected) override {
    serialPorts = entries;
    serialSelection = selected;
  }
  std::string SerialPortText() override {
    return serialSelection < 0 ? "" : serialPorts.at(static_cast<std::size_t>(serialSelection));
  }
  std::string portLabel;
  void SetPortLabel(const std::string& text) override { portLabel = text; }
  void Close() override { closed = true; }
  ScreenRect window{0, 0, 320, 200};
  std::vector<std::pair<int, int>> moves;
  ScreenRect WindowArea() override { return window; }
  void MoveWindowTo(int left, int top) override {
    moves.push_back({left, top});
    window.left = left;
    window.top = top;
  }
  void Pick(const std::string& entry) {
    auto found = std::find(serialPorts.begin(), serialPorts.end(), entry);
    ASSERT_NE(found, serialPorts.end()) << entry;
    serialSelection = static_cast<int>(found - serialPorts.begin());
  }
};

// The shell: every call recorded, results scripted.
class FakeShell : public Shell {
 public:
  std::vector<std::string> calls;
  int executeResult = 42;
  std::map<std::string, int> executeResults;  // by file
  int findResult = 42;
  std::string userName = std::string("operator") + '\0';
  int beeps = 0;

  int Execute(const std::string& verb, const std::string& file, const std::string& parameters,
              const std::string& directory) override {
    calls.push_back(verb + "|" + file + "|" + parameters + "|" + directory);
    return executeResults.count(file) ? executeResults[file] : executeResult;
  }
  int FindAssociatedProgram(const std::string& file, std::string* program) override {
    calls.push_back("find|" + file);
    *program = "C:\\Browser\\browse.exe";
    return findResult;
  }
  std::string UserName() override { return userName; }
  std::string TempDirectory() override { return "C:\\users\\operator\\Temp\\"; }
  void Beep() override { ++beeps; }
};

class FakeSystemInfo : public SystemInfo {
 public:
  bool nt4 = false;
  std::vector<std::string> snapshot{"[System Process]", "explorer.exe", "VMDSMgr.exe"};
  std::vector<std::string> modules;
  std::string hostName = "bench-pc";

  bool IsWindowsNT4() override { return nt4; }
  std::vector<std::string> SnapshotProcessNames() override { return snapshot; }
  std::vector<std::string> ProcessModuleFileNames() override { return modules; }
  std::string HostName() override { return hostName; }
  // "@" and the seconds: the tests need no time zone.
  std::string LocalTimeText(std::int64_t seconds) override { return "@" + std::to_string(seconds); }
};

// The ports present: COM1 to COM255 without friendly names unless a test says otherwise.
class FakeSerialPorts : public SerialPortCatalog {
 public:
  std::map<std::string, std::string> present;
  int queries = 0;
  FakeSerialPorts() {
    for (int port = 1; port <= 255; ++port) present["COM" + std::to_string(port)] = "";
  }
  std::map<std::string, std::string> PresentPorts() override {
    ++queries;
    return present;
  }
};
