// SPDX-License-Identifier: Apache-2.0
#include "platform/com.h"

#include <cstdio>
#include <cstring>

namespace vexokrt::platform {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string Guid::ToString() const {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3,
                data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return text;
}

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  // 8-4-4-4-12 hex digits; collect the 32 digits, checking the dashes.
  uint8_t bytes[16] = {};
  int digit = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const int value = HexDigit(text[i]);
    if (value < 0) return std::nullopt;
    bytes[digit / 2] = static_cast<uint8_t>(bytes[digit / 2] | (digit % 2 == 0 ? value << 4 : value));
    ++digit;
  }
  Guid guid;
  guid.data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  guid.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid.data4, bytes + 8, 8);
  return guid;
}

bool operator==(const Guid& a, const Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 && std::memcmp(a.data4, b.data4, 8) == 0;
}

}  // namespace vexokrt::platform
