// The listening UNIX stream sockets of the ports and auxiliary paths, and
// the directory that holds them.
#ifndef E1CTLD_PORTS_LISTEN_SOCKET_H_
#define E1CTLD_PORTS_LISTEN_SOCKET_H_

#include <sys/types.h>

// The socket directory's mode: only the daemon may add, remove or replace
// entries; its group may list the directory and reach the sockets, whose
// own modes (the umask's) say who may connect; others may do nothing.
constexpr mode_t kSocketDirMode = 0750;

// How often a listener that could not be made again is tried.
constexpr int kRelistenRetryMs = 200;

// Creates `dir` when it is missing and makes it the daemon's: owned by its
// user and group and of mode kSocketDirMode, whatever the umask and
// whatever the directory had before. Returns 0, or the error number when
// that could not be done (logged at level 3; the sockets' binds then tell
// the rest).
int MakeSocketDirectory(const char* dir);

// Removes any file at `path`, creates, binds and listens (backlog 1), and
// returns the socket.
// The first socket made for a `path` in this process ends it through
// FatalExit on failure: status 12 (socket or bind, `tag` names the caller)
// or 13 (listen). A later one, the listener made again after a client
// left, that cannot be bound is tried again every kRelistenRetryMs until
// it can; the failure is logged once, at level 3, and the recovery at
// level 4. The call returns only with a listening socket.
int CreateListenSocket(const char* path, const char* tag);

// As CreateListenSocket, for a caller that must not wait: a later socket
// that cannot be bound is tried at most once per kRelistenRetryMs, and -1
// is returned while it fails (or its next try is not due yet).
int CreateListenSocketOrLater(const char* path, const char* tag);

#endif  // E1CTLD_PORTS_LISTEN_SOCKET_H_
