#include "main_display.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "file_open_dialog.h"
#include "main_presenter.h"
#include "message_box.h"
#include "program_file.h"
#include "resource.h"
#include "win32_shell.h"
#include "window_layout.h"

namespace {

// Posted to the window when the user selects a row: the presenter hears of it after the list has
// finished its own mouse or keyboard handling, so a question it asks meanwhile cannot upset the
// list (wParam: the row position).
constexpr UINT kItemClickMessage = WM_APP + 1;
// Posted to the window when it was activated while a presenter call was running (a dialog closed
// by that call): the presenter hears of the activation once the call has ended (wParam: where
// the activation came from).
constexpr UINT kFormActivateMessage = WM_APP + 2;

// The whole window, 898 x 449 client pixels at 96 DPI.
constexpr ControlLayout kLayout[] = {
    // Left: the instance list.
    {kNoId, WC_BUTTONA, "View VMDS Instances", 8, 4, 356, 368, kFrame, 0, FontKind::kUi},
    {IDC_INSTANCE_LIST, WC_LISTVIEWA, "", 18, 24, 336, 300,
     LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP | WS_GROUP, WS_EX_CLIENTEDGE,
     FontKind::kList},
    {IDC_ADD_INSTANCE, WC_BUTTONA, "Add New Instance", 18, 334, 164, 28, kButton | WS_GROUP, 0,
     FontKind::kUi},
    {IDC_REMOVE_INSTANCE, WC_BUTTONA, "Remove Selected Instance", 190, 334, 164, 28, kButton, 0,
     FontKind::kUi},

    // Right: the instance editor.
    {kNoId, WC_BUTTONA, "VMDS Instance", 372, 4, 518, 254, kFrame, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Host Name:", 384, 24, 92, 22, kLabel, 0, FontKind::kUi},
    {IDC_HOST_NAME, WC_EDITA, "", 478, 24, 150, 22, kEdit | ES_READONLY, WS_EX_CLIENTEDGE,
     FontKind::kUi},
    {kNoId, WC_STATICA, "TCP Port Number:", 640, 24, 108, 22, kLabel, 0, FontKind::kUi},
    {IDC_TCP_PORT, WC_EDITA, "", 750, 24, 128, 22, kEdit, WS_EX_CLIENTEDGE, FontKind::kUi},
    {kNoId, WC_STATICA, "Instance Name:", 384, 52, 92, 22, kLabel, 0, FontKind::kUi},
    {IDC_INSTANCE_NAME, WC_STATICA, "", 478, 52, 150, 22, kValue, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Serial Port:", 640, 52, 108, 22, kLabel, 0, FontKind::kUi},
    {IDC_SERIAL_PORT, WC_COMBOBOXA, "", 750, 52, 128, 22, kCombo, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Service Name:", 384, 80, 92, 22, kLabel, 0, FontKind::kUi},
    {IDC_SERVICE_NAME, WC_STATICA, "", 478, 80, 400, 22, kValue, 0, FontKind::kUi},

    {kNoId, WC_BUTTONA, "Serial Port Settings", 384, 110, 208, 138, kFrame, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Bit Rate (bps):", 396, 130, 92, 22, kLabel, 0, FontKind::kUi},
    {IDC_BIT_RATE, WC_COMBOBOXA, "", 490, 130, 90, 22, kCombo, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Data Bits:", 396, 158, 92, 22, kLabel, 0, FontKind::kUi},
    {IDC_DATA_BITS, WC_COMBOBOXA, "", 490, 158, 90, 22, kCombo, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Parity:", 396, 186, 92, 22, kLabel, 0, FontKind::kUi},
    {IDC_PARITY, WC_COMBOBOXA, "", 490, 186, 90, 22, kCombo, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Stop Bits:", 396, 214, 92, 22, kLabel, 0, FontKind::kUi},
    {IDC_STOP_BITS, WC_COMBOBOXA, "", 490, 214, 90, 22, kCombo, 0, FontKind::kUi},

    {kNoId, WC_BUTTONA, "Session Settings", 600, 110, 278, 138, kFrame, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Maximum Connection Time (sec):", 612, 130, 200, 22, kLabel, 0,
     FontKind::kUi},
    {IDC_MAX_CONN_TIME, WC_EDITA, "", 816, 130, 50, 22, kEdit, WS_EX_CLIENTEDGE, FontKind::kUi},
    {kNoId, WC_STATICA, "Maximum Idle Time (sec):", 612, 158, 200, 22, kLabel, 0, FontKind::kUi},
    {IDC_MAX_IDLE_TIME, WC_EDITA, "", 816, 158, 50, 22, kEdit, WS_EX_CLIENTEDGE, FontKind::kUi},
    {IDC_DROP_DTR, WC_BUTTONA, "Drop DTR on Closed TCP Connection:", 612, 186, 254, 22,
     kCheck | WS_GROUP, 0, FontKind::kUi},
    {IDC_DROP_RTS, WC_BUTTONA, "Drop RTS on Closed TCP Connection: ", 612, 214, 254, 22, kCheck, 0,
     FontKind::kUi},

    {kNoId, WC_BUTTONA, "View Log Files", 372, 262, 518, 72, kFrame, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "Log File Location and Name", 384, 280, 290, 16, kLabel, 0,
     FontKind::kUi},
    {IDC_LOG_FILE, WC_EDITA, "", 384, 299, 290, 22, kEdit, WS_EX_CLIENTEDGE, FontKind::kUi},
    {IDC_BROWSE, WC_BUTTONA, "Browse", 682, 297, 92, 26, kButton | WS_GROUP, 0, FontKind::kUi},
    {IDC_VIEW_LOG, WC_BUTTONA, "View Log File", 782, 297, 96, 26, kButton, 0, FontKind::kUi},

    {IDC_DEBUG_MODE, WC_BUTTONA, "Enable Debug Mode:", 384, 347, 150, 22, kCheck | WS_GROUP, 0,
     FontKind::kUi},
    {IDC_DEFAULT_SETTINGS, WC_BUTTONA, "Default Settings", 688, 344, 104, 28, kButton | WS_GROUP,
     0, FontKind::kUi},
    {IDC_SAVE, WC_BUTTONA, "Save", 800, 344, 90, 28, kButton, 0, FontKind::kUi},

    // Bottom row across the window.
    {kNoId, WC_BUTTONA, "", 8, 378, 882, 64, kFrame, 0, FontKind::kUi},
    {IDC_VIEW_MANUAL, WC_BUTTONA, "View User Manual", 20, 398, 124, 28, kButton | WS_GROUP, 0,
     FontKind::kUi},
    {IDC_ABOUT, WC_BUTTONA, "About", 152, 398, 90, 28, kButton, 0, FontKind::kUi},
    // Drawn by the window: long texts wrap to a second line, short ones sit in the middle.
    {IDC_PROGRESS, WC_STATICA, "", 252, 384, 526, 52, SS_OWNERDRAW | SS_NOPREFIX, 0,
     FontKind::kProgress},
    {IDC_EXIT, WC_BUTTONA, "Exit", 786, 398, 92, 28, kButton, 0, FontKind::kUi},
};

constexpr int kClientWidth = 898;
constexpr int kClientHeight = 449;
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// Which control id each Control of the View is.
int IdOf(Control control) {
  switch (control) {
    case Control::VMDSInstanceListView: return IDC_INSTANCE_LIST;
    case Control::cmdAddNewInstance: return IDC_ADD_INSTANCE;
    case Control::cmdRemoveInstance: return IDC_REMOVE_INSTANCE;
    case Control::HostDomainNameTextBox: return IDC_HOST_NAME;
    case Control::TCPPortNumberTextBox: return IDC_TCP_PORT;
    case Control::SerialPortComboBox: return IDC_SERIAL_PORT;
    case Control::InstanceNameValueLabel: return IDC_INSTANCE_NAME;
    case Control::ServiceDisplayNameValueLabel: return IDC_SERVICE_NAME;
    case Control::BitRateComboBox: return IDC_BIT_RATE;
    case Control::DataBitsComboBox: return IDC_DATA_BITS;
    case Control::ParityComboBox: return IDC_PARITY;
    case Control::StopBitsComboBox: return IDC_STOP_BITS;
    case Control::MaxConnTimeTextBox: return IDC_MAX_CONN_TIME;
    case Control::MaxIdleTimeTextBox: return IDC_MAX_IDLE_TIME;
    case Control::DropDTRCheckBox: return IDC_DROP_DTR;
    case Control::DropRTSCheckBox: return IDC_DROP_RTS;
    case Control::BrowseLogFileTextBox: return IDC_LOG_FILE;
    case Control::BrowseCmdBtn: return IDC_BROWSE;
    case Control::ViewLogFileCmdBtn: return IDC_VIEW_LOG;
    case Control::EnableDebugModeCheckBox: return IDC_DEBUG_MODE;
    case Control::DefaultSettingsCmdBtn: return IDC_DEFAULT_SETTINGS;
    case Control::SaveCmdBtn: return IDC_SAVE;
    case Control::ViewManualCmdBtn: return IDC_VIEW_MANUAL;
    case Control::AboutCmdBtn: return IDC_ABOUT;
    case Control::ExitCmdBtn: return IDC_EXIT;
    case Control::ProgressLabel: return IDC_PROGRESS;
  }
  return kNoId;
}

// The editor controls whose user edits the presenter hears of as EditorChanged.
struct EditorEvent {
  int id;
  WORD code;
  Control control;
};
constexpr EditorEvent kEditorEvents[] = {
    {IDC_TCP_PORT, EN_CHANGE, Control::TCPPortNumberTextBox},
    {IDC_LOG_FILE, EN_CHANGE, Control::BrowseLogFileTextBox},
    {IDC_MAX_CONN_TIME, EN_CHANGE, Control::MaxConnTimeTextBox},
    {IDC_MAX_IDLE_TIME, EN_CHANGE, Control::MaxIdleTimeTextBox},
    {IDC_SERIAL_PORT, CBN_SELCHANGE, Control::SerialPortComboBox},
    {IDC_BIT_RATE, CBN_SELCHANGE, Control::BitRateComboBox},
    {IDC_DATA_BITS, CBN_SELCHANGE, Control::DataBitsComboBox},
    {IDC_PARITY, CBN_SELCHANGE, Control::ParityComboBox},
    {IDC_STOP_BITS, CBN_SELCHANGE, Control::StopBitsComboBox},
    {IDC_DROP_DTR, BN_CLICKED, Control::DropDTRCheckBox},
    {IDC_DROP_RTS, BN_CLICKED, Control::DropRTSCheckBox},
    {IDC_DEBUG_MODE, BN_CLICKED, Control::EnableDebugModeCheckBox},
};

bool OwnsFocus(HWND window, HWND focus) {
  return focus != nullptr && (focus == window || IsChild(window, focus));
}

}  // namespace

MainDisplay::~MainDisplay() {
  if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
  fonts_.Delete();
}

int MainDisplay::Scale(int pixelsAt96) const { return ScaleForDpi(pixelsAt96, dpi_); }

bool MainDisplay::Create(HINSTANCE instance) {
  instance_ = instance;
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &MainDisplay::WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VMDSMGR));
  windowClass.hIconSm = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(IDI_VMDSMGR), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = VMDSMGR_MAIN_CLASS;
  if (!RegisterClassExA(&windowClass)) return false;

  const UINT systemDpi = SystemDpi();
  const RECT frame =
      WindowRectForClient(ScaleForDpi(kClientWidth, systemDpi),
                          ScaleForDpi(kClientHeight, systemDpi), kWindowStyle, 0, systemDpi);
  window_ = CreateWindowExA(0, VMDSMGR_MAIN_CLASS, kProductName, kWindowStyle, CW_USEDEFAULT,
                            CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                            nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;

  dpi_ = WindowDpi(window_);
  CreateControls();
  ApplyLayout(dpi_);
  return true;
}

void MainDisplay::CreateControls() {
  WritingScope writing(*this);
  controls_ = CreateLayoutControls(window_, instance_, kLayout);

  HWND list = GetDlgItem(window_, IDC_INSTANCE_LIST);
  SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
               LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  for (int id : {IDC_MAX_CONN_TIME, IDC_MAX_IDLE_TIME})
    SetWindowSubclass(GetDlgItem(window_, id), &MainDisplay::TimeBoxProc,
                      static_cast<UINT_PTR>(id), reinterpret_cast<DWORD_PTR>(this));

  toolTip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
}

void MainDisplay::MakeFonts(UINT dpi) {
  fonts_.Delete();
  const LOGFONTW message = MessageFontForDpi(dpi);
  fonts_.ui = CreateFontIndirectW(&message);

  LOGFONTW list{};
  list.lfHeight = -MulDiv(825, static_cast<int>(dpi), 7200);  // Courier New 8.25 pt
  list.lfWeight = FW_NORMAL;
  list.lfCharSet = DEFAULT_CHARSET;
  list.lfQuality = message.lfQuality;
  list.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  lstrcpynW(list.lfFaceName, L"Courier New", LF_FACESIZE);
  fonts_.list = CreateFontIndirectW(&list);

  LOGFONTW progress = message;
  progress.lfHeight = -MulDiv(975, static_cast<int>(dpi), 7200);  // bold 9.75 pt
  progress.lfWeight = FW_BOLD;
  fonts_.progress = CreateFontIndirectW(&progress);
}

// Places every control and sizes the window for this DPI.
void MainDisplay::ApplyLayout(UINT dpi) {
  WritingScope writing(*this);
  const UINT oldDpi = dpi_;
  dpi_ = dpi;
  // The fonts in use are replaced only after the controls have the new ones.
  LayoutFonts oldFonts = fonts_;
  fonts_ = LayoutFonts{};
  MakeFonts(dpi);
  PlaceLayoutControls(controls_, kLayout, dpi, fonts_);

  HWND list = GetDlgItem(window_, IDC_INSTANCE_LIST);
  if (oldDpi != dpi) {
    HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    const int columns = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    for (int column = 0; column < columns; ++column) {
      const int width = static_cast<int>(SendMessageA(list, LVM_GETCOLUMNWIDTH, column, 0));
      SendMessageA(list, LVM_SETCOLUMNWIDTH, column,
                   MulDiv(width, static_cast<int>(dpi), static_cast<int>(oldDpi)));
    }
  }
  if (toolTip_ != nullptr) SendMessageA(toolTip_, TTM_SETMAXTIPWIDTH, 0, Scale(400));

  const RECT frame =
      WindowRectForClient(Scale(kClientWidth), Scale(kClientHeight), kWindowStyle, 0, dpi);
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(window_, nullptr, TRUE);

  oldFonts.Delete();
}

HWND MainDisplay::ControlWindow(Control control) const {
  return window_ != nullptr ? GetDlgItem(window_, IdOf(control)) : nullptr;
}

bool MainDisplay::UserEventsAllowed() const { return presenter_ != nullptr && writing_ == 0; }

template <typename Call>
void MainDisplay::Report(Call call) {
  if (!UserEventsAllowed() || presenterCalls_ > 0) return;
  ++presenterCalls_;
  RunPresenter(call);
  --presenterCalls_;
}

template <typename Call>
void MainDisplay::RunPresenter(Call& call) {
  try {
    call(*presenter_);
  } catch (const std::exception& failure) {
    // The presenter reports the failures it expects itself; this keeps anything else from
    // unwinding through the system's window procedures.
    ShowMessage(failure.what(), MessageIcon::kExclamation, MessageButtons::kOk);
  }
}

// ---- Messages ----------------------------------------------------------------------------------

LRESULT CALLBACK MainDisplay::WindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
  MainDisplay* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<MainDisplay*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<MainDisplay*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  }
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT CALLBACK MainDisplay::TimeBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR subclassId, DWORD_PTR data) {
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(box, &MainDisplay::TimeBoxProc, subclassId);
    return DefSubclassProc(box, message, wParam, lParam);
  }
  const LRESULT result = DefSubclassProc(box, message, wParam, lParam);
  if (message == WM_LBUTTONDOWN) {
    auto* self = reinterpret_cast<MainDisplay*>(data);
    const Control control = subclassId == IDC_MAX_CONN_TIME ? Control::MaxConnTimeTextBox
                                                             : Control::MaxIdleTimeTextBox;
    self->Report([control](MainPresenter& presenter) { presenter.EditorChanged(control); });
  }
  return result;
}

LRESULT MainDisplay::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (lParam != 0) OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_DRAWITEM:
      if (wParam == IDC_PROGRESS) {
        DrawProgress(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
      }
      break;
    case kItemClickMessage: {
      const int position = static_cast<int>(wParam);
      Report([position](MainPresenter& presenter) { presenter.ItemClick(position); });
      return 0;
    }
    case kFormActivateMessage:
      if (GetActiveWindow() == window_) {
        const auto from = static_cast<ActivatedFrom>(wParam);
        Report([from](MainPresenter& presenter) { presenter.FormActivate(from); });
      }
      return 0;
    case WM_ACTIVATE:
      OnActivate(wParam, lParam);
      return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED)
        Report([](MainPresenter& presenter) { presenter.FormResize(); });
      return 0;
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      ApplyLayout(LOWORD(wParam));
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_CLOSE:
      if (presenter_ == nullptr) {
        DestroyWindow(window_);
        return 0;
      }
      Report([this](MainPresenter& presenter) {
        if (!presenter.FormUnload()) DestroyWindow(window_);
      });
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      window_ = nullptr;
      toolTip_ = nullptr;
      controls_.clear();
      break;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

void MainDisplay::OnCommand(int id, int code) {
  for (const EditorEvent& event : kEditorEvents) {
    if (event.id == id && event.code == code) {
      const Control control = event.control;
      Report([control](MainPresenter& presenter) { presenter.EditorChanged(control); });
      return;
    }
  }
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_SAVE:
      Report([](MainPresenter& presenter) { presenter.SaveClick(); });
      break;
    case IDC_DEFAULT_SETTINGS:
      Report([](MainPresenter& presenter) { presenter.DefaultSettingsClick(); });
      break;
    case IDC_ADD_INSTANCE:
      Report([](MainPresenter& presenter) { presenter.AddClick(); });
      break;
    case IDC_REMOVE_INSTANCE:
      Report([](MainPresenter& presenter) { presenter.RemoveClick(); });
      break;
    case IDC_BROWSE:
      Report([](MainPresenter& presenter) { presenter.BrowseClick(); });
      break;
    case IDC_VIEW_LOG:
      Report([](MainPresenter& presenter) { presenter.ViewLogFileClick(); });
      break;
    case IDC_VIEW_MANUAL:
      Report([](MainPresenter& presenter) { presenter.ViewManualClick(); });
      break;
    case IDC_ABOUT:
      Report([](MainPresenter& presenter) { presenter.AboutClick(); });
      break;
    case IDC_EXIT:
      Report([](MainPresenter& presenter) { presenter.ExitClick(); });
      break;
    default:
      break;
  }
}

LRESULT MainDisplay::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_INSTANCE_LIST) return 0;
  switch (header.code) {
    case LVN_ITEMCHANGED: {
      const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
      const bool becameSelected = (change.uChanged & LVIF_STATE) != 0 &&
                                  (change.uNewState & LVIS_SELECTED) != 0 &&
                                  (change.uOldState & LVIS_SELECTED) == 0 && change.iItem >= 0;
      if (becameSelected && UserEventsAllowed())
        PostMessageA(window_, kItemClickMessage, static_cast<WPARAM>(change.iItem), 0);
      break;
    }
    case LVN_COLUMNCLICK: {
      const int column = reinterpret_cast<const NMLISTVIEW&>(header).iSubItem;
      Report([column](MainPresenter& presenter) { presenter.ColumnClick(column); });
      break;
    }
    case NM_SETFOCUS:
      Report([](MainPresenter& presenter) { presenter.ListGotFocus(); });
      break;
    default:
      break;
  }
  return 0;
}

