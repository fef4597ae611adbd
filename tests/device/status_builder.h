// SPDX-License-Identifier: Apache-2.0
// Status records for tests: all '0' of the model's length, then set bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/model_code.h"

namespace vexokrt::testing {

inline std::vector<uint8_t> StatusOf(ModelCode model) {
  return std::vector<uint8_t>(static_cast<size_t>(StatusRecordLength(model)), '0');
}

// Sets bytes starting at |index| to the characters of |text|.
inline std::vector<uint8_t> With(std::vector<uint8_t> record, size_t index, const std::string& text) {
  for (size_t i = 0; i < text.size() && index + i < record.size(); ++i) record[index + i] = static_cast<uint8_t>(text[i]);
  return record;
}

// Group bit helpers: a bill bit (bit 0 of the group's first byte) and a coin
// bit (bit 0 of its third byte).
inline std::vector<uint8_t> WithBillBit(std::vector<uint8_t> record, int group) {
  record[group] |= 0x01;
  return record;
}
inline std::vector<uint8_t> WithCoinBit(std::vector<uint8_t> record, int group) {
  record[group + 2] |= 0x01;
  return record;
}

}  // namespace vexokrt::testing
