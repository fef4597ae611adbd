// SPDX-License-Identifier: Apache-2.0
// The serial link talking to the simulated cash changer in-process, on
// virtual time: a SerialPort over the simulator's direct line, and a Clock
// that is the simulator's manual clock. Every wait of the link moves the
// simulated time forward instead of sleeping, so a whole log retrieval runs
// in milliseconds.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "link/serial_link.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "sim/direct_line.h"
#include "sim/line_settings.h"
#include "sim/sim_clock.h"
#include "support/fake_clock.h"

namespace vexokrt::devlog::testing {

// The simulator's virtual clock: sleeping moves it on at once. A timed wait
// (the device layer's thread resting between requests) waits for its
// notification as long in real time as it would in virtual time, and when
// none comes moves the virtual clock to its end, so a waiter that nobody
// wakes still sees its time run out. Its date is the test clocks'.
class SimTimeClock final : public platform::Clock {
 public:
  explicit SimTimeClock(sim::ManualSimClock& clock) : clock_(clock), start_ms_(NowMs()) {}
  int64_t NowMs() override { return clock_.NowUs() / 1000; }
  void SleepMs(int64_t ms) override { clock_.AdvanceMs(ms); }
  platform::LocalTime LocalTimeNow() override {
    return vexokrt::testing::DateAfter(vexokrt::testing::TestStartDate(), NowMs() - start_ms_);
  }
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    const int64_t left = deadline_ms - NowMs();
    if (left <= 0) return;
    if (cv.wait_for(lock, std::chrono::milliseconds(left)) == std::cv_status::timeout && deadline_ms > NowMs()) {
      clock_.AdvanceMs(deadline_ms - NowMs());
    }
  }

 private:
  sim::ManualSimClock& clock_;
  const int64_t start_ms_;
};

class SimSerialPort final : public platform::SerialPort {
 public:
  explicit SimSerialPort(sim::DirectLine& line) : line_(line) {}

  bool Configure(std::string_view definition) override {
    const auto settings = sim::ParseLineSettings(definition);
    if (!settings) return false;
    settings_ = *settings;
    return true;
  }
  void Purge(platform::PurgeScope) override { line_.Purge(); }
  bool TakeReceiveError() override { return false; }
  platform::IoResult ReadSome(uint8_t* buffer, size_t capacity, int64_t wait_ms) override {
    const auto read = line_.Read(capacity, static_cast<int>(std::min<int64_t>(wait_ms, 1 << 30)));
    std::copy(read.bytes.begin(), read.bytes.end(), buffer);
    return {read.bytes.size(), read.bytes.empty() ? platform::IoStatus::kTimeout : platform::IoStatus::kOk};
  }
  platform::IoResult WriteSome(const uint8_t* bytes, size_t count, int64_t) override {
    line_.Write(std::span<const uint8_t>(bytes, count), settings_);
    return {count, platform::IoStatus::kOk};
  }

 private:
  sim::DirectLine& line_;
  sim::LineSettings settings_;
};

}  // namespace vexokrt::devlog::testing
