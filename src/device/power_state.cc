// SPDX-License-Identifier: Apache-2.0
#include "device/power_state.h"

#include "opos/opos.h"

namespace vexokrt {

int32_t PowerStateKeeper::Value() const {
  platform::MutexLock lock(mu_);
  return state_;
}

void PowerStateKeeper::Store(int32_t state) {
  platform::MutexLock lock(mu_);
  state_ = state;
}

std::optional<PowerChange> PowerStateKeeper::Change(int32_t state) {
  platform::MutexLock lock(mu_);
  if (state_ == state) return std::nullopt;
  const PowerChange change{state_, state};
  state_ = state;
  return change;
}

PowerActions PlanPowerChange(const PowerChange& change, const PowerContext& context) {
  PowerActions actions;
  if (change.previous != opos::OPOS_PS_UNKNOWN) {
    const bool online = change.current == opos::OPOS_PS_ONLINE;
    actions.restart_deposit = online && context.model != ModelCode::kUnknown && context.deposit_open &&
                              !context.deposit_fixed && !context.jammed;
    actions.leave_direct_io = context.model == ModelCode::kKrt03 && context.direct_io_mode;
    // The operation mode is sent again when the device is back; a device
    // that just went offline cannot take it, and trying would hold the
    // thread in its enquiry loop for 20 s.
    actions.resend_operation_mode = IsKrt07Family(context.model) && online;
  }
  actions.notify = context.power_notify;
  return actions;
}

}  // namespace vexokrt
