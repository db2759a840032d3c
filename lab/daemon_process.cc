#include "lab/daemon_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "lab/sandbox.h"

namespace lab {

DaemonProcess::DaemonProcess(const std::vector<std::string>& args, const DaemonOptions& opts) {
  std::string path = opts.path.empty() ? DaemonPath() : opts.path;
  if (path.empty()) throw std::runtime_error("DaemonProcess: no daemon path set");
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    throw std::runtime_error("pipe2 failed");
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    throw std::runtime_error("pipe2 failed");
  }
  SpawnSpec setup;
  setup.path = path;
  setup.argv.push_back(opts.argv0.empty() ? path : opts.argv0);
  setup.argv.insert(setup.argv.end(), args.begin(), args.end());
  setup.stdoutFd = outPipe[1];
  setup.stderrFd = errPipe[1];
  setup.sysRoot = opts.sysRoot;
  setup.env = opts.env;
  struct stat st;
  if (opts.journalStream && fstat(outPipe[1], &st) == 0) {
    setup.env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                        std::to_string(st.st_ino));
  }
  try {
    pid_ = Spawn(setup);
  } catch (...) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], wake_[0], wake_[1]}) close(fd);
    throw;
  }
  close(outPipe[1]);
  close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  lastData_ = std::chrono::steady_clock::now();
  outputPaused_ = opts.outputPaused;
  reader_ = std::thread(&DaemonProcess::ReaderLoop, this);
}

DaemonProcess::~DaemonProcess() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    WaitExit(std::chrono::seconds(10));
  }
  char c = 'x';
  ssize_t ignored = write(wake_[1], &c, 1);
  (void)ignored;
  if (reader_.joinable()) reader_.join();
  for (int fd : {outFd_, errFd_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void DaemonProcess::ReaderLoop() {
  bool outOpen = true, errOpen = true;
  char buf[4096];
  while (outOpen || errOpen) {
    bool paused;
    {
      std::lock_guard<std::mutex> lock(mu_);
      paused = outputPaused_;
    }
    struct pollfd p[3] = {{outOpen && !paused ? outFd_ : -1, POLLIN, 0},
                          {errOpen ? errFd_ : -1, POLLIN, 0},
                          {wake_[0], POLLIN, 0}};
    // While paused, look again soon for the resume.
    int pr = poll(p, 3, paused ? 10 : 1000);
    if (pr < 0 && errno == EINTR) continue;
    if (pr < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || p[i].revents == 0) continue;
      ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mu_);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
        lastData_ = std::chrono::steady_clock::now();
      } else {
        (i == 0 ? outOpen : errOpen) = false;
        (i == 0 ? outEof_ : errEof_) = true;
      }
      cv_.notify_all();
    }
    // The wake pipe ends the reader only once nothing more is pending.
    if (p[2].revents != 0 && (p[0].revents | p[1].revents) == 0) break;
  }
  std::lock_guard<std::mutex> lock(mu_);
  outEof_ = errEof_ = true;
  cv_.notify_all();
}

std::string DaemonProcess::Output() const {
  std::lock_guard<std::mutex> lock(mu_);
  return out_;
}

std::string DaemonProcess::Errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return err_;
}

bool DaemonProcess::WaitForOutput(std::string_view needle,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return out_.find(needle) != std::string::npos; });
}

void DaemonProcess::WaitForQuiet(std::chrono::milliseconds quiet,
                                 std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline || (outEof_ && errEof_)) return;
    auto quietUntil = lastData_ + quiet;
    if (now >= quietUntil) return;
    cv_.wait_until(lock, std::min(quietUntil, deadline));
  }
}

void DaemonProcess::PauseOutput() {
  std::lock_guard<std::mutex> lock(mu_);
  outputPaused_ = true;
}

void DaemonProcess::ResumeOutput() {
  std::lock_guard<std::mutex> lock(mu_);
  outputPaused_ = false;
}

bool DaemonProcess::Signal(int sig) {
  if (reaped_) return false;
  return kill(pid_, sig) == 0;
}

ExitStatus DaemonProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (!reaped_) {
    ExitStatus st = WaitChild(pid_, timeout);
    if (st.kind == ExitStatus::Kind::kTimeout) return st;
    reaped_ = true;
    status_ = st;
    // Whatever the process wrote before it ended is in the pipe; a child
    // it left behind may still hold the pipe, so the wait is bounded.
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(1),
                 [&] { return (outEof_ || outputPaused_) && errEof_; });
  }
  return status_;
}

}  // namespace lab
