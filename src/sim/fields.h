// SPDX-License-Identifier: Apache-2.0
// Text fields of the device's commands and answers: decimal digits, the
// '0'+nibble characters the device uses for hexadecimal ('0'-'9', ':'-'?'),
// and count blocks of ten fields in the device's denomination order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/cash.h"

namespace vexokrt::sim {

using Bytes = std::vector<std::uint8_t>;

// The device lists denominations as 500, 100, 50, 10, 5, 1, 10000, 5000,
// 2000, 1000; entry d is the kFaceValues index of the d-th one.
inline constexpr std::array<int, kDenominationCount> kDeviceOrder{5, 4, 3, 2, 1, 0, 9, 8, 7, 6};

inline std::uint8_t NibbleChar(int value) { return static_cast<std::uint8_t>('0' + (value & 0x0F)); }
// 0-15 for '0'..'?', nothing otherwise.
std::optional<int> NibbleValue(std::uint8_t c);
// Several nibble characters, most significant first.
std::optional<std::uint32_t> ParseNibbles(std::span<const std::uint8_t> chars);
void AppendNibbles(Bytes& out, std::uint32_t value, int digits);

// Decimal digits only; nothing for anything else or an empty span.
std::optional<long> ParseDecimal(std::span<const std::uint8_t> chars);
// |value| zero-padded to |width| digits, clamped to 0 .. 10^width - 1.
void AppendDecimal(Bytes& out, long value, int width);
void AppendText(Bytes& out, const char* text);

// One field of a count block as the host writes it.
struct CountField {
  enum class Kind { kCount, kAll, kKeyword };  // "ddd", "???", ">>>"
  Kind kind = Kind::kCount;
  int count = 0;
};
using CountBlock = std::array<CountField, kDenominationCount>;  // indexed like kFaceValues

// Ten fields of |width| characters in device order. "???" and ">>>" are
// accepted only when |markers| is set (and only with width 3).
std::optional<CountBlock> ParseCountBlock(std::span<const std::uint8_t> chars, int width, bool markers);

// Ten |width|-digit fields in device order.
void AppendCountBlock(Bytes& out, const CashCounts& counts, int width);

}  // namespace vexokrt::sim
