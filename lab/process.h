// Child processes of the lab: spawning with redirected descriptors
// (optionally inside a nested mount namespace with another /sys), waiting
// by pid with a timeout, and reaping orphans that were re-parented to the
// sandbox's PID 1.
#ifndef E1CTLD_LAB_PROCESS_H_
#define E1CTLD_LAB_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace lab {

// How a child ended, or that it did not end in time.
struct ExitStatus {
  enum class Kind { kNotStarted, kExited, kSignaled, kTimeout };
  Kind kind = Kind::kNotStarted;
  int code = -1;   // exit code when kExited
  int signal = 0;  // signal number when kSignaled

  static ExitStatus Exited(int code) { return {Kind::kExited, code, 0}; }
  static ExitStatus Signaled(int sig) { return {Kind::kSignaled, -1, sig}; }
  static ExitStatus Timeout() { return {Kind::kTimeout, -1, 0}; }
  static ExitStatus FromWaitStatus(int status);

  bool operator==(const ExitStatus& o) const {
    return kind == o.kind && code == o.code && signal == o.signal;
  }
  std::string ToString() const;
};
std::ostream& operator<<(std::ostream& os, const ExitStatus& s);

struct SpawnSpec {
  std::string path;               // executable
  std::vector<std::string> argv;  // argv[0] included
  int stdinFd = -1;               // -1: /dev/null
  int stdoutFd = -1;              // -1: inherited
  int stderrFd = -1;              // -1: inherited
  // Non-empty: the child gets its own mount namespace in which this
  // directory is bind-mounted on /sys, so "/sys/..." differs from
  // "/proc/1/root/sys/...".
  std::string sysRoot;
  // Changes to the inherited environment: "NAME=value" sets (or replaces)
  // a variable, a bare "NAME" removes it.
  std::vector<std::string> env;
};

// The program that a command name stands for: a name without a slash is
// looked up in PATH (before a fork: the child only execs); the name itself
// when it is not found there.
std::string FindInPath(const std::string& name);

// Forks and execs; throws std::runtime_error when the exec (or the
// namespace set-up before it) fails, with the child's error text. The pid
// is tracked so that ReapOrphans() leaves it to WaitChild().
pid_t Spawn(const SpawnSpec& setup);

// Waits for a child started by Spawn(); kTimeout (the child left running)
// when it has not ended within `timeout`.
ExitStatus WaitChild(pid_t pid, std::chrono::milliseconds timeout);

// Reaps every zombie child of this process that no lab helper waits for
// (processes re-parented to PID 1, such as the detached half of a daemon).
// Returns how many were reaped.
int ReapOrphans();

// Pids of the live (non-zombie) children of this process, for finding a
// process that detached itself.
std::vector<pid_t> ChildPids();

// Runs a command to its end, collecting standard output and error together
// into `output` when it is not null.
ExitStatus RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace lab

#endif  // E1CTLD_LAB_PROCESS_H_
