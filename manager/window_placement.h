// Where the manager's windows go on their screen.
#pragma once

#include "view.h"

struct ScreenPoint {
  int left = 0, top = 0;
  bool operator==(const ScreenPoint&) const = default;
};

// The top-left corner that centres a window of this size on the screen; along a side where the
// window is larger than the screen it sits at the screen's edge.
inline ScreenPoint CentredOnScreen(const ScreenRect& screen, int width, int height) {
  int left = (screen.width - width) / 2;
  int top = (screen.height - height) / 2;
  if (width + left > screen.width) left = 0;
  if (height + top > screen.height) top = 0;
  return ScreenPoint{screen.left + left, screen.top + top};
}