// The window becomes active or inactive. Keyboard focus leaves with the window and comes back to
// the control that had it.
void MainDisplay::OnActivate(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) == WA_INACTIVE) {
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(window_, focus)) savedFocus_ = focus;
    return;
  }
  if (HIWORD(wParam) != 0) return;  // minimised

  {
    WritingScope writing(*this);
    if (savedFocus_ != nullptr && IsWindow(savedFocus_) && IsWindowEnabled(savedFocus_) &&
        IsWindowVisible(savedFocus_))
      ::SetFocus(savedFocus_);
  }

  // The presenter decides what the activation means; it hears where it came from.
  ActivatedFrom from = ActivatedFrom::kOtherProgram;
  if (messageBoxes_ > 0)
    from = ActivatedFrom::kMessageBox;
  else if (lParam != 0 && GetWindowThreadProcessId(reinterpret_cast<HWND>(lParam), nullptr) ==
                              GetCurrentThreadId())
    from = ActivatedFrom::kOwnWindow;
  if (UserEventsAllowed()) {
    if (presenterCalls_ > 0)
      PostMessageA(window_, kFormActivateMessage, static_cast<WPARAM>(from), 0);
    else
      Report([from](MainPresenter& presenter) { presenter.FormActivate(from); });
  }

  if (!OwnsFocus(window_, GetFocus())) {
    WritingScope writing(*this);
    HWND first = GetNextDlgTabItem(window_, nullptr, FALSE);
    ::SetFocus(first != nullptr ? first : window_);
  }
}

