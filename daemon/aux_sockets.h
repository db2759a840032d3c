// The auxiliary sockets, served by the main loop: one listening socket per
// controller, one client at a time, whose data is only logged.
#ifndef E1CTLD_DAEMON_AUX_SOCKETS_H_
#define E1CTLD_DAEMON_AUX_SOCKETS_H_

#include <poll.h>
#include <stddef.h>

#include "core/controller.h"

// The main loop's poll entries: entry i belongs to the registry's
// controller i.
struct AuxPollSet {
  struct pollfd* entries;
  size_t count;
};

// Allocates one entry per controller and one more at index `count`, which
// the caller fills and serves itself. 0, or ENOMEM when the entries cannot
// be had (entries null, count 0).
int OpenAuxPollSet(AuxPollSet* set, size_t count);

// Fills the entries for one wait: each controller's client (input, urgent
// input) or, without one, its listening socket (input), which is created
// first when due; a negative descriptor, which poll skips, for a listener
// when `withListeners` is false or when it could not be made again after a
// client left (it is tried again on a later call, see
// CreateListenSocketOrLater). Ends the process through FatalExit (12, 13)
// when the first listening socket of a controller cannot be made.
void FillAuxPollSet(AuxPollSet* set, E1Controller* const* cs, bool withListeners);

// Serves what the wait found: accepts a connection on a ready listener
// (which is then closed until the client leaves), logs a client's data,
// closes a client that ended (its listener is made again next turn).
// Returns false when an accept failed: the caller's next wait should leave
// the listeners out, so that a lasting failure does not spin.
bool ServeAuxPollSet(const AuxPollSet* set, E1Controller* const* cs);

#endif  // E1CTLD_DAEMON_AUX_SOCKETS_H_
