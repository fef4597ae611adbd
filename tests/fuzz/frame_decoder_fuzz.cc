// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: the device-to-host frame decoder, fed byte by byte as the
// line delivers them. Whatever the bytes, a verdict must be consistent with
// them: a data frame is DLE STX L1 L2, the announced number of data bytes,
// ETX and a matching BCC; an answer byte is one the device may send.
#include <cstdint>
#include <cstdlib>

#include "link/frame_codec.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using vexokrt::link::FrameDecoder;
  FrameDecoder decoder;
  FrameDecoder::Step step = FrameDecoder::Step::kNeedMore;
  size_t fed = 0;
  while (fed < size && step == FrameDecoder::Step::kNeedMore) step = decoder.Push(data[fed++]);
  if (step == FrameDecoder::Step::kNeedMore) step = decoder.EndOfInput();
  Check(decoder.byte_count() <= vexokrt::link::kMaxFrameBytes || step != FrameDecoder::Step::kDataFrame);
  switch (step) {
    case FrameDecoder::Step::kAnswerByte:
      Check(vexokrt::link::IsAnswerByte(decoder.answer_byte()));
      Check(data[0] == decoder.answer_byte());
      break;
    case FrameDecoder::Step::kDataFrame: {
      const auto body = decoder.data();
      Check(body.size() <= static_cast<size_t>(vexokrt::link::kMaxFrameData));
      Check(size >= body.size() + 6);
      Check(static_cast<int>(body.size()) == vexokrt::link::DataLengthOf(data[2], data[3]));
      uint8_t bcc = 0;
      for (size_t i = 2; i < body.size() + 5; ++i) bcc ^= data[i];
      Check(data[body.size() + 4] == 0x03);
      Check(bcc == data[body.size() + 5]);
      for (size_t i = 0; i < body.size(); ++i) Check(body[i] == data[4 + i]);
      break;
    }
    case FrameDecoder::Step::kError:
      Check(decoder.error() != vexokrt::link::FrameError::kNone);
      break;
    case FrameDecoder::Step::kNeedMore:
      Check(size == 0);
      break;
  }
  return 0;
}
