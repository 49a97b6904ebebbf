#include "win32/win32_file_system.h"

#include <windows.h>

#include <algorithm>

namespace {

int LastError() { return static_cast<int>(::GetLastError()); }

// Deletes one directory tree. Reparse points (junctions, symbolic links) are removed themselves
// and never entered, so nothing outside the tree is touched.
int DeleteTree(const std::string& directory) {
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA((directory + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return LastError();
  int error = 0;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    std::string path = directory + "\\" + name;
    DWORD attributes = found.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_READONLY)
      ::SetFileAttributesA(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        error = ::RemoveDirectoryA(path.c_str()) ? 0 : LastError();
      else
        error = DeleteTree(path);
    } else {
      error = ::DeleteFileA(path.c_str()) ? 0 : LastError();
    }
  } while (error == 0 && ::FindNextFileA(search, &found));
  if (error == 0 && ::GetLastError() != ERROR_NO_MORE_FILES) error = LastError();
  ::FindClose(search);
  if (error != 0) return error;
  DWORD attributes = ::GetFileAttributesA(directory.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    ::SetFileAttributesA(directory.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  return ::RemoveDirectoryA(directory.c_str()) ? 0 : LastError();
}

}  // namespace

int Win32FileSystem::ReadTextFile(const std::string& path, std::string* content) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  content->clear();
  char buffer[4096];
  DWORD got = 0;
  int error = 0;
  for (;;) {
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      error = LastError();
      break;
    }
    if (got == 0) break;
    content->append(buffer, got);
  }
  ::CloseHandle(file);
  return error;
}

int Win32FileSystem::WriteTextFile(const std::string& path, const std::string& content) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  int error = 0;
  std::size_t done = 0;
  while (done < content.size()) {
    DWORD put = 0;
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
    if (!::WriteFile(file, content.data() + done, chunk, &put, nullptr)) {
      error = LastError();
      break;
    }
    done += put;
  }
  if (!::CloseHandle(file) && error == 0) error = LastError();
  return error;
}

int Win32FileSystem::MakeDirectory(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) ? 0 : LastError();
}

int Win32FileSystem::CopyOneFile(const std::string& from, const std::string& to) {
  return ::CopyFileA(from.c_str(), to.c_str(), FALSE) ? 0 : LastError();
}

int Win32FileSystem::DeleteDirectoryTree(const std::string& path) {
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    int error = LastError();  // a missing directory is a path not found, not a missing file
    return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)  // a link: remove the link, not its target
    return ::RemoveDirectoryA(path.c_str()) ? 0 : LastError();
  return DeleteTree(path);
}
