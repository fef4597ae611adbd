// SPDX-License-Identifier: Apache-2.0
// PropertyStore: the values of the properties that the service object keeps
// itself. What the device layer knows (status, counts, power state), the
// deposit's values (DepositSession) and the switches the device layer reads
// (DeviceSwitches) live where they are kept and are read from there. Set by
// OpenService, Claim, the property setters and Release; read by
// GetPropertyNumber and GetPropertyString. Application's thread only.
#pragma once

#include <cstdint>
#include <string>

namespace vexokrt::service {

struct PropertyStore {
  int32_t binary_conversion = 0;
  int32_t async_mode = 0;
  // The capabilities of the claimed model.
  int32_t cap_deposit = 0;
  int32_t cap_deposit_data_event = 0;
  int32_t cap_pause_deposit = 0;
  int32_t cap_repay_deposit = 0;
  int32_t device_exits = 7;
  std::string check_health_text;
  std::string device_description;
  // DeviceName (the property; the name OpenService was given is kept apart).
  std::string device_name;
  std::string currency_code = "JPY";
  std::string exit_cash_list;
  std::string deposit_cash_list;
  std::string deposit_code_list;
};

}  // namespace vexokrt::service
