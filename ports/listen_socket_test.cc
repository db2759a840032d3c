// The socket directory, whatever the umask and whatever was there before,
// and listeners made again: a later one that cannot be bound is tried
// again instead of ending the process.
#include "ports/listen_socket.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A fresh directory under /tmp, removed with its entries at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/e1-listen-test-XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      EXPECT_EQ(system(cmd.c_str()), 0);
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// True when a client can connect to `path`.
bool Accepts(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

TEST(SocketDirectory, IsTheDaemonsOwnWhateverTheUmaskAndWhateverItWas) {
  ScratchDir scratch;
  ASSERT_FALSE(scratch.Path().empty());
  mode_t old = umask(0);
  const std::string open = scratch.Path() + "/open";
  EXPECT_EQ(MakeSocketDirectory(open.c_str()), 0);
  EXPECT_EQ(ModeOf(open), kSocketDirMode);
  umask(0077);
  const std::string narrow = scratch.Path() + "/narrow";
  EXPECT_EQ(MakeSocketDirectory(narrow.c_str()), 0);
  EXPECT_EQ(ModeOf(narrow), kSocketDirMode);
  umask(old);
  // Left writable for the group (an older daemon under the units' umask)
  // or for everybody.
  for (mode_t before : {0770, 0777, 0700}) {
    ASSERT_EQ(chmod(open.c_str(), before), 0);
    EXPECT_EQ(MakeSocketDirectory(open.c_str()), 0);
    EXPECT_EQ(ModeOf(open), kSocketDirMode) << std::oct << before;
  }
  struct stat st;
  ASSERT_EQ(stat(open.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_gid, getegid());
  // Writable by its owner only; the group may list it and reach the sockets.
  EXPECT_EQ(kSocketDirMode & 0022, 0u);
  EXPECT_EQ(kSocketDirMode & 0050, 0050u);
  // Something else at the path: said, and left alone.
  const std::string file = scratch.Path() + "/file";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(MakeSocketDirectory(file.c_str()), ENOTDIR);
}

TEST(ListenSocket, ALaterListenerThatCannotBeBoundIsTriedAgainUntilItCan) {
  ScratchDir scratch;
  ASSERT_FALSE(scratch.Path().empty());
  const std::string path = scratch.Path() + "/later";
  int fd = CreateListenSocket(path.c_str(), "test");
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(Accepts(path));
  close(fd);

  // A directory where the socket was: not now, nor before the next try.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(CreateListenSocketOrLater(path.c_str(), "test"), -1);
  ASSERT_EQ(rmdir(path.c_str()), 0);
  EXPECT_EQ(CreateListenSocketOrLater(path.c_str(), "test"), -1) << "tried before its time";
  std::this_thread::sleep_for(std::chrono::milliseconds(kRelistenRetryMs + 20));
  fd = CreateListenSocketOrLater(path.c_str(), "test");
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(Accepts(path));
  close(fd);

  // The waiting form returns once the path is free, with a listener.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  auto start = Clock::now();
  std::thread freer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(rmdir(path.c_str()), 0);
  });
  fd = CreateListenSocket(path.c_str(), "test");
  freer.join();
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(Accepts(path));
  close(fd);
  // Once bound it is tried at once again, as at first.
  ASSERT_EQ(unlink(path.c_str()), 0);
  fd = CreateListenSocketOrLater(path.c_str(), "test");
  EXPECT_GE(fd, 0);
  close(fd);

  // Only the first socket of a path ends the process when it cannot be
  // bound, as at start-up.
  const std::string first = scratch.Path() + "/first";
  ASSERT_EQ(mkdir(first.c_str(), 0700), 0);
  EXPECT_EXIT(CreateListenSocketOrLater(first.c_str(), "first"), testing::ExitedWithCode(12), "");
}

}  // namespace
