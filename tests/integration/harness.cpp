#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace vmds_it {

namespace {

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A short pause for the rare state that no descriptor reports (a terminal's input queue, a
// process reaped without pidfd); always inside a loop that is bounded by a deadline.
void BriefPause() {
  timespec pause{0, 2 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

int PollOne(int fd, short events, int timeoutMs, short* revents) {
  pollfd pfd{fd, events, 0};
  int ready;
  do {
    ready = poll(&pfd, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  *revents = ready > 0 ? pfd.revents : 0;
  return ready;
}

}  // namespace

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string ToText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes PatternBytes(std::size_t count, std::uint32_t seed) {
  Bytes bytes(count);
  std::uint32_t state = seed != 0 ? seed : 0x9E3779B9u;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<std::uint8_t>(state >> 11);
  }
  return bytes;
}

std::size_t FirstDifference(const Bytes& a, const Bytes& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return i;
  }
  return n;
}

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// ---- TempDir -----------------------------------------------------------------------------------

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vmds-it-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return;
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

// ---- PtyDevice ---------------------------------------------------------------------------------

PtyDevice::PtyDevice() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    ADD_FAILURE() << "pseudo-terminal: " << std::strerror(errno);
    return;
  }
  char name[128] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "ptsname: " << std::strerror(errno);
    return;
  }
  slavePath_ = name;
  termios raw;
  if (tcgetattr(master_, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyDevice::~PtyDevice() { Close(); }

void PtyDevice::Close() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

std::size_t PtyDevice::WriteSome(const std::uint8_t* data, std::size_t size,
                                 std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = write(master_, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    short revents;
    if (PollOne(master_, POLLOUT, MillisecondsLeft(deadline), &revents) <= 0) break;
    if (!(revents & POLLOUT)) break;
  }
  return done;
}

bool PtyDevice::Write(const Bytes& data, std::chrono::milliseconds timeout) {
  return WriteSome(data.data(), data.size(), timeout) == data.size();
}

Bytes PtyDevice::Read(std::size_t count, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  Bytes got;
  std::uint8_t buffer[4096];
  while (got.size() < count) {
    ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n > 0) {
      got.insert(got.end(), buffer, buffer + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;  // EIO: nobody holds the other side
    short revents;
    if (PollOne(master_, POLLIN, MillisecondsLeft(deadline), &revents) <= 0) break;
    if (!(revents & POLLIN)) break;
  }
  return got;
}

Bytes PtyDevice::ReadFor(std::chrono::milliseconds timeout) {
  return Read(static_cast<std::size_t>(-1) / 2, timeout);
}

bool PtyDevice::WaitUntilQueuedForHost(std::size_t count, std::chrono::milliseconds timeout) {
  int slave = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return false;
  auto deadline = Clock::now() + timeout;
  bool queued = false;
  for (;;) {
    int waiting = 0;
    if (ioctl(slave, TIOCINQ, &waiting) == 0 && static_cast<std::size_t>(waiting) >= count) {
      queued = true;
      break;
    }
    if (Clock::now() >= deadline) break;
    BriefPause();
  }
  close(slave);
  return queued;
}

// ---- Client ------------------------------------------------------------------------------------

Client::Client() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) ADD_FAILURE() << "socket: " << std::strerror(errno);
}

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void Client::SetReceiveBuffer(int bytes) {
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int Client::Connect(int port) { return Connect(port, "", "127.0.0.1"); }

int Client::Connect(int port, const std::string& source, const std::string& destination) {
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1) return EINVAL;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return errno;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, destination.c_str(), &address.sin_addr) != 1) return EINVAL;
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  short revents;
  if (PollOne(fd_, POLLOUT, static_cast<int>(kWait.count()), &revents) <= 0) return ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
  return error;
}

bool Client::Send(const Bytes& data, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    short revents;
    if (PollOne(fd_, POLLOUT, MillisecondsLeft(deadline), &revents) <= 0) return false;
  }
  return true;
}

