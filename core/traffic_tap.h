// The bounded tap of a controller's traffic for the control socket's
// monitors: the port threads push each command line they write to the
// UART stream, the serial thread each line it reads with what became of
// it. Pushing costs one relaxed load while no monitor is attached; with one
// attached, a copy into a ring under the tap's own small lock, never a wait
// for a monitor. The control thread copies entries out under that lock and
// writes them to the monitors outside it; a monitor that falls more than
// the ring behind loses the oldest entries, and is told how many.
#ifndef E1CTLD_CORE_TRAFFIC_TAP_H_
#define E1CTLD_CORE_TRAFFIC_TAP_H_

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

enum class TapDir : uint8_t { kTx, kRx };
enum class TapOutcome : uint8_t {
  kSent,
  kDelivered,
  kNoClient,
  kQueueFull,
  kAfterEof,
  kEof,
  kNotAReply,
};
const char* TapDirName(TapDir d);
const char* TapOutcomeName(TapOutcome o);

enum {
  kTapEntries = 256,
  kTapTextMax = 512,  // a reply line's most characters (kReplyLineMax) and one more
};

struct TapEntry {
  int64_t usec;  // wall time, microseconds since the epoch
  int8_t port;   // 0..2, -1 for a line that names no port
  TapDir dir;
  TapOutcome outcome;
  uint16_t len;
  char text[kTapTextMax];  // the line without its line end, as on the wire
};

struct TrafficTap {
  // Raised and lowered by the control thread as monitors come and go; read
  // (relaxed) by every pusher.
  std::atomic<int> monitors;
  // Under `lock`: the ring (null until OpenTrafficTap) and the count of
  // entries ever pushed; entry n is at ring[n % kTapEntries] while
  // n + kTapEntries > pushed.
  pthread_mutex_t lock;
  TapEntry* ring;
  uint64_t pushed;
};

// Initialises the lock of a cleared tap; the ring comes with OpenTrafficTap.
void InitTrafficTap(TrafficTap* t);
// Allocates the ring; 0, or -1 when memory ran out (the tap then takes
// nothing). Before any pusher or monitor runs.
int OpenTrafficTap(TrafficTap* t);

// True while at least one monitor is attached: the one load a pusher pays
// otherwise.
inline bool TapWanted(const TrafficTap* t) {
  return t->monitors.load(std::memory_order_relaxed) > 0;
}

// Copies a line (cut to kTapTextMax, its line end left out) into the ring.
// Requires: `lock` NOT held; takes it. Never waits for a monitor.
void PushTap(TrafficTap* t, int port, TapDir dir, TapOutcome outcome, const char* text, size_t len);

// Copies entries from `*cursor` on into `out` (at most `max`), advancing the
// cursor; entries the ring no longer holds are skipped and added to *lost.
// Returns the number copied. Requires: `lock` NOT held; takes it.
size_t CopyTapEntries(TrafficTap* t, uint64_t* cursor, uint64_t* lost, TapEntry* out, size_t max);
// The count of entries pushed so far: where a new monitor starts.
uint64_t TapPushed(TrafficTap* t);

#endif  // E1CTLD_CORE_TRAFFIC_TAP_H_
