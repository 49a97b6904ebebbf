#include "message_box.h"

MessageAnswer ShowMessageBox(HWND owner, const char* title, const std::string& text,
                             MessageIcon icon, MessageButtons buttons) {
  UINT type = MB_APPLMODAL;
  switch (icon) {
    case MessageIcon::kExclamation: type |= MB_ICONEXCLAMATION; break;
    case MessageIcon::kCritical: type |= MB_ICONHAND; break;
    case MessageIcon::kQuestion: type |= MB_ICONQUESTION; break;
    case MessageIcon::kInformation: type |= MB_ICONINFORMATION; break;
  }
  switch (buttons) {
    case MessageButtons::kOk: type |= MB_OK; break;
    case MessageButtons::kYesNo: type |= MB_YESNO; break;
    case MessageButtons::kYesNoCancel: type |= MB_YESNOCANCEL; break;
  }
  if (owner == nullptr) type |= MB_SETFOREGROUND;
  switch (MessageBoxA(owner, text.c_str(), title, type)) {
    case IDYES: return MessageAnswer::kYes;
    case IDNO: return MessageAnswer::kNo;
    case IDCANCEL: return MessageAnswer::kCancel;
    case IDOK: return MessageAnswer::kOk;
    default: break;
  }
  if (buttons == MessageButtons::kYesNoCancel) return MessageAnswer::kCancel;
  if (buttons == MessageButtons::kYesNo) return MessageAnswer::kNo;
  return MessageAnswer::kOk;
}
