// SPDX-License-Identifier: Apache-2.0
#include "device/cash_records.h"

namespace vexokrt {

bool ParseDeviceOrderCounts(std::span<const uint8_t> fields, CashCounts& counts) {
  if (fields.size() < 30) return false;
  CashCounts parsed{};
  for (size_t field = 0; field < 10; ++field) {
    int32_t value = 0;
    for (size_t i = 0; i < 3; ++i) {
      const uint8_t c = fields[field * 3 + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    parsed[kDeviceOrderSlots[field]] = value;
  }
  counts = parsed;
  return true;
}

}  // namespace vexokrt
