#include "lab/fake_usb.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <stdexcept>

#include "lab/fs.h"

namespace lab {
namespace {

// Identifiers of the other devices in a controller: a generic hub and a
// generic USB Ethernet adapter.
constexpr uint16_t kHubVid = 0x05e3, kHubPid = 0x0610;
constexpr uint16_t kEthVid = 0x0b95, kEthPid = 0x772b;

std::string Hex4(uint16_t v) {
  char buf[8];
  snprintf(buf, sizeof buf, "%04x\n", v);
  return buf;
}

// "1-1.3:1.0" -> "1-1.3"
std::string DeviceOfInterface(const std::string& iface) {
  size_t colon = iface.find(':');
  if (colon == std::string::npos) throw std::invalid_argument("not an interface name: " + iface);
  return iface.substr(0, colon);
}

}  // namespace

const std::vector<KnownModel>& KnownModels() {
  static const std::vector<KnownModel> models = {
      {0xC251, 0x0004, 1, {1, -1, -1}, {4, 2}, 1},  {0xC251, 0x0003, 1, {1, -1, -1}, {4, 2}, 1},
      {0xC251, 0x0005, 2, {1, 4, -1}, {-1, -1}, 2}, {0xC251, 0xFFFC, 1, {1, -1, -1}, {4, 2}, 1},
      {0xC251, 0xFFFD, 1, {1, -1, -1}, {4, 2}, 1},  {0xC251, 0xFFFB, 2, {1, 4, -1}, {-1, -1}, 2},
  };
  return models;
}

const KnownModel* FindModel(uint16_t vid, uint16_t pid) {
  for (const KnownModel& m : KnownModels()) {
    if (m.vid == vid && m.pid == pid) return &m;
  }
  return nullptr;
}

FakeUsb::FakeUsb(std::string root) : root_(std::move(root)) {
  MakeDirs(root_);
}

std::string FakeUsb::DriverDir(const std::string& driver) const {
  return DriversRoot() + "/" + driver;
}

std::string FakeUsb::DeviceDir(const std::string& dev) const {
  size_t dash = dev.find('-');
  if (dash == std::string::npos || dash == 0 || dev.find(':') != std::string::npos) {
    throw std::invalid_argument("not a USB device name: " + dev);
  }
  std::vector<std::string> chain = {dev};
  std::string name = dev;
  for (size_t dot = name.rfind('.'); dot != std::string::npos && dot > dash;
       dot = name.rfind('.')) {
    name = name.substr(0, dot);
    chain.insert(chain.begin(), name);
  }
  std::string path = root_ + "/devices/pci0000:00/0000:00:14.0/usb" + dev.substr(0, dash);
  for (const std::string& part : chain) path += "/" + part;
  return path;
}

std::string FakeUsb::InterfaceDir(const std::string& iface) const {
  return DeviceDir(DeviceOfInterface(iface)) + "/" + iface;
}

void FakeUsb::Clear() {
  ClearDirectory(root_);
}

std::string FakeUsb::LinkUnderDevices(const std::string& name, const std::string& target) {
  std::string link = DevicesRoot() + "/" + name;
  MakeSymlink(RelativePath(DevicesRoot(), target), link);
  return link;
}

void FakeUsb::AddDevice(const std::string& dev, uint16_t vid, uint16_t pid) {
  std::string dir = DeviceDir(dev);
  MakeDirs(dir);
  SetIds(dev, vid, pid);
  LinkUnderDevices(dev, dir);
}

void FakeUsb::SetIds(const std::string& dev, uint16_t vid, uint16_t pid) {
  WriteAttribute(dev, "idVendor", Hex4(vid));
  WriteAttribute(dev, "idProduct", Hex4(pid));
}

void FakeUsb::WriteAttribute(const std::string& dev, const std::string& file,
                             const std::string& text) {
  WriteFile(DeviceDir(dev) + "/" + file, text);
}

void FakeUsb::RemoveAttribute(const std::string& dev, const std::string& file) {
  RemoveTree(DeviceDir(dev) + "/" + file);
}

void FakeUsb::AddInterface(const std::string& iface) {
  std::string dir = InterfaceDir(iface);
  MakeDirs(dir);
  LinkUnderDevices(iface, dir);
}

void FakeUsb::RemoveInterface(const std::string& iface) {
  for (const std::string& driver : ListDirectory(DriversRoot())) UnbindDriver(iface, driver);
  RemoveTree(DevicesRoot() + "/" + iface);
  RemoveTree(InterfaceDir(iface));
}

void FakeUsb::RemoveDevice(const std::string& dev) {
  std::string prefix = dev + ":";
  for (const std::string& name : ListDirectory(DevicesRoot())) {
    if (name.rfind(prefix, 0) == 0) RemoveInterface(name);
  }
  RemoveTree(DevicesRoot() + "/" + dev);
  RemoveTree(DeviceDir(dev));
}

void FakeUsb::AddTtyDir(const std::string& iface) {
  MakeDirs(InterfaceDir(iface) + "/tty");
}

void FakeUsb::AddTty(const std::string& iface, const std::string& ttyName) {
  std::string dir = InterfaceDir(iface) + "/tty/" + ttyName;
  MakeDirs(dir);
  int minor = 0;
  if (ttyName.rfind("ttyACM", 0) == 0) minor = atoi(ttyName.c_str() + 6);
  WriteFile(dir + "/dev", "166:" + std::to_string(minor) + "\n");
}

void FakeUsb::RemoveTty(const std::string& iface, const std::string& ttyName) {
  std::string ttyDir = InterfaceDir(iface) + "/tty";
  RemoveTree(ttyDir + "/" + ttyName);
  if (IsDirectory(ttyDir) && ListDirectory(ttyDir).empty()) RemoveTree(ttyDir);
}

void FakeUsb::AddNetDir(const std::string& iface) {
  MakeDirs(NetDir(iface));
}

void FakeUsb::AddNet(const std::string& iface, const std::string& ifName) {
  std::string dir = NetDir(iface) + "/" + ifName;
  MakeDirs(dir);
  WriteFile(dir + "/uevent", "INTERFACE=" + ifName + "\n");
}

void FakeUsb::RemoveNet(const std::string& iface, const std::string& ifName) {
  RemoveTree(NetDir(iface) + "/" + ifName);
}

void FakeUsb::RenameNet(const std::string& iface, const std::string& from, const std::string& to) {
  std::string dir = NetDir(iface);
  if (rename((dir + "/" + from).c_str(), (dir + "/" + to).c_str()) != 0) {
    throw std::runtime_error("rename " + dir + "/" + from + ": " + strerror(errno));
  }
  WriteFile(dir + "/" + to + "/uevent", "INTERFACE=" + to + "\n");
}

void FakeUsb::AddDriverDir(const std::string& driver) {
  std::string dir = DriverDir(driver);
  MakeDirs(dir);
  for (const char* file : {"bind", "new_id", "remove_id", "uevent", "unbind"}) {
    if (!Exists(dir + "/" + file)) WriteFile(dir + "/" + file, "");
  }
  std::string module = dir + "/module";
  if (!Exists(module)) MakeSymlink("../../../../module/" + driver, module);
}

void FakeUsb::RemoveDriverDir(const std::string& driver) {
  RemoveTree(DriverDir(driver));
}

void FakeUsb::RemoveDriversRoot() {
  RemoveTree(DriversRoot());
}

void FakeUsb::BindDriver(const std::string& iface, const std::string& driver) {
  AddDriverDir(driver);
  std::string dir = InterfaceDir(iface);
  MakeSymlink(RelativePath(DriverDir(driver), dir), DriverDir(driver) + "/" + iface);
  MakeSymlink(RelativePath(dir, DriverDir(driver)), dir + "/driver");
}

void FakeUsb::UnbindDriver(const std::string& iface, const std::string& driver) {
  RemoveTree(DriverDir(driver) + "/" + iface);
  std::string link = InterfaceDir(iface) + "/driver";
  if (Exists(link)) RemoveTree(link);
}

void FakeUsb::AddDriverEntry(const std::string& name, const std::string& driver) {
  AddDriverDir(driver);
  MakeSymlink("../../../../devices/virtual/" + name, DriverDir(driver) + "/" + name);
}

void FakeUsb::AddEthFunction(const std::string& dev, const EthFunction& fn) {
  if (fn.kind == EthFunction::Kind::kAbsent) return;
  AddDevice(dev, kEthVid, kEthPid);
  std::string iface = dev + ":1.0";
  AddInterface(iface);
  if (fn.kind == EthFunction::Kind::kNoNetDir) return;
  AddNetDir(iface);
  for (const std::string& name : fn.names) AddNet(iface, name);
}

ControllerLayout FakeUsb::AddController(const ControllerSpec& setup) {
  ControllerLayout out;
  out.hub = setup.hub;
  if (setup.chipPort > 0) {
    AddDevice(setup.hub, kHubVid, kHubPid);
    out.chip = setup.hub + "." + std::to_string(setup.chipPort);
  } else {
    out.chip = setup.hub;
  }
  AddDevice(out.chip, setup.vid, setup.pid);
  out.ctlIf = out.chip + ":1.0";
  AddInterface(out.ctlIf);
  if (setup.ttyDir) AddTtyDir(out.ctlIf);
  for (const std::string& tty : setup.ttyNames) AddTty(out.ctlIf, tty);
  BindDriver(out.ctlIf, setup.driver);
  if (setup.dataInterface) {
    out.dataIf = out.chip + ":1.1";
    AddInterface(out.dataIf);
    BindDriver(out.dataIf, setup.driver);
  }

  const KnownModel* model = FindModel(setup.vid, setup.pid);
  std::vector<int> pairPorts;
  if (model != nullptr) {
    for (int i = 0; i < model->ethPairs; ++i) pairPorts.push_back(model->pairPorts[i]);
  } else {
    pairPorts = {1, 4};
    pairPorts.resize(std::clamp<size_t>(setup.pairs.size(), 1, 2));
  }
  for (size_t i = 0; i < pairPorts.size(); ++i) {
    EthFunction fn;
    if (i < setup.pairs.size()) {
      fn = setup.pairs[i];
    } else {
      fn = EthFunction::Named("lab" + std::to_string(nameCounter_++));
    }
    std::string dev = setup.hub + "." + std::to_string(pairPorts[i]);
    AddEthFunction(dev, fn);
    out.pairDevs.push_back(dev);
    out.pairNames.push_back(
        fn.kind == EthFunction::Kind::kNamed && !fn.names.empty() ? fn.names.front() : "");
  }
  for (const auto& [port, fn] : setup.hubPorts) {
    AddEthFunction(setup.hub + "." + std::to_string(port), fn);
  }
  return out;
}

}  // namespace lab
