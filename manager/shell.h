// The shell and user calls of the manager's auxiliary commands. The Win32 implementation is
// win32/win32_shell.h; tests script a fake.
#pragma once

#include <string>

class Shell {
 public:
  virtual ~Shell() = default;
  // ShellExecuteA with a normal window; its result (32 or less is a failure code).
  virtual int Execute(const std::string& verb, const std::string& file,
                      const std::string& parameters, const std::string& directory) = 0;
  // FindExecutableA without a directory; its result, and the program found.
  virtual int FindAssociatedProgram(const std::string& file, std::string* program) = 0;
  // GetUserNameA into a 25-character buffer, as returned.
  virtual std::string UserName() = 0;
  // GetTempPathA: the user's temporary directory, ending in "\".
  virtual std::string TempDirectory() = 0;
  // The system beep.
  virtual void Beep() = 0;
};
