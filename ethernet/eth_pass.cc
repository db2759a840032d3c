#include "ethernet/eth_pass.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"
#include "core/run_options.h"
#include "ethernet/link_watch.h"
#include "ethernet/pair_lookup.h"
#include "ethernet/swap_aside.h"

namespace {

// A regular pass looks at every pair at least this often, notified or not,
// so that what sysfs alone shows (a function gone without its interface)
// is still seen within a second; its handles are checked then too.
constexpr unsigned kFullEvery = 5;
// How soon a pair whose sysfs lagged behind a notification is looked at
// again.
constexpr int kRetryMs = 3;

struct Notified {
  E1Controller* const* cs;
  int count;
  bool newsDue;
};

// One notification: the pairs whose interface has that index learn its
// name; another name than the wanted one calls for a pass at once.
void OnLink(unsigned index, const char* name, void* arg) {
  auto* n = static_cast<Notified*>(arg);
  for (int k = 0; k < n->count; ++k) {
    E1Controller* c = n->cs[k];
    int pairs = c->ethPairs < kMaxEthPairs ? c->ethPairs : kMaxEthPairs;
    for (int i = 0; i < pairs; ++i) {
      if (index == 0 || c->ethIfIndex[i] != index) continue;
      snprintf(c->ethLinkName[i], sizeof c->ethLinkName[i], "%s", name);
      c->ethLinkNews[i] = 1;
      if (c->ethName[i] == nullptr || strcasecmp(name, c->ethName[i]) != 0) n->newsDue = true;
    }
  }
}

// True when /proc/1 (whose sysfs the pass reads) is in this process's
// network namespace.
bool SameNetNamespace() {
  struct stat self, first;
  return stat("/proc/self/ns/net", &self) == 0 && stat("/proc/1/ns/net", &first) == 0 &&
         self.st_dev == first.st_dev && self.st_ino == first.st_ino;
}

void DropWatch(EthPassState* s) {
  if (s->linkFd >= 0) close(s->linkFd);
  s->linkFd = -1;
  SetPairIndexesWatched(false);
}

void PassOver(E1Controller* const* cs, int count, EthPassKind kind, bool* done) {
  ForgetHolders();
  for (int i = 0; i < count; ++i) {
    if (!SyncEthPairsOf(cs[i], kind)) *done = false;
  }
}

}  // namespace

void OpenEthPass(EthPassState* s) {
  *s = EthPassState{-1, false, false, false, -1, 0};
  if (g_options.keepEthNames || g_options.inNamespace || !SameNetNamespace()) return;
  s->linkFd = OpenLinkWatch();
  SetPairIndexesWatched(s->linkFd >= 0);
}

bool ServeLinkNotifications(EthPassState* s, E1Controller* const* cs, int count) {
  if (s->linkFd < 0) return false;
  Notified n = {cs, count, false};
  int rc = DrainLinkWatch(s->linkFd, OnLink, &n);
  s->linkSeen = true;
  if (rc == ENOBUFS) {
    s->resync = true;
  } else if (rc != 0) {
    // A socket that cannot be read any more: back to full passes.
    LogMessage(7, "Link notifications stopped: %s (%d)\n", strerror(rc), rc);
    DropWatch(s);
  }
  if (n.newsDue) s->newsDue = true;
  return s->resync || s->newsDue;
}

void RunRegularPass(EthPassState* s, E1Controller* const* cs, int count) {
  bool check = ++s->turnsSinceCheck >= kFullEvery;
  bool full = s->linkFd < 0 || s->linkSeen || s->resync || check;
  if (check) {
    s->turnsSinceCheck = 0;
    for (int k = 0; k < count; ++k) {
      for (int i = 0; i < kMaxEthPairs; ++i) RecheckPairHandle(cs[k], i);
    }
  }
  if (full) {
    s->linkSeen = false;
    s->resync = false;
  }
  s->newsDue = false;
  s->retryAtMs = -1;
  bool done = true;
  PassOver(cs, count, full ? EthPassKind::kFull : EthPassKind::kIdle, &done);
}

void RunNewsPass(EthPassState* s, E1Controller* const* cs, int count, int64_t nowMs) {
  if (s->resync) {
    RunRegularPass(s, cs, count);
    return;
  }
  s->newsDue = false;
  bool done = true;
  PassOver(cs, count, EthPassKind::kNews, &done);
  s->retryAtMs = done ? -1 : nowMs + kRetryMs;
}
