#include "uart/dev_watch.h"

#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include "core/fd_util.h"

namespace {

constexpr uint32_t kEvents = IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// Timed-out waits between two renewals of the watch: 5 s at 200 ms looks.
constexpr int kRenewEvery = 25;

// Sets the watch again on the directory's current inode: the same watch
// descriptor when the directory is the one watched, a new one (the old one
// dropped) when it was replaced.
void Renew(DevWatch* w) {
  int wd = inotify_add_watch(w->fd, w->dir, kEvents);
  if (wd >= 0 && w->wd >= 0 && wd != w->wd) inotify_rm_watch(w->fd, w->wd);
  w->wd = wd;
  w->turns = 0;
}

bool IsTTYACMName(const char* name) {
  return strstr(name, "ttyACM") != nullptr;
}

// Reads the queued events; kChanged when one of them matters.
DevChange Drain(DevWatch* w) {
  // Aligned for the event structures; holds at least one event with the
  // longest name.
  alignas(struct inotify_event) char buf[sizeof(struct inotify_event) + 256 + 512];
  DevChange result = DevChange::kNone;
  bool renew = false;
  for (;;) {
    ssize_t n = read(w->fd, buf, sizeof buf);
    if (n <= 0) break;  // EAGAIN: all read
    for (ssize_t off = 0; off < n;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(buf + off);
      off += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      bool self = (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0;
      // A lost event (queue overflow) may have been ours.
      bool ours = (e->mask & IN_Q_OVERFLOW) != 0 || (!self && e->len > 0 && IsTTYACMName(e->name));
      if (self && e->wd == w->wd) renew = true;
      if (ours) result = DevChange::kChanged;
    }
  }
  if (renew) {
    if (w->wd >= 0) inotify_rm_watch(w->fd, w->wd);
    w->wd = -1;
    Renew(w);
    result = DevChange::kChanged;
  }
  return result;
}

}  // namespace

void DevWatchOpen(DevWatch* w, const char* dir) {
  w->dir = dir;
  w->wd = -1;
  w->turns = 0;
  w->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (w->fd >= 0) Renew(w);
}

void DevWatchClose(DevWatch* w) {
  if (w->fd >= 0) CloseRetry(w->fd);
  w->fd = -1;
  w->wd = -1;
}

DevChange DevWaitChange(DevWatch* w, int timeoutMs) {
  if (w->fd < 0) {
    SleepMs(timeoutMs);
    return DevChange::kNone;
  }
  // Unrelated events do not end the wait: it goes on to its deadline.
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t deadline = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + timeoutMs;
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t left = deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
    struct pollfd p = {w->fd, POLLIN, 0};
    int rc = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (rc > 0) {
      if (Drain(w) == DevChange::kChanged) return DevChange::kChanged;
      if (left > 0) continue;
      return DevChange::kNone;
    }
    if (rc < 0) return DevChange::kNone;  // a signal: the caller looks again
    break;
  }
  if (++w->turns >= kRenewEvery) {
    bool wasWatching = w->wd >= 0;
    int before = w->wd;
    Renew(w);
    // A watch that is new (the directory came back or was replaced) may
    // have missed the node being made.
    if (w->wd >= 0 && (!wasWatching || w->wd != before)) return DevChange::kChanged;
  }
  return DevChange::kNone;
}
