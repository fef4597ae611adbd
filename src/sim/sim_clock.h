// SPDX-License-Identifier: Apache-2.0
// Time sources for the simulated cash changer. Everything time-driven in the
// device (long actions, counting phases, delayed answers, wire pacing) reads
// one of these, so tests can use a clock that only moves when told to.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexokrt::sim {

class SimClock {
 public:
  virtual ~SimClock() = default;
  // Microseconds of a monotonic time line; only differences are meaningful.
  // Must be callable from any thread.
  virtual int64_t NowUs() const = 0;
};

// The machine's monotonic clock.
class SteadySimClock final : public SimClock {
 public:
  int64_t NowUs() const override;
};

// A clock that stands still until a test (or the in-process transport in
// virtual-time mode) moves it forward. Starts at 0. Thread-safe.
class ManualSimClock final : public SimClock {
 public:
  int64_t NowUs() const override { return now_us_.load(); }
  void AdvanceUs(int64_t us) { now_us_.fetch_add(us < 0 ? 0 : us); }
  void AdvanceMs(int64_t ms) { AdvanceUs(ms * 1000); }
  // Moves to |us| when that is later than now; never moves backwards.
  void AdvanceToUs(int64_t us);

 private:
  std::atomic<int64_t> now_us_{0};
};

}  // namespace vexokrt::sim
