// What the windows of VMDSMgr.exe share: a control layout table in pixels at 96 DPI, placing it
// at the window's DPI, the system's message font, and small text helpers.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

enum class FontKind { kUi, kList, kProgress, kHeading };

// One control of a window: its id, class, caption, place and size in pixels at 96 DPI, styles
// beyond WS_CHILD | WS_VISIBLE, and font. Creation order is the tab order.
struct ControlLayout {
  int id;
  const char* windowClass;
  const char* caption;
  int x, y, width, height;
  DWORD style;
  DWORD exStyle;
  FontKind font;
};

inline constexpr int kNoId = -1;  // labels and frames

inline constexpr DWORD kFrame = BS_GROUPBOX;
inline constexpr DWORD kLabel = SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX;
inline constexpr DWORD kValue = SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX | SS_ENDELLIPSIS | SS_SUNKEN;
inline constexpr DWORD kText = SS_LEFT | SS_NOPREFIX;  // several lines, wrapped
inline constexpr DWORD kEdit = ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP | WS_GROUP;
inline constexpr DWORD kCombo = CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP | WS_GROUP;
inline constexpr DWORD kButton = BS_PUSHBUTTON | WS_TABSTOP;
inline constexpr DWORD kCheck = BS_AUTOCHECKBOX | BS_LEFTTEXT | WS_TABSTOP;
// Height of an open drop-down list below its selection field.
inline constexpr int kDropDownHeight = 220;

// The fonts a window gives its controls, by kind (null: the control keeps the system font).
struct LayoutFonts {
  HFONT ui = nullptr;
  HFONT list = nullptr;
  HFONT progress = nullptr;
  HFONT heading = nullptr;
  HFONT For(FontKind kind) const;
  void Delete();
};

// Creates the controls of a layout table as children of parent, in table order.
std::vector<HWND> CreateLayoutControls(HWND parent, HINSTANCE instance,
                                       std::span<const ControlLayout> layout);
// Places and sizes the controls for this DPI and gives each its font.
void PlaceLayoutControls(const std::vector<HWND>& controls, std::span<const ControlLayout> layout,
                         UINT dpi, const LayoutFonts& fonts);

int ScaleForDpi(int pixelsAt96, UINT dpi);
UINT SystemDpi();
UINT WindowDpi(HWND window);
int SystemMetricForDpi(int index, UINT dpi);
// The message font of the system at this DPI.
LOGFONTW MessageFontForDpi(UINT dpi);
// The window rectangle that holds a client area of this size.
RECT WindowRectForClient(int width, int height, DWORD style, DWORD exStyle, UINT dpi);
// The whole screen the window is on (the primary one when it is on none).
RECT ScreenOf(HWND window);

std::string WindowText(HWND window);
// The text with each carriage return that stands alone made a CR LF pair, the line break of
// edit and static controls.
std::string WithLineBreaks(const std::string& text);
