// The listening UNIX stream socket of a port or auxiliary path.
#ifndef E1CTLD_PORTS_LISTEN_SOCKET_H_
#define E1CTLD_PORTS_LISTEN_SOCKET_H_

// Removes any file at `path`, creates, binds and listens (backlog 1).
// Returns the socket; ends the process through FatalExit with status 12
// (socket or bind, `tag` names the caller) or 13 (listen) on failure.
int CreateListenSocket(const char* path, const char* tag);

#endif  // E1CTLD_PORTS_LISTEN_SOCKET_H_
