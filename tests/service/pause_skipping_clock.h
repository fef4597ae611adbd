// SPDX-License-Identifier: Apache-2.0
// The clock of the program-download tests against the simulator.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/clock.h"

namespace vexokrt::testing {

// A clock that passes the download's long pauses at once and keeps real
// time otherwise, so the device layer's waits still order the exchanges.
class PauseSkippingClock : public platform::Clock {
 public:
  int64_t NowMs() override { return platform::SystemClock().NowMs() + skipped_.load(); }
  void SleepMs(int64_t ms) override {
    if (ms >= 1000) {
      skipped_.fetch_add(ms);
    } else {
      platform::SystemClock().SleepMs(ms);
    }
  }
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    platform::SystemClock().WaitStep(cv, lock, deadline_ms - skipped_.load());
  }
  platform::LocalTime LocalTimeNow() override { return platform::SystemClock().LocalTimeNow(); }

 private:
  std::atomic<int64_t> skipped_{0};
};

}  // namespace vexokrt::testing
