// The sandbox that every end-to-end test binary runs in: its own mount,
// network and PID namespaces, with the test binary as PID 1 and fresh
// tmpfs file systems on /sys, /run and /dev. /tmp stays the host's: the
// binaries under test may live there. The daemon reads sysfs
// through "/proc/1/root/sys" by default, which inside the sandbox is the
// fake tree that the tests build.
#ifndef E1CTLD_LAB_SANDBOX_H_
#define E1CTLD_LAB_SANDBOX_H_

#include <string>

namespace lab {

// Call first in main(). Outside the sandbox it re-executes this binary with
// the same arguments under unshare(1) and exits with the sandboxed run's
// status (it never returns then). Inside (as PID 1) it prepares the mounts,
// /dev and the loopback interface, and returns. Any failure prints the
// reason to stderr and exits non-zero.
void EnterSandbox(int argc, char** argv);

// True in the prepared sandbox.
bool InSandbox();

// Brings the sandbox back to its fresh state between tests: empties /sys
// and /run, removes /dev/ttyACM* nodes and reaps orphaned children.
void ResetSandbox();

// Sets/gets the path of the daemon binary that DaemonProcess starts by
// default.
void SetDaemonPath(const std::string& path);
const std::string& DaemonPath();

}  // namespace lab

#endif  // E1CTLD_LAB_SANDBOX_H_
