#include "main_display.h"

#include <commctrl.h>

#include <utility>

#include "controls.h"
#include "file_open_dialog.h"
#include "list_view.h"
#include "main_controls.h"
#include "main_presenter.h"
#include "message_box.h"
#include "program_file.h"
#include "resource.h"
#include "win32_shell.h"

namespace {

// Posted to the window when the user selects a row: the presenter hears of it after the list has
// finished its own mouse or keyboard handling, so a question it asks meanwhile cannot upset the
// list (wParam: the row position).
constexpr UINT kItemClickMessage = WM_APP + 1;
// Posted to the window when it was activated while a presenter call was running (a dialog closed
// by that call): the presenter hears of the activation once the call has ended (wParam: where
// the activation came from).
constexpr UINT kFormActivateMessage = WM_APP + 2;

// The timer of the live state, and its period.
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMilliseconds = 2000;

std::vector<std::string> CellsOf(const InstanceListRow& row) {
  return {row.InstanceName, row.TCPPort, row.SerialPort, row.State};
}

}  // namespace

MainDisplay::~MainDisplay() { Destroy(); }

bool MainDisplay::Create(HINSTANCE instance) {
  instance_ = instance;
  const Shape shape{VMDSMGR_MAIN_CLASS,
                    MainLayout(),
                    kMainClientWidth,
                    kMainClientHeight,
                    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                    0,
                    0};
  HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VMDSMGR));
  HICON smallIcon = static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(IDI_VMDSMGR), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  return CreateLayoutWindow(instance, nullptr, kProductName, shape, icon, smallIcon);
}

void MainDisplay::OnCreated() {
  ListView(Item(IDC_INSTANCE_LIST))
      .SetExtendedStyle(LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  for (const MainControl& row : MainControls())
    if (row.reports == Reports::kChangeAndClick)
      SetWindowSubclass(Item(row.place.id), &MainDisplay::TimeBoxProc,
                        static_cast<UINT_PTR>(row.place.id), reinterpret_cast<DWORD_PTR>(this));
  toolTip_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, Handle(), nullptr, instance_, nullptr);
}

void MainDisplay::MakeFonts(UINT dpi, LayoutFonts& fonts) {
  LayoutWindow::MakeFonts(dpi, fonts);
  const LOGFONTW message = MessageFontForDpi(dpi);
  LOGFONTW list{};
  list.lfHeight = -MulDiv(825, static_cast<int>(dpi), 7200);  // Courier New 8.25 pt
  list.lfWeight = FW_NORMAL;
  list.lfCharSet = DEFAULT_CHARSET;
  list.lfQuality = message.lfQuality;
  list.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  lstrcpynW(list.lfFaceName, L"Courier New", LF_FACESIZE);
  fonts.list = CreateFontIndirectW(&list);

  LOGFONTW progress = message;
  progress.lfHeight = -MulDiv(975, static_cast<int>(dpi), 7200);  // bold 9.75 pt
  progress.lfWeight = FW_BOLD;
  fonts.progress = CreateFontIndirectW(&progress);
}

void MainDisplay::OnLayout(UINT oldDpi) {
  ListView(Item(IDC_INSTANCE_LIST)).ScaleColumns(oldDpi, Dpi());
  ToolTip(toolTip_).SetMaxWidth(ScaleForDpi(400, Dpi()));
}

void MainDisplay::OnDestroyed() {
  KillTimer(Handle(), kRefreshTimer);
  toolTip_ = nullptr;
}

void MainDisplay::StartRefreshTimer() {
  Report([](MainPresenter& presenter) { presenter.RefreshTimer(); });
  SetTimer(Handle(), kRefreshTimer, kRefreshMilliseconds, nullptr);
}

HWND MainDisplay::ControlHandle(Control control) const {
  const MainControl* row = MainControlOf(control);
  return row != nullptr ? Item(row->place.id) : nullptr;
}

