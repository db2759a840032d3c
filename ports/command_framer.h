// Commands framed from a client's byte stream: a command is what the client
// wrote between separators (';', CR, LF), however its bytes were split into
// reads. Pure; the port thread feeds it every read.
#ifndef E1CTLD_PORTS_COMMAND_FRAMER_H_
#define E1CTLD_PORTS_COMMAND_FRAMER_H_

#include <stddef.h>

// The characters of a kept tail that are stored: one more than the longest
// command a line can hold, so that a longer one is known to be too long.
constexpr size_t kFramerTailChars = 116;

// Receives each command in order: `len` is its full length; `text` holds
// its first min(len, kFramerTailChars) bytes at least (all of them for a
// command that lay inside one read). Never empty.
using CommandFn = void (*)(void* ctx, const char* text, size_t len);

// The unterminated end of the last read, kept until the next read, the
// client's quiet time or its end decide where it ends.
struct CommandFramer {
  char tail[kFramerTailChars];
  size_t tailLen;  // the tail's full length; 0 when there is none
};

void InitCommandFramer(CommandFramer* f);

// Frames one read of `len` bytes, the kept tail joined in front of it.
// Every command that a separator ends goes to `emit`, in order; the
// unterminated rest is kept until the next read or FlushTail: the caller
// decides, by the client's quiet, when it is a command.
void FrameRead(CommandFramer* f, const char* data, size_t len, CommandFn emit, void* ctx);

// Sends the kept tail, if any, as a command: the client was quiet for a
// while or ended.
void FlushTail(CommandFramer* f, CommandFn emit, void* ctx);

inline bool HasTail(const CommandFramer* f) {
  return f->tailLen > 0;
}

#endif  // E1CTLD_PORTS_COMMAND_FRAMER_H_
