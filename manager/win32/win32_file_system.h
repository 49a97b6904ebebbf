// The file-system seam over the Win32 file calls (ANSI).
#pragma once

#include "file_system.h"

class Win32FileSystem : public FileSystem {
 public:
  int ReadTextFile(const std::string& path, std::string* content) override;
  int WriteTextFile(const std::string& path, const std::string& content) override;
  int MakeDirectory(const std::string& path) override;
  int RestrictDirectoryAccess(const std::string& path) override;
  int CopyOneFile(const std::string& from, const std::string& to) override;
  int DeleteDirectoryTree(const std::string& path) override;
  int MoveDirectory(const std::string& from, const std::string& to) override;
  int DeleteOneFile(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  int StampOf(const std::string& path, FileStamp* stamp) override;
};
