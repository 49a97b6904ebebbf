// The base of VMDSMgr.exe's windows (the main window, the Add New Instance dialog, the About
// box): a window of its own class whose controls come from a layout table, placed for the
// window's DPI and placed again when the DPI changes; keyboard focus that comes back to the
// control that had it when the window is activated again; keyboard navigation (Tab, Enter, Esc)
// through IsDialogMessage. Every other message goes to the window's own OnMessage.
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <vector>

#include "view.h"
#include "window_layout.h"

class LayoutWindow {
 public:
  LayoutWindow() = default;
  virtual ~LayoutWindow();
  LayoutWindow(const LayoutWindow&) = delete;
  LayoutWindow& operator=(const LayoutWindow&) = delete;

  HWND Handle() const { return window_; }
  bool IsOpen() const { return window_ != nullptr; }
  // Keyboard navigation of the window; true when the message was used up.
  bool TranslateDialogMessage(MSG& message);

  // Placement in pixels: the window, the whole screen it is on, and moving it (size kept).
  ScreenRect Area() const;
  ScreenRect Screen() const;
  void MoveTo(int left, int top) const;

 protected:
  struct Shape {
    const char* className;
    std::span<const ControlLayout> layout;
    int clientWidth, clientHeight;  // pixels at 96 DPI
    DWORD style, exStyle;
    int firstFocus;  // the control that gets the focus when no other has it; 0: the first one
  };

  // Marks the time in which the program writes into the controls (see Writing()).
  class WritingScope {
   public:
    explicit WritingScope(LayoutWindow& window) : window_(window) { ++window_.writing_; }
    ~WritingScope() { --window_.writing_; }
    WritingScope(const WritingScope&) = delete;
    WritingScope& operator=(const WritingScope&) = delete;

   private:
    LayoutWindow& window_;
  };

  // Registers the class (once) and creates the window hidden, owned by owner, at the owner's DPI
  // (the system's without one), with its controls placed; false when it could not be made.
  bool CreateLayoutWindow(HINSTANCE instance, HWND owner, const char* caption, const Shape& shape,
                          HICON icon = nullptr, HICON smallIcon = nullptr);
  void Destroy();

  HWND Item(int id) const;
  HWND Owner() const { return owner_; }
  UINT Dpi() const { return dpi_; }
  const LayoutFonts& Fonts() const { return fonts_; }
  // True while the program writes into the controls: their notifications are not the user's.
  bool Writing() const { return writing_ > 0; }

  // The fonts of the controls at this DPI; the base makes the system's message font only.
  virtual void MakeFonts(UINT dpi, LayoutFonts& fonts);
  // The controls were created (before they are first placed).
  virtual void OnCreated() {}
  // The controls were placed for a new DPI (oldDpi: the one before; the same at creation).
  virtual void OnLayout(UINT /*oldDpi*/) {}
  // The window became active; the focus is back on the control that had it, if it still can.
  virtual void OnActivated(HWND /*previous*/) {}
  // After an activation, once the focus is settled.
  virtual void OnFocusSettled() {}
  // The window is gone (its handle and controls are no more).
  virtual void OnDestroyed() {}
  // Every message the base leaves alone; nothing: the default processing.
  virtual std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void ApplyLayout(UINT dpi);
  void OnActivate(WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  HWND owner_ = nullptr;
  HWND savedFocus_ = nullptr;
  Shape shape_{};
  UINT dpi_ = 96;
  int writing_ = 0;
  LayoutFonts fonts_;
  std::vector<HWND> controls_;  // parallel to the layout table
};
