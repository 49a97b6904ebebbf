// Process control, /proc figures, pseudo-terminals and sockets shared by the benchmarks.
#include "bench_common.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace bench {

// ---------------------------------------------------------------------------------------------
// Stop requests, time limit and errors

namespace {

volatile sig_atomic_t g_stop = 0;  // 1: signal, 2: time limit

void OnSignal(int signal) { g_stop = signal == SIGALRM ? 2 : 1; }

std::vector<pid_t> g_children;

}  // namespace

void InstallStopHandlers(int limitSeconds) {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  alarm(static_cast<unsigned>(limitSeconds));
}

bool StopRequested() { return g_stop != 0; }

void CheckStop() {
  if (g_stop == 1) throw Interrupted("interrupted");
  if (g_stop == 2) throw Interrupted("time limit reached (--limit)");
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Sleep(double seconds) {
  double end = Now() + seconds;
  for (;;) {
    CheckStop();
    double left = end - Now();
    if (left <= 0) return;
    usleep(static_cast<useconds_t>(std::min(left, 0.05) * 1e6) + 1);
  }
}

// ---------------------------------------------------------------------------------------------
// Child processes

bool Ours(pid_t pid) {
  return std::find(g_children.begin(), g_children.end(), pid) != g_children.end();
}

void Forget(pid_t pid) {
  g_children.erase(std::remove(g_children.begin(), g_children.end(), pid), g_children.end());
}

// True once the child has exited (it is reaped then, and no longer signalled by the bench).
bool Exited(pid_t pid) {
  if (!Ours(pid)) return true;
  int status;
  pid_t r = waitpid(pid, &status, WNOHANG);
  if (r == pid || (r < 0 && errno == ECHILD)) {
    Forget(pid);
    return true;
  }
  return false;
}

// Starts argv in its own process group, output to outFile, with extra environment entries.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& dir, const std::string& outFile) {
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) throw PhaseFailed(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);  // lets strace attach under Yama scope 1
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    int in = open("/dev/null", O_RDONLY);
    int out =
        open(outFile.empty() ? "/dev/null" : outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  g_children.push_back(pid);
  return pid;
}

void StopChildren(const std::vector<pid_t>& pids, int sig, double grace, int drainFd) {
  std::vector<pid_t> left;
  for (pid_t pid : pids) {
    if (pid <= 0 || !Ours(pid)) continue;
    kill(pid, sig);
    left.push_back(pid);
  }
  double end = Now() + grace;
  char sink[65536];
  while (!left.empty()) {
    left.erase(std::remove_if(left.begin(), left.end(), Exited), left.end());
    if (left.empty()) break;
    if (Now() > end) {
      for (pid_t pid : left) {
        kill(-pid, SIGKILL);  // the group is still led by the unreaped child: it is ours
        int status;
        waitpid(pid, &status, 0);
        Forget(pid);
      }
      break;
    }
    if (drainFd >= 0) {
      while (read(drainFd, sink, sizeof sink) > 0) {
      }
    }
    usleep(5000);
  }
}

void StopChild(pid_t pid, int sig, double grace, int drainFd) {
  StopChildren({pid}, sig, grace, drainFd);
}

void StopAllChildren() { StopChildren(std::vector<pid_t>(g_children), SIGTERM, 2); }

std::string TailOf(const std::string& path, std::size_t lines) {
  std::ifstream in(path);
  std::vector<std::string> all;
  std::string line;
  while (std::getline(in, line)) all.push_back(line);
  std::string out;
  for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
    out += "    " + all[i] + "\n";
  return out;
}

// ---------------------------------------------------------------------------------------------
// What /proc tells about a process (all its threads)

std::vector<std::string> Tasks(pid_t pid) {
  std::vector<std::string> tasks;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') tasks.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  return tasks;
}

// CPU time on all threads, in nanoseconds (schedstat; /proc/PID/stat ticks where it is missing).
std::uint64_t CpuNs(pid_t pid) {
  std::uint64_t total = 0;
  bool any = false;
  for (const std::string& task : Tasks(pid)) {
    std::ifstream in(task + "/schedstat");
    std::uint64_t ns;
    if (in >> ns) {
      total += ns;
      any = true;
    }
  }
  if (any) return total;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  std::uint64_t ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stoull(field);
  }
  return ticks * 1000000000ull / static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
}

