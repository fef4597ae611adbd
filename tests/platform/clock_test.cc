// SPDX-License-Identifier: Apache-2.0
#include "platform/clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "events/event_record.h"
#include "platform/named_lock.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vexokrt::testing {
namespace {

// A flag and its condition variable, waited for through a clock.
struct Flag {
  std::mutex mutex;
  std::condition_variable cv;
  bool set = false;

  void Set() {
    {
      std::lock_guard lock(mutex);
      set = true;
    }
    cv.notify_all();
  }
  // Waits up to |timeout_ms| of |clock|; the flag as the wait ended.
  bool WaitFor(platform::Clock& clock, int64_t timeout_ms) {
    std::unique_lock lock(mutex);
    return clock.WaitFor(cv, lock, timeout_ms, [&] { return set; });
  }
};

TEST(FakeClock, WaitsEndOnlyWhenTheClockIsMovedPastThemOrTheirConditionHolds) {
  struct Case {
    const char* what;
    int64_t timeout_ms;
    int64_t first_move_ms;   // the waiter must still wait after this move
    int64_t second_move_ms;  // -1: the flag is set instead
    bool result;
  };
  const Case cases[] = {
      {"moved to the deadline", 500, 499, 1, false},
      {"moved far beyond", 500, 0, 100000, false},
      {"woken by its condition", 500, 499, -1, true},
      {"no limit, woken by its condition", -1, 100000, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeClock clock;
    Flag flag;
    const int64_t start = clock.NowMs();
    std::future<bool> waited = std::async(std::launch::async, [&] { return flag.WaitFor(clock, c.timeout_ms); });
    if (c.timeout_ms >= 0) {
      ASSERT_TRUE(clock.AwaitWaiters(1));
    }
    clock.Advance(c.first_move_ms);
    if (c.timeout_ms >= 0) {
      ASSERT_TRUE(clock.AwaitWaiters(1)) << "still waiting after the first move";
    }
    EXPECT_NE(waited.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    if (c.second_move_ms >= 0) {
      clock.Advance(c.second_move_ms);
    } else {
      flag.Set();
    }
    EXPECT_EQ(waited.get(), c.result);
    EXPECT_EQ(clock.NowMs() - start, c.first_move_ms + std::max<int64_t>(c.second_move_ms, 0))
        << "nothing but the test moved the clock";
  }
}

TEST(FakeClock, SleepEndsWhenTheClockIsMovedAndNotBefore) {
  FakeClock clock;
  std::future<void> slept = std::async(std::launch::async, [&] { clock.SleepMs(1000); });
  ASSERT_TRUE(clock.AwaitWaiters(1));
  clock.Advance(999);
  ASSERT_TRUE(clock.AwaitWaiters(1));
  EXPECT_NE(slept.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  clock.Advance(1);
  slept.get();
  EXPECT_EQ(clock.Waiters(), 0u);
}

TEST(TestClocks, SteppingClockMovesBySleepingAndDatesFollowTheClock) {
  SteppingClock clock;
  const int64_t start = clock.NowMs();
  const platform::LocalTime before = clock.LocalTimeNow();
  EXPECT_EQ(before.tm.tm_year, 2026 - 1900);
  EXPECT_EQ(before.tm.tm_mon, 5);
  EXPECT_EQ(before.tm.tm_mday, 15);
  EXPECT_EQ(before.tm.tm_hour, 12);
  clock.SleepMs(12 * 3600 * 1000 + 1500);
  EXPECT_EQ(clock.NowMs() - start, 12 * 3600 * 1000 + 1500);
  const platform::LocalTime after = clock.LocalTimeNow();
  EXPECT_EQ(after.tm.tm_mday, 16) << "midnight passes when the test says so";
  EXPECT_EQ(after.tm.tm_hour, 0);
  EXPECT_EQ(after.tm.tm_sec, 1);
  EXPECT_EQ(after.millisecond, 500);
  std::tm new_year{};
  new_year.tm_year = 2027 - 1900;
  new_year.tm_mday = 0;  // normalised: 2026-12-31
  new_year.tm_hour = 23;
  clock.SetLocalDate(new_year);
  clock.SleepMs(3600 * 1000);
  EXPECT_EQ(clock.LocalTimeNow().tm.tm_year, 2027 - 1900);
  EXPECT_EQ(clock.LocalTimeNow().tm.tm_yday, 0);
}

// The time-outs of the named locks and of an event's answer slot run on the
// clock they are given: a wait that would take seconds ends when the test
// moves the clock, and not before.
TEST(ClockedWaits, LockAndAnswerTimeOutsEndWhenTheClockIsMoved) {
  TempDir dir;
  ::setenv("OPOS_LOCK_DIR", dir.path().c_str(), 1);
  FakeClock clock;
  platform::NamedSemaphore holder("Test.Clock.Semaphore", clock);
  platform::NamedSemaphore other("Test.Clock.Semaphore", clock);
  platform::NamedMutex mutex_holder("Test.Clock.Mutex", clock);
  platform::NamedMutex mutex_other("Test.Clock.Mutex", clock);
  ASSERT_TRUE(holder.Acquire(0));
  ASSERT_TRUE(mutex_holder.Lock(0));
  auto slot = std::make_shared<events::AnswerSlot>();
  struct Case {
    const char* what;
    std::function<bool()> wait;  // true: it got what it waited for
  };
  const Case cases[] = {
      {"semaphore", [&] { return other.Acquire(5000); }},
      {"mutex", [&] { return mutex_other.Lock(5000); }},
      {"answer slot", [&] { return slot->Wait(5000, clock) != 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t seen = clock.WaitsBegun();
    std::future<bool> waited = std::async(std::launch::async, c.wait);
    ASSERT_TRUE(clock.AwaitWaitBegun(seen));
    EXPECT_NE(waited.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    // Move in steps, each once the waiter rests again: the file locks are
    // tried again after short pauses of the clock.
    for (int step = 0; step < 10000 && waited.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
         ++step) {
      if (clock.AwaitWaiters(1, 50)) clock.Advance(10);
    }
    EXPECT_FALSE(waited.get());
    EXPECT_EQ(other.failure(), "") << "a plain time-out";
  }
  holder.Release();
  EXPECT_TRUE(other.Acquire(0));
  mutex_holder.Unlock();
  EXPECT_TRUE(mutex_other.Lock(0));
  mutex_other.Unlock();
  ::unsetenv("OPOS_LOCK_DIR");
}

// The system clock's timed wait lasts in real time and ends early when its
// condition holds (real time on purpose: this is the system clock's own
// behaviour).
TEST(SystemClock, TimedWaitLastsItsTimeOrEndsWithItsCondition) {
  platform::Clock& clock = platform::SystemClock();
  Flag idle;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(idle.WaitFor(clock, 30));
  // The clock counts whole milliseconds: the wait may end within the last one.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));

  Flag woken;
  std::thread setter([&] { woken.Set(); });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(woken.WaitFor(clock, 60000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
  setter.join();
}

}  // namespace
}  // namespace vexokrt::testing
