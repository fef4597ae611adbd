// SPDX-License-Identifier: Apache-2.0
// A set of single-byte answers of the cash changer (the control bytes below
// 0x20), used to say which answers end a wait or count as "done".
#pragma once

#include <cstdint>
#include <initializer_list>

namespace vexokrt {

class AnswerSet {
 public:
  constexpr AnswerSet() = default;
  constexpr AnswerSet(std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) bits_ |= Bit(b);
  }

  // Every control byte except |excluded|.
  static constexpr AnswerSet AnyBut(std::initializer_list<uint8_t> excluded) {
    AnswerSet all;
    all.bits_ = ~uint32_t{0};
    for (uint8_t b : excluded) all.bits_ &= ~Bit(b);
    return all;
  }

  constexpr AnswerSet With(uint8_t byte) const {
    AnswerSet copy = *this;
    copy.bits_ |= Bit(byte);
    return copy;
  }

  // Answers outside 0x00..0x1F (and the 0 of a data frame) are never members.
  constexpr bool Contains(uint32_t answer) const {
    return answer > 0 && answer < 0x20 && (bits_ & Bit(static_cast<uint8_t>(answer))) != 0;
  }

  constexpr bool operator==(const AnswerSet&) const = default;

 private:
  static constexpr uint32_t Bit(uint8_t b) { return b < 0x20 ? (uint32_t{1} << b) : 0; }
  uint32_t bits_ = 0;
};

}  // namespace vexokrt
