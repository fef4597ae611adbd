// SPDX-License-Identifier: Apache-2.0
#include "service/module.h"

#include <atomic>

namespace vexokrt::service {
namespace {

std::atomic<long> lock_count{0};

}  // namespace

void LockModule() { lock_count.fetch_add(1); }
void UnlockModule() { lock_count.fetch_sub(1); }
long ModuleLockCount() { return lock_count.load(); }

}  // namespace vexokrt::service
