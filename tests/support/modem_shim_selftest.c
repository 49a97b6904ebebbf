/*
 * Checks vmds_modem_shim from the outside: run with LD_PRELOAD naming the shim and
 * VMDS_MODEM_LOG naming a file that does not exist yet (ctest does both). The input-line file
 * (VMDS_MODEM_INPUT) is made here, in a directory of its own.
 *
 * Exit code 0 when every check passed; each failed check is printed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static int failures;

static int vmds_modem_shim_waiters_now(void);

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static int open_pty(int* slave) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  const char* name = ptsname(master);
  if (name == NULL) return -1;
  *slave = open(name, O_RDWR | O_NOCTTY);
  return *slave < 0 ? -1 : master;
}

static int modem_bits(int fd) {
  int bits = -1;
  if (ioctl(fd, TIOCMGET, &bits) != 0) return -1;
  return bits;
}

/* Reads the whole log file into `text` (size bytes); returns its length or -1. */
static long read_log(const char* path, char* text, size_t size) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  long total = 0;
  for (;;) {
    ssize_t n = read(fd, text + total, size - 1 - (size_t)total);
    if (n <= 0) break;
    total += n;
  }
  close(fd);
  text[total] = '\0';
  return total;
}

#define THREADS 4
#define ROUNDS 200

static void* toggler(void* arg) {
  int fd = *(int*)arg;
  int dtr = TIOCM_DTR;
  for (int i = 0; i < ROUNDS; ++i) {
    ioctl(fd, (i % 2) ? TIOCMBIC : TIOCMBIS, &dtr);
  }
  return NULL;
}

/* ---- Input lines ---------------------------------------------------------------------------- */

static char input_dir[] = "/tmp/vmds_shim_input_XXXXXX";
static char input_path[256];

/* Replaces the input file in one step, as tests do. */
static void set_input(const char* text) {
  char temp[300];
  snprintf(temp, sizeof temp, "%s.new", input_path);
  int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, text, strlen(text)) != (ssize_t)strlen(text)) ++failures;
  if (fd >= 0) close(fd);
  if (rename(temp, input_path) != 0) ++failures;
}

typedef unsigned long (*arms_fn)(void);
typedef int (*wait_armed_fn)(unsigned long, int);
static arms_fn shim_arms;
static wait_armed_fn shim_wait_armed;

struct line_wait {
  int fd;
  int mask;
  int result;
  int error;
  pthread_t thread;
};

static void* wait_for_lines(void* arg) {
  struct line_wait* wait = arg;
  wait->result = ioctl(wait->fd, TIOCMIWAIT, wait->mask);
  wait->error = errno;
  return NULL;
}

/* Starts a TIOCMIWAIT on another thread and returns once it is in place. */
static int start_wait(struct line_wait* wait, int fd, int mask) {
  wait->fd = fd;
  wait->mask = mask;
  wait->result = 99;
  unsigned long before = shim_arms();
  if (pthread_create(&wait->thread, NULL, wait_for_lines, wait) != 0) return 0;
  return shim_wait_armed(before, 10000);
}

/* Joins the waiting thread within a bound; 0 when it did not end. */
static int join_within(pthread_t thread, int ms) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_timedjoin_np(thread, NULL, &deadline) == 0;
}

static void ignore_signal(int signal) { (void)signal; }

typedef int (*waiters_fn)(void);
static waiters_fn shim_waiters;
static int vmds_modem_shim_waiters_now(void) { return shim_waiters(); }

