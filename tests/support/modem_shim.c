/*
 * vmds_modem_shim: an LD_PRELOAD library for tests that run a serial device on a Linux
 * pseudo-terminal.
 *
 * Pseudo-terminals have no modem-control lines: the kernel rejects TIOCMGET, TIOCMSET, TIOCMBIS,
 * TIOCMBIC and TIOCMIWAIT on them. The native vmds then cannot raise or drop DTR/RTS or watch
 * the input lines, and under Wine every EscapeCommFunction(SETDTR...) fails and every overlapped
 * WaitCommEvent completes at once (Wine's serial code polls TIOCMGET while it waits for
 * characters and input-line changes).
 *
 * This library wraps ioctl(). For a descriptor that refers to /dev/pts/<n>, the requests below
 * are answered from an emulated line state:
 *   - DTR and RTS, kept per pseudo-terminal path, start low and follow TIOCMSET / TIOCMBIS /
 *     TIOCMBIC;
 *   - the input lines CTS, DSR, RI and DCD are the same for every terminal: CTS, DSR and DCD
 *     high, RI low (a device that is switched on and ready), unless the environment variable
 *     VMDS_MODEM_INPUT names a file. That file is read at every TIOCMGET; its text is words like
 *         CTS=1 DSR=0 RI=0 DCD=1
 *     (a line that is not named keeps its default; a missing file means the defaults). Replace
 *     the file in one step (write another file in the same directory and rename it over it);
 *   - TIOCMGET reports DTR and RTS as set plus the input lines;
 *   - TIOCMIWAIT (mask of TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CD) blocks until one of the
 *     masked input lines differs from its value at the call, and returns 0. It watches the
 *     file's directory with inotify (a close after writing, a rename into it) and reads the file
 *     again after each event. A signal whose handler was installed without SA_RESTART ends it
 *     with -1 and EINTR. Without VMDS_MODEM_INPUT it fails at once with EINVAL;
 *   - TIOCSBRK and TIOCCBRK turn the break on and off (and do nothing else).
 * After each of TIOCMSET, TIOCMBIS and TIOCMBIC the library appends one line
 *     DTR=<0|1> RTS=<0|1>\n
 * (the state after the call), and after TIOCSBRK / TIOCCBRK one line
 *     BREAK=1\n  or  BREAK=0\n
 * to the file named by the environment variable VMDS_MODEM_LOG, if it is set and not empty. The
 * file is opened with O_APPEND for every line and the line is written with one write(), so
 * several processes may share one log file. Readers pick the lines they know and skip the rest.
 *
 * Every other request, and every request on a descriptor that is not a pseudo-terminal slave
 * (the master side /dev/ptmx included), goes to the real ioctl() unchanged.
 *
 * A test in the same process can learn when a TIOCMIWAIT is in place (from then on it sees every
 * change of the file), so that it changes the lines only then:
 *     unsigned long vmds_modem_shim_arms(void);   -- waits that have been put in place so far
 *     int vmds_modem_shim_waiters(void);          -- waits in place now
 *     int vmds_modem_shim_wait_armed(unsigned long after, int timeout_ms);
 *         -- waits until more than `after` waits were put in place and one is in place now;
 *            1 when that happened, 0 after the time-out
 * (look them up with dlsym(RTLD_DEFAULT, ...): they exist only where the library is loaded).
 *
 * Usage: LD_PRELOAD=/path/libvmds_modem_shim.so VMDS_MODEM_LOG=/tmp/lines.log
 *        [VMDS_MODEM_INPUT=/tmp/input/lines] program...
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <time.h>
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

static void log_text(const char* text, int len) {
  const char* name = getenv("VMDS_MODEM_LOG");
  if (name == NULL || name[0] == '\0') return;
  int saved_errno = errno;
  int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, text, (size_t)len);
    (void)ignored;
    close(fd);
  }
  errno = saved_errno;
}

static void log_lines(int bits) {
  char text[32];
  int len = snprintf(text, sizeof text, "DTR=%d RTS=%d\n", (bits & TIOCM_DTR) ? 1 : 0,
                     (bits & TIOCM_RTS) ? 1 : 0);
  log_text(text, len);
}

/* ---- Input lines ---------------------------------------------------------------------------- */

#define SHIM_INPUT_DEFAULT (TIOCM_CTS | TIOCM_DSR | TIOCM_CD)

static const char* input_file(void) {
  const char* name = getenv("VMDS_MODEM_INPUT");
  return (name == NULL || name[0] == '\0') ? NULL : name;
}

