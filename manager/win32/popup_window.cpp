#include "popup_window.h"

#include <commctrl.h>

#include "controls.h"
#include "window_placement.h"

PopupWindow::~PopupWindow() { Destroy(); }

bool PopupWindow::CreatePopup(HINSTANCE instance, HWND owner, const char* caption,
                              const PopupShape& shape) {
  if (IsOpen()) return true;
  layout_ = shape.layout;
  defaultButton_ = shape.defaultButton;
  firstFocus_ = shape.firstFocus;
  const Shape window{shape.className,
                     shape.layout,
                     shape.clientWidth,
                     shape.clientHeight,
                     WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN,
                     WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT,
                     shape.firstFocus};
  return CreateLayoutWindow(instance, owner, caption, window);
}

void PopupWindow::ShowActive() {
  if (!IsOpen()) return;
  ShowWindow(Handle(), SW_SHOW);
  SetForegroundWindow(Handle());
  HWND first = Item(firstFocus_);
  if (first == nullptr) first = GetNextDlgTabItem(Handle(), nullptr, FALSE);
  if (first != nullptr) ::SetFocus(first);
  UpdateDefaultButton();
}

void PopupWindow::CentreOnScreen() const {
  const ScreenRect box = Area();
  const ScreenPoint place = CentredOnScreen(Screen(), box.width, box.height);
  MoveTo(place.left, place.top);
}

bool PopupWindow::IsPushButton(HWND control) const {
  if (control == nullptr || GetParent(control) != Handle()) return false;
  const int id = GetDlgCtrlID(control);
  for (const ControlLayout& layout : layout_) {
    if (layout.id != id) continue;
    const DWORD type = layout.style & BS_TYPEMASK;
    return lstrcmpA(layout.windowClass, WC_BUTTONA) == 0 &&
           (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
  }
  return false;
}

int PopupWindow::DefaultButtonId() const {
  HWND focus = GetFocus();
  return IsPushButton(focus) ? GetDlgCtrlID(focus) : defaultButton_;
}

void PopupWindow::UpdateDefaultButton() {
  const int target = DefaultButtonId();
  for (const ControlLayout& layout : layout_) {
    HWND control = Item(layout.id);
    if (layout.id != kNoId && IsPushButton(control))
      Button(control).SetDefault(layout.id == target);
  }
}

// The focus is where the window shows it: the default button follows it.
void PopupWindow::OnFocusSettled() { UpdateDefaultButton(); }

std::optional<LRESULT> PopupWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (code == EN_SETFOCUS || code == CBN_SETFOCUS || code == BN_SETFOCUS) {
        UpdateDefaultButton();
      } else if (code == CBN_SELCHANGE && control != nullptr) {
        OnSelectionChanged(id);
      } else if (id == IDCANCEL && control == nullptr) {
        OnCloseRequest();  // Esc
      } else if (code == BN_CLICKED && IsPushButton(control) && IsWindowEnabled(control)) {
        OnButton(id);
      }
      return 0;
    }
    case DM_GETDEFID:
      return MAKELRESULT(DefaultButtonId(), DC_HASDEFID);
    case WM_CLOSE:
      OnCloseRequest();
      return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) OnSized();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      return std::nullopt;
  }
}
