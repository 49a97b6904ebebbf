#include "file_open_dialog.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

namespace {

// "Description|pattern|Description|pattern" as the file dialog takes it: NUL-separated, ending in
// two NULs.
std::string DialogFilter(const std::string& filter) {
  std::string converted = filter;
  std::replace(converted.begin(), converted.end(), '|', '\0');
  converted.append(2, '\0');
  return converted;
}

}  // namespace

std::string AskForFileName(HWND owner, HINSTANCE instance, const FileDialogRequest& request) {
  const std::string filter = DialogFilter(request.filter);
  std::vector<char> file(32768, '\0');
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.hInstance = instance;
  dialog.lpstrFilter = request.filter.empty() ? nullptr : filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrTitle = request.title.empty() ? nullptr : request.title.c_str();
  dialog.lpstrDefExt =
      request.defaultExtension.empty() ? nullptr : request.defaultExtension.c_str();
  dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_NOREADONLYRETURN | OFN_LONGNAMES |
                 OFN_EXPLORER;

  bool chosen = false;
  bool withoutPreset = request.fileName.size() >= file.size();
  if (!withoutPreset) {
    request.fileName.copy(file.data(), request.fileName.size());
    chosen = GetOpenFileNameA(&dialog) != FALSE;
    withoutPreset = !chosen && !request.fileName.empty() && CommDlgExtendedError() != 0;
  }
  if (withoutPreset) {
    std::fill(file.begin(), file.end(), '\0');
    chosen = GetOpenFileNameA(&dialog) != FALSE;
  }
  if (!chosen) return std::string();
  file.back() = '\0';
  return std::string(file.data());
}
