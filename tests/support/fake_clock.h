// SPDX-License-Identifier: Apache-2.0
// Test clocks.
//
// FakeClock moves only when the test moves it (Advance, AdvanceTo). A thread
// that sleeps on it, or waits on a condition variable through it with a
// deadline, stays blocked until the clock is moved past its wake-up time (or
// the condition variable is notified); moving the clock wakes every such
// waiter at once. AwaitWaiters lets a test move the clock only once the
// thread under test has started to wait, so nothing is ordered by sleeping.
//
// SteppingClock is the clock for code that runs on the test's own thread (or
// for a test that means "time passes while the code sleeps"): its SleepMs
// moves the clock by the time slept at once and returns. Timed
// condition-variable waits behave as on the FakeClock.
//
// Both give a fixed local date (see LocalTimeNow), so no test depends on the
// wall-clock date.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace vexokrt::testing {

// The local date and time of the test clocks at their start:
// 2026-06-15 12:00:00.
inline std::tm TestStartDate() {
  std::tm date{};
  date.tm_year = 2026 - 1900;
  date.tm_mon = 5;
  date.tm_mday = 15;
  date.tm_hour = 12;
  return date;
}

// |date| moved on by |elapsed_ms|. The fields are taken as they are (no time
// zone): the date is whatever the test says.
inline platform::LocalTime DateAfter(std::tm date, int64_t elapsed_ms) {
  const int64_t ms = static_cast<int64_t>(timegm(&date)) * 1000 + elapsed_ms;
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  platform::LocalTime result;
  gmtime_r(&seconds, &result.tm);
  result.millisecond = static_cast<int>(ms % 1000);
  return result;
}

