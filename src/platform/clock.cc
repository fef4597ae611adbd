// SPDX-License-Identifier: Apache-2.0
#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace vexokrt::platform {

int64_t TickMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LocalTime LocalNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  LocalTime result;
  localtime_r(&seconds, &result.tm);
  result.millisecond =
      static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return result;
}

namespace {

class RealClock final : public Clock {
 public:
  int64_t NowMs() override { return TickMs(); }
  void SleepMs(int64_t ms) override { platform::SleepMs(ms); }
  LocalTime LocalTimeNow() override { return LocalNow(); }

 protected:
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    // TickMs counts the steady clock's milliseconds since its epoch.
    cv.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline_ms)));
  }
};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

}  // namespace vexokrt::platform
