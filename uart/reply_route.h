// Reply lines from the controller: assembly of lines that arrive in pieces,
// and recognition of "ACK:" replies and their port tags.
#ifndef E1CTLD_UART_REPLY_ROUTE_H_
#define E1CTLD_UART_REPLY_ROUTE_H_

#include <stddef.h>

enum { kReplyLineMax = 511 };

struct LineAssembler {
  char buf[kReplyLineMax + 1];  // always zero-terminated
  int fill;                     // 0 = start of a new line
};

enum class PieceResult {
  kPartial,   // no line feed yet: wait for more
  kComplete,  // buf holds a whole line (cut to 511 characters if longer)
  kOverflow,  // the buffer was already full: the piece was dropped
};

// Appends one piece (as returned by the line reader) to the line. A piece
// that finds the buffer full is dropped and restarts the line; if it holds
// the line feed, the caller still routes what the buffer holds.
PieceResult AppendPiece(LineAssembler* a, const char* piece, size_t len, bool* complete);

struct ReplyTarget {
  int port;          // 0..2, or -1 for no port
  const char* text;  // reply text after "ACK:" and the port tags
  bool endOfFile;    // text begins with "EOF" or 0x1A and a port was named
};

// Parses a complete line. Returns false for a line that is not an "ACK:"
// reply (the target is then untouched).
bool ParseReply(const char* line, ReplyTarget* target);

#endif  // E1CTLD_UART_REPLY_ROUTE_H_
