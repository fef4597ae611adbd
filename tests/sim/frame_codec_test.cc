// SPDX-License-Identifier: Apache-2.0
#include "sim/frame_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace vexokrt::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = HostFrameDecoder::Event::Kind;

std::vector<HostFrameDecoder::Event> DecodeInChunks(const Bytes& stream, std::size_t chunk) {
  HostFrameDecoder decoder;
  std::vector<HostFrameDecoder::Event> events;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    std::size_t n = std::min(chunk, stream.size() - at);
    decoder.Feed(std::span(stream).subspan(at, n), events);
  }
  decoder.Flush(false, events);
  return events;
}

TEST(FrameCodec, HostFrame_StatusReadOfTheOlderModels_IsTheWorkedExample) {
  EXPECT_EQ(EncodeHostFrame(Bytes{0x11, 0x69, 0x30, 0x30}), (Bytes{0x02, 0x11, 0x69, 0x30, 0x30, 0x03, 0x7B}));
}

TEST(FrameCodec, DataAnswer_OneByte_IsTheWorkedExample) {
  EXPECT_EQ(EncodeDataAnswer(Bytes{'A'}), (Bytes{0x10, 0x02, 0x30, 0x31, 0x41, 0x03, 0x43}));
}

TEST(FrameCodec, DataAnswer_LengthCharacters_AreNibbleCharacters) {
  Bytes frame = EncodeDataAnswer(Bytes(51, '0'));
  EXPECT_EQ(frame[2], '3');
  EXPECT_EQ(frame[3], '3');
  Bytes longest = EncodeDataAnswer(Bytes(255, 'x'));
  EXPECT_EQ(longest.size(), 261u);
  EXPECT_EQ(longest[2], '?');
  EXPECT_EQ(longest[3], '?');
}

TEST(FrameCodec, DataAnswer_BinaryLengthForm_ZeroThenTheLength) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{51}, std::size_t{70}, std::size_t{255}}) {
    SCOPED_TRACE(n);
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 3);  // ETX and DLE values too
    Bytes frame = EncodeDataAnswer(data, LengthForm::kBinary);
    ASSERT_EQ(frame.size(), n + 6);
    EXPECT_EQ(frame[0], kDle);
    EXPECT_EQ(frame[1], kStx);
    EXPECT_EQ(frame[2], 0x00);
    EXPECT_EQ(frame[3], n);
    EXPECT_EQ(frame[4 + n], kEtx);
    EXPECT_EQ(frame[5 + n], Bcc(std::span(frame).subspan(2, n + 3)));
    ParsedAnswer back = ParseAnswer(frame);
    ASSERT_EQ(back.kind, ParsedAnswer::Kind::kData);
    EXPECT_EQ(back.data, data);
  }
  // The worked example of the one-byte answer in this form.
  EXPECT_EQ(EncodeDataAnswer(Bytes{'A'}, LengthForm::kBinary), (Bytes{0x10, 0x02, 0x00, 0x01, 0x41, 0x03, 0x43}));
}

TEST(FrameCodec, ParseAnswer_ReadsBothLengthForms) {
  ParsedAnswer a = ParseAnswer(Bytes{0x10, 0x02, 0x30, 0x31, 0x41, 0x03, 0x43});
  ASSERT_EQ(a.kind, ParsedAnswer::Kind::kData);
  EXPECT_EQ(a.data, Bytes{'A'});
  // L1 = 0x00: L2 is the length itself.
  Bytes five{0x10, 0x02, 0x00, 0x05, '1', '2', '3', '4', '5', 0x03};
  five.push_back(Bcc(std::span(five).subspan(2)));
  ParsedAnswer b = ParseAnswer(five);
  ASSERT_EQ(b.kind, ParsedAnswer::Kind::kData);
  EXPECT_EQ(b.data.size(), 5u);
  ParsedAnswer bad = ParseAnswer(Bytes{0x10, 0x02, 0x30, 0x31, 0x41, 0x03, 0x44});
  EXPECT_EQ(bad.kind, ParsedAnswer::Kind::kError);
  ParsedAnswer ack = ParseAnswer(Bytes{0x06});
  ASSERT_EQ(ack.kind, ParsedAnswer::Kind::kControl);
  EXPECT_EQ(ack.control, 0x06);
}

