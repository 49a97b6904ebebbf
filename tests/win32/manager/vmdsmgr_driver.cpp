// vmdsmgr_driver: drives the running VMDSMgr.exe from outside, the way a user would, for the
// end-to-end test under Wine. One command per run:
//
// A control ID is looked up in the main window, then in the Add New Instance dialog and the About
// box while they are open; "state" and "window-rect" cover those windows too.
//
//   wait-main SECONDS            wait until the main window is shown
//   count-main                   number of main windows (prints the count)
//   get-text ID                  text of an edit box or label, or the selected entry of a list
//   set-text ID TEXT             sets an edit box's text as typing would (the edit box then
//                                reports the change to the window itself)
//   select ID INDEX              picks entry INDEX of a drop-down list and reports the selection
//   select-text ID TEXT          the same, by the entry's text
//   click ID                     presses a button or check box (posted: returns at once)
//   enabled ID | checked ID      prints 1 or 0
//   rows                         every row of the instance list, cells tab-separated
//   selected-row                 the selected row (-1 none)
//   click-row N                  a mouse click on row N of the instance list (posted)
//   click-column N               a mouse click on the header of column N of the instance list
//   select-row N                 selects row N through the list's item state
//   key return|escape            the key pressed in the manager's focused control (posted)
//   focus                        id of the control that has the input focus (0 the window, -1 none)
//   state                        all of the above at once, one "key=value" per line
//   expect-message SECONDS TEXT ANSWER
//                                waits for a message box of the manager, prints its title, text,
//                                buttons and its owner's window class, compares the text exactly
//                                (CR and LF in it are compared as the two characters \r and \n)
//                                and the title with the product name, then answers OK, YES, NO or
//                                CANCEL and waits for the box to close
//   expect-one-of SECONDS ANSWER TEXT...
//                                the same for a box whose text is one of the TEXTs
//   no-message SECONDS           fails when a message box of the manager shows up within SECONDS
//   close                        posts WM_CLOSE to the main window
//   wait-gone SECONDS            waits until no main window and no VMDSMgr.exe process is left
//   window-rect [add|about]      LEFT TOP WIDTH HEIGHT of the main window (or of the dialog)
//
// Exit code 0 when the command did what it says, 1 when not (the reason is on stderr), 2 for a
// wrong command line. Every wait is bounded by its SECONDS argument or by a fixed short limit.

#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "resource.h"

namespace {

constexpr const wchar_t* kProductName = L"Velmora Device Server - Instance Manager";
constexpr const wchar_t* kManagerExe = L"vmdsmgr.exe";
constexpr UINT kSendTimeoutMs = 5000;  // a window that does not answer a query in 5 s is hung
constexpr int kMessageTextId = 0xFFFF;

struct Failure {
  std::string reason;
};

struct UsageError {
  std::string reason;
};

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& reason) { throw Failure{reason}; }

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

DWORD ProcessOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

LRESULT Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, kSendTimeoutMs, &result)) {
    Fail("the window did not answer message 0x" + std::to_string(message) + " within " +
         std::to_string(kSendTimeoutMs) + " ms (error " + std::to_string(GetLastError()) + ")");
  }
  return static_cast<LRESULT>(result);
}

// ---- Time ------------------------------------------------------------------------------------

class Deadline {
 public:
  explicit Deadline(double seconds)
      : end_(GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000.0)) {}
  bool Passed() const { return GetTickCount64() >= end_; }

 private:
  ULONGLONG end_;
};

// The pause between two looks at the other process while waiting for it (a poll interval, not a
// synchronisation: every wait ends on the state it looks for or on its deadline).
void PollPause() { Sleep(20); }

double Seconds(const wchar_t* text) {
  wchar_t* end = nullptr;
  double value = std::wcstod(text, &end);
  if (end == text || *end != 0 || value < 0 || value > 600) Fail("bad SECONDS: " + Utf8(text));
  return value;
}

long Number(const wchar_t* text) {
  wchar_t* end = nullptr;
  long value = std::wcstol(text, &end, 0);
  if (end == text || *end != 0) Fail("not a number: " + Utf8(text));
  return value;
}

// ---- The manager's windows -------------------------------------------------------------------

std::set<DWORD> ManagerProcesses() {
  std::set<DWORD> pids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return pids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, kManagerExe) == 0) pids.insert(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return pids;
}

