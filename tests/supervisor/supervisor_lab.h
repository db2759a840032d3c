// What the supervisor suites share: lock, socket and process probes, and
// the fixture that adds simulated controllers (or controllers without a
// device node) to the lab rig.
#ifndef E1CTLD_TESTS_SUPERVISOR_SUPERVISOR_LAB_H_
#define E1CTLD_TESTS_SUPERVISOR_SUPERVISOR_LAB_H_

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/run_paths.h"
#include "lab/daemon_process.h"
#include "lab/fake_usb.h"
#include "lab/fs.h"
#include "lab/port_client.h"
#include "lab/process.h"
#include "lab/rig_test.h"
#include "lab/sandbox.h"
#include "lab/sim_controller.h"
#include "lab/wait.h"

namespace supervisorlab {

using Clock = std::chrono::steady_clock;
using lab::CountOf;
using lab::WaitUntil;
using std::chrono::milliseconds;

using lab::ElapsedMs;
using lab::kSlow;
using lab::Ms;

inline bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The lock that keeps anyone else from write-locking the whole file, as
// F_GETLK reports it; nothing when the file cannot be opened.
inline std::optional<struct flock> ConflictingLock(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int rc = fcntl(fd, F_GETLK, &fl);
  close(fd);
  if (rc != 0) return std::nullopt;
  return fl;
}

// Pid of the process that holds a lock on the file; 0 when the file is
// missing or nobody holds one.
inline pid_t LockHolder(const std::string& path) {
  std::optional<struct flock> fl = ConflictingLock(path);
  return fl && fl->l_type != F_UNLCK ? fl->l_pid : 0;
}

// True when a UNIX stream socket listens at `path` (the socket table of
// the sandbox's network namespace; listening sockets carry the accept flag
// 00010000).
inline bool IsListening(const std::string& path) {
  std::string table = lab::ReadFile("/proc/net/unix");
  size_t pos = 0;
  while (pos < table.size()) {
    size_t end = table.find('\n', pos);
    if (end == std::string::npos) end = table.size();
    std::string line = table.substr(pos, end - pos);
    pos = end + 1;
    char flags[16] = "", name[256] = "";
    unsigned type = 0;
    if (sscanf(line.c_str(), "%*s %*s %*s %15s %x %*s %*s %255s", flags, &type, name) == 3 &&
        path == name && type == SOCK_STREAM && strcmp(flags, "00010000") == 0) {
      return true;
    }
  }
  return false;
}

inline std::string ReadLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n < 0 ? std::string("<") + strerror(errno) + ">"
               : std::string(buf, static_cast<size_t>(n));
}

inline std::string ProcessName(pid_t pid) {
  std::string name = lab::ReadFile("/proc/" + std::to_string(pid) + "/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

using Client = lab::PortClient;

// Runs `body` on a thread until the object goes; for clients and
// controllers that keep the daemon busy.
class Flood {
 public:
  explicit Flood(std::function<void(std::stop_token)> body) : thread_(std::move(body)) {}

 private:
  std::jthread thread_;
};

using Controller = lab::RigController;

class SupervisorLab : public lab::RigTest {
 protected:
  // A known one-port controller on `hub` whose control UART is a simulated
  // controller presented as /dev/<ttyName>.
  Controller& AddSimulated(const std::string& hub, const std::string& ttyName = "ttyACM0",
                           lab::ReplyRule reply = lab::AckReplyRule()) {
    lab::ControllerSpec setup;
    setup.hub = hub;
    lab::UartSpec uart;
    uart.ttyName = ttyName;
    uart.reply = std::move(reply);
    return rig.AddController(setup, uart);
  }

  // A controller whose sysfs entry names `ttyName` but that has no device
  // node at all.
  Controller& AddWithoutNode(const std::string& hub, const std::string& ttyName) {
    lab::ControllerSpec setup;
    setup.hub = hub;
    lab::UartSpec uart;
    uart.simulated = false;
    uart.ttyName = ttyName;
    return rig.AddController(setup, uart);
  }

  // Waits until the daemon holds the lock of the controller and serves its
  // auxiliary socket, i.e. it has passed its start-up.
  static void WaitServing(const lab::DaemonProcess& d, const Controller& c) {
    ASSERT_TRUE(WaitUntil([&] { return LockHolder(c.LockPath()) == d.Pid(); }, Ms(3000)))
        << "lock of " << c.IfName() << " not taken by pid " << d.Pid() << "; output:\n"
        << d.Output();
    ASSERT_TRUE(WaitUntil([&] { return IsListening(c.AuxPath()); }, Ms(3000)))
        << "no auxiliary socket; output:\n"
        << d.Output();
  }
};

// Entries of a directory, "." and ".." left out.
inline std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

// How many descriptors of process `pid` are open on the file at `path`.
inline size_t DescriptorsOn(pid_t pid, const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);  // /var/run is a link to /run
  if (real == nullptr) return 0;
  const std::string target = real;
  free(real);
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  size_t n = 0;
  for (const std::string& fd : Entries(fdDir)) n += ReadLink(fdDir + "/" + fd) == target ? 1 : 0;
  return n;
}

// The number of threads of `pid` once it has stayed the same for 300 ms.
inline size_t StableThreadCount(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  size_t last = Entries(tasks).size();
  for (int still = 0; still < 3;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    size_t now = Entries(tasks).size();
    still = now == last ? still + 1 : 0;
    last = now;
  }
  return last;
}

}  // namespace supervisorlab

#endif  // E1CTLD_TESTS_SUPERVISOR_SUPERVISOR_LAB_H_
