// SPDX-License-Identifier: Apache-2.0
// The steps every operation of the service object wraps its device work
// in.
#pragma once

#include <functional>

#include "device/changer_device.h"
#include "opos/opos.h"

namespace vexokrt::service {

// |work| as one job of the device layer: its result, or |not_run| when the
// job could not run.
inline opos::OposResult RunDeviceJob(ChangerDevice& device, const std::function<opos::OposResult()>& work,
                                     opos::OposResult not_run = opos::OPOS_E_NOHARDWARE) {
  opos::OposResult result = not_run;
  if (!device.RunJob([&] { result = work(); })) return not_run;
  return result;
}

// The end of a device phase: DepositPhase 0, and counts and status stale,
// so the watch reads them again.
inline void EndDevicePhase(ChangerDevice& device) {
  device.SetDepositPhase(0);
  device.SetCountsStale(true);
  device.SetStatusStale(true);
}

}  // namespace vexokrt::service
