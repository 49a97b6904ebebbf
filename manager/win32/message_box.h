// The system's message box with the View's icons, buttons and answers.
#pragma once

#include <windows.h>

#include <string>

#include "view.h"

// A modal box over owner (the whole program's when owner is null: the box then comes to the
// front with a taskbar button of its own). When the box cannot be shown the answer is the one
// that changes nothing: Cancel, No or OK.
MessageAnswer ShowMessageBox(HWND owner, const char* title, const std::string& text,
                             MessageIcon icon, MessageButtons buttons);