class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(int64_t start_ms = 1000000) : now_(start_ms), date_ms_(start_ms), date_(TestStartDate()) {}
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  int64_t NowMs() override {
    std::lock_guard lock(mutex_);
    return now_;
  }

  // Blocks until the clock has been moved |ms| further.
  void SleepMs(int64_t ms) override {
    if (ms <= 0) return;
    std::unique_lock lock(mutex_);
    const int64_t until = now_ + ms;
    ++waiting_;
    ++begun_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return now_ >= until; });
    --waiting_;
  }

  // The date set by SetLocalDate (TestStartDate unless changed), moved on
  // by the time the clock has advanced since.
  platform::LocalTime LocalTimeNow() override {
    std::lock_guard lock(mutex_);
    return DateAfter(date_, now_ - date_ms_);
  }

  // The local date and time from now on (normalised, so tm_mday = 0 is the
  // last day of the month before).
  void SetLocalDate(const std::tm& date) {
    std::lock_guard lock(mutex_);
    date_ = date;
    date_ms_ = now_;
  }

  void Advance(int64_t ms) {
    std::unique_lock lock(mutex_);
    MoveTo(lock, now_ + std::max<int64_t>(ms, 0));
  }
  void AdvanceTo(int64_t ms) {
    std::unique_lock lock(mutex_);
    MoveTo(lock, ms);
  }

  // The number of threads now sleeping on the clock or in a timed wait
  // through it.
  size_t Waiters() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }
  // Blocks until at least |count| threads sleep or wait on the clock. The
  // real-time limit only keeps a broken test from hanging; false when it ran
  // out.
  bool AwaitWaiters(size_t count = 1, int64_t limit_ms = 10000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return waiting_ >= count; });
  }
  // Lets threads that rest on the clock go on: moves the clock by |step_ms|
  // whenever one sleeps or waits on it, until |done| holds. False when it
  // does not within |rests| moves, or when no thread comes to rest.
  bool RunUntil(const std::function<bool()>& done, int64_t step_ms, int rests = 1000) {
    uint64_t seen = WaitsBegun();
    // A thread already resting is moved on first; after that, each move waits
    // for a wait begun since the last one.
    bool resting = Waiters() > 0;
    for (int i = 0; i < rests; ++i) {
      if (done()) return true;
      if (!resting && !AwaitRestOrDone(seen, done)) return done();
      resting = false;
      seen = WaitsBegun();
      Advance(step_ms);
    }
    return done();
  }
  // True once a sleep or timed wait has begun since |seen|; false when
  // |done| came to hold first or nothing rested within the real-time limit.
  // |done| is looked at between short slices, because a thread that moves
  // the clock by its own sleeps may get there without ever resting.
  bool AwaitRestOrDone(uint64_t seen, const std::function<bool()>& done, int64_t limit_ms = 10000) {
    constexpr int64_t kSliceMs = 5;
    for (int64_t waited = 0; waited < limit_ms; waited += kSliceMs) {
      if (AwaitWaitBegun(seen, kSliceMs)) return true;
      if (done()) return false;
    }
    return false;
  }

  // The number of sleeps and timed-wait steps begun on the clock so far.
  uint64_t WaitsBegun() {
    std::lock_guard lock(mutex_);
    return begun_;
  }
  // Blocks until more than |seen| sleeps or timed-wait steps have begun (as
  // AwaitWaiters, with a real-time limit against hanging).
  bool AwaitWaitBegun(uint64_t seen, int64_t limit_ms = 10000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return begun_ > seen; });
  }

  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    Waiter me{&cv, lock.mutex()};
    bool due = false;
    {
      std::lock_guard guard(mutex_);
      waiters_.push_back(&me);
      ++waiting_;
      ++begun_;
      changed_.notify_all();
      due = now_ >= deadline_ms;
    }
    // |lock| is held from the look at the time until the wait gives it back,
    // and a move of the clock notifies under the same mutex: neither the
    // move nor a notification in between can be missed.
    if (!due) cv.wait(lock);
    lock.unlock();
    {
      // A move of the clock may still be about to notify through |me|:
      // leave only once it is done with it.
      std::unique_lock guard(mutex_);
      waiters_.remove(&me);
      --waiting_;
      changed_.wait(guard, [&] { return me.users == 0; });
    }
    lock.lock();
  }

 private:
  struct Waiter {
    std::condition_variable* cv;
    std::mutex* mutex;
    int users = 0;
  };

  // Sets the time to |ms| (never backwards) and wakes every waiter. The
  // waiters' own mutexes are taken without holding ours, since a waiter
  // takes ours while holding its own.
  void MoveTo(std::unique_lock<std::mutex>& lock, int64_t ms) {
    now_ = std::max(now_, ms);
    changed_.notify_all();
    std::vector<Waiter*> wake(waiters_.begin(), waiters_.end());
    for (Waiter* w : wake) ++w->users;
    lock.unlock();
    for (Waiter* w : wake) {
      std::lock_guard guard(*w->mutex);
      w->cv->notify_all();
    }
    lock.lock();
    for (Waiter* w : wake) --w->users;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;  // the time, the waiters or their users changed
  int64_t now_;
  int64_t date_ms_;  // the time at which the date was set
  std::tm date_;     // the date then
  size_t waiting_ = 0;
  uint64_t begun_ = 0;
  std::list<Waiter*> waiters_;
};

// A FakeClock whose SleepMs moves the clock by the time slept and returns at
// once: for code under test that runs on the test's own thread, or for a test
// that means "time passes while the code sleeps".
class SteppingClock : public FakeClock {
 public:
  using FakeClock::FakeClock;
  void SleepMs(int64_t ms) override { Advance(ms); }
};

// The system's time for sleeps and waits, with a local date of the test's
// choosing (TestStartDate, moving on in real time): for tests that run the
// real device layer in real time but must not depend on the wall-clock date.
class DatedSystemClock : public platform::Clock {
 public:
  explicit DatedSystemClock(const std::tm& date = TestStartDate())
      : date_(date), start_ms_(platform::SystemClock().NowMs()) {}
  int64_t NowMs() override { return platform::SystemClock().NowMs(); }
  void SleepMs(int64_t ms) override { platform::SystemClock().SleepMs(ms); }
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    platform::SystemClock().WaitStep(cv, lock, deadline_ms);
  }
  platform::LocalTime LocalTimeNow() override { return DateAfter(date_, NowMs() - start_ms_); }

 private:
  const std::tm date_;
  const int64_t start_ms_;
};

}  // namespace vexokrt::testing
