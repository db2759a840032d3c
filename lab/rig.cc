#include "lab/rig.h"

#include <stdexcept>
#include <utility>

#include "core/run_paths.h"
#include "lab/fs.h"
#include "lab/sandbox.h"
#include "lab/wait.h"

namespace lab {

std::string SocketDirPath() {
  return kSocketDir;
}

std::string PortSocketPath(const std::string& ctlIf, int port) {
  char path[512];
  int n = FormatPortSocketPath(path, sizeof path, port, ctlIf.c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
    throw std::runtime_error("port socket path of " + ctlIf + " too long");
  }
  return path;
}

std::string AuxSocketPath(const std::string& ctlIf) {
  return kAuxPrefix + ctlIf;
}

std::string ControlSocketPath(const std::string& ctlIf) {
  return kCtlPrefix + ctlIf;
}

std::string LockFilePath(const std::string& ctlIf) {
  return kLockPrefix + ctlIf;
}

std::string CommandLine(int port, const std::string& text) {
  return "CMD:port E1." + std::to_string(port) + " " + text + "\n";
}

std::string AckLine(int port, const std::string& text) {
  return "ACK:E1." + std::to_string(port) + ":" + text + "\n";
}

Rig::Rig() {
  ResetSandbox();
}

Rig::~Rig() {
  daemon_.reset();
  controllers_.clear();
  follower_.reset();
  for (const std::string& name : interfaces_) DeleteInterface(name);
}

RigController& Rig::AddController(ControllerSpec usbSpec, UartSpec uart) {
  auto c = std::make_unique<RigController>();
  const KnownModel* model = FindModel(usbSpec.vid, usbSpec.pid);
  c->ports = model != nullptr ? model->e1Ports : 0;
  usbSpec.ttyNames = {};
  if (!uart.simulated) usbSpec.ttyNames = {uart.ttyName};
  c->layout = usb.AddController(usbSpec);
  if (uart.simulated) {
    SimController::Options o;
    o.usb = &usb;
    o.iface = c->layout.ctlIf;
    o.ttyName = uart.ttyName;
    o.reply = std::move(uart.reply);
    o.rawSlave = uart.rawSlave;
    c->sim = std::make_unique<SimController>(std::move(o));
  }
  controllers_.push_back(std::move(c));
  return *controllers_.back();
}

void Rig::ForgetInterfaces(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    DeleteInterface(name);
    interfaces_.push_back(name);
  }
}

void Rig::AddVethPair(const std::string& name) {
  ForgetInterfaces({name});
  CreateVethPair(name, name + "peer");
}

NetFollower& Rig::Net() {
  if (follower_ == nullptr) follower_ = std::make_unique<NetFollower>();
  return *follower_;
}

std::string Rig::PairInterface(size_t ctl, size_t pair) const {
  return controllers_.at(ctl)->layout.pairDevs.at(pair) + ":1.0";
}

void Rig::TrackPair(size_t ctl, size_t pair, const std::string& ifName) {
  Net().Track(usb.NetDir(PairInterface(ctl, pair)), ifName);
}

DaemonProcess& Rig::StartDaemon(const std::vector<std::string>& args, const DaemonOptions& opts) {
  daemon_.reset();
  daemon_ = std::make_unique<DaemonProcess>(args, opts);
  return *daemon_;
}

std::string Rig::WaitSockets(std::chrono::milliseconds timeout) const {
  std::vector<std::string> paths;
  for (const auto& c : controllers_) {
    if (c->sim == nullptr) continue;
    paths.push_back(c->AuxPath());
    for (int p = 0; p < c->ports; ++p) paths.push_back(c->PortPath(p));
  }
  WaitUntil(
      [&] {
        for (const std::string& path : paths) {
          if (!Exists(path)) return false;
        }
        return true;
      },
      timeout);
  std::string missing;
  for (const std::string& path : paths) {
    if (!Exists(path)) missing += path + " never appeared\n";
  }
  if (missing.empty()) return "";
  if (daemon_ != nullptr) missing += "daemon output:\n" + daemon_->Output() + daemon_->Errors();
  return missing;
}

std::string Rig::Attach(int port, PortClient* c, size_t ctl) {
  RigController& rc = Controller(ctl);
  if (!c->ConnectWithin(rc.PortPath(port), Ms(2000))) {
    return "cannot connect to port " + std::to_string(port) + " of " + rc.IfName();
  }
  lastSync_ = "sync" + std::to_string(syncCounter_++);
  if (!c->Send(lastSync_ + "\n") ||
      !rc.sim->WaitForSubstring(CommandLine(port, lastSync_), Ms(2000))) {
    return "port " + std::to_string(port) + " does not serve its client; UART got:\n" +
           rc.sim->Received();
  }
  return "";
}

std::chrono::steady_clock::time_point Rig::Replug(int acm, size_t ctl) {
  SimController& sim = Sim(ctl);
  sim.Unplug();
  sim.Plug(acm);
  return std::chrono::steady_clock::now();
}

}  // namespace lab