Bytes Client::Read(std::size_t count, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  Bytes got;
  std::uint8_t buffer[16384];
  while (got.size() < count) {
    ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
    if (n > 0) {
      got.insert(got.end(), buffer, buffer + n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) break;
    short revents;
    if (PollOne(fd_, POLLIN, MillisecondsLeft(deadline), &revents) <= 0) break;
  }
  return got;
}

bool Client::WaitClosedByServer(std::chrono::milliseconds timeout, Bytes* unread) {
  auto deadline = Clock::now() + timeout;
  std::uint8_t buffer[4096];
  for (;;) {
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0) return true;
    if (n > 0) {
      if (unread != nullptr) unread->insert(unread->end(), buffer, buffer + n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == ECONNRESET || errno == EPIPE) return true;
    if (errno != EAGAIN) return false;
    short revents;
    if (PollOne(fd_, POLLIN, MillisecondsLeft(deadline), &revents) <= 0) return false;
  }
}

// ---- Instance ----------------------------------------------------------------------------------

int FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = 0;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

std::string ModemShimPath() { return VMDS_MODEM_SHIM; }

Instance::Instance() {
  std::error_code error;
  std::filesystem::copy_file(VMDS_BINARY, File("vmds"), error);
  if (error) ADD_FAILURE() << "copying " << VMDS_BINARY << ": " << error.message();
  std::filesystem::permissions(File("vmds"), std::filesystem::perms::owner_all, error);
  port_ = FreeTcpPort();
  logPath_ = File("vmds.log");
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0) {
    inotify_add_watch(inotify_, dir().c_str(),
                      IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO);
  }
}

Instance::~Instance() {
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (pidfd_ >= 0) close(pidfd_);
  if (inotify_ >= 0) close(inotify_);
}

StartupSettings Instance::DefaultSettings() const {
  return {
      {"TCPPort", std::to_string(port_)},
      {"COMPort", device_.slavePath()},
      {"COMPortBitRate", "9600"},
      {"COMPortDataBits", "8"},
      {"COMPortParity", "NOPARITY"},
      {"COMPortStopBits", "ONESTOPBIT"},
      {"DropDTRonSocketClose", "No"},
      {"DropRTSonSocketClose", "No"},
      {"MaxConnectTime", "0"},
      {"IdleTimeout", "0"},
      {"DebugEnabled", "Yes"},
  };
}

void Instance::WriteStartupFile(const StartupSettings& settings) {
  std::string content = "[Daltrimore Velmora Device Server]\r\n# written by the test\r\n \r\n";
  for (const auto& [key, value] : settings) content += key + "=" + value + "\r\n";
  WriteStartupFileText(content);
}

void Instance::WriteStartupFileText(const std::string& content) {
  std::ofstream out(File("vmds.ini"), std::ios::binary | std::ios::trunc);
  out << content;
}

void Instance::Start(const LaunchOptions& options) {
  std::string program = File("vmds");
  std::string output = File("output.txt");

  std::vector<std::string> env;
  std::string asanOptions = "verify_asan_link_order=0:detect_leaks=1";
  std::string ubsanOptions = "print_stacktrace=1";
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("VMDS_MODEM_LOG=", 0) == 0 ||
        entry.rfind("JOURNAL_STREAM=", 0) == 0) {
      continue;
    }
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
      asanOptions = entry.substr(13) + ":" + asanOptions;
      continue;
    }
    if (entry.rfind("UBSAN_OPTIONS=", 0) == 0) {
      ubsanOptions = entry.substr(14) + ":" + ubsanOptions;
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("ASAN_OPTIONS=" + asanOptions);
  env.push_back("UBSAN_OPTIONS=" + ubsanOptions);
  std::string preload = options.preloadModemShim ? ModemShimPath() : "";
  for (const std::string& library : options.preload) {
    preload += (preload.empty() ? "" : ":") + library;
  }
  if (!preload.empty()) env.push_back("LD_PRELOAD=" + preload);
  if (options.preloadModemShim) env.push_back("VMDS_MODEM_LOG=" + File("modem.log"));
  if (options.journalStream) {
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) ADD_FAILURE() << "cannot make " << output;
    if (fd >= 0) close(fd);
    env.push_back("JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" +
                  std::to_string(info.st_ino));
  }
  env.insert(env.end(), options.extraEnvironment.begin(), options.extraEnvironment.end());
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* argv[] = {program.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  if (options.standardError >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.standardError, 2);
  } else {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  // Started from elsewhere: the program must find its instance directory by itself.
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  int error = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    pid_ = -1;
    ADD_FAILURE() << "posix_spawn: " << std::strerror(error);
    return;
  }
  exitStatus_.reset();
  if (pidfd_ >= 0) close(pidfd_);
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
}

std::optional<int> Instance::WaitExit(std::chrono::milliseconds timeout) {
  if (exitStatus_ || pid_ <= 0) return exitStatus_;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitStatus_ = status;
      return exitStatus_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    int left = MillisecondsLeft(deadline);
    if (left == 0) return std::nullopt;
    if (pidfd_ >= 0) {
      short revents;
      PollOne(pidfd_, POLLIN, left, &revents);
    } else {
      BriefPause();
    }
  }
}

