// The daemon's version and the names of its files under /var/run, which
// clients and scripts derive their socket and lock names from.
#ifndef E1CTLD_CORE_RUN_PATHS_H_
#define E1CTLD_CORE_RUN_PATHS_H_

#include <stddef.h>

extern const char kVersion[];       // "0.9_rc4"
extern const char kSocketDir[];     // "/var/run/E1controllers"
extern const char kSocketPrefix[];  // "/var/run/E1controllers/G703G704_phy"
extern const char kSocketSuffix[];  // "_at_ttyctrl_"
extern const char kLockPrefix[];    // "/var/run/KESTRD_LOCK_"
extern const char kAuxPrefix[];     // "/var/run/E1controllers/G703G704_AUX_PIPE_"
extern const char kCtlPrefix[];     // "/var/run/E1controllers/G703G704_CTL_"

// Writes the socket path of E1 port `port` of the controller whose control
// interface is `ctlIf` into `out` (always terminated when size > 0).
// Returns the length of the whole path, as snprintf: a result >= size means
// it was cut.
int FormatPortSocketPath(char* out, size_t size, int port, const char* ctlIf);

#endif  // E1CTLD_CORE_RUN_PATHS_H_
