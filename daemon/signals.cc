#include "daemon/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "core/clock.h"
#include "core/controller.h"
#include "core/counters.h"
#include "core/fd_util.h"
#include "core/log.h"
#include "core/process_exit.h"
#include "core/run_options.h"
#include "daemon/log_level.h"
#include "uart/uart_writer.h"

// Written by the handler, read by the main loop: the handler itself never
// logs, allocates or takes a lock, whichever thread it interrupts. The
// kernel may run the handler on a worker thread, so a volatile flag is not
// enough: the main thread reads it through a lock-free atomic.
static std::atomic<int> g_pendingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal flag must be lock-free");
// The last SIGUSR1 or SIGUSR2 not yet acted on, 0 when none.
static std::atomic<int> g_pendingLevelSignal{0};

int InstallSignalHandlers(SignalHandler handler, int fdMode) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_NOCLDSTOP | SA_RESTART;
  for (int sig : kHandledSignals) sigaction(sig, &sa, nullptr);
  // A write to a closed socket or pipe reports EPIPE, whichever thread makes
  // it.
  // Set before anything else can fail, so that none of them ends the
  // daemon by its default action, without the exit clean-up.
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int sig : kIgnoredSignals) sigaction(sig, &ignore, nullptr);

  if (fdMode < 0) {
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return -1;
    for (int target = 0; target <= 2; ++target) {
      if (dup2(null, target) != target) {
        CloseRetry(null);
        return -1;
      }
    }
    if (null > 2) CloseRetry(null);
  }
  setsid();
  sa.sa_handler = SIG_IGN;
  for (int sig : {SIGTTOU, SIGTTIN, SIGTSTP}) sigaction(sig, &sa, nullptr);
  return 0;
}

int Daemonize(SignalHandler handler, int fdMode) {
  if (fdMode <= 2) fdMode = -1;
  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    FatalExit(err, "Can't fork the daemon process: %s\n", strerror(err));
  }
  if (pid > 0) exit(0);
  // A daemon must not keep the directory it was started from busy; when
  // "/" cannot be entered it stays where it is and carries on.
  if (chdir("/") != 0) {
    errno = 0;
  }
  return InstallSignalHandlers(handler, fdMode);
}

void OnSignal(int sig) {
  if (sig == SIGCHLD || sig == SIGHUP) return;
  if (sig == SIGUSR1 || sig == SIGUSR2) {
    g_pendingLevelSignal.store(sig, std::memory_order_relaxed);
    return;
  }
  g_pendingSignal.store(sig, std::memory_order_relaxed);
}

int PendingTerminationSignal() {
  return g_pendingSignal.load(std::memory_order_relaxed);
}

void ActOnLogLevelSignal() {
  int sig = g_pendingLevelSignal.exchange(0, std::memory_order_relaxed);
  if (sig == SIGUSR1) ChangeLogLevel(kMaxLogLevel);
  if (sig == SIGUSR2) ChangeLogLevel(g_daemonFacts.startLogLevel);
}

void ActOnPendingSignal() {
  int sig = g_pendingSignal.load(std::memory_order_relaxed);
  if (sig == 0) return;
  // Claimed before anything is released: while another thread's exit runs
  // the handlers, this one waits for it instead of closing the same lock
  // descriptors and freeing the same paths a second time.
  ClaimExit();
  ReleaseLockFiles();
  // A level-1 message, but a requested stop: a notice for the journal.
  if (!g_options.daemonize) LogMessageWithPriority(1, 5, "Abnormal exit, sig = %8.8X\n", sig);
  ExitProcess(0);
}

void RestoreAllTTYModes() {
  // First no writer may send another byte: one still writing after the
  // restore would reach the controller with the cooked line ends (CR LF).
  // A writer waiting for room lets go within 50 ms and frees the lock.
  StopUARTWriters();
  int count = 0;
  E1Controller* const* cs = GetControllers(&count);
  if (cs == nullptr) return;
  for (int i = 0; i < count; ++i) {
    E1Controller& c = *cs[i];
    // The serial thread may be closing the line this moment; wait briefly
    // for it, but never let a held lock stop the exit.
    struct timespec until = RealtimeDeadline(100);
    bool locked = c.ttyRunning == 0 || pthread_mutex_timedlock(&c.lock, &until) == 0;
    // What a stopped writer left in the stream must not go out with the
    // stdio flush at exit, after the restore.
    if (locked && c.wrFile != nullptr) __fpurge(c.wrFile);
    if (c.ctlUART_dr >= 0) RestoreMode(c.ctlUART_dr, &c.savedMode);
    if (locked && c.ttyRunning) pthread_mutex_unlock(&c.lock);
  }
}

void ReleaseLockFiles() {
  int count = 0;
  E1Controller* const* cs = GetControllers(&count);
  if (cs == nullptr) return;
  for (int i = 0; i < count; ++i) {
    E1Controller& c = *cs[i];
    // Removed while the lock is still held, then closed: a daemon starting
    // in between finds the lock taken or creates a new file, and never
    // locks a file that is unlinked under it.
    if (c.lockPath != nullptr) {
      // A lock file that another daemon holds stays: removing it would let
      // a third daemon lock a fresh file and drive the same controller.
      if (c.lockOwned) unlink(c.lockPath);
      c.lockOwned = 0;
      free(c.lockPath);
      c.lockPath = nullptr;
    }
    if (c.lockFd >= 0) close(c.lockFd);
    c.lockFd = -1;
  }
}
