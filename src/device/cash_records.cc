#include "device/cash_records.h"

#include <cstdio>

namespace vexokrt {

std::string FormatPlainCounts(const CashCounts& c) {
  char text[160];
  std::snprintf(text, sizeof(text), "1:%ld,5:%ld,10:%ld,50:%ld,100:%ld,500:%ld;1000:%ld,2000:%ld,5000:%ld,10000:%ld",
                static_cast<long>(c[9]), static_cast<long>(c[8]), static_cast<long>(c[7]), static_cast<long>(c[6]),
                static_cast<long>(c[5]), static_cast<long>(c[4]), static_cast<long>(c[3]), static_cast<long>(c[2]),
                static_cast<long>(c[1]), static_cast<long>(c[0]));
  return text;
}

int64_t CountsAmount(const CashCounts& counts) {
  int64_t amount = 0;
  for (size_t i = 0; i < counts.size(); ++i) amount += int64_t{counts[i]} * kFaceValues[i];
  return amount;
}

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
