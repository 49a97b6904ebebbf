#include "win32/win32_file_system.h"

#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

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

// Writes `content` into an existing (empty) file and flushes it to the disk.
int WriteWholeFile(const char* path, const std::string& content) {
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
  if (error == 0 && !::FlushFileBuffers(file)) error = LastError();
  if (!::CloseHandle(file) && error == 0) error = LastError();
  return error;
}

}  // namespace

int Win32FileSystem::ReadTextFile(const std::string& path, std::string* content) {
  // Sharing delete too, so that the read adds no sharing conflict of its own to a device server
  // that replaces its status file (a rename over it) meanwhile. Where the system still refuses a
  // rename over an open file (Wine does), the server's next write replaces it: the read holds
  // the file only for a moment.
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  // The new text goes into a temporary file beside the old one, which is then replaced in one
  // step: a failed or interrupted write leaves the previous file whole, never a half-written one.
  const std::string::size_type slash = path.find_last_of("\\/");
  const std::string directory = slash == std::string::npos ? std::string(".")
                                : slash == 0              ? path.substr(0, 1)
                                                          : path.substr(0, slash);
  // An existing file that cannot be opened for writing (in use, read-only) is reported as such
  // before anything is made; opening it does not change it.
  HANDLE probe = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    ::CloseHandle(probe);
  } else if (int error = LastError(); error != ERROR_FILE_NOT_FOUND) {
    return error;
  }
  char temporary[MAX_PATH + 1] = {};
  if (::GetTempFileNameA(directory.c_str(), "vmd", 0, temporary) == 0) return LastError();
  int error = WriteWholeFile(temporary, content);
  if (error == 0 && !::MoveFileExA(temporary, path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = LastError();
  if (error != 0) ::DeleteFileA(temporary);
  return error;
}

int Win32FileSystem::MakeDirectory(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) ? 0 : LastError();
}

int Win32FileSystem::RestrictDirectoryAccess(const std::string& path) {
  // P: protected (nothing inherited from the parent); OICI: files and subdirectories inherit
  // each entry. BA Administrators and SY SYSTEM: full control (FA); BU Users: read and execute
  // (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE).
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1,
          &descriptor, nullptr))
    return LastError();
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  int error = 0;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    error = LastError();
  } else {
    // Also replaces what existing files and subdirectories inherited from the old list.
    std::string name = path;  // the call takes a non-const string
    error = static_cast<int>(::SetNamedSecurityInfoA(
        name.data(), SE_FILE_OBJECT,
        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
        nullptr));
  }
  ::LocalFree(descriptor);
  return error;
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

int Win32FileSystem::MoveDirectory(const std::string& from, const std::string& to) {
  // No MOVEFILE_COPY_ALLOWED: a rename within the volume happens in one step or not at all.
  return ::MoveFileExA(from.c_str(), to.c_str(), 0) ? 0 : LastError();
}

int Win32FileSystem::DeleteOneFile(const std::string& path) {
  return ::DeleteFileA(path.c_str()) ? 0 : LastError();
}

bool Win32FileSystem::DirectoryExists(const std::string& path) {
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Win32FileSystem::FileExists(const std::string& path) {
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int Win32FileSystem::StampOf(const std::string& path, FileStamp* stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return LastError();
  stamp->lastWrite = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
  stamp->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return 0;
}
