// e1fakeusb: lays out and changes the lab's fake USB sysfs tree from a
// shell, for suites that bind it into a machine the lab does not drive
// (a booted container). One controller, c251:0004 with its chip on port 3
// of hub 1-1 (control interface 1-1.3:1.0), its Ethernet pair on port 1 as
// e1eth0 and its hub Ethernet on port 4 as e1eth1 (interfaces the caller
// makes, e.g. veth).
//
//   e1fakeusb ROOT plug [TTY]     the controller, with TTY (ttyACM0) or,
//                                 given "-", without a tty yet
//   e1fakeusb ROOT tty-add TTY    the control interface's tty appears
//   e1fakeusb ROOT tty-remove TTY and goes again (an unplug as the daemon
//                                 sees it)
// Exit status 0 on success, 1 on a file system error, 2 for bad usage.
#include <stdio.h>
#include <string.h>

#include <exception>
#include <string>

#include "lab/fake_usb.h"

namespace {

constexpr const char* kControlIf = "1-1.3:1.0";

int Usage() {
  fprintf(stderr, "usage: e1fakeusb ROOT plug [TTY|-] | tty-add TTY | tty-remove TTY\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  lab::FakeUsb usb(argv[1]);
  std::string verb = argv[2];
  std::string tty = argc > 3 ? argv[3] : "ttyACM0";
  try {
    if (verb == "plug" && argc <= 4) {
      lab::ControllerSpec c;
      c.pairs = {lab::EthFunction::Named("e1eth0")};
      c.hubPorts = {{4, lab::EthFunction::Named("e1eth1")}};
      if (tty == "-") {
        c.ttyNames.clear();
        c.ttyDir = false;
      } else {
        c.ttyNames = {tty};
      }
      usb.AddController(c);
    } else if (verb == "tty-add" && argc == 4) {
      usb.AddTty(kControlIf, tty);
    } else if (verb == "tty-remove" && argc == 4) {
      usb.RemoveTty(kControlIf, tty);
    } else {
      return Usage();
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "e1fakeusb: %s\n", e.what());
    return 1;
  }
  return 0;
}
