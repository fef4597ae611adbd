// SPDX-License-Identifier: Apache-2.0
// Time sources: the millisecond tick count, sleeping, timed waits on a
// condition variable and the local wall clock.
//
// Code that reads the time or waits against a deadline takes a Clock, so
// tests can substitute one that only moves when the test moves it. Timed
// condition-variable waits go through Clock::WaitFor / WaitUntil as well:
// the system clock maps them to the standard timed wait, a test clock wakes
// its waiters when it is moved.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "platform/thread_annotations.h"

namespace vexokrt::platform {

// Milliseconds of a monotonic clock; only differences are meaningful.
int64_t TickMs();

// Sleeps at least |ms| milliseconds (nothing for ms <= 0).
void SleepMs(int64_t ms);

// The local date and time with its millisecond part.
struct LocalTime {
  std::tm tm{};
  int millisecond = 0;
};
LocalTime LocalNow();

// A replaceable time source.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds; only differences are meaningful.
  virtual int64_t NowMs() = 0;
  virtual void SleepMs(int64_t ms) = 0;
  // The local date and time.
  virtual LocalTime LocalTimeNow() = 0;
  // The real milliseconds that |ms| of this clock last, for the waits the
  // clock cannot end itself (a poll on a descriptor). The real clock, and a
  // clock that moves only when told: |ms|.
  virtual int64_t RealMs(int64_t ms) { return ms; }

  // Waits on |cv| with |lock| held (as std::condition_variable::wait_until
  // does) until |done| holds or the clock reaches |deadline_ms| (NowMs
  // scale). Returns done() as seen last, with |lock| held.
  template <typename Done>
  bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms,
                 Done done) VEX_NO_THREAD_SAFETY_ANALYSIS {
    while (!done()) {
      if (NowMs() >= deadline_ms) return done();
      WaitStep(cv, lock, deadline_ms);
    }
    return true;
  }

  // As WaitUntil, for at most |timeout_ms| from now; a negative time-out
  // waits without limit.
  template <typename Done>
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t timeout_ms,
               Done done) VEX_NO_THREAD_SAFETY_ANALYSIS {
    if (timeout_ms < 0) {
      cv.wait(lock, done);
      return true;
    }
    return WaitUntil(cv, lock, NowMs() + timeout_ms, done);
  }

  // One step of a timed wait, for WaitUntil (and for clocks that forward to
  // another): blocks on |cv| (|lock| held on entry and on return) until it
  // is notified, the clock reaches |deadline_ms|, or spuriously. A clock must
  // not miss a notification or a move of its own time that happens after the
  // caller last looked at its condition.
  virtual void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) = 0;
};

// The real clock (TickMs / SleepMs / LocalNow). Shared, thread-safe.
Clock& SystemClock();

}  // namespace vexokrt::platform
