#include "bench/round_trips.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace bench {

using namespace std::chrono_literals;

namespace {

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

// `e1ctl monitor CTLIF` as an operator runs it, its output read as fast as
// it comes and counted in lines.
class Monitor {
 public:
  explicit Monitor(const std::string& ctlIf) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) Fail(std::string("pipe2: ") + strerror(errno));
    lab::SpawnSpec s;
    s.path = lab::E1ctlPath();
    s.argv = {"e1ctl", "monitor", ctlIf};
    s.stdoutFd = fds[1];
    pid_ = lab::Spawn(s);
    close(fds[1]);
    readFd_ = fds[0];
    reader_ = std::thread([this] {
      char buf[65536];
      for (;;) {
        ssize_t n = read(readFd_, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) lines_ += buf[i] == '\n' ? 1 : 0;
      }
    });
  }
  ~Monitor() {
    kill(pid_, SIGTERM);
    lab::WaitChild(pid_, 2s);
    reader_.join();
    close(readFd_);
  }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  long Lines() const { return lines_.load(); }

 private:
  pid_t pid_ = -1;
  int readFd_ = -1;
  std::atomic<long> lines_{0};
  std::thread reader_;
};

}  // namespace

const LatencyFigures& RoundTripResults::Of(const std::string& name) const {
  for (const PathRow& r : rows) {
    if (r.name == name) return r.f;
  }
  throw std::logic_error("no path " + name);
}

RoundTripResults RunRoundTrips(const Config& cfg) {
  RoundTripResults res;
  lab::Rig l;
  BuildControllers(&l, 1, true);
  lab::SimController& sim = l.Sim(0);
  std::vector<LatencyFigures> daemonRuns, monitoredRuns, directRuns, socatRuns;
  for (int round = 0; round < cfg.comparisonRounds; ++round) {
    for (bool monitored : {false, true}) {
      lab::DaemonProcess* daemon = StartDaemon(l);
      Path viaDaemon{monitored ? "e1ctld + monitor" : "e1ctld",
                     ConnectUnix(l.Controller(0).PortPath(0), 5s), daemon->Pid(), false};
      if (Debugging()) g_reportDaemon = daemon;
      // Past the start-up (discovery, the first passes) before measuring, as
      // the monitored run is by attaching its monitor.
      std::this_thread::sleep_for(300ms);
      if (monitored) {
        Monitor m(l.Controller(0).IfName());
        // Attached once it shows a line of this client's traffic.
        LineReader r(viaDaemon.fd);
        auto until = Clock::now() + 5s;
        while (m.Lines() == 0) {
          if (Clock::now() > until) Fail("the monitor shows nothing");
          WriteAll(viaDaemon.fd, "w\n");
          if (r.Next() != "w") Fail("monitor attach: wrong reply");
          std::this_thread::sleep_for(20ms);
        }
        monitoredRuns.push_back(Measure(viaDaemon, cfg));
        res.monitorLines += m.Lines();
      } else {
        daemonRuns.push_back(Measure(viaDaemon, cfg));
      }
      g_reportDaemon = nullptr;
      close(viaDaemon.fd);
      l.StopDaemon();
      sim.ClearReceived();
    }

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
  res.rows.push_back({"e1ctld", MedianOf(daemonRuns)});
  res.rows.push_back({"e1ctld + monitor", MedianOf(monitoredRuns)});
  res.rows.push_back({"direct pty", MedianOf(directRuns)});
  res.rows.push_back({"socat", MedianOf(socatRuns)});
  return res;
}

}  // namespace bench
