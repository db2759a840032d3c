// Measures the daemon in the lab and compares it with the direct pty path
// and with socat: round-trip latency, pipelined throughput, CPU per round
// trip, idle cost (CPU and wake-ups of the whole daemon with one and with
// eight controllers, and of each further controller), resident memory and
// discovery time. Prints a table and writes the figures as JSON.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Config {
  int rounds = 3000;      // round trips per latency run
  int pipelined = 20000;  // replies in the throughput run
  int window = 32;        // commands outstanding
  int idleSeconds = 5;
  int discoveryRuns = 15;
  int comparisonRounds = 5;  // daemon, pty and socat take turns this often
  std::string json = "bench-results.json";
};

// With BENCH_DEBUG set the daemon logs everything, and a failure prints it.
lab::DaemonProcess* g_reportDaemon = nullptr;

[[noreturn]] void Fail(const std::string& why) {
  if (g_reportDaemon) fprintf(stderr, "%s\n", g_reportDaemon->Output().c_str());
  fprintf(stderr, "bench: %s\n", why.c_str());
  exit(1);
}

// ---- process figures from /proc ----

// CPU time of every thread of `pid`, in nanoseconds.
int64_t CpuNs(pid_t pid) {
  int64_t total = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const std::string& t : lab::ListDirectory(dir)) {
    std::ifstream f(dir + "/" + t + "/schedstat");
    int64_t ns = 0;
    if (f >> ns) total += ns;
  }
  return total;
}

// Context switches (voluntary and not) of every thread: each is a wake-up.
int64_t Switches(pid_t pid) {
  int64_t total = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const std::string& t : lab::ListDirectory(dir)) {
    std::ifstream f(dir + "/" + t + "/status");
    std::string line;
    while (std::getline(f, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        total += std::stoll(line.substr(line.find(':') + 1));
      }
    }
  }
  return total;
}

// Voluntary context switches of the main thread alone: it sleeps once per
// main-loop turn (in its 200 ms poll), so their rate is the turn rate.
int64_t MainThreadSleeps(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stoll(line.substr(24));
  }
  return -1;
}

int64_t RssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

struct IdleFigures {
  double cpuPct = 0;         // the whole daemon, % of one core
  double wakeupsPerSec = 0;  // context switches of all its threads
  double turnsPerSec = 0;    // main-loop turns
};

// The daemon's cost over `seconds` of doing nothing.
IdleFigures MeasureIdle(pid_t pid, int seconds) {
  int64_t cpu0 = CpuNs(pid), sw0 = Switches(pid), turns0 = MainThreadSleeps(pid);
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  IdleFigures f;
  f.cpuPct = static_cast<double>(CpuNs(pid) - cpu0) / 1e9 / secs * 100.0;
  f.wakeupsPerSec = static_cast<double>(Switches(pid) - sw0) / secs;
  f.turnsPerSec = static_cast<double>(MainThreadSleeps(pid) - turns0) / secs;
  return f;
}

// ---- clients ----

int ConnectUnix(const std::string& path, std::chrono::milliseconds wait) {
  auto until = Clock::now() + wait;
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    if (Clock::now() > until) Fail("cannot connect to " + path + ": " + strerror(errno));
    std::this_thread::sleep_for(10ms);
  }
}

// Reads reply lines from a descriptor, however the bytes arrive.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // Next complete line; throws after 5 s without one.
  std::string Next() {
    for (;;) {
      size_t nl = buf_.find('\n', pos_);
      if (nl != std::string::npos) {
        std::string line = buf_.substr(pos_, nl - pos_);
        pos_ = nl + 1;
        if (pos_ > 65536) {
          buf_.erase(0, pos_);
          pos_ = 0;
        }
        return line;
      }
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) Fail("no reply within 5 s");
      char tmp[4096];
      ssize_t n = read(fd_, tmp, sizeof tmp);
      if (n <= 0) Fail("reply stream ended");
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buf_;
  size_t pos_ = 0;
};

void WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 1000);
      continue;
    }
    if (n <= 0) Fail(std::string("write: ") + strerror(errno));
    off += static_cast<size_t>(n);
  }
}

