#include "uart/dev_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

class DevWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/e1devwatch.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    DevWatchOpen(&w_, dir_.c_str());
    ASSERT_GE(w_.fd, 0);
    ASSERT_GE(w_.wd, 0);
  }
  void TearDown() override {
    DevWatchClose(&w_);
    std::string cmd = "rm -rf " + dir_;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // What a wait of up to `ms` reports, and how long it took.
  DevChange Wait(int ms, long* tookMs = nullptr) {
    auto t0 = Clock::now();
    DevChange c = DevWaitChange(&w_, ms);
    if (tookMs != nullptr) {
      *tookMs = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    }
    return c;
  }

  std::string dir_;
  DevWatch w_{};
};

// What the lab does (a symlink to a pty appears) and what udev does on a
// real system (the kernel's node, then its mode and owner changed, or a node
// made aside and moved in): each is reported at once, not at the timeout.
TEST_F(DevWatchTest, NodeCreatedLinkedMovedInOrChangedIsReportedAtOnce) {
  long took = 0;
  ASSERT_EQ(symlink("/dev/pts/9", Path("ttyACM4").c_str()), 0);
  EXPECT_EQ(Wait(2000, &took), DevChange::kChanged);
  EXPECT_LT(took, 1000);

  int fd = open(Path("ttyACM7").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(Wait(2000), DevChange::kChanged);
  ASSERT_EQ(chmod(Path("ttyACM7").c_str(), 0660), 0);
  EXPECT_EQ(Wait(2000, &took), DevChange::kChanged);
  EXPECT_LT(took, 1000);

  ASSERT_EQ(mkdir(Path(".udev").c_str(), 0700), 0);
  fd = open(Path(".udev/tmp").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(Wait(50), DevChange::kNone);  // the directory's name is not a tty's
  ASSERT_EQ(rename(Path(".udev/tmp").c_str(), Path("ttyACM12").c_str()), 0);
  EXPECT_EQ(Wait(2000), DevChange::kChanged);
  // Everything queued was read: nothing is reported twice.
  EXPECT_EQ(Wait(20), DevChange::kNone);
}

// Other names (another tty kind, a removal) do not end the wait: it lasts
// its timeout, as a timed look would.
TEST_F(DevWatchTest, UnrelatedChangesAndRemovalsWaitOutTheTimeout) {
  int fd = open(Path("ttyS0").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(symlink("/dev/pts/3", Path("ttyACM1").c_str()), 0);
  ASSERT_EQ(Wait(1000), DevChange::kChanged);
  ASSERT_EQ(unlink(Path("ttyACM1").c_str()), 0);
  ASSERT_EQ(chmod(Path("ttyS0").c_str(), 0666), 0);
  long took = 0;
  EXPECT_EQ(Wait(80, &took), DevChange::kNone);
  EXPECT_GE(took, 70);
}

// A directory removed and made again (a new /dev) is watched again: the
// replacement is itself reported, and so are the nodes made in the new one.
TEST_F(DevWatchTest, ReplacedDirectoryIsWatchedAgain) {
  std::string cmd = "rm -rf " + dir_;
  ASSERT_EQ(system(cmd.c_str()), 0);
  ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
  EXPECT_EQ(Wait(1000), DevChange::kChanged);
  EXPECT_GE(w_.wd, 0);
  ASSERT_EQ(symlink("/dev/pts/1", Path("ttyACM0").c_str()), 0);
  EXPECT_EQ(Wait(1000), DevChange::kChanged);
}

// A directory that was missing is found by the periodic renewal of the
// watch; without notifications at all the wait is a plain sleep.
TEST_F(DevWatchTest, MissingDirectoryIsPickedUpByTheRenewalAndNoInotifyIsASleep) {
  std::string cmd = "rm -rf " + dir_;
  ASSERT_EQ(system(cmd.c_str()), 0);
  ASSERT_EQ(Wait(1000), DevChange::kChanged);  // the removal, watched again: fails
  EXPECT_EQ(w_.wd, -1);
  ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
  DevChange last = DevChange::kNone;
  int waits = 0;
  while (last == DevChange::kNone && waits < 30) {
    last = Wait(1);
    ++waits;
  }
  EXPECT_EQ(last, DevChange::kChanged);
  EXPECT_EQ(waits, 25);
  EXPECT_GE(w_.wd, 0);

  DevWatch none{-1, -1, dir_.c_str(), 0};
  auto t0 = Clock::now();
  EXPECT_EQ(DevWaitChange(&none, 30), DevChange::kNone);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(25));
}

}  // namespace
