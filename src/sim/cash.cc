// SPDX-License-Identifier: Apache-2.0
#include "sim/cash.h"

#include <charconv>

namespace vexokrt::sim {

std::optional<int> DenominationIndex(int face_value) {
  for (int i = 0; i < kDenominationCount; ++i) {
    if (kFaceValues[i] == face_value) return i;
  }
  return std::nullopt;
}

long CashAmount(const CashCounts& counts) {
  long amount = 0;
  for (int i = 0; i < kDenominationCount; ++i) amount += static_cast<long>(counts[i]) * kFaceValues[i];
  return amount;
}

std::optional<CashCounts> ParseCashList(std::string_view text) {
  CashCounts counts{};
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(",;", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
    while (!piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
    if (!piece.empty()) {
      size_t colon = piece.find(':');
      if (colon == std::string_view::npos) return std::nullopt;
      std::string_view key = piece.substr(0, colon);
      std::string_view value = piece.substr(colon + 1);
      int face = 0;
      int count = 0;
      auto k = std::from_chars(key.data(), key.data() + key.size(), face);
      auto v = std::from_chars(value.data(), value.data() + value.size(), count);
      if (key.empty() || value.empty() || k.ec != std::errc() || v.ec != std::errc() ||
          k.ptr != key.data() + key.size() || v.ptr != value.data() + value.size() || count < 0) {
        return std::nullopt;
      }
      std::optional<int> index = DenominationIndex(face);
      if (!index) return std::nullopt;
      counts[*index] += count;
    }
    start = end + 1;
  }
  return counts;
}

std::string FormatCashList(const CashCounts& counts) {
  std::string text;
  for (int i = 0; i < kDenominationCount; ++i) {
    if (i > 0) text += (i == 6) ? ';' : ',';
    text += std::to_string(kFaceValues[i]) + ":" + std::to_string(counts[i]);
  }
  return text;
}

}  // namespace vexokrt::sim
