// Shared by the benchmarks: stop requests and the time limit, child processes (own process group,
// killed with the bench, stopped on every way out), what /proc tells about a process, pseudo-
// terminals and loopback sockets, how each bridge under test is started, and number formatting.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Interrupted : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A phase that could not be measured: the bridge did not start, closed, stalled, ...
struct PhaseFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// SIGINT, SIGTERM and SIGHUP ask the bench to stop; after limitSeconds SIGALRM does. Ignores
// SIGPIPE.
void InstallStopHandlers(int limitSeconds);
bool StopRequested();
// Throws Interrupted once a stop was asked for.
void CheckStop();
double Now();                // seconds, monotonic
void Sleep(double seconds);  // returns early (throwing) on a stop request

// Starts argv in its own process group (it dies with the bench), output to outFile, with extra
// environment entries, in dir.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& dir, const std::string& outFile);
// True once the child has exited (it is reaped then, and no longer signalled by the bench).
bool Exited(pid_t pid);
// Sends `sig` to every one, waits up to `grace` seconds for all (reading and discarding from
// `drainFd` meanwhile, so a bridge that flushes its serial output on the way out is not held up),
// then SIGKILLs the process group of each one left. Only unreaped children of the bench are
// signalled.
void StopChildren(const std::vector<pid_t>& pids, int sig, double grace, int drainFd = -1);
void StopChild(pid_t pid, int sig, double grace, int drainFd = -1);
void StopAllChildren();
std::string TailOf(const std::string& path, std::size_t lines);

// /proc: all threads of a process.
std::vector<std::string> Tasks(pid_t pid);
std::uint64_t CpuNs(pid_t pid);  // time on CPU (schedstat), ns
long StatusField(const std::string& file, const char* key);
long ContextSwitches(pid_t pid);            // voluntary + involuntary
long MemoryKB(pid_t pid, const char* key);  // a field of /proc/PID/status
bool AllTasksTraced(pid_t pid);
struct Memory {
  long pssKB = -1;
  long privateKB = -1;
};
Memory MemoryOf(pid_t pid);
double MachineBusySeconds();   // all cores, from /proc/stat
double KernelThreadSeconds();  // the kernel's own threads (pseudo-terminal workers among them)

// Pseudo-terminals and sockets.
int OpenPty(std::string* slave);  // raw, non-blocking master; -1 on failure
int FreePort();
int FreePort(const std::set<int>& taken);
std::set<int> ListeningPorts();
void WaitListening(const std::vector<int>& ports, const std::vector<pid_t>& pids, double timeout);
int Connect(int port);  // non-blocking, TCP_NODELAY
void WaitFor(int fd, short events, double deadline, const char* what);
void WriteAll(int fd, const std::string& data, double deadline, const char* what);
void ReadPast(int fd, const std::string& token, double deadline, const char* what);
// Proves both ways work end to end and discards whatever an earlier phase left in the
// pseudo-terminal.
void Synchronise(int client, int master);

// The bridges under test.
enum class Kind { Vmds, Socat, Ser2net };

struct Bridge {
  std::string name;  // vmds, socat, ser2net, ser2net-cd-off (ser2net with chardelay: false)
  Kind kind;
  bool charDelay = true;  // ser2net only
};

// The named bridges that can run here (the others are reported on stderr and left out).
std::vector<Bridge> SelectBridges(const std::vector<std::string>& names, const std::string& vmds);

// The options every bench takes.
struct CommonOptions {
  std::string vmds;  // default: vmds beside the bench
  std::string shim;  // default: FindShim
  std::vector<std::string> bridges;
  int limit = 0;  // seconds for the whole run
};

using OptionValue = std::function<std::string()>;  // takes the option's argument
// Parses the command line: --vmds, --shim, --bridges and --limit into `common`, every other
// option through `other`, which returns false for one it does not know. Then makes the vmds and
// shim paths absolute (with their defaults). False, with the reason printed, on a bad command
// line.
bool ParseArguments(int argc, char** argv, CommonOptions& common,
                    const std::function<bool(const std::string&, const OptionValue&)>& other);
// Prints the usage: the common options, `bridges` (the default list), then `options` (the
// bench's own, each line indented by 10 spaces); returns 2, the exit status of a bad command line.
int Usage(const char* self, const char* bridges, const char* options);
// A fresh directory under /tmp for the run's files (instance directories, configurations,
// outputs); empty on failure.
std::string MakeWorkDir(const char* name);
// The lines that say what was measured on what: vmds, the peers' versions, cores and kernel.
void PrintVersions(const std::string& vmds);

// A vmds instance is a directory with its own copy of the program beside
// its vmds.ini (CRLF lines, as on Windows, debug off); the binary's path is returned.
std::string WriteVmdsInstance(const std::string& dir, const std::string& vmds, int port,
                              const std::string& device, int baud);
// One ser2net YAML connection (anchor `name`).
std::string Ser2netConnection(const std::string& name, int port, const std::string& device,
                              int baud, bool charDelay);
std::vector<std::string> SocatCommand(int port, const std::string& device, int baud);
// The modem-line preload library of the vmds build under test, else of the bench's own build.
std::string FindShim(const std::string& vmds, const std::string& self);
bool Installed(const char* program);

// Formatting and figures.
std::string Num(double v);
std::string Capture(const std::string& command);  // the first line a shell command prints
double Ratio(double a, double b);
double Median(std::vector<double> samples);
std::vector<std::string> Split(const std::string& text);  // at commas

}  // namespace bench