std::vector<HWND> TopLevelWindows(const std::wstring& className) {
  struct Search {
    std::wstring className;
    std::vector<HWND> found;
  } search{className, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        if (ClassOf(window) == s->className) s->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<HWND> MainWindows() {
  static const std::wstring mainClass = [] {
    std::string narrow = VMDSMGR_MAIN_CLASS;
    return std::wstring(narrow.begin(), narrow.end());
  }();
  return TopLevelWindows(mainClass);
}

HWND MainWindow() {
  std::vector<HWND> windows = MainWindows();
  if (windows.empty()) Fail("no main window (class " VMDSMGR_MAIN_CLASS ")");
  if (windows.size() > 1) Fail(std::to_string(windows.size()) + " main windows");
  return windows.front();
}

bool IsClass(HWND window, const wchar_t* name) {
  return _wcsicmp(ClassOf(window).c_str(), name) == 0;
}

// A control of a window by its id, at any depth (controls may sit inside frames); null if none.
HWND FindControl(HWND main, int id) {
  struct Search {
    int id;
    HWND found;
  } search{id, nullptr};
  EnumChildWindows(
      main,
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        // The parts of a control (a combo box's edit is 1001, a list view's header) do not count.
        HWND parent = GetParent(window);
        if (parent && (IsClass(parent, WC_COMBOBOXW) || IsClass(parent, WC_LISTVIEWW))) return TRUE;
        if (GetDlgCtrlID(window) == s->id) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND Control(HWND main, int id) {
  HWND found = FindControl(main, id);
  if (!found) Fail("the window has no control " + std::to_string(id));
  return found;
}

// The shown windows of the Add New Instance dialog ("add") and of the About box ("about").
struct Popup {
  const char* key;
  const char* className;
  std::vector<int> ids;
};

const Popup kPopups[] = {
    {"add", VMDSMGR_ADD_INSTANCE_CLASS,
     {IDC_NEW_INSTANCE_NAME, IDC_NEW_TCP_PORT, IDC_NEW_SERIAL_PORT, IDC_NEW_PORT_PRESENCE,
      IDC_CREATE_INSTANCE, IDC_CANCEL_INSTANCE}},
    {"about", VMDSMGR_ABOUT_CLASS,
     {IDC_ABOUT_MAKER, IDC_ABOUT_VERSION, IDC_ABOUT_LEGAL, IDC_ABOUT_SUPPORT, IDC_ABOUT_WEB,
      IDC_ABOUT_OK}},
};

HWND OpenPopup(const Popup& popup) {
  std::string narrow = popup.className;
  for (HWND window : TopLevelWindows(std::wstring(narrow.begin(), narrow.end())))
    if (IsWindowVisible(window)) return window;
  return nullptr;
}

const Popup& PopupByKey(const std::wstring& key) {
  for (const Popup& popup : kPopups)
    if (key == std::wstring(popup.key, popup.key + std::strlen(popup.key))) return popup;
  Fail("no window " + Utf8(key) + " (add or about)");
}

HWND ControlById(const wchar_t* idText) {
  const int id = static_cast<int>(Number(idText));
  HWND main = MainWindow();
  if (HWND found = FindControl(main, id)) return found;
  for (const Popup& popup : kPopups)
    if (HWND window = OpenPopup(popup))
      if (HWND found = FindControl(window, id)) return found;
  Fail("no control " + std::to_string(id) + " in the manager's open windows");
}

std::wstring WindowText(HWND window) {
  LRESULT length = Send(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  LRESULT got = Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(got));
  return text;
}

// Cross-process CB_GETLBTEXT works through the wide message only.
std::wstring ComboEntry(HWND combo, LRESULT index) {
  if (index < 0) return {};
  LRESULT length = Send(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  LRESULT got =
      Send(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  if (got == CB_ERR) return {};
  text.resize(static_cast<size_t>(got));
  return text;
}

std::wstring ControlText(HWND control) {
  if (IsClass(control, WC_COMBOBOXW)) return ComboEntry(control, Send(control, CB_GETCURSEL, 0, 0));
  return WindowText(control);
}

bool IsCheckBox(HWND control) {
  if (!IsClass(control, WC_BUTTONW)) return false;
  LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
         type == BS_AUTO3STATE;
}

// ---- Memory in the manager's process (list view items) ---------------------------------------

class RemoteBuffer {
 public:
  RemoteBuffer(HWND window, size_t size) : size_(size) {
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                           ProcessOf(window));
    if (!process_)
      Fail("cannot open the manager's process (error " + std::to_string(GetLastError()) + ")");
    memory_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!memory_) {
      CloseHandle(process_);
      Fail("cannot allocate memory in the manager's process");
    }
  }
  ~RemoteBuffer() {
    VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    CloseHandle(process_);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;

  char* Address() const { return static_cast<char*>(memory_); }
  void Write(size_t offset, const void* data, size_t size) {
    SIZE_T done = 0;
    if (offset + size > size_ ||
        !WriteProcessMemory(process_, Address() + offset, data, size, &done) || done != size)
      Fail("cannot write into the manager's process");
  }
  void Read(size_t offset, void* data, size_t size) {
    SIZE_T done = 0;
    if (offset + size > size_ ||
        !ReadProcessMemory(process_, Address() + offset, data, size, &done) || done != size)
      Fail("cannot read from the manager's process");
  }

 private:
  size_t size_;
  HANDLE process_ = nullptr;
  void* memory_ = nullptr;
};

HWND ListView() {
  HWND list = Control(MainWindow(), IDC_INSTANCE_LIST);
  if (!IsClass(list, WC_LISTVIEWW))
    Fail("control " + std::to_string(IDC_INSTANCE_LIST) + " is no list view");
  return list;
}

std::vector<std::vector<std::wstring>> ListRows(HWND list) {
  constexpr size_t kTextChars = 512;
  int rows = static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0));
  HWND header = reinterpret_cast<HWND>(Send(list, LVM_GETHEADER, 0, 0));
  int columns = header ? static_cast<int>(Send(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
  if (columns < 1) columns = 1;
  RemoteBuffer remote(list, sizeof(LVITEMW) + kTextChars * sizeof(wchar_t));
  std::vector<std::vector<std::wstring>> result;
  for (int row = 0; row < rows; ++row) {
    std::vector<std::wstring> cells;
    for (int column = 0; column < columns; ++column) {
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = row;
      item.iSubItem = column;
      item.pszText = reinterpret_cast<wchar_t*>(remote.Address() + sizeof(LVITEMW));
      item.cchTextMax = static_cast<int>(kTextChars);
      wchar_t empty = 0;
      remote.Write(0, &item, sizeof item);
      remote.Write(sizeof(LVITEMW), &empty, sizeof empty);
      LRESULT length = Send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                            reinterpret_cast<LPARAM>(remote.Address()));
      std::wstring text(kTextChars, L'\0');
      remote.Read(sizeof(LVITEMW), text.data(), kTextChars * sizeof(wchar_t));
      text.resize(std::min(static_cast<size_t>(length < 0 ? 0 : length), kTextChars - 1));
      cells.push_back(text);
    }
    result.push_back(cells);
  }
  return result;
}

int SelectedRow(HWND list) {
  return static_cast<int>(Send(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

int RowCount(HWND list) { return static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0)); }

void CheckRow(HWND list, long row) {
  int count = RowCount(list);
  if (row < 0 || row >= count)
    Fail("row " + std::to_string(row) + " does not exist (" + std::to_string(count) + " rows)");
}

// A left click into the label of the row's first cell, as the mouse would send it.
void ClickRow(long row) {
  HWND list = ListView();
  CheckRow(list, row);
  Send(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
  RemoteBuffer remote(list, sizeof(RECT));
  RECT rect{};
  rect.left = LVIR_LABEL;
  remote.Write(0, &rect, sizeof rect);
  if (!Send(list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
            reinterpret_cast<LPARAM>(remote.Address())))
    Fail("no rectangle for row " + std::to_string(row));
  remote.Read(0, &rect, sizeof rect);
  int x = (rect.left + rect.right) / 2;
  int y = (rect.top + rect.bottom) / 2;
  LPARAM where = MAKELPARAM(x, y);
  PostMessageW(list, WM_MOUSEMOVE, 0, where);
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, where);
  PostMessageW(list, WM_LBUTTONUP, 0, where);
}

// A left click into the middle of a column's header, as the mouse would send it: the header
// notifies the list, which notifies the window (LVN_COLUMNCLICK).
void ClickColumn(long column) {
  HWND header = reinterpret_cast<HWND>(Send(ListView(), LVM_GETHEADER, 0, 0));
  if (header == nullptr) Fail("the list has no header");
  RemoteBuffer remote(header, sizeof(RECT));
  RECT rect{};
  remote.Write(0, &rect, sizeof rect);
  if (!Send(header, HDM_GETITEMRECT, static_cast<WPARAM>(column),
            reinterpret_cast<LPARAM>(remote.Address())))
    Fail("no header item " + std::to_string(column));
  remote.Read(0, &rect, sizeof rect);
  LPARAM where = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
  PostMessageW(header, WM_MOUSEMOVE, 0, where);
  PostMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, where);
  PostMessageW(header, WM_LBUTTONUP, 0, where);
}

// Selection through the item state: the list reports LVN_ITEMCHANGED to the window.
void SelectRow(long row) {
  HWND list = ListView();
  CheckRow(list, row);
  RemoteBuffer remote(list, sizeof(LVITEMW));
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  remote.Write(0, &item, sizeof item);
  if (!Send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
            reinterpret_cast<LPARAM>(remote.Address())))
    Fail("LVM_SETITEMSTATE failed for row " + std::to_string(row));
}

// ---- Focus -----------------------------------------------------------------------------------

int FocusId() {
  HWND main = MainWindow();
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info))
    Fail("GetGUIThreadInfo failed (error " + std::to_string(GetLastError()) + ")");
  HWND focus = info.hwndFocus;
  if (!focus) return -1;
  if (focus == main) return 0;
  // The edit inside a combo box or the header of a list counts as that control.
  while (focus && GetParent(focus) != main && !GetDlgCtrlID(focus)) focus = GetParent(focus);
  HWND parent = focus ? GetParent(focus) : nullptr;
  if (parent && parent != main && (IsClass(parent, WC_COMBOBOXW) || IsClass(parent, WC_LISTVIEWW)))
    focus = parent;
  return focus ? GetDlgCtrlID(focus) : -1;
}

// A key pressed in the control of the manager that has the focus, as the keyboard would post
// it: the manager's message loop gives it to its dialog navigation (Enter, Esc).
void PressKey(const std::wstring& name) {
  const UINT key = name == L"return" ? VK_RETURN : name == L"escape" ? VK_ESCAPE : 0;
  if (key == 0) Fail("unknown key " + Utf8(name));
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(MainWindow(), nullptr), &info))
    Fail("GetGUIThreadInfo failed (error " + std::to_string(GetLastError()) + ")");
  if (!info.hwndFocus) Fail("no window of the manager has the focus");
  PostMessageW(info.hwndFocus, WM_KEYDOWN, key, 1);
  PostMessageW(info.hwndFocus, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001));
}

