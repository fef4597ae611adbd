// SPDX-License-Identifier: Apache-2.0
// The frames of the cash changer's line protocol, without any I/O or timing.
//
// Host to device: STX, the command bytes unchanged, ETX, BCC (exclusive-or of
// the command bytes and ETX).
//
// Device to host: either one control byte (ACK, BEL, BS, LF, DC1, DC3, DC4,
// NAK, ETB, CAN, EM, SUB) or a data frame: DLE, STX, L1, L2, N data bytes,
// ETX, BCC (exclusive-or of L1 through ETX). N is L2 when L1 is 0x00, and
// otherwise two hexadecimal digits written as 0x30 + value (':' to '?' for 10
// to 15), high digit first. A frame is at most 262 bytes (N at most 256).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexokrt::link {

// The largest device-to-host frame, and the largest data part.
inline constexpr size_t kMaxFrameBytes = 262;
inline constexpr int kMaxFrameData = 256;

// Builds the host-to-device frame around |command|.
std::vector<uint8_t> BuildCommandFrame(std::span<const uint8_t> command);

// True for the single-byte answers the device may give.
bool IsAnswerByte(uint8_t byte);

// The data length announced by the length characters; negative or above
// kMaxFrameData when they do not describe a possible frame.
int DataLengthOf(uint8_t l1, uint8_t l2);

// Why an answer was not accepted.
enum class FrameError {
  kNone,
  kUnknownFirstByte,  // neither DLE nor an answer byte
  kTooShort,          // the bytes stopped before six had come
  kNoStx,             // the byte after DLE is not STX
  kBadLength,         // the bytes stopped short of the announced length, or it is impossible
  kTooLong,           // more bytes followed a frame of the announced length
  kNoEtx,             // no ETX right behind the data
  kBadBcc,            // the block check differs
};

// Decodes one answer from bytes fed in as they arrive. The owner decides when
// the line has gone quiet and says so with EndOfInput.
//
// Verdicts are reached in this order, matching what a complete read of the
// same bytes would give: fewer than six bytes (kTooShort) before a wrong STX
// (kNoStx) before a wrong length (kBadLength, kTooLong) before a missing ETX
// (kNoEtx) before a wrong BCC (kBadBcc). So after a wrong STX or an impossible
// length the decoder swallows further bytes until EndOfInput (or until
// kMaxFrameBytes have come), and a frame that reaches its announced length
// still turns into kTooLong when more bytes are pushed before the owner stops.
class FrameDecoder {
 public:
  enum class Step {
    kNeedMore,    // push more bytes, or call EndOfInput when none come
    kAnswerByte,  // a single-byte answer: answer_byte()
    kDataFrame,   // a data frame of the announced length: data()
    kError,       // error()
  };

  // Feeds one byte; returns where decoding stands. Bytes pushed after a
  // single-byte answer or an unknown first byte are ignored (the answer was
  // one byte).
  Step Push(uint8_t byte);

  // The line went quiet: returns the verdict on what has come. kNeedMore only
  // when nothing has been pushed.
  Step EndOfInput();

  // How many more bytes the answer needs before a verdict can change: reading
  // exactly this many never reads past the frame. 0 once the verdict stands or
  // the announced length has been reached.
  size_t BytesWanted() const;

  // True when a data frame reached its announced length (whatever its
  // verdict); further bytes make it kTooLong.
  bool AtAnnouncedLength() const { return state_ == State::kAtLength; }

  uint8_t answer_byte() const { return answer_byte_; }
  // The data part of a kDataFrame verdict.
  std::vector<uint8_t> data() const;
  FrameError error() const { return error_; }
  // Bytes pushed so far, DLE included.
  size_t byte_count() const { return count_; }

  void Reset();

 private:
  enum class State {
    kStart,     // nothing yet
    kFrame,     // inside a data frame, length not yet reached
    kAtLength,  // the announced length has been reached; verdict in step_
    kSwallow,   // a verdict is pending; bytes are counted until the line is quiet
    kDone,      // final verdict
  };

  Step Finish(Step step, FrameError error);

  State state_ = State::kStart;
  Step step_ = Step::kNeedMore;
  FrameError error_ = FrameError::kNone;
  uint8_t answer_byte_ = 0;
  int data_length_ = -1;
  size_t count_ = 0;
  // The bytes of a frame (DLE included) up to the announced length.
  std::vector<uint8_t> frame_;
};

}  // namespace vexokrt::link
