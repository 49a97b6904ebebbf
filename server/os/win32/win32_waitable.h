// Shared by the Win32 platform files: every waitable object stands for one Win32 handle.
#pragma once

#include <windows.h>

// <windows.h> maps CreateEvent to CreateEventA, which would rename os::CreateEvent in the files
// that see both; the Win32 function is always called by its full name here.
#undef CreateEvent

#include "os/os.h"

namespace os::win32 {

class HandleWaitable : public Waitable {
 public:
  // The handle a wait on this object waits for; the object keeps ownership.
  virtual HANDLE WaitHandle() const = 0;
};

}  // namespace os::win32
