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

#include "core/port_slot.h"

enum {
  kMaxE1Ports = 3,
  kMaxEthPairs = 3,
};

struct E1Controller {
  char* usbIfName;  // driver directory entry of the control UART, e.g. 1-1.3:1.0
  char* usbIfPath;  // devices root + "/" + usbIfName
  char* hubPath;    // usbIfPath cut at its last ':' and then its last '.'
  uint32_t vid;
  uint32_t pid;
  char* ttyName;  // e.g. ttyACM0

  // UART fields: opened and closed together under `lock`.
  int ctlUART_dr;
  int ctlUART_dw;

  char* lockPath;
  int lockFd;
  int ifSock;  // AF_INET datagram socket for interface requests

  // Owned by the main loop.
  char* auxPath;
  int auxListenFd;  // -2 must be (re)created, -1 closed while a client is connected
  int auxClientFd;

  FILE* rdFile;
  FILE* wrFile;
  pthread_t ttyThread;
  pthread_mutex_t lock;
  uint8_t savedModeValid;
  struct termios savedMode;
  struct termios rawMode;

  int e1Ports;
  int ethPairs;
  // Owned by the Ethernet pass after discovery.
  uint32_t ethLastStatus[kMaxEthPairs];
  char* ethName[kMaxEthPairs];
  char* ethPath[kMaxEthPairs];
  uint8_t ethWasUp[kMaxEthPairs];
  // Set when another pair's rename moved this pair's interface to a
  // temporary name to free its own wanted name; the pair's next visit only
  // clears it, and the one after looks the new name up.
  uint8_t ethMovedAside[kMaxEthPairs];

  char* hubEthName;
  char* hubEthPath;
  int hubEthIndex;

  E1PortSlot ports[kMaxE1Ports];
  std::atomic<uint8_t> ttyRunning;

  // Set once this process holds the write lock on lockPath; only such lock
  // files are removed at exit, never one that another daemon holds.
  uint8_t lockOwned;

  // The serial thread's account of the line for status reports, so that the
  // main loop never reads ttyName (which the serial thread replaces) nor
  // takes `lock`: under statusLock a copy of the tty name and whether the
  // line is open; statusSeq grows with every account.
  pthread_mutex_t statusLock;
  char statusTty[32];
  uint8_t statusOpen;
  std::atomic<uint32_t> statusSeq;
};

// Puts a record into its cleared state: strings null, numbers zero, every
// descriptor -1 (the clientFd of all three port slots included), and
// initialises the port slots' client locks. Call it on fresh memory only,
// not on a record whose locks are still initialised.
void InitControllerRecord(E1Controller* c);

// Records that the line is open (with the current ttyName) or closed, for
// status reports. Requires: called by the serial thread, the only writer of
// ttyName once it runs.
void PublishUARTState(E1Controller* c, bool open);

// Copies the last account of PublishUARTState into `tty` (empty when none)
// and `open`; returns its sequence number, 0 when there was none yet.
uint32_t ReadUARTState(E1Controller* c, char* tty, size_t size, bool* open);

// Fills a fresh registry element from the discovery template: copies of the
// strings, plain copies of ids, counts and descriptors. Returns 0, or -1 when
// memory ran out (the element then holds no string).
int CopyControllerRecord(const E1Controller* src, E1Controller* dst);

// Frees every owned string of the record and clears it to zero.
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
E1Controller* PrepareControllerElement();
void CommitControllerElement();

#endif  // E1CTLD_CORE_CONTROLLER_H_
