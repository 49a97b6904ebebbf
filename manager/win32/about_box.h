// The About box with real Win32 controls: not modal (the main window stays usable), centred on the
// screen when it opens, brought to the front with fresh texts when it is shown again. It reports
// its web button through the callback it is given; OK, Esc and the close box close it.
#pragma once

#include <functional>

#include "popup_window.h"
#include "view.h"

class AboutBox : public PopupWindow {
 public:
  struct Events {
    std::function<void()> web;  // the web button
  };

  // Shows the box over owner with these texts; false when it could not be made.
  bool Show(HINSTANCE instance, HWND owner, const AboutTexts& texts, Events events);
  void Close() { Destroy(); }

 private:
  void MakeFonts(UINT dpi, LayoutFonts& fonts) override;
  void OnButton(int id) override;
  void OnCloseRequest() override;
  void OnDestroy() override;
  void SetTexts(const AboutTexts& texts);
  void SetIcon();

  HINSTANCE instance_ = nullptr;
  HICON icon_ = nullptr;
  Events events_;
};
