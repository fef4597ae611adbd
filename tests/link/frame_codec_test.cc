// SPDX-License-Identifier: Apache-2.0
#include "link/frame_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vexokrt::link {
namespace {

using Bytes = std::vector<uint8_t>;
using Step = FrameDecoder::Step;

// The worked example: one data byte 'A'; BCC = 30 ^ 31 ^ 41 ^ 03.
const Bytes kFrameA = {0x10, 0x02, 0x30, 0x31, 0x41, 0x03, 0x43};

// Feeds every byte (ignoring pushes after a final verdict, as the link does)
// and then reports the end of input.
FrameDecoder DecodeAll(const Bytes& bytes, Step* step_out = nullptr) {
  FrameDecoder decoder;
  Step step = Step::kNeedMore;
  for (const uint8_t b : bytes) {
    step = decoder.Push(b);
    if (step == Step::kAnswerByte || (step == Step::kError && !decoder.AtAnnouncedLength())) break;
  }
  if (step == Step::kNeedMore || decoder.AtAnnouncedLength()) step = decoder.EndOfInput();
  if (step_out) *step_out = step;
  return decoder;
}

TEST(BuildCommandFrame, StatusCommand_GoesOutWithStxEtxAndBcc) {
  const Bytes command = {0x11, 0x69, 0x30, 0x30};
  EXPECT_EQ(BuildCommandFrame(command), (Bytes{0x02, 0x11, 0x69, 0x30, 0x30, 0x03, 0x7B}));
}

TEST(BuildCommandFrame, EmptyCommand_IsStxEtxAndEtxAsBcc) {
  EXPECT_EQ(BuildCommandFrame({}), (Bytes{0x02, 0x03, 0x03}));
}

TEST(DataLengthOf, LengthCharacters) {
  EXPECT_EQ(DataLengthOf(0x00, 0x05), 5);
  EXPECT_EQ(DataLengthOf('3', '3'), 51);
  EXPECT_EQ(DataLengthOf('1', '<'), 28);  // '<' is 12
  EXPECT_EQ(DataLengthOf('@', '0'), 256);
  EXPECT_EQ(DataLengthOf('0', '0'), 0);
  EXPECT_LT(DataLengthOf('/', '0'), 0);
  EXPECT_GT(DataLengthOf('@', '1'), kMaxFrameData);
}

TEST(FrameDecoder, WorkedExample_YieldsOneDataByte) {
  Step step;
  const FrameDecoder decoder = DecodeAll(kFrameA, &step);
  EXPECT_EQ(step, Step::kDataFrame);
  EXPECT_EQ(decoder.data(), Bytes{'A'});
  EXPECT_EQ(decoder.answer_byte(), 0);
}

TEST(FrameDecoder, WorkedExample_CompleteAtItsLastByteWithoutEndOfInput) {
  FrameDecoder decoder;
  for (size_t i = 0; i + 1 < kFrameA.size(); ++i) {
    EXPECT_EQ(decoder.Push(kFrameA[i]), Step::kNeedMore) << "byte " << i;
  }
  EXPECT_EQ(decoder.Push(kFrameA.back()), Step::kDataFrame);
  EXPECT_TRUE(decoder.AtAnnouncedLength());
  EXPECT_EQ(decoder.BytesWanted(), 0u);
}

TEST(FrameDecoder, AnyOtherBcc_IsBccError) {
  for (int bcc = 0; bcc < 256; ++bcc) {
    if (bcc == 0x43) continue;
    Bytes frame = kFrameA;
    frame.back() = static_cast<uint8_t>(bcc);
    Step step;
    const FrameDecoder decoder = DecodeAll(frame, &step);
    ASSERT_EQ(step, Step::kError) << bcc;
    EXPECT_EQ(decoder.error(), FrameError::kBadBcc) << bcc;
  }
}

TEST(FrameDecoder, LengthCharacters_ZeroThenBinaryOrTwoDigits) {
  Bytes five = {0x10, 0x02, 0x00, 0x05, 'a', 'b', 'c', 'd', 'e', 0x03};
  uint8_t bcc = 0;
  for (size_t i = 2; i < five.size(); ++i) bcc ^= five[i];
  five.push_back(bcc);
  Step step;
  EXPECT_EQ(DecodeAll(five, &step).data(), (Bytes{'a', 'b', 'c', 'd', 'e'}));
  EXPECT_EQ(step, Step::kDataFrame);

  Bytes status = {0x10, 0x02, '3', '3'};
  for (int i = 0; i < 51; ++i) status.push_back(static_cast<uint8_t>('0' + i % 10));
  status.push_back(0x03);
  bcc = 0;
  for (size_t i = 2; i < status.size(); ++i) bcc ^= status[i];
  status.push_back(bcc);
  EXPECT_EQ(DecodeAll(status, &step).data().size(), 51u);
  EXPECT_EQ(step, Step::kDataFrame);
}

TEST(FrameDecoder, EmptyDataFrame_IsAFrameWithoutData) {
  Step step;
  const FrameDecoder decoder = DecodeAll({0x10, 0x02, 0x30, 0x30, 0x03, 0x03}, &step);
  EXPECT_EQ(step, Step::kDataFrame);
  EXPECT_TRUE(decoder.data().empty());
}

TEST(FrameDecoder, FirstByte_AnswerBytesAcceptedEverythingElseButDleRefused) {
  const Bytes accepted = {0x06, 0x07, 0x08, 0x0A, 0x11, 0x13, 0x14, 0x15, 0x17, 0x18, 0x19, 0x1A};
  for (int b = 0; b < 256; ++b) {
    FrameDecoder decoder;
    const Step step = decoder.Push(static_cast<uint8_t>(b));
    if (b == 0x10) {
      EXPECT_EQ(step, Step::kNeedMore);
    } else if (std::find(accepted.begin(), accepted.end(), b) != accepted.end()) {
      EXPECT_EQ(step, Step::kAnswerByte) << b;
      EXPECT_EQ(decoder.answer_byte(), b);
      EXPECT_TRUE(decoder.data().empty());
    } else {
      EXPECT_EQ(step, Step::kError) << b;
      EXPECT_EQ(decoder.error(), FrameError::kUnknownFirstByte) << b;
    }
  }
}

TEST(FrameDecoder, FrameStoppingShort_TooShortBelowSixBytesWrongLengthAbove) {
  for (size_t cut = 1; cut < kFrameA.size(); ++cut) {
    Step step;
    const FrameDecoder decoder = DecodeAll(Bytes(kFrameA.begin(), kFrameA.begin() + cut), &step);
    ASSERT_EQ(step, Step::kError) << cut;
    EXPECT_EQ(decoder.error(), cut < 6 ? FrameError::kTooShort : FrameError::kBadLength) << cut;
  }
}

TEST(FrameDecoder, NoStx_ReportedOnlyOnceSixBytesCame) {
  Step step;
  Bytes no_stx = kFrameA;
  no_stx[1] = 0x03;
  EXPECT_EQ(DecodeAll(no_stx, &step).error(), FrameError::kNoStx);
  // Five bytes: too short wins over the missing STX.
  EXPECT_EQ(DecodeAll(Bytes(no_stx.begin(), no_stx.begin() + 5), &step).error(), FrameError::kTooShort);
}

TEST(FrameDecoder, NoStx_SwallowsUntilTheLineIsQuiet) {
  FrameDecoder decoder;
  decoder.Push(0x10);
  EXPECT_EQ(decoder.Push(0x00), Step::kNeedMore);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(decoder.Push(0x41), Step::kNeedMore);
  EXPECT_EQ(decoder.EndOfInput(), Step::kError);
  EXPECT_EQ(decoder.error(), FrameError::kNoStx);
}

TEST(FrameDecoder, MissingEtx_IsEtxError) {
  Bytes frame = kFrameA;
  frame[5] = 0x04;
  Step step;
  EXPECT_EQ(DecodeAll(frame, &step).error(), FrameError::kNoEtx);
  EXPECT_EQ(step, Step::kError);
}

TEST(FrameDecoder, BytesBehindTheAnnouncedLength_MakeItTooLongWhateverTheVerdictWas) {
  for (const uint8_t bcc : {uint8_t{0x43}, uint8_t{0x44}}) {  // good and bad BCC
    Bytes frame = kFrameA;
    frame.back() = bcc;
    FrameDecoder decoder;
    for (const uint8_t b : frame) decoder.Push(b);
    EXPECT_EQ(decoder.Push(0x06), Step::kNeedMore);
    EXPECT_EQ(decoder.EndOfInput(), Step::kError);
    EXPECT_EQ(decoder.error(), FrameError::kTooLong);
  }
}

TEST(FrameDecoder, ImpossibleLength_SwallowsAndEndsAtTheFrameLimit) {
  FrameDecoder decoder;
  for (const uint8_t b : {0x10, 0x02, 0xFF, 0x30}) decoder.Push(static_cast<uint8_t>(b));
  size_t pushed = 4;
  Step step = Step::kNeedMore;
  while (step == Step::kNeedMore) {
    step = decoder.Push(0x55);
    ++pushed;
    ASSERT_LE(pushed, kMaxFrameBytes);
  }
  EXPECT_EQ(pushed, kMaxFrameBytes);
  EXPECT_EQ(step, Step::kError);
  EXPECT_EQ(decoder.error(), FrameError::kBadLength);
}

TEST(FrameDecoder, LargestFrame_IsAcceptedAndOneMoreByteIsTooLong) {
  Bytes frame = {0x10, 0x02, '@', '0'};
  for (int i = 0; i < kMaxFrameData; ++i) frame.push_back(static_cast<uint8_t>(i));
  frame.push_back(0x03);
  uint8_t bcc = 0;
  for (size_t i = 2; i < frame.size(); ++i) bcc ^= frame[i];
  frame.push_back(bcc);
  ASSERT_EQ(frame.size(), kMaxFrameBytes);
  Step step;
  EXPECT_EQ(DecodeAll(frame, &step).data().size(), 256u);
  EXPECT_EQ(step, Step::kDataFrame);

  FrameDecoder decoder;
  for (const uint8_t b : frame) decoder.Push(b);
  EXPECT_EQ(decoder.Push(0x00), Step::kError);  // at the limit: no waiting for the quiet
  EXPECT_EQ(decoder.error(), FrameError::kTooLong);
}

TEST(FrameDecoder, BytesWanted_ReadingExactlyThatNeverPassesTheFrame) {
  FrameDecoder decoder;
  size_t fed = 0;
  while (decoder.BytesWanted() > 0) {
    const size_t want = decoder.BytesWanted();
    ASSERT_LE(fed + want, kFrameA.size());
    for (size_t i = 0; i < want; ++i) decoder.Push(kFrameA[fed++]);
  }
  EXPECT_EQ(fed, kFrameA.size());
  EXPECT_EQ(decoder.EndOfInput(), Step::kDataFrame);
}

// What a whole read of |bytes| gives, the checks made in their order on the
// complete byte sequence. Used as the reference for the incremental decoder.
FrameError WholeReadVerdict(const Bytes& bytes) {
  if (bytes[0] != 0x10) return FrameError::kUnknownFirstByte;  // answer bytes are tested separately
  const size_t len = bytes.size();
  if (len < 6) return FrameError::kTooShort;
  if (bytes[1] != 0x02) return FrameError::kNoStx;
  const int n = DataLengthOf(bytes[2], bytes[3]);
  if (n < 0 || static_cast<size_t>(n) + 6 != len) return FrameError::kBadLength;
  if (bytes[4 + n] != 0x03) return FrameError::kNoEtx;
  uint8_t bcc = 0;
  for (size_t i = 2; i <= static_cast<size_t>(4 + n); ++i) bcc ^= bytes[i];
  if (bcc != bytes[5 + n]) return FrameError::kBadBcc;
  return FrameError::kNone;
}

bool SameMessage(FrameError a, FrameError b) {
  auto group = [](FrameError e) {
    switch (e) {
      case FrameError::kTooShort:
      case FrameError::kBadLength:
      case FrameError::kTooLong:
      case FrameError::kUnknownFirstByte:
        return 1;  // one Error line covers all of these
      case FrameError::kNone:
      case FrameError::kNoStx:
      case FrameError::kNoEtx:
      case FrameError::kBadBcc:
        break;
    }
    return 10 + static_cast<int>(e);
  };
  return group(a) == group(b);
}

// Random byte streams after a DLE, many of them near-valid frames, must
// decode to the same verdict as a whole read of the same bytes, without
// reading out of bounds (sanitizer builds).
TEST(FrameDecoder, RandomStreams_AgreeWithAWholeRead) {
  std::mt19937 random(20240611);
  for (int iteration = 0; iteration < 20000; ++iteration) {
    Bytes bytes = {0x10};
    const int shape = static_cast<int>(random() % 4);
    if (shape == 0) {
      // Pure noise.
      const size_t len = random() % 300;
      for (size_t i = 0; i < len; ++i) bytes.push_back(static_cast<uint8_t>(random()));
    } else {
      // A frame with a random length and a chance of damage.
      const int n = static_cast<int>(random() % 40);
      bytes.push_back(0x02);
      bytes.push_back(static_cast<uint8_t>(0x30 + n / 16));
      bytes.push_back(static_cast<uint8_t>(0x30 + n % 16));
      for (int i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(random()));
      bytes.push_back(0x03);
      uint8_t bcc = 0;
      for (size_t i = 2; i < bytes.size(); ++i) bcc ^= bytes[i];
      bytes.push_back(bcc);
      if (shape == 2) bytes[random() % bytes.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
      if (shape == 3) bytes.resize(1 + random() % (bytes.size() + 3), 0x55);
      bytes[0] = 0x10;
    }
    Step step;
    const FrameDecoder decoder = DecodeAll(bytes, &step);
    const FrameError expected = WholeReadVerdict(bytes);
    if (expected == FrameError::kNone) {
      ASSERT_EQ(step, Step::kDataFrame) << "iteration " << iteration;
      ASSERT_EQ(decoder.data(), Bytes(bytes.begin() + 4, bytes.end() - 2));
    } else {
      ASSERT_EQ(step, Step::kError) << "iteration " << iteration;
      ASSERT_TRUE(SameMessage(decoder.error(), expected))
          << "iteration " << iteration << ": " << static_cast<int>(decoder.error()) << " vs "
          << static_cast<int>(expected);
    }
    ASSERT_LE(decoder.byte_count(), kMaxFrameBytes);
  }
}

}  // namespace
}  // namespace vexokrt::link
