// SPDX-License-Identifier: Apache-2.0
#include "link/frame_codec.h"

#include "link/device_reply.h"

namespace vexokrt::link {

std::vector<uint8_t> BuildCommandFrame(std::span<const uint8_t> command) {
  std::vector<uint8_t> frame;
  frame.reserve(command.size() + 3);
  frame.push_back(kStx);
  uint8_t bcc = 0;
  for (const uint8_t byte : command) {
    frame.push_back(byte);
    bcc ^= byte;
  }
  frame.push_back(kEtx);
  bcc ^= kEtx;
  frame.push_back(bcc);
  return frame;
}

bool IsAnswerByte(uint8_t byte) {
  switch (byte) {
    case kAck:
    case kBel:
    case kBs:
    case kLf:
    case kDc1:
    case kDc3:
    case kDc4:
    case kNak:
    case kEtb:
    case kCan:
    case kEm:
    case kSub:
      return true;
    default:
      return false;
  }
}

int DataLengthOf(uint8_t l1, uint8_t l2) {
  if (l1 == 0x00) return l2;
  return (static_cast<int>(l1) - 0x30) * 16 + (static_cast<int>(l2) - 0x30);
}

FrameDecoder::Step FrameDecoder::Finish(Step step, FrameError error) {
  state_ = State::kDone;
  step_ = step;
  error_ = error;
  return step;
}

FrameDecoder::Step FrameDecoder::Push(uint8_t byte) {
  switch (state_) {
    case State::kStart:
      count_ = 1;
      if (byte == kDle) {
        frame_.assign(1, byte);
        state_ = State::kFrame;
        return Step::kNeedMore;
      }
      if (IsAnswerByte(byte)) {
        answer_byte_ = byte;
        return Finish(Step::kAnswerByte, FrameError::kNone);
      }
      return Finish(Step::kError, FrameError::kUnknownFirstByte);

    case State::kFrame:
      ++count_;
      frame_.push_back(byte);
      if (count_ == 2 && byte != kStx) {
        error_ = FrameError::kNoStx;
        state_ = State::kSwallow;
        return Step::kNeedMore;
      }
      if (count_ == 4) {
        data_length_ = DataLengthOf(frame_[2], frame_[3]);
        if (data_length_ < 0 || data_length_ > kMaxFrameData) {
          // No frame can be this long; whatever comes is a wrong length.
          error_ = FrameError::kBadLength;
          state_ = State::kSwallow;
          return Step::kNeedMore;
        }
      }
      if (count_ >= 4 && count_ == static_cast<size_t>(data_length_) + 6) {
        state_ = State::kAtLength;
        const size_t etx_at = 4 + static_cast<size_t>(data_length_);
        if (frame_[etx_at] != kEtx) {
          error_ = FrameError::kNoEtx;
          step_ = Step::kError;
          return step_;
        }
        uint8_t bcc = 0;
        for (size_t i = 2; i <= etx_at; ++i) bcc ^= frame_[i];
        if (bcc != frame_[etx_at + 1]) {
          error_ = FrameError::kBadBcc;
          step_ = Step::kError;
          return step_;
        }
        error_ = FrameError::kNone;
        step_ = Step::kDataFrame;
        return step_;
      }
      return Step::kNeedMore;

    case State::kAtLength:
      // A byte behind a frame of the announced length: the frame is longer
      // than it says, whatever its ETX and BCC looked like.
      error_ = FrameError::kTooLong;
      state_ = State::kSwallow;
      step_ = Step::kNeedMore;
      [[fallthrough]];
    case State::kSwallow:
      ++count_;
      if (count_ >= kMaxFrameBytes) return EndOfInput();
      return Step::kNeedMore;

    case State::kDone:
      return step_;
  }
  return step_;
}

FrameDecoder::Step FrameDecoder::EndOfInput() {
  switch (state_) {
    case State::kStart:
      return Step::kNeedMore;
    case State::kFrame:
      // Stopped before the announced length (or before the length was known).
      return Finish(Step::kError, count_ < 6 ? FrameError::kTooShort : FrameError::kBadLength);
    case State::kSwallow:
      return Finish(Step::kError, count_ < 6 ? FrameError::kTooShort : error_);
    case State::kAtLength:
      return Finish(step_, error_);
    case State::kDone:
      return step_;
  }
  return step_;
}

size_t FrameDecoder::BytesWanted() const {
  switch (state_) {
    case State::kStart:
      return 1;
    case State::kFrame:
      if (count_ < 4) return 4 - count_;
      return static_cast<size_t>(data_length_) + 6 - count_;
    case State::kSwallow:
      return count_ < kMaxFrameBytes ? kMaxFrameBytes - count_ : 0;
    case State::kAtLength:
    case State::kDone:
      return 0;
  }
  return 0;
}

std::vector<uint8_t> FrameDecoder::data() const {
  if (step_ != Step::kDataFrame || data_length_ <= 0) return {};
  return std::vector<uint8_t>(frame_.begin() + 4, frame_.begin() + 4 + data_length_);
}

void FrameDecoder::Reset() { *this = FrameDecoder(); }

}  // namespace vexokrt::link
