#include "win32/win32_shell.h"

#include <shellapi.h>

#include <cstdint>

namespace {

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

int Win32Shell::Execute(const std::string& verb, const std::string& file,
                        const std::string& parameters, const std::string& directory) {
  HINSTANCE result = ::ShellExecuteA(owner_, OrNull(verb), file.c_str(), OrNull(parameters),
                                     OrNull(directory), SW_SHOWNORMAL);
  return static_cast<int>(reinterpret_cast<std::intptr_t>(result));
}

int Win32Shell::FindAssociatedProgram(const std::string& file, std::string* program) {
  char found[MAX_PATH + 1] = {};
  HINSTANCE result = ::FindExecutableA(file.c_str(), nullptr, found);
  *program = found;
  return static_cast<int>(reinterpret_cast<std::intptr_t>(result));
}

std::string Win32Shell::UserName() {
  char name[25] = {};
  DWORD size = sizeof name;
  if (!::GetUserNameA(name, &size)) return "";
  return std::string(name, sizeof name).substr(0, size);
}

std::string Win32Shell::TempDirectory() {
  char path[MAX_PATH + 1] = {};
  DWORD length = ::GetTempPathA(sizeof path, path);
  if (length == 0 || length > sizeof path) return ".\\";
  std::string text(path, length);
  if (text.back() != '\\') text += '\\';
  return text;
}

void Win32Shell::Beep() { ::MessageBeep(MB_OK); }
