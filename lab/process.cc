#include "lab/process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "lab/fs.h"

namespace lab {
namespace {

// Children that a lab helper will wait for by pid. Spawn() holds the mutex
// from fork to insertion so that ReapOrphans() never sees such a child
// untracked.
std::mutex g_trackedMutex;
std::set<pid_t> g_tracked;

struct ChildError {
  int err;
  char stage[32];
};

[[noreturn]] void ChildFail(int errFd, const char* stage) {
  ChildError ce{};
  ce.err = errno;
  strncpy(ce.stage, stage, sizeof ce.stage - 1);
  ssize_t ignored = write(errFd, &ce, sizeof ce);
  (void)ignored;
  _exit(127);
}

void Untrack(pid_t pid) {
  std::lock_guard<std::mutex> lock(g_trackedMutex);
  g_tracked.erase(pid);
}

// Parent pid and state letter from /proc/<pid>/stat; false when gone.
bool ReadStat(pid_t pid, pid_t* ppid, char* state) {
  std::string stat;
  try {
    stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  } catch (const std::exception&) {
    return false;
  }
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 > stat.size()) return false;
  std::istringstream rest(stat.substr(close + 2));
  rest >> *state >> *ppid;
  return !rest.fail();
}

std::vector<pid_t> AllPids() {
  std::vector<pid_t> pids;
  for (const std::string& name : ListDirectory("/proc")) {
    if (name.find_first_not_of("0123456789") == std::string::npos) pids.push_back(std::stoi(name));
  }
  return pids;
}

}  // namespace

std::string FindInPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* env = getenv("PATH");
  std::string dirs = env != nullptr ? env : "/usr/sbin:/usr/bin:/sbin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t colon = dirs.find(':', pos);
    if (colon == std::string::npos) colon = dirs.size();
    std::string candidate = dirs.substr(pos, colon - pos) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = colon + 1;
  }
  return name;
}

ExitStatus ExitStatus::FromWaitStatus(int status) {
  if (WIFEXITED(status)) return Exited(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return Signaled(WTERMSIG(status));
  return {};
}

std::string ExitStatus::ToString() const {
  switch (kind) {
    case Kind::kExited:
      return "exited(" + std::to_string(code) + ")";
    case Kind::kSignaled:
      return "signaled(" + std::string(strsignal(signal)) + ")";
    case Kind::kTimeout:
      return "still running (timeout)";
    case Kind::kNotStarted:
      break;
  }
  return "not started";
}

std::ostream& operator<<(std::ostream& os, const ExitStatus& s) {
  return os << s.ToString();
}

pid_t Spawn(const SpawnSpec& setup) {
  if (setup.argv.empty()) throw std::runtime_error("Spawn: empty argv");
  std::vector<char*> argv;
  for (const std::string& a : setup.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::string resolved = setup.path.empty() ? FindInPath(setup.argv[0]) : setup.path;
  const char* path = resolved.c_str();
  const char* sysRoot = setup.sysRoot.empty() ? nullptr : setup.sysRoot.c_str();
  // The child's environment: the inherited one with the changes applied.
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool changed = false;
    for (const std::string& c : setup.env) changed |= c.substr(0, c.find('=')) == name;
    if (!changed) envText.push_back(entry);
  }
  for (const std::string& c : setup.env) {
    if (c.find('=') != std::string::npos) envText.push_back(c);
  }
  std::vector<char*> envp;
  envp.reserve(envText.size() + 1);
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  int nullFd = -1;
  if (setup.stdinFd < 0) {
    nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nullFd < 0) throw std::runtime_error(std::string("open /dev/null: ") + strerror(errno));
  }
  int stdinFd = setup.stdinFd >= 0 ? setup.stdinFd : nullFd;
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    if (nullFd >= 0) close(nullFd);
    throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
  }

  pid_t pid;
  {
    std::lock_guard<std::mutex> lock(g_trackedMutex);
    pid = fork();
    if (pid == 0) {
      // Child: only async-signal-safe calls from here to exec.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      if (sysRoot != nullptr) {
        if (unshare(CLONE_NEWNS) != 0) ChildFail(errPipe[1], "unshare");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
          ChildFail(errPipe[1], "mount private");
        }
        if (mount(sysRoot, "/sys", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
          ChildFail(errPipe[1], "bind /sys");
        }
      }
      if (dup2(stdinFd, 0) < 0) ChildFail(errPipe[1], "dup2 stdin");
      if (setup.stdoutFd >= 0 && dup2(setup.stdoutFd, 1) < 0) ChildFail(errPipe[1], "dup2 stdout");
      if (setup.stderrFd >= 0 && dup2(setup.stderrFd, 2) < 0) ChildFail(errPipe[1], "dup2 stderr");
      execve(path, argv.data(), envp.data());
      ChildFail(errPipe[1], "exec");
    }
    if (pid > 0) g_tracked.insert(pid);
  }
  int forkErr = errno;
  close(errPipe[1]);
  if (nullFd >= 0) close(nullFd);
  if (pid < 0) {
    close(errPipe[0]);
    throw std::runtime_error(std::string("fork: ") + strerror(forkErr));
  }
  ChildError ce{};
  ssize_t n;
  do {
    n = read(errPipe[0], &ce, sizeof ce);
  } while (n < 0 && errno == EINTR);
  close(errPipe[0]);
  if (n == static_cast<ssize_t>(sizeof ce)) {
    int status;
    waitpid(pid, &status, 0);
    Untrack(pid);
    throw std::runtime_error("spawn " + std::string(path) + ": " + ce.stage + ": " +
                             strerror(ce.err));
  }
  return pid;
}

