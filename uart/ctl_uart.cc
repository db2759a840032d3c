#include "uart/ctl_uart.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "core/log.h"
#include "discovery/sysfs_names.h"
#include "core/fd_util.h"

// The write side of the UART stream. The descriptor is non-blocking (it
// shares its file description with the read side), so a controller that
// reads slowly makes write() fail with EAGAIN; a plain stream would then
// discard what it had buffered, losing commands. This writer waits for
// room instead, for at most a second per call, and reports failure only
// when the line is really gone (hang-up) or stays full.
static const int kUartWriteTimeoutMs = 1000;

static ssize_t UartWrite(void* cookie, const char* data, size_t size) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
  size_t done = 0;
  int waitedMs = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitedMs < kUartWriteTimeoutMs) {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 50);
      waitedMs += 50;
      continue;
    }
    break;
  }
  return done > 0 ? static_cast<ssize_t>(done) : -1;
}

static int UartClose(void* cookie) {
  return CloseRetry(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

// A write stream on `fd` that owns it, like fdopen(fd, "w").
static FILE* OpenUartWriteStream(int fd) {
  cookie_io_functions_t io = {nullptr, UartWrite, nullptr, UartClose};
  // The cookie is the descriptor itself: nothing to allocate or free.
  return fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)),  // NOLINT
                     "w", io);
}

static int OpenCtlUARTLocked(E1Controller* c, const char* path) {
  c->ctlUART_dr = open(path, O_RDWR | O_NONBLOCK | O_SYNC);
  if (c->ctlUART_dr < 0) {
    LogMessage(4, "Can't open controller device %s: %s\n", path, strerror(errno));
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

  c->wrFile = OpenUartWriteStream(c->ctlUART_dw);
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
  // newline, as on any terminal stream.
  setvbuf(c->wrFile, nullptr, _IOLBF, 0);
  return 0;
}

int OpenCtlUART(E1Controller* c) {
  char path[256];
  snprintf(path, sizeof path, "/dev/%s", c->ttyName != nullptr ? c->ttyName : "");
  pthread_mutex_lock(&c->lock);
  int rc = OpenCtlUARTLocked(c, path);
  pthread_mutex_unlock(&c->lock);
  return rc;
}

int WaitCtlUART(E1Controller* c) {
  int lastError = 0;
  for (;;) {
    if (UpdateTTYPortNameLocked(c, &lastError) != nullptr) {
      LogMessage(6, "TTY port filename found: %s\n", c->ttyName);
      if (OpenCtlUART(c) == 0) return 0;
    }
    SleepMs(200);
  }
}