// ---- Messages ----------------------------------------------------------------------------------

LRESULT CALLBACK MainDisplay::TimeBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR subclassId, DWORD_PTR data) {
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(box, &MainDisplay::TimeBoxProc, subclassId);
    return DefSubclassProc(box, message, wParam, lParam);
  }
  const LRESULT result = DefSubclassProc(box, message, wParam, lParam);
  const MainControl* row = MainControlOf(static_cast<int>(subclassId));
  if (message == WM_LBUTTONDOWN && row != nullptr) {
    const Control control = row->control;
    reinterpret_cast<MainDisplay*>(data)->Report(
        [control](MainPresenter& presenter) { presenter.EditorChanged(control); });
  }
  return result;
}

std::optional<LRESULT> MainDisplay::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (lParam != 0) OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY:
      OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
      return 0;
    case WM_DRAWITEM:
      if (wParam != IDC_PROGRESS) return std::nullopt;
      DrawProgress(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_TIMER:
      if (wParam != kRefreshTimer) return std::nullopt;
      // Skipped while another presenter call runs (a message box is open): the next tick comes.
      Report([](MainPresenter& presenter) { presenter.RefreshTimer(); });
      return 0;
    case kItemClickMessage: {
      const int position = static_cast<int>(wParam);
      Report([position](MainPresenter& presenter) { presenter.ItemClick(position); });
      return 0;
    }
    case kFormActivateMessage:
      if (GetActiveWindow() == Handle()) {
        const auto from = static_cast<ActivatedFrom>(wParam);
        Report([from](MainPresenter& presenter) { presenter.FormActivate(from); });
      }
      return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED)
        Report([](MainPresenter& presenter) { presenter.FormResize(); });
      return 0;
    case WM_CLOSE:
      if (presenter_ == nullptr) {
        DestroyWindow(Handle());
        return 0;
      }
      Report([this](MainPresenter& presenter) {
        if (!presenter.FormUnload()) DestroyWindow(Handle());
      });
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return std::nullopt;
  }
}

void MainDisplay::OnCommand(int id, int code) {
  const MainControl* row = MainControlOf(id);
  if (row == nullptr) return;
  switch (row->reports) {
    case Reports::kChange:
    case Reports::kChangeAndClick:
      if (code == ChangeCode(row->place.windowClass)) {
        const Control control = row->control;
        Report([control](MainPresenter& presenter) { presenter.EditorChanged(control); });
      }
      break;
    case Reports::kClick:
      if (code == BN_CLICKED) {
        const auto click = row->click;
        Report([click](MainPresenter& presenter) { (presenter.*click)(); });
      }
      break;
    case Reports::kNothing:
      break;
  }
}

void MainDisplay::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_INSTANCE_LIST) return;
  const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
  switch (header.code) {
    case LVN_ITEMCHANGED: {
      const bool becameSelected = (change.uChanged & LVIF_STATE) != 0 &&
                                  (change.uNewState & LVIS_SELECTED) != 0 &&
                                  (change.uOldState & LVIS_SELECTED) == 0 && change.iItem >= 0;
      if (becameSelected && presenter_ != nullptr && !Writing())
        PostMessageA(Handle(), kItemClickMessage, static_cast<WPARAM>(change.iItem), 0);
      break;
    }
    case LVN_COLUMNCLICK: {
      const int column = change.iSubItem;
      Report([column](MainPresenter& presenter) { presenter.ColumnClick(column); });
      break;
    }
    case NM_SETFOCUS:
      Report([](MainPresenter& presenter) { presenter.ListGotFocus(); });
      break;
    default:
      break;
  }
}