static void check_input_lines(int slave, int master) {
  const int inputs = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
  /* Without the variable: the defaults, and no wait. */
  unsetenv("VMDS_MODEM_INPUT");
  CHECK((modem_bits(slave) & inputs) == (TIOCM_CTS | TIOCM_DSR | TIOCM_CD));
  errno = 0;
  CHECK(ioctl(slave, TIOCMIWAIT, TIOCM_CTS) == -1 && errno == EINVAL);

  if (mkdtemp(input_dir) == NULL) {
    perror("mkdtemp");
    ++failures;
    return;
  }
  snprintf(input_path, sizeof input_path, "%s/lines", input_dir);
  setenv("VMDS_MODEM_INPUT", input_path, 1);
  /* A missing file: the defaults. Words name lines; unnamed lines and other words leave them. */
  static const struct {
    const char* text;
    int bits;
  } cases[] = {
      {NULL, TIOCM_CTS | TIOCM_DSR | TIOCM_CD},
      {"CTS=0 DSR=0 RI=1 DCD=0\n", TIOCM_RNG},
      {"RI=1", TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG},
      {"  DSR=0\tjunk CTS=2 DCD= RI=1 CTS=0\r\n", TIOCM_CD | TIOCM_RNG},
      {"", TIOCM_CTS | TIOCM_DSR | TIOCM_CD},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    if (cases[i].text != NULL) set_input(cases[i].text);
    int bits = modem_bits(slave);
    if ((bits & inputs) != cases[i].bits) {
      fprintf(stderr, "input %zu: lines %#x, expected %#x\n", i, (unsigned)(bits & inputs),
              (unsigned)cases[i].bits);
      ++failures;
    }
  }
  /* The master side is no terminal line: the kernel refuses the wait. */
  errno = 0;
  CHECK(ioctl(master, TIOCMIWAIT, TIOCM_CTS) == -1);

  /* A change of a line in the mask ends the wait with 0, for each line. */
  static const struct {
    int mask;
    const char* text;
  } changes[] = {
      {TIOCM_CTS, "CTS=0"},
      {TIOCM_DSR | TIOCM_CTS, "CTS=0 DSR=0"},
      {TIOCM_RNG, "CTS=0 DSR=0 RI=1"},
      {TIOCM_CD, "CTS=0 DSR=0 RI=1 DCD=0"},
      {TIOCM_CTS | TIOCM_CD, "CTS=1 DSR=0 RI=1 DCD=0"},
  };
  set_input("");
  for (size_t i = 0; i < sizeof changes / sizeof changes[0]; ++i) {
    struct line_wait wait;
    if (!start_wait(&wait, slave, changes[i].mask)) {
      fprintf(stderr, "change %zu: the wait was never in place\n", i);
      ++failures;
      return;
    }
    set_input(changes[i].text);
    if (!join_within(wait.thread, 10000)) {
      fprintf(stderr, "change %zu: the wait did not end\n", i);
      ++failures;
      return;
    }
    CHECK(wait.result == 0);
  }

  /* A signal without SA_RESTART ends the wait with EINTR (sent again until the wait has ended: a
   * signal that comes before the thread blocks is gone). */
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, NULL);
  struct line_wait wait;
  if (!start_wait(&wait, slave, TIOCM_CTS)) {
    ++failures;
    return;
  }
  int ended = 0;
  for (int attempt = 0, pause = 5; attempt < 20 && !ended; ++attempt, pause *= 2) {
    pthread_kill(wait.thread, SIGUSR1);
    ended = join_within(wait.thread, pause < 1000 ? pause : 1000);
  }
  CHECK(ended);
  CHECK(wait.result == -1 && wait.error == EINTR);
  CHECK(vmds_modem_shim_waiters_now() == 0);

  unlink(input_path);
  rmdir(input_dir);
  unsetenv("VMDS_MODEM_INPUT");
}

