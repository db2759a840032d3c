#include "core/controller.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>

namespace {

// The serial and port threads keep pointers to records and use their
// mutexes and atomics; discovery may still grow the registry after a record
// has been set up, and a record that moved would leave them on freed memory.
TEST(Registry, RecordsNeverMoveWhileTheRegistryGrowsAndDroppedElementsAreReused) {
  int before = 0;
  GetControllers(&before);
  E1Controller* first = PrepareControllerElement();
  ASSERT_NE(first, nullptr);
  first->usbIfName = strdup("9-9.3:1.0");
  first->ports[1].clientFd = 42;
  CommitControllerElement();
  ASSERT_EQ(pthread_mutex_lock(&first->ports[0].clientLock), 0);

  int added = 0;
  for (int i = 0; i < 200; ++i) {
    E1Controller* e = PrepareControllerElement();
    ASSERT_NE(e, nullptr);
    if (i % 2 == 0) {
      CommitControllerElement();
      ++added;
      continue;
    }
    // Dropped after it was prepared: the next controller takes the same
    // element over, cleared.
    e->usbIfName = strdup("dropped");
    e->ports[2].clientFd = 7;
    E1Controller* again = PrepareControllerElement();
    ASSERT_EQ(again, e);
    EXPECT_EQ(again->usbIfName, nullptr);
    EXPECT_EQ(again->ports[2].clientFd, -1);
    CommitControllerElement();
    ++added;
  }

  int count = 0;
  E1Controller* const* cs = GetControllers(&count);
  ASSERT_EQ(count, before + 1 + added);
  EXPECT_EQ(cs[before], first);
  EXPECT_STREQ(cs[before]->usbIfName, "9-9.3:1.0");
  EXPECT_EQ(cs[before]->ports[1].clientFd, 42);
  EXPECT_EQ(pthread_mutex_unlock(&cs[before]->ports[0].clientLock), 0);
  for (int i = before; i < count; ++i) ASSERT_NE(cs[i], nullptr) << i;
}

}  // namespace
