#include "add_instance_dialog.h"

#include <commctrl.h>

#include <utility>

#include "resource.h"

namespace {

constexpr int kNameLimit = 20;  // characters the name field accepts
constexpr DWORD kDialogButton = kButton | BS_NOTIFY;

// 320 x 168 client pixels at 96 DPI; in tab order.
constexpr ControlLayout kAddLayout[] = {
    {kNoId, WC_STATICA, "Instance Name:", 14, 14, 106, 22, kLabel, 0, FontKind::kUi},
    {IDC_NEW_INSTANCE_NAME, WC_EDITA, "", 124, 14, 182, 22, kEdit, WS_EX_CLIENTEDGE,
     FontKind::kUi},
    {kNoId, WC_STATICA, "TCP Port Number:", 14, 62, 106, 22, kLabel, 0, FontKind::kUi},
    {IDC_NEW_TCP_PORT, WC_EDITA, "", 124, 62, 90, 22, kEdit, WS_EX_CLIENTEDGE, FontKind::kUi},
    {kNoId, WC_STATICA, "Serial Port", 14, 94, 106, 22, kLabel, 0, FontKind::kUi},
    {IDC_NEW_SERIAL_PORT, WC_COMBOBOXA, "", 124, 94, 90, 22, kCombo, 0, FontKind::kUi},
    {IDC_CREATE_INSTANCE, WC_BUTTONA, "Create Instance", 96, 128, 116, 28,
     kDialogButton | BS_DEFPUSHBUTTON | WS_GROUP, 0, FontKind::kUi},
    {IDC_CANCEL_INSTANCE, WC_BUTTONA, "Cancel", 220, 128, 86, 28, kDialogButton, 0,
     FontKind::kUi},
    // Under the name's label; it may reach below the name field.
    {kNoId, WC_STATICA, "(Max 20 Characters)", 14, 36, 180, 16, kLabel, 0, FontKind::kUi},
};

}  // namespace

bool AddInstanceDialog::Open(HINSTANCE instance, HWND owner, Events events) {
  if (IsOpen()) {
    SetForegroundWindow(Handle());
    return true;
  }
  events_ = std::move(events);
  const Shape shape{VMDSMGR_ADD_INSTANCE_CLASS, kAddLayout, 320, 168, IDC_CREATE_INSTANCE,
                    IDC_NEW_INSTANCE_NAME};
  if (!CreatePopup(instance, owner, "Add New Instance", shape)) return false;
  SendMessageA(Control(IDC_NEW_INSTANCE_NAME), EM_LIMITTEXT, kNameLimit, 0);
  if (events_.load) events_.load(*this);
  if (!IsOpen()) return true;  // the load closed it again
  if (owner != nullptr) EnableWindow(owner, FALSE);
  ShowActive();
  return true;
}

std::string AddInstanceDialog::InstanceNameText() {
  return WindowText(Control(IDC_NEW_INSTANCE_NAME));
}

void AddInstanceDialog::SetInstanceNameText(const std::string& text) {
  SetWindowTextA(Control(IDC_NEW_INSTANCE_NAME), text.c_str());
}

std::string AddInstanceDialog::TCPPortText() { return WindowText(Control(IDC_NEW_TCP_PORT)); }

void AddInstanceDialog::SetTCPPortText(const std::string& text) {
  SetWindowTextA(Control(IDC_NEW_TCP_PORT), text.c_str());
}

void AddInstanceDialog::FillSerialPorts(const std::vector<std::string>& entries, int selected) {
  HWND box = Control(IDC_NEW_SERIAL_PORT);
  if (box == nullptr) return;
  SendMessageA(box, WM_SETREDRAW, FALSE, 0);
  SendMessageA(box, CB_RESETCONTENT, 0, 0);
  for (const std::string& entry : entries)
    SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
  SendMessageA(box, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(box, nullptr, TRUE);
}

std::string AddInstanceDialog::SerialPortText() {
  HWND box = Control(IDC_NEW_SERIAL_PORT);
  if (box == nullptr) return std::string();
  const LRESULT position = SendMessageA(box, CB_GETCURSEL, 0, 0);
  if (position == CB_ERR) return std::string();
  const LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(position), 0);
  if (length == CB_ERR || length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const LRESULT copied = SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(position),
                                      reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

void AddInstanceDialog::Close() {
  if (!IsOpen()) return;
  // The main window is enabled before the dialog goes, so that it becomes the active window.
  if (Owner() != nullptr) EnableWindow(Owner(), TRUE);
  Destroy();
}

void AddInstanceDialog::OnButton(int id) {
  if (id == IDC_CREATE_INSTANCE) {
    if (events_.create) events_.create(*this);
  } else if (id == IDC_CANCEL_INSTANCE) {
    Close();
  }
}

void AddInstanceDialog::OnCloseRequest() { Close(); }

void AddInstanceDialog::OnSized() {
  if (events_.resize) events_.resize(*this);
}

ScreenRect AddInstanceDialog::WindowArea() {
  RECT box{};
  if (!IsOpen() || !GetWindowRect(Handle(), &box)) return ScreenRect{};
  return ScreenRect{box.left, box.top, box.right - box.left, box.bottom - box.top};
}

void AddInstanceDialog::MoveWindowTo(int left, int top) {
  if (IsOpen())
    SetWindowPos(Handle(), nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void AddInstanceDialog::OnDestroy() {
  if (Owner() != nullptr && !IsWindowEnabled(Owner())) EnableWindow(Owner(), TRUE);
}