int main(void) {
  const char* log = getenv("VMDS_MODEM_LOG");
  if (log == NULL || log[0] == '\0') {
    fprintf(stderr, "VMDS_MODEM_LOG must name a file\n");
    return 2;
  }
  unlink(log);
  void* arms = dlsym(RTLD_DEFAULT, "vmds_modem_shim_arms");
  void* wait_armed = dlsym(RTLD_DEFAULT, "vmds_modem_shim_wait_armed");
  void* waiters = dlsym(RTLD_DEFAULT, "vmds_modem_shim_waiters");
  if (arms == NULL || wait_armed == NULL || waiters == NULL) {
    fprintf(stderr, "the shim is not loaded (LD_PRELOAD)\n");
    return 2;
  }
  memcpy(&shim_arms, &arms, sizeof shim_arms);
  memcpy(&shim_wait_armed, &wait_armed, sizeof shim_wait_armed);
  memcpy(&shim_waiters, &waiters, sizeof shim_waiters);

  int slave = -1;
  int master = open_pty(&slave);
  if (master < 0) {
    perror("pseudo-terminal");
    return 2;
  }

  /* Initial state: lines low, the device's own lines high. */
  int bits = modem_bits(slave);
  CHECK(bits >= 0);
  CHECK((bits & (TIOCM_DTR | TIOCM_RTS)) == 0);
  CHECK((bits & (TIOCM_CTS | TIOCM_DSR | TIOCM_CD)) == (TIOCM_CTS | TIOCM_DSR | TIOCM_CD));

  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  CHECK(ioctl(slave, TIOCMBIS, &dtr) == 0);
  CHECK((modem_bits(slave) & (TIOCM_DTR | TIOCM_RTS)) == TIOCM_DTR);
  CHECK(ioctl(slave, TIOCMBIS, &rts) == 0);
  CHECK((modem_bits(slave) & (TIOCM_DTR | TIOCM_RTS)) == (TIOCM_DTR | TIOCM_RTS));
  CHECK(ioctl(slave, TIOCMBIC, &dtr) == 0);
  CHECK((modem_bits(slave) & (TIOCM_DTR | TIOCM_RTS)) == TIOCM_RTS);
  int both = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS; /* CTS is an input: ignored by TIOCMSET */
  CHECK(ioctl(slave, TIOCMSET, &both) == 0);
  CHECK((modem_bits(slave) & (TIOCM_DTR | TIOCM_RTS)) == (TIOCM_DTR | TIOCM_RTS));
  int none = 0;
  CHECK(ioctl(slave, TIOCMSET, &none) == 0);
  /* Break on and off: logged, the lines untouched. */
  CHECK(ioctl(slave, TIOCSBRK, 0) == 0);
  CHECK(ioctl(slave, TIOCCBRK, 0) == 0);

  /* A second descriptor of the same terminal sees the same lines. */
  int again = open(ptsname(master), O_RDWR | O_NOCTTY);
  CHECK(again >= 0);
  CHECK(ioctl(again, TIOCMBIS, &rts) == 0);
  CHECK((modem_bits(slave) & (TIOCM_DTR | TIOCM_RTS)) == TIOCM_RTS);
  CHECK(ioctl(again, TIOCMBIC, &rts) == 0);
  close(again);

  /* Another terminal has lines of its own. */
  int slave2 = -1;
  int master2 = open_pty(&slave2);
  CHECK(master2 >= 0);
  CHECK(ioctl(slave2, TIOCMBIS, &dtr) == 0);
  CHECK((modem_bits(slave) & TIOCM_DTR) == 0);
  CHECK((modem_bits(slave2) & TIOCM_DTR) == TIOCM_DTR);

  /* The master side and ordinary files go to the kernel, which refuses. */
  int ignored = 0;
  errno = 0;
  CHECK(ioctl(master, TIOCMGET, &ignored) == -1);
  CHECK(errno == ENOTTY || errno == EINVAL);
  int null_fd = open("/dev/null", O_RDWR);
  errno = 0;
  CHECK(ioctl(null_fd, TIOCMBIS, &dtr) == -1);
  CHECK(errno == ENOTTY || errno == EINVAL);
  close(null_fd);
  /* Other requests still reach the kernel: the window size of the terminal. */
  struct winsize size;
  CHECK(ioctl(slave, TIOCGWINSZ, &size) == 0);

  /* Expected log so far, one line per set operation. */
  const char* expected =
      "DTR=1 RTS=0\n"
      "DTR=1 RTS=1\n"
      "DTR=0 RTS=1\n"
      "DTR=1 RTS=1\n"
      "DTR=0 RTS=0\n"
      "BREAK=1\n"
      "BREAK=0\n"
      "DTR=0 RTS=1\n"
      "DTR=0 RTS=0\n"
      "DTR=1 RTS=0\n";
  static char text[65536];
  long length = read_log(log, text, sizeof text);
  CHECK(length >= 0);
  if (length >= 0 && strcmp(text, expected) != 0) {
    fprintf(stderr, "log differs:\n--- expected\n%s--- got\n%s---\n", expected, text);
    ++failures;
  }

  check_input_lines(slave, master);

  /* Several threads at once: every set operation leaves exactly one whole line. */
  unlink(log);
  pthread_t threads[THREADS];
  for (int i = 0; i < THREADS; ++i) pthread_create(&threads[i], NULL, toggler, &slave);
  for (int i = 0; i < THREADS; ++i) pthread_join(threads[i], NULL);
  length = read_log(log, text, sizeof text);
  CHECK(length == (long)THREADS * ROUNDS * (long)strlen("DTR=0 RTS=0\n"));
  int lines = 0;
  for (char* line = text; *line != '\0';) {
    char* end = strchr(line, '\n');
    if (end == NULL) {
      ++failures;
      fprintf(stderr, "torn last line\n");
      break;
    }
    *end = '\0';
    if (strcmp(line, "DTR=0 RTS=0") != 0 && strcmp(line, "DTR=1 RTS=0") != 0) {
      fprintf(stderr, "bad line: %s\n", line);
      ++failures;
    }
    ++lines;
    line = end + 1;
  }
  CHECK(lines == THREADS * ROUNDS);

  close(slave);
  close(master);
  close(slave2);
  close(master2);
  unlink(log);
  if (failures == 0) printf("modem shim: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