ExitStatus WaitChild(pid_t pid, std::chrono::milliseconds timeout) {
  int status;
  pid_t r = waitpid(pid, &status, WNOHANG);
  if (r == 0) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
      struct pollfd p = {pidfd, POLLIN, 0};
      auto deadline = std::chrono::steady_clock::now() + timeout;
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) left = std::chrono::milliseconds(0);
        int pr = poll(&p, 1, static_cast<int>(left.count()));
        if (pr < 0 && errno == EINTR) continue;
        break;
      }
      close(pidfd);
    } else {
      // No pidfd: fall back to polling the status.
      auto deadline = std::chrono::steady_clock::now() + timeout;
      while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
        usleep(2000);
      }
    }
    r = waitpid(pid, &status, WNOHANG);
    if (r == 0) return ExitStatus::Timeout();
  }
  if (r < 0) {
    Untrack(pid);
    return {};
  }
  Untrack(pid);
  return ExitStatus::FromWaitStatus(status);
}

int ReapOrphans() {
  std::lock_guard<std::mutex> lock(g_trackedMutex);
  int reaped = 0;
  pid_t self = getpid();
  for (pid_t pid : AllPids()) {
    pid_t ppid = 0;
    char state = 0;
    if (!ReadStat(pid, &ppid, &state) || ppid != self || state != 'Z') continue;
    if (g_tracked.count(pid) != 0) continue;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) ++reaped;
  }
  return reaped;
}

std::vector<pid_t> ChildPids() {
  std::vector<pid_t> out;
  pid_t self = getpid();
  for (pid_t pid : AllPids()) {
    pid_t ppid = 0;
    char state = 0;
    if (ReadStat(pid, &ppid, &state) && ppid == self && state != 'Z') out.push_back(pid);
  }
  return out;
}

ExitStatus RunCommand(const std::vector<std::string>& argv, std::string* output,
                      std::chrono::milliseconds timeout) {
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  SpawnSpec setup;
  setup.argv = argv;
  setup.stdoutFd = outPipe[1];
  setup.stderrFd = outPipe[1];
  pid_t pid;
  try {
    pid = Spawn(setup);
  } catch (...) {
    close(outPipe[0]);
    close(outPipe[1]);
    throw;
  }
  close(outPipe[1]);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string text;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd p = {outPipe[0], POLLIN, 0};
    int pr = poll(&p, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) break;
    char buf[1024];
    ssize_t n = read(outPipe[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(outPipe[0]);
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  ExitStatus st = WaitChild(pid, std::max(left, std::chrono::milliseconds(0)));
  if (st.kind == ExitStatus::Kind::kTimeout) {
    kill(pid, SIGKILL);
    WaitChild(pid, std::chrono::seconds(5));
  }
  if (output != nullptr) *output = text;
  return st;
}

}  // namespace lab