/* The input lines as TIOCM_* bits: the defaults, changed by the words of the input file. */
static int read_input_lines(void) {
  int bits = SHIM_INPUT_DEFAULT;
  const char* name = input_file();
  if (name == NULL) return bits;
  int saved_errno = errno;
  char text[256];
  size_t length = 0;
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    for (;;) {
      ssize_t n = read(fd, text + length, sizeof text - 1 - length);
      if (n > 0 && length + (size_t)n < sizeof text - 1) {
        length += (size_t)n;
        continue;
      }
      if (n > 0) length += (size_t)n;
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    close(fd);
  }
  text[length] = '\0';
  static const struct {
    const char* name;
    int bit;
  } names[] = {{"CTS", TIOCM_CTS}, {"DSR", TIOCM_DSR}, {"RI", TIOCM_RNG}, {"DCD", TIOCM_CD}};
  const char* word = text;
  while (*word != '\0') {
    size_t skip = strspn(word, " \t\r\n");
    word += skip;
    size_t size = strcspn(word, " \t\r\n");
    if (size == 0) break;
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
      size_t len = strlen(names[i].name);
      if (size == len + 2 && strncmp(word, names[i].name, len) == 0 && word[len] == '=' &&
          (word[len + 1] == '0' || word[len + 1] == '1')) {
        bits = word[len + 1] == '1' ? (bits | names[i].bit) : (bits & ~names[i].bit);
      }
    }
    word += size;
  }
  errno = saved_errno;
  return bits;
}

/* What a test can learn about the waits of TIOCMIWAIT. */
static pthread_mutex_t waits_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t waits_changed;
static pthread_once_t waits_once = PTHREAD_ONCE_INIT;
static unsigned long waits_armed_total;
static int waits_in_place;

static void init_waits(void) {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&waits_changed, &attributes);
  pthread_condattr_destroy(&attributes);
}

static void note_wait(int delta) {
  pthread_once(&waits_once, init_waits);
  pthread_mutex_lock(&waits_lock);
  waits_in_place += delta;
  if (delta > 0) ++waits_armed_total;
  pthread_cond_broadcast(&waits_changed);
  pthread_mutex_unlock(&waits_lock);
}

unsigned long vmds_modem_shim_arms(void) {
  pthread_mutex_lock(&waits_lock);
  unsigned long total = waits_armed_total;
  pthread_mutex_unlock(&waits_lock);
  return total;
}

int vmds_modem_shim_waiters(void) {
  pthread_mutex_lock(&waits_lock);
  int count = waits_in_place;
  pthread_mutex_unlock(&waits_lock);
  return count;
}

int vmds_modem_shim_wait_armed(unsigned long after, int timeout_ms) {
  pthread_once(&waits_once, init_waits);
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&waits_lock);
  int armed = 1;
  while (!(waits_armed_total > after && waits_in_place > 0)) {
    if (pthread_cond_timedwait(&waits_changed, &waits_lock, &deadline) == ETIMEDOUT) {
      armed = waits_armed_total > after && waits_in_place > 0;
      break;
    }
  }
  pthread_mutex_unlock(&waits_lock);
  return armed;
}

/* TIOCMIWAIT: blocks until a line of `mask` differs from its value at the call. */
static int wait_for_input_change(int mask) {
  const char* name = input_file();
  if (name == NULL) {
    errno = EINVAL;
    return -1;
  }
  mask &= TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
  const int at_call = read_input_lines() & mask;
  char directory[4096];
  const char* slash = strrchr(name, '/');
  if (slash == NULL) {
    snprintf(directory, sizeof directory, ".");
  } else if (slash == name) {
    snprintf(directory, sizeof directory, "/");
  } else {
    snprintf(directory, sizeof directory, "%.*s", (int)(slash - name), name);
  }
  int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0) return -1;
  if (inotify_add_watch(watch, directory, IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    int saved_errno = errno;
    close(watch);
    errno = saved_errno;
    return -1;
  }
  /* From here on every change of the file shows: the wait is in place. */
  note_wait(1);
  int result = 0;
  for (;;) {
    if ((read_input_lines() & mask) != at_call) break;
    /* Any event in the directory: the file is read again. */
    char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    ssize_t n = read(watch, events, sizeof events);
    if (n < 0) {
      result = -1; /* EINTR when a signal came (no SA_RESTART) */
      break;
    }
  }
  int saved_errno = errno;
  note_wait(-1);
  close(watch);
  errno = saved_errno;
  return result;
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
      *arg = lines->bits | read_input_lines();
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

  if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
      request == TIOCMIWAIT || request == TIOCSBRK || request == TIOCCBRK) {
    char path[SHIM_PATH_SIZE];
    int saved_errno = errno;
    if (pts_path_of(fd, path, sizeof path)) {
      errno = saved_errno;
      /* TIOCMIWAIT takes its mask as the argument itself, the break requests take none. */
      if (request == TIOCMIWAIT) return wait_for_input_change((int)(intptr_t)arg);
      if (request == TIOCSBRK || request == TIOCCBRK) {
        pthread_mutex_lock(&terminals_lock);
        log_text(request == TIOCSBRK ? "BREAK=1\n" : "BREAK=0\n", 8);
        pthread_mutex_unlock(&terminals_lock);
        return 0;
      }
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
