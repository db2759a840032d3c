#include "daemon/aux_sockets.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace {

int ConnectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(AuxPollSet, NoMemoryIsReportedAndLeavesNoEntries) {
  AuxPollSet set;
  EXPECT_EQ(OpenAuxPollSet(&set, SIZE_MAX / 4), ENOMEM);
  EXPECT_EQ(set.entries, nullptr);
  EXPECT_EQ(set.count, 0u);
}

// A listener is made when due, accepts one client and is closed meanwhile;
// the client's end brings the listener back. Entry i is controller i's.
TEST(AuxPollSet, ListenerAndClientTakeTurnsInTheControllersEntry) {
  std::string path = "/tmp/e1-aux-test-" + std::to_string(getpid());
  E1Controller cs[2];
  InitControllerRecord(&cs[0]);
  InitControllerRecord(&cs[1]);
  cs[0].auxPath = path.data();  // the records own no memory here
  cs[1].auxListenFd = -1;       // neither listener nor client
  E1Controller* registry[2] = {&cs[0], &cs[1]};
  AuxPollSet set;
  ASSERT_EQ(OpenAuxPollSet(&set, 2), 0);

  FillAuxPollSet(&set, registry, true);
  ASSERT_GE(cs[0].auxListenFd, 0);
  EXPECT_EQ(set.entries[0].fd, cs[0].auxListenFd);
  EXPECT_EQ(set.entries[0].events, POLLIN);
  EXPECT_EQ(set.entries[1].fd, -1);

  // Left out after a failed accept: poll skips a negative descriptor.
  FillAuxPollSet(&set, registry, false);
  EXPECT_EQ(set.entries[0].fd, -1);

  int client = ConnectTo(path);
  ASSERT_GE(client, 0);
  FillAuxPollSet(&set, registry, true);
  ASSERT_EQ(poll(set.entries, set.count, 1000), 1);
  EXPECT_TRUE(ServeAuxPollSet(&set, registry));
  EXPECT_EQ(cs[0].auxListenFd, -1);
  ASSERT_GE(cs[0].auxClientFd, 0);
  EXPECT_EQ(ConnectTo(path), -1) << "a second client got in";

  FillAuxPollSet(&set, registry, false);  // the client is polled in any case
  EXPECT_EQ(set.entries[0].fd, cs[0].auxClientFd);
  EXPECT_EQ(set.entries[0].events, POLLIN | POLLPRI);
  ASSERT_EQ(send(client, "hello", 5, 0), 5);
  ASSERT_EQ(poll(set.entries, set.count, 1000), 1);
  EXPECT_TRUE(ServeAuxPollSet(&set, registry));
  EXPECT_GE(cs[0].auxClientFd, 0) << "data alone does not end the client";

  close(client);
  FillAuxPollSet(&set, registry, true);
  ASSERT_EQ(poll(set.entries, set.count, 1000), 1);
  EXPECT_TRUE(ServeAuxPollSet(&set, registry));
  EXPECT_EQ(cs[0].auxClientFd, -1);
  EXPECT_EQ(cs[0].auxListenFd, -2);
  FillAuxPollSet(&set, registry, true);
  ASSERT_GE(cs[0].auxListenFd, 0);
  client = ConnectTo(path);
  EXPECT_GE(client, 0) << "the listener did not come back";

  close(client);
  close(cs[0].auxListenFd);
  unlink(path.c_str());
  free(set.entries);
}

TEST(AuxPollSet, AFailedAcceptIsReported) {
  E1Controller c;
  InitControllerRecord(&c);
  // A socket that does not listen: accept fails with EINVAL.
  c.auxListenFd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(c.auxListenFd, 0);
  E1Controller* registry[1] = {&c};
  AuxPollSet set;
  ASSERT_EQ(OpenAuxPollSet(&set, 1), 0);
  FillAuxPollSet(&set, registry, true);
  set.entries[0].revents = POLLIN;
  EXPECT_FALSE(ServeAuxPollSet(&set, registry));
  EXPECT_GE(c.auxListenFd, 0);
  EXPECT_EQ(c.auxClientFd, -1);
  close(c.auxListenFd);
  free(set.entries);
}

}  // namespace
