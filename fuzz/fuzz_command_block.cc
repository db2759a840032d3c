// Arbitrary client bytes through the command framer and the line formatter:
// the commands do not depend on where the reads split the bytes, and every
// line formatted is one whole command and its line end.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/run_options.h"
#include "ports/command_block.h"
#include "ports/command_framer.h"

namespace {

struct Seen {
  std::vector<std::string> cmds;
  uint32_t port;
};

void Check(void* ctx, const char* text, size_t len) {
  Seen* s = static_cast<Seen*>(ctx);
  if (len == 0) abort();  // empty commands are never framed
  size_t kept = len < kFramerTailChars ? len : kFramerTailChars;
  s->cmds.emplace_back(text, kept);
  s->cmds.back() += "/" + std::to_string(len);
  char line[kCommandLineSize];
  size_t n = FormatCommandLine(text, len, s->port, line);
  if (n == 0) return;
  char prefix[16];
  snprintf(prefix, sizeof prefix, "port E1.%u ", s->port);
  if (n > kCommandLineChars || strncmp(line, prefix, kCommandPrefixChars) != 0) abort();
  if (line[n - 1] != '\n' || strlen(line) != n) abort();
  // A separator inside a command would split it on the controller's side.
  if (memchr(line + kCommandPrefixChars, ';', n - kCommandPrefixChars) != nullptr) abort();
  if (memchr(line + kCommandPrefixChars, '\r', n - kCommandPrefixChars) != nullptr) abort();
  if (memchr(line, '\n', n - 1) != nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_options.quiet = 1;
  if (size < 2) return 0;
  uint32_t port = data[0] % 3;
  size_t cut = data[1] % (size - 1);
  const char* text = reinterpret_cast<const char*>(data + 2);
  size_t len = size - 2;
  if (cut > len) cut = len;

  Seen whole{{}, port};
  CommandFramer f;
  InitCommandFramer(&f);
  FrameRead(&f, text, len, Check, &whole);
  FlushTail(&f, Check, &whole);

  // The same bytes in two reads.
  Seen split{{}, port};
  InitCommandFramer(&f);
  FrameRead(&f, text, cut, Check, &split);
  FrameRead(&f, text + cut, len - cut, Check, &split);
  FlushTail(&f, Check, &split);
  if (whole.cmds != split.cmds || HasTail(&f)) abort();
  return 0;
}
