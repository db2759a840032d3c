#include "daemon/signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/controller.h"
#include "core/log.h"
#include "core/process_exit.h"
#include "core/run_options.h"
#include "daemon/lock_files.h"

namespace {

// Exit statuses of the child process that tell what went wrong.
enum {
  kFatalStatus = 12,     // the fatal exit ended the process, as it should
  kReleasedTwice = 90,   // the signal released the lock files during the exit
  kNeverWaited = 91,     // ActOnPendingSignal returned
  kSetUpFailed = 92,     // the child could not build its scene
  kHandlerTimedOut = 93  // nothing released the held exit handler
};

int g_inHandlers[2] = {-1, -1};  // the held exit handler says it is there
int g_release[2] = {-1, -1};     // ... and waits here to go on
E1Controller* g_record = nullptr;

// Registered last, so it runs first among the exit handlers: the exit is
// under way (claimed, inside exit()) but has not released anything yet.
void HoldExitInHandlers() {
  char b = 'h';
  if (write(g_inHandlers[1], &b, 1) != 1) _exit(kSetUpFailed);
  struct pollfd p = {g_release[0], POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) _exit(kHandlerTimedOut);
  if (read(g_release[0], &b, 1) != 1) _exit(kSetUpFailed);  // orders the checks before
}

// Called by the thread that acts on the signal when it finds the exit
// claimed: until then it must have left the lock files alone.
void CheckLocksUntouchedAndReleaseTheExit() {
  if (g_record->lockFd < 0 || g_record->lockPath == nullptr ||
      access(g_record->lockPath, F_OK) != 0) {
    _exit(kReleasedTwice);
  }
  char b = 'r';
  if (write(g_release[1], &b, 1) != 1) _exit(kSetUpFailed);
}

void* FailFatally(void*) {
  ExitProcess(kFatalStatus);
}

[[noreturn]] void RunChild(const std::string& lockPath) {
  g_options.quiet = 1;
  g_record = PrepareControllerElement();
  if (g_record == nullptr || pipe(g_inHandlers) != 0 || pipe(g_release) != 0) _exit(kSetUpFailed);
  g_record->lockPath = strdup(lockPath.c_str());
  CommitControllerElement();
  TakeLockFile(g_record, "signals_test");
  atexit(ReleaseLockFiles);
  atexit(HoldExitInHandlers);
  g_exitWaitHook = CheckLocksUntouchedAndReleaseTheExit;

  pthread_t worker;
  if (pthread_create(&worker, nullptr, FailFatally, nullptr) != 0) _exit(kSetUpFailed);
  char b;
  if (read(g_inHandlers[0], &b, 1) != 1) _exit(kSetUpFailed);
  // The worker's exit sits in its handlers; now the main loop acts on a
  // termination signal.
  OnSignal(SIGTERM);
  ActOnPendingSignal();
  _exit(kNeverWaited);
}

// A worker's fatal exit is inside its exit handlers when the main loop acts
// on a termination signal: the signal must wait for that exit, which ends
// the process with its own status and removes the lock file once.
TEST(ExitGuard, SignalActedOnDuringAnotherExitWaitsForItAndKeepsItsStatus) {
  char dir[] = "/tmp/e1ctld-signals-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr) << strerror(errno);
  const std::string lockPath = std::string(dir) + "/KESTRD_LOCK_test";

  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0) << strerror(errno);
  if (pid == 0) RunChild(lockPath);

  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), kFatalStatus)
      << "90: released during the exit, 91: did not wait, 92: set-up, 93: timed out";
  EXPECT_NE(access(lockPath.c_str(), F_OK), 0) << "the lock file outlived the exit";
  unlink(lockPath.c_str());
  rmdir(dir);
}

}  // namespace