// A path under test: how a command is written and what its reply looks like.
struct Path {
  std::string name;
  int fd = -1;
  pid_t pid = -1;      // the forwarding process, -1 for none
  bool framed = true;  // the client writes whole "CMD:" lines itself
  std::string Command(int i) const {
    return framed ? "CMD:port E1.0 q" + std::to_string(i) + "\n" : "q" + std::to_string(i) + "\n";
  }
  std::string Reply(int i) const {
    return framed ? "ACK:E1.0:q" + std::to_string(i) : "q" + std::to_string(i);
  }
};

struct LatencyFigures {
  double p50 = 0, p90 = 0, p99 = 0;  // microseconds
  double cpuUsPerRt = -1;            // forwarding process CPU per round trip
  double repliesPerSec = 0;
};

double Percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::lround(q * static_cast<double>(v.size() - 1)));
  return v[i];
}

// Each figure the median of the runs' figures.
LatencyFigures MedianOf(const std::vector<LatencyFigures>& runs) {
  auto median = [&](double LatencyFigures::*field) {
    std::vector<double> v;
    v.reserve(runs.size());
    for (const auto& r : runs) v.push_back(r.*field);
    return Percentile(v, 0.5);
  };
  LatencyFigures m;
  m.p50 = median(&LatencyFigures::p50);
  m.p90 = median(&LatencyFigures::p90);
  m.p99 = median(&LatencyFigures::p99);
  m.cpuUsPerRt = median(&LatencyFigures::cpuUsPerRt);
  m.repliesPerSec = median(&LatencyFigures::repliesPerSec);
  return m;
}

