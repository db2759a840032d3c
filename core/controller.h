// The controller record shared by every subsystem, and the process-wide
// registry of records that discovery fills before any thread starts.
#ifndef E1CTLD_CORE_CONTROLLER_H_
#define E1CTLD_CORE_CONTROLLER_H_

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <termios.h>

#include <atomic>

#include "core/counters.h"
#include "core/port_slot.h"
#include "core/traffic_tap.h"

enum {
  kMaxE1Ports = 3,
  kMaxEthPairs = 3,
};
static_assert(sizeof(ControllerCounters::pairs) / sizeof(PairCounters) == kMaxEthPairs,
              "one pair counter per pair");

// One controller. Fields are grouped by the thread that owns them once the
// workers run; each group says which lock guards it, if any. Discovery fills
// the record before any thread starts; the supervisor completes it on the
// main thread, the port slots only after the serial thread has started (see
// core/port_slot.h for the fields that thread already touches then).
struct E1Controller {
  // Filled by discovery, then only read.
  char* usbIfName;  // driver directory entry of the control UART, e.g. 1-1.3:1.0
  char* usbIfPath;  // devices root + "/" + usbIfName
  char* hubPath;    // usbIfPath cut at its last ':' and then its last '.'
  uint32_t vid;
  uint32_t pid;
  int e1Ports;
  int ethPairs;
  char* hubEthName;
  char* hubEthPath;
  int hubEthIndex;

  // The controller lock. Once the serial thread runs it is held:
  // - around every open and close of the UART fields below: OpenCtlUART (the
  //   main thread at start-up, the serial thread after a loss) and the
  //   close-down at the end of TTY_loop, so that they change together;
  // - by the serial thread while it replaces ttyName (UpdateTTYPortNameLocked),
  //   and by any other thread that reads ttyName (CopyTTYName, the UART
  //   writer's stall messages);
  // - around each command block written to wrFile (SendNewCommandBlock,
  //   ServeReplay): no other block comes between its lines, the stream
  //   stays open, and a replay request raised by an opening is seen;
  // - by the main thread when it looks at rdFile and wrFile before starting
  //   the port threads, and by the exit handler that purges wrFile and
  //   restores savedMode (when it gets the lock within 100 ms).
  // A port's client is handed over under that slot's clientLock alone, so
  // that no port waits for another port's block to accept or close a client;
  // when both locks are held, `lock` is taken first.
  // The serial thread reads ctlUART_dr, rdFile and ttyName without it: it is
  // their only writer while it runs. The exit handler reads ctlUART_dr and
  // savedMode without it when it could not get it within 100 ms.
  pthread_mutex_t lock;
  // Broadcast under `lock` when the UART opens: port threads with a block
  // for a closed line wait on it.
  pthread_cond_t lineChanged;
  // UART fields, under `lock`. ctlUART_dr >= 0 exactly while ctlUART_dw,
  // rdFile and wrFile are open too; closed, the descriptors are -1 and the
  // streams null.
  char* ttyName;  // e.g. ttyACM0; replaced by the serial thread while it waits for the device
  int ctlUART_dr;
  int ctlUART_dw;
  FILE* rdFile;  // read by the serial thread alone
  FILE* wrFile;  // written by the port threads (command blocks)
  // Set once savedMode holds the settings read at the last open, cleared
  // when that open fails; the close-down leaves it as it is, and nothing
  // reads it.
  uint8_t savedModeValid;
  // Under `lock`: set at the first successful open; until then the error
  // of the last failed open (0: none), so that a tty absent since start-up
  // is reported once, not at every attempt of the serial thread.
  uint8_t everOpened;
  int lastOpenError;
  struct termios savedMode;  // written back at every close and at exit
  struct termios rawMode;    // applied at open

  // The serial thread.
  pthread_t ttyThread;  // written by the main thread when it starts the thread
  // Set to 1 by the main thread after the start-up open of the UART
  // (whether or not the tty was there), just before it starts the serial
  // thread (also when that start fails), and
  // never cleared: the loop condition of TTY_thread and TTY_loop (always
  // true, so the thread runs until the process ends), and for the main loop
  // and the exit handler "this controller has a serial thread" (the exit
  // handler takes `lock` only then). Atomic: read on other threads.
  std::atomic<uint8_t> ttyRunning;
  // The serial thread's account of the line for status reports, so that the
  // main loop never reads ttyName nor takes `lock`: under statusLock a copy
  // of the tty name and whether the line is open; statusSeq grows with
  // every account. statusEverOpen: some account said open (a closed line
  // that was never open is one still waiting for its tty since start-up).
  pthread_mutex_t statusLock;
  char statusTty[32];
  uint8_t statusOpen;
  uint8_t statusEverOpen;
  std::atomic<uint32_t> statusSeq;

