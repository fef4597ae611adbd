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
  // The real microseconds that |us| of this clock last, for the waits the
  // clock cannot end itself (the serving thread's poll).
  virtual int64_t RealUs(int64_t us) const { return us; }
};

// The machine's monotonic clock.
class SteadySimClock final : public SimClock {
 public:
  int64_t NowUs() const override;
};

// The machine's clock running |factor| times faster than real time, so that
// its long actions and delayed answers pass sooner (tests of a host that
// runs on a clock as fast).
class ScaledSimClock final : public SimClock {
 public:
  explicit ScaledSimClock(int64_t factor);
  int64_t NowUs() const override;
  int64_t RealUs(int64_t us) const override { return us <= 0 ? 0 : (us + factor_ - 1) / factor_; }

 private:
  const int64_t factor_;
  const int64_t origin_us_;
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
