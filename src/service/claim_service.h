// SPDX-License-Identifier: Apache-2.0
// ClaimService: the device work of claiming, releasing, enabling and
// disabling the cash changer, and of changing its exit.
//
// A claim takes the system-wide claim semaphore, starts event delivery,
// opens the port, detects the model and brings the device to a known state:
// a deposit left open is read, recorded and ended, the device clock is set,
// the trading log read and (KRT07 family) the operation mode sent; the
// model's properties follow. A failed step undoes the claim in the order
// port, event delivery, semaphore. Enabling resets the device (a second
// enabling), stops the KRT03's intake, sends the exit setting and selection,
// ends a device phase left over, checks the model again and starts the
// watch; disabling stops it.
//
// One exists for each device layer, from OpenService to Close.
// Application's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "events/event_delivery.h"
#include "opos/opos.h"
#include "platform/named_lock.h"
#include "service/async_completions.h"
#include "service/service_parts.h"

namespace vexokrt::service {

class ClaimService : private UsesServiceParts {
 public:
  // |result_code_extended| is ResultCodeExtended (a refused clock reports
  // it with ClaimNonEvent 1); everything must outlive this.
  ClaimService(const ServiceParts& parts, platform::NamedSemaphore& semaphore, AsyncCompletions& async,
               const std::atomic<int32_t>& result_code_extended, const std::string& device_key_path);
  ClaimService(const ClaimService&) = delete;
  ClaimService& operator=(const ClaimService&) = delete;

  // The claim of an open, unclaimed object: the semaphore within |timeout|
  // ms (-1 without limit; 112 when it stays taken), event delivery posting
  // through |post|, the port, the model and the device steps.
  opos::OposResult Claim(int32_t timeout, events::EventDelivery::Post post);
  // The release once the deposit's intake is closed and the device
  // disabled: the port closed, delivery stopped, the semaphore given back
  // and the released property values reset.
  void Release();
  // Enabling (|reenable|: a second enabling) and disabling.
  opos::OposResult Enable(bool reenable);
  void Disable();
  // The CurrentExit setter's device work.
  opos::OposResult SetCurrentExit(int32_t value);

 private:
  opos::OposResult ClaimDeviceSteps(ModelCode model);
  // A deposit the machine holds open is read, recorded and ended (KRT07 and
  // KRT77; the KRT02 family and the KRT03).
  opos::OposResult EndOpenDeposit();
  opos::OposResult EndOpenDepositOlderFamily(ModelCode model);
  void UndoClaim();
  void ApplyModelProperties(ModelCode model);
  void ResetReleasedValues();
  // Enabling's device work (one job); |*refused| when the reset of a second
  // enabling was refused.
  opos::OposResult EnableOnLine(bool reenable, bool* refused);
  // The model the device names now (kUnknown when it does not answer).
  ModelCode ReadModelNow();

  platform::NamedSemaphore& semaphore_;
  AsyncCompletions& async_;
  const std::atomic<int32_t>& result_code_extended_;
  const std::string& device_key_path_;
};

}  // namespace vexokrt::service
