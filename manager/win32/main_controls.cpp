#include "main_controls.h"

#include <commctrl.h>

#include <array>

#include "main_presenter.h"
#include "resource.h"

namespace {

constexpr MainControl Frame(const char* caption, int x, int y, int width, int height) {
  return {{kNoId, WC_BUTTONA, caption, x, y, width, height, kFrame, 0, FontKind::kUi},
          Control::ProgressLabel, Reports::kNothing, nullptr};
}
constexpr MainControl Label(const char* caption, int x, int y, int width, int height) {
  return {{kNoId, WC_STATICA, caption, x, y, width, height, kLabel, 0, FontKind::kUi},
          Control::ProgressLabel, Reports::kNothing, nullptr};
}
constexpr MainControl Value(Control control, int id, int x, int y, int width) {
  return {{id, WC_STATICA, "", x, y, width, 22, kValue, 0, FontKind::kUi}, control,
          Reports::kNothing, nullptr};
}
constexpr MainControl EditBox(Control control, int id, int x, int y, int width,
                              Reports reports = Reports::kChange, DWORD style = 0) {
  return {{id, WC_EDITA, "", x, y, width, 22, kEdit | style, WS_EX_CLIENTEDGE, FontKind::kUi},
          control, reports, nullptr};
}
constexpr MainControl DropDown(Control control, int id, int x, int y, int width) {
  return {{id, WC_COMBOBOXA, "", x, y, width, 22, kCombo, 0, FontKind::kUi}, control,
          Reports::kChange, nullptr};
}
constexpr MainControl Check(Control control, int id, const char* caption, int x, int y,
                            int width, DWORD style = 0) {
  return {{id, WC_BUTTONA, caption, x, y, width, 22, kCheck | style, 0, FontKind::kUi}, control,
          Reports::kChange, nullptr};
}
constexpr MainControl Push(Control control, int id, const char* caption, int x, int y, int width,
                           int height, void (MainPresenter::*click)(), DWORD style = 0) {
  return {{id, WC_BUTTONA, caption, x, y, width, height, kButton | style, 0, FontKind::kUi},
          control, Reports::kClick, click};
}

using P = MainPresenter;

// The whole window, kMainClientWidth x kMainClientHeight, in tab order.
constexpr MainControl kControls[] = {
    // Left: the instance list, the shown instance's live state, and the commands on instances.
    Frame("View VMDS Instances", 8, 4, 456, 592),
    {{IDC_INSTANCE_LIST, WC_LISTVIEWA, "", 18, 24, 436, 466,
      LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP | WS_GROUP, WS_EX_CLIENTEDGE,
      FontKind::kList},
     Control::VMDSInstanceListView, Reports::kNothing, nullptr},
    {{IDC_STATUS_DETAILS, WC_STATICA, "", 18, 496, 436, 54, kText, 0, FontKind::kUi},
     Control::StatusDetailsLabel, Reports::kNothing, nullptr},
    Push(Control::cmdAddNewInstance, IDC_ADD_INSTANCE, "Add New Instance", 18, 558, 120, 28,
         &P::AddClick, WS_GROUP),
    Push(Control::cmdRemoveInstance, IDC_REMOVE_INSTANCE, "Remove Selected Instance", 144, 558,
         164, 28, &P::RemoveClick),
    Push(Control::StartServiceCmdBtn, IDC_START_SERVICE, "Start", 316, 558, 66, 28,
         &P::StartClick),
    Push(Control::StopServiceCmdBtn, IDC_STOP_SERVICE, "Stop", 388, 558, 66, 28, &P::StopClick),

    // Right: the instance editor.
    Frame("VMDS Instance", 472, 4, 518, 366),
    Label("Host Name:", 484, 24, 92, 22),
    EditBox(Control::HostDomainNameTextBox, IDC_HOST_NAME, 578, 24, 150, Reports::kNothing,
            ES_READONLY),
    Label("TCP Port Number:", 740, 24, 108, 22),
    EditBox(Control::TCPPortNumberTextBox, IDC_TCP_PORT, 850, 24, 128),
    Label("Instance Name:", 484, 52, 92, 22),
    Value(Control::InstanceNameValueLabel, IDC_INSTANCE_NAME, 578, 52, 150),
    Label("Serial Port:", 740, 52, 108, 22),
    DropDown(Control::SerialPortComboBox, IDC_SERIAL_PORT, 850, 52, 128),
    Label("Service Name:", 484, 80, 92, 22),
    Value(Control::ServiceDisplayNameValueLabel, IDC_SERVICE_NAME, 578, 80, 400),
    // Under the Serial Port list: whether the chosen port is present.
    {{IDC_PORT_PRESENCE, WC_STATICA, "", 578, 108, 400, 22, kLabel | SS_RIGHT | SS_ENDELLIPSIS, 0,
      FontKind::kUi},
     Control::SerialPortPresenceLabel, Reports::kNothing, nullptr},

    Frame("Serial Port Settings", 484, 138, 208, 222),
    Label("Bit Rate (bps):", 496, 158, 92, 22),
    DropDown(Control::BitRateComboBox, IDC_BIT_RATE, 590, 158, 90),
    Label("Data Bits:", 496, 186, 92, 22),
    DropDown(Control::DataBitsComboBox, IDC_DATA_BITS, 590, 186, 90),
    Label("Parity:", 496, 214, 92, 22),
    DropDown(Control::ParityComboBox, IDC_PARITY, 590, 214, 90),
    Label("Stop Bits:", 496, 242, 92, 22),
    DropDown(Control::StopBitsComboBox, IDC_STOP_BITS, 590, 242, 90),

    Frame("Session Settings", 700, 138, 278, 222),
    Label("Maximum Connection Time (sec):", 712, 158, 200, 22),
    EditBox(Control::MaxConnTimeTextBox, IDC_MAX_CONN_TIME, 916, 158, 50,
            Reports::kChangeAndClick),
    Label("Maximum Idle Time (sec):", 712, 186, 200, 22),
    EditBox(Control::MaxIdleTimeTextBox, IDC_MAX_IDLE_TIME, 916, 186, 50,
            Reports::kChangeAndClick),
    Check(Control::DropDTRCheckBox, IDC_DROP_DTR, "Drop DTR on Closed TCP Connection:", 712, 214,
          254, WS_GROUP),
    Check(Control::DropRTSCheckBox, IDC_DROP_RTS, "Drop RTS on Closed TCP Connection: ", 712, 242,
          254),
    Check(Control::RemotePortControlCheckBox, IDC_REMOTE_PORT_CONTROL,
          "Remote port control (RFC 2217)", 712, 270, 254),
    Label("Allowed clients:", 712, 298, 96, 22),
    EditBox(Control::AllowedClientsTextBox, IDC_ALLOWED_CLIENTS, 810, 298, 156),
    Label("Listen address:", 712, 326, 96, 22),
    EditBox(Control::ListenAddressTextBox, IDC_LISTEN_ADDRESS, 810, 326, 156),

    Frame("View Log Files", 472, 374, 518, 72),
    Label("Log File Location and Name", 484, 392, 290, 16),
    EditBox(Control::BrowseLogFileTextBox, IDC_LOG_FILE, 484, 411, 290),
    Push(Control::BrowseCmdBtn, IDC_BROWSE, "Browse", 782, 409, 92, 26, &P::BrowseClick,
         WS_GROUP),
    Push(Control::ViewLogFileCmdBtn, IDC_VIEW_LOG, "View Log File", 882, 409, 96, 26,
         &P::ViewLogFileClick),

    // Encryption (TLS): all three empty, the clients connect without it.
    Frame("Encryption (TLS)", 472, 450, 518, 108),
    Label("Certificate:", 484, 470, 124, 22),
    EditBox(Control::TLSCertificateTextBox, IDC_TLS_CERTIFICATE, 612, 470, 270),
    Push(Control::TLSCertificateBrowseCmdBtn, IDC_TLS_CERTIFICATE_BROWSE, "Browse...", 890, 468,
         88, 26, &P::BrowseCertificateClick, WS_GROUP),
    Label("Private key:", 484, 498, 124, 22),
    EditBox(Control::TLSKeyTextBox, IDC_TLS_KEY, 612, 498, 270),
    Push(Control::TLSKeyBrowseCmdBtn, IDC_TLS_KEY_BROWSE, "Browse...", 890, 496, 88, 26,
         &P::BrowseKeyClick, WS_GROUP),
    Label("Client CA (optional):", 484, 526, 124, 22),
    EditBox(Control::TLSClientCATextBox, IDC_TLS_CLIENT_CA, 612, 526, 270),
    Push(Control::TLSClientCABrowseCmdBtn, IDC_TLS_CLIENT_CA_BROWSE, "Browse...", 890, 524, 88,
         26, &P::BrowseClientCAClick, WS_GROUP),

    Check(Control::EnableDebugModeCheckBox, IDC_DEBUG_MODE, "Enable Debug Mode:", 484, 571, 150,
          WS_GROUP),
    Push(Control::DefaultSettingsCmdBtn, IDC_DEFAULT_SETTINGS, "Default Settings", 788, 568, 104,
         28, &P::DefaultSettingsClick, WS_GROUP),
    Push(Control::SaveCmdBtn, IDC_SAVE, "Save", 900, 568, 90, 28, &P::SaveClick),

    // Bottom row across the window.
    Frame("", 8, 602, 982, 64),
    Push(Control::ViewManualCmdBtn, IDC_VIEW_MANUAL, "View User Manual", 20, 622, 124, 28,
         &P::ViewManualClick, WS_GROUP),
    Push(Control::AboutCmdBtn, IDC_ABOUT, "About", 152, 622, 90, 28, &P::AboutClick),
    // Drawn by the window: long texts wrap to a second line, short ones sit in the middle.
    {{IDC_PROGRESS, WC_STATICA, "", 252, 608, 626, 52, SS_OWNERDRAW | SS_NOPREFIX, 0,
      FontKind::kProgress},
     Control::ProgressLabel, Reports::kNothing, nullptr},
    Push(Control::ExitCmdBtn, IDC_EXIT, "Exit", 886, 622, 92, 28, &P::ExitClick),
};

// The places of kControls, as the window's layout table.
constexpr auto kLayout = [] {
  std::array<ControlLayout, std::size(kControls)> layout{};
  for (size_t i = 0; i < layout.size(); ++i) layout[i] = kControls[i].place;
  return layout;
}();

}  // namespace

std::span<const MainControl> MainControls() { return kControls; }

std::span<const ControlLayout> MainLayout() { return kLayout; }

const MainControl* MainControlOf(int id) {
  for (const MainControl& row : kControls)
    if (row.place.id != kNoId && row.place.id == id) return &row;
  return nullptr;
}

const MainControl* MainControlOf(Control control) {
  for (const MainControl& row : kControls)
    if (row.place.id != kNoId && row.control == control) return &row;
  return nullptr;
}

WORD ChangeCode(const char* windowClass) {
  if (lstrcmpA(windowClass, WC_EDITA) == 0) return EN_CHANGE;
  if (lstrcmpA(windowClass, WC_COMBOBOXA) == 0) return CBN_SELCHANGE;
  return BN_CLICKED;
}
