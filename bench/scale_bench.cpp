// vmds_scale_bench: what N serial lines bridged to TCP cost at their real line rate, for vmds
// (one process per instance, each run from its own copy of the program beside its vmds.ini, as
// the manager lays instances out), ser2net (one process with N connections in its YAML, with its
// default character delay and with `chardelay: false`) and socat (one process per line), one
// after the other, in one run. It is a benchmark: it prints figures and never fails on one (exit
// status 0 when it could measure, 1 when it was stopped or could not start).
//
//   vmds_scale_bench [--vmds PATH] [--shim PATH] [--bridges LIST] [--points BAUD:N,N/BAUD:N]
//                    [--seconds S] [--warm-up S] [--idle S] [--probe-interval S]
//                    [--csv FILE] [--limit S]
//
// A point is a line rate and a number N of streaming lines: N + 1 pseudo-terminals and N + 1
// bridge instances; the last one carries only the probe. For every point and bridge:
//   - the bridges start and listen; over --idle seconds with no client, and again over --idle
//     seconds with every client connected and synchronised, their context switches are counted
//     (the wake-ups while idle); their PSS and private memory are read while listening;
//   - the device simulator (one thread: epoll and a 1 ms timerfd) then drives the N lines the way
//     a UART with a 16-byte FIFO does: 16-byte pieces at the line's byte rate (8N1: rate/10 bytes
//     per second) both ways, from the device (pseudo-terminal master) and from the TCP client,
//     each line starting at its own phase; the payload is a pseudo-random sequence per line and
//     way, and every byte is checked at the far end;
//   - after --warm-up seconds the window of --seconds opens: the CPU time of all the bridges'
//     threads (schedstat), their context switches, the simulator's own CPU, the kernel threads'
//     (pseudo-terminal workers) and what every other program took are read at its start and end,
//     and meanwhile a second thread sends a 1-byte probe through the last instance every
//     --probe-interval seconds (client -> device, echoed, device -> client);
//   - at the end of the window PSS and private memory are read again (streaming), the pieces
//     stop, and the far ends are given up to 3 s to receive what is on its way: bytes not
//     received or not as sent are counted as lost or changed.
// Every wait is bounded and --limit bounds the whole run; every process the bench starts is
// stopped on every way out (and dies with the bench: PR_SET_PDEATHSIG). The bench raises its own
// limit of open files (the bridges inherit it) and checks the pseudo-terminal and process limits
// before it starts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

using namespace bench;

struct Point {
  int baud;
  int lines;  // streaming lines; one more instance carries the probe
};

struct Options : CommonOptions {
  Options() {
    bridges = {"vmds", "ser2net", "ser2net-cd-off", "socat"};
    limit = 2700;
  }
  std::vector<Point> points = {{9600, 1},   {9600, 16},   {9600, 64},  {9600, 255},
                               {115200, 1}, {115200, 16}, {115200, 64}};
  double seconds = 30;
  double warmUp = 2;
  double idle = 2;
  double probeInterval = 0.02;
  std::string csv;
};

Options g_options;
std::string g_workDir;

constexpr std::size_t kPiece = 16;  // a UART's receive FIFO

// ---------------------------------------------------------------------------------------------
// One instance: its pseudo-terminal pair, its TCP port and, once connected, its client.

struct Line {
  int master = -1;
  std::string slave;
  int port = 0;
  int client = -1;
};

// Everything one run of one bridge at one point holds; released (clients, then bridges, then
// pseudo-terminals) on every way out.
struct Run {
  std::vector<Line> lines;
  std::vector<pid_t> pids;
  ~Run() {
    for (Line& l : lines) {
      if (l.client >= 0) close(l.client);
    }
    StopChildren(pids, SIGTERM, 5);
    for (Line& l : lines) {
      if (l.master >= 0) close(l.master);
    }
  }
};

void OpenLines(Run& run, int count) {
  std::set<int> ports;
  for (int i = 0; i < count; ++i) {
    Line l;
    l.master = OpenPty(&l.slave);
    if (l.master < 0) throw PhaseFailed("no pseudo-terminal for line " + std::to_string(i));
    l.port = FreePort(ports);
    ports.insert(l.port);
    run.lines.push_back(l);
  }
}