TEST(HostFrameDecoder, EveryChunking_GivesTheSameFrames) {
  Bytes stream;
  Bytes status = EncodeHostFrame(Bytes{0x11, 'H', '0', '0'});
  Bytes change = EncodeHostFrame(Bytes{0x11, '!', '0', '6', '0', '0', '1', '5', '0', '0'});
  stream.insert(stream.end(), status.begin(), status.end());
  stream.push_back(kEnq);
  stream.insert(stream.end(), change.begin(), change.end());
  for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    SCOPED_TRACE(chunk);
    std::vector<HostFrameDecoder::Event> events = DecodeInChunks(stream, chunk);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, Kind::kCommand);
    EXPECT_EQ(events[0].body, (Bytes{0x11, 'H', '0', '0'}));
    EXPECT_EQ(events[0].raw, status);
    EXPECT_EQ(events[1].kind, Kind::kEnquiry);
    EXPECT_EQ(events[2].kind, Kind::kCommand);
    EXPECT_EQ(events[2].raw, change);
  }
}

TEST(HostFrameDecoder, WrongBcc_IsABadFrame) {
  Bytes frame = EncodeHostFrame(Bytes{0x11, 'i', '0', '0'});
  frame.back() ^= 1;
  std::vector<HostFrameDecoder::Event> events = DecodeInChunks(frame, frame.size());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::kBadFrame);
  EXPECT_EQ(events[0].detail, "BCC error");
  EXPECT_EQ(events[0].raw, frame);
}

TEST(HostFrameDecoder, LengthFieldShorterThanTheData_IsABadFrameAndTheRestNoise) {
  // "H01" promises one data byte, but two follow before ETX.
  Bytes stream{0x02, 0x11, 'H', '0', '1', 'x', 'y', 0x03, 0x00};
  std::vector<HostFrameDecoder::Event> events = DecodeInChunks(stream, 1);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::kBadFrame);
  EXPECT_TRUE(events[0].detail.starts_with("no ETX"));
  EXPECT_EQ(events[1].kind, Kind::kNoise);
  EXPECT_EQ(events[1].raw, (Bytes{'y', 0x03, 0x00}));
}

TEST(HostFrameDecoder, DownloadBlockHoldingEtx_IsTakenByItsLength) {
  // A data frame of one byte: binary length 0x0003 (ETX's value), serial 0,
  // and a block that is itself ETX.
  Bytes body{0x11, 'N', 0x00, 0x03, 0x00, 0x00, 0x03};
  Bytes frame = EncodeHostFrame(body);
  std::vector<HostFrameDecoder::Event> events = DecodeInChunks(frame, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::kCommand);
  EXPECT_EQ(events[0].body, body);
}

TEST(HostFrameDecoder, NoiseBetweenFrames_IsReportedSeparately) {
  Bytes stream{0x41, 0x42};
  Bytes frame = EncodeHostFrame(Bytes{0x11, ':', '0', '0'});
  stream.insert(stream.end(), frame.begin(), frame.end());
  std::vector<HostFrameDecoder::Event> events = DecodeInChunks(stream, stream.size());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::kNoise);
  EXPECT_EQ(events[0].raw, (Bytes{0x41, 0x42}));
  EXPECT_EQ(events[1].kind, Kind::kCommand);
}

TEST(HostFrameDecoder, HostStartingOverMidFrame_AbandonsTheFirst) {
  // A frame without a length field (no DC1) is cut short by a new STX.
  Bytes stream{0x02, 'x', 'y'};
  Bytes frame = EncodeHostFrame(Bytes{0x11, 'H', '0', '0'});
  stream.insert(stream.end(), frame.begin(), frame.end());
  std::vector<HostFrameDecoder::Event> events = DecodeInChunks(stream, 1);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::kBadFrame);
  EXPECT_EQ(events[1].kind, Kind::kCommand);
}

TEST(HostFrameDecoder, EndlessFrame_IsRefusedAsTooLong) {
  Bytes stream{0x02};
  stream.insert(stream.end(), 400, 'z');
  std::vector<HostFrameDecoder::Event> events = DecodeInChunks(stream, 7);
  ASSERT_GE(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::kBadFrame);
  EXPECT_EQ(events[0].detail, "frame too long");
}

TEST(HostFrameDecoder, FlushWithAbandon_ReportsThePartialFrame) {
  HostFrameDecoder decoder;
  std::vector<HostFrameDecoder::Event> events;
  decoder.Feed(Bytes{0x02, 0x11, 'H'}, events);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(decoder.InFrame());
  decoder.Flush(true, events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].detail, "incomplete frame");
  EXPECT_FALSE(decoder.InFrame());
}

}  // namespace
}  // namespace vexokrt::sim
