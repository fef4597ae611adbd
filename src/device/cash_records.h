// The count records as the device layer uses them: the cash-count types of
// src/cash (ten counts per denomination in record order, and the
// nineteen-slot record that deposit counts are kept in), and the device's own
// order of denominations in its count blocks.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "cash/cash_counts.h"

namespace vexokrt {

using cash::CashCounts;
using cash::DispenseRecord;

// The device lists denominations in its own order: 500, 100, 50, 10, 5, 1,
// 10000, 5000, 2000, 1000 yen. kDeviceOrderSlots[i] is the record slot of the
// i-th field of a device count block.
inline constexpr std::array<int, 10> kDeviceOrderSlots = {4, 5, 6, 7, 8, 9, 0, 1, 2, 3};

// Reads ten three-digit decimal fields in device order from |fields| (at
// least 30 bytes). False, leaving |counts| untouched, when a field is not
// three decimal digits.
bool ParseDeviceOrderCounts(std::span<const uint8_t> fields, CashCounts& counts);

}  // namespace vexokrt
