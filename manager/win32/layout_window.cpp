#include "layout_window.h"

namespace {

bool RegisterWindowClass(HINSTANCE instance, const char* className, WNDPROC procedure,
                         HICON icon, HICON smallIcon) {
  WNDCLASSEXA existing{};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExA(instance, className, &existing)) return true;
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon;
  windowClass.hIconSm = smallIcon;
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = className;
  return RegisterClassExA(&windowClass) != 0;
}

bool OwnsFocus(HWND window, HWND focus) {
  return focus != nullptr && (focus == window || IsChild(window, focus));
}

bool CanTakeFocus(HWND control) {
  return control != nullptr && IsWindow(control) && IsWindowEnabled(control) &&
         IsWindowVisible(control);
}

}  // namespace

LayoutWindow::~LayoutWindow() {
  // The derived window is gone already: the last messages get the default processing.
  if (window_ != nullptr) SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
  Destroy();
  fonts_.Delete();
}

bool LayoutWindow::CreateLayoutWindow(HINSTANCE instance, HWND owner, const char* caption,
                                      const Shape& shape, HICON icon, HICON smallIcon) {
  if (window_ != nullptr) return true;
  if (!RegisterWindowClass(instance, shape.className, &LayoutWindow::WindowProc, icon, smallIcon))
    return false;
  shape_ = shape;
  owner_ = owner;
  WritingScope writing(*this);
  const UINT startDpi = owner != nullptr ? WindowDpi(owner) : SystemDpi();
  const RECT frame = WindowRectForClient(ScaleForDpi(shape.clientWidth, startDpi),
                                         ScaleForDpi(shape.clientHeight, startDpi), shape.style,
                                         shape.exStyle, startDpi);
  HWND window = CreateWindowExA(shape.exStyle, shape.className, caption, shape.style,
                                CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                                frame.bottom - frame.top, owner, nullptr, instance, this);
  if (window == nullptr) return false;
  dpi_ = WindowDpi(window);
  controls_ = CreateLayoutControls(window, instance, shape.layout);
  OnCreated();
  ApplyLayout(dpi_);
  return true;
}

void LayoutWindow::Destroy() {
  if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
}

HWND LayoutWindow::Item(int id) const {
  return window_ != nullptr ? GetDlgItem(window_, id) : nullptr;
}

ScreenRect LayoutWindow::Area() const {
  RECT r{};
  if (window_ == nullptr || !GetWindowRect(window_, &r)) return ScreenRect{};
  return ScreenRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

ScreenRect LayoutWindow::Screen() const {
  const RECT r = ScreenOf(owner_ != nullptr ? owner_ : window_);
  return ScreenRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
}

void LayoutWindow::MoveTo(int left, int top) const {
  if (window_ != nullptr)
    SetWindowPos(window_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void LayoutWindow::MakeFonts(UINT dpi, LayoutFonts& fonts) {
  const LOGFONTW message = MessageFontForDpi(dpi);
  fonts.ui = CreateFontIndirectW(&message);
}

bool LayoutWindow::TranslateDialogMessage(MSG& message) {
  if (window_ == nullptr) return false;
  if (message.hwnd != window_ && !IsChild(window_, message.hwnd)) return false;
  return IsDialogMessageA(window_, &message) != FALSE;
}

// Places every control and sizes the window for this DPI.
void LayoutWindow::ApplyLayout(UINT dpi) {
  WritingScope writing(*this);
  const UINT oldDpi = dpi_;
  dpi_ = dpi;
  // The fonts in use are replaced only after the controls have the new ones.
  LayoutFonts oldFonts = fonts_;
  fonts_ = LayoutFonts{};
  MakeFonts(dpi, fonts_);
  PlaceLayoutControls(controls_, shape_.layout, dpi, fonts_);
  OnLayout(oldDpi);
  const RECT frame = WindowRectForClient(ScaleForDpi(shape_.clientWidth, dpi),
                                         ScaleForDpi(shape_.clientHeight, dpi), shape_.style,
                                         shape_.exStyle, dpi);
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(window_, nullptr, TRUE);
  oldFonts.Delete();
}

// Keyboard focus leaves with the window and comes back to the control that had it; when that
// cannot take it, to the first-focus control.
void LayoutWindow::OnActivate(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) == WA_INACTIVE) {
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(window_, focus)) savedFocus_ = focus;
    return;
  }
  if (HIWORD(wParam) != 0) return;  // minimised
  {
    WritingScope writing(*this);
    if (CanTakeFocus(savedFocus_)) ::SetFocus(savedFocus_);
  }
  OnActivated(reinterpret_cast<HWND>(lParam));
  if (window_ == nullptr) return;
  if (!OwnsFocus(window_, GetFocus())) {
    WritingScope writing(*this);
    HWND first = shape_.firstFocus != 0 ? Item(shape_.firstFocus) : nullptr;
    if (first == nullptr) first = GetNextDlgTabItem(window_, nullptr, FALSE);
    ::SetFocus(first != nullptr ? first : window_);
  }
  OnFocusSettled();
}

LRESULT CALLBACK LayoutWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam) {
  LayoutWindow* self = nullptr;
  if (message == WM_NCCREATE) {
    self = static_cast<LayoutWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<LayoutWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  }
  if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT LayoutWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = window_;
  switch (message) {
    case WM_ACTIVATE:
      OnActivate(wParam, lParam);
      return 0;
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      ApplyLayout(LOWORD(wParam));
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      window_ = nullptr;
      savedFocus_ = nullptr;
      controls_.clear();
      fonts_.Delete();
      OnDestroyed();
      return DefWindowProcA(window, message, wParam, lParam);
    default:
      break;
  }
  if (const std::optional<LRESULT> result = OnMessage(message, wParam, lParam)) return *result;
  return DefWindowProcA(window, message, wParam, lParam);
}
