#include "ports/command_framer.h"

#include <string.h>

namespace {

bool IsSeparator(char ch) {
  return ch == ';' || ch == '\r' || ch == '\n';
}

void AppendToTail(CommandFramer* f, const char* data, size_t len) {
  if (f->tailLen < kFramerTailChars) {
    size_t room = kFramerTailChars - f->tailLen;
    memcpy(f->tail + f->tailLen, data, len < room ? len : room);
  }
  f->tailLen += len;
}

}  // namespace

void InitCommandFramer(CommandFramer* f) {
  f->tailLen = 0;
}

void FrameRead(CommandFramer* f, const char* data, size_t len, CommandFn emit, void* ctx) {
  size_t start = 0;
  for (size_t i = 0; i < len; ++i) {
    if (!IsSeparator(data[i])) continue;
    if (f->tailLen > 0) {
      // The command began in an earlier read.
      AppendToTail(f, data + start, i - start);
      emit(ctx, f->tail, f->tailLen);
      f->tailLen = 0;
    } else if (i > start) {
      emit(ctx, data + start, i - start);
    }
    start = i + 1;
  }
  if (start < len) AppendToTail(f, data + start, len - start);
}

void FlushTail(CommandFramer* f, CommandFn emit, void* ctx) {
  if (f->tailLen == 0) return;
  emit(ctx, f->tail, f->tailLen);
  f->tailLen = 0;
}
