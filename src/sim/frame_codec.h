// SPDX-License-Identifier: Apache-2.0
// The simulated device's own frame codec. Pure: bytes in, events out; no I/O,
// no time. It is written independently of the host's link layer so that each
// checks the other.
//
// Host to device: STX, the command bytes, ETX, BCC (exclusive-or of the command
// bytes and ETX), or a lone ENQ.
// Device to host: one control byte, or DLE STX L1 L2 data ETX BCC where L1 L2
// are the data length, either as two characters '0'+nibble (high first) or as
// 0x00 followed by the length byte, and the BCC is the exclusive-or of L1, L2,
// the data and ETX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vexokrt::sim {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEnq = 0x05;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kBel = 0x07;
inline constexpr std::uint8_t kLf = 0x0A;
inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kDc1 = 0x11;
inline constexpr std::uint8_t kDc3 = 0x13;
inline constexpr std::uint8_t kDc4 = 0x14;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kEtb = 0x17;
inline constexpr std::uint8_t kCan = 0x18;
inline constexpr std::uint8_t kEm = 0x19;
inline constexpr std::uint8_t kSub = 0x1A;

// Longest data part of an answer frame: what two length characters can say.
inline constexpr std::size_t kMaxAnswerData = 255;
// Longest command body the device takes in (a download start frame is 261).
inline constexpr std::size_t kMaxCommandBody = 300;

std::uint8_t Bcc(std::span<const std::uint8_t> bytes);

// STX body ETX BCC.
std::vector<std::uint8_t> EncodeHostFrame(std::span<const std::uint8_t> body);

// The two ways an answer frame gives its data length N: two characters
// '0'+nibble, high half first; or the byte 0x00 followed by N itself.
enum class LengthForm { kNibbles, kBinary };

// DLE STX L1 L2 data ETX BCC; |data| must not exceed kMaxAnswerData (longer
// data is cut there).
std::vector<std::uint8_t> EncodeDataAnswer(std::span<const std::uint8_t> data,
                                           LengthForm form = LengthForm::kNibbles);

// Splits the device's byte stream into frames, byte by byte.
//
// Where a command frame ends is found from its length field when it has one:
// DC1, the command letter, then two length characters '0'+nibble giving the
// number of bytes after them, or, for the download frames 'M' and 'N', two
// binary length bytes (big-endian). Those frames may carry any byte value,
// ETX included, so only the length tells where they stop. A body without a
// usable length field runs to the first ETX.
class HostFrameDecoder {
 public:
  struct Event {
    enum class Kind { kNone, kCommand, kEnquiry, kBadFrame, kNoise };
    Kind kind = Kind::kNone;
    std::vector<std::uint8_t> raw;   // every byte that belongs to the event
    std::vector<std::uint8_t> body;  // kCommand: the bytes between STX and ETX
    std::string detail;              // kBadFrame: why
  };

  // Feeds bytes; appends every event they complete to |events| in order.
  // Noise bytes outside frames are gathered into one kNoise event, which is
  // emitted when the next STX or ENQ arrives or on Flush.
  void Feed(std::span<const std::uint8_t> bytes, std::vector<Event>& events);

  // Ends what is pending: a run of noise (kNoise) and, when |abandon_frame|,
  // a partial frame (kBadFrame "incomplete frame"); appends them to |events|.
  void Flush(bool abandon_frame, std::vector<Event>& events);

  bool InFrame() const { return state_ != State::kIdle; }
  void Reset();

 private:
  enum class State { kIdle, kBody, kAwaitEtx, kAwaitBcc };
  void FeedByte(std::uint8_t byte, std::vector<Event>& events);
  void EmitFrame(Event::Kind kind, std::string detail, std::vector<Event>& events);
  void FlushNoise(std::vector<Event>& events);
  void StartFrame(std::vector<Event>& events);

  State state_ = State::kIdle;
  std::vector<std::uint8_t> raw_;
  std::vector<std::uint8_t> body_;
  std::vector<std::uint8_t> noise_;
  std::optional<std::size_t> expected_body_;  // from the length field, once known
  bool scan_to_etx_ = false;                  // no usable length field: the first ETX ends it
};

// Host-side view of one answer at the front of a byte buffer; used by tests
// and tools that talk to the simulator.
struct ParsedAnswer {
  enum class Kind { kIncomplete, kControl, kData, kError };
  Kind kind = Kind::kIncomplete;
  std::uint8_t control = 0;         // kControl
  std::vector<std::uint8_t> data;   // kData
  std::size_t consumed = 0;         // bytes of the buffer this answer used
  std::string error;                // kError
};
ParsedAnswer ParseAnswer(std::span<const std::uint8_t> bytes);

}  // namespace vexokrt::sim
