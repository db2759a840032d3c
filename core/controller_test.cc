#include "core/controller.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

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

// The serial thread replaces ttyName under the controller lock; a reader
// that copies it must wait for the lock and then see the new name, never
// the freed old one.
TEST(Controller, TtyNameIsCopiedUnderTheControllerLock) {
  E1Controller c;
  InitControllerRecord(&c);
  ASSERT_EQ(pthread_mutex_init(&c.lock, nullptr), 0);
  c.ttyName = strdup("ttyACM0");
  char buf[32] = "unset";

  ASSERT_EQ(pthread_mutex_lock(&c.lock), 0);
  std::atomic<bool> copied{false};
  std::thread reader([&] {
    CopyTTYName(&c, buf, sizeof buf);
    copied = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(copied) << "the name was read while the lock was held";
  // What the serial thread does when the device comes back as another tty.
  free(c.ttyName);
  c.ttyName = strdup("ttyACM1");
  ASSERT_EQ(pthread_mutex_unlock(&c.lock), 0);
  reader.join();
  EXPECT_STREQ(buf, "ttyACM1");

  // Cut to the buffer; no name at all gives "".
  char small[5];
  CopyTTYName(&c, small, sizeof small);
  EXPECT_STREQ(small, "ttyA");
  free(c.ttyName);
  c.ttyName = nullptr;
  CopyTTYName(&c, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
  pthread_mutex_destroy(&c.lock);
  for (E1PortSlot& s : c.ports) pthread_mutex_destroy(&s.clientLock);
}

// A line closed before it was ever open is waiting for its tty; once it was
// open, closed means lost, also after later losses and returns.
TEST(Controller, LineAccountTellsWaitingFromLostAndKeepsTheNameOfEachAccount) {
  E1Controller c;
  InitControllerRecord(&c);
  char tty[32] = "unset";
  UartAccount line = UartAccount::kLost;
  EXPECT_EQ(ReadUARTState(&c, tty, sizeof tty, &line), 0u);
  EXPECT_EQ(line, UartAccount::kOpen);
  EXPECT_STREQ(tty, "");

  c.ttyName = strdup("ttyACM0");
  PublishUARTState(&c, false);
  EXPECT_EQ(ReadUARTState(&c, tty, sizeof tty, &line), 1u);
  EXPECT_EQ(line, UartAccount::kWaiting);
  EXPECT_STREQ(tty, "ttyACM0");
  PublishUARTState(&c, false);  // still not there
  EXPECT_EQ(ReadUARTState(&c, tty, sizeof tty, &line), 2u);
  EXPECT_EQ(line, UartAccount::kWaiting);

  free(c.ttyName);
  c.ttyName = strdup("ttyACM2");
  PublishUARTState(&c, true);
  EXPECT_EQ(ReadUARTState(&c, tty, sizeof tty, &line), 3u);
  EXPECT_EQ(line, UartAccount::kOpen);
  EXPECT_STREQ(tty, "ttyACM2");
  for (int round = 0; round < 2; ++round) {
    PublishUARTState(&c, false);
    ReadUARTState(&c, tty, sizeof tty, &line);
    EXPECT_EQ(line, UartAccount::kLost) << round;
    PublishUARTState(&c, true);
    ReadUARTState(&c, tty, sizeof tty, &line);
    EXPECT_EQ(line, UartAccount::kOpen) << round;
  }
  free(c.ttyName);
  pthread_mutex_destroy(&c.statusLock);
  for (E1PortSlot& s : c.ports) pthread_mutex_destroy(&s.clientLock);
}

}  // namespace
