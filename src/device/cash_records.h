// SPDX-License-Identifier: Apache-2.0
// The count records as the device layer uses them: the cash-count types of
// src/cash (ten counts per denomination in record order, and the
// nineteen-slot record that deposit counts are kept in), and the device's own
// order of denominations in its count blocks.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <type_traits>

#include "cash/cash_counts.h"
#include "link/command_set.h"

namespace vexokrt {

using cash::CashCounts;
using cash::DispenseRecord;

// The command set's count blocks carry the cash counts as they are.
static_assert(std::is_same_v<CountBlock, CashCounts>);
static_assert(kCountAllPieces == cash::kAllPieces && kCountKeywordPlace == cash::kKeywordPlace);

// Reads ten three-digit decimal fields in device order from |fields| (at
// least 30 bytes). False, leaving |counts| untouched, when a field is not
// three decimal digits.
bool ParseDeviceOrderCounts(std::span<const uint8_t> fields, CashCounts& counts);

}  // namespace vexokrt
