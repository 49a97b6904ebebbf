// Replacing a small file in one step: a temporary file beside it, then rename.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "posix_internal.h"

namespace os {

int ReplaceFileContent(const std::string& path, const std::string& tempPath, const char* data,
                       std::size_t size) {
  // The umask decides who may read it (the unit's 0027 lets the instance's group in).
  int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return posix::Win32ErrorFromErrno(errno);
  int error = 0;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A full disk gives ENOSPC (or a write of nothing): ERROR_HANDLE_DISK_FULL.
      error = n < 0 && errno != ENOSPC ? posix::Win32ErrorFromErrno(errno) : 39;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = posix::Win32ErrorFromErrno(errno);
  if (error == 0 && rename(tempPath.c_str(), path.c_str()) != 0) {
    error = posix::Win32ErrorFromErrno(errno);
  }
  if (error != 0) unlink(tempPath.c_str());
  return error;
}

}  // namespace os
