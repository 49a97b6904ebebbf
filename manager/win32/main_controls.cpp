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
    // Left: the instance list.
    Frame("View VMDS Instances", 8, 4, 356, 368),
    {{IDC_INSTANCE_LIST, WC_LISTVIEWA, "", 18, 24, 336, 300,
      LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP | WS_GROUP, WS_EX_CLIENTEDGE,
      FontKind::kList},
     Control::VMDSInstanceListView, Reports::kNothing, nullptr},
    Push(Control::cmdAddNewInstance, IDC_ADD_INSTANCE, "Add New Instance", 18, 334, 164, 28,
         &P::AddClick, WS_GROUP),
    Push(Control::cmdRemoveInstance, IDC_REMOVE_INSTANCE, "Remove Selected Instance", 190, 334,
         164, 28, &P::RemoveClick),

    // Right: the instance editor.
    Frame("VMDS Instance", 372, 4, 518, 254),
    Label("Host Name:", 384, 24, 92, 22),
    EditBox(Control::HostDomainNameTextBox, IDC_HOST_NAME, 478, 24, 150, Reports::kNothing,
            ES_READONLY),
    Label("TCP Port Number:", 640, 24, 108, 22),
    EditBox(Control::TCPPortNumberTextBox, IDC_TCP_PORT, 750, 24, 128),
    Label("Instance Name:", 384, 52, 92, 22),
    Value(Control::InstanceNameValueLabel, IDC_INSTANCE_NAME, 478, 52, 150),
    Label("Serial Port:", 640, 52, 108, 22),
    DropDown(Control::SerialPortComboBox, IDC_SERIAL_PORT, 750, 52, 128),
    Label("Service Name:", 384, 80, 92, 22),
    Value(Control::ServiceDisplayNameValueLabel, IDC_SERVICE_NAME, 478, 80, 400),

    Frame("Serial Port Settings", 384, 110, 208, 138),
    Label("Bit Rate (bps):", 396, 130, 92, 22),
    DropDown(Control::BitRateComboBox, IDC_BIT_RATE, 490, 130, 90),
    Label("Data Bits:", 396, 158, 92, 22),
    DropDown(Control::DataBitsComboBox, IDC_DATA_BITS, 490, 158, 90),
    Label("Parity:", 396, 186, 92, 22),
    DropDown(Control::ParityComboBox, IDC_PARITY, 490, 186, 90),
    Label("Stop Bits:", 396, 214, 92, 22),
    DropDown(Control::StopBitsComboBox, IDC_STOP_BITS, 490, 214, 90),

    Frame("Session Settings", 600, 110, 278, 138),
    Label("Maximum Connection Time (sec):", 612, 130, 200, 22),
    EditBox(Control::MaxConnTimeTextBox, IDC_MAX_CONN_TIME, 816, 130, 50,
            Reports::kChangeAndClick),
    Label("Maximum Idle Time (sec):", 612, 158, 200, 22),
    EditBox(Control::MaxIdleTimeTextBox, IDC_MAX_IDLE_TIME, 816, 158, 50,
            Reports::kChangeAndClick),
    Check(Control::DropDTRCheckBox, IDC_DROP_DTR, "Drop DTR on Closed TCP Connection:", 612, 186,
          254, WS_GROUP),
    Check(Control::DropRTSCheckBox, IDC_DROP_RTS, "Drop RTS on Closed TCP Connection: ", 612, 214,
          254),

    Frame("View Log Files", 372, 262, 518, 72),
    Label("Log File Location and Name", 384, 280, 290, 16),
    EditBox(Control::BrowseLogFileTextBox, IDC_LOG_FILE, 384, 299, 290),
    Push(Control::BrowseCmdBtn, IDC_BROWSE, "Browse", 682, 297, 92, 26, &P::BrowseClick,
         WS_GROUP),
    Push(Control::ViewLogFileCmdBtn, IDC_VIEW_LOG, "View Log File", 782, 297, 96, 26,
         &P::ViewLogFileClick),

    Check(Control::EnableDebugModeCheckBox, IDC_DEBUG_MODE, "Enable Debug Mode:", 384, 347, 150,
          WS_GROUP),
    Push(Control::DefaultSettingsCmdBtn, IDC_DEFAULT_SETTINGS, "Default Settings", 688, 344, 104,
         28, &P::DefaultSettingsClick, WS_GROUP),
    Push(Control::SaveCmdBtn, IDC_SAVE, "Save", 800, 344, 90, 28, &P::SaveClick),

    // Bottom row across the window.
    Frame("", 8, 378, 882, 64),
    Push(Control::ViewManualCmdBtn, IDC_VIEW_MANUAL, "View User Manual", 20, 398, 124, 28,
         &P::ViewManualClick, WS_GROUP),
    Push(Control::AboutCmdBtn, IDC_ABOUT, "About", 152, 398, 90, 28, &P::AboutClick),
    // Drawn by the window: long texts wrap to a second line, short ones sit in the middle.
    {{IDC_PROGRESS, WC_STATICA, "", 252, 384, 526, 52, SS_OWNERDRAW | SS_NOPREFIX, 0,
      FontKind::kProgress},
     Control::ProgressLabel, Reports::kNothing, nullptr},
    Push(Control::ExitCmdBtn, IDC_EXIT, "Exit", 786, 398, 92, 28, &P::ExitClick),
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
