// SPDX-License-Identifier: Apache-2.0
// The power state the device layer reports (PowerState) and what a change
// of it asks for. The keeper holds the value under its own lock; the plan
// is a pure calculation; the device layer carries it out with the line and
// the host, with no lock held.
#pragma once

#include <cstdint>
#include <optional>

#include "link/model_code.h"
#include "platform/thread_annotations.h"

namespace vexokrt {

struct PowerChange {
  int32_t previous = 0;
  int32_t current = 0;
};

class PowerStateKeeper {
 public:
  int32_t Value() const VEX_EXCLUDES(mu_);
  // Stores |state| without anything following from it (disabling).
  void Store(int32_t state) VEX_EXCLUDES(mu_);
  // Stores |state|: the change, or nothing when it equals the kept value.
  std::optional<PowerChange> Change(int32_t state) VEX_EXCLUDES(mu_);

 private:
  mutable platform::Mutex mu_;
  int32_t state_ VEX_GUARDED_BY(mu_) = 2000;  // OPOS_PS_UNKNOWN
};

// The service object's side of a power-state change.
struct PowerContext {
  ModelCode model = ModelCode::kUnknown;
  bool deposit_open = false;  // DepositStatus 1 or 4
  bool deposit_fixed = false;
  bool jammed = false;
  bool direct_io_mode = false;  // DirectIoMode 1
  bool power_notify = false;    // PowerNotify 1
};

// What a change asks for, in this order. A change from the unknown state
// (2000) only notifies.
struct PowerActions {
  bool restart_deposit = false;        // back online during an unfixed deposit
  bool leave_direct_io = false;        // KRT03: DirectIoMode back to 0
  bool resend_operation_mode = false;  // KRT07/KRT77 back online
  bool notify = false;                 // status update with the new value
  bool operator==(const PowerActions&) const = default;
};

PowerActions PlanPowerChange(const PowerChange& change, const PowerContext& context);

}  // namespace vexokrt
