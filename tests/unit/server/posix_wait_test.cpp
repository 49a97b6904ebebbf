// WaitAny on Linux: what it reports always follows the list and the waitables as they are at the
// wait (the wait set that keeps its registrations between waits: wait_set_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "os/os.h"

namespace {

int Wait(std::initializer_list<os::Waitable*> list, int timeoutMs = 0) {
  std::vector<os::Waitable*> waitables(list);
  int error = 0;
  return os::WaitAny(waitables, timeoutMs, &error);
}

TEST(PosixWaitAny, ReportsLikeWaitForMultipleObjects) {
  auto stop = os::CreateEvent(true);
  auto a = os::CreateEvent(false);
  auto b = os::CreateEvent(true);
  EXPECT_EQ(Wait({stop.get(), nullptr, a.get(), b.get()}, 20), os::kWaitTimeout);
  b->Set();
  a->Set();
  // The lowest signalled index wins, null entries keep the caller's numbering, and an
  // auto-reset event is consumed only when its own index is returned.
  EXPECT_EQ(Wait({stop.get(), nullptr, b.get(), a.get()}), 2);
  EXPECT_EQ(Wait({stop.get(), nullptr, a.get(), b.get()}), 2);
  EXPECT_EQ(Wait({stop.get(), nullptr, a.get(), b.get()}), 3);
  stop->Set();
  EXPECT_EQ(Wait({stop.get(), nullptr, a.get(), b.get()}), 0);
  // A waitable the list no longer holds is not reported, however signalled it is.
  stop->Reset();
  EXPECT_EQ(Wait({a.get()}), os::kWaitTimeout);
  EXPECT_EQ(Wait({a.get(), b.get()}), 1);
}

TEST(PosixWaitAny, AWaitableMadeInPlaceOfAGoneOneIsWatchedAnew) {
  // The new event most likely gets the gone one's descriptor number and often its address.
  for (int round = 0; round < 4; ++round) {
    auto gone = os::CreateEvent(true);
    gone->Set();
    EXPECT_EQ(Wait({gone.get()}), 0);
    gone.reset();
    auto fresh = os::CreateEvent(true);
    EXPECT_EQ(Wait({fresh.get()}), os::kWaitTimeout) << "round " << round;
    fresh->Set();
    EXPECT_EQ(Wait({fresh.get()}), 0) << "round " << round;
  }
}

TEST(PosixWaitAny, EachThreadKeepsItsOwnWaits) {
  auto ready = os::CreateEvent(false);
  auto release = os::CreateEvent(true);
  std::atomic<int> woke{-1};
  int error = 0;
  auto thread = os::StartThread(
      [&] {
        ready->Set();
        woke = Wait({release.get()}, 5000);
      },
      &error);
  ASSERT_TRUE(thread) << "error " << error;
  ASSERT_EQ(Wait({ready.get()}, 5000), 0);
  // Waitables that come and go on this thread change nothing for the waiting one.
  for (int i = 0; i < 3; ++i) {
    auto other = os::CreateEvent(false);
    EXPECT_EQ(Wait({other.get()}), os::kWaitTimeout);
  }
  release->Set();
  thread->Join();
  EXPECT_EQ(woke, 0);
}

}  // namespace
