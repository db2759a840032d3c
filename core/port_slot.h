// One E1 port's slot in the controller record, and the hand-off of reply
// text from the serial thread to the port's client: the serial thread writes
// a burst at once as far as the client takes it and queues the rest; the
// port thread writes the queue out, accepts and closes the client. Neither
// thread ever waits for the client.
#ifndef E1CTLD_CORE_PORT_SLOT_H_
#define E1CTLD_CORE_PORT_SLOT_H_

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "core/counters.h"
#include "core/reply_queue.h"
#include "core/traffic_tap.h"

enum {
  kMaxBlockCommands = 32,
  kCommandLineSize = 128,  // one stored "port E1.n ..." line, 126 chars max + NUL
  kSocketPathSize = 256,
  // Reply bytes queued per port for a client that reads slowly: room for
  // several bursts of replies while it catches up.
  kReplyQueueBytes = 32768,
};

struct E1Controller;

// One E1 port: its socket, its client and its last command block. Slots of
// ports the controller does not have keep their cleared state (clientFd -1,
// wakeFd -1, running 0).
struct E1PortSlot {
  // Set by the supervisor before the port thread starts, then only read.
  E1Controller* controller;
  uint32_t portIndex;
  char socketPath[kSocketPathSize];
  pthread_t thread;
  // Set to 1 by the supervisor just before it tries to start the port
  // thread, and never cleared: the loop condition of E1_thread (so always
  // true), and for the main loop's service reports "this port was set up".
  // It stays 1 when the thread could not be started. Written before
  // pthread_create and otherwise only read, so it needs no lock.
  uint8_t running;
  // The port thread's wake-up descriptor (core/wake_fd.h), -1 without a
  // port thread: signalled when replies are queued or a replay is asked
  // for. Set by OpenPortResources before the port thread starts and closed
  // only by ClosePortResources when none could start; both, and every
  // signal, under clientLock.
  int wakeFd;

  // Owned by the port thread; no lock. The last block sent: what a replay
  // resends.
  char commands[kMaxBlockCommands][kCommandLineSize];
  int commandCount;

  // Cross threads without a lock.
  // Set at every opening of the UART (RequestReplay, under the controller
  // lock), taken (exchanged with 0) by the port thread under the same lock
  // when its client is quiet or before its next block.
  std::atomic<uint8_t> replayRequested;
  // Set by the port thread once its socket listens, read by the main loop
  // to tell the service manager when every port accepts clients.
  std::atomic<uint8_t> listening;

  // Held by the serial thread while it looks up clientFd and writes or
  // queues a reply, and by the port thread while it accepts, closes or
  // writes queued replies to the client: a reply never lands on a
  // descriptor that is being closed or has been reused. Taken after the
  // controller lock when both are held, never before it.
  pthread_mutex_t clientLock;
  // The connected client, -1 when none. Written by the port thread under
  // clientLock; read by the serial thread under clientLock, and by the main
  // loop without it (a count of clients for status reports only).
  std::atomic<int> clientFd;
  // Under clientLock: what the client could not take at once, in order;
  // while it holds bytes, later replies join it.
  ReplyQueue replies;
  // Under clientLock: lines were dropped for want of room in `replies`
  // since it was last empty (the drop is logged once per such stall).
  uint8_t replyStalled;
  // Under clientLock: the controller's end-of-file reply ended the current
  // client; the port's lines go nowhere until the next client is accepted.
  uint8_t clientEnded;

  // The port's counters (see core/counters.h): relaxed atomics, no lock.
  PortCounters counters;
};

// What became of a burst of reply lines: the first `taken` bytes were
// written to the client or queued for it, the lines of the rest met `rest`
// (no client, queue full, after an end-of-file reply).
struct ReplyFate {
  size_t taken;
  TapOutcome rest;
};

// Gives the slot its wake-up descriptor and reply queue. Call before the
// port thread starts. 0, or -1 when either could not be had (both are then
// left closed). Requires: clientLock NOT held; takes it.
int OpenPortResources(E1PortSlot* slot);

// Closes them again, for a port whose thread could not be started.
// Requires: clientLock NOT held; no port thread runs on the slot.
void ClosePortResources(E1PortSlot* slot);

// Serial thread side.

// Asks the port thread to resend its last command block and wakes it.
// Requires: clientLock NOT held; takes it.
void RequestReplay(E1PortSlot* slot);

// Passes a burst of reply text (whole lines) to the client, if there is one
// and the controller has not ended it: written at once as far as the client
// takes it, the rest queued for the port thread in order (whole lines
// dropped, and logged once per stall, when the queue is full). Never waits
// for the client; a write error drops the burst and is logged. Counts the
// lines delivered and dropped (by reason) in the slot's counters.
// Requires: clientLock NOT held; takes it.
ReplyFate WriteReplyToClient(E1PortSlot* slot, const char* text, size_t len);

// End-of-file reply: the client is shut down (at once, or by the port
// thread once the queued replies are out), and the port's later replies go
// nowhere until a new client is accepted.
// Requires: clientLock NOT held; takes it.
void ShutdownClient(E1PortSlot* slot);

// Port thread side.

// Publishes the accepted client `fd`: it starts with an empty queue and
// takes the port's replies from now on, also after an end-of-file reply
// ended the client before. Requires: clientLock NOT held; takes it.
void AttachPortClient(E1PortSlot* slot, int fd);

// Closes the client and forgets what was queued for it; clientFd is -1
// afterwards. Takes clientLock only: the hand-off of the client to the
// serial thread is guarded by it alone, so that neither a close nor an
// accept waits while another port's block holds the controller lock for a
// controller that reads slowly.
// Requires: clientLock NOT held (taken here); a client attached.
void ClosePortClient(E1PortSlot* slot);

// True while replies wait in the queue (the port thread then polls its
// client for room). Requires: clientLock NOT held; takes it.
bool HasQueuedReplies(E1PortSlot* slot);

// Writes queued replies out as far as the client takes them, without
// waiting. A write error empties the queue and is logged. Once the queue is
// out after an end-of-file reply, shuts the client down.
// Requires: clientLock NOT held; takes it; a client attached.
void WriteQueuedReplies(E1PortSlot* slot);

#endif  // E1CTLD_CORE_PORT_SLOT_H_
