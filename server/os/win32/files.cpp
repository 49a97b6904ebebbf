// Replacing a small file in one step: a temporary file beside it, then MoveFileExA.
#include <windows.h>

#include "os/os.h"

namespace os {

int ReplaceFileContent(const std::string& path, const std::string& tempPath, const char* data,
                       std::size_t size) {
  HANDLE file = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  int error = 0;
  std::size_t done = 0;
  while (done < size) {
    DWORD wrote = 0;
    const DWORD piece = static_cast<DWORD>(size - done > 0x10000000 ? 0x10000000 : size - done);
    if (!WriteFile(file, data + done, piece, &wrote, nullptr)) {
      error = static_cast<int>(GetLastError());
      break;
    }
    if (wrote == 0) {
      error = ERROR_HANDLE_DISK_FULL;
      break;
    }
    done += wrote;
  }
  if (!CloseHandle(file) && error == 0) error = static_cast<int>(GetLastError());
  // Once, without a retry: a reader that holds the file open without FILE_SHARE_DELETE makes the
  // move fail (5 or 32); the next write tries again.
  if (error == 0 && !MoveFileExA(tempPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = static_cast<int>(GetLastError());
  }
  if (error != 0) DeleteFileA(tempPath.c_str());
  return error;
}

}  // namespace os