// The presenter decides what an activation means; it hears where it came from: a message box of
// this window closing, another window of this program (a dialog), or another program.
void MainDisplay::OnActivated(HWND previous) {
  if (presenter_ == nullptr || Writing()) return;
  ActivatedFrom from = ActivatedFrom::kOtherProgram;
  if (messageBoxes_ > 0)
    from = ActivatedFrom::kMessageBox;
  else if (previous != nullptr &&
           GetWindowThreadProcessId(previous, nullptr) == GetCurrentThreadId())
    from = ActivatedFrom::kOwnWindow;
  if (presenterCalls_ > 0)
    PostMessageA(Handle(), kFormActivateMessage, static_cast<WPARAM>(from), 0);
  else
    Report([from](MainPresenter& presenter) { presenter.FormActivate(from); });
}

bool MainDisplay::TranslateMessages(MSG& message) {
  return addDialog_.TranslateDialogMessage(message) || about_.TranslateDialogMessage(message) ||
         TranslateDialogMessage(message);
}

// ---- Message boxes -----------------------------------------------------------------------------

HWND MainDisplay::DialogOwner() const {
  HWND active = GetActiveWindow();
  for (HWND candidate : {addDialog_.Handle(), about_.Handle(), Handle()}) {
    if (candidate != nullptr && candidate == active && IsWindowVisible(candidate) &&
        IsWindowEnabled(candidate))
      return candidate;
  }
  // Not active (the user is in another program): the Add New Instance dialog while it is open,
  // since the main window is disabled then, else the main window once it is shown.
  if (addDialog_.IsOpen() && IsWindowVisible(addDialog_.Handle())) return addDialog_.Handle();
  return Handle() != nullptr && IsWindowVisible(Handle()) ? Handle() : nullptr;
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

// ---- View: values ------------------------------------------------------------------------------

std::string MainDisplay::Text(Control control) {
  return ControlWindow(ControlHandle(control)).Text();
}

void MainDisplay::SetText(Control control, const std::string& text) {
  WritingScope writing(*this);
  ControlWindow(ControlHandle(control)).SetText(text);
}

void MainDisplay::FillList(Control combo, const std::vector<std::string>& entries) {
  WritingScope writing(*this);
  ComboBox(ControlHandle(combo)).Fill(entries);
}

int MainDisplay::Selection(Control combo) { return ComboBox(ControlHandle(combo)).Selection(); }

void MainDisplay::Select(Control combo, int position) {
  WritingScope writing(*this);
  ComboBox(ControlHandle(combo)).Select(position);
}

bool MainDisplay::Checked(Control box) { return CheckBox(ControlHandle(box)).Checked(); }

void MainDisplay::SetChecked(Control box, bool checked) {
  WritingScope writing(*this);
  CheckBox(ControlHandle(box)).SetChecked(checked);
}

void MainDisplay::SetEnabled(Control control, bool enabled) {
  WritingScope writing(*this);
  HWND target = ControlHandle(control);
  if (target == nullptr) return;
  // A control that loses its enabled state while it has the keyboard focus hands the focus on,
  // so the keyboard keeps working.
  if (!enabled && GetFocus() == target) {
    HWND next = GetNextDlgTabItem(Handle(), target, FALSE);
    ::SetFocus(next != nullptr && next != target ? next : Handle());
  }
  ControlWindow(target).Enable(enabled);
}

void MainDisplay::SetFocus(Control control) {
  WritingScope writing(*this);
  ControlWindow(ControlHandle(control)).Focus();
}

void MainDisplay::SetToolTip(Control control, const std::string& text) {
  HWND target = ControlHandle(control);
  if (target != nullptr) ToolTip(toolTip_).SetTip(Handle(), target, instance_, text);
}

void MainDisplay::SetProgress(const std::string& text) {
  WritingScope writing(*this);
  const ControlWindow label(ControlHandle(Control::ProgressLabel));
  label.SetText(text);
  InvalidateRect(label.Handle(), nullptr, TRUE);
}

void MainDisplay::SetProgressAndRepaint(const std::string& text) {
  SetProgress(text);
  RedrawWindow(ControlHandle(Control::ProgressLabel), nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  // Whatever else waits to be painted (a message box just closed) is painted now too.
  if (Handle() != nullptr)
    RedrawWindow(Handle(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// The progress text in bold, word-wrapped, centred vertically in its place; a text too long for
// it ends in an ellipsis.
void MainDisplay::DrawProgress(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT area = item.rcItem;
  FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
  const std::string text = WindowText(item.hwndItem);
  if (text.empty()) return;
  HGDIOBJ oldFont = SelectObject(dc, Fonts().progress != nullptr
                                         ? static_cast<HGDIOBJ>(Fonts().progress)
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

// ---- View: the instance list -------------------------------------------------------------------

int MainDisplay::InstanceListWidth() {
  return ListView(ControlHandle(Control::VMDSInstanceListView)).WidthInside(Dpi());
}

void MainDisplay::AddInstanceListColumn(const std::string& title, int width,
                                        ColumnAlignment alignment) {
  WritingScope writing(*this);
  ListView(ControlHandle(Control::VMDSInstanceListView))
      .AddColumn(title, width, alignment == ColumnAlignment::kCenter);
}

void MainDisplay::AddInstanceListRow(const InstanceListRow& row) {
  WritingScope writing(*this);
  const ListView list(ControlHandle(Control::VMDSInstanceListView));
  list.InsertRow(list.Count(), CellsOf(row));
}

void MainDisplay::SetInstanceListRows(const std::vector<InstanceListRow>& rows) {
  WritingScope writing(*this);
  std::vector<std::vector<std::string>> cells;
  for (const InstanceListRow& row : rows) cells.push_back(CellsOf(row));
  ListView(ControlHandle(Control::VMDSInstanceListView)).SetRows(cells);
}

void MainDisplay::SetInstanceListRow(int position, const InstanceListRow& row) {
  WritingScope writing(*this);
  ListView(ControlHandle(Control::VMDSInstanceListView)).SetRow(position, CellsOf(row));
}

void MainDisplay::SelectInstanceListRow(int position) {
  WritingScope writing(*this);
  ListView(ControlHandle(Control::VMDSInstanceListView)).SelectOnly(position);
}

void MainDisplay::RemoveInstanceListRow(int position) {
  WritingScope writing(*this);
  ListView(ControlHandle(Control::VMDSInstanceListView)).DeleteRow(position);
}

int MainDisplay::SelectedInstanceListRow() {
  return ListView(ControlHandle(Control::VMDSInstanceListView)).Selected();
}

// ---- View: placement ---------------------------------------------------------------------------

bool MainDisplay::IsMinimised() { return Handle() != nullptr && IsIconic(Handle()); }

void MainDisplay::MoveWindowTo(int left, int top) {
  WritingScope writing(*this);
  MoveTo(left, top);
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
  events.portChanged = [this](AddInstanceDialog& dialog) {
    Report([&dialog](MainPresenter& presenter) { presenter.AddDialogPortChanged(dialog); });
  };
  if (!addDialog_.Open(instance_, Handle(), std::move(events)))
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
  if (!about_.Show(instance_, Handle(), texts, std::move(events)))
    ShowMessage("The About box could not be opened.", MessageIcon::kExclamation,
                MessageButtons::kOk);
}

// The web button: what the presenter starts through the shell belongs to the About box.
void MainDisplay::OnAboutWeb() {
  if (shell_ != nullptr && about_.IsOpen()) shell_->SetOwner(about_.Handle());
  Report([](MainPresenter& presenter) { presenter.AboutWebClick(); });
  if (shell_ != nullptr) shell_->SetOwner(Handle());
}

ProgramVersion MainDisplay::Version() { return ReadProgramVersion(); }

void MainDisplay::CloseDialogs() {
  about_.Close();
  addDialog_.Close();  // enables the main window again
}

void MainDisplay::CloseWindow() {
  if (Handle() != nullptr) PostMessageA(Handle(), WM_CLOSE, 0, 0);
}
