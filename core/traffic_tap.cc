#include "core/traffic_tap.h"

#include <stdlib.h>
#include <string.h>

#include "core/counters.h"

const char* TapDirName(TapDir d) {
  return d == TapDir::kTx ? "tx" : "rx";
}

const char* TapOutcomeName(TapOutcome o) {
  switch (o) {
    case TapOutcome::kSent:
      return "sent";
    case TapOutcome::kDelivered:
      return "delivered";
    case TapOutcome::kNoClient:
      return "no-client";
    case TapOutcome::kQueueFull:
      return "queue-full";
    case TapOutcome::kAfterEof:
      return "after-eof";
    case TapOutcome::kEof:
      return "eof";
    case TapOutcome::kNotAReply:
      break;
  }
  return "not-a-reply";
}

void InitTrafficTap(TrafficTap* t) {
  pthread_mutex_init(&t->lock, nullptr);
}

int OpenTrafficTap(TrafficTap* t) {
  auto* ring = static_cast<TapEntry*>(calloc(kTapEntries, sizeof(TapEntry)));
  if (ring == nullptr) return -1;
  pthread_mutex_lock(&t->lock);
  t->ring = ring;
  pthread_mutex_unlock(&t->lock);
  return 0;
}

void PushTap(TrafficTap* t, int port, TapDir dir, TapOutcome outcome, const char* text,
             size_t len) {
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
  if (len > kTapTextMax) len = kTapTextMax;
  int64_t now = WallUs();  // read outside the lock: it is the lock's longest part otherwise
  pthread_mutex_lock(&t->lock);
  if (t->ring != nullptr) {
    TapEntry& e = t->ring[t->pushed % kTapEntries];
    e.usec = now;
    e.port = static_cast<int8_t>(port);
    e.dir = dir;
    e.outcome = outcome;
    e.len = static_cast<uint16_t>(len);
    memcpy(e.text, text, len);
    ++t->pushed;
  }
  pthread_mutex_unlock(&t->lock);
}

size_t CopyTapEntries(TrafficTap* t, uint64_t* cursor, uint64_t* lost, TapEntry* out, size_t max) {
  size_t n = 0;
  pthread_mutex_lock(&t->lock);
  if (t->pushed > kTapEntries && *cursor < t->pushed - kTapEntries) {
    *lost += t->pushed - kTapEntries - *cursor;
    *cursor = t->pushed - kTapEntries;
  }
  for (; n < max && *cursor < t->pushed; ++n, ++*cursor) {
    const TapEntry& e = t->ring[*cursor % kTapEntries];
    // Only the filled part of the text is copied.
    memcpy(&out[n], &e, offsetof(TapEntry, text) + e.len);
  }
  pthread_mutex_unlock(&t->lock);
  return n;
}

uint64_t TapPushed(TrafficTap* t) {
  pthread_mutex_lock(&t->lock);
  uint64_t n = t->pushed;
  pthread_mutex_unlock(&t->lock);
  return n;
}