void StartBridges(Run& run, const Bridge& bridge, int baud) {
  const Options& o = g_options;
  std::string dir = g_workDir + "/" + bridge.name;
  std::filesystem::create_directories(dir);
  switch (bridge.kind) {
    case Kind::Vmds: {
      std::vector<std::string> env;
      if (!o.shim.empty()) env.push_back("LD_PRELOAD=" + o.shim);
      for (std::size_t i = 0; i < run.lines.size(); ++i) {
        // Instance directories are kept from one point to the next: the copies are made once.
        std::string instance = g_workDir + "/vmds-instances/" + std::to_string(i);
        const Line& l = run.lines[i];
        std::string binary = WriteVmdsInstance(instance, o.vmds, l.port, l.slave, baud);
        run.pids.push_back(Spawn({binary}, env, instance, instance + "/output"));
      }
      break;
    }
    case Kind::Ser2net: {
      std::string config = dir + "/ser2net.yaml";
      std::ofstream yaml(config, std::ios::trunc);
      yaml << "%YAML 1.1\n---\n";
      for (std::size_t i = 0; i < run.lines.size(); ++i) {
        const Line& l = run.lines[i];
        if (i > 0) yaml << "\n";
        yaml << Ser2netConnection("line" + std::to_string(i), l.port, l.slave, baud,
                                  bridge.charDelay);
      }
      yaml.close();
      run.pids.push_back(Spawn({"ser2net", "-n", "-c", config}, {}, dir, dir + "/output"));
      break;
    }
    case Kind::Socat:
      for (const Line& l : run.lines)
        run.pids.push_back(Spawn(SocatCommand(l.port, l.slave, baud), {}, dir, dir + "/output"));
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// What the bridges take, summed over all their processes

struct Sample {
  double t = 0;
  std::uint64_t bridgeNs = 0;
  long switches = 0;
  std::uint64_t benchNs = 0;
  double kernel = 0;  // s
  double busy = 0;    // s, the whole machine
};

Sample Take(const std::vector<pid_t>& pids) {
  Sample s;
  s.t = Now();
  for (pid_t pid : pids) {
    s.bridgeNs += CpuNs(pid);
    s.switches += ContextSwitches(pid);
  }
  s.benchNs = CpuNs(getpid());
  s.kernel = KernelThreadSeconds();
  s.busy = MachineBusySeconds();
  return s;
}

long SwitchesOf(const std::vector<pid_t>& pids) {
  long total = 0;
  for (pid_t pid : pids) total += ContextSwitches(pid);
  return total;
}

Memory MemoryOfAll(const std::vector<pid_t>& pids) {
  Memory total{0, 0};
  for (pid_t pid : pids) {
    Memory m = MemoryOf(pid);
    if (m.pssKB < 0 || m.privateKB < 0) return Memory{};
    total.pssKB += m.pssKB;
    total.privateKB += m.privateKB;
  }
  return total;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// ---------------------------------------------------------------------------------------------
// The device simulator

// A pseudo-random byte sequence (xorshift64*), the same at the writing and the checking end.
struct Sequence {
  std::uint64_t state;
  unsigned char Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<unsigned char>((state * 0x2545F4914F6CDD1Dull) >> 56);
  }
};

struct Stream {
  int from = -1;  // written to in pieces
  int to = -1;    // read and checked
  Sequence writer{0}, checker{0};
  std::uint64_t sent = 0, received = 0, changed = 0;
  double next = 0;  // when the next piece is due
  unsigned char piece[kPiece];
  std::size_t pieceLeft = 0;
  bool broken = false;
};

// The probe: a second thread sends one byte through the last instance, echoes it at the device
// and times its return, every `interval` seconds until stopped. Joined on every way out.
class Probe {
 public:
  Probe(const Line& line, double interval) : line_(line), interval_(interval) {}
  ~Probe() { Stop(); }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  void Start() {
    thread_ = std::thread([this] { Loop(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  const std::vector<double>& samples() const { return samples_; }  // ms; after Stop
  int lost() const { return lost_; }

 private:
  // Waits for one byte on fd for at most 1 s.
  bool Receive(int fd, unsigned char* byte) {
    double deadline = Now() + 1;
    while (!stop_) {
      double left = deadline - Now();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1) <= 0) continue;
      ssize_t n = read(fd, byte, 1);
      if (n == 1) return true;
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
    }
    return false;
  }

  void Loop() {
    double next = Now();
    unsigned char c = 0;
    while (!stop_) {
      double wait = next - Now();
      if (wait > 0) {
        usleep(static_cast<useconds_t>(std::min(wait, 0.1) * 1e6));
        continue;
      }
      next += interval_;
      c = static_cast<unsigned char>(c * 37 + 11);
      double start = Now();
      unsigned char atDevice = 0, back = 0;
      bool ok = write(line_.client, &c, 1) == 1 && Receive(line_.master, &atDevice) &&
                atDevice == c && write(line_.master, &c, 1) == 1 && Receive(line_.client, &back) &&
                back == c;
      if (ok) {
        samples_.push_back((Now() - start) * 1e3);
      } else if (!stop_) {
        ++lost_;
        // Whatever is still on its way is let through and discarded before the next probe.
        usleep(200000);
        char sink[4096];
        while (read(line_.master, sink, sizeof sink) > 0) {
        }
        while (read(line_.client, sink, sizeof sink) > 0) {
        }
        next = Now() + interval_;
      }
    }
  }

  Line line_;
  double interval_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<double> samples_;
  int lost_ = 0;
};

struct Figures {
  std::string bridge;
  int baud = 0, lines = 0;
  double bridgeCores = kNaN, switchesPerSecond = kNaN;
  double benchCores = kNaN, kernelCores = kNaN, otherCores = kNaN;
  double sent = kNaN, lostOrChanged = kNaN, changed = kNaN;
  double probeP50 = kNaN, probeP99 = kNaN, probes = kNaN, probesLost = kNaN;
  double pssIdleKB = kNaN, pssStreamKB = kNaN, privateIdlePerInstanceKB = kNaN;
  double wakeupsListening = kNaN, wakeupsConnected = kNaN;
  double latestPieceMs = kNaN;  // how late the simulator wrote a piece at worst
  std::string loadStart, loadEnd;
  std::vector<std::string> notes;
};

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return kNaN;
  std::sort(samples.begin(), samples.end());
  std::size_t i = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
  return samples[std::min(std::max<std::size_t>(i, 1), samples.size()) - 1];
}

class Epoll {
 public:
  Epoll() : fd_(epoll_create1(EPOLL_CLOEXEC)) {
    if (fd_ < 0) throw PhaseFailed(std::string("epoll_create1: ") + std::strerror(errno));
  }
  ~Epoll() { close(fd_); }
  Epoll(const Epoll&) = delete;
  Epoll& operator=(const Epoll&) = delete;
  void Add(int fd, std::uint32_t tag) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u32 = tag;
    if (epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &e) != 0)
      throw PhaseFailed(std::string("epoll_ctl: ") + std::strerror(errno));
  }
  void Remove(int fd) { epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Writes the pieces of `s` that are due; false when its end has gone.
bool WriteDue(Stream& s, double now, double period, double* latest) {
  while (s.next <= now) {
    if (s.pieceLeft == 0) {
      for (unsigned char& b : s.piece) b = s.writer.Next();
      s.pieceLeft = kPiece;
    }
    ssize_t n = write(s.from, s.piece + (kPiece - s.pieceLeft), s.pieceLeft);
    if (n < 0) return errno == EAGAIN || errno == EINTR;  // full: the rest goes on the next tick
    s.sent += static_cast<std::uint64_t>(n);
    s.pieceLeft -= static_cast<std::size_t>(n);
    if (s.pieceLeft > 0) return true;
    *latest = std::max(*latest, now - s.next);
    s.next += period;
  }
  return true;
}

// Reads what has arrived at the far end of `s` and checks it; false when that end has gone.
bool ReadArrived(Stream& s) {
  unsigned char buffer[4096];
  for (;;) {
    ssize_t n = read(s.to, buffer, sizeof buffer);
    if (n > 0) {
      for (ssize_t i = 0; i < n; ++i) s.changed += buffer[i] != s.checker.Next();
      s.received += static_cast<std::uint64_t>(n);
      if (static_cast<std::size_t>(n) < sizeof buffer) return true;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;  // closed (0), or EIO on a master whose slave was closed
  }
}

// Streams both ways on the first `lines` lines for warm-up + window seconds (the probe runs on
// the last line during the window), then lets what is on its way arrive.
void StreamLines(Run& run, int streaming, int baud, Figures& f) {
  const Options& o = g_options;
  const double period = static_cast<double>(kPiece) / (baud / 10.0);
  std::vector<struct Stream> streams;
  std::uint64_t seed = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(baud);
  double begin = Now();
  for (int i = 0; i < streaming; ++i) {
    const Line& l = run.lines[static_cast<std::size_t>(i)];
    for (int way = 0; way < 2; ++way) {
      struct Stream s;
      s.from = way == 0 ? l.master : l.client;
      s.to = way == 0 ? l.client : l.master;
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      s.writer.state = s.checker.state = seed | 1;
      // Each line and way starts at its own phase, as unsynchronised UARTs do.
      s.next = begin + period * static_cast<double>((seed >> 33) % 1000) / 1000.0;
      streams.push_back(s);
    }
  }
  Epoll epoll;
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer < 0) throw PhaseFailed(std::string("timerfd_create: ") + std::strerror(errno));
  struct TimerCloser {
    int fd;
    ~TimerCloser() { close(fd); }
  } timerCloser{timer};
  itimerspec tick{{0, 1000000}, {0, 1000000}};
  timerfd_settime(timer, 0, &tick, nullptr);
  const std::uint32_t timerTag = 0xFFFFFFFFu;
  epoll.Add(timer, timerTag);
  for (std::size_t i = 0; i < streams.size(); ++i)
    epoll.Add(streams[i].to, static_cast<std::uint32_t>(i));

  Probe probe(run.lines.back(), o.probeInterval);
  Sample start, end;
  int stage = 0;  // 0 warm-up, 1 window, 2 draining
  double latest = 0;
  double drainUntil = 0;
  std::vector<epoll_event> events(512);
  for (;;) {
    CheckStop();
    double now = Now();
    if (stage == 0 && now >= begin + o.warmUp) {
      start = Take(run.pids);
      probe.Start();
      latest = 0;
      stage = 1;
    } else if (stage == 1 && now >= start.t + o.seconds) {
      end = Take(run.pids);
      probe.Stop();
      Memory m = MemoryOfAll(run.pids);
      if (m.pssKB >= 0) f.pssStreamKB = static_cast<double>(m.pssKB);
      stage = 2;
      drainUntil = now + 3;
    }
    if (stage == 2) {
      bool all = true;
      for (const struct Stream& s : streams) all = all && (s.broken || s.received >= s.sent);
      if (all || now > drainUntil) break;
    }
    int n = epoll_wait(epoll.fd(), events.data(), static_cast<int>(events.size()), 50);
    if (n < 0 && errno != EINTR)
      throw PhaseFailed(std::string("epoll_wait: ") + std::strerror(errno));
    for (int e = 0; e < n; ++e) {
      std::uint32_t tag = events[static_cast<std::size_t>(e)].data.u32;
      if (tag == timerTag) {
        std::uint64_t expirations;
        if (read(timer, &expirations, sizeof expirations) < 0) {
        }
        if (stage == 2) continue;
        double t = Now();
        for (struct Stream& s : streams) {
          if (!s.broken && !WriteDue(s, t, period, &latest)) {
            s.broken = true;
            epoll.Remove(s.to);
          }
        }
        continue;
      }
      struct Stream& s = streams[tag];
      if (!s.broken && !ReadArrived(s)) {
        s.broken = true;
        epoll.Remove(s.to);
      }
    }
  }
  double window = end.t - start.t;
  f.bridgeCores = static_cast<double>(end.bridgeNs - start.bridgeNs) / 1e9 / window;
  f.switchesPerSecond = static_cast<double>(end.switches - start.switches) / window;
  f.benchCores = static_cast<double>(end.benchNs - start.benchNs) / 1e9 / window;
  // Tick-based, from the kernel threads alive at each end: a worker that exits in the window takes
  // its time with it, so this is a lower bound.
  f.kernelCores = std::max(0.0, (end.kernel - start.kernel) / window);
  f.otherCores = std::max(
      0.0, (end.busy - start.busy) / window - f.bridgeCores - f.benchCores - f.kernelCores);
  f.latestPieceMs = latest * 1e3;
  std::uint64_t sent = 0, missing = 0, changed = 0;
  int broken = 0;
  for (const struct Stream& s : streams) {
    sent += s.sent;
    changed += s.changed;
    missing += s.sent > s.received ? s.sent - s.received : s.received - s.sent;
    broken += s.broken;
  }
  f.sent = static_cast<double>(sent);
  f.changed = static_cast<double>(changed);
  f.lostOrChanged = static_cast<double>(missing + changed);
  if (broken > 0)
    f.notes.push_back(std::to_string(broken) + " of " + std::to_string(streams.size()) +
                      " streams ended early (the bridge closed a side)");
  f.probeP50 = Percentile(probe.samples(), 0.5);
  f.probeP99 = Percentile(probe.samples(), 0.99);
  f.probes = static_cast<double>(probe.samples().size());
  f.probesLost = probe.lost();
}

// One bridge at one point, from start to stop.
void Measure(const Bridge& bridge, const Point& point, Figures& f) {
  const Options& o = g_options;
  f.bridge = bridge.name;
  f.baud = point.baud;
  f.lines = point.lines;
  f.loadStart = LoadAverage();
  Run run;
  OpenLines(run, point.lines + 1);
  StartBridges(run, bridge, point.baud);
  WaitListening(
      [&] {
        std::vector<int> ports;
        for (const Line& l : run.lines) ports.push_back(l.port);
        return ports;
      }(),
      run.pids, 60);
  Sleep(0.5);
  long before = SwitchesOf(run.pids);
  Sleep(o.idle);
  f.wakeupsListening = static_cast<double>(SwitchesOf(run.pids) - before);
  Memory idle = MemoryOfAll(run.pids);
  if (idle.pssKB >= 0) {
    f.pssIdleKB = static_cast<double>(idle.pssKB);
    f.privateIdlePerInstanceKB = static_cast<double>(idle.privateKB) / (point.lines + 1);
  }
  for (Line& l : run.lines) {
    l.client = Connect(l.port);
    Synchronise(l.client, l.master);
  }
  Sleep(0.5);
  before = SwitchesOf(run.pids);
  Sleep(o.idle);
  f.wakeupsConnected = static_cast<double>(SwitchesOf(run.pids) - before);
  StreamLines(run, point.lines, point.baud, f);
  f.loadEnd = LoadAverage();
}

// ---------------------------------------------------------------------------------------------
// Limits

void RaiseLimits(int mostLines) {
  // The bench holds a master and a client per instance, ser2net a listener, a client and a
  // terminal per connection: the open-file limit is raised to what that takes (the bridges
  // inherit it).
  rlim_t wanted = static_cast<rlim_t>(4 * (mostLines + 1) + 256);
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < wanted) {
    rlim_t before = files.rlim_cur;
    files.rlim_cur = std::min(wanted, files.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < wanted)
      throw std::runtime_error("open-file limit " + std::to_string(files.rlim_max) +
                               " is below the " + std::to_string(wanted) +
                               " this run needs (ulimit -Hn)");
    std::fprintf(stderr, "open-file limit raised from %lu to %lu\n",
                 static_cast<unsigned long>(before), static_cast<unsigned long>(files.rlim_cur));
  }
  rlimit processes{};
  getrlimit(RLIMIT_NPROC, &processes);
  rlim_t wantedProcesses = static_cast<rlim_t>(mostLines + 1 + 256);
  if (processes.rlim_cur != RLIM_INFINITY && processes.rlim_cur < wantedProcesses) {
    processes.rlim_cur = std::min(wantedProcesses, processes.rlim_max);
    setrlimit(RLIMIT_NPROC, &processes);
    if (processes.rlim_cur < wantedProcesses)
      throw std::runtime_error("process limit too low for " + std::to_string(mostLines + 1) +
                               " bridge processes (ulimit -u)");
  }
  long max = 0, used = 0;
  std::ifstream("/proc/sys/kernel/pty/max") >> max;
  std::ifstream("/proc/sys/kernel/pty/nr") >> used;
  if (max > 0 && max - used < mostLines + 1)
    throw std::runtime_error("only " + std::to_string(max - used) +
                             " pseudo-terminals left (kernel.pty.max " + std::to_string(max) +
                             "); the run needs " + std::to_string(mostLines + 1));
}

// ---------------------------------------------------------------------------------------------
// Report

void Report(const std::vector<Figures>& all) {
  const Options& o = g_options;
  PrintVersions(o.vmds);
  std::printf("\n");
  std::printf(
      "N lines streaming both ways at line rate (16-byte pieces, 8N1) for %.0f s after %.0f s of\n"
      "warm-up, plus one instance for the 1-byte probe (every %.0f ms); CPU in cores (1.00 = one\n"
      "core busy), all the bridge processes' threads; idle: %.0f s listening, %.0f s "
      "connected.\n\n",
      o.seconds, o.warmUp, o.probeInterval * 1e3, o.idle, o.idle);
  std::printf("%-15s %6s %4s %7s %8s %6s %7s %7s %8s %8s %7s %9s %7s %7s %7s\n", "bridge", "bps",
              "N", "CPU", "cs/s", "lost", "p50 ms", "p99 ms", "PSS idl", "PSS str", "priv/in",
              "wake l,c", "sim", "kernel", "others");
  for (const Figures& f : all) {
    std::printf("%-15s %6d %4d %7s %8s %6s %7s %7s %8s %8s %7s %9s %7s %7s %7s\n", f.bridge.c_str(),
                f.baud, f.lines, Num(f.bridgeCores).c_str(), Num(f.switchesPerSecond).c_str(),
                Num(f.lostOrChanged).c_str(), Num(f.probeP50).c_str(), Num(f.probeP99).c_str(),
                Num(f.pssIdleKB / 1024).c_str(), Num(f.pssStreamKB / 1024).c_str(),
                Num(f.privateIdlePerInstanceKB).c_str(),
                (Num(f.wakeupsListening) + "," + Num(f.wakeupsConnected)).c_str(),
                Num(f.benchCores).c_str(), Num(f.kernelCores).c_str(), Num(f.otherCores).c_str());
  }
  std::printf(
      "\ncs/s: context switches per second; lost: bytes lost or changed; p50/p99: probe round\n"
      "trip; PSS idl/str: total PSS (MB) listening idle / streaming; priv/in: private KB per\n"
      "instance, idle; wake l,c: context switches while idle, listening / connected; sim: the\n"
      "simulator's own CPU; kernel: kernel threads; others: every other program (cores).\n");

  auto find = [&](const std::string& bridge, int baud, int lines) -> const Figures* {
    for (const Figures& f : all) {
      if (f.bridge == bridge && f.baud == baud && f.lines == lines) return &f;
    }
    return nullptr;
  };
  auto verdict = [](double value, double limit) {
    if (std::isnan(value)) return std::string("?  n/a   ");
    return std::string(value <= limit ? "\u2713 meets " : "\u2717 misses");
  };
  auto line = [](const std::string& result, const std::string& target, const std::string& figure) {
    std::printf("  %s  %-50s %s\n", result.c_str(), target.c_str(), figure.c_str());
  };
  std::printf("\nTargets (reported, not enforced)\n");
  for (const Point& p : {Point{9600, 255}, Point{115200, 64}}) {
    const Figures* v = find("vmds", p.baud, p.lines);
    for (const char* peer : {"ser2net", "ser2net-cd-off"}) {
      const Figures* s = find(peer, p.baud, p.lines);
      if (v == nullptr || s == nullptr) continue;
      double r = Ratio(v->bridgeCores, s->bridgeCores);
      line(verdict(r, 0.7),
           "CPU at " + std::to_string(p.lines) + " x " + std::to_string(p.baud) + " <= 0.7 x " +
               peer,
           Num(r) + " x (" + Num(v->bridgeCores) + " / " + Num(s->bridgeCores) + " cores)");
    }
  }
  if (const Figures* v = find("vmds", 115200, 64))
    line(verdict(v->probeP99, 2.0), "probe round trip p99 at 64 x 115200 <= 2 ms",
         Num(v->probeP99) + " ms");
  double lost = kNaN, privateKB = kNaN, wakeups = kNaN;
  for (const Figures& f : all) {
    if (f.bridge != "vmds") continue;
    auto most = [](double a, double b) {
      return std::isnan(a) ? b : std::isnan(b) ? a : std::max(a, b);
    };
    lost = most(lost, f.lostOrChanged);
    privateKB = most(privateKB, f.privateIdlePerInstanceKB);
    wakeups = most(wakeups, most(f.wakeupsListening, f.wakeupsConnected));
  }
  line(verdict(lost, 0), "0 bytes lost or changed at every point", Num(lost) + " at most");
  line(verdict(privateKB, 256), "private memory per idle instance <= 256 KB",
       Num(privateKB) + " KB at most");
  line(verdict(wakeups, 0), "0 wake-ups while idle, at every N", Num(wakeups) + " at most");
  for (const Figures& f : all) {
    if (f.bridge != "vmds" && f.lostOrChanged > 0)
      std::printf("  (%s lost or changed %s bytes at %d x %d)\n", f.bridge.c_str(),
                  Num(f.lostOrChanged).c_str(), f.lines, f.baud);
  }

  double others = 0, mostOthers = 0;
  int measured = 0;
  for (const Figures& f : all) {
    if (std::isnan(f.otherCores)) continue;
    others += f.otherCores;
    mostOthers = std::max(mostOthers, f.otherCores);
    ++measured;
  }
  if (measured > 0)
    std::printf(
        "\nThe machine: other programs used %.2f cores on average during the windows (at most\n"
        "%.2f, of %ld); load average (1, 5, 15 min) %s at the first start, %s at the last end.\n"
        "The figures compare well only when the other programs' share is near 0.\n",
        others / measured, mostOthers, sysconf(_SC_NPROCESSORS_ONLN), all.front().loadStart.c_str(),
        all.back().loadEnd.c_str());

  bool notes = false;
  for (const Figures& f : all) {
    if (f.latestPieceMs > 100)
      const_cast<Figures&>(f).notes.push_back("the simulator wrote a piece up to " +
                                              Num(f.latestPieceMs) + " ms late");
    if (f.probesLost > 0)
      const_cast<Figures&>(f).notes.push_back(Num(f.probesLost) +
                                              " probes got no answer within 1 s");
    for (const std::string& n : f.notes) {
      if (!notes) std::printf("\nNotes\n");
      notes = true;
      std::printf("  %s, %d x %d: %s\n", f.bridge.c_str(), f.lines, f.baud, n.c_str());
    }
  }
}

void WriteCsv(const std::string& path, const std::vector<Figures>& all) {
  std::ofstream out(path, std::ios::trunc);
  out << "bridge,baud,lines,cpu_cores,switches_per_s,sent,lost_or_changed,changed,probe_p50_ms,"
         "probe_p99_ms,probes,probes_lost,pss_idle_kb,pss_stream_kb,private_idle_kb_per_instance,"
         "wakeups_listening,wakeups_connected,sim_cores,kernel_cores,other_cores,latest_piece_ms,"
         "load_start,load_end\n";
  for (const Figures& f : all) {
    out << f.bridge << ',' << f.baud << ',' << f.lines;
    for (double v : {f.bridgeCores, f.switchesPerSecond, f.sent, f.lostOrChanged, f.changed,
                     f.probeP50, f.probeP99, f.probes, f.probesLost, f.pssIdleKB, f.pssStreamKB,
                     f.privateIdlePerInstanceKB, f.wakeupsListening, f.wakeupsConnected,
                     f.benchCores, f.kernelCores, f.otherCores, f.latestPieceMs})
      out << ',' << (std::isnan(v) ? std::string() : Num(v));
    out << ',' << f.loadStart << ',' << f.loadEnd << '\n';
  }
}

// "9600:1,16,64,255/115200:1,16,64"
std::vector<Point> ParsePoints(const std::string& text) {
  std::vector<Point> points;
  std::stringstream in(text);
  std::string group;
  while (std::getline(in, group, '/')) {
    std::size_t colon = group.find(':');
    if (colon == std::string::npos) throw std::invalid_argument("--points: BAUD:N,N,...");
    int baud = std::stoi(group.substr(0, colon));
    for (const std::string& n : Split(group.substr(colon + 1))) {
      int lines = std::stoi(n);
      if (baud < 300 || lines < 1 || lines > 1000)
        throw std::invalid_argument("--points: a rate of at least 300 and 1 to 1000 lines");
      points.push_back({baud, lines});
    }
  }
  if (points.empty()) throw std::invalid_argument("--points: no point");
  return points;
}

int Usage(const char* self) {
  return bench::Usage(self, "vmds,ser2net,ser2net-cd-off,socat",
                      "          [--points 9600:1,16,64,255/115200:1,16,64] [--seconds S]\n"
                      "          [--warm-up S] [--idle S] [--probe-interval S] [--csv FILE]\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options& o = g_options;
  bool ok = ParseArguments(argc, argv, o, [&](const std::string& a, const OptionValue& value) {
    if (a == "--points")
      o.points = ParsePoints(value());
    else if (a == "--seconds")
      o.seconds = std::max(1.0, std::stod(value()));
    else if (a == "--warm-up")
      o.warmUp = std::max(0.0, std::stod(value()));
    else if (a == "--idle")
      o.idle = std::max(0.1, std::stod(value()));
    else if (a == "--probe-interval")
      o.probeInterval = std::max(0.001, std::stod(value()));
    else if (a == "--csv")
      o.csv = value();
    else
      return false;
    return true;
  });
  if (!ok) return Usage(argv[0]);
  std::vector<Bridge> bridges = SelectBridges(o.bridges, o.vmds);
  if (bridges.empty()) return Usage(argv[0]);
  InstallStopHandlers(o.limit);
  g_workDir = MakeWorkDir("vmds-scale-bench");
  if (g_workDir.empty()) return 1;

  int status = 0;
  std::vector<Figures> all;
  try {
    int most = 0;
    for (const Point& p : o.points) most = std::max(most, p.lines);
    RaiseLimits(most);
    std::fprintf(stderr, "vmds: %s\nshim: %s\nload at start: %s\n", o.vmds.c_str(),
                 o.shim.empty() ? "(none)" : o.shim.c_str(), LoadAverage().c_str());
    // The bridges take their turns at each point, so that a change in the machine's load falls
    // on them alike.
    for (const Point& p : o.points) {
      for (const Bridge& b : bridges) {
        std::fprintf(stderr, "  %-15s %3d x %6d bps ...", b.name.c_str(), p.lines, p.baud);
        std::fflush(stderr);
        Figures f;
        try {
          Measure(b, p, f);
          std::fprintf(stderr, " %s cores, %s lost, p99 %s ms, others %s cores\n",
                       Num(f.bridgeCores).c_str(), Num(f.lostOrChanged).c_str(),
                       Num(f.probeP99).c_str(), Num(f.otherCores).c_str());
        } catch (const PhaseFailed& e) {
          f.notes.push_back(std::string("not measured: ") + e.what());
          std::fprintf(stderr, " failed: %s\n", e.what());
        }
        all.push_back(f);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nbench stopped: %s\n", e.what());
    status = 1;
  }
  StopAllChildren();
  if (!all.empty()) {
    Report(all);
    if (!o.csv.empty()) WriteCsv(o.csv, all);
  }
  std::error_code ignored;
  std::filesystem::remove_all(g_workDir, ignored);
  return status;
}
