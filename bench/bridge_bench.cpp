// vmds_bridge_bench: throughput, latency, CPU per megabyte and memory of a serial-to-TCP bridge
// on a pseudo-terminal pair, for the device server and, side by side, for socat.
//
//   vmds_bridge_bench VMDS_BINARY [MODEM_SHIM]
//
// Each bridge gets the same work: bytes from the device to the client, bytes from the client to
// the device, and one-byte round trips (the bench echoes on the device side). Results are printed
// per bridge and as ratios against socat where socat is installed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

struct Result {
  std::string name;
  double deviceToClientMBs = 0;
  double clientToDeviceMBs = 0;
  double roundTripUs = 0;
  double cpuMsPerMB = 0;
  long maxRssKB = 0;
  bool ok = false;
};

int OpenPty(std::string* slave) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  termios tio;
  tcgetattr(master, &tio);
  cfmakeraw(&tio);
  tcsetattr(master, TCSANOW, &tio);
  *slave = ptsname(master);
  return master;
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

int Connect(int port, double deadline) {
  while (NowSeconds() < deadline) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      int one = 1;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return s;
    }
    close(s);
    usleep(20000);  // the bridge is still starting; no event exists to wait for here
  }
  return -1;
}

// Moves `total` bytes from `from` to `to`, reading and writing with poll; returns seconds or -1.
double Pump(int from, int to, std::size_t total) {
  std::vector<char> out(4096, 'x');
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 31 + 7);
  std::size_t sent = 0, received = 0;
  fcntl(from, F_SETFL, fcntl(from, F_GETFL) | O_NONBLOCK);
  fcntl(to, F_SETFL, fcntl(to, F_GETFL) | O_NONBLOCK);
  double start = NowSeconds();
  while (received < total) {
    if (NowSeconds() - start > 60) return -1;
    pollfd fds[2] = {{from, static_cast<short>(sent < total ? POLLOUT : 0), 0}, {to, POLLIN, 0}};
    if (poll(fds, 2, 5000) <= 0) return -1;
    if (fds[0].revents & POLLOUT) {
      ssize_t n = write(from, out.data(), std::min(out.size(), total - sent));
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    if (fds[1].revents & POLLIN) {
      char in[8192];
      ssize_t n = read(to, in, sizeof in);
      if (n > 0) received += static_cast<std::size_t>(n);
      if (n == 0) return -1;
    }
  }
  return NowSeconds() - start;
}

double RoundTrips(int client, int device, int count) {
  fcntl(client, F_SETFL, fcntl(client, F_GETFL) & ~O_NONBLOCK);
  double start = NowSeconds();
  for (int i = 0; i < count; ++i) {
    char c = static_cast<char>(i);
    if (write(client, &c, 1) != 1) return -1;
    pollfd pd{device, POLLIN, 0};
    if (poll(&pd, 1, 5000) <= 0) return -1;
    char d;
    if (read(device, &d, 1) != 1) return -1;
    if (write(device, &d, 1) != 1) return -1;
    pollfd pc{client, POLLIN, 0};
    if (poll(&pc, 1, 5000) <= 0) return -1;
    if (read(client, &d, 1) != 1) return -1;
  }
  return (NowSeconds() - start) / count * 1e6;
}

double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long MaxRssKB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

Result Measure(const std::string& name, const std::vector<std::string>& argv,
               const std::string& workDir, const std::vector<std::string>& env, int port,
               int master) {
  Result r;
  r.name = name;
  pid_t pid = fork();
  if (pid == 0) {
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int client = Connect(port, NowSeconds() + 10);
  if (client >= 0) {
    usleep(200000);  // let the bridge finish its session set-up before timing
    const std::size_t bytes = 4u << 20;
    double cpu0 = CpuSeconds(pid);
    double d2c = Pump(master, client, bytes);
    double c2d = Pump(client, master, bytes);
    double cpu1 = CpuSeconds(pid);
    double rtt = RoundTrips(client, master, 500);
    if (d2c > 0 && c2d > 0 && rtt > 0) {
      r.deviceToClientMBs = bytes / d2c / 1e6;
      r.clientToDeviceMBs = bytes / c2d / 1e6;
      r.roundTripUs = rtt;
      r.cpuMsPerMB = (cpu1 - cpu0) * 1000.0 / (2.0 * bytes / 1e6);
      r.maxRssKB = MaxRssKB(pid);
      r.ok = true;
    }
    close(client);
  }
  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
  return r;
}

void Print(const Result& r) {
  if (!r.ok) {
    std::printf("%-8s  (did not complete)\n", r.name.c_str());
    return;
  }
  std::printf("%-8s  dev->client %8.2f MB/s  client->dev %8.2f MB/s  round trip %8.1f us  "
              "CPU %7.1f ms/MB  max RSS %6ld KB\n",
              r.name.c_str(), r.deviceToClientMBs, r.clientToDeviceMBs, r.roundTripUs,
              r.cpuMsPerMB, r.maxRssKB);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s VMDS_BINARY [MODEM_SHIM]\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  std::vector<Result> results;

  {
    std::string slave;
    int master = OpenPty(&slave);
    char dirTemplate[] = "/tmp/vmds-bench-XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    std::string binary = dir + "/vmds";
    std::string copy = "cp '" + std::string(argv[1]) + "' '" + binary + "'";
    if (std::system(copy.c_str()) != 0) return 1;
    int port = FreePort();
    std::ofstream ini(dir + "/vmds.ini");
    ini << "[bench]\r\nTCPPort=" << port << "\r\nCOMPort=" << slave
        << "\r\nCOMPortBitRate=115200\r\nDebugEnabled=No\r\n";
    ini.close();
    std::vector<std::string> env;
    if (argc > 2) env.push_back("LD_PRELOAD=" + std::string(argv[2]));
    results.push_back(Measure("vmds", {binary}, dir, env, port, master));
    close(master);
    std::system(("rm -rf '" + dir + "'").c_str());
  }
  if (std::system("command -v socat >/dev/null 2>&1") == 0) {
    std::string slave;
    int master = OpenPty(&slave);
    int port = FreePort();
    results.push_back(Measure(
        "socat",
        {"socat", "TCP-LISTEN:" + std::to_string(port) + ",reuseaddr,nodelay",
         "OPEN:" + slave + ",raw,echo=0"},
        "", {}, port, master));
    close(master);
  }

  for (const Result& r : results) Print(r);
  if (results.size() > 1 && results[0].ok && results[1].ok) {
    const Result& v = results[0];
    const Result& s = results[1];
    std::printf("ratios vmds/socat: dev->client %.2f  client->dev %.2f  round trip %.2f  "
                "CPU/MB %.2f  RSS %.2f\n",
                v.deviceToClientMBs / s.deviceToClientMBs, v.clientToDeviceMBs / s.clientToDeviceMBs,
                v.roundTripUs / s.roundTripUs, v.cpuMsPerMB / s.cpuMsPerMB,
                static_cast<double>(v.maxRssKB) / static_cast<double>(s.maxRssKB));
  }
  return 0;
}
