// Time sources: the millisecond tick count, sleeping and the local wall clock.
// Code that waits against deadlines takes a Clock so tests can substitute a
// clock that only moves when the test says so.
#pragma once

#include <cstdint>
#include <ctime>

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

// A replaceable time source for deadline logic.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowMs() = 0;
  virtual void SleepMs(int64_t ms) = 0;
  // The local date and time; the system's unless a test says otherwise.
  virtual LocalTime LocalTimeNow() { return platform::LocalNow(); }
};

// The real clock (TickMs / SleepMs). Shared, thread-safe.
Clock& SystemClock();

}  // namespace vexokrt::platform