bool MainDisplay::TranslateDialogMessage(MSG& message) {
  if (addDialog_.TranslateDialogMessage(message)) return true;
  if (about_.TranslateDialogMessage(message)) return true;
  return window_ != nullptr && IsDialogMessageA(window_, &message);
}

// ---- MessageView -------------------------------------------------------------------------------

HWND MainDisplay::DialogOwner() const {
  HWND active = GetActiveWindow();
  for (HWND candidate : {addDialog_.Handle(), about_.Handle(), window_}) {
    if (candidate != nullptr && candidate == active && IsWindowVisible(candidate) &&
        IsWindowEnabled(candidate))
      return candidate;
  }
  // Not active (the user is in another program): the Add New Instance dialog while it is open,
  // since the main window is disabled then, else the main window once it is shown.
  if (addDialog_.IsOpen() && IsWindowVisible(addDialog_.Handle())) return addDialog_.Handle();
  return window_ != nullptr && IsWindowVisible(window_) ? window_ : nullptr;
}

MessageAnswer MainDisplay::ShowMessage(const std::string& text, MessageIcon icon,
                                       MessageButtons buttons) {
  return ShowBox(kProductName, text, icon, buttons);
}

MessageAnswer MainDisplay::ShowTitledMessage(const std::string& title, const std::string& text,
                                             MessageIcon icon, MessageButtons buttons) {
  return ShowBox(title.c_str(), text, icon, buttons);
}

