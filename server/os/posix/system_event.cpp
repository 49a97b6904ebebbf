// Events for the journal: under systemd the daemon's standard error is a stream to the journal,
// and JOURNAL_STREAM ("<device>:<inode>", decimal) names it. Only when standard error is still
// that very file does a line go there, prefixed with its sd-daemon priority, so that a daemon
// started by hand or with standard error redirected prints nothing extra.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "posix_internal.h"

namespace os {

namespace {

bool StandardErrorIsJournalStream() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  char end = 0;
  if (std::sscanf(value, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) != 2) return false;
  struct stat info {};
  if (fstat(STDERR_FILENO, &info) != 0) return false;
  return static_cast<std::uintmax_t>(info.st_dev) == device &&
         static_cast<std::uintmax_t>(info.st_ino) == inode;
}

// Writes the line in one call. The journal's stream is a socket: sent without waiting (a line
// the journal cannot take at once is lost, the server never stalls on it) and without SIGPIPE.
// Anything else gets a plain write; SIGPIPE is ignored in the whole process (RunServiceDispatcher).
void WriteLine(const std::string& line) {
  ssize_t sent = send(STDERR_FILENO, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent >= 0 || errno != ENOTSOCK) return;
  ssize_t written = write(STDERR_FILENO, line.data(), line.size());
  (void)written;
}

}  // namespace

void ReportSystemEvent(int level, const std::string& text) {
  static const bool toJournal = StandardErrorIsJournalStream();
  if (!toJournal) return;
  const char* prefix = level == 2 ? "<3>" : level == 1 ? "<4>" : "<6>";
  std::string line = prefix;
  // One event, one line: a line end inside the text would start an entry without a priority.
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  WriteLine(line);
}

}  // namespace os
