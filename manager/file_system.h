// The manager's file-system seam. Every operation returns 0 or a Win32 error number, on every
// platform; the portable code turns the number into its message (run_time_error.h).
// Paths are Windows paths as the manager composes them (backslash-separated).
#pragma once

#include <cstdint>
#include <string>

// When a file was last written and its size: a file written or replaced since has another stamp.
struct FileStamp {
  std::uint64_t lastWrite = 0;  // in the file system's own units
  std::uint64_t size = 0;
  bool operator==(const FileStamp&) const = default;
};

// The error of a file system that keeps no stamps (ERROR_NOT_SUPPORTED).
constexpr int kStampsNotSupported = 50;

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The whole content of the file, byte for byte.
  virtual int ReadTextFile(const std::string& path, std::string* content) = 0;
  // Creates the file or discards its old content, then writes `content` byte for byte.
  virtual int WriteTextFile(const std::string& path, const std::string& content) = 0;
  virtual int MakeDirectory(const std::string& path) = 0;
  // Gives a directory an access list of its own, inheriting nothing from its parent:
  // Administrators and SYSTEM full control, Users read and execute, and the same for every file
  // and subdirectory made in it. Programs in an instance directory run as LocalSystem, so no
  // other user may be able to change them.
  virtual int RestrictDirectoryAccess(const std::string& path) = 0;
  // Copies one file, replacing the target.
  virtual int CopyOneFile(const std::string& from, const std::string& to) = 0;
  // Deletes a directory with all its files and subdirectories, read-only ones included. Links
  // (reparse points) inside are removed themselves, never followed. Callers go through
  // DeleteInstanceDirectory (instance_directory.h), which checks the path first.
  virtual int DeleteDirectoryTree(const std::string& path) = 0;
  // Renames a directory within its volume in one step (fails while a file in it is in use).
  virtual int MoveDirectory(const std::string& from, const std::string& to) = 0;
  virtual int DeleteOneFile(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
  // True when the path names a file that is not a directory.
  virtual bool FileExists(const std::string& path) = 0;
  // The file's stamp, much cheaper than reading it: a reader that keeps what it read can skip a
  // file whose stamp has not changed. A file system without stamps says kStampsNotSupported.
  virtual int StampOf(const std::string& path, FileStamp* stamp) {
    (void)path;
    (void)stamp;
    return kStampsNotSupported;
  }
};
