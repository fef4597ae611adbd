// SPDX-License-Identifier: Apache-2.0
#include "sim/fields.h"

namespace vexokrt::sim {

std::optional<int> NibbleValue(std::uint8_t c) {
  if (c < 0x30 || c > 0x3F) return std::nullopt;
  return c - 0x30;
}

std::optional<std::uint32_t> ParseNibbles(std::span<const std::uint8_t> chars) {
  if (chars.empty() || chars.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (std::uint8_t c : chars) {
    std::optional<int> v = NibbleValue(c);
    if (!v) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(*v);
  }
  return value;
}

void AppendNibbles(Bytes& out, std::uint32_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) out.push_back(NibbleChar(static_cast<int>(value >> (4 * i))));
}

std::optional<long> ParseDecimal(std::span<const std::uint8_t> chars) {
  if (chars.empty() || chars.size() > 12) return std::nullopt;
  long value = 0;
  for (std::uint8_t c : chars) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

void AppendDecimal(Bytes& out, long value, int width) {
  long limit = 1;
  for (int i = 0; i < width; ++i) limit *= 10;
  if (value < 0) value = 0;
  if (value >= limit) value = limit - 1;
  for (int i = width - 1; i >= 0; --i) {
    long divisor = 1;
    for (int k = 0; k < i; ++k) divisor *= 10;
    out.push_back(static_cast<std::uint8_t>('0' + (value / divisor) % 10));
  }
}

void AppendText(Bytes& out, const char* text) {
  for (; *text != '\0'; ++text) out.push_back(static_cast<std::uint8_t>(*text));
}

std::optional<CountBlock> ParseCountBlock(std::span<const std::uint8_t> chars, int width, bool markers) {
  if (chars.size() != static_cast<std::size_t>(width) * kDenominationCount) return std::nullopt;
  CountBlock block{};
  for (int d = 0; d < kDenominationCount; ++d) {
    std::span<const std::uint8_t> field = chars.subspan(static_cast<std::size_t>(d * width), width);
    CountField& out = block[kDeviceOrder[d]];
    if (markers && width == 3 && field[0] == '?' && field[1] == '?' && field[2] == '?') {
      out.kind = CountField::Kind::kAll;
    } else if (markers && width == 3 && field[0] == '>' && field[1] == '>' && field[2] == '>') {
      out.kind = CountField::Kind::kKeyword;
    } else {
      std::optional<long> n = ParseDecimal(field);
      if (!n) return std::nullopt;
      out.count = static_cast<int>(*n);
    }
  }
  return block;
}

void AppendCountBlock(Bytes& out, const CashCounts& counts, int width) {
  for (int d = 0; d < kDenominationCount; ++d) AppendDecimal(out, counts[kDeviceOrder[d]], width);
}

}  // namespace vexokrt::sim