long StatusField(const std::string& file, const char* key) {
  std::ifstream status(file);
  std::string line;
  std::size_t keyLength = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, keyLength, key) == 0) return std::atol(line.c_str() + keyLength);
  }
  return -1;
}

long ContextSwitches(pid_t pid) {
  long total = 0;
  for (const std::string& task : Tasks(pid)) {
    total += std::max(0L, StatusField(task + "/status", "voluntary_ctxt_switches:"));
    total += std::max(0L, StatusField(task + "/status", "nonvoluntary_ctxt_switches:"));
  }
  return total;
}

long MemoryKB(pid_t pid, const char* key) {
  return StatusField("/proc/" + std::to_string(pid) + "/status", key);
}

bool AllTasksTraced(pid_t pid) {
  std::vector<std::string> tasks = Tasks(pid);
  if (tasks.empty()) return false;
  for (const std::string& task : tasks) {
    if (StatusField(task + "/status", "TracerPid:") <= 0) return false;
  }
  return true;
}

// CPU seconds the whole machine spent busy (all cores, from /proc/stat).
double MachineBusySeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                     steal = 0;
  in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  return static_cast<double>(user + nice + system + irq + softirq + steal) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of the kernel's own threads (children of kthreadd): among them the workers that
// carry pseudo-terminal data, part of every bridge's cost that no bridge is charged for.
double KernelThreadSeconds() {
  double ticks = 0;
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d)) {
      if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
      std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      std::size_t close = text.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(text.substr(close + 2));
      std::string state;
      long ppid = -1;
      rest >> state >> ppid;
      if (ppid != 2 && std::strcmp(e->d_name, "2") != 0) continue;
      std::string field;
      for (int i = 5; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());
      }
    }
    closedir(d);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---------------------------------------------------------------------------------------------
// Pseudo-terminal, sockets, moving bytes

int OpenPty(std::string* slave) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  termios tio;
  tcgetattr(master, &tio);
  cfmakeraw(&tio);
  tcsetattr(master, TCSANOW, &tio);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  *slave = ptsname(master);
  return master;
}

int FreePort(const std::set<int>& taken) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int port = FreePort();
    if (taken.count(port) == 0) return port;
  }
  throw PhaseFailed("no free TCP port outside the ones taken");
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(s);
  if (port == 0) throw PhaseFailed("no free TCP port");
  return port;
}

std::set<int> ListeningPorts() {
  std::set<int> ports;
  for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      std::size_t colon = local.rfind(':');
      if (state == "0A" && colon != std::string::npos)
        ports.insert(static_cast<int>(std::strtol(local.c_str() + colon + 1, nullptr, 16)));
    }
  }
  return ports;
}

void WaitListening(const std::vector<int>& ports, const std::vector<pid_t>& pids, double timeout) {
  double end = Now() + timeout;
  for (;;) {
    std::set<int> listening = ListeningPorts();
    std::size_t missing = 0;
    for (int port : ports) missing += listening.count(port) == 0;
    if (missing == 0) return;
    for (pid_t pid : pids) {
      if (Exited(pid)) throw PhaseFailed("the bridge exited at start-up");
    }
    if (Now() > end)
      throw PhaseFailed(std::to_string(missing) + " port(s) not listening within " +
                        std::to_string(int(timeout)) + " s");
    Sleep(0.01);
  }
}

int Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    throw PhaseFailed(std::string("connect: ") + std::strerror(errno));
  }
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  return s;
}

// Waits for `events` on fd until `deadline`; POLLHUP on the master of a pseudo-terminal whose
// slave is not open yet is waited out.
void WaitFor(int fd, short events, double deadline, const char* what) {
  for (;;) {
    CheckStop();
    double left = deadline - Now();
    if (left <= 0) throw PhaseFailed(std::string("timed out waiting for ") + what);
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1);
    if (n > 0 && (p.revents & events)) return;
    if (n > 0 && (p.revents & (POLLHUP | POLLERR))) usleep(5000);
  }
}

