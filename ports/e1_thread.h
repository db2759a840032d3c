// The port thread: serves one E1 port's UNIX socket, one client at a time,
// forwards the client's commands, writes out the replies its client could
// not take at once, and replays the last block on request.
#ifndef E1CTLD_PORTS_E1_THREAD_H_
#define E1CTLD_PORTS_E1_THREAD_H_

#include <stddef.h>

#include "core/controller.h"

// The most bytes the port thread takes from its client in one read. The
// commands of one read go out as consecutive blocks of at most
// kMaxBlockCommands commands each.
constexpr size_t kClientReadBytes = 1024;

// The unterminated end of a read is kept for the client's next bytes and
// sent as a command once the client has sent nothing more for a while:
// kCommandTailQuietMs after a read that filled the buffer (the rest of the
// command is probably waiting behind it), kCommandPieceQuietMs after a
// shorter one (the client wrote a command without separator, and one
// written in pieces is not cut between them).
constexpr int kCommandTailQuietMs = 100;
constexpr int kCommandPieceQuietMs = 20;

// Thread body; `arg` is the E1PortSlot, filled by the supervisor, with its
// resources open (OpenPortResources). Sleeps in poll until something
// happens to the port. Runs while the slot's `running` is set, which
// nothing clears; the first socket that cannot be made ends the process (FatalExit);
// one made again after a client left is retried (see CreateListenSocket).
void* E1_thread(void* arg);

// The first of POLLERR, POLLHUP, POLLNVAL, POLLPRI present in `revents`, by
// name, or null: the events that end a client connection.
const char* PollReport(short revents);

#endif  // E1CTLD_PORTS_E1_THREAD_H_