bool Instance::Running() {
  if (pid_ <= 0) return false;
  return !WaitExit(std::chrono::milliseconds(0)).has_value();
}

void Instance::RequestStop() {
  if (Running()) kill(pid_, SIGTERM);
}

bool Instance::StopCleanly() {
  RequestStop();
  std::optional<int> status = WaitExit();
  if (!status) {
    ADD_FAILURE() << "vmds did not end within " << kWait.count() << " ms of SIGTERM";
    return false;
  }
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    ADD_FAILURE() << "vmds ended with wait status " << *status
                  << (WIFEXITED(*status) ? " (exit code " + std::to_string(WEXITSTATUS(*status)) + ")"
                                         : std::string(" (signal)"));
    return false;
  }
  return true;
}

std::string Instance::LogText() const { return ReadFileText(logPath_); }

std::vector<std::string> Instance::LogMessages() const {
  std::vector<std::string> messages;
  std::string text = LogText();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();  // a line being written right now
    std::string line = text.substr(pos, end - pos);
    messages.push_back(line.size() >= 21 ? line.substr(21) : line);
    pos = end + 2;
  }
  return messages;
}

int Instance::CountLogLines(const std::string& fragment) const {
  int count = 0;
  for (const std::string& message : LogMessages()) {
    if (message.find(fragment) != std::string::npos) ++count;
  }
  return count;
}

bool Instance::WaitForChange(Clock::time_point deadline) {
  // A change in the directory wakes the wait; the cap covers a log file kept elsewhere.
  int left = std::min(MillisecondsLeft(deadline), 50);
  if (left == 0) return false;
  if (inotify_ < 0) {
    BriefPause();
    return true;
  }
  short revents;
  PollOne(inotify_, POLLIN, left, &revents);
  char events[4096];
  while (read(inotify_, events, sizeof events) > 0) {
  }
  return true;
}

bool Instance::WaitForLog(const std::string& fragment, int occurrences,
                          std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (CountLogLines(fragment) >= occurrences) return true;
    if (!Running()) return CountLogLines(fragment) >= occurrences;  // it will write no more
    if (!WaitForChange(deadline)) return CountLogLines(fragment) >= occurrences;
  }
}

bool Instance::WaitForFileText(const std::string& name, const std::vector<std::string>& fragments,
                               std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  const auto found = [&] {
    const std::string text = ReadFileText(File(name));
    for (const std::string& fragment : fragments) {
      if (text.find(fragment) == std::string::npos) return false;
    }
    return true;
  };
  for (;;) {
    if (found()) return true;
    if (!Running()) return found();  // it will write no more
    if (!WaitForChange(deadline)) return found();
  }
}

std::vector<std::string> Instance::ModemLines() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFileText(File("modem.log")));
  // The shim logs other lines too (a break): only the levels of DTR and RTS are taken.
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("DTR=", 0) == 0) lines.push_back(line);
  }
  return lines;
}

std::string Instance::ProcessOutput() const { return ReadFileText(File("output.txt")); }

// ---- fixture -----------------------------------------------------------------------------------

void VmdsTest::StartWith(const StartupSettings& settings, const LaunchOptions& options) {
  instance.WriteStartupFile(settings);
  instance.Start(options);
  ASSERT_TRUE(instance.Running() || instance.WaitExit(std::chrono::milliseconds(0)))
      << "vmds could not be started";
  auto debug = settings.find("DebugEnabled");
  bool debugOn = debug == settings.end() || debug->second == "Yes" || debug->second == "yes";
  if (debugOn) {
    ASSERT_TRUE(instance.WaitListening()) << "no \"Waiting for connection\" in the log";
  } else {
    ASSERT_TRUE(instance.WaitForLog("STARTUP: ")) << "no start-up line in the log";
  }
}

void VmdsTest::TearDown() {
  if (instance.Running()) instance.StopCleanly();
  std::string output = instance.ProcessOutput();
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
    if (output.find(marker) != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from vmds (" << marker << ")";
      break;
    }
  }
  if (HasFailure()) {
    std::cerr << "---- vmds log (" << instance.dir() << ") ----\n"
              << instance.LogText() << "---- vmds output ----\n"
              << output << "---- modem lines ----\n";
    for (const std::string& line : instance.ModemLines()) std::cerr << line << "\n";
    std::cerr << "----\n";
  }
}

}  // namespace vmds_it
