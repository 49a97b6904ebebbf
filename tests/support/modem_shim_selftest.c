/*
 * Checks vmds_modem_shim from the outside: run with LD_PRELOAD naming the shim and
 * VMDS_MODEM_LOG naming a file that does not exist yet (ctest does both).
 *
 * Exit code 0 when every check passed; each failed check is printed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int failures;

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

int main(void) {
  const char* log = getenv("VMDS_MODEM_LOG");
  if (log == NULL || log[0] == '\0') {
    fprintf(stderr, "VMDS_MODEM_LOG must name a file\n");
    return 2;
  }
  unlink(log);

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
