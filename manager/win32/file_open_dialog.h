// The system's file-open dialog as Browse uses it.
#pragma once

#include <windows.h>

#include <string>

#include "view.h"

// Asks for an existing file's name over owner; empty when the user cancelled. A preset file name
// the dialog cannot take (too long, or no valid file name) is dropped and the dialog opened again
// without it.
std::string AskForFileName(HWND owner, HINSTANCE instance, const FileDialogRequest& request);
