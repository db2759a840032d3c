#include "uart/ctl_uart.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "core/fd_util.h"
#include "core/log.h"
#include "core/port_slot.h"
#include "discovery/sysfs_names.h"
#include "uart/dev_watch.h"
#include "uart/uart_writer.h"

// Looking for a missing tty: a timed look every kLookMs, and after a change
// in /dev, kQuickLooks looks kQuickLookMs apart (100 ms in all).
enum { kLookMs = 200, kQuickLookMs = 5, kQuickLooks = 20 };

// The write side of the UART stream, for the line-buffered stream wrFile:
// every byte goes through WriteCtlUARTLocked, which waits for room as long
// as the controller keeps the line open (the descriptor is non-blocking,
// shared with the read side). Failure only when the line is gone or the
// process stops: a short count then, and -1 when nothing was written, since
// the stream would call again at once on 0.
// Requires: controller lock held (every user of wrFile holds it).
static ssize_t UartWrite(void* cookie, const char* data, size_t size) {
  size_t done = WriteCtlUARTLocked(static_cast<E1Controller*>(cookie), data, size);
  return done > 0 ? static_cast<ssize_t>(done) : -1;
}

static int UartClose(void* cookie) {
  return CloseRetry(static_cast<E1Controller*>(cookie)->ctlUART_dw);
}

// The write stream on ctlUART_dw, which it owns, like fdopen(fd, "w").
static FILE* OpenUartWriteStream(E1Controller* c) {
  cookie_io_functions_t io = {nullptr, UartWrite, nullptr, UartClose};
  return fopencookie(c, "w", io);
}

static int OpenCtlUARTLocked(E1Controller* c, const char* path) {
  c->ctlUART_dr = open(path, O_RDWR | O_NONBLOCK | O_SYNC);
  if (c->ctlUART_dr < 0) {
    int err = errno;
    // A tty absent since start-up was reported at start-up: while the
    // serial thread waits for it the same failure shows only with
    // --debugmsg. Once the serial thread runs, a tty that cannot be opened
    // yet is one it waits for (udev may not have made the node): a notice
    // for the journal.
    bool repeated = !c->everOpened && c->lastOpenError == err;
    c->lastOpenError = err;
    LogMessageWithPriority(repeated ? 7 : 4, c->ttyRunning ? 5 : 4,
                           "Can't open controller device %s: %s\n", path, strerror(err));
    c->ctlUART_dr = -1;
    c->rdFile = nullptr;
    c->wrFile = nullptr;
    return -1;
  }
  LogMessage(7, "ctlUART_dr = %d\n", c->ctlUART_dr);
  c->savedModeValid = 0;
  SetRawMode(c->ctlUART_dr, &c->savedMode, &c->rawMode);
  c->savedModeValid = 1;

  c->ctlUART_dw = dup(c->ctlUART_dr);
  if (c->ctlUART_dw < 0) {
    LogMessage(4, "Can't duplicate controller handle for writing to %s: %s\n", path,
               strerror(errno));
    c->ctlUART_dw = -1;
    RestoreMode(c->ctlUART_dr, &c->savedMode);
    c->savedModeValid = 0;
    CloseRetry(c->ctlUART_dr);
    c->ctlUART_dr = -1;
    return -2;
  }
  LogMessage(7, "ctlUART_dw = %d\n", c->ctlUART_dw);

  c->rdFile = fdopen(c->ctlUART_dr, "r");
  if (c->rdFile == nullptr) {
    LogMessage(4, "Can't attach controller %s FILE operations: %s\n", path, strerror(errno));
    RestoreMode(c->ctlUART_dr, &c->savedMode);
    c->savedModeValid = 0;
    CloseRetry(c->ctlUART_dw);
    c->ctlUART_dw = -1;
    CloseRetry(c->ctlUART_dr);
    c->ctlUART_dr = -1;
    return -3;
  }

  c->wrFile = OpenUartWriteStream(c);
  if (c->wrFile == nullptr) {
    LogMessage(4, "Can't attach controller %s FILE operations: %s\n", path, strerror(errno));
    RestoreMode(c->ctlUART_dr, &c->savedMode);
    c->savedModeValid = 0;
    fclose(c->rdFile);  // releases ctlUART_dr
    CloseRetry(c->ctlUART_dw);
    c->ctlUART_dw = -1;
    c->rdFile = nullptr;
    c->ctlUART_dr = -1;
    return -4;
  }
  // Commands are written line by line and must reach the device at each
  // newline, as on any terminal stream. At exit the handler that restores the line discards
  // what waits (after stopping the writers), so the stdio flush at exit
  // has nothing to write.
  setvbuf(c->wrFile, nullptr, _IOLBF, 0);
  c->everOpened = 1;
  return 0;
}

int OpenCtlUART(E1Controller* c) {
  char path[256];
  snprintf(path, sizeof path, "/dev/%s", c->ttyName != nullptr ? c->ttyName : "");
  pthread_mutex_lock(&c->lock);
  int rc = OpenCtlUARTLocked(c, path);
  if (rc == 0) {
    // Every port resends its last block on the new line. Asked for under
    // the lock, together with the opening: a port thread that writes a
    // block to this line finds the request already there and serves it
    // first, so that the replay is the block sent before, never this one.
    // At start-up no port thread runs yet, and nothing is stored.
    int ports = c->e1Ports < kMaxE1Ports ? c->e1Ports : kMaxE1Ports;
    for (int i = 0; i < ports; ++i) {
      RequestReplay(&c->ports[i]);
      LogMessage(7, "%s: E1 thread idx %d flagged for repeat last command.\n", "TTY_thread", i);
    }
    pthread_cond_broadcast(&c->lineChanged);
  }
  pthread_mutex_unlock(&c->lock);
  return rc;
}

int WaitCtlUART(E1Controller* c) {
  // Watched before the first look: a node made between the two is seen by
  // the look, one made after it by the watch.
  DevWatch watch;
  DevWatchOpen(&watch, "/dev");
  int lastError = 0;
  int quickLooks = 0;
  for (;;) {
    if (UpdateTTYPortNameLocked(c, &lastError) != nullptr) {
      LogMessage(6, "TTY port filename found: %s\n", c->ttyName);
      if (OpenCtlUART(c) == 0) {
        DevWatchClose(&watch);
        return 0;
      }
      // Named but not openable (a node not made yet, or not yet given its
      // mode): its next change is announced, so no quick looks meanwhile,
      // and the failure is logged no more often than before.
      quickLooks = 0;
    }
    int timeoutMs = kLookMs;
    if (quickLooks > 0) {
      timeoutMs = kQuickLookMs;
      --quickLooks;
    }
    // sysfs may name the tty a moment after its node appears: a change is
    // followed by a few quick looks before the timed ones again.
    if (DevWaitChange(&watch, timeoutMs) == DevChange::kChanged) quickLooks = kQuickLooks;
  }
}
