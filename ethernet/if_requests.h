// Network-interface requests (flags and name) on a datagram socket.
// SetIfUp, RenameIf and the guard of GetIfFlags return 0 on success or an
// error number that is also stored in errno.
#ifndef E1CTLD_ETHERNET_IF_REQUESTS_H_
#define E1CTLD_ETHERNET_IF_REQUESTS_H_

// The flags word (sign-extended), 0 when the request failed (errno as the
// kernel left it), 22 (EINVAL) for a missing or empty name.
int GetIfFlags(int sock, const char* name);
// True when IFF_UP is set; false on any failure.
bool IsIfUp(int sock, const char* name);
// Sets or clears IFF_UP, keeping the other flags. 0, 22 or 2 (ENOENT).
int SetIfUp(int sock, const char* name, bool up);
// Renames the interface. 0, 22, or 2 (ENOENT) whatever the kernel said.
int RenameIf(int sock, const char* name, const char* newName);

#endif  // E1CTLD_ETHERNET_IF_REQUESTS_H_
