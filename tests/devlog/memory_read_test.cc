// SPDX-License-Identifier: Apache-2.0
#include "devlog/memory_read.h"

#include <gtest/gtest.h>

namespace vexokrt::devlog {
namespace {

std::vector<uint8_t> Bytes(std::string_view text) {
  std::vector<uint8_t> bytes(text.size() + 1, 0x11);
  std::copy(text.begin(), text.end(), bytes.begin() + 1);
  return bytes;
}

TEST(MemoryReadCommand, MatchesTheDevicesTables) {
  // Trading block, KRT07/KRT77: first and last read.
  EXPECT_EQ(MemoryReadCommand(kRawMemoryRead, 0x1001200, 108), Bytes("s0910012006<"));
  EXPECT_EQ(MemoryReadCommand(kRawMemoryRead, 0x10013D4, 44), Bytes("s0910013=42<"));
  // Trading block, KRT02/KRT03: addresses with letter digits.
  EXPECT_EQ(MemoryReadCommand(kHexTextMemoryRead, 0x416DB4, 120), Bytes("6090416=;478"));
  EXPECT_EQ(MemoryReadCommand(kHexTextMemoryRead, 0x416F1C, 44), Bytes("6090416?1<2<"));
  // Operation-history pointers.
  EXPECT_EQ(MemoryReadCommand(kHexTextMemoryRead, 0x41AE68, 4), Bytes("609041:>6804"));
  EXPECT_EQ(MemoryReadCommand(kRawMemoryRead, 0x1005600, 4), Bytes("s09100560004"));
  // A log block of 0xFF bytes high in the bill memory.
  EXPECT_EQ(MemoryReadCommand(kRawMemoryRead, 0xB780000, 0xFF), Bytes("s09;780000??"));
}

TEST(MemoryReadCommand, ShortAddressesAreZeroFilledToSevenDigits) {
  EXPECT_EQ(AddressDigits(0x1A), "000001:");
  EXPECT_EQ(AddressDigits(0x1A).size(), 7u);
}

TEST(HexDigits, DecodeTheDevicesDigitCharacters) {
  const uint8_t hours[] = {'0', '0', '0', '0', '0', '1', '2', '<'};
  EXPECT_EQ(DecodeHexDigits(hours), 300u);
  const uint8_t text[] = {'3', '0', '?', '?', '0', ':'};
  EXPECT_EQ(DecodeHexText(text), (std::vector<uint8_t>{0x30, 0xFF, 0x0A}));
  EXPECT_EQ(HexDigitValue('?'), 15);
  EXPECT_FALSE(HexDigitValue('@').has_value());
}

TEST(ReadOutcome, OnlyADataFrameOfTheExactLengthPasses) {
  DeviceReply frame;
  frame.data.assign(108, 0);
  EXPECT_EQ(ReadOutcome(frame, 108), 0);
  EXPECT_EQ(ReadOutcome(frame, 120), kWrongAnswerLength);
  DeviceReply bel;
  bel.answerByte = kBel;
  EXPECT_EQ(ReadOutcome(bel, 0), kWrongAnswerLength) << "a single byte is never a data frame";
  DeviceReply silent;
  silent.status = kReplyTimeout;
  EXPECT_EQ(ReadOutcome(silent, 108), StatusNumber(kReplyTimeout));
}

}  // namespace
}  // namespace vexokrt::devlog
