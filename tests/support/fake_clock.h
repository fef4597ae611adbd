// A clock that only moves when told to: sleeping advances it at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace vexokrt::testing {

class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(int64_t start_ms = 1000000) : now_(start_ms) {}
  int64_t NowMs() override { return now_.load(); }
  void SleepMs(int64_t ms) override {
    if (ms > 0) now_.fetch_add(ms);
  }
  void Advance(int64_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<int64_t> now_;
};

}  // namespace vexokrt::testing
