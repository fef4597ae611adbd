// SPDX-License-Identifier: Apache-2.0
// Denominations and piece counts of the simulated cash changer (Japanese yen).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vexokrt::sim {

inline constexpr int kDenominationCount = 10;

// Face values, in the order every CashCounts array of the simulator uses:
// coins from the smallest up, then bills from the smallest up.
inline constexpr std::array<int, kDenominationCount> kFaceValues{1,    5,    10,   50,   100,
                                                                 500,  1000, 2000, 5000, 10000};

// Pieces per denomination, indexed like kFaceValues.
using CashCounts = std::array<int, kDenominationCount>;

// Index of |face_value| in kFaceValues, or nothing for an unknown value.
std::optional<int> DenominationIndex(int face_value);

inline constexpr bool IsCoinIndex(int index) { return index < 6; }

// Sum of count x face value.
long CashAmount(const CashCounts& counts);

// Parses "1000:2,500:1" (pieces per face value; ',' and ';' both separate;
// empty pieces are ignored; a value given twice adds up). Nothing on any
// malformed piece, unknown face value or negative count.
std::optional<CashCounts> ParseCashList(std::string_view text);

// "1:0,5:0,10:0,50:0,100:0,500:1;1000:2,2000:0,5000:0,10000:0".
std::string FormatCashList(const CashCounts& counts);

}  // namespace vexokrt::sim
