// Events, WaitAny and threads of the Win32 platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "os/os.h"

namespace {

constexpr int kBoundMs = 5000;  // upper bound for waits that must end much sooner

os::Waitable* W(const std::unique_ptr<os::Event>& event) { return event.get(); }

int Wait(std::initializer_list<os::Waitable*> list, int timeoutMs, int* error = nullptr) {
  std::vector<os::Waitable*> handles(list);
  int ignored = 0;
  return os::WaitAny(handles, timeoutMs, error ? error : &ignored);
}

TEST(Win32Events, ManualResetStaysSignalledUntilReset) {
  auto event = os::CreateEvent(true);
  ASSERT_TRUE(event);
  EXPECT_EQ(Wait({W(event)}, 0), os::kWaitTimeout);
  event->Set();
  EXPECT_EQ(Wait({W(event)}, 0), 0);
  EXPECT_EQ(Wait({W(event)}, 0), 0);
  event->Reset();
  EXPECT_EQ(Wait({W(event)}, 0), os::kWaitTimeout);
}

TEST(Win32Events, AutoResetIsConsumedOnlyWhenItsOwnIndexIsReturned) {
  auto stop = os::CreateEvent(true);
  auto autoEvent = os::CreateEvent(false);
  stop->Set();
  autoEvent->Set();
  // The lower index wins and the auto-reset event keeps its signal.
  EXPECT_EQ(Wait({W(stop), W(autoEvent)}, 0), 0);
  stop->Reset();
  EXPECT_EQ(Wait({W(stop), W(autoEvent)}, 0), 1);
  // Returned once: consumed.
  EXPECT_EQ(Wait({W(stop), W(autoEvent)}, 0), os::kWaitTimeout);
}

TEST(Win32Events, LowestSignalledIndexWinsAndNullEntriesKeepTheCallersNumbering) {
  auto a = os::CreateEvent(true);
  auto b = os::CreateEvent(true);
  auto c = os::CreateEvent(true);
  c->Set();
  EXPECT_EQ(Wait({nullptr, W(a), nullptr, W(b), W(c)}, 0), 4);
  b->Set();
  EXPECT_EQ(Wait({nullptr, W(a), nullptr, W(b), W(c)}, 0), 3);
  a->Set();
  EXPECT_EQ(Wait({nullptr, W(a), nullptr, W(b), W(c)}, 0), 1);
}

TEST(Win32Events, TimeoutEndsTheWaitWhenNothingIsSignalled) {
  auto event = os::CreateEvent(false);
  EXPECT_EQ(Wait({W(event)}, 0), os::kWaitTimeout);
  EXPECT_EQ(Wait({W(event)}, 30), os::kWaitTimeout);
  EXPECT_EQ(Wait({nullptr, W(event), nullptr}, 30), os::kWaitTimeout);
}

TEST(Win32Events, WaitOnAWaitableOfAnotherKindFails) {
  struct Foreign : os::Waitable {} foreign;
  int error = 0;
  EXPECT_EQ(Wait({&foreign}, 0, &error), os::kWaitFailed);
  EXPECT_EQ(error, os::kErrInvalidParameter);
}

TEST(Win32Threads, BodyRunsAndItsEventWakesAWaitWithoutLimit) {
  auto ready = os::CreateEvent(false);
  auto release = os::CreateEvent(true);
  std::atomic<bool> finished{false};
  int error = -1;
  auto thread = os::StartThread(
      [&] {
        ready->Set();
        int ignored = 0;
        os::Waitable* handles[] = {release.get()};
        os::WaitAny(handles, kBoundMs, &ignored);
        finished = true;
      },
      &error);
  ASSERT_TRUE(thread) << "error " << error;
  EXPECT_EQ(Wait({W(ready)}, kBoundMs), 0);
  EXPECT_FALSE(finished);
  release->Set();
  thread->Join();
  EXPECT_TRUE(finished);
  thread->Join();  // a second join is harmless
}

TEST(Win32Threads, DestroyingTheThreadJoinsIt) {
  std::atomic<int> runs{0};
  int error = 0;
  {
    auto thread = os::StartThread([&] { ++runs; }, &error);
    ASSERT_TRUE(thread);
  }
  EXPECT_EQ(runs, 1);
}

TEST(Win32Platform, FixedValues) {
  EXPECT_EQ(os::kMaxPortNameLength, 11u);
  EXPECT_EQ(os::NativePath(".\\logs\\vmds.log"), ".\\logs\\vmds.log");
  std::tm now = os::LocalTimeNow();
  EXPECT_GE(now.tm_year + 1900, 2020);
  EXPECT_GE(now.tm_mday, 1);
  EXPECT_LE(now.tm_mday, 31);
}

}  // namespace
