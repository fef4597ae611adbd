// The serial link talking to the simulated cash changer in-process, on
// virtual time: a SerialPort over the simulator's direct line, and a Clock
// that is the simulator's manual clock. Every wait of the link moves the
// simulated time forward instead of sleeping, so a whole log retrieval runs
// in milliseconds.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "link/serial_link.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "sim/direct_line.h"
#include "sim/line_settings.h"
#include "sim/sim_clock.h"

namespace vexokrt::devlog::testing {

class SimTimeClock final : public platform::Clock {
 public:
  explicit SimTimeClock(sim::ManualSimClock& clock) : clock_(clock) {}
  int64_t NowMs() override { return clock_.NowUs() / 1000; }
  void SleepMs(int64_t ms) override { clock_.AdvanceMs(ms); }

 private:
  sim::ManualSimClock& clock_;
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
