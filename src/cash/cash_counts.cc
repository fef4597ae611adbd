// SPDX-License-Identifier: Apache-2.0
#include "cash/cash_counts.h"

#include <cctype>
#include <cstdio>

namespace vexokrt::cash {
namespace {

constexpr size_t kMaxFieldLength = 9;

struct Keyword {
  std::string_view name;
  int slot;
};

// Compared in this order; the first match selects the slot.
constexpr Keyword kKeywords[] = {
    {"BL", DispenseRecord::kBl},           {"BOV", DispenseRecord::kBov},
    {"COV", DispenseRecord::kCov},         {"1000OV", DispenseRecord::k1000Ov},
    {"5000OV", DispenseRecord::k5000Ov},   {"10000OV", DispenseRecord::k10000Ov},
    {"1000PR", DispenseRecord::k1000Pr},   {"2000OV", DispenseRecord::k2000Ov},
};

bool AllDigits(std::string_view text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Decimal value of a text of at most nine digits (fits 32 bits).
int32_t DecimalValue(std::string_view digits) {
  int32_t value = 0;
  for (const char c : digits) value = value * 10 + (c - '0');
  return value;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The slot a key selects, or -1 when the key is refused.
int SlotOfKey(std::string_view key, bool allow_keywords) {
  if (allow_keywords) {
    for (const Keyword& keyword : kKeywords) {
      if (EqualsIgnoringCase(key, keyword.name)) return keyword.slot;
    }
  }
  if (!AllDigits(key)) return -1;
  return RecordIndex(DecimalValue(key));
}

bool ParsePiece(std::string_view piece, DispenseRecord* record, bool allow_keywords, bool allow_all) {
  if (piece.empty()) return true;
  const size_t colon = piece.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view key = piece.substr(0, colon);
  const std::string_view value = piece.substr(colon + 1);
  if (key.empty() || key.size() > kMaxFieldLength) return false;
  const int slot = SlotOfKey(key, allow_keywords);
  if (slot < 0) return false;
  if (value.empty() || value.size() > kMaxFieldLength) return false;
  if (allow_all && EqualsIgnoringCase(value, "FFF")) {
    record->slot[static_cast<size_t>(slot)] = kAllPieces;
    return true;
  }
  if (!AllDigits(value)) return false;
  record->slot[static_cast<size_t>(slot)] = DecimalValue(value);
  return true;
}

// Coin fields "1:..,5:..,10:..,50:..,100:..,500:.." of |counts|.
std::string CoinFields(const CashCounts& counts) {
  char text[160];
  std::snprintf(text, sizeof text, "1:%ld,5:%ld,10:%ld,50:%ld,100:%ld,500:%ld", static_cast<long>(counts[9]),
                static_cast<long>(counts[8]), static_cast<long>(counts[7]), static_cast<long>(counts[6]),
                static_cast<long>(counts[5]), static_cast<long>(counts[4]));
  return text;
}

std::string BillField(int32_t face_value, int32_t count) {
  return std::to_string(face_value) + ":" + std::to_string(static_cast<long>(count));
}

}  // namespace

int RecordIndex(int32_t face_value) {
  for (size_t i = 0; i < kFaceValues.size(); ++i) {
    if (kFaceValues[i] == face_value) return static_cast<int>(i);
  }
  return -1;
}

CashCounts DispenseRecord::Counts() const {
  CashCounts counts{};
  for (int i = 0; i < 10; ++i) counts[i] = slot[static_cast<size_t>(i)];
  return counts;
}

bool ParseCashCounts(std::string_view text, DispenseRecord* record, bool allow_keywords, bool allow_all) {
  *record = DispenseRecord{};
  size_t start = 0;
  for (;;) {
    const size_t end = text.find_first_of(",;", start);
    const std::string_view piece = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
    if (!ParsePiece(piece, record, allow_keywords, allow_all)) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::array<bool, 10> NamedDenominations(std::string_view text) {
  std::array<bool, 10> named{};
  size_t start = 0;
  for (;;) {
    const size_t end = text.find_first_of(",;", start);
    const std::string_view piece = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
    const std::string_view key = piece.substr(0, piece.find(':'));
    int32_t face = 0;
    bool digits = !key.empty() && key.size() <= 5;
    for (char c : key) {
      if (c < '0' || c > '9') digits = false;
      if (digits) face = face * 10 + (c - '0');
    }
    if (const int index = digits ? RecordIndex(face) : -1; index >= 0) named[static_cast<size_t>(index)] = true;
    if (end == std::string_view::npos) return named;
    start = end + 1;
  }
}

std::string FormatPlain(const CashCounts& counts) {
  return CoinFields(counts) + ";" + BillField(1000, counts[3]) + "," + BillField(2000, counts[2]) + "," +
         BillField(5000, counts[1]) + "," + BillField(10000, counts[0]);
}

std::string FormatTotal(const CashCounts& counts, const CashCounts& set_b) {
  return "0:" + std::to_string(static_cast<long>(Pieces(set_b))) + "," + FormatPlain(counts);
}

std::string FormatTwoSets(const CashCounts& set_a, const CashCounts& set_b) {
  return FormatPlain(set_a) + "/" + FormatPlain(set_b);
}

std::string FormatAllBills(const CashCounts& counts) {
  return CoinFields(counts) + ";1000:FFF,2000:FFF,5000:FFF,10000:FFF";
}

std::string FormatAll10000(const CashCounts& counts) {
  return CoinFields(counts) + ";" + BillField(1000, counts[3]) + "," + BillField(2000, counts[2]) + "," +
         BillField(5000, counts[1]) + ",10000:FFF";
}

int64_t Amount(const CashCounts& counts) {
  int64_t amount = 0;
  for (int i = 0; i < 10; ++i) amount += static_cast<int64_t>(counts[i]) * kFaceValues[static_cast<size_t>(i)];
  return amount;
}

int64_t Pieces(const CashCounts& counts) {
  int64_t pieces = 0;
  for (int i = 0; i < 10; ++i) pieces += counts[i];
  return pieces;
}

CashCounts Sum(const CashCounts& a, const CashCounts& b) {
  CashCounts sum{};
  for (int i = 0; i < 10; ++i) sum[i] = a[i] + b[i];
  return sum;
}

}  // namespace vexokrt::cash
