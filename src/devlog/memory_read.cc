// SPDX-License-Identifier: Apache-2.0
#include "devlog/memory_read.h"

#include "link/line_sequences.h"

namespace vexokrt::devlog {

std::vector<uint8_t> DecodeHexText(std::span<const uint8_t> text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(DecodeHexPair(text[i], text[i + 1]));
  return bytes;
}

uint32_t DecodeHexDigits(std::span<const uint8_t> text) {
  uint32_t value = 0;
  for (uint8_t c : text) value = (value << 4) | ((c - 0x30u) & 0x0Fu);
  return value;
}

MemoryReads LineReads(LineExchange& line) {
  return MemoryReads([&line](std::span<const uint8_t> command, int32_t timeout_ms) {
    return ::vexokrt::Exchange(line, command, timeout_ms);
  });
}

int32_t ReadOutcome(const DeviceReply& reply, int32_t expected) {
  if (reply.status != kReplyOk) return StatusNumber(reply.status);
  // A single-byte answer carries no data, so it fails the length check too.
  if (reply.answerByte != 0 || reply.length() != expected) return kWrongAnswerLength;
  return 0;
}

}  // namespace vexokrt::devlog
