// What the daemon counts while it runs, for the control socket's status
// document: per port, per controller (its UART) and per Ethernet pair. Every
// counter is a plain atomic bumped with relaxed order by the one thread that
// decides the event, and read (also relaxed) by the control thread: no lock
// on the data path, and a reader may see one counter a moment ahead of
// another.
#ifndef E1CTLD_CORE_COUNTERS_H_
#define E1CTLD_CORE_COUNTERS_H_

#include <net/if.h>
#include <pthread.h>
#include <stdint.h>

#include <atomic>

using Counter = std::atomic<uint64_t>;

inline void Bump(Counter& c, uint64_t n = 1) {
  c.fetch_add(n, std::memory_order_relaxed);
}
inline uint64_t Read(const Counter& c) {
  return c.load(std::memory_order_relaxed);
}

// Milliseconds since the Unix epoch (CLOCK_REALTIME): the times that the
// status document shows. Intervals use core/clock.h.
int64_t WallMs();
// Microseconds since the Unix epoch, for the monitor's lines.
int64_t WallUs();
// Microseconds of CLOCK_MONOTONIC, for sums of short waits.
int64_t MonotonicUs();

// One E1 port.
struct PortCounters {
  // The port thread.
  Counter clientsAccepted;
  Counter commandsSent;  // commands of new blocks written to the UART stream
  Counter blocksSent;    // new blocks (a replay is not one)
  Counter bytesToLine;   // bytes of new and replayed blocks taken by the stream
  Counter replaysSent;
  Counter commandsTooLong;
  // Wall time the current client was accepted, 0 while there is none.
  std::atomic<int64_t> clientSinceMs;
  // The serial thread: reply lines (to the port's client, or dropped).
  Counter repliesDelivered;  // written at once or queued for the port thread
  Counter repliesDroppedNoClient;
  Counter repliesDroppedQueueFull;
  Counter repliesDroppedAfterEof;
  // Raised by the port thread after each accept and close of a client, so
  // that the main loop notices a change of the client count.
  std::atomic<uint32_t> clientChanges;
};

// A pair's last outcome, as the status document names it.
enum class PairOutcome : uint8_t { kNone, kSame, kRenamed, kFailed, kMissing, kNoName };
const char* PairOutcomeName(PairOutcome o);

// One Ethernet pair, written by the main loop's Ethernet pass.
struct PairCounters {
  Counter renames;
  Counter renamesFailed;
  std::atomic<PairOutcome> lastOutcome;
  std::atomic<uint8_t> up;  // administratively up when last seen
  // Under `nameLock`: the interface's name when last seen, "" when not found.
  pthread_mutex_t nameLock;
  char current[IFNAMSIZ];
};

// The controller's UART, written by the serial thread (losses, reopens,
// sinceMs) and by the port threads (lineWaitUs).
struct UartCounters {
  Counter losses;
  Counter reopens;
  std::atomic<int64_t> lastLossMs;    // 0: never
  std::atomic<int64_t> lastReopenMs;  // 0: never
  std::atomic<int64_t> sinceMs;       // wall time of the last open or loss
  Counter lineWaitUs;                 // time writers waited for room in the line
};

struct ControllerCounters {
  UartCounters uart;
  PairCounters pairs[3];
};

// Initialises the pairs' name locks; once per record, on a cleared record.
void InitControllerCounters(ControllerCounters* c);

// The pair's name as last seen (cut to size - 1; "" when none).
// Requires: nameLock NOT held; takes it.
void ReadPairName(PairCounters* p, char* out, size_t size);
// Records it. Requires: nameLock NOT held; takes it.
void PublishPairName(PairCounters* p, const char* name);

// The daemon as a whole: set once by the supervisor before the workers
// start, then only read.
struct DaemonFacts {
  int64_t startedMs;
  int startLogLevel;
};
extern DaemonFacts g_daemonFacts;

#endif  // E1CTLD_CORE_COUNTERS_H_
