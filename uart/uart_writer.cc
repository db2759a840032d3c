#include "uart/uart_writer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>

#include "core/clock.h"
#include "core/log.h"

// Set once at exit, read by every writer before each write and after each
// wait: a writer never outlives the restore of the line's settings.
static std::atomic<bool> g_writersStopped{false};

// A write that waits for room looks at the stop flag this often.
static const int kRoomWaitMs = 50;
// No byte taken for this long: the controller is stuck, say so once.
static const int kStallReportMs = 5000;

void StopUARTWriters() {
  g_writersStopped.store(true);
}

bool UARTWritersStopped() {
  return g_writersStopped.load();
}

size_t WriteCtlUARTLocked(E1Controller* c, const char* data, size_t len) {
  size_t done = 0;
  // When the line was first found full since the last byte went out; the
  // clock is read only while waiting, not on the path of every block.
  int64_t fullSince = -1;
  bool stallReported = false;
  // The same wait in microseconds, summed into the controller's line wait.
  int64_t waitStartUs = -1;
  while (done < len && !g_writersStopped.load()) {
    ssize_t n = write(c->ctlUART_dw, data + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      fullSince = -1;
      if (waitStartUs >= 0) {
        Bump(c->counters.uart.lineWaitUs, static_cast<uint64_t>(MonotonicUs() - waitStartUs));
        waitStartUs = -1;
      }
      if (stallReported) {
        LogMessageWithPriority(4, 5, "%s: controller %s takes commands again\n", "E1_thread",
                               c->ttyName);
        stallReported = false;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // Anything but a full line is the line's end (EIO after a hang-up).
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    if (fullSince < 0) fullSince = NowMs();
    if (waitStartUs < 0) waitStartUs = MonotonicUs();
    struct pollfd p = {c->ctlUART_dw, POLLOUT, 0};
    int rc = poll(&p, 1, kRoomWaitMs);
    if (rc > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
    if (!stallReported && NowMs() - fullSince >= kStallReportMs) {
      LogMessage(4, "%s: controller %s has taken no command for %d s\n", "E1_thread", c->ttyName,
                 kStallReportMs / 1000);
      stallReported = true;
    }
  }
  if (waitStartUs >= 0) {
    Bump(c->counters.uart.lineWaitUs, static_cast<uint64_t>(MonotonicUs() - waitStartUs));
  }
  return done;
}
