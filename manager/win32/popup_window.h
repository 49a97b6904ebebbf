// A small window of VMDSMgr.exe over the main window (the Add New Instance dialog, the About
// box): an owned pop-up that behaves like a dialog box. Tab and Shift+Tab move between the
// controls, Enter presses the default button (the focused push button, else the window's
// default, as the dialog manager asks for it with DM_GETDEFID), Esc and the close box close it.
#pragma once

#include <windows.h>

#include <span>

#include "layout_window.h"

class PopupWindow : public LayoutWindow {
 public:
  ~PopupWindow() override;

 protected:
  struct PopupShape {
    const char* className;
    std::span<const ControlLayout> layout;
    int clientWidth, clientHeight;  // pixels at 96 DPI
    int defaultButton;              // pressed by Enter when no push button has the focus
    int firstFocus;                 // the control that has the focus when the window opens
  };

  // Creates the window hidden, owned by owner; false when it could not be made.
  bool CreatePopup(HINSTANCE instance, HWND owner, const char* caption, const PopupShape& shape);
  // Shows the window, active, with the focus on its first-focus control.
  void ShowActive();
  // Places the window in the middle of its screen (at the left or top edge when it is larger).
  void CentreOnScreen() const;

  // A button was pressed (Enter on the default button included).
  virtual void OnButton(int id) = 0;
  // The close box or Esc.
  virtual void OnCloseRequest() = 0;
  // The user picked another entry of a drop-down list.
  virtual void OnSelectionChanged(int) {}
  // The window changed its size (not minimised).
  virtual void OnSized() {}
  // The window is being destroyed (its controls still exist).
  virtual void OnDestroy() {}

 private:
  std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void OnFocusSettled() override;
  bool IsPushButton(HWND control) const;
  // The focused push button becomes the default one; otherwise the window's default is.
  void UpdateDefaultButton();
  int DefaultButtonId() const;

  std::span<const ControlLayout> layout_;
  int defaultButton_ = 0;
  int firstFocus_ = 0;
};