MessageAnswer MainDisplay::ShowBox(const char* title, const std::string& text, MessageIcon icon,
                                   MessageButtons buttons) {
  ++messageBoxes_;
  const MessageAnswer answer = ShowMessageBox(DialogOwner(), title, text, icon, buttons);
  --messageBoxes_;
  return answer;
}

void MainDisplay::WriteInstanceListRow(int position, const InstanceListRow& row, bool insert) {
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  LVITEMA item{};
  item.mask = LVIF_TEXT;
  item.iItem = position;
  item.iSubItem = 0;
  item.pszText = const_cast<char*>(row.InstanceName.c_str());
  if (insert) {
    position = static_cast<int>(
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    if (position < 0) return;
  } else {
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(position),
                 reinterpret_cast<LPARAM>(&item));
  }
  const std::string* cells[] = {&row.TCPPort, &row.SerialPort};
  for (int column = 1; column <= 2; ++column) {
    LVITEMA cell{};
    cell.iSubItem = column;
    cell.pszText = const_cast<char*>(cells[column - 1]->c_str());
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(position),
                 reinterpret_cast<LPARAM>(&cell));
  }
}

void MainDisplay::AddInstanceListRow(const InstanceListRow& row) {
  WritingScope writing(*this);
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  WriteInstanceListRow(count, row, true);
}

