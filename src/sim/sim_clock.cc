// SPDX-License-Identifier: Apache-2.0
#include "sim/sim_clock.h"

#include <chrono>

namespace vexokrt::sim {

ScaledSimClock::ScaledSimClock(int64_t factor)
    : factor_(factor < 1 ? 1 : factor), origin_us_(SteadySimClock().NowUs()) {}

int64_t ScaledSimClock::NowUs() const { return origin_us_ + (SteadySimClock().NowUs() - origin_us_) * factor_; }

int64_t SteadySimClock::NowUs() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ManualSimClock::AdvanceToUs(int64_t us) {
  int64_t now = now_us_.load();
  while (us > now && !now_us_.compare_exchange_weak(now, us)) {
  }
}

}  // namespace vexokrt::sim
