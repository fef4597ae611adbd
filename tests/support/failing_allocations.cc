// SPDX-License-Identifier: Apache-2.0
#include "support/failing_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> failing{false};
}  // namespace

namespace vexokrt::testing {
FailingAllocations::FailingAllocations() { failing.store(true); }
FailingAllocations::~FailingAllocations() { failing.store(false); }
}  // namespace vexokrt::testing

// The replacements: malloc and free, unless allocations are set to fail.
void* operator new(std::size_t size) {
  if (failing.load()) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
