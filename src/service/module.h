// SPDX-License-Identifier: Apache-2.0
// The in-process server module: its one class, and the count of live objects
// and locks that decides whether the library may be unloaded.
#pragma once

#include "platform/com.h"

namespace vexokrt::service {

// The class identifier of CCashChanger. Fixed for good: installed systems
// find the class through it.
inline constexpr platform::Guid kCashChangerClsid{
    0x5F3A2C71, 0x8B4E, 0x4D9A, {0x9C, 0x17, 0x3E, 0x6B, 0x0A, 0x4D, 0x2F, 0x58}};
inline constexpr char kCashChangerProgId[] = "OPOS.CashChanger.Vexo-KRT77";
inline constexpr char kCashChangerClassDescription[] = "Vexo Cash Changer KRT 77/07/02 Service Object";

// Module-wide count of live objects, class-factory references and server
// locks. Any thread.
void LockModule();
void UnlockModule();
long ModuleLockCount();

// Holds one module lock for its lifetime.
class ModuleLock {
 public:
  ModuleLock() { LockModule(); }
  ~ModuleLock() { UnlockModule(); }
  ModuleLock(const ModuleLock&) = delete;
  ModuleLock& operator=(const ModuleLock&) = delete;
};

}  // namespace vexokrt::service
