// A fake USB part of sysfs, laid out the way the kernel lays it out:
//
//   <root>/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.3/          device
//   <root>/devices/.../1-1.3/idVendor, idProduct                    "c251\n"
//   <root>/devices/.../1-1.3/1-1.3:1.0/tty/ttyACM0/                 CDC-ACM control
//   <root>/devices/.../1-1.1/1-1.1:1.0/net/eth0/                    USB Ethernet
//   <root>/bus/usb/devices/<name> -> ../../../devices/...           one link each
//   <root>/bus/usb/drivers/cdc_acm/1-1.3:1.0 -> ../../../../devices/...
//   <root>/bus/usb/drivers/cdc_acm/{bind,module,new_id,remove_id,uevent,unbind}
//
// All links are relative, so a tree built under another directory can be
// bind-mounted on /sys of a nested mount namespace and still resolve.
#ifndef E1CTLD_LAB_FAKE_USB_H_
#define E1CTLD_LAB_FAKE_USB_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace lab {

// One row of the controllers the daemon knows, by USB identifiers.
struct KnownModel {
  uint16_t vid;
  uint16_t pid;
  int ethPairs;
  int pairPorts[3];    // hub port of each pair, -1 = none
  int hubEthPorts[2];  // candidate hub ports of the extra Ethernet, -1 = none
  int e1Ports;
};
const std::vector<KnownModel>& KnownModels();
// Null when the identifiers are not a known model.
const KnownModel* FindModel(uint16_t vid, uint16_t pid);

// What sits on a hub port where an Ethernet function may be.
struct EthFunction {
  enum class Kind {
    kAbsent,       // no device at all on that port
    kNamed,        // <port>:1.0/net/<name> for each name
    kNoNetDir,     // the function's interface 1.0 exists without "net"
    kEmptyNetDir,  // "net" exists but holds no interface
  };
  Kind kind = Kind::kAbsent;
  std::vector<std::string> names;

  static EthFunction Named(std::string name) { return {Kind::kNamed, {std::move(name)}}; }
  static EthFunction NamedMany(std::vector<std::string> names) {
    return {Kind::kNamed, std::move(names)};
  }
  static EthFunction NoNetDir() { return {Kind::kNoNetDir, {}}; }
  static EthFunction EmptyNetDir() { return {Kind::kEmptyNetDir, {}}; }
  static EthFunction Absent() { return {Kind::kAbsent, {}}; }
};

// A whole controller: hub, chip with its CDC-ACM interfaces, the Ethernet
// pairs at the model's pair ports and optional functions on other ports.
struct ControllerSpec {
  uint16_t vid = 0xC251;
  uint16_t pid = 0x0004;
  std::string hub = "1-1";  // the controller's internal hub, e.g. "1-1", "2-1"
  // Hub port of the controller chip; 0 puts the chip itself on a root port
  // (it is then named `hub` and its control interface is "<hub>:1.0").
  int chipPort = 3;
  // Names under <chip>:1.0/tty/. Empty with ttyDir set: an empty tty dir.
  std::vector<std::string> ttyNames = {"ttyACM0"};
  bool ttyDir = true;
  bool dataInterface = true;  // <chip>:1.1, bound to the driver, no tty
  std::string driver = "cdc_acm";
  // Pair functions in pair order, placed at the model's pair ports (ports
  // 1 and 4 for a model not in the table). Missing entries are named
  // functions with generated names.
  std::vector<EthFunction> pairs;
  // Extra functions by hub port (the hub Ethernet candidates, or anything).
  std::map<int, EthFunction> hubPorts;
};

// Names of what AddController created.
struct ControllerLayout {
  std::string hub;                     // "1-1"
  std::string chip;                    // "1-1.3"
  std::string ctlIf;                   // "1-1.3:1.0", the name in the driver directory
  std::string dataIf;                  // "1-1.3:1.1" (empty without data interface)
  std::vector<std::string> pairDevs;   // "1-1.1", ...
  std::vector<std::string> pairNames;  // first name of each pair, "" without
};

class FakeUsb {
 public:
  explicit FakeUsb(std::string root = "/sys");

  const std::string& Root() const { return root_; }
  std::string DevicesRoot() const { return root_ + "/bus/usb/devices"; }
  std::string DriversRoot() const { return root_ + "/bus/usb/drivers"; }
  std::string DriverDir(const std::string& driver = "cdc_acm") const;
  // Real directories under <root>/devices for a device ("1-1.3") and for an
  // interface ("1-1.3:1.0").
  std::string DeviceDir(const std::string& dev) const;
  std::string InterfaceDir(const std::string& iface) const;

  // Removes everything under the root.
  void Clear();

  // Devices and interfaces.
  void AddDevice(const std::string& dev, uint16_t vid, uint16_t pid);
  void SetIds(const std::string& dev, uint16_t vid, uint16_t pid);
  // Writes an arbitrary attribute file of a device (e.g. a broken idVendor).
  void WriteAttribute(const std::string& dev, const std::string& file, const std::string& text);
  void RemoveAttribute(const std::string& dev, const std::string& file);
  void AddInterface(const std::string& iface);
  void RemoveInterface(const std::string& iface);
  // Removes the device directory, its links and the driver entries of its
  // interfaces (as an unplug does).
  void RemoveDevice(const std::string& dev);

  // tty entries under an interface.
  void AddTtyDir(const std::string& iface);
  void AddTty(const std::string& iface, const std::string& ttyName);
  // Removes the entry, and the tty dir when it is left empty.
  void RemoveTty(const std::string& iface, const std::string& ttyName);

  // net entries under an interface.
  std::string NetDir(const std::string& iface) const { return InterfaceDir(iface) + "/net"; }
  void AddNetDir(const std::string& iface);
  void AddNet(const std::string& iface, const std::string& ifName);
  void RemoveNet(const std::string& iface, const std::string& ifName);
  void RenameNet(const std::string& iface, const std::string& from, const std::string& to);

  // Driver directories.
  void AddDriverDir(const std::string& driver = "cdc_acm");
  void RemoveDriverDir(const std::string& driver = "cdc_acm");
  void RemoveDriversRoot();
  void BindDriver(const std::string& iface, const std::string& driver = "cdc_acm");
  void UnbindDriver(const std::string& iface, const std::string& driver = "cdc_acm");
  // A raw entry in a driver directory (a dangling link), e.g. "usb1".
  void AddDriverEntry(const std::string& name, const std::string& driver = "cdc_acm");

  // Places an Ethernet function of the given kind at a device name.
  void AddEthFunction(const std::string& dev, const EthFunction& fn);

  ControllerLayout AddController(const ControllerSpec& setup);

 private:
  std::string LinkUnderDevices(const std::string& name, const std::string& target);

  std::string root_;
  int nameCounter_ = 0;
};

}  // namespace lab

#endif  // E1CTLD_LAB_FAKE_USB_H_
