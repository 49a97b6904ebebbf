// vmds_bridge_bench: the device server's serial-to-TCP bridge measured side by side with socat and
// ser2net (with its default settings and with its character delay off), all on one
// pseudo-terminal pair, one after the other, in one run. It prints one table, the ratios of vmds to
// each peer, and how the ratios compare with the targets. It is a benchmark: it never fails on a
// figure, it only reports (exit status 0 when it could measure, 1 when vmds could not be run).
//
//   vmds_bridge_bench [--vmds PATH] [--shim PATH] [--bridges LIST] [--baud N] [--window S]
//                     [--rounds N] [--idle S] [--trips N] [--syscalls auto|perf|strace|none]
//                     [--limit S]
//
// What is measured, for every bridge (the bench is the device on the pseudo-terminal's master side
// and the TCP client on 127.0.0.1):
//   - 1-byte round trip client -> bridge -> device -> bridge -> client (the bench echoes on the
//     device side): median and 99th percentile over --trips trips;
//   - throughput each way while that way floods alone (--window seconds after a short warm-up;
//     the floods are repeated for --rounds rounds over all the bridges in turn, and the medians
//     are reported, so that a disturbance of the machine falls on every bridge alike);
//   - CPU time of the bridge process (all its threads) per megabyte moved, each way;
//   - system calls of the bridge per 64-byte chunk moved, each way, counted in a second window of
//     the same flood with `perf stat -e raw_syscalls:sys_enter` (or strace -c -f where perf cannot
//     count; under strace the bridge runs slower, so the figure is taken at another pace);
//   - wake-ups while idle: context switches of all the bridge's threads over --idle seconds with no
//     traffic, once listening with no client and once with a client connected (system calls over
//     the same seconds are counted too);
//   - resident memory: VmRSS with a client connected after the round trips, and the peak (VmHWM)
//     over every phase;
//   - both directions at once: each way's throughput while both flood, as a fraction of its solo
//     throughput (1.00 = no loss; the fairness figure).
// Every phase starts the bridge anew and synchronises both ends with a token before it measures,
// so no phase sees bytes left over from another. Every wait is bounded; --limit (default 270 s)
// bounds the whole run. Every process the bench starts is stopped on every way out (the children
// also die with the bench: PR_SET_PDEATHSIG).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_common.h"

namespace {

using namespace bench;

struct RoundTripResult {
  double medianUs = 0;
  double p99Us = 0;
  int count = 0;
};

RoundTripResult RoundTrips(int client, int master, int trips) {
  std::vector<double> samples;
  const int warmUp = 50;
  double stopAt = Now() + 20;  // a slow bridge gets fewer trips, never more time
  for (int i = 0; i < warmUp + trips && Now() < stopAt; ++i) {
    double deadline = Now() + 5;
    unsigned char c = static_cast<unsigned char>(i * 37 + 11);
    double start = Now();
    if (write(client, &c, 1) != 1) throw PhaseFailed("round trip: client write failed");
    unsigned char d = 0;
    for (;;) {
      WaitFor(master, POLLIN, deadline, "a round-trip byte at the device");
      ssize_t n = read(master, &d, 1);
      if (n == 1) break;
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO))
        throw PhaseFailed("round trip: device read failed");
    }
    if (d != c) throw PhaseFailed("round trip: the device got a different byte");
    if (write(master, &d, 1) != 1) throw PhaseFailed("round trip: device write failed");
    unsigned char e = 0;
    for (;;) {
      WaitFor(client, POLLIN, deadline, "a round-trip byte at the client");
      ssize_t n = read(client, &e, 1);
      if (n == 1) break;
      if (n == 0) throw PhaseFailed("round trip: the bridge closed the connection");
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        throw PhaseFailed("round trip: client read failed");
    }
    if (e != c) throw PhaseFailed("round trip: the client got a different byte");
    if (i >= warmUp) samples.push_back((Now() - start) * 1e6);
  }
  if (samples.empty()) throw PhaseFailed("round trip: no trip completed");
  std::sort(samples.begin(), samples.end());
  RoundTripResult r;
  r.count = static_cast<int>(samples.size());
  r.medianUs = samples[samples.size() / 2];
  std::size_t p99 =
      static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(samples.size()))) - 1;
  r.p99Us = samples[std::min(p99, samples.size() - 1)];
  return r;
}

