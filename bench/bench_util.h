// What every phase of the benchmark shares: its settings, the end of a run
// that cannot go on, figures of a process from /proc, socket clients that
// read reply lines, the lab set-up of controllers and daemon, and statistics.
#ifndef E1CTLD_BENCH_BENCH_UTIL_H_
#define E1CTLD_BENCH_BENCH_UTIL_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "lab/lab.h"

namespace bench {

using Clock = std::chrono::steady_clock;

struct Config {
  int rounds = 3000;      // round trips per latency run
  int pipelined = 20000;  // replies in the throughput run
  int window = 32;        // commands outstanding
  int idleSeconds = 5;
  int discoveryRuns = 15;
  int comparisonRounds = 7;  // daemon, daemon with monitor, pty and socat take turns this often
  int replugCycles = 20;
  int renameCycles = 20;
  std::vector<int> scaleSizes = {1, 8, 32, 64, 128};
  bool judge = true;  // false: print the verdicts, exit 0 all the same
  std::string json = "bench-results.json";
};

// With BENCH_DEBUG set the daemon logs everything, and a failure prints it.
extern lab::DaemonProcess* g_reportDaemon;
bool Debugging();

// Ends the run with status 2 (a measurement that could not be taken, not a
// missed target).
[[noreturn]] void Fail(const std::string& why);

// CPU time of every thread of `pid` (or of thread `tid` alone), in ns.
int64_t CpuNs(pid_t pid);
int64_t ThreadCpuNs(pid_t pid, pid_t tid);
// Context switches (voluntary and not) of every thread: each is a wake-up.
int64_t Switches(pid_t pid);
// Voluntary context switches of the main thread: one per main-loop turn.
int64_t MainThreadSleeps(pid_t pid);
int64_t RssKb(pid_t pid);
int Threads(pid_t pid);
int Descriptors(pid_t pid);

struct IdleFigures {
  double cpuPct = 0;         // the whole daemon, % of one core
  double wakeupsPerSec = 0;  // context switches of all its threads
  double turnsPerSec = 0;    // main-loop turns
  double mainCpuPct = 0;     // the main thread alone
  // The machine's own price of one thread that wakes every 200 ms and does
  // nothing else, measured over the same window: the floor under the
  // daemon's 200 ms main-loop turn.
  double floorPct = 0;
};
// The daemon's cost over `seconds` of doing nothing more than it does.
IdleFigures MeasureIdle(pid_t pid, int seconds);

// Connects, retrying every 10 ms for `wait`; fails the run after it.
int ConnectUnix(const std::string& path, std::chrono::milliseconds wait);
void WriteAll(int fd, const std::string& s);

// Reads reply lines from a descriptor, however the bytes arrive.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next complete line; fails the run after 5 s without one.
  std::string Next();

 private:
  int fd_;
  std::string buf_;
  size_t pos_ = 0;
};

// `count` controllers (one-port, or two-port when `twoPorts`) on hubs
// 1-1 .. N-1, each with a simulator that answers "CMD:port E1.n x" with
// "ACK:E1.n:x" (when `sims`).
void BuildControllers(lab::Rig* rig, int count, bool sims, bool twoPorts = false);
// Starts the daemon (quiet unless debugging, Ethernet pass on) and waits
// for every port socket, without connecting; `extra` arguments go first.
// Not quiet: the default log level, as in service.
lab::DaemonProcess* StartDaemon(lab::Rig& rig, const std::vector<std::string>& extra = {},
                                bool quiet = true);

// The q-quantile (0..1) of `v`, nearest rank; 0 for an empty set.
double Percentile(std::vector<double> v, double q);
std::string Fixed(double v, int prec = 1);

}  // namespace bench

#endif  // E1CTLD_BENCH_BENCH_UTIL_H_
