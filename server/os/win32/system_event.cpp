// Events for the Application event log, under the source kEventSourceName. The messages are in
// the program's message table (win32/vmds_messages.mc): one message per level whose text is the
// whole insertion string. The source is registered by the installer and by the manager.
#include <windows.h>

#include <mutex>

#include "../os.h"
#include "vmds_messages.h"

namespace os {

namespace {
std::mutex sourceMutex;
HANDLE source = nullptr;
}  // namespace

void ReportSystemEvent(int level, const std::string& text) {
  std::lock_guard<std::mutex> lock(sourceMutex);
  // Opened on first use and kept for the life of the process.
  if (source == nullptr) source = RegisterEventSourceA(nullptr, kEventSourceName);
  if (source == nullptr) return;
  WORD type = EVENTLOG_INFORMATION_TYPE;
  DWORD id = MSG_VMDS_INFORMATION;
  if (level == 2) {
    type = EVENTLOG_ERROR_TYPE;
    id = MSG_VMDS_ERROR;
  } else if (level == 1) {
    type = EVENTLOG_WARNING_TYPE;
    id = MSG_VMDS_WARNING;
  }
  const char* strings[1] = {text.c_str()};
  ReportEventA(source, type, 0, id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace os
