// The lab rig that every end-to-end suite builds on: a fresh sandbox, fake
// USB controllers whose control UARTs are simulated controllers on ptys,
// veth interfaces for their Ethernet pairs, the real daemon, and the names
// of the daemon's files for each controller (formed from core/run_paths.h,
// so that the lab and the daemon cannot disagree on them).
#ifndef E1CTLD_LAB_RIG_H_
#define E1CTLD_LAB_RIG_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lab/daemon_process.h"
#include "lab/fake_usb.h"
#include "lab/port_client.h"
#include "lab/sim_controller.h"
#include "lab/veth.h"

namespace lab {

// The daemon's files of the controller whose control interface is `ctlIf`.
std::string SocketDirPath();  // the directory of the sockets
std::string PortSocketPath(const std::string& ctlIf, int port);
std::string AuxSocketPath(const std::string& ctlIf);
std::string ControlSocketPath(const std::string& ctlIf);
std::string LockFilePath(const std::string& ctlIf);

// The line the controller gets for `text` sent to E1 port `port`, and the
// reply line it sends back for the client of that port to get `text`.
std::string CommandLine(int port, const std::string& text);
std::string AckLine(int port, const std::string& text);

// How a controller's control UART is played.
struct UartSpec {
  // False: sysfs names `ttyName` but there is no device node at all.
  bool simulated = true;
  std::string ttyName = "ttyACM0";
  ReplyRule reply;       // none: the controller never answers
  bool rawSlave = true;  // false: the tty keeps a fresh terminal's settings
};

// One controller of the rig.
struct RigController {
  ControllerLayout layout;
  int ports = 0;                       // E1 ports of the model (0: not a known model)
  std::unique_ptr<SimController> sim;  // none when the UART is not simulated
  const std::string& IfName() const { return layout.ctlIf; }
  std::string PortPath(int port) const { return PortSocketPath(layout.ctlIf, port); }
  std::string AuxPath() const { return AuxSocketPath(layout.ctlIf); }
  std::string ControlPath() const { return ControlSocketPath(layout.ctlIf); }
  std::string LockPath() const { return LockFilePath(layout.ctlIf); }
};

class Rig {
 public:
  // Brings the sandbox back to its fresh state.
  Rig();
  // Stops the daemon first, then the controllers, the interface follower
  // and the veth pairs that the rig created.
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Adds a controller as `usb` describes it; a simulated UART adds its own
  // tty entry (replacing `usb`'s ttyNames), an unsimulated one is
  // named in sysfs only.
  RigController& AddController(ControllerSpec usb, UartSpec uart = {});
  RigController& Controller(size_t i = 0) { return *controllers_.at(i); }
  SimController& Sim(size_t i = 0) { return *Controller(i).sim; }
  size_t Controllers() const { return controllers_.size(); }

  // A veth pair `name` / `name`+"peer" (an old one of that name deleted
  // first), deleted again with the rig.
  void AddVethPair(const std::string& name);
  // Keeps the sysfs "net" entry of pair `pair` of controller `ctl` named
  // after the interface now called `ifName`.
  void TrackPair(size_t ctl, size_t pair, const std::string& ifName);
  // The sysfs interface name of pair `pair` of controller `ctl`.
  std::string PairInterface(size_t ctl, size_t pair) const;
  NetFollower& Net();
  // Interface names that the rig deletes before and after the test (names
  // a test renames its pairs to).
  void ForgetInterfaces(const std::vector<std::string>& names);

  // Starts the daemon (the previous one, if any, is killed first).
  DaemonProcess& StartDaemon(const std::vector<std::string>& args, const DaemonOptions& opts = {});
  DaemonProcess& Daemon() { return *daemon_; }
  bool HasDaemon() const { return daemon_ != nullptr; }
  void StopDaemon() { daemon_.reset(); }

  // Waits until every port socket and the auxiliary socket of every
  // simulated controller exist; "" then, else what is missing together
  // with the daemon's output.
  std::string WaitSockets(std::chrono::milliseconds timeout) const;

  // Connects a client to port `port` of controller `ctl` and proves that
  // the port thread serves it: a command sent through it reaches the
  // controller (and becomes the port's stored block). "" on success, else
  // what failed.
  std::string Attach(int port, PortClient* c, size_t ctl = 0);
  // The text Attach() sent last (its command line is in the UART's data).
  const std::string& LastSync() const { return lastSync_; }

  // Pulls controller `ctl` out and plugs it back as /dev/ttyACM<acm>;
  // returns the moment of the replug.
  std::chrono::steady_clock::time_point Replug(int acm, size_t ctl = 0);

  FakeUsb usb;

 private:
  std::vector<std::unique_ptr<RigController>> controllers_;
  std::vector<std::string> interfaces_;
  std::unique_ptr<NetFollower> follower_;
  std::unique_ptr<DaemonProcess> daemon_;
  std::string lastSync_;
  int syncCounter_ = 0;
};

}  // namespace lab

#endif  // E1CTLD_LAB_RIG_H_