// ---- Message boxes ---------------------------------------------------------------------------

std::vector<HWND> MessageBoxes() {
  std::set<DWORD> managers = ManagerProcesses();
  std::vector<HWND> boxes;
  for (HWND dialog : TopLevelWindows(L"#32770")) {
    if (!IsWindowVisible(dialog) || !managers.count(ProcessOf(dialog))) continue;
    if (!GetDlgItem(dialog, kMessageTextId) && !GetDlgItem(dialog, IDOK) &&
        !GetDlgItem(dialog, IDYES))
      continue;
    boxes.push_back(dialog);
  }
  return boxes;
}

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\r')
      out += L"\\r";
    else if (c == L'\n')
      out += L"\\n";
    else
      out += c;
  }
  return out;
}

struct ShownMessage {
  HWND dialog;
  std::wstring title;
  std::wstring text;
  std::string buttons;
};

ShownMessage Describe(HWND dialog) {
  ShownMessage shown{dialog, WindowText(dialog), {}, {}};
  if (HWND text = GetDlgItem(dialog, kMessageTextId)) shown.text = WindowText(text);
  const std::pair<int, const char*> buttons[] = {
      {IDOK, "OK"}, {IDYES, "YES"}, {IDNO, "NO"}, {IDCANCEL, "CANCEL"}};
  for (auto [id, name] : buttons) {
    HWND button = GetDlgItem(dialog, id);
    if (button && IsWindowVisible(button))
      shown.buttons += (shown.buttons.empty() ? "" : " ") + std::string(name);
  }
  return shown;
}

