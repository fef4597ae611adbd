// The count records the device layer keeps: ten counts per denomination
// (CashCounts) and the nineteen-slot record that cash-count texts are parsed
// into and that deposit counts are kept in (DispenseRecord).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace vexokrt {

// Face values in record order: slots 0 to 9 of both records.
inline constexpr std::array<int32_t, 10> kFaceValues = {10000, 5000, 2000, 1000, 500, 100, 50, 10, 5, 1};

// The device lists denominations in its own order: 500, 100, 50, 10, 5, 1,
// 10000, 5000, 2000, 1000 yen. kDeviceOrderSlots[i] is the record slot of the
// i-th field of a device count block.
inline constexpr std::array<int, 10> kDeviceOrderSlots = {4, 5, 6, 7, 8, 9, 0, 1, 2, 3};

// Markers in a count slot: all pieces of the denomination ("???" on the
// line) and a keyword place (">>>" in a mode-3 deposit-table command).
inline constexpr int32_t kCountAll = -1;
inline constexpr int32_t kCountKeywordPlace = -2;

// Ten counts in record order (10000 yen first).
using CashCounts = std::array<int32_t, 10>;

// Slots 0-9 counts in record order, 10 always 0, 11-18 the keyword slots.
struct DispenseRecord {
  std::array<int32_t, 19> slots{};

  CashCounts Counts() const {
    CashCounts counts{};
    for (size_t i = 0; i < counts.size(); ++i) counts[i] = slots[i];
    return counts;
  }
  bool operator==(const DispenseRecord&) const = default;
};

// "1:%ld,5:%ld,...;1000:%ld,...,10000:%ld" of |counts|.
std::string FormatPlainCounts(const CashCounts& counts);

// Σ count × face value.
int64_t CountsAmount(const CashCounts& counts);

// Reads ten three-digit decimal fields in device order from |fields| (at
// least 30 bytes). False, leaving |counts| untouched, when a field is not
// three decimal digits.
bool ParseDeviceOrderCounts(std::span<const uint8_t> fields, CashCounts& counts);

}  // namespace vexokrt
