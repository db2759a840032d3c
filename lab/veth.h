// Real network interfaces for the fake Ethernet functions: veth pairs in
// the sandbox's network namespace, interface requests (rename, up/down),
// and a follower that keeps each fake sysfs "net" entry named after the
// kernel's current name of its interface, as the real sysfs does.
#ifndef E1CTLD_LAB_VETH_H_
#define E1CTLD_LAB_VETH_H_

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lab {

// 0 when no interface has that name.
int InterfaceIndex(const std::string& name);
// "" when no interface has that index.
std::string InterfaceName(int index);
bool InterfaceExists(const std::string& name);

// Interface requests through ioctl; each throws std::runtime_error with the
// system's error text on failure. Whether an interface that is up may be
// renamed depends on the kernel (older ones answer EBUSY).
void RenameInterface(const std::string& from, const std::string& to);
void SetInterfaceUp(const std::string& name, bool up);
bool IsInterfaceUp(const std::string& name);
// The up flag of the interface; none while no interface has that name (a
// daemon may hold it under another name just then). Other failures throw.
std::optional<bool> InterfaceUpState(const std::string& name);

// `ip link add NAME type veth peer name PEER`; throws with ip's output.
void CreateVethPair(const std::string& name, const std::string& peer);
// `ip link del NAME` (its peer goes with it); no error when absent.
void DeleteInterface(const std::string& name);

// Follows interfaces by index: for every tracked entry, the fake "net"
// directory holds exactly one subdirectory named after the interface's
// current name (none once the interface is deleted). A thread re-checks
// as soon as the kernel reports a link change, and every 5 ms; SyncNow()
// does it at once.
class NetFollower {
 public:
  NetFollower();
  ~NetFollower();
  NetFollower(const NetFollower&) = delete;
  NetFollower& operator=(const NetFollower&) = delete;

  // Tracks the interface now called `ifName` and creates its entry in
  // `netDir` (e.g. FakeUsb::NetDir("1-1.1:1.0")). Throws when no such
  // interface exists.
  void Track(const std::string& netDir, const std::string& ifName);
  void Untrack(const std::string& netDir);
  void SyncNow();

 private:
  struct Entry {
    std::string netDir;
    int index;
    std::string shown;  // entry name currently in netDir, "" when none
  };
  void SyncLocked();
  void Loop();

  std::mutex mu_;
  std::vector<Entry> entries_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace lab

#endif  // E1CTLD_LAB_VETH_H_
