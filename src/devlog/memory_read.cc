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

std::string AddressDigits(uint32_t address) {
  std::string digits(7, '0');
  for (int i = 6; i >= 0; --i) {
    digits[static_cast<size_t>(i)] = static_cast<char>(HexDigitChar(address & 0x0F));
    address >>= 4;
  }
  return digits;
}

std::vector<uint8_t> MemoryReadCommand(uint8_t command, uint32_t address, uint8_t length) {
  std::vector<uint8_t> bytes{kDc1, command, '0', '9'};
  for (char c : AddressDigits(address)) bytes.push_back(static_cast<uint8_t>(c));
  bytes.push_back(HexDigitChar(length >> 4));
  bytes.push_back(HexDigitChar(length));
  return bytes;
}

DeviceReply LineMemoryReads::Exchange(std::span<const uint8_t> command, int32_t timeout_ms) {
  return ::vexokrt::Exchange(line_, command, timeout_ms);
}

int32_t ReadOutcome(const DeviceReply& reply, int32_t expected) {
  if (reply.status != kReplyOk) return reply.status;
  // A single-byte answer carries no data, so it fails the length check too.
  if (reply.answerByte != 0 || reply.length() != expected) return kWrongAnswerLength;
  return 0;
}

}  // namespace vexokrt::devlog
