// Controller output cut into pieces at arbitrary boundaries, through line
// assembly and reply recognition. The first byte of each chunk header sets
// the piece length, so the fuzzer explores every split.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "uart/reply_route.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LineAssembler a{};
  size_t at = 0;
  while (at < size) {
    size_t want = static_cast<size_t>(data[at]) + 1;
    ++at;
    size_t len = want < size - at ? want : size - at;
    // A line reader hands out at most one line per piece.
    const void* nl = memchr(data + at, '\n', len);
    if (nl != nullptr) len = static_cast<size_t>(static_cast<const uint8_t*>(nl) - (data + at)) + 1;
    std::string piece(reinterpret_cast<const char*>(data + at), len);
    at += len;
    bool complete = false;
    AppendPiece(&a, piece.data(), piece.size(), &complete);
    if (a.fill < 0 || a.fill > kReplyLineMax) abort();
    if (strnlen(a.buf, sizeof a.buf) > kReplyLineMax) abort();
    if (!complete) continue;
    if (a.fill != 0) abort();
    ReplyTarget t{};
    if (ParseReply(a.buf, &t)) {
      if (t.port < -1 || t.port > 2) abort();
      if (t.text < a.buf || t.text > a.buf + strlen(a.buf)) abort();
      if (t.endOfFile && t.port < 0) abort();
    }
  }
  return 0;
}
