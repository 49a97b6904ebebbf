// Internals shared by the POSIX implementation of the platform seam.
#pragma once

#include <poll.h>

#include "../os.h"

namespace os::posix {

// A waitable is one descriptor and the poll events that signal it.
class PosixWaitable : public Waitable {
 public:
  ~PosixWaitable() override;
  virtual int PollFd() const = 0;
  virtual short PollEvents() const = 0;
  // Called when a wait returns this waitable (auto-reset events consume their signal here).
  virtual void OnSignalled(short /*revents*/) {}
};

// Closes the descriptor of a waitable. Every thread's wait set learns (before the number can be
// handed out again) that descriptors it keeps registered may be gone.
void CloseWaitableDescriptor(int fd);

// errno → the Win32 number used for files and devices.
int Win32ErrorFromErrno(int error);
// errno → the Winsock number used for sockets.
int WsaErrorFromErrno(int error);

}  // namespace os::posix