  // What the control socket reports and streams: the counters (see
  // core/counters.h for who bumps which) and the tap of the traffic (see
  // core/traffic_tap.h); both with their own rules, no lock of the record.
  ControllerCounters counters;
  TrafficTap tap;

  // One slot per E1 port, each owned by its port thread; see
  // core/port_slot.h for what crosses to the serial thread and under which
  // lock.
  E1PortSlot ports[kMaxE1Ports];

  // The main thread: lock file (also released by the exit handlers, on
  // whichever thread claims the exit).
  char* lockPath;
  int lockFd;
  // Set once this process holds the write lock on lockPath; only such lock
  // files are removed at exit, never one that another daemon holds.
  uint8_t lockOwned;

  // The main loop: the auxiliary socket.
  char* auxPath;
  int auxListenFd;  // -2 must be (re)created, -1 closed while a client is connected
  int auxClientFd;

  // The Ethernet pass, on the main thread after discovery.
  int ifSock;  // AF_INET datagram socket for interface requests
  uint32_t ethLastStatus[kMaxEthPairs];
  char* ethName[kMaxEthPairs];
  char* ethPath[kMaxEthPairs];
  uint8_t ethWasUp[kMaxEthPairs];
  // Set when another pair's rename moved this pair's interface to a
  // temporary name to free its own wanted name; the pair's next visit only
  // clears it, and the one after looks the new name up.
  uint8_t ethMovedAside[kMaxEthPairs];
};

// Puts a record into its cleared state: strings null, numbers zero, every
// descriptor -1 (the clientFd of all three port slots included), and
// initialises the port slots' client locks. Call it on fresh memory only,
// not on a record whose locks are still initialised.
void InitControllerRecord(E1Controller* c);

// Records that the line is open (with the current ttyName) or closed, for
// status reports, and raises statusSeq. Requires: called by the serial
// thread, the only writer of ttyName once it runs (or by the main thread
// before it starts it); statusLock NOT held.
void PublishUARTState(E1Controller* c, bool open);

// The line as the last account tells it: open; lost (closed after it was
// open); waiting (closed and never open since start-up, or no account yet
// from a line that was not opened at start-up: see the caller).
enum class UartAccount : uint8_t { kOpen, kLost, kWaiting };

// Copies the last account of PublishUARTState into `tty` (empty when none)
// and `state` (kOpen when there was none); returns its sequence number, 0
// when there was none yet. Requires: statusLock NOT held; takes it.
uint32_t ReadUARTState(E1Controller* c, char* tty, size_t size, UartAccount* state);

// Fills a fresh registry element from the discovery template: copies of the
// strings, plain copies of ids, counts and descriptors. Returns 0, or -1 when
// memory ran out (the element then holds no string). Discovery only.
int CopyControllerRecord(const E1Controller* src, E1Controller* dst);

// Frees every owned string of the record and clears it to zero; its locks
// are not destroyed. For the discovery template and for an element that a
// dropped controller left behind, which no thread sees.
void FreeControllerRecord(E1Controller* c);

// Copies the record's tty name into `buf` (cut to size - 1 characters; ""
// when there is none), read under the controller lock: the serial thread
// replaces the name while it waits for the device to come back.
// Requires: controller lock initialised and not held by the caller.
void CopyTTYName(E1Controller* c, char* buf, size_t size);

// The registry: an array of pointers to the records (null when nothing was
// ever added); stores the count when `count` is not null. Each record is
// allocated once and never moves, so its mutexes and atomics stay valid
// while the registry grows.
E1Controller* const* GetControllers(int* count);

// Prepares the element at index `count` (a new record, or the one that a
// dropped controller left there) and returns it, cleared; null when memory
// ran out. The count is not raised: CommitControllerElement does that.
// Discovery only, before any worker starts: the registry has no lock.
E1Controller* PrepareControllerElement();
void CommitControllerElement();

#endif  // E1CTLD_CORE_CONTROLLER_H_