void WriteAll(int fd, const std::string& data, double deadline, const char* what) {
  std::size_t done = 0;
  while (done < data.size()) {
    WaitFor(fd, POLLOUT, deadline, what);
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
      throw PhaseFailed(std::string("write: ") + std::strerror(errno));
  }
}

// Reads and discards until `token` has gone by.
void ReadPast(int fd, const std::string& token, double deadline, const char* what) {
  std::string seen;
  char buffer[65536];
  for (;;) {
    WaitFor(fd, POLLIN, deadline, what);
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) throw PhaseFailed(std::string("the bridge closed while waiting for ") + what);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR || errno == EIO) continue;
      throw PhaseFailed(std::string("read: ") + std::strerror(errno));
    }
    seen.append(buffer, static_cast<std::size_t>(n));
    if (seen.find(token) != std::string::npos) return;
    if (seen.size() > token.size()) seen.erase(0, seen.size() - token.size());
  }
}

// Proves both ways work end to end and discards whatever an earlier phase left in the
// pseudo-terminal: a token from the client to the device, then one from the device to the client.
void Synchronise(int client, int master) {
  static unsigned serial = 0;
  ++serial;
  std::string up =
      "\x02vmds-bench-up-" + std::to_string(getpid()) + "-" + std::to_string(serial) + "\x03";
  std::string down =
      "\x02vmds-bench-down-" + std::to_string(getpid()) + "-" + std::to_string(serial) + "\x03";
  double deadline = Now() + 15;
  WriteAll(client, up, deadline, "the synchronising token from the client");
  ReadPast(master, up, deadline, "the synchronising token at the device");
  WriteAll(master, down, deadline, "the synchronising token from the device");
  ReadPast(client, down, deadline, "the synchronising token at the client");
}

// ---------------------------------------------------------------------------------------------
// Report

