// The wait set and WaitAny, built natively and for Windows (run under Wine): both platforms
// report the same.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "os/os.h"

namespace {

TEST(WaitSet, PlacesReportLikeWaitForMultipleObjects) {
  auto stop = os::CreateEvent(true);
  auto a = os::CreateEvent(false);
  auto b = os::CreateEvent(true);
  auto set = os::CreateWaitSet();
  ASSERT_EQ(set->Add(stop.get()), 0u);
  ASSERT_EQ(set->Add(nullptr), 1u);
  ASSERT_EQ(set->Add(a.get()), 2u);
  ASSERT_EQ(set->Add(b.get()), 3u);
  int error = 0;
  EXPECT_EQ(set->Wait(20, &error), os::kWaitTimeout);
  b->Set();
  a->Set();
  // The lowest signalled place wins; an auto-reset event is consumed only when its own place is
  // returned.
  EXPECT_EQ(set->Wait(0, &error), 2);
  EXPECT_EQ(set->Wait(0, &error), 3);
  a->Set();
  set->Change(2, b.get());
  set->Change(3, a.get());
  EXPECT_EQ(set->Wait(0, &error), 2);
  stop->Set();
  EXPECT_EQ(set->Wait(0, &error), 0);
  // A removed waitable is not reported, however signalled it is; the other places keep their
  // numbers.
  set->Remove(0);
  set->Remove(2);
  EXPECT_EQ(set->Wait(0, &error), 3);
  EXPECT_EQ(set->Wait(0, &error), os::kWaitTimeout);
  set->Change(1, b.get());
  EXPECT_EQ(set->Wait(0, &error), 1);
}

TEST(WaitSet, NothingToWaitForFailsWithoutATimeOutAndSleepsItOutWithOne) {
  auto event = os::CreateEvent(true);
  event->Set();
  auto set = os::CreateWaitSet();
  set->Add(event.get());
  set->Remove(0);
  std::vector<os::Waitable*> nulls = {nullptr, nullptr};
  const char* kinds[] = {"set", "list of nulls", "empty list"};
  auto wait = [&](int kind, int timeoutMs, int* error) {
    switch (kind) {
      case 0:
        return set->Wait(timeoutMs, error);
      case 1:
        return os::WaitAny(nulls, timeoutMs, error);
      default:
        return os::WaitAny({}, timeoutMs, error);
    }
  };
  for (int kind = 0; kind < 3; ++kind) {
    int error = 0;
    EXPECT_EQ(wait(kind, os::kInfinite, &error), os::kWaitFailed) << kinds[kind];
    EXPECT_EQ(error, os::kErrInvalidParameter) << kinds[kind];
    EXPECT_EQ(wait(kind, 20, &error), os::kWaitTimeout) << kinds[kind];
  }
  // A waitable of no platform's making cannot be waited on.
  struct Foreign : os::Waitable {} foreign;
  set->Change(0, &foreign);
  int error = 0;
  EXPECT_EQ(set->Wait(0, &error), os::kWaitFailed);
  EXPECT_EQ(error, os::kErrInvalidParameter);
}

TEST(WaitSet, AWaitableMadeInPlaceOfAGoneOneIsWatchedAnew) {
  // The new event most likely gets the gone one's descriptor number and often its address.
  auto set = os::CreateWaitSet();
  auto keep = os::CreateEvent(true);
  set->Add(nullptr);
  set->Add(keep.get());
  int error = 0;
  for (int round = 0; round < 4; ++round) {
    auto gone = os::CreateEvent(true);
    gone->Set();
    set->Change(0, gone.get());
    EXPECT_EQ(set->Wait(0, &error), 0);
    set->Remove(0);
    gone.reset();
    auto fresh = os::CreateEvent(true);
    set->Change(0, fresh.get());
    EXPECT_EQ(set->Wait(0, &error), os::kWaitTimeout) << "round " << round;
    fresh->Set();
    EXPECT_EQ(set->Wait(0, &error), 0) << "round " << round;
    set->Remove(0);
  }
}

}  // namespace