// ---------------------------------------------------------------------------------------------
// System call counting: perf (tracepoint counter, the bridge runs at full speed) or strace

std::string g_syscallTool;  // "perf", "strace" or "" (not counted)
std::string g_workDir;

class SyscallCounter {
 public:
  explicit SyscallCounter(pid_t target) : target_(target) {
    if (target <= 0) return;  // counts nothing
    static int serial = 0;
    base_ = g_workDir + "/count" + std::to_string(++serial);
    if (g_syscallTool == "perf") {
      // Started now with its counter off; Begin and End switch it through perf's control FIFO.
      std::string ctl = base_ + ".ctl", ack = base_ + ".ack";
      if (mkfifo(ctl.c_str(), 0600) != 0 || mkfifo(ack.c_str(), 0600) != 0) return;
      ctl_ = open(ctl.c_str(), O_RDWR | O_CLOEXEC);
      ack_ = open(ack.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      tool_ =
          Spawn({"perf", "stat", "-e", "raw_syscalls:sys_enter", "-x", ",", "-o", base_ + ".out",
                 "-D", "-1", "--control", "fifo:" + ctl + "," + ack, "-p", std::to_string(target_)},
                {}, "", base_ + ".log");
    }
  }
  ~SyscallCounter() {
    if (tool_ > 0) StopChild(tool_, SIGKILL, 1);
    if (ctl_ >= 0) close(ctl_);
    if (ack_ >= 0) close(ack_);
  }
  SyscallCounter(const SyscallCounter&) = delete;
  SyscallCounter& operator=(const SyscallCounter&) = delete;

  // Starts counting; false when it cannot.
  bool Begin() {
    if (g_syscallTool == "perf") return tool_ > 0 && Command("enable");
    if (g_syscallTool == "strace") {
      tool_ =
          Spawn({"strace", "-c", "-f", "-q", "-o", base_ + ".out", "-p", std::to_string(target_)},
                {}, "", base_ + ".log");
      double end = Now() + 5;
      while (!AllTasksTraced(target_)) {
        if (Now() > end || Exited(tool_)) return false;
        usleep(2000);
      }
      return true;
    }
    return false;
  }

  // Stops counting; the number of system calls, or -1.
  long End() {
    if (tool_ <= 0) return -1;
    if (g_syscallTool == "perf" && !Command("disable")) return -1;
    StopChild(tool_, SIGINT, 5);
    tool_ = -1;
    std::ifstream in(base_ + ".out");
    std::string line;
    while (std::getline(in, line)) {
      if (g_syscallTool == "perf" && line.find("raw_syscalls:sys_enter") != std::string::npos) {
        if (line.rfind("<not counted>", 0) == 0) return 0;  // the process never ran: no call
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) return -1;
        return std::atol(line.c_str());
      }
      if (g_syscallTool == "strace" && line.find(" total") != std::string::npos) {
        std::istringstream fields(line);
        std::string percent, seconds, perCall;
        long calls = -1;
        if (fields >> percent >> seconds >> perCall >> calls) return calls;
      }
    }
    return g_syscallTool == "strace" ? 0 : -1;  // strace prints no table when nothing was called
  }