LatencyFigures Measure(const Path& p, const Config& cfg) {
  LatencyFigures f;
  LineReader r(p.fd);
  for (int i = 0; i < 200; ++i) {  // warm-up
    WriteAll(p.fd, p.Command(i));
    if (r.Next() != p.Reply(i)) Fail(p.name + ": wrong reply in warm-up");
  }
  std::vector<double> us;
  us.reserve(static_cast<size_t>(cfg.rounds));
  int64_t cpu0 = p.pid > 0 ? CpuNs(p.pid) : 0;
  for (int i = 0; i < cfg.rounds; ++i) {
    auto t0 = Clock::now();
    WriteAll(p.fd, p.Command(i));
    std::string line = r.Next();
    auto t1 = Clock::now();
    if (line != p.Reply(i))
      Fail(p.name + ": reply '" + line + "' for command " + std::to_string(i));
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  if (p.pid > 0) f.cpuUsPerRt = static_cast<double>(CpuNs(p.pid) - cpu0) / 1000.0 / cfg.rounds;
  f.p50 = Percentile(us, 0.50);
  f.p90 = Percentile(us, 0.90);
  f.p99 = Percentile(us, 0.99);

  // Pipelined: keep `window` commands outstanding.
  int sent = 0, got = 0;
  auto t0 = Clock::now();
  for (; sent < cfg.window; ++sent) WriteAll(p.fd, p.Command(sent));
  while (got < cfg.pipelined) {
    std::string line = r.Next();
    if (line != p.Reply(got)) Fail(p.name + ": pipelined reply out of order: " + line);
    ++got;
    if (sent < cfg.pipelined) WriteAll(p.fd, p.Command(sent++));
  }
  f.repliesPerSec = cfg.pipelined / std::chrono::duration<double>(Clock::now() - t0).count();
  return f;
}

// ---- lab set-up ----

// `count` controllers (one-port, or two-port when `twoPorts`) on hubs
// 1-1 .. N-1, each with a simulator that answers "CMD:port E1.n x" with
// "ACK:E1.n:x" (when `sims`).
void BuildControllers(lab::Rig* rig, int count, bool sims, bool twoPorts = false) {
  for (int i = 0; i < count; ++i) {
    lab::ControllerSpec s;
    s.hub = std::to_string(i + 1) + "-1";
    s.pairs = {lab::EthFunction::Named("eth" + std::to_string(i))};
    if (twoPorts) {
      s.pid = 0x0005;
      s.pairs.push_back(lab::EthFunction::Named("eth" + std::to_string(i) + "b"));
    }
    lab::UartSpec uart;
    uart.simulated = sims;
    uart.ttyName = "ttyACM" + std::to_string(i);
    uart.reply = lab::AckReplyRule();
    rig->AddController(s, uart);
  }
}

lab::DaemonProcess* StartDaemon(lab::Rig& rig) {
  // The Ethernet pass runs as in service: each pair's fake sysfs entry
  // carries its wanted name, so every idle turn does the steady-state work
  // (two directory reads and one flags request per pair).
  lab::DaemonProcess& d =
      rig.StartDaemon(std::vector<std::string>{"-n", getenv("BENCH_DEBUG") ? "--debugmsg" : "-q"});
  // Wait for the sockets without connecting: a probe connection would be
  // accepted (and its hang-up handled) while the measuring client waits
  // queued behind it on a socket that is about to be closed.
  auto until = Clock::now() + 5s;
  for (size_t i = 0; i < rig.Controllers(); ++i) {
    while (!lab::Exists(rig.Controller(i).PortPath(0))) {
      if (Clock::now() > until) Fail("port socket did not appear");
      std::this_thread::sleep_for(5ms);
    }
  }
  return &d;
}

struct Row {
  std::string name;
  LatencyFigures f;
};

std::string Fixed(double v, int prec = 1) {
  if (std::fabs(v) < 0.5 * std::pow(10.0, -prec)) v = 0;  // no "-0.0"
  char b[64];
  snprintf(b, sizeof b, "%.*f", prec, v);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  lab::EnterSandbox(argc, argv);
  // E1_LAB_DAEMON measures another build (or a wrapper such as strace).
  const char* other = getenv("E1_LAB_DAEMON");
  lab::SetDaemonPath(other != nullptr ? other : E1CTLD_PATH);
  Config cfg;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quick") {
      cfg.rounds = 300;
      cfg.pipelined = 2000;
      cfg.idleSeconds = 1;
      cfg.discoveryRuns = 3;
      cfg.comparisonRounds = 1;
    } else if (a == "--json" && i + 1 < argc) {
      cfg.json = argv[++i];
    } else {
      Fail("usage: e1bench [--quick] [--json FILE]");
    }
  }
  std::map<std::string, double> out;
  std::vector<Row> rows;

  // 1. Round trips: daemon, direct pty, socat; one controller, one port.
  // The three take turns, `rounds` times, and each figure is the median of
  // its rounds, so that a burst of load on the machine does not decide a
  // comparison.
  {
    lab::Rig l;
    BuildControllers(&l, 1, true);
    lab::SimController& sim = l.Sim(0);
    std::vector<LatencyFigures> daemonRuns, directRuns, socatRuns;
    for (int round = 0; round < cfg.comparisonRounds; ++round) {
      lab::DaemonProcess* daemon = StartDaemon(l);
      Path viaDaemon{"e1ctld", ConnectUnix(l.Controller(0).PortPath(0), 5s), daemon->Pid(), false};
      if (getenv("BENCH_DEBUG")) g_reportDaemon = daemon;
      daemonRuns.push_back(Measure(viaDaemon, cfg));
      g_reportDaemon = nullptr;
      close(viaDaemon.fd);
      l.StopDaemon();
      sim.ClearReceived();

      // The same controller straight through the pty: the floor of the path.
      int slave = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (slave < 0) Fail("open slave: " + std::string(strerror(errno)));
      struct termios t;
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
      directRuns.push_back(Measure(Path{"direct pty", slave, -1, true}, cfg));
      close(slave);
      sim.ClearReceived();

      // What a user would pick instead: socat between a UNIX socket and the pty.
      const std::string sock = "/run/bench-socat";
      lab::SpawnSpec s;
      s.path = "/usr/bin/socat";
      s.argv = {"socat", "UNIX-LISTEN:" + sock, sim.SlavePath() + ",raw,echo=0"};
      pid_t socat = lab::Spawn(s);
      Path viaSocat{"socat", ConnectUnix(sock, 5s), socat, true};
      socatRuns.push_back(Measure(viaSocat, cfg));
      close(viaSocat.fd);
      kill(socat, SIGTERM);
      lab::WaitChild(socat, 2s);
      sim.ClearReceived();
    }
    rows.push_back({"e1ctld", MedianOf(daemonRuns)});
    rows.push_back({"direct pty", MedianOf(directRuns)});
    rows.push_back({"socat", MedianOf(socatRuns)});
  }

  // 2. Idle cost and memory with 1, 8 and 32 two-port controllers. For the
  // idle cost each controller of the 1- and 8-controller runs has one
  // client on its port 0, connected and served once, then left alone, as
  // in service; the whole daemon is measured and the cost of each further
  // controller is the difference divided by 7.
  std::map<int, int64_t> rss;
  std::map<int, IdleFigures> idle;
  for (int n : {1, 8, 32}) {
    lab::Rig l;
    BuildControllers(&l, n, true, true);
    lab::DaemonProcess* daemon = StartDaemon(l);
    std::vector<int> clients;
    if (n != 32) {
      for (size_t i = 0; i < l.Controllers(); ++i) {
        int fd = ConnectUnix(l.Controller(i).PortPath(0), 5s);
        LineReader r(fd);
        WriteAll(fd, "q0\n");
        if (r.Next() != "q0") Fail("idle client: wrong reply");
        clients.push_back(fd);
      }
    }
    std::this_thread::sleep_for(1s);
    rss[n] = RssKb(daemon->Pid());
    if (n != 32) idle[n] = MeasureIdle(daemon->Pid(), cfg.idleSeconds);
    for (int fd : clients) close(fd);
  }
  const IdleFigures& idle1 = idle[1];
  const IdleFigures& idle8 = idle[8];
  double furtherCpuPct = (idle8.cpuPct - idle1.cpuPct) / 7.0;
  double furtherWakeups = (idle8.wakeupsPerSec - idle1.wakeupsPerSec) / 7.0;

  // 3. Discovery of 64 controllers (table mode: discovery and nothing else).
  double discoveryMs = 0;
  {
    lab::Rig l;
    BuildControllers(&l, 64, false);
    std::vector<double> ms;
    for (int i = 0; i < cfg.discoveryRuns; ++i) {
      auto t0 = Clock::now();
      lab::ToolRun r = lab::RunDaemon({"-n", "-s"});
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      size_t lines = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
      if (r.status != lab::ExitStatus::Exited(0) || lines != 64) {
        Fail("discovery run found " + std::to_string(lines) + " pairs");
      }
    }
    discoveryMs = Percentile(ms, 0.5);
  }

  // ---- report ----
  const LatencyFigures& d = rows[0].f;
  const LatencyFigures& floor = rows[1].f;
  const LatencyFigures& so = rows[2].f;
  struct utsname u;
  uname(&u);
  printf(
      "e1ctld benchmark on %s %s, %u cores: per path and round %d round trips and %d pipelined\n"
      "replies (window %d); each figure the median of %d rounds taken in turns\n\n",
      u.sysname, u.release, std::thread::hardware_concurrency(), cfg.rounds, cfg.pipelined,
      cfg.window, cfg.comparisonRounds);
  printf("| path | p50 us | p90 us | p99 us | replies/s (window %d) | CPU us/round trip |\n",
         cfg.window);
  printf("|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    printf("| %s | %s | %s | %s | %s | %s |\n", r.name.c_str(), Fixed(r.f.p50).c_str(),
           Fixed(r.f.p90).c_str(), Fixed(r.f.p99).c_str(), Fixed(r.f.repliesPerSec, 0).c_str(),
           r.f.cpuUsPerRt < 0 ? "-" : Fixed(r.f.cpuUsPerRt).c_str());
    out[r.name + ".p50_us"] = r.f.p50;
    out[r.name + ".p90_us"] = r.f.p90;
    out[r.name + ".p99_us"] = r.f.p99;
    out[r.name + ".replies_per_s"] = r.f.repliesPerSec;
    if (r.f.cpuUsPerRt >= 0) out[r.name + ".cpu_us_per_rt"] = r.f.cpuUsPerRt;
  }
  double addD50 = d.p50 - floor.p50, addS50 = so.p50 - floor.p50;
  double addD99 = d.p99 - floor.p99, addS99 = so.p99 - floor.p99;
  double perExtraKb = static_cast<double>(rss[32] - rss[1]) / 31.0;
  out["added_p50_us.e1ctld"] = addD50;
  out["added_p50_us.socat"] = addS50;
  out["added_p99_us.e1ctld"] = addD99;
  out["added_p99_us.socat"] = addS99;
  out["idle_cpu_pct.1"] = idle1.cpuPct;
  out["idle_wakeups_per_s.1"] = idle1.wakeupsPerSec;
  out["idle_cpu_pct.8"] = idle8.cpuPct;
  out["idle_wakeups_per_s.8"] = idle8.wakeupsPerSec;
  out["idle_cpu_pct_per_further_controller"] = furtherCpuPct;
  out["idle_wakeups_per_s_per_further_controller"] = furtherWakeups;
  out["main_loop_turns_per_s.8"] = idle8.turnsPerSec;
  out["rss_kb.1"] = static_cast<double>(rss[1]);
  out["rss_kb.8"] = static_cast<double>(rss[8]);
  out["rss_kb.32"] = static_cast<double>(rss[32]);
  out["rss_kb_per_extra_controller"] = perExtraKb;
  out["discovery_ms.64"] = discoveryMs;

  printf("\n| figure | value | target | met |\n|---|---|---|---|\n");
  int missed = 0;
  auto check = [&](const std::string& what, const std::string& value, const std::string& target,
                   bool ok) {
    printf("| %s | %s | %s | %s |\n", what.c_str(), value.c_str(), target.c_str(),
           ok ? "yes" : "NO");
    if (!ok) ++missed;
  };
  check("added latency p50 (over direct pty)", Fixed(addD50) + " us",
        "<= socat's " + Fixed(addS50) + " us", addD50 <= addS50);
  check("added latency p99 (over direct pty)", Fixed(addD99) + " us",
        "<= 1.2 x socat's " + Fixed(addS99) + " us", addD99 <= 1.2 * addS99);
  check("pipelined replies/s", Fixed(d.repliesPerSec, 0),
        ">= socat's " + Fixed(so.repliesPerSec, 0), d.repliesPerSec >= so.repliesPerSec);
  check("CPU per round trip", Fixed(d.cpuUsPerRt) + " us",
        "<= socat's " + Fixed(so.cpuUsPerRt) + " us", d.cpuUsPerRt <= so.cpuUsPerRt);
  check("idle CPU, 1 controller with a client (whole daemon)",
        Fixed(idle1.cpuPct, 3) + " % of a core", "< 0.1 %", idle1.cpuPct < 0.1);
  check("idle wake-ups, 1 controller with a client (whole daemon)",
        Fixed(idle1.wakeupsPerSec) + " /s", "<= 7 /s", idle1.wakeupsPerSec <= 7);
  check("idle CPU, 8 controllers with a client each", Fixed(idle8.cpuPct, 3) + " % of a core",
        "(reported)", true);
  check("idle wake-ups, 8 controllers with a client each", Fixed(idle8.wakeupsPerSec) + " /s",
        "(reported)", true);
  check("idle CPU per further controller", Fixed(furtherCpuPct, 4) + " % of a core", "< 0.02 %",
        furtherCpuPct < 0.02);
  check("idle wake-ups per further controller", Fixed(furtherWakeups, 2) + " /s", "< 2 /s",
        furtherWakeups < 2);
  check("main loop turns per second (8 idle, Ethernet pass on)", Fixed(idle8.turnsPerSec),
        "about 5 (200 ms turns)", idle8.turnsPerSec >= 4.5 && idle8.turnsPerSec <= 5.5);
  check("resident memory, 1 two-port controller", std::to_string(rss[1]) + " KB", "< 4096 KB",
        rss[1] < 4096);
  check("resident memory, 8 two-port controllers", std::to_string(rss[8]) + " KB", "(reported)",
        true);
  check("resident memory, 32 two-port controllers", std::to_string(rss[32]) + " KB", "(reported)",
        true);
  check("resident memory per further controller", Fixed(perExtraKb) + " KB", "< 300 KB",
        perExtraKb < 300);
  check("discovery of 64 controllers (median, whole run)", Fixed(discoveryMs, 2) + " ms", "< 50 ms",
        discoveryMs < 50);
  printf("\n%s\n", missed == 0 ? "All targets met."
                               : (std::to_string(missed) + " target(s) missed.").c_str());

  std::ofstream j(cfg.json);
  j << "{\n  \"machine\": \"" << u.sysname << " " << u.release << " " << u.machine << ", "
    << std::thread::hardware_concurrency() << " cores\",\n  \"targets_missed\": " << missed;
  for (const auto& [k, v] : out) j << ",\n  \"" << k << "\": " << v;
  j << "\n}\n";
  printf("JSON written to %s\n", cfg.json.c_str());
  return 0;
}
