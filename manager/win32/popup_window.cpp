#include "popup_window.h"

#include <commctrl.h>

#include "window_placement.h"

namespace {

constexpr DWORD kPopupStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kPopupExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

bool RegisterPopupClass(HINSTANCE instance, const char* className, WNDPROC procedure) {
  WNDCLASSEXA existing{};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExA(instance, className, &existing)) return true;
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = className;
  return RegisterClassExA(&windowClass) != 0;
}

}  // namespace

PopupWindow::~PopupWindow() {
  Destroy();
  fonts_.Delete();
}

bool PopupWindow::CreatePopup(HINSTANCE instance, HWND owner, const char* caption,
                              const Shape& shape) {
  if (window_ != nullptr) return true;
  if (!RegisterPopupClass(instance, shape.className, &PopupWindow::WindowProc)) return false;
  shape_ = shape;
  owner_ = owner;
  style_ = kPopupStyle;
  exStyle_ = kPopupExStyle;

  const UINT systemDpi = owner != nullptr ? WindowDpi(owner) : SystemDpi();
  const RECT frame =
      WindowRectForClient(ScaleForDpi(shape.clientWidth, systemDpi),
                          ScaleForDpi(shape.clientHeight, systemDpi), style_, exStyle_, systemDpi);
  HWND window = CreateWindowExA(exStyle_, shape.className, caption, style_, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                owner, nullptr, instance, this);
  if (window == nullptr) return false;
  dpi_ = WindowDpi(window);
  controls_ = CreateLayoutControls(window_, instance, shape.layout);
  ApplyLayout(dpi_);
  return true;
}

void PopupWindow::ShowActive() {
  if (window_ == nullptr) return;
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
  HWND first = Control(shape_.firstFocus);
  if (first == nullptr) first = GetNextDlgTabItem(window_, nullptr, FALSE);
  if (first != nullptr) {
    ::SetFocus(first);
    UpdateDefaultButton(first);
  }
  savedFocus_ = first;
}

void PopupWindow::Destroy() {
  if (window_ != nullptr) DestroyWindow(window_);
}

HWND PopupWindow::Control(int id) const {
  return window_ != nullptr ? GetDlgItem(window_, id) : nullptr;
}

void PopupWindow::CentreOnScreen() {
  RECT box{};
  if (window_ == nullptr || !GetWindowRect(window_, &box)) return;
  const RECT screen = ScreenOf(owner_ != nullptr ? owner_ : window_);
  const ScreenPoint place =
      CentredOnScreen(ScreenRect{screen.left, screen.top, screen.right - screen.left,
                                 screen.bottom - screen.top},
                      box.right - box.left, box.bottom - box.top);
  SetWindowPos(window_, nullptr, place.left, place.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void PopupWindow::MakeFonts(UINT dpi, LayoutFonts& fonts) {
  const LOGFONTW message = MessageFontForDpi(dpi);
  fonts.ui = CreateFontIndirectW(&message);
}

bool PopupWindow::TranslateDialogMessage(MSG& message) {
  if (window_ == nullptr) return false;
  if (message.hwnd != window_ && !IsChild(window_, message.hwnd)) return false;
  return IsDialogMessageA(window_, &message) != FALSE;
}

void PopupWindow::ApplyLayout(UINT dpi) {
  dpi_ = dpi;
  // The fonts in use are replaced only after the controls have the new ones.
  LayoutFonts oldFonts = fonts_;
  fonts_ = LayoutFonts{};
  MakeFonts(dpi, fonts_);
  PlaceLayoutControls(controls_, shape_.layout, dpi, fonts_);
  const RECT frame = WindowRectForClient(ScaleForDpi(shape_.clientWidth, dpi),
                                         ScaleForDpi(shape_.clientHeight, dpi), style_, exStyle_,
                                         dpi);
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(window_, nullptr, TRUE);
  oldFonts.Delete();
}

bool PopupWindow::IsPushButton(HWND control) const {
  for (size_t i = 0; i < controls_.size() && i < shape_.layout.size(); ++i) {
    if (controls_[i] != control || control == nullptr) continue;
    const ControlLayout& layout = shape_.layout[i];
    const DWORD type = layout.style & BS_TYPEMASK;
    return lstrcmpA(layout.windowClass, WC_BUTTONA) == 0 &&
           (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
  }
  return false;
}

int PopupWindow::DefaultButtonId() const {
  HWND focus = GetFocus();
  return IsPushButton(focus) ? GetDlgCtrlID(focus) : shape_.defaultButton;
}

void PopupWindow::UpdateDefaultButton(HWND focus) {
  const int target = IsPushButton(focus) ? GetDlgCtrlID(focus) : shape_.defaultButton;
  for (HWND control : controls_) {
    if (!IsPushButton(control)) continue;
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrA(control, GWL_STYLE));
    const DWORD wanted = GetDlgCtrlID(control) == target ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    if ((style & BS_TYPEMASK) == wanted) continue;
    SendMessageA(control, BM_SETSTYLE, (style & 0xFFFF & ~static_cast<DWORD>(BS_TYPEMASK)) | wanted,
                 TRUE);
  }
}

LRESULT CALLBACK PopupWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) {
  PopupWindow* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<PopupWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<PopupWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  }
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    self->window_ = nullptr;
    self->savedFocus_ = nullptr;
    self->controls_.clear();
    self->fonts_.Delete();
    return DefWindowProcA(window, message, wParam, lParam);
  }
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT PopupWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (code == EN_SETFOCUS || code == CBN_SETFOCUS || code == BN_SETFOCUS) {
        UpdateDefaultButton(GetFocus());
      } else if (id == IDCANCEL && control == nullptr) {
        OnCloseRequest();  // Esc
      } else if (code == BN_CLICKED && IsPushButton(control) && IsWindowEnabled(control)) {
        OnButton(id);
      }
      return 0;
    }
    case DM_GETDEFID:
      return MAKELRESULT(DefaultButtonId(), DC_HASDEFID);
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus)) savedFocus_ = focus;
      } else if (HIWORD(wParam) == 0) {
        HWND focus = savedFocus_;
        if (focus == nullptr || !IsWindow(focus) || !IsWindowEnabled(focus) ||
            !IsWindowVisible(focus))
          focus = Control(shape_.firstFocus);
        if (focus == nullptr) focus = GetNextDlgTabItem(window_, nullptr, FALSE);
        if (focus != nullptr) {
          ::SetFocus(focus);
          UpdateDefaultButton(focus);
        }
      }
      return 0;
    case WM_CLOSE:
      OnCloseRequest();
      return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) OnSized();
      return 0;
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      ApplyLayout(LOWORD(wParam));
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}
