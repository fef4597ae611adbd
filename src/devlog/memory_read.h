// SPDX-License-Identifier: Apache-2.0
// Reading the cash changer's memory: the command bytes of a memory read, the
// digit codec of the answers, and the one exchange every device-log reader
// needs ("send these command bytes, give me the answer").
//
// Two memory-read commands exist. 's' (KRT07, KRT77) answers the bytes raw;
// '6' (KRT02 family, KRT03) answers every byte as two digit characters, so its
// answer is twice as long as the bytes asked for. Both take a seven-digit
// address and a two-digit length, written in the device's hex digits: the
// character 0x30 + value, so 10 to 15 appear as ':' to '?'.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/command_set.h"
#include "link/device_reply.h"
#include "link/line_exchange.h"

namespace vexokrt::devlog {

// The memory-read command and its letters live in the command set.
using ::vexokrt::kHexTextMemoryRead;
using ::vexokrt::kRawMemoryRead;
using ::vexokrt::MemoryReadCommand;

// Result of a read answered by something other than a data frame of the
// expected length (a BEL, a NAK, a short frame). Receive failures keep their
// own (negative) status values.
inline constexpr int32_t kWrongAnswerLength = -10;

// Answer time-outs.
inline constexpr int32_t kTradingDirectTimeoutMs = 2500;  // trading log, straight to the link
inline constexpr int32_t kQueuedReadTimeoutMs = 3000;     // trading log through the request queue
inline constexpr int32_t kHistoryPointerTimeoutMs = 100;  // operation-history pointer
inline constexpr int32_t kHistoryRecordTimeoutMs = 3000;  // operation-history record
inline constexpr int32_t kLogBlockTimeoutMs = 3000;       // device log file blocks

using ::vexokrt::HexDigitChar;

// The value of a device hex digit; none for a character outside '0'..'?'.
constexpr std::optional<uint8_t> HexDigitValue(uint8_t c) {
  if (c < 0x30 || c > 0x3F) return std::nullopt;
  return static_cast<uint8_t>(c - 0x30);
}

// One byte from its digit pair, high half first. Characters outside '0'..'?'
// contribute their low four bits, so a damaged answer still decodes to some
// byte; callers that must trust a field check its characters themselves.
constexpr uint8_t DecodeHexPair(uint8_t high, uint8_t low) {
  return static_cast<uint8_t>((((high - 0x30) & 0x0F) << 4) | ((low - 0x30) & 0x0F));
}

// Decodes a hex-text answer (pairs) into bytes; an odd last character is ignored.
std::vector<uint8_t> DecodeHexText(std::span<const uint8_t> text);

// The value of the hex digits in |text|, most significant first (at most
// eight digits are meaningful).
uint32_t DecodeHexDigits(std::span<const uint8_t> text);

using ::vexokrt::AddressDigits;

// The exchange that carries one memory read to the device.
//
// Implementations: straight to the serial link (frame the command, receive the
// answer with the given time-out, follow-up reads allowed with the normal
// rule, so a BEL from a KRT07/KRT77 arrives with its error code), or through
// the device layer's request queue (a synchronous request with WaitStyle None
// and the given time-out). The caller must own the line for the direct form:
// the status watch paused, or running on the communication thread itself.
class MemoryReadExchange {
 public:
  virtual ~MemoryReadExchange() = default;
  // Sends |command| and returns the device's answer. A time-out and every
  // other receive failure come back in the reply's status.
  virtual DeviceReply Exchange(std::span<const uint8_t> command, int32_t timeout_ms) = 0;
};

// Memory reads through whatever sends a command and returns its answer: the
// line itself (LineReads), or the device layer's request queue.
class MemoryReads final : public MemoryReadExchange {
 public:
  using Sender = std::function<DeviceReply(std::span<const uint8_t> command, int32_t timeout_ms)>;
  explicit MemoryReads(Sender sender) : sender_(std::move(sender)) {}
  DeviceReply Exchange(std::span<const uint8_t> command, int32_t timeout_ms) override {
    return sender_(command, timeout_ms);
  }

 private:
  Sender sender_;
};

// Memory reads straight on |line| (which must outlive them): frame the
// command, then receive the answer with follow-up reads allowed (normal
// rule). A command that cannot be written comes back as a time-out at once.
MemoryReads LineReads(LineExchange& line);


// The outcome of |reply| as a read of |expected| data bytes, as a number the
// device logs pass on and trace: 0 when it is a data frame of exactly that
// length, the receive status's number when receiving failed, else
// kWrongAnswerLength.
int32_t ReadOutcome(const DeviceReply& reply, int32_t expected);

}  // namespace vexokrt::devlog