int AnswerId(const std::wstring& answer) {
  if (answer == L"OK") return IDOK;
  if (answer == L"YES") return IDYES;
  if (answer == L"NO") return IDNO;
  if (answer == L"CANCEL") return IDCANCEL;
  Fail("ANSWER must be OK, YES, NO or CANCEL, not " + Utf8(answer));
}

void ExpectMessage(double seconds, const std::vector<std::wstring>& expected,
                   const std::wstring& answer) {
  int answerId = AnswerId(answer);
  Deadline deadline(seconds);
  std::vector<HWND> boxes;
  for (;;) {
    boxes = MessageBoxes();
    if (!boxes.empty() || deadline.Passed()) break;
    PollPause();
  }
  if (boxes.empty())
    Fail("no message box of the manager within " + Utf8(std::to_wstring(seconds)) + " s");
  if (boxes.size() > 1) Fail(std::to_string(boxes.size()) + " message boxes at once");
  ShownMessage shown = Describe(boxes.front());
  Print("title: " + Utf8(shown.title));
  Print("text: " + Utf8(Escaped(shown.text)));
  Print("buttons: " + shown.buttons);
  Print("owner: " + Utf8(ClassOf(GetWindow(shown.dialog, GW_OWNER))));
  if (std::find(expected.begin(), expected.end(), Escaped(shown.text)) == expected.end()) {
    std::string wanted;
    for (const std::wstring& text : expected) wanted += "\n  " + Utf8(text);
    Fail("message text differs; expected:" + wanted);
  }
  if (shown.title != kProductName) Fail("message box title is not the product name");
  HWND button = GetDlgItem(shown.dialog, answerId);
  if (!button || !IsWindowVisible(button)) Fail("the message box has no button " + Utf8(answer));
  PostMessageW(shown.dialog, WM_COMMAND, MAKEWPARAM(answerId, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
  Deadline closing(10);
  while (IsWindow(shown.dialog) && IsWindowVisible(shown.dialog)) {
    if (closing.Passed()) Fail("the message box did not close within 10 s after the answer");
    PollPause();
  }
  Print("answered: " + Utf8(answer));
}

void NoMessage(double seconds) {
  Deadline deadline(seconds);
  for (;;) {
    std::vector<HWND> boxes = MessageBoxes();
    if (!boxes.empty()) {
      ShownMessage shown = Describe(boxes.front());
      Fail("unexpected message box: " + Utf8(Escaped(shown.text)));
    }
    if (deadline.Passed()) break;
    PollPause();
  }
  Print("no message");
}

// ---- Whole state -----------------------------------------------------------------------------

struct Named {
  int id;
  const char* name;
};

constexpr Named kControls[] = {
    {IDC_INSTANCE_LIST, "InstanceList"},
    {IDC_ADD_INSTANCE, "AddInstance"},
    {IDC_REMOVE_INSTANCE, "RemoveInstance"},
    {IDC_START_SERVICE, "StartService"},
    {IDC_STOP_SERVICE, "StopService"},
    {IDC_STATUS_DETAILS, "StatusDetails"},
    {IDC_HOST_NAME, "HostName"},
    {IDC_TCP_PORT, "TCPPort"},
    {IDC_SERIAL_PORT, "SerialPort"},
    {IDC_INSTANCE_NAME, "InstanceName"},
    {IDC_SERVICE_NAME, "ServiceName"},
    {IDC_PORT_PRESENCE, "PortPresence"},
    {IDC_BIT_RATE, "BitRate"},
    {IDC_DATA_BITS, "DataBits"},
    {IDC_PARITY, "Parity"},
    {IDC_STOP_BITS, "StopBits"},
    {IDC_MAX_CONN_TIME, "MaxConnTime"},
    {IDC_MAX_IDLE_TIME, "MaxIdleTime"},
    {IDC_DROP_DTR, "DropDTR"},
    {IDC_DROP_RTS, "DropRTS"},
    {IDC_ALLOWED_CLIENTS, "AllowedClients"},
    {IDC_LISTEN_ADDRESS, "ListenAddress"},
    {IDC_REMOTE_PORT_CONTROL, "RemotePortControl"},
    {IDC_LOG_FILE, "LogFile"},
    {IDC_BROWSE, "Browse"},
    {IDC_VIEW_LOG, "ViewLog"},
    {IDC_DEBUG_MODE, "DebugMode"},
    {IDC_DEFAULT_SETTINGS, "DefaultSettings"},
    {IDC_SAVE, "Save"},
    {IDC_VIEW_MANUAL, "ViewManual"},
    {IDC_ABOUT, "About"},
    {IDC_EXIT, "Exit"},
    {IDC_PROGRESS, "Progress"},
    {IDC_TLS_CERTIFICATE, "TlsCertificate"},
    {IDC_TLS_CERTIFICATE_BROWSE, "TlsCertificateBrowse"},
    {IDC_TLS_KEY, "TlsKey"},
    {IDC_TLS_KEY_BROWSE, "TlsKeyBrowse"},
    {IDC_TLS_CLIENT_CA, "TlsClientCa"},
    {IDC_TLS_CLIENT_CA_BROWSE, "TlsClientCaBrowse"},
};

void PrintControl(HWND window, int id) {
  std::string key = std::to_string(id);
  if (id != IDC_INSTANCE_LIST) Print(key + ".text=" + Utf8(Escaped(ControlText(window))));
  Print(key + ".enabled=" + (IsWindowEnabled(window) ? "1" : "0"));
  if (IsCheckBox(window))
    Print(key + ".checked=" + (Send(window, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0"));
}

// "key=value" lines; the key of a control is its id. Texts with line breaks are escaped. The
// controls of the Add New Instance dialog and the About box are listed while they are open.
void PrintState() {
  HWND main = MainWindow();
  Print("caption=" + Utf8(WindowText(main)));
  Print(std::string("main.enabled=") + (IsWindowEnabled(main) ? "1" : "0"));
  for (const Named& control : kControls) PrintControl(Control(main, control.id), control.id);
  for (const Popup& popup : kPopups) {
    HWND window = OpenPopup(popup);
    Print(std::string(popup.key) + ".open=" + (window ? "1" : "0"));
    if (!window) continue;
    Print(std::string(popup.key) + ".caption=" + Utf8(WindowText(window)));
    for (int id : popup.ids) PrintControl(Control(window, id), id);
  }
  HWND list = Control(main, IDC_INSTANCE_LIST);
  for (const auto& row : ListRows(list)) {
    std::wstring line;
    for (size_t i = 0; i < row.size(); ++i) line += (i ? L"\t" : L"") + row[i];
    Print("row=" + Utf8(line));
  }
  Print("selected=" + std::to_string(SelectedRow(list)));
  Print("focus=" + std::to_string(FocusId()));
}

// ---- Commands --------------------------------------------------------------------------------

int Usage() {
  std::fputs("usage: vmdsmgr_driver COMMAND ARGS... (see the top of vmdsmgr_driver.cpp)\n", stderr);
  return 2;
}

int Run(const std::vector<std::wstring>& args) {
  if (args.empty()) return Usage();
  const std::wstring& command = args[0];
  auto need = [&](size_t count) {
    if (args.size() != count + 1)
      throw UsageError{"usage: " + Utf8(command) + " takes " + std::to_string(count) +
                       " argument(s)"};
  };

  if (command == L"wait-main") {
    need(1);
    Deadline deadline(Seconds(args[1].c_str()));
    for (;;) {
      std::vector<HWND> windows = MainWindows();
      if (windows.size() == 1 && IsWindowVisible(windows.front())) break;
      if (deadline.Passed())
        Fail("no shown main window within " + Utf8(args[1]) + " s (" +
             std::to_string(windows.size()) + " main windows)");
      PollPause();
    }
    Print("main window shown");
  } else if (command == L"count-main") {
    need(0);
    Print(std::to_string(MainWindows().size()));
  } else if (command == L"get-text") {
    need(1);
    Print(Utf8(Escaped(ControlText(ControlById(args[1].c_str())))));
  } else if (command == L"set-text") {
    need(2);
    HWND edit = ControlById(args[1].c_str());
    if (!IsClass(edit, WC_EDITW)) Fail("control " + Utf8(args[1]) + " is no edit box");
    if (!IsWindowEnabled(edit)) Fail("control " + Utf8(args[1]) + " is disabled");
    // WM_SETTEXT makes the edit box send EN_CHANGE to its parent, as typing does.
    if (!Send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(args[2].c_str())))
      Fail("WM_SETTEXT refused");
  } else if (command == L"select" || command == L"select-text") {
    need(2);
    HWND combo = ControlById(args[1].c_str());
    if (!IsClass(combo, WC_COMBOBOXW)) Fail("control " + Utf8(args[1]) + " is no drop-down list");
    if (!IsWindowEnabled(combo)) Fail("control " + Utf8(args[1]) + " is disabled");
    LRESULT index;
    if (command == L"select") {
      index = Number(args[2].c_str());
    } else {
      // CB_FINDSTRINGEXACT ignores case: check the entry found.
      index = Send(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(args[2].c_str()));
      if (index == CB_ERR || ComboEntry(combo, index) != args[2])
        Fail("the list has no entry " + Utf8(args[2]));
    }
    LRESULT count = Send(combo, CB_GETCOUNT, 0, 0);
    if (index < 0 || index >= count)
      Fail("entry " + std::to_string(index) + " does not exist (" + std::to_string(count) +
           " entries)");
    Send(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    Send(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
         reinterpret_cast<LPARAM>(combo));
  } else if (command == L"click") {
    need(1);
    HWND button = ControlById(args[1].c_str());
    if (!IsWindowEnabled(button)) Fail("control " + Utf8(args[1]) + " is disabled");
    if (!PostMessageW(button, BM_CLICK, 0, 0)) Fail("cannot post BM_CLICK");
  } else if (command == L"enabled") {
    need(1);
    Print(IsWindowEnabled(ControlById(args[1].c_str())) ? "1" : "0");
  } else if (command == L"checked") {
    need(1);
    Print(Send(ControlById(args[1].c_str()), BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0");
  } else if (command == L"rows") {
    need(0);
    for (const auto& row : ListRows(ListView())) {
      std::wstring line;
      for (size_t i = 0; i < row.size(); ++i) line += (i ? L"\t" : L"") + row[i];
      Print(Utf8(line));
    }
  } else if (command == L"selected-row") {
    need(0);
    Print(std::to_string(SelectedRow(ListView())));
  } else if (command == L"click-row") {
    need(1);
    ClickRow(Number(args[1].c_str()));
  } else if (command == L"click-column") {
    need(1);
    ClickColumn(Number(args[1].c_str()));
  } else if (command == L"key") {
    need(1);
    PressKey(args[1]);
  } else if (command == L"select-row") {
    need(1);
    SelectRow(Number(args[1].c_str()));
  } else if (command == L"focus") {
    need(0);
    Print(std::to_string(FocusId()));
  } else if (command == L"state") {
    need(0);
    PrintState();
  } else if (command == L"expect-message") {
    need(3);
    ExpectMessage(Seconds(args[1].c_str()), {args[2]}, args[3]);
  } else if (command == L"expect-one-of") {
    if (args.size() < 4) return Usage();
    ExpectMessage(Seconds(args[1].c_str()), {args.begin() + 3, args.end()}, args[2]);
  } else if (command == L"no-message") {
    need(1);
    NoMessage(Seconds(args[1].c_str()));
  } else if (command == L"close") {
    need(0);
    if (!PostMessageW(MainWindow(), WM_CLOSE, 0, 0)) Fail("cannot post WM_CLOSE");
  } else if (command == L"wait-gone") {
    need(1);
    Deadline deadline(Seconds(args[1].c_str()));
    while (!MainWindows().empty() || !ManagerProcesses().empty()) {
      if (deadline.Passed())
        Fail("the manager is still there after " + Utf8(args[1]) + " s (" +
             std::to_string(MainWindows().size()) + " main windows, " +
             std::to_string(ManagerProcesses().size()) + " processes)");
      PollPause();
    }
    Print("gone");
  } else if (command == L"window-rect") {
    if (args.size() > 2) return Usage();
    HWND window = MainWindow();
    if (args.size() == 2 && !(window = OpenPopup(PopupByKey(args[1]))))
      Fail("the window " + Utf8(args[1]) + " is not open");
    RECT rect{};
    if (!GetWindowRect(window, &rect)) Fail("GetWindowRect failed");
    Print(std::to_string(rect.left) + " " + std::to_string(rect.top) + " " +
          std::to_string(rect.right - rect.left) + " " + std::to_string(rect.bottom - rect.top));
  } else {
    return Usage();
  }
  return 0;
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> args;
  for (int i = 1; i < count; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  try {
    return Run(args);
  } catch (const UsageError& usage) {
    std::fprintf(stderr, "vmdsmgr_driver: %s\n", usage.reason.c_str());
    return 2;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "vmdsmgr_driver: %s\n", failure.reason.c_str());
    return 1;
  }
}
