#include "add_instance_dialog.h"

#include <commctrl.h>

#include <utility>

#include "controls.h"
#include "resource.h"

namespace {

constexpr int kNameLimit = 20;  // characters the name field accepts
constexpr DWORD kDialogButton = kButton | BS_NOTIFY;

// 480 x 168 client pixels at 96 DPI; in tab order.
constexpr ControlLayout kAddLayout[] = {
    {kNoId, WC_STATICA, "Instance Name:", 14, 14, 106, 22, kLabel, 0, FontKind::kUi},
    {IDC_NEW_INSTANCE_NAME, WC_EDITA, "", 124, 14, 182, 22, kEdit, WS_EX_CLIENTEDGE,
     FontKind::kUi},
    {kNoId, WC_STATICA, "TCP Port Number:", 14, 62, 106, 22, kLabel, 0, FontKind::kUi},
    {IDC_NEW_TCP_PORT, WC_EDITA, "", 124, 62, 90, 22, kEdit, WS_EX_CLIENTEDGE, FontKind::kUi},
    {kNoId, WC_STATICA, "Serial Port", 14, 94, 106, 22, kLabel, 0, FontKind::kUi},
    {IDC_NEW_SERIAL_PORT, WC_COMBOBOXA, "", 124, 94, 90, 22, kCombo, 0, FontKind::kUi},
    // Beside the list: whether the chosen port is present on this computer.
    {IDC_NEW_PORT_PRESENCE, WC_STATICA, "", 222, 94, 244, 22, kLabel | SS_ENDELLIPSIS, 0,
     FontKind::kUi},
    {IDC_CREATE_INSTANCE, WC_BUTTONA, "Create Instance", 256, 128, 116, 28,
     kDialogButton | BS_DEFPUSHBUTTON | WS_GROUP, 0, FontKind::kUi},
    {IDC_CANCEL_INSTANCE, WC_BUTTONA, "Cancel", 380, 128, 86, 28, kDialogButton, 0,
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
  const PopupShape shape{VMDSMGR_ADD_INSTANCE_CLASS, kAddLayout, 480, 168, IDC_CREATE_INSTANCE,
                         IDC_NEW_INSTANCE_NAME};
  if (!CreatePopup(instance, owner, "Add New Instance", shape)) return false;
  Edit(Item(IDC_NEW_INSTANCE_NAME)).LimitText(kNameLimit);
  if (events_.load) events_.load(*this);
  if (!IsOpen()) return true;  // the load closed it again
  if (owner != nullptr) EnableWindow(owner, FALSE);
  ShowActive();
  return true;
}

std::string AddInstanceDialog::InstanceNameText() {
  return Edit(Item(IDC_NEW_INSTANCE_NAME)).Text();
}

void AddInstanceDialog::SetInstanceNameText(const std::string& text) {
  Edit(Item(IDC_NEW_INSTANCE_NAME)).SetText(text);
}

std::string AddInstanceDialog::TCPPortText() { return Edit(Item(IDC_NEW_TCP_PORT)).Text(); }

void AddInstanceDialog::SetTCPPortText(const std::string& text) {
  Edit(Item(IDC_NEW_TCP_PORT)).SetText(text);
}

void AddInstanceDialog::FillSerialPorts(const std::vector<std::string>& entries, int selected) {
  const ComboBox box(Item(IDC_NEW_SERIAL_PORT));
  box.Fill(entries);
  box.Select(selected);
}

std::string AddInstanceDialog::SerialPortText() {
  const ComboBox box(Item(IDC_NEW_SERIAL_PORT));
  const int position = box.Selection();
  return position < 0 ? std::string() : box.Entry(position);
}

void AddInstanceDialog::SetPortLabel(const std::string& text) {
  ControlWindow(Item(IDC_NEW_PORT_PRESENCE)).SetText(text);
}

void AddInstanceDialog::OnSelectionChanged(int id) {
  if (id == IDC_NEW_SERIAL_PORT && events_.portChanged) events_.portChanged(*this);
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

void AddInstanceDialog::OnDestroy() {
  if (Owner() != nullptr && !IsWindowEnabled(Owner())) EnableWindow(Owner(), TRUE);
}
