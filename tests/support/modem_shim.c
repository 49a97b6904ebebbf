/*
 * vmds_modem_shim: an LD_PRELOAD library for tests that run a serial device on a Linux
 * pseudo-terminal.
 *
 * Pseudo-terminals have no modem-control lines: the kernel rejects TIOCMGET, TIOCMSET, TIOCMBIS
 * and TIOCMBIC on them. The native vmds then cannot raise or drop DTR/RTS, and under Wine every
 * EscapeCommFunction(SETDTR...) fails and every overlapped WaitCommEvent completes at once
 * (Wine's serial code polls TIOCMGET while it waits for characters).
 *
 * This library wraps ioctl(). For a descriptor that refers to /dev/pts/<n>, the four modem
 * requests above are answered from an emulated line state kept per pseudo-terminal path:
 *   - DTR and RTS start low and follow TIOCMSET / TIOCMBIS / TIOCMBIC;
 *   - TIOCMGET reports DTR and RTS as set plus CTS, DSR and CD always high (a device that is
 *     switched on and ready), RI low.
 * After each of TIOCMSET, TIOCMBIS and TIOCMBIC the library appends one line
 *     DTR=<0|1> RTS=<0|1>\n
 * (the state after the call) to the file named by the environment variable VMDS_MODEM_LOG, if it
 * is set and not empty. The file is opened with O_APPEND for every line and the line is written
 * with one write(), so several processes may share one log file.
 *
 * Every other request, and every request on a descriptor that is not a pseudo-terminal slave
 * (the master side /dev/ptmx included), goes to the real ioctl() unchanged.
 *
 * Usage: LD_PRELOAD=/path/libvmds_modem_shim.so VMDS_MODEM_LOG=/tmp/lines.log program...
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl_ptr;
static pthread_once_t real_ioctl_once = PTHREAD_ONCE_INIT;

static void find_real_ioctl(void) {
  void* symbol = dlsym(RTLD_NEXT, "ioctl");
  memcpy(&real_ioctl_ptr, &symbol, sizeof real_ioctl_ptr);
}

/* Line state per pseudo-terminal path. A test process uses a handful of terminals at most; when
 * the table is full the oldest entry is reused. */
#define SHIM_MAX_TERMINALS 64
#define SHIM_PATH_SIZE 64

struct terminal_lines {
  char path[SHIM_PATH_SIZE];
  int bits; /* TIOCM_DTR | TIOCM_RTS as currently driven */
};

static struct terminal_lines terminals[SHIM_MAX_TERMINALS];
static int terminal_count;
static int terminal_next_reuse;
static pthread_mutex_t terminals_lock = PTHREAD_MUTEX_INITIALIZER;

/* Fills `path` with the pseudo-terminal slave path of `fd`; returns 0 when fd is not one. */
static int pts_path_of(int fd, char* path, size_t size) {
  char link[40];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, size - 1);
  if (n <= 0 || (size_t)n >= size - 1) return 0;
  path[n] = '\0';
  static const char prefix[] = "/dev/pts/";
  if (strncmp(path, prefix, sizeof prefix - 1) != 0) return 0;
  /* /dev/pts/ptmx is the multiplexer, not a terminal. */
  const char* rest = path + sizeof prefix - 1;
  if (*rest < '0' || *rest > '9') return 0;
  return 1;
}

/* Caller holds terminals_lock. */
static struct terminal_lines* lines_for(const char* path) {
  for (int i = 0; i < terminal_count; ++i) {
    if (strcmp(terminals[i].path, path) == 0) return &terminals[i];
  }
  struct terminal_lines* entry;
  if (terminal_count < SHIM_MAX_TERMINALS) {
    entry = &terminals[terminal_count++];
  } else {
    entry = &terminals[terminal_next_reuse];
    terminal_next_reuse = (terminal_next_reuse + 1) % SHIM_MAX_TERMINALS;
  }
  snprintf(entry->path, sizeof entry->path, "%s", path);
  entry->bits = 0;
  return entry;
}

static void log_lines(int bits) {
  const char* name = getenv("VMDS_MODEM_LOG");
  if (name == NULL || name[0] == '\0') return;
  char text[32];
  int len = snprintf(text, sizeof text, "DTR=%d RTS=%d\n", (bits & TIOCM_DTR) ? 1 : 0,
                     (bits & TIOCM_RTS) ? 1 : 0);
  int saved_errno = errno;
  int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, text, (size_t)len);
    (void)ignored;
    close(fd);
  }
  errno = saved_errno;
}

static int emulate(const char* path, unsigned long request, int* arg) {
  if (arg == NULL) {
    errno = EFAULT;
    return -1;
  }
  const int driven = TIOCM_DTR | TIOCM_RTS;
  int bits_after;
  pthread_mutex_lock(&terminals_lock);
  struct terminal_lines* lines = lines_for(path);
  switch (request) {
    case TIOCMGET:
      *arg = lines->bits | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
      pthread_mutex_unlock(&terminals_lock);
      return 0;
    case TIOCMSET:
      lines->bits = *arg & driven;
      break;
    case TIOCMBIS:
      lines->bits |= *arg & driven;
      break;
    default: /* TIOCMBIC */
      lines->bits &= ~(*arg & driven);
      break;
  }
  bits_after = lines->bits;
  /* Logged under the lock so that the file shows the changes in the order they were made. */
  log_lines(bits_after);
  pthread_mutex_unlock(&terminals_lock);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);

  if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
    char path[SHIM_PATH_SIZE];
    int saved_errno = errno;
    if (pts_path_of(fd, path, sizeof path)) {
      errno = saved_errno;
      return emulate(path, request, (int*)arg);
    }
    errno = saved_errno;
  }

  pthread_once(&real_ioctl_once, find_real_ioctl);
  if (real_ioctl_ptr == NULL) {
    errno = ENOSYS;
    return -1;
  }
  return real_ioctl_ptr(fd, request, arg);
}