// ---- View: values ------------------------------------------------------------------------------

std::string MainDisplay::Text(Control control) { return WindowText(ControlWindow(control)); }

void MainDisplay::SetText(Control control, const std::string& text) {
  WritingScope writing(*this);
  SetWindowTextA(ControlWindow(control), text.c_str());
}

void MainDisplay::FillList(Control combo, const std::vector<std::string>& entries) {
  WritingScope writing(*this);
  HWND box = ControlWindow(combo);
  SendMessageA(box, WM_SETREDRAW, FALSE, 0);
  SendMessageA(box, CB_RESETCONTENT, 0, 0);
  for (const std::string& entry : entries)
    SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  SendMessageA(box, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(box, nullptr, TRUE);
}

int MainDisplay::Selection(Control combo) {
  const LRESULT position = SendMessageA(ControlWindow(combo), CB_GETCURSEL, 0, 0);
  return position == CB_ERR ? -1 : static_cast<int>(position);
}

void MainDisplay::Select(Control combo, int position) {
  WritingScope writing(*this);
  SendMessageA(ControlWindow(combo), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

bool MainDisplay::Checked(Control box) {
  return SendMessageA(ControlWindow(box), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void MainDisplay::SetChecked(Control box, bool checked) {
  WritingScope writing(*this);
  SendMessageA(ControlWindow(box), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void MainDisplay::SetEnabled(Control control, bool enabled) {
  WritingScope writing(*this);
  HWND target = ControlWindow(control);
  if (target == nullptr) return;
  // A control that loses its enabled state while it has the keyboard focus hands the focus on,
  // so the keyboard keeps working.
  if (!enabled && GetFocus() == target) {
    HWND next = GetNextDlgTabItem(window_, target, FALSE);
    ::SetFocus(next != nullptr && next != target ? next : window_);
  }
  EnableWindow(target, enabled ? TRUE : FALSE);
}

void MainDisplay::SetFocus(Control control) {
  WritingScope writing(*this);
  HWND target = ControlWindow(control);
  if (target != nullptr) ::SetFocus(target);
}

void MainDisplay::SetToolTip(Control control, const std::string& text) {
  HWND target = ControlWindow(control);
  if (toolTip_ == nullptr || target == nullptr) return;
  TTTOOLINFOA tool{};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window_;
  tool.uId = reinterpret_cast<UINT_PTR>(target);
  tool.hinst = instance_;
  SendMessageA(toolTip_, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  if (text.empty()) return;
  tool.lpszText = const_cast<char*>(text.c_str());
  SendMessageA(toolTip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

void MainDisplay::SetProgress(const std::string& text) {
  WritingScope writing(*this);
  HWND label = ControlWindow(Control::ProgressLabel);
  SetWindowTextA(label, text.c_str());
  InvalidateRect(label, nullptr, TRUE);
}

// The progress text in bold, word-wrapped, centred vertically in its place; a text too long for
// it ends in an ellipsis.
void MainDisplay::DrawProgress(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT area = item.rcItem;
  FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
  const std::string text = WindowText(item.hwndItem);
  if (text.empty()) return;
  HGDIOBJ oldFont = SelectObject(dc, fonts_.progress != nullptr
                                         ? static_cast<HGDIOBJ>(fonts_.progress)
                                         : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  const UINT format = DT_LEFT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL;
  RECT measured = area;
  DrawTextA(dc, text.c_str(), -1, &measured, format | DT_CALCRECT);
  const int height = measured.bottom - measured.top;
  if (height < area.bottom - area.top) area.top += (area.bottom - area.top - height) / 2;
  DrawTextA(dc, text.c_str(), -1, &area, format | DT_END_ELLIPSIS);
  SelectObject(dc, oldFont);
}

void MainDisplay::SetProgressAndRepaint(const std::string& text) {
  SetProgress(text);
  RedrawWindow(ControlWindow(Control::ProgressLabel), nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  // Whatever else waits to be painted (a message box just closed) is painted now too.
  if (window_ != nullptr)
    RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// ---- View: the instance list -------------------------------------------------------------------

int MainDisplay::InstanceListWidth() {
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  RECT client{};
  if (list == nullptr || !GetClientRect(list, &client)) return 0;
  // Room is kept for a vertical scroll bar, so the columns never need a horizontal one.
  const int width = client.right - client.left - SystemMetricForDpi(SM_CXVSCROLL, dpi_);
  return width > 0 ? width : 0;
}

void MainDisplay::AddInstanceListColumn(const std::string& title, int width,
                                        ColumnAlignment alignment) {
  WritingScope writing(*this);
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
  const int position = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
  LVCOLUMNA column{};
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  column.fmt = alignment == ColumnAlignment::kCenter ? LVCFMT_CENTER : LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<char*>(title.c_str());
  column.iSubItem = position;
  SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(position),
               reinterpret_cast<LPARAM>(&column));
}

void MainDisplay::SetInstanceListRows(const std::vector<InstanceListRow>& rows) {
  WritingScope writing(*this);
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  SendMessageA(list, WM_SETREDRAW, FALSE, 0);
  SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  for (size_t i = 0; i < rows.size(); ++i) WriteInstanceListRow(static_cast<int>(i), rows[i], true);
  SendMessageA(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

void MainDisplay::SetInstanceListRow(int position, const InstanceListRow& row) {
  WritingScope writing(*this);
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  if (position < 0 || position >= count) return;
  WriteInstanceListRow(position, row, false);
}

void MainDisplay::SelectInstanceListRow(int position) {
  WritingScope writing(*this);
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  LVITEMA state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  state.state = 0;
  SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
  const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  if (position < 0 || position >= count) return;
  state.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(position),
               reinterpret_cast<LPARAM>(&state));
  SendMessageA(list, LVM_SETSELECTIONMARK, 0, position);
  SendMessageA(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(position), FALSE);
}

// ---- View: placement ---------------------------------------------------------------------------

ScreenRect MainDisplay::ScreenArea() {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  HMONITOR handle = MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY);
  if (handle != nullptr && GetMonitorInfoA(handle, &monitor)) {
    const RECT& r = monitor.rcMonitor;
    return ScreenRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
  }
  return ScreenRect{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

ScreenRect MainDisplay::WindowArea() {
  RECT r{};
  if (window_ == nullptr || !GetWindowRect(window_, &r)) return ScreenRect{};
  return ScreenRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

bool MainDisplay::IsMinimised() { return window_ != nullptr && IsIconic(window_); }

void MainDisplay::MoveWindowTo(int left, int top) {
  WritingScope writing(*this);
  SetWindowPos(window_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainDisplay::RemoveInstanceListRow(int position) {
  WritingScope writing(*this);
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  if (position < 0 || position >= count) return;
  SendMessageA(list, LVM_DELETEITEM, static_cast<WPARAM>(position), 0);
}

int MainDisplay::SelectedInstanceListRow() {
  HWND list = ControlWindow(Control::VMDSInstanceListView);
  if (list == nullptr) return -1;
  const LRESULT position =
      SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_SELECTED, 0));
  return position < 0 ? -1 : static_cast<int>(position);
}

// ---- View: dialogs -----------------------------------------------------------------------------

void MainDisplay::ShowAddInstanceDialog() {
  AddInstanceDialog::Events events;
  // The load belongs to the presenter call that opens the dialog; Create Instance and changes of
  // size are user actions of their own.
  events.load = [this](AddInstanceDialog& dialog) {
    auto load = [&dialog](MainPresenter& presenter) {
      presenter.AddDialogLoad(dialog);
      presenter.AddDialogPlace(dialog, true);
    };
    if (presenter_ != nullptr) RunPresenter(load);
  };
  events.create = [this](AddInstanceDialog& dialog) {
    Report([&dialog](MainPresenter& presenter) { presenter.CreateInstanceClick(dialog); });
  };
  events.resize = [this](AddInstanceDialog& dialog) {
    Report([&dialog](MainPresenter& presenter) { presenter.AddDialogPlace(dialog, false); });
  };
  if (!addDialog_.Open(instance_, window_, std::move(events)))
    ShowMessage("The dialog \"Add New Instance\" could not be opened.",
                MessageIcon::kExclamation, MessageButtons::kOk);
}

std::string MainDisplay::AskForFileName(const FileDialogRequest& request) {
  ++messageBoxes_;
  std::string chosen = ::AskForFileName(DialogOwner(), instance_, request);
  --messageBoxes_;
  return chosen;
}

void MainDisplay::ShowAbout(const AboutTexts& texts) {
  AboutBox::Events events;
  events.web = [this] { OnAboutWeb(); };
  if (!about_.Show(instance_, window_, texts, std::move(events)))
    ShowMessage("The About box could not be opened.", MessageIcon::kExclamation,
                MessageButtons::kOk);
}

// The web button: what the presenter starts through the shell belongs to the About box.
void MainDisplay::OnAboutWeb() {
  if (shell_ != nullptr && about_.IsOpen()) shell_->SetOwner(about_.Handle());
  Report([](MainPresenter& presenter) { presenter.AboutWebClick(); });
  if (shell_ != nullptr) shell_->SetOwner(window_);
}

ProgramVersion MainDisplay::Version() { return ReadProgramVersion(); }

void MainDisplay::CloseDialogs() {
  about_.Close();
  addDialog_.Close();  // enables the main window again
}

void MainDisplay::CloseWindow() {
  if (window_ != nullptr) PostMessageA(window_, WM_CLOSE, 0, 0);
}
