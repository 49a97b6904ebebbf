#include "window_layout.h"

#include <commctrl.h>

namespace {

// Per-monitor DPI functions of Windows 10, looked up at run time so the program still starts on
// older systems.
template <typename Function>
Function User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  if (user32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

}  // namespace

HFONT LayoutFonts::For(FontKind kind) const {
  switch (kind) {
    case FontKind::kList: return list;
    case FontKind::kProgress: return progress;
    case FontKind::kHeading: return heading;
    case FontKind::kUi: break;
  }
  return ui;
}

void LayoutFonts::Delete() {
  for (HFONT* font : {&ui, &list, &progress, &heading}) {
    if (*font != nullptr) DeleteObject(*font);
    *font = nullptr;
  }
}

std::vector<HWND> CreateLayoutControls(HWND parent, HINSTANCE instance,
                                       std::span<const ControlLayout> layout) {
  std::vector<HWND> controls;
  controls.reserve(layout.size());
  for (const ControlLayout& control : layout) {
    controls.push_back(CreateWindowExA(
        control.exStyle, control.windowClass, control.caption,
        WS_CHILD | WS_VISIBLE | control.style, control.x, control.y, control.width, control.height,
        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr));
  }
  return controls;
}

void PlaceLayoutControls(const std::vector<HWND>& controls, std::span<const ControlLayout> layout,
                         UINT dpi, const LayoutFonts& fonts) {
  for (size_t i = 0; i < controls.size() && i < layout.size(); ++i) {
    const ControlLayout& place = layout[i];
    HWND control = controls[i];
    if (control == nullptr) continue;
    int height = ScaleForDpi(place.height, dpi);
    if (lstrcmpA(place.windowClass, WC_COMBOBOXA) == 0) height += ScaleForDpi(kDropDownHeight, dpi);
    SetWindowPos(control, nullptr, ScaleForDpi(place.x, dpi), ScaleForDpi(place.y, dpi),
                 ScaleForDpi(place.width, dpi), height, SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(fonts.For(place.font)), FALSE);
  }
}

int ScaleForDpi(int pixelsAt96, UINT dpi) { return MulDiv(pixelsAt96, static_cast<int>(dpi), 96); }

UINT SystemDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

UINT WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (getDpiForWindow != nullptr && window != nullptr) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }
  return SystemDpi();
}

int SystemMetricForDpi(int index, UINT dpi) {
  using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);
  static const auto forDpi = User32Function<GetSystemMetricsForDpiFn>("GetSystemMetricsForDpi");
  if (forDpi != nullptr) return forDpi(index, dpi);
  return MulDiv(GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

LOGFONTW MessageFontForDpi(UINT dpi) {
  using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  static const auto forDpi =
      User32Function<SystemParametersInfoForDpiFn>("SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (forDpi != nullptr && forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi))
    return metrics.lfMessageFont;
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                            static_cast<int>(SystemDpi()));
    return metrics.lfMessageFont;
  }
  LOGFONTW font{};
  font.lfHeight = -MulDiv(8, static_cast<int>(dpi), 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(font.lfFaceName, L"MS Shell Dlg 2", LF_FACESIZE);
  return font;
}

RECT WindowRectForClient(int width, int height, DWORD style, DWORD exStyle, UINT dpi) {
  using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = User32Function<AdjustForDpiFn>("AdjustWindowRectExForDpi");
  RECT rect{0, 0, width, height};
  if (adjustForDpi == nullptr || !adjustForDpi(&rect, style, FALSE, exStyle, dpi))
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  return rect;
}

RECT ScreenOf(HWND window) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  HMONITOR handle = MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
  if (handle != nullptr && GetMonitorInfoA(handle, &monitor)) return monitor.rcMonitor;
  return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

std::string WindowText(HWND window) {
  if (window == nullptr) return std::string();
  const int length = GetWindowTextLengthA(window);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(window, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

std::string WithLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) out += '\n';
  }
  return out;
}
