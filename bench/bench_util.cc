#include "bench/bench_util.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <thread>

namespace bench {

using namespace std::chrono_literals;

lab::DaemonProcess* g_reportDaemon = nullptr;

bool Debugging() {
  return getenv("BENCH_DEBUG") != nullptr;
}

void Fail(const std::string& why) {
  if (g_reportDaemon) fprintf(stderr, "%s\n", g_reportDaemon->Output().c_str());
  fprintf(stderr, "bench: %s\n", why.c_str());
  exit(2);
}

namespace {

std::string TaskDir(pid_t pid) {
  return "/proc/" + std::to_string(pid) + "/task";
}

// The value of a "Name:" line of a status file, -1 without it.
int64_t StatusField(const std::string& file, const std::string& name) {
  std::ifstream f(file);
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(name, 0) == 0) return std::stoll(line.substr(name.size()));
  }
  return -1;
}

}  // namespace

int64_t ThreadCpuNs(pid_t pid, pid_t tid) {
  std::ifstream f(TaskDir(pid) + "/" + std::to_string(tid) + "/schedstat");
  int64_t ns = 0;
  return f >> ns ? ns : 0;
}

int64_t CpuNs(pid_t pid) {
  int64_t total = 0;
  for (const std::string& t : lab::ListDirectory(TaskDir(pid))) {
    total += ThreadCpuNs(pid, static_cast<pid_t>(std::stol(t)));
  }
  return total;
}

int64_t Switches(pid_t pid) {
  int64_t total = 0;
  for (const std::string& t : lab::ListDirectory(TaskDir(pid))) {
    std::string status = TaskDir(pid) + "/" + t + "/status";
    total += std::max<int64_t>(0, StatusField(status, "voluntary_ctxt_switches:"));
    total += std::max<int64_t>(0, StatusField(status, "nonvoluntary_ctxt_switches:"));
  }
  return total;
}

int64_t MainThreadSleeps(pid_t pid) {
  return StatusField(TaskDir(pid) + "/" + std::to_string(pid) + "/status",
                     "voluntary_ctxt_switches:");
}

int64_t RssKb(pid_t pid) {
  return StatusField("/proc/" + std::to_string(pid) + "/status", "VmRSS:");
}

int Threads(pid_t pid) {
  return static_cast<int>(lab::ListDirectory(TaskDir(pid)).size());
}

int Descriptors(pid_t pid) {
  return static_cast<int>(lab::ListDirectory("/proc/" + std::to_string(pid) + "/fd").size());
}

IdleFigures MeasureIdle(pid_t pid, int seconds) {
  pid_t floor = fork();
  if (floor == 0) {
    for (;;) poll(nullptr, 0, 200);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past its first turn
  int64_t floor0 = floor > 0 ? ThreadCpuNs(floor, floor) : 0;
  int64_t cpu0 = CpuNs(pid), sw0 = Switches(pid), turns0 = MainThreadSleeps(pid);
  int64_t main0 = ThreadCpuNs(pid, pid);
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  IdleFigures f;
  f.cpuPct = static_cast<double>(CpuNs(pid) - cpu0) / 1e9 / secs * 100.0;
  f.wakeupsPerSec = static_cast<double>(Switches(pid) - sw0) / secs;
  f.turnsPerSec = static_cast<double>(MainThreadSleeps(pid) - turns0) / secs;
  f.mainCpuPct = static_cast<double>(ThreadCpuNs(pid, pid) - main0) / 1e9 / secs * 100.0;
  if (floor > 0) {
    f.floorPct = static_cast<double>(ThreadCpuNs(floor, floor) - floor0) / 1e9 / secs * 100.0;
    kill(floor, SIGKILL);
    waitpid(floor, nullptr, 0);
  }
  return f;
}

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

std::string LineReader::Next() {
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

void BuildControllers(lab::Rig* rig, int count, bool sims, bool twoPorts) {
  for (int i = 0; i < count; ++i) {
    lab::ControllerSpec s;
    s.hub = std::to_string(i + 1) + "-1";
    s.pairs = {lab::EthFunction::Named("eth" + std::to_string(i))};
    if (twoPorts) {
      s.pid = 0x0005;  // the two-port model
      s.pairs.push_back(lab::EthFunction::Named("eth" + std::to_string(i) + "b"));
    }
    lab::UartSpec uart;
    uart.simulated = sims;
    uart.ttyName = "ttyACM" + std::to_string(i);
    uart.reply = lab::AckReplyRule();
    rig->AddController(s, uart);
  }
}

lab::DaemonProcess* StartDaemon(lab::Rig& rig, const std::vector<std::string>& extra, bool quiet) {
  // The Ethernet pass runs as in service: each pair's fake sysfs entry
  // carries its wanted name, so every idle turn does the steady-state work.
  std::vector<std::string> args = extra;
  args.push_back("-n");
  if (Debugging()) {
    args.push_back("--debugmsg");
  } else if (quiet) {
    args.push_back("-q");
  }
  lab::DaemonProcess& d = rig.StartDaemon(args);
  // Wait for the sockets without connecting: a probe connection would be
  // accepted (and its hang-up handled) while the measuring client waits
  // queued behind it on a socket that is about to be closed.
  auto until = Clock::now() + 10s;
  for (size_t i = 0; i < rig.Controllers(); ++i) {
    while (!lab::Exists(rig.Controller(i).PortPath(0))) {
      if (Clock::now() > until) Fail("port socket did not appear");
      std::this_thread::sleep_for(1ms);
    }
  }
  return &d;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::lround(q * static_cast<double>(v.size() - 1)));
  return v[i];
}

std::string Fixed(double v, int prec) {
  if (std::fabs(v) < 0.5 * std::pow(10.0, -prec)) v = 0;  // no "-0.0"
  char b[64];
  snprintf(b, sizeof b, "%.*f", prec, v);
  return b;
}

}  // namespace bench
