// The daemon as a child process of a test: standard output and standard
// error are captured through pipes by a reader thread, so that a test can
// wait for a log line, signal the process and collect its exit status.
#ifndef E1CTLD_LAB_DAEMON_PROCESS_H_
#define E1CTLD_LAB_DAEMON_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lab/process.h"

namespace lab {

struct DaemonOptions {
  std::string path;   // the binary; empty: lab::DaemonPath()
  std::string argv0;  // what the program sees as its name; empty: the path
  // Non-empty: run in a nested mount namespace with this directory on /sys
  // (see SpawnSpec::sysRoot).
  std::string sysRoot;
  // Environment changes (see SpawnSpec::env).
  std::vector<std::string> env;
  // Sets JOURNAL_STREAM to the device and inode of the daemon's standard
  // output pipe, as the service manager does for a journal stream.
  bool journalStream = false;
  // Start with standard output not read (see DaemonProcess::PauseOutput).
  bool outputPaused = false;
};

class DaemonProcess {
 public:
  // Starts the daemon with `args` (without the program name); throws when
  // it cannot be started.
  explicit DaemonProcess(const std::vector<std::string>& args, const DaemonOptions& opts = {});
  // Kills the daemon with SIGKILL and reaps it when it still runs.
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t Pid() const { return pid_; }

  // Standard output / error received so far.
  std::string Output() const;
  std::string Errors() const;
  // True once `needle` appears in the standard output within `timeout`.
  bool WaitForOutput(std::string_view needle, std::chrono::milliseconds timeout) const;
  // Waits until no new output has arrived for `quiet` (at most `timeout`).
  void WaitForQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) const;

  // Stops / resumes reading the daemon's standard output: while paused, the
  // pipe fills up and the daemon's writes to it block, as with a stuck
  // journal. Takes effect within about 10 ms.
  void PauseOutput();
  void ResumeOutput();

  // Sends a signal; false when the process has already been reaped.
  bool Signal(int sig);
  // Waits for the end of the process; after it has ended, also for the end
  // of its output (bounded; not for standard output while it is paused),
  // so that Output() is complete. kTimeout when it still runs.
  ExitStatus WaitExit(std::chrono::milliseconds timeout);
  bool Exited() const { return reaped_; }

 private:
  void ReaderLoop();

  pid_t pid_ = -1;
  bool reaped_ = false;
  ExitStatus status_;
  int outFd_ = -1;
  int errFd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread reader_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::string out_;
  std::string err_;
  bool outEof_ = false;
  bool errEof_ = false;
  std::chrono::steady_clock::time_point lastData_;
  bool outputPaused_ = false;
};

}  // namespace lab

#endif  // E1CTLD_LAB_DAEMON_PROCESS_H_
