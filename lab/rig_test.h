// The GoogleTest fixture of the end-to-end suites: a lab rig per test, with
// the checks that the suites share (the daemon serving its sockets, a
// client proven served).
#ifndef E1CTLD_LAB_RIG_TEST_H_
#define E1CTLD_LAB_RIG_TEST_H_

#include <gtest/gtest.h>
#include <stdint.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "lab/rig.h"
#include "lab/wait.h"

namespace lab {

inline constexpr uint16_t kOnePortPid = 0x0004;
inline constexpr uint16_t kTwoPortPid = 0x0005;

class RigTest : public ::testing::Test {
 protected:
  // A controller of model `pid` on the rig's USB, its UART as `uart` says.
  RigController& AddController(uint16_t pid, UartSpec uart = {}) {
    ControllerSpec usb;
    usb.pid = pid;
    return rig.AddController(usb, std::move(uart));
  }

  // Starts the daemon with `args` and waits until it serves every socket
  // of the rig's simulated controllers.
  void StartServing(const std::vector<std::string>& args, const DaemonOptions& opts = {},
                    std::chrono::milliseconds timeout = Ms(5000)) {
    rig.StartDaemon(args, opts);
    std::string missing = rig.WaitSockets(timeout);
    ASSERT_EQ(missing, "");
  }

  // One controller of model `pid` whose simulator never answers, on
  // ttyACM0, and the daemon with `args` serving it.
  void StartOne(uint16_t pid, const std::vector<std::string>& args, UartSpec uart = {}) {
    AddController(pid, std::move(uart));
    StartServing(args);
  }

  // A client proven served by port `port` (see Rig::Attach); a failure is
  // reported and makes it false.
  bool Attach(int port, PortClient* c, size_t ctl = 0) {
    std::string why = rig.Attach(port, c, ctl);
    if (!why.empty()) ADD_FAILURE() << why;
    return why.empty();
  }

  std::chrono::steady_clock::time_point Replug(int acm, size_t ctl = 0) {
    return rig.Replug(acm, ctl);
  }

  DaemonProcess& Daemon() { return rig.Daemon(); }
  SimController& Sim(size_t ctl = 0) { return rig.Sim(ctl); }
  const ControllerLayout& Layout(size_t ctl = 0) { return rig.Controller(ctl).layout; }
  std::string PortPath(int port, size_t ctl = 0) { return rig.Controller(ctl).PortPath(port); }
  std::string AuxPath(size_t ctl = 0) { return rig.Controller(ctl).AuxPath(); }
  std::string LockPath(size_t ctl = 0) { return rig.Controller(ctl).LockPath(); }

  Rig rig;
};

}  // namespace lab

#endif  // E1CTLD_LAB_RIG_TEST_H_
