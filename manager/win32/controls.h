// Thin wrappers over the Win32 controls the manager's windows use: each method is one or two
// messages to the control's window. They hold only the handle and decide nothing; a null handle
// makes every call do nothing (and read back empty).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "window_layout.h"

class ControlWindow {
 public:
  explicit ControlWindow(HWND window) : window_(window) {}
  HWND Handle() const { return window_; }

  std::string Text() const { return WindowText(window_); }
  void SetText(const std::string& text) const { SetWindowTextA(window_, text.c_str()); }
  void Enable(bool enabled) const { EnableWindow(window_, enabled ? TRUE : FALSE); }
  void Focus() const {
    if (window_ != nullptr) ::SetFocus(window_);
  }
  // Painting off while many items change, and on again (then everything is painted anew).
  void SetRedraw(bool redraw) const {
    SendMessageA(window_, WM_SETREDRAW, redraw ? TRUE : FALSE, 0);
    if (redraw) InvalidateRect(window_, nullptr, TRUE);
  }

 protected:
  LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return window_ != nullptr ? SendMessageA(window_, message, wParam, lParam) : 0;
  }

 private:
  HWND window_;
};

class Edit : public ControlWindow {
 public:
  using ControlWindow::ControlWindow;
  void LimitText(int characters) const { Send(EM_LIMITTEXT, static_cast<WPARAM>(characters)); }
};

// A pick-only drop-down list.
class ComboBox : public ControlWindow {
 public:
  using ControlWindow::ControlWindow;
  void Reset() const { Send(CB_RESETCONTENT); }
  void Add(const std::string& entry) const {
    Send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  }
  // The entries replace the old ones; nothing is selected.
  void Fill(const std::vector<std::string>& entries) const {
    SetRedraw(false);
    Reset();
    for (const std::string& entry : entries) Add(entry);
    SetRedraw(true);
  }
  // The selected position; -1 when none is.
  int Selection() const {
    const LRESULT position = Send(CB_GETCURSEL);
    return Handle() == nullptr || position == CB_ERR ? -1 : static_cast<int>(position);
  }
  void Select(int position) const { Send(CB_SETCURSEL, static_cast<WPARAM>(position)); }
  std::string Entry(int position) const {
    const LRESULT length = Send(CB_GETLBTEXTLEN, static_cast<WPARAM>(position));
    if (length == CB_ERR || length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const LRESULT copied =
        Send(CB_GETLBTEXT, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
  }
};

class CheckBox : public ControlWindow {
 public:
  using ControlWindow::ControlWindow;
  bool Checked() const { return Send(BM_GETCHECK) == BST_CHECKED; }
  void SetChecked(bool checked) const { Send(BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED); }
};

class Button : public ControlWindow {
 public:
  using ControlWindow::ControlWindow;
  bool IsDefault() const { return (Style() & BS_TYPEMASK) == BS_DEFPUSHBUTTON; }
  // Shows the button as the default one (the thick border) or as an ordinary push button.
  void SetDefault(bool isDefault) const {
    const DWORD wanted = isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    if ((Style() & BS_TYPEMASK) != wanted)
      Send(BM_SETSTYLE, (Style() & 0xFFFF & ~static_cast<DWORD>(BS_TYPEMASK)) | wanted, TRUE);
  }

 private:
  DWORD Style() const { return static_cast<DWORD>(GetWindowLongPtrA(Handle(), GWL_STYLE)); }
};

// The tool tips of one window's controls.
class ToolTip : public ControlWindow {
 public:
  using ControlWindow::ControlWindow;
  // Replaces the tip of a control of owner; an empty text removes it.
  void SetTip(HWND owner, HWND control, HINSTANCE instance, const std::string& text) const {
    TTTOOLINFOA tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = owner;
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.hinst = instance;
    Send(TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    if (text.empty()) return;
    tool.lpszText = const_cast<char*>(text.c_str());
    Send(TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }
  void SetMaxWidth(int pixels) const { Send(TTM_SETMAXTIPWIDTH, 0, pixels); }
};
