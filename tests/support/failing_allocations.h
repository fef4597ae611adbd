// SPDX-License-Identifier: Apache-2.0
// Makes every allocation through the global operator new fail with
// std::bad_alloc while an object of this class lives. The test program that
// links failing_allocations.cc gets a replacement operator new (for itself
// and for the libraries it loads). Only for code that runs on the test's own
// thread with no other thread allocating meanwhile.
#pragma once

namespace vexokrt::testing {

class FailingAllocations {
 public:
  FailingAllocations();
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace vexokrt::testing