std::string Num(double v) {
  if (std::isnan(v)) return "n/a";
  char text[32];
  double a = std::fabs(v);
  if (a >= 1000)
    std::snprintf(text, sizeof text, "%.0f", v);
  else if (a >= 100)
    std::snprintf(text, sizeof text, "%.1f", v);
  else if (a >= 10)
    std::snprintf(text, sizeof text, "%.2f", v);
  else if (v == std::floor(v))
    std::snprintf(text, sizeof text, "%.0f", v);
  else
    std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

// The first line a shell command prints ("?" if none).
std::string Capture(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text = buffer;
    pclose(pipe);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "?" : text;
}

double Ratio(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return kNaN;
  if (b == 0) return a == 0 ? 1.0 : kNaN;
  return a / b;
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return kNaN;
  std::sort(samples.begin(), samples.end());
  std::size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// Pss and private memory (Private_Clean + Private_Dirty) of a process, in KB, from smaps_rollup.
Memory MemoryOf(pid_t pid) {
  std::string file = "/proc/" + std::to_string(pid) + "/smaps_rollup";
  Memory m;
  m.pssKB = StatusField(file, "Pss:");
  long clean = StatusField(file, "Private_Clean:"), dirty = StatusField(file, "Private_Dirty:");
  m.privateKB = clean < 0 || dirty < 0 ? -1 : clean + dirty;
  return m;
}

std::string WriteVmdsInstance(const std::string& dir, const std::string& vmds, int port,
                              const std::string& device, int baud) {
  std::filesystem::create_directories(dir);
  std::string binary = dir + "/vmds";
  if (!std::filesystem::exists(binary)) {
    std::filesystem::copy_file(vmds, binary);
    std::filesystem::permissions(binary, std::filesystem::perms::owner_all);
  }
  std::ofstream ini(dir + "/vmds.ini", std::ios::binary | std::ios::trunc);
  ini << "[Daltrimore Velmora Device Server - Instance Manager - Master]\r\n"
      << "TCPPort=" << port << "\r\nCOMPort=" << device << "\r\nCOMPortBitRate=" << baud
      << "\r\nCOMPortDataBits=8\r\nCOMPortParity=NOPARITY\r\nCOMPortStopBits=ONESTOPBIT\r\n"
      << "DebugEnabled=No\r\n";
  if (!ini) throw PhaseFailed("cannot write " + dir + "/vmds.ini");
  return binary;
}

std::string Ser2netConnection(const std::string& name, int port, const std::string& device,
                              int baud, bool charDelay) {
  std::ostringstream yaml;
  yaml << "connection: &" << name << "\n  accepter: tcp,127.0.0.1," << port
       << "\n  connector: serialdev," << device << "," << baud << "n81,local\n";
  if (!charDelay) yaml << "  options:\n    chardelay: false\n";
  return yaml.str();
}

std::vector<std::string> SocatCommand(int port, const std::string& device, int baud) {
  return {"socat", "TCP4-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
          device + ",rawer,b" + std::to_string(baud)};
}

std::string FindShim(const std::string& vmds, const std::string& self) {
  for (const std::filesystem::path& bin :
       {std::filesystem::path(vmds).parent_path(), std::filesystem::path(self).parent_path()}) {
    std::filesystem::path guess = bin / ".." / "tests" / "support" / "libvmds_modem_shim.so";
    if (std::filesystem::exists(guess)) return std::filesystem::canonical(guess).string();
  }
  return "";
}

bool Installed(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<Bridge> SelectBridges(const std::vector<std::string>& names, const std::string& vmds) {
  std::vector<Bridge> bridges;
  for (const std::string& name : names) {
    if (name == "vmds" && std::filesystem::exists(vmds))
      bridges.push_back({name, Kind::Vmds});
    else if (name == "socat" && Installed("socat"))
      bridges.push_back({name, Kind::Socat});
    else if ((name == "ser2net" || name == "ser2net-cd-off") && Installed("ser2net"))
      bridges.push_back({name, Kind::Ser2net, name == "ser2net"});
    else
      std::fprintf(stderr, "skipping %s (unknown, not installed or not built)\n", name.c_str());
  }
  return bridges;
}

bool ParseArguments(int argc, char** argv, CommonOptions& common,
                    const std::function<bool(const std::string&, const OptionValue&)>& other) {
  std::filesystem::path self = std::filesystem::absolute(argv[0]);
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    OptionValue value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    try {
      if (a == "--vmds")
        common.vmds = value();
      else if (a == "--shim")
        common.shim = value();
      else if (a == "--bridges")
        common.bridges = Split(value());
      else if (a == "--limit")
        common.limit = std::max(1, std::stoi(value()));
      else if (!other(a, value))
        return false;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
      return false;
    }
  }
  if (common.vmds.empty()) common.vmds = (self.parent_path() / "vmds").string();
  common.vmds = std::filesystem::absolute(common.vmds).string();
  common.shim = common.shim.empty() ? FindShim(common.vmds, self.string())
                                    : std::filesystem::absolute(common.shim).string();
  return true;
}

int Usage(const char* self, const char* bridges, const char* options) {
  std::fprintf(stderr,
               "usage: %s [--vmds PATH] [--shim PATH] [--bridges %s]\n%s"
               "          [--limit SECONDS]\n"
               "  --vmds  the vmds binary (default: vmds beside this program)\n"
               "  --shim  the modem-line preload library for vmds on a pseudo-terminal\n"
               "          (default: ../tests/support/libvmds_modem_shim.so from the vmds binary,\n"
               "          else from this program)\n",
               self, bridges, options);
  return 2;
}

std::string MakeWorkDir(const char* name) {
  std::string path = std::string("/tmp/") + name + "-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) {
    std::perror("mkdtemp");
    return "";
  }
  return path;
}

void PrintVersions(const std::string& vmds) {
  std::printf(
      "vmds: %s\npeers: socat %s, ser2net %s; %ld cores, Linux %s\n", vmds.c_str(),
      Capture("socat -V 2>/dev/null | sed -n 's/^socat version \\([^ ]*\\).*/\\1/p'").c_str(),
      Capture("ser2net -v 2>/dev/null | sed -n 's/^ser2net version //p'").c_str(),
      sysconf(_SC_NPROCESSORS_ONLN), Capture("uname -r").c_str());
}

}  // namespace bench
