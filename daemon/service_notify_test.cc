// The pure pieces of the service manager notifications: the status text,
// the watchdog interval from the environment, and the socket address forms.
#include "daemon/service_notify.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace {

TEST(ServiceNotify, StatusTextNamesTheLinePortsAndClients) {
  EXPECT_EQ(ControllerStatusText("1-1.3:1.0", true, UartAccount::kOpen, "ttyACM1", 2, 1),
            "1-1.3:1.0: ttyACM1, 2 ports, 1 client");
  EXPECT_EQ(ControllerStatusText("1-1.3:1.0", true, UartAccount::kLost, "ttyACM1", 1, 0),
            "1-1.3:1.0: UART lost (was ttyACM1), 1 port, 0 clients");
  EXPECT_EQ(ControllerStatusText("1-1.3:1.0", true, UartAccount::kWaiting, "ttyACM0", 2, 1),
            "1-1.3:1.0: waiting for its tty (ttyACM0), 2 ports, 1 client");
  EXPECT_EQ(ControllerStatusText("2-1:1.0", false, UartAccount::kLost, "", 0, 0),
            "2-1:1.0: UART not opened");
}

TEST(ServiceNotify, WatchdogIntervalIsHalfThePeriodForThisProcessOnly) {
  EXPECT_EQ(WatchdogInterval("10000000", nullptr, 42), 5000000);
  EXPECT_EQ(WatchdogInterval("10000000", "42", 42), 5000000);
  EXPECT_EQ(WatchdogInterval("10000000", "43", 42), 0);
  EXPECT_EQ(WatchdogInterval(nullptr, nullptr, 42), 0);
  for (const char* bad : {"", "0", "-5", "12x", "x"}) {
    EXPECT_EQ(WatchdogInterval(bad, nullptr, 42), 0) << bad;
  }
  EXPECT_EQ(WatchdogInterval("1000", "4x", 4), 0);
  // Periods too short to halve still get keep-alives.
  EXPECT_EQ(WatchdogInterval("1", nullptr, 42), 1);
  EXPECT_EQ(WatchdogInterval("1", "42", 42), 1);
  EXPECT_EQ(WatchdogInterval("2", nullptr, 42), 1);
  EXPECT_EQ(WatchdogInterval("3", nullptr, 42), 1);
}

// A datagram socket bound at `path` (an "@" first stands for the abstract
// namespace), standing in for the service manager.
int BindListener(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  memcpy(a.sun_path, path.data(), path.size());
  if (path[0] == '@') a.sun_path[0] = '\0';
  socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size());
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Receive(int fd) {
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

TEST(ServiceNotify, SendsToAPathAndToAnAbstractName) {
  std::string path = "/tmp/e1ctld-notify-test-" + std::to_string(getpid());
  unlink(path.c_str());
  int fd = BindListener(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(SendServiceNotification(path.c_str(), "READY=1\nSTATUS=x"), 0);
  EXPECT_EQ(Receive(fd), "READY=1\nSTATUS=x");
  close(fd);
  unlink(path.c_str());

  std::string abstract = "@e1ctld-notify-test-" + std::to_string(getpid());
  fd = BindListener(abstract);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(SendServiceNotification(abstract.c_str(), "WATCHDOG=1"), 0);
  EXPECT_EQ(Receive(fd), "WATCHDOG=1");
  close(fd);

  // Nobody there, or no usable address: an error, nothing else.
  EXPECT_EQ(SendServiceNotification(path.c_str(), "STOPPING=1"), -1);
  EXPECT_EQ(SendServiceNotification("relative/path", "STOPPING=1"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(SendServiceNotification("@", "STOPPING=1"), -1);
}

}  // namespace
