// The control table of the main window MainDisplay: for each control its place, the View's name
// for it, and what the user's action on it tells the presenter. Creation order is the tab order.
#pragma once

#include <windows.h>

#include <span>

#include "view.h"
#include "window_layout.h"

class MainPresenter;

// The client area of the main window in pixels at 96 DPI.
inline constexpr int kMainClientWidth = 998;
inline constexpr int kMainClientHeight = 673;

// What the user's action on a control tells the presenter.
enum class Reports {
  kNothing,
  kChange,          // EditorChanged: text changed, entry picked, box checked
  kChangeAndClick,  // EditorChanged for a change and for a mouse click into the box too
  kClick,           // the button's own presenter call
};

// One control of the main window.
struct MainControl {
  ControlLayout place;
  Control control;  // meaningless for labels and frames (no id)
  Reports reports;
  void (MainPresenter::*click)();
};

std::span<const MainControl> MainControls();
// The places of MainControls(), as the window's layout table.
std::span<const ControlLayout> MainLayout();
// The control with this id or View name; null for none.
const MainControl* MainControlOf(int id);
const MainControl* MainControlOf(Control control);
// The notification with which a control of this class reports the user's change.
WORD ChangeCode(const char* windowClass);
