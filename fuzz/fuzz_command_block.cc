// Arbitrary client bytes through the command tokeniser and formatter.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "core/log.h"
#include "core/run_options.h"
#include "ports/command_block.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_options.quiet = 1;
  if (size > 1024) size = 1024;  // one read from a client
  char text[1025];
  memcpy(text, data, size);
  text[size] = '\0';
  uint32_t port = size > 0 ? data[0] % 3 : 0;
  char work[kMaxBlockCommands][kCommandLineSize];
  int count = FormatCommandBlock(text, port, work);
  if (count < 0 || count > kMaxBlockCommands) abort();
  char prefix[16];
  snprintf(prefix, sizeof prefix, "port E1.%u ", port);
  for (int i = 0; i < count; ++i) {
    size_t len = strnlen(work[i], kCommandLineSize);
    if (len > 126 || strncmp(work[i], prefix, 10) != 0) abort();
    // A separator inside a command would split it on the controller's side.
    if (memchr(work[i] + 10, ';', len - 10) != nullptr) abort();
    if (memchr(work[i] + 10, '\r', len - 10) != nullptr) abort();
    char* nl = static_cast<char*>(memchr(work[i], '\n', len));
    if (nl != nullptr && nl != work[i] + len - 1) abort();
    if (len < 126 && nl == nullptr) abort();
  }
  return 0;
}
