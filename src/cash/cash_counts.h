// SPDX-License-Identifier: Apache-2.0
// Cash-count texts of the yen: the denominations, the count sets the device
// reports, the record that application texts are parsed into, and every
// text form the service produces.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexokrt::cash {

// Face values in record order: the ten counts of a CashCounts and the first
// ten slots of a DispenseRecord run from the 10000-yen note down to 1 yen.
inline constexpr std::array<int32_t, 10> kFaceValues = {10000, 5000, 2000, 1000, 500, 100, 50, 10, 5, 1};
inline constexpr int kFirstCoin = 4;  // index of 500 yen; indexes 0-3 are bills

// Index of |face_value| in record order, or -1 when it is no denomination.
int RecordIndex(int32_t face_value);

// Ten counts per denomination, in record order. Value-initialise it
// (CashCounts counts{}) for zeros.
using CashCounts = std::array<int32_t, 10>;

// A count meaning "all pieces of this denomination" (the text "FFF"); the
// take-back and deposit-table commands send it as "???".
inline constexpr int32_t kAllPieces = -1;
// A keyword place that the deposit-table command sends as ">>>".
inline constexpr int32_t kKeywordPlace = -2;

// Nineteen slots: 0-9 counts in record order, 10 always 0, then keywords.
struct DispenseRecord {
  static constexpr int kSlots = 19;
  static constexpr int kBl = 11;
  static constexpr int kBov = 12;
  static constexpr int kCov = 13;
  static constexpr int k1000Ov = 14;
  static constexpr int k2000Ov = 15;
  static constexpr int k5000Ov = 16;
  static constexpr int k10000Ov = 17;
  static constexpr int k1000Pr = 18;

  std::array<int32_t, kSlots> slot{};

  CashCounts Counts() const;
  bool operator==(const DispenseRecord&) const = default;
};

// Parses an OPOS cash-count text such as "1:2,500:1;1000:3" into |record|
// (zeroed first). ',' and ';' are equivalent separators; empty pieces are
// ignored; a key given twice keeps the later value. |allow_keywords| admits
// the keys BL, BOV, COV, 1000OV, 2000OV, 5000OV, 10000OV, 1000PR (any case);
// |allow_all| admits the value FFF (any case) as kAllPieces. Returns false
// when any piece is refused; the record is then to be discarded.
bool ParseCashCounts(std::string_view text, DispenseRecord* record, bool allow_keywords, bool allow_all);

// The denominations (record order) that a text ParseCashCounts accepted
// names with a piece of their own, whatever its count: "1:0" names the
// 1-yen coin, a text without a "1:" piece does not.
std::array<bool, 10> NamedDenominations(std::string_view text);

// "1:%ld,5:%ld,10:%ld,50:%ld,100:%ld,500:%ld;1000:%ld,2000:%ld,5000:%ld,10000:%ld"
std::string FormatPlain(const CashCounts& counts);
// "0:<pieces of set B>," followed by the plain fields of |counts|.
std::string FormatTotal(const CashCounts& counts, const CashCounts& set_b);
// Plain form of |set_a|, "/", plain form of |set_b|.
std::string FormatTwoSets(const CashCounts& set_a, const CashCounts& set_b);
// Coins as counted, every bill "FFF".
std::string FormatAllBills(const CashCounts& counts);
// Coins and bills as counted, the 10000-yen field "FFF".
std::string FormatAll10000(const CashCounts& counts);

// Sum of count x face value.
int64_t Amount(const CashCounts& counts);
// Sum of the ten counts (pieces).
int64_t Pieces(const CashCounts& counts);
// Denomination-wise sum of two sets.
CashCounts Sum(const CashCounts& a, const CashCounts& b);

}  // namespace vexokrt::cash
