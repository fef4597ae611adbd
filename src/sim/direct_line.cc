// SPDX-License-Identifier: Apache-2.0
#include "sim/direct_line.h"

#include <algorithm>
#include <chrono>

namespace vexokrt::sim {

DirectLine::DirectLine(ChangerEngine& engine) : engine_(engine) {
  engine_.SetOutputListener([this] {
    {
      platform::MutexLock lock(mutex_);
      ++generation_;
    }
    wake_.notify_all();
  });
}

DirectLine::DirectLine(ChangerEngine& engine, ManualSimClock& clock) : DirectLine(engine) {
  virtual_clock_ = &clock;
}

DirectLine::~DirectLine() { engine_.SetOutputListener({}); }

void DirectLine::Write(std::span<const std::uint8_t> bytes, const LineSettings& host) {
  engine_.Receive(bytes, host, LineCheck::kAll);
}

DirectLine::ReadResult DirectLine::Read(std::size_t max_bytes, int timeout_ms) {
  ReadResult result;
  if (max_bytes == 0) return result;

  if (virtual_clock_ != nullptr) {
    // Virtual time: jump to the next moment the device does something instead of waiting for it.
    const int64_t deadline = virtual_clock_->NowUs() + static_cast<int64_t>(std::max(0, timeout_ms)) * 1000;
    while (true) {
      result.bytes = engine_.TakeOutput(max_bytes);
      if (!result.bytes.empty()) {
        result.status = ReadResult::Status::kData;
        return result;
      }
      const int64_t now = virtual_clock_->NowUs();
      if (now >= deadline) return result;
      std::optional<int64_t> next = engine_.NextEventUs();
      // Whatever is due now has just been handled or taken, so the next event lies ahead.
      int64_t target = next && *next > now ? std::min(*next, deadline) : deadline;
      virtual_clock_->AdvanceToUs(target);
    }
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeout_ms));
  while (true) {
    std::uint64_t seen = 0;
    {
      platform::MutexLock lock(mutex_);
      seen = generation_;
    }
    result.bytes = engine_.TakeOutput(max_bytes);
    if (!result.bytes.empty()) {
      result.status = ReadResult::Status::kData;
      return result;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return result;
    auto wake_at = deadline;
    if (std::optional<int64_t> next = engine_.NextEventUs()) {
      int64_t ahead_us = std::max<int64_t>(0, *next - engine_.clock().NowUs());
      wake_at = std::min(deadline, now + std::chrono::microseconds(ahead_us));
    }
    platform::MutexLock lock(mutex_);
    read_waiting_ = true;
    wake_.wait_until(lock.native(), wake_at, [&]() VEX_REQUIRES(mutex_) { return generation_ != seen; });
    read_waiting_ = false;
  }
}

bool DirectLine::ReadWaiting() {
  platform::MutexLock lock(mutex_);
  return read_waiting_;
}

void DirectLine::Purge() { engine_.TakeOutput(); }

}  // namespace vexokrt::sim
