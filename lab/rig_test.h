// The fixture of the port suites: one simulated controller of a given
// model on ttyACM0, the real daemon serving it, and clients proven served.
#ifndef E1CTLD_LAB_RIG_TEST_H_
#define E1CTLD_LAB_RIG_TEST_H_

#include <gtest/gtest.h>
#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lab/lab.h"
#include "lab/port_client.h"

namespace portslab {

inline constexpr uint16_t kOnePortPid = 0x0004;
inline constexpr uint16_t kTwoPortPid = 0x0005;

// The line the controller gets for `text` sent to `port`.
inline std::string Cmd(int port, const std::string& text) {
  return "CMD:port E1." + std::to_string(port) + " " + text + "\n";
}

class PortsLab : public ::testing::Test {
 protected:
  void SetUp() override { lab::ResetSandbox(); }

  void TearDown() override {
    daemon_.reset();
    sim_.reset();
  }

  // Builds one controller of the model, its control tty as a simulated
  // controller on ttyACM0, starts the daemon (-n finds it, -k keeps the
  // Ethernet pass away) and waits until every port socket and the
  // auxiliary socket exist.
  void Start(uint16_t pid, bool debug) {
    const lab::KnownModel* model = lab::FindModel(0xC251, pid);
    ASSERT_NE(model, nullptr);
    ports_ = model->e1Ports;
    lab::ControllerSpec setup;
    setup.pid = pid;
    setup.ttyNames = {};  // the simulator adds its tty entry itself
    layout_ = usb_.AddController(setup);
    lab::SimController::Options o;
    o.usb = &usb_;
    o.iface = layout_.ctlIf;
    o.ttyName = "ttyACM0";
    sim_ = std::make_unique<lab::SimController>(o);
    std::vector<std::string> args = {"-n", "-k"};
    if (debug) args.push_back("--debugmsg");
    daemon_ = std::make_unique<lab::DaemonProcess>(args);
    std::vector<std::string> paths = {AuxPath()};
    for (int p = 0; p < ports_; ++p) paths.push_back(PortPath(p));
    lab::WaitUntil(
        [&] {
          for (const std::string& path : paths) {
            if (!lab::Exists(path)) return false;
          }
          return true;
        },
        lab::Ms(5000));
    for (const std::string& path : paths) {
      ASSERT_TRUE(lab::Exists(path)) << path << " never appeared; daemon output:\n"
                                     << daemon_->Output() << daemon_->Errors();
    }
  }

  std::string PortPath(int port) const {
    return "/var/run/E1controllers/G703G704_phy" + std::to_string(port) + "_at_ttyctrl_" +
           layout_.ctlIf;
  }
  std::string AuxPath() const {
    return "/var/run/E1controllers/G703G704_AUX_PIPE_" + layout_.ctlIf;
  }

  // Connects a client to the port and proves that the port thread serves it:
  // a command sent through it reaches the controller. (That command becomes
  // the port's stored block.)
  bool Attach(int port, lab::PortClient* c) {
    if (!c->ConnectWithin(PortPath(port), lab::Ms(2000))) {
      ADD_FAILURE() << "cannot connect to port " << port;
      return false;
    }
    std::string sync = "sync" + std::to_string(syncCounter_++);
    if (!c->Send(sync + "\n") || !sim_->WaitForSubstring(Cmd(port, sync), lab::Ms(2000))) {
      ADD_FAILURE() << "port " << port << " does not serve its client; UART got:\n"
                    << sim_->Received();
      return false;
    }
    return true;
  }

  // Pulls the controller out and plugs it back as /dev/ttyACM<acm>; returns
  // the moment of the replug.
  std::chrono::steady_clock::time_point Replug(int acm) {
    sim_->Unplug();
    sim_->Plug(acm);
    return std::chrono::steady_clock::now();
  }

  lab::FakeUsb usb_;
  lab::ControllerLayout layout_;
  std::unique_ptr<lab::SimController> sim_;
  std::unique_ptr<lab::DaemonProcess> daemon_;
  int ports_ = 0;
  int syncCounter_ = 0;
};

}  // namespace portslab

#endif  // E1CTLD_LAB_RIG_TEST_H_
