// The dialog "Add New Instance" with real Win32 controls. While it is open its owner, the main
// window, is disabled; closing it (Create Instance done, Cancel, Esc, the close box, or the
// program) always enables the main window again. It reports its load, changes of its size and
// the Create Instance button through the callbacks it is given and decides nothing itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "popup_window.h"
#include "view.h"

class AddInstanceDialog : public PopupWindow, public AddInstanceView {
 public:
  struct Events {
    std::function<void(AddInstanceDialog&)> load;    // created, before it is shown
    std::function<void(AddInstanceDialog&)> create;  // Create Instance (button or Enter)
    std::function<void(AddInstanceDialog&)> resize;  // its size changed (not minimised)
    std::function<void(AddInstanceDialog&)> portChanged;  // another serial port picked
  };

  // Makes and shows the dialog over owner and disables owner; when it is open already it is
  // only brought to the front. False when the dialog could not be made (owner stays enabled).
  bool Open(HINSTANCE instance, HWND owner, Events events);

  // AddInstanceView
  std::string InstanceNameText() override;
  void SetInstanceNameText(const std::string& text) override;
  std::string TCPPortText() override;
  void SetTCPPortText(const std::string& text) override;
  void FillSerialPorts(const std::vector<std::string>& entries, int selected) override;
  std::string SerialPortText() override;
  void SetPortLabel(const std::string& text) override;
  ScreenRect WindowArea() override { return Area(); }
  void MoveWindowTo(int left, int top) override { MoveTo(left, top); }
  void Close() override;

 private:
  void OnButton(int id) override;
  void OnCloseRequest() override;
  void OnSelectionChanged(int id) override;
  void OnSized() override;
  void OnDestroy() override;

  Events events_;
};
