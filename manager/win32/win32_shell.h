// The shell seam over ShellExecuteA, FindExecutableA, GetUserNameA, GetTempPathA and
// MessageBeep. Programs started through it are owned by `owner` (the window that asked).
#pragma once

#include <windows.h>

#include "shell.h"

class Win32Shell : public Shell {
 public:
  void SetOwner(HWND owner) { owner_ = owner; }
  int Execute(const std::string& verb, const std::string& file, const std::string& parameters,
              const std::string& directory) override;
  int FindAssociatedProgram(const std::string& file, std::string* program) override;
  std::string UserName() override;
  std::string TempDirectory() override;
  void Beep() override;

 private:
  HWND owner_ = nullptr;
};
