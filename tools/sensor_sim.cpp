// vmds_sensor_sim: a serial sensor simulated on a pseudo-terminal.
//
//   vmds_sensor_sim LINK [INTERVAL_SECONDS]
//
// Opens a pseudo-terminal pair and makes LINK a symbolic link to its device end, which a device
// server can open as its serial port. The sensor answers what it is sent: every byte comes back
// unchanged, and a line "READ" (ended by CR or LF) is answered with a reading at once. Every
// INTERVAL_SECONDS (default 5, 0 = never) it also emits a reading of its own, "T=21.37 C\r\n".
// SIGINT or SIGTERM ends it and removes the link.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd pfd{fd, POLLOUT, 0};
      if (poll(&pfd, 1, 1000) <= 0) return false;
      continue;
    }
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string Reading(unsigned counter) {
  // A slowly drifting temperature, so successive readings differ.
  double celsius = 21.0 + 1.5 * std::sin(counter / 7.0);
  char text[32];
  std::snprintf(text, sizeof text, "T=%.2f C\r\n", celsius);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s LINK [INTERVAL_SECONDS]\n", argv[0]);
    return 2;
  }
  const std::string link = argv[1];
  const long long intervalMs = argc == 3 ? std::atoll(argv[2]) * 1000 : 5000;

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("pseudo-terminal");
    return 1;
  }
  termios tio;
  tcgetattr(master, &tio);
  cfmakeraw(&tio);
  tcsetattr(master, TCSANOW, &tio);
  const char* device = ptsname(master);
  if (device == nullptr) {
    std::perror("ptsname");
    return 1;
  }
  // Only a link this program made (or an old dangling one) is replaced.
  char existing[256];
  if (readlink(link.c_str(), existing, sizeof existing) < 0 && errno != ENOENT) {
    std::fprintf(stderr, "%s exists and is not a link; not replacing it\n", link.c_str());
    return 1;
  }
  unlink(link.c_str());
  if (symlink(device, link.c_str()) != 0) {
    std::perror("symlink");
    return 1;
  }
  // Keep the device end open once so the pseudo-terminal reports no hang-up before the server
  // opens it.
  int keep = open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  int signals = signalfd(-1, &stop, SFD_CLOEXEC);

  std::printf("simulated sensor on %s (link %s)\n", device, link.c_str());
  std::fflush(stdout);

  unsigned counter = 0;
  long long next = intervalMs > 0 ? NowMs() + intervalMs : -1;
  std::string line;
  for (;;) {
    int wait = -1;
    if (next >= 0) wait = static_cast<int>(next > NowMs() ? next - NowMs() : 0);
    pollfd fds[2] = {{signals, POLLIN, 0}, {master, POLLIN, 0}};
    int ready = poll(fds, 2, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (fds[0].revents & POLLIN)) break;
    if (fds[1].revents & POLLIN) {
      char buffer[256];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        WriteAll(master, buffer, static_cast<std::size_t>(n));
        for (ssize_t i = 0; i < n; ++i) {
          char c = buffer[i];
          if (c == '\r' || c == '\n') {
            if (line == "READ") WriteAll(master, Reading(counter).data(), Reading(counter).size());
            line.clear();
          } else if (line.size() < 64) {
            line += c;
          }
        }
      }
    }
    if (next >= 0 && NowMs() >= next) {
      std::string reading = Reading(counter++);
      WriteAll(master, reading.data(), reading.size());
      next += intervalMs;
    }
  }
  unlink(link.c_str());
  if (keep >= 0) close(keep);
  close(master);
  return 0;
}
