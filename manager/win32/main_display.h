// The main window MainDisplay with real Win32 controls: a passive view. It shows what the
// presenter writes, answers its questions with message boxes, and reports each user action as one
// presenter call. Values written through View raise no event back to the presenter.
#pragma once

#include <windows.h>

#include <exception>
#include <string>
#include <vector>

#include "about_box.h"
#include "add_instance_dialog.h"
#include "layout_window.h"
#include "view.h"

class MainPresenter;
class Win32Shell;

class MainDisplay : public LayoutWindow, public View {
 public:
  MainDisplay() = default;
  ~MainDisplay() override;

  // Creates the window (hidden) with all its controls; false when that fails.
  bool Create(HINSTANCE instance);
  // The presenter that receives the user's actions; none are reported before it is set.
  void SetPresenter(MainPresenter* presenter) { presenter_ = presenter; }
  // The shell seam: programs it starts are owned by the About box while its web button runs,
  // else by the main window.
  void SetShell(Win32Shell* shell) { shell_ = shell; }
  // Refreshes the live state at once and then every 2 seconds on this thread (WM_TIMER).
  void StartRefreshTimer();
  // Keyboard navigation (Tab, Enter, Esc) of the main window, the Add New Instance dialog and
  // the About box; true when the message was used up.
  bool TranslateMessages(MSG& message);

  // Runs one presenter call for a user action, unless the program is writing into the controls
  // or another call still runs (a modal message box of the presenter dispatches messages that can
  // reach this window). An exception that leaves the presenter becomes a message box here, and
  // nowhere else.
  template <typename Call>
  void Report(Call call) {
    if (presenter_ == nullptr || Writing() || presenterCalls_ > 0) return;
    ++presenterCalls_;
    RunPresenter(call);
    --presenterCalls_;
  }

  // MessageView
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override;
  void AddInstanceListRow(const InstanceListRow& row) override;

  // View
  std::string Text(Control control) override;
  void SetText(Control control, const std::string& text) override;
  void FillList(Control combo, const std::vector<std::string>& entries) override;
  int Selection(Control combo) override;
  void Select(Control combo, int position) override;
  bool Checked(Control box) override;
  void SetChecked(Control box, bool checked) override;
  void SetEnabled(Control control, bool enabled) override;
  void SetFocus(Control control) override;
  void SetToolTip(Control control, const std::string& text) override;
  void SetProgress(const std::string& text) override;
  void SetProgressAndRepaint(const std::string& text) override;
  int InstanceListWidth() override;
  void AddInstanceListColumn(const std::string& title, int width,
                             ColumnAlignment alignment) override;
  void SetInstanceListRows(const std::vector<InstanceListRow>& rows) override;
  void SetInstanceListRow(int position, const InstanceListRow& row) override;
  void SelectInstanceListRow(int position) override;
  void RemoveInstanceListRow(int position) override;
  int SelectedInstanceListRow() override;
  MessageAnswer ShowTitledMessage(const std::string& title, const std::string& text,
                                  MessageIcon icon, MessageButtons buttons) override;
  void ShowAddInstanceDialog() override;
  std::string AskForFileName(const FileDialogRequest& request) override;
  void ShowAbout(const AboutTexts& texts) override;
  ProgramVersion Version() override;
  void CloseDialogs() override;
  void CloseWindow() override;
  ScreenRect ScreenArea() override { return Screen(); }
  ScreenRect WindowArea() override { return Area(); }
  bool IsMinimised() override;
  void MoveWindowTo(int left, int top) override;

 private:
  // LayoutWindow
  void MakeFonts(UINT dpi, LayoutFonts& fonts) override;
  void OnCreated() override;
  void OnLayout(UINT oldDpi) override;
  void OnActivated(HWND previous) override;
  void OnDestroyed() override;
  std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

  static LRESULT CALLBACK TimeBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR subclassId, DWORD_PTR data);
  void OnCommand(int id, int code);
  void OnNotify(const NMHDR& header);
  void OnAboutWeb();
  void DrawProgress(const DRAWITEMSTRUCT& item);

  HWND ControlHandle(Control control) const;
  template <typename Call>
  void RunPresenter(Call& call) {
    try {
      call(*presenter_);
    } catch (const std::exception& failure) {
      // The presenter reports the failures it expects itself; this keeps anything else from
      // unwinding through the system's window procedures.
      ShowMessage(failure.what(), MessageIcon::kExclamation, MessageButtons::kOk);
    }
  }
  // The window of this program that message boxes and the file dialog belong to: the active one
  // (the Add New Instance dialog while it is open), null before the main window is shown.
  HWND DialogOwner() const;
  MessageAnswer ShowBox(const char* title, const std::string& text, MessageIcon icon,
                        MessageButtons buttons);

  HINSTANCE instance_ = nullptr;
  HWND toolTip_ = nullptr;
  MainPresenter* presenter_ = nullptr;
  Win32Shell* shell_ = nullptr;
  int presenterCalls_ = 0;
  int messageBoxes_ = 0;  // message boxes and file dialogs open
  AddInstanceDialog addDialog_;
  AboutBox about_;
};
