// A small window of VMDSMgr.exe over the main window (the Add New Instance dialog, the About
// box): an owned pop-up with its own window class and a layout table of controls, scaled for its
// DPI, that the message loop runs through IsDialogMessage like a dialog box: Tab and Shift+Tab
// move between the controls, Enter presses the default button (the focused push button, else the
// window's default), Esc and the close box close it.
#pragma once

#include <windows.h>

#include <span>
#include <vector>

#include "window_layout.h"

class PopupWindow {
 public:
  PopupWindow() = default;
  virtual ~PopupWindow();
  PopupWindow(const PopupWindow&) = delete;
  PopupWindow& operator=(const PopupWindow&) = delete;

  HWND Handle() const { return window_; }
  bool IsOpen() const { return window_ != nullptr; }
  // Keyboard navigation of the window; true when the message was used up.
  bool TranslateDialogMessage(MSG& message);

 protected:
  struct Shape {
    const char* className;
    std::span<const ControlLayout> layout;
    int clientWidth, clientHeight;  // pixels at 96 DPI
    int defaultButton;              // pressed by Enter when no push button has the focus
    int firstFocus;                 // the control that has the focus when the window opens
  };

  // Creates the window hidden, owned by owner, with its controls placed for its DPI; false when
  // it could not be made.
  bool CreatePopup(HINSTANCE instance, HWND owner, const char* caption, const Shape& shape);
  // Shows the window, active, with the focus on its first-focus control.
  void ShowActive();
  void Destroy();

  HWND Control(int id) const;
  HWND Owner() const { return owner_; }
  UINT Dpi() const { return dpi_; }
  // Places the window in the middle of its screen (at the left or top edge when it is larger).
  void CentreOnScreen();

  // The fonts of the controls at this DPI; the base makes the system's message font only.
  virtual void MakeFonts(UINT dpi, LayoutFonts& fonts);
  // A button was pressed (Enter on the default button included).
  virtual void OnButton(int id) = 0;
  // The close box or Esc.
  virtual void OnCloseRequest() = 0;
  // The window changed its size (not minimised).
  virtual void OnSized() {}
  // The window is being destroyed (its controls still exist).
  virtual void OnDestroy() {}

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void ApplyLayout(UINT dpi);
  bool IsPushButton(HWND control) const;
  // The focused push button becomes the default one; otherwise the window's default is.
  void UpdateDefaultButton(HWND focus);
  int DefaultButtonId() const;

  HWND window_ = nullptr;
  HWND owner_ = nullptr;
  HWND savedFocus_ = nullptr;
  Shape shape_{};
  UINT dpi_ = 96;
  DWORD style_ = 0;
  DWORD exStyle_ = 0;
  LayoutFonts fonts_;
  std::vector<HWND> controls_;  // parallel to the layout table
};
