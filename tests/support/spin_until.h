// SPDX-License-Identifier: Apache-2.0
// Waiting for a state that another thread reaches without announcing it (a
// flag it sets, a count it raises): the test looks again and again, giving
// the processor away in between, and never sleeps. The real-time limit only
// keeps a broken test from hanging.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace vexokrt::testing {

// True once |done| holds; false when it still does not after |limit_ms|.
inline bool SpinUntil(const std::function<bool()>& done, int64_t limit_ms = 10000) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= limit) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace vexokrt::testing