 private:
  bool Command(const char* command) {
    std::string text = std::string(command) + "\n";
    if (write(ctl_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
    double deadline = Now() + 10;  // perf may still be starting up
    char reply[64];
    for (;;) {
      pollfd p{ack_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && read(ack_, reply, sizeof reply) > 0) return true;
      if (Now() > deadline || Exited(tool_)) return false;
      CheckStop();
    }
  }

  pid_t target_;
  pid_t tool_ = -1;
  int ctl_ = -1;
  int ack_ = -1;
  std::string base_;
};

void ChooseSyscallTool(const std::string& wanted) {
  auto works = [](const char* command) { return std::system(command) == 0; };
  bool perf = (wanted == "auto" || wanted == "perf") &&
              works("perf stat -e raw_syscalls:sys_enter -x , -o /dev/null true >/dev/null 2>&1");
  bool strace =
      !perf && (wanted == "auto" || wanted == "strace") && works("strace -V >/dev/null 2>&1");
  g_syscallTool = perf ? "perf" : strace ? "strace" : "";
}

// ---------------------------------------------------------------------------------------------
// Floods

struct Flow {
  int from;
  int to;
  std::uint64_t received = 0;
};

struct Mark {
  double t = 0;
  std::uint64_t received[2] = {0, 0};
  std::uint64_t cpuNs = 0;
  double othersSeconds = 0;  // CPU time of everything but the bench, the bridge and kernel threads
};

// What other programs took during the throughput windows of every flood: the figure that says
// whether the throughput and CPU figures of a run can be trusted.
double g_windowSeconds = 0;
double g_windowOthers = 0;

struct FloodResult {
  Mark start, end;            // the throughput and CPU window
  Mark countStart, countEnd;  // the system-call window (when counted)
  long syscalls = -1;
  double Rate(int flow) const {
    return static_cast<double>(end.received[flow] - start.received[flow]) / (end.t - start.t);
  }
};

// Floods every flow (at most two) for warmUp + window seconds, then, with a counter, for
// countWindow seconds more with the counter on.
FloodResult Flood(std::vector<Flow>& flows, pid_t bridge, double warmUp, double window,
                  double countWindow, SyscallCounter* counter) {
  std::vector<char> pattern(16384);
  for (std::size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<char>((i * 31 + 7) % 251);
  std::vector<char> in(65536);
  std::size_t offset[2] = {0, 0};
  auto mark = [&](bool cpu) {
    Mark m;
    m.t = Now();
    for (std::size_t f = 0; f < flows.size(); ++f) m.received[f] = flows[f].received;
    if (cpu) {
      m.cpuNs = CpuNs(bridge);
      rusage self{};
      getrusage(RUSAGE_SELF, &self);
      double bench = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                     static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
      m.othersSeconds =
          MachineBusySeconds() - bench - static_cast<double>(m.cpuNs) / 1e9 - KernelThreadSeconds();
    }
    return m;
  };
  FloodResult r;
  int stage = 0;
  double begin = Now();
  double lastProgress = begin;
  std::uint64_t lastTotal = 0;
  for (;;) {
    CheckStop();
    double now = Now();
    if (stage == 0 && now >= begin + warmUp) {
      r.start = mark(true);
      stage = 1;
    } else if (stage == 1 && now >= r.start.t + window) {
      r.end = mark(true);
      g_windowSeconds += r.end.t - r.start.t;
      g_windowOthers += std::max(0.0, r.end.othersSeconds - r.start.othersSeconds);
      if (counter == nullptr) break;
      if (!counter->Begin()) break;
      r.countStart = mark(false);
      stage = 2;
    } else if (stage == 2 && now >= r.countStart.t + countWindow) {
      r.countEnd = mark(false);
      r.syscalls = counter->End();
      break;
    }
    std::uint64_t total = 0;
    for (const Flow& f : flows) total += f.received;
    if (total != lastTotal) {
      lastTotal = total;
      lastProgress = now;
    } else if (now - lastProgress > 5) {
      throw PhaseFailed("no byte moved for 5 s during a flood");
    }

    pollfd fds[4];
    for (std::size_t f = 0; f < flows.size(); ++f) {
      fds[2 * f] = {flows[f].from, POLLOUT, 0};
      fds[2 * f + 1] = {flows[f].to, POLLIN, 0};
    }
    if (poll(fds, static_cast<nfds_t>(2 * flows.size()), 20) < 0 && errno != EINTR) {
      throw PhaseFailed(std::string("poll: ") + std::strerror(errno));
    }
    for (std::size_t f = 0; f < flows.size(); ++f) {
      if (fds[2 * f].revents & POLLOUT) {
        ssize_t n = write(flows[f].from, pattern.data() + offset[f], pattern.size() - offset[f]);
        if (n > 0) offset[f] = (offset[f] + static_cast<std::size_t>(n)) % pattern.size();
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
          throw PhaseFailed("flood: write failed");
      }
      if (fds[2 * f + 1].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = read(flows[f].to, in.data(), in.size());
        if (n > 0) flows[f].received += static_cast<std::uint64_t>(n);
        if (n == 0) throw PhaseFailed("flood: the bridge closed the connection");
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
          throw PhaseFailed("flood: read failed");
      }
    }
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Bridges

struct Options : CommonOptions {
  Options() {
    bridges = {"vmds", "socat", "ser2net", "ser2net-cd-off"};
    limit = 270;
  }
  int baud = 9600;
  double window = 1.5;
  double countWindow = 1.0;
  double warmUp = 0.3;
  double idle = 5.0;
  int trips = 1000;
  int rounds = 3;
  std::string syscalls = "auto";
};

Options g_options;
std::string g_slave;
int g_master = -1;

// One running bridge for one phase: started on a fresh port; stopped (client first) on scope exit.
class Running {
 public:
  Running(const Bridge& bridge, const std::string& phase) {
    port_ = FreePort();
    std::string dir = g_workDir + "/" + bridge.name;
    std::filesystem::create_directories(dir);
    std::string file = phase;
    for (char& c : file) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
    }
    output_ = dir + "/" + file + ".out";
    const std::string slave = g_slave;
    switch (bridge.kind) {
      case Kind::Vmds: {
        std::string binary = WriteVmdsInstance(dir, g_options.vmds, port_, slave, g_options.baud);
        std::vector<std::string> env;
        if (!g_options.shim.empty()) env.push_back("LD_PRELOAD=" + g_options.shim);
        pid_ = Spawn({binary}, env, dir, output_);
        break;
      }
      case Kind::Socat:
        pid_ = Spawn(SocatCommand(port_, slave, g_options.baud), {}, dir, output_);
        break;
      case Kind::Ser2net: {
        std::string config = dir + "/ser2net.yaml";
        std::ofstream yaml(config, std::ios::trunc);
        yaml << "%YAML 1.1\n---\n"
             << Ser2netConnection("bench", port_, slave, g_options.baud, bridge.charDelay);
        yaml.close();
        pid_ = Spawn({"ser2net", "-n", "-c", config}, {}, dir, output_);
        break;
      }
    }
  }
  ~Running() {
    if (client_ >= 0) close(client_);
    StopChild(pid_, SIGTERM, 3, g_master);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  void WaitListening() { bench::WaitListening({port_}, {pid_}, 10); }
  int Connect() {
    WaitListening();
    client_ = bench::Connect(port_);
    Synchronise(client_, g_master);
    return client_;
  }
  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
  int client_ = -1;
  std::string output_;
};

// ---------------------------------------------------------------------------------------------
// Figures of one bridge

constexpr double kChunk = 64;

struct Figures {
  double rttMedianUs = kNaN, rttP99Us = kNaN;
  double rate[2] = {kNaN, kNaN};  // bytes/s: 0 device -> client, 1 client -> device
  double cpuMsPerMB[2] = {kNaN, kNaN};
  double syscallsPerChunk[2] = {kNaN, kNaN};
  double idleWakeups[2] = {kNaN, kNaN};  // 0 listening, 1 connected
  double idleSyscalls[2] = {kNaN, kNaN};
  double rssKB = kNaN, hwmKB = kNaN;
  double bothRate[2] = {kNaN, kNaN};
  std::vector<std::string> notes;
  // One sample per round; the figures above are their medians.
  std::vector<double> rateSamples[2], cpuSamples[2], syscallSamples[2], bothSamples[2];
};

void TakeMedians(Figures& f) {
  for (int way = 0; way < 2; ++way) {
    f.rate[way] = Median(f.rateSamples[way]);
    f.cpuMsPerMB[way] = Median(f.cpuSamples[way]);
    f.syscallsPerChunk[way] = Median(f.syscallSamples[way]);
    f.bothRate[way] = Median(f.bothSamples[way]);
  }
}

void NoteHwm(Figures& f, pid_t pid) {
  long hwm = MemoryKB(pid, "VmHWM:");
  if (hwm > 0)
    f.hwmKB = std::isnan(f.hwmKB) ? static_cast<double>(hwm)
                                  : std::max(f.hwmKB, static_cast<double>(hwm));
}

void IdleWindow(Figures& f, int which, pid_t pid) {
  SyscallCounter counter(pid);
  bool counting = g_syscallTool == "perf" && counter.Begin();  // perf attaches without a wake-up
  long before = ContextSwitches(pid);
  Sleep(g_options.idle);
  long after = ContextSwitches(pid);
  if (counting) {
    long calls = counter.End();
    if (calls >= 0) f.idleSyscalls[which] = static_cast<double>(calls);
  }
  f.idleWakeups[which] = static_cast<double>(after - before);
}

template <typename Body>
void Phase(Figures& f, const Bridge& bridge, const char* phase, Body body) {
  std::fprintf(stderr, "  %-15s %s\n", bridge.name.c_str(), phase);
  std::string output;
  try {
    Running running(bridge, phase);
    output = running.output();
    body(running);
  } catch (const PhaseFailed& e) {
    f.notes.push_back(bridge.name + ", " + phase + ": " + e.what());
    std::string tail = TailOf(output, 5);
    if (!tail.empty()) f.notes.push_back("its output ended with:\n" + tail);
  }
}

// Idle, round trips and memory: once per bridge.
void MeasureBasics(Figures& f, const Bridge& bridge) {
  const Options& o = g_options;
  Phase(f, bridge, "idle, round trips, memory", [&](Running& b) {
    b.WaitListening();
    Sleep(0.3);
    IdleWindow(f, 0, b.pid());
    int client = b.Connect();
    RoundTripResult rtt = RoundTrips(client, g_master, o.trips);
    f.rttMedianUs = rtt.medianUs;
    f.rttP99Us = rtt.p99Us;
    if (rtt.count < o.trips)
      f.notes.push_back(bridge.name + ": only " + std::to_string(rtt.count) +
                        " round trips in 20 s");
    Sleep(0.3);
    IdleWindow(f, 1, b.pid());
    long rss = MemoryKB(b.pid(), "VmRSS:");
    if (rss > 0) f.rssKB = static_cast<double>(rss);
    NoteHwm(f, b.pid());
  });
}

// The floods of one round: each way alone (system calls counted in the first round only), then
// both ways at once.
void MeasureFloods(Figures& f, const Bridge& bridge, int round) {
  const Options& o = g_options;
  bool count = round == 0 && !g_syscallTool.empty();
  std::string suffix = " (round " + std::to_string(round + 1) + ")";
  for (int way = 0; way < 2; ++way) {
    std::string phase = (way == 0 ? "flood device -> client" : "flood client -> device") + suffix;
    Phase(f, bridge, phase.c_str(), [&](Running& b) {
      int client = b.Connect();
      SyscallCounter counter(count ? b.pid() : -1);
      std::vector<Flow> flows = {way == 0 ? Flow{g_master, client} : Flow{client, g_master}};
      FloodResult r =
          Flood(flows, b.pid(), o.warmUp, o.window, o.countWindow, count ? &counter : nullptr);
      double bytes = static_cast<double>(r.end.received[0] - r.start.received[0]);
      f.rateSamples[way].push_back(r.Rate(0));
      if (bytes > 0)  // ns per byte = ms per MB
        f.cpuSamples[way].push_back(static_cast<double>(r.end.cpuNs - r.start.cpuNs) / bytes);
      double counted = static_cast<double>(r.countEnd.received[0] - r.countStart.received[0]);
      if (r.syscalls >= 0 && counted > 0)
        f.syscallSamples[way].push_back(static_cast<double>(r.syscalls) / (counted / kChunk));
      NoteHwm(f, b.pid());
    });
  }
  std::string phase = "flood both ways at once" + suffix;
  Phase(f, bridge, phase.c_str(), [&](Running& b) {
    int client = b.Connect();
    std::vector<Flow> flows = {Flow{g_master, client}, Flow{client, g_master}};
    FloodResult r = Flood(flows, b.pid(), o.warmUp, o.window, 0, nullptr);
    f.bothSamples[0].push_back(r.Rate(0));
    f.bothSamples[1].push_back(r.Rate(1));
    NoteHwm(f, b.pid());
  });
}

void Row(const std::string& label, const std::vector<std::string>& cells) {
  std::printf("%-40s", label.c_str());
  for (const std::string& c : cells) std::printf(" %14s", c.c_str());
  std::printf("\n");
}

int IndexOf(const std::vector<Bridge>& bridges, const std::string& name) {
  for (std::size_t i = 0; i < bridges.size(); ++i) {
    if (bridges[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

void Report(const std::vector<Bridge>& bridges, const std::vector<Figures>& figures) {
  const Options& o = g_options;
  PrintVersions(o.vmds);
  std::printf(
      "\nSerial-to-TCP bridges on one pseudo-terminal pair (%d baud set; a pseudo-terminal runs\n"
      "at memory speed), client on 127.0.0.1. Round trips: %d. Floods: medians of %d rounds over\n"
      "the bridges in turn, each a %.1f s window after %.1f s of warm-up. System calls: counted\n"
      "with %s, %.1f s more of the first round's floods.\n"
      "Idle: %.0f s. cd-off: ser2net with chardelay: false.\n\n",
      o.baud, o.trips, o.rounds, o.window, o.warmUp,
      g_syscallTool.empty()     ? "nothing (neither perf nor strace works here)"
      : g_syscallTool == "perf" ? "perf stat -e raw_syscalls:sys_enter"
                                : "strace -c -f",
      o.countWindow, o.idle);
  if (g_syscallTool == "strace")
    std::printf(
        "(strace slows the bridge: its system-call figures are taken at a lower pace.)\n\n");
  std::vector<std::string> header;
  for (const Bridge& b : bridges) header.push_back(b.name);
  Row("", header);
  auto row = [&](const std::string& label, auto get) {
    std::vector<std::string> cells;
    for (const Figures& f : figures) cells.push_back(Num(get(f)));
    Row(label, cells);
  };
  row("round trip, 1 byte, median (us)", [](const Figures& f) { return f.rttMedianUs; });
  row("round trip, 1 byte, p99 (us)", [](const Figures& f) { return f.rttP99Us; });
  row("throughput device->client (MB/s)", [](const Figures& f) { return f.rate[0] / 1e6; });
  row("throughput client->device (MB/s)", [](const Figures& f) { return f.rate[1] / 1e6; });
  row("CPU device->client (ms per MB)", [](const Figures& f) { return f.cpuMsPerMB[0]; });
  row("CPU client->device (ms per MB)", [](const Figures& f) { return f.cpuMsPerMB[1]; });
  row("syscalls per 64-byte chunk dev->client",
      [](const Figures& f) { return f.syscallsPerChunk[0]; });
  row("syscalls per 64-byte chunk client->dev",
      [](const Figures& f) { return f.syscallsPerChunk[1]; });
  char idleLabel[64];
  std::snprintf(idleLabel, sizeof idleLabel, "wake-ups idle %.0f s, listening", o.idle);
  row(idleLabel, [](const Figures& f) { return f.idleWakeups[0]; });
  std::snprintf(idleLabel, sizeof idleLabel, "wake-ups idle %.0f s, client connected", o.idle);
  row(idleLabel, [](const Figures& f) { return f.idleWakeups[1]; });
  std::snprintf(idleLabel, sizeof idleLabel, "syscalls idle %.0f s, listening", o.idle);
  row(idleLabel, [](const Figures& f) { return f.idleSyscalls[0]; });
  std::snprintf(idleLabel, sizeof idleLabel, "syscalls idle %.0f s, client connected", o.idle);
  row(idleLabel, [](const Figures& f) { return f.idleSyscalls[1]; });
  row("resident memory, connected (VmRSS KB)", [](const Figures& f) { return f.rssKB; });
  row("resident memory, peak (VmHWM KB)", [](const Figures& f) { return f.hwmKB; });
  row("both ways: device->client (MB/s)", [](const Figures& f) { return f.bothRate[0] / 1e6; });
  row("both ways: client->device (MB/s)", [](const Figures& f) { return f.bothRate[1] / 1e6; });
  row("both ways: dev->client share of solo",
      [](const Figures& f) { return Ratio(f.bothRate[0], f.rate[0]); });
  row("both ways: client->dev share of solo",
      [](const Figures& f) { return Ratio(f.bothRate[1], f.rate[1]); });
  row("flood rounds: widest spread (max/min)", [](const Figures& f) {
    double widest = kNaN;
    for (const auto* samples :
         {&f.rateSamples[0], &f.rateSamples[1], &f.bothSamples[0], &f.bothSamples[1]}) {
      if (samples->size() < 2) continue;
      auto [low, high] = std::minmax_element(samples->begin(), samples->end());
      if (*low > 0) widest = std::isnan(widest) ? *high / *low : std::max(widest, *high / *low);
    }
    return widest;
  });

  int v = IndexOf(bridges, "vmds");
  if (v < 0 || bridges.size() < 2) return;
  const Figures& vm = figures[static_cast<std::size_t>(v)];

  std::printf("\nRatios vmds / peer (same run)\n");
  std::vector<std::string> peers;
  for (const Bridge& b : bridges) {
    if (b.name != "vmds") peers.push_back("/" + b.name);
  }
  Row("", peers);
  auto ratioRow = [&](const std::string& label, auto get) {
    std::vector<std::string> cells;
    for (std::size_t i = 0; i < bridges.size(); ++i) {
      if (static_cast<int>(i) != v) cells.push_back(Num(Ratio(get(vm), get(figures[i]))));
    }
    Row(label, cells);
  };
  ratioRow("round trip median", [](const Figures& f) { return f.rttMedianUs; });
  ratioRow("round trip p99", [](const Figures& f) { return f.rttP99Us; });
  ratioRow("throughput device->client", [](const Figures& f) { return f.rate[0]; });
  ratioRow("throughput client->device", [](const Figures& f) { return f.rate[1]; });
  ratioRow("CPU per MB device->client", [](const Figures& f) { return f.cpuMsPerMB[0]; });
  ratioRow("CPU per MB client->device", [](const Figures& f) { return f.cpuMsPerMB[1]; });
  ratioRow("syscalls per chunk device->client",
           [](const Figures& f) { return f.syscallsPerChunk[0]; });
  ratioRow("syscalls per chunk client->device",
           [](const Figures& f) { return f.syscallsPerChunk[1]; });
  ratioRow("resident memory, connected", [](const Figures& f) { return f.rssKB; });
  ratioRow("resident memory, peak", [](const Figures& f) { return f.hwmKB; });

  // Targets: reported, never enforced.
  std::printf("\nTargets (reported, not enforced)\n");
  auto verdict = [](double value, double limit, bool atMost) {
    // Padded to one display width (the marks take three bytes and one column).
    if (std::isnan(value)) return std::string("?  n/a   ");
    bool ok = atMost ? value <= limit : value >= limit;
    return std::string(ok ? "\u2713 meets " : "\u2717 misses");
  };
  auto line = [&](const std::string& target, const std::string& figure, const std::string& result) {
    std::printf("  %s  %-52s %s\n", result.c_str(), target.c_str(), figure.c_str());
  };
  int socat = IndexOf(bridges, "socat");
  if (socat >= 0) {
    double r = Ratio(vm.rttMedianUs, figures[static_cast<std::size_t>(socat)].rttMedianUs);
    line("round trip median at most socat's", Num(r) + " x socat", verdict(r, 1.0, true));
  }
  const char* way[2] = {"device->client", "client->device"};
  for (const char* name : {"ser2net", "ser2net-cd-off"}) {
    int s = IndexOf(bridges, name);
    if (s < 0) continue;
    const Figures& sf = figures[static_cast<std::size_t>(s)];
    for (int w = 0; w < 2; ++w) {
      double r = Ratio(vm.rate[w], sf.rate[w]);
      line(std::string("throughput ") + way[w] + " >= 1.5 x " + name, Num(r) + " x",
           verdict(r, 1.5, false));
    }
    for (int w = 0; w < 2; ++w) {
      double r = Ratio(vm.cpuMsPerMB[w], sf.cpuMsPerMB[w]);
      line(std::string("CPU per MB ") + way[w] + " <= 0.7 x " + name, Num(r) + " x",
           verdict(r, 0.7, true));
    }
  }
  for (int w = 0; w < 2; ++w) {
    // The read that takes a chunk in and the write that passes it on move it; 1.5 more at most.
    double extra = vm.syscallsPerChunk[w] - 2;
    line(std::string("syscalls per chunk ") + way[w] + " <= read+write+1.5",
         Num(vm.syscallsPerChunk[w]) + " = 2 + " + Num(extra), verdict(extra, 1.5, true));
  }
  double idle = std::max(vm.idleWakeups[0], vm.idleWakeups[1]);
  line("no wake-up while idle (listening, connected)",
       Num(vm.idleWakeups[0]) + ", " + Num(vm.idleWakeups[1]) + " in " + Num(o.idle) + " s each",
       verdict(idle, 0, true));
  if (socat >= 0) {
    double r = Ratio(vm.hwmKB, figures[static_cast<std::size_t>(socat)].hwmKB);
    line("resident memory (peak) at most socat's", Num(r) + " x socat", verdict(r, 1.0, true));
  }
}

// ---------------------------------------------------------------------------------------------

int Usage(const char* self) {
  return bench::Usage(self, "vmds,socat,ser2net,ser2net-cd-off",
                      "          [--baud N] [--window SECONDS] [--rounds N] [--idle SECONDS]\n"
                      "          [--trips N] [--syscalls auto|perf|strace|none]\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options& o = g_options;
  bool ok = ParseArguments(argc, argv, o, [&](const std::string& a, const OptionValue& value) {
    if (a == "--baud")
      o.baud = std::stoi(value());
    else if (a == "--window")
      o.window = std::stod(value());
    else if (a == "--idle")
      o.idle = std::stod(value());
    else if (a == "--trips")
      o.trips = std::stoi(value());
    else if (a == "--rounds")
      o.rounds = std::max(1, std::stoi(value()));
    else if (a == "--syscalls")
      o.syscalls = value();
    else
      return false;
    return true;
  });
  if (!ok) return Usage(argv[0]);
  if (!std::filesystem::exists(o.vmds)) {
    std::fprintf(stderr, "%s: no vmds binary at %s (use --vmds)\n", argv[0], o.vmds.c_str());
    return 1;
  }
  InstallStopHandlers(o.limit);
  g_workDir = MakeWorkDir("vmds-bench");
  if (g_workDir.empty()) return 1;
  std::vector<Bridge> bridges = SelectBridges(o.bridges, o.vmds);

  int status = 0;
  try {
    ChooseSyscallTool(o.syscalls);
    g_master = OpenPty(&g_slave);
    if (g_master < 0) throw std::runtime_error("no pseudo-terminal");
    std::fprintf(stderr, "vmds: %s\nshim: %s\npseudo-terminal: %s; system calls counted with: %s\n",
                 o.vmds.c_str(), o.shim.empty() ? "(none)" : o.shim.c_str(), g_slave.c_str(),
                 g_syscallTool.empty() ? "nothing" : g_syscallTool.c_str());
    std::vector<Figures> figures(bridges.size());
    for (std::size_t i = 0; i < bridges.size(); ++i) MeasureBasics(figures[i], bridges[i]);
    // Rounds go over every bridge in turn, so that a disturbance of the machine falls on all.
    for (int round = 0; round < o.rounds; ++round) {
      for (std::size_t i = 0; i < bridges.size(); ++i) MeasureFloods(figures[i], bridges[i], round);
    }
    for (Figures& f : figures) TakeMedians(f);
    Report(bridges, figures);
    if (g_windowSeconds > 0) {
      std::printf(
          "\nDuring the flood windows (%.0f s in all), other programs used %.0f%% of one core on\n"
          "average. The figures compare well only when that is near 0%%: run on a quiet machine.\n",
          g_windowSeconds, g_windowOthers / g_windowSeconds * 100);
    }
    bool notes = false;
    for (const Figures& f : figures) {
      for (const std::string& n : f.notes) {
        if (!notes) std::printf("\nNotes\n");
        notes = true;
        std::printf("  %s\n", n.c_str());
      }
    }
    int v = IndexOf(bridges, "vmds");
    if (v >= 0 && std::isnan(figures[static_cast<std::size_t>(v)].rate[0])) status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nbench stopped: %s\n", e.what());
    status = 1;
  }
  StopAllChildren();
  if (g_master >= 0) close(g_master);
  std::error_code ignored;
  std::filesystem::remove_all(g_workDir, ignored);
  return status;
}
