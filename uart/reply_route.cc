#include "uart/reply_route.h"

#include <string.h>
#include <strings.h>

PieceResult AppendPiece(LineAssembler* a, const char* piece, size_t len, bool* complete) {
  *complete = memchr(piece, '\n', len) != nullptr;
  if (a->fill >= kReplyLineMax) {
    a->fill = 0;
    return PieceResult::kOverflow;
  }
  size_t room = static_cast<size_t>(kReplyLineMax - a->fill);
  size_t take = len < room ? len : room;
  memcpy(a->buf + a->fill, piece, take);
  a->buf[a->fill + static_cast<int>(take)] = '\0';
  a->fill = static_cast<int>(strlen(a->buf));
  if (*complete) a->fill = 0;
  return *complete ? PieceResult::kComplete : PieceResult::kPartial;
}

bool ParseReply(const char* line, ReplyTarget* target) {
  if (strncasecmp(line, "ACK:", 4) != 0) return false;
  static const struct {
    const char* tag;
    int port;
  } kTags[] = {{"E1:", 0}, {"E1.0:", 0}, {"E1.1:", 1}, {"E1.2:", 2}, {"E1.?:", -1}};
  const char* p = line + 4;
  int port = -1;
  for (const auto& t : kTags) {
    size_t n = strlen(t.tag);
    if (strncasecmp(p, t.tag, n) == 0) {
      p += n;
      port = t.port;
    }
  }
  target->port = port;
  target->text = p;
  target->endOfFile =
      port >= 0 && (strncasecmp(p, "EOF", 3) == 0 || static_cast<unsigned char>(*p) == 0x1A);
  return true;
}
