// SPDX-License-Identifier: Apache-2.0
#include "sim/frame_codec.h"

namespace vexokrt::sim {

std::uint8_t Bcc(std::span<const std::uint8_t> bytes) {
  std::uint8_t bcc = 0;
  for (std::uint8_t b : bytes) bcc ^= b;
  return bcc;
}

std::vector<std::uint8_t> EncodeHostFrame(std::span<const std::uint8_t> body) {
  std::vector<std::uint8_t> frame;
  frame.reserve(body.size() + 3);
  frame.push_back(kStx);
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(kEtx);
  frame.push_back(static_cast<std::uint8_t>(Bcc(body) ^ kEtx));
  return frame;
}

std::vector<std::uint8_t> EncodeDataAnswer(std::span<const std::uint8_t> data, LengthForm form) {
  std::size_t n = data.size() > kMaxAnswerData ? kMaxAnswerData : data.size();
  std::vector<std::uint8_t> frame;
  frame.reserve(n + 6);
  frame.push_back(kDle);
  frame.push_back(kStx);
  if (form == LengthForm::kBinary) {
    frame.push_back(0x00);
    frame.push_back(static_cast<std::uint8_t>(n));
  } else {
    frame.push_back(static_cast<std::uint8_t>('0' + (n >> 4)));
    frame.push_back(static_cast<std::uint8_t>('0' + (n & 0x0F)));
  }
  frame.insert(frame.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
  frame.push_back(kEtx);
  frame.push_back(Bcc(std::span(frame).subspan(2)));
  return frame;
}

void HostFrameDecoder::Reset() {
  state_ = State::kIdle;
  raw_.clear();
  body_.clear();
  noise_.clear();
  expected_body_.reset();
  scan_to_etx_ = false;
}

void HostFrameDecoder::Feed(std::span<const std::uint8_t> bytes, std::vector<Event>& events) {
  for (std::uint8_t b : bytes) FeedByte(b, events);
}

void HostFrameDecoder::Flush(bool abandon_frame, std::vector<Event>& events) {
  FlushNoise(events);
  if (abandon_frame && state_ != State::kIdle) EmitFrame(Event::Kind::kBadFrame, "incomplete frame", events);
}

void HostFrameDecoder::FlushNoise(std::vector<Event>& events) {
  if (noise_.empty()) return;
  Event event;
  event.kind = Event::Kind::kNoise;
  event.raw = std::move(noise_);
  noise_.clear();
  events.push_back(std::move(event));
}

void HostFrameDecoder::EmitFrame(Event::Kind kind, std::string detail, std::vector<Event>& events) {
  Event event;
  event.kind = kind;
  event.raw = std::move(raw_);
  if (kind == Event::Kind::kCommand) event.body = std::move(body_);
  event.detail = std::move(detail);
  events.push_back(std::move(event));
  state_ = State::kIdle;
  raw_.clear();
  body_.clear();
  expected_body_.reset();
  scan_to_etx_ = false;
}

void HostFrameDecoder::StartFrame(std::vector<Event>& events) {
  FlushNoise(events);
  state_ = State::kBody;
  raw_.assign(1, kStx);
  body_.clear();
  expected_body_.reset();
  scan_to_etx_ = false;
}

void HostFrameDecoder::FeedByte(std::uint8_t byte, std::vector<Event>& events) {
  switch (state_) {
    case State::kIdle:
      if (byte == kStx) {
        StartFrame(events);
      } else if (byte == kEnq) {
        FlushNoise(events);
        Event event;
        event.kind = Event::Kind::kEnquiry;
        event.raw.assign(1, kEnq);
        events.push_back(std::move(event));
      } else {
        noise_.push_back(byte);
      }
      return;

    case State::kBody: {
      // Download frames carry binary data and a binary length, so for them no
      // byte value means anything until the length is used up.
      bool binary = body_.size() >= 2 && body_[0] == kDc1 && (body_[1] == 'M' || body_[1] == 'N');
      if (!expected_body_ && !binary) {
        if (byte == kEtx) {
          raw_.push_back(byte);
          state_ = State::kAwaitBcc;
          return;
        }
        // A host that gives up on a frame starts the next one or polls; take
        // that as the end of the broken frame rather than as its content.
        if (byte == kStx) {
          EmitFrame(Event::Kind::kBadFrame, "STX inside a frame", events);
          StartFrame(events);
          return;
        }
        if (byte == kEnq) {
          EmitFrame(Event::Kind::kBadFrame, "ENQ inside a frame", events);
          FeedByte(byte, events);
          return;
        }
      }
      raw_.push_back(byte);
      body_.push_back(byte);
      if (body_.size() == 4 && !scan_to_etx_ && !expected_body_) {
        std::size_t n = 0;
        bool usable = false;
        if (body_[0] == kDc1 && binary) {
          n = static_cast<std::size_t>(body_[2]) << 8 | body_[3];
          usable = n + 4 <= kMaxCommandBody;
        } else if (body_[0] == kDc1 && body_[2] >= 0x30 && body_[2] <= 0x3F && body_[3] >= 0x30 &&
                   body_[3] <= 0x3F) {
          n = static_cast<std::size_t>(body_[2] - 0x30) << 4 | static_cast<std::size_t>(body_[3] - 0x30);
          usable = true;
        }
        if (usable) {
          expected_body_ = 4 + n;
        } else {
          scan_to_etx_ = true;
        }
      }
      if (expected_body_ && body_.size() == *expected_body_) {
        state_ = State::kAwaitEtx;
      } else if (body_.size() > kMaxCommandBody) {
        EmitFrame(Event::Kind::kBadFrame, "frame too long", events);
      }
      return;
    }

    case State::kAwaitEtx:
      if (byte == kEtx) {
        raw_.push_back(byte);
        state_ = State::kAwaitBcc;
        return;
      }
      EmitFrame(Event::Kind::kBadFrame, "no ETX where the length field ends the frame", events);
      FeedByte(byte, events);
      return;

    case State::kAwaitBcc: {
      raw_.push_back(byte);
      std::uint8_t expected = static_cast<std::uint8_t>(Bcc(body_) ^ kEtx);
      if (byte == expected) {
        EmitFrame(Event::Kind::kCommand, "", events);
      } else {
        EmitFrame(Event::Kind::kBadFrame, "BCC error", events);
      }
      return;
    }
  }
}

ParsedAnswer ParseAnswer(std::span<const std::uint8_t> bytes) {
  ParsedAnswer answer;
  if (bytes.empty()) return answer;
  if (bytes[0] != kDle) {
    answer.kind = ParsedAnswer::Kind::kControl;
    answer.control = bytes[0];
    answer.consumed = 1;
    return answer;
  }
  if (bytes.size() < 4) return answer;
  if (bytes[1] != kStx) {
    answer.kind = ParsedAnswer::Kind::kError;
    answer.error = "no STX after DLE";
    answer.consumed = 2;
    return answer;
  }
  std::size_t n = 0;
  if (bytes[2] == 0x00) {
    n = bytes[3];
  } else {
    n = static_cast<std::size_t>(bytes[2] - 0x30) * 16 + static_cast<std::size_t>(bytes[3] - 0x30);
  }
  if (bytes.size() < n + 6) return answer;
  answer.consumed = n + 6;
  if (bytes[4 + n] != kEtx) {
    answer.kind = ParsedAnswer::Kind::kError;
    answer.error = "no ETX";
    return answer;
  }
  if (Bcc(bytes.subspan(2, n + 3)) != bytes[5 + n]) {
    answer.kind = ParsedAnswer::Kind::kError;
    answer.error = "BCC error";
    return answer;
  }
  answer.kind = ParsedAnswer::Kind::kData;
  answer.data.assign(bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(n));
  return answer;
}

}  // namespace vexokrt::sim
