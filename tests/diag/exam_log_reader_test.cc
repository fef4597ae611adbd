// SPDX-License-Identifier: Apache-2.0
#include "diag/exam_log_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/exam_log.h"
#include "support/temp_dir.h"

namespace vexokrt::diag {
namespace {

using vexokrt::testing::ReadFileBytes;
using vexokrt::testing::TempDir;

// Writes records whose code is their number (1, 2, ...) and whose argument
// varies in width, so lines differ in length and laps end at odd places.
class RingWriter {
 public:
  explicit RingWriter(const std::string& path) { log_.SetFileName(path); }
  void SetLimit(int32_t limit) { log_.SetSizeLimit(limit); }
  void Write(int count) {
    for (int i = 0; i < count; ++i) {
      ++written_;
      log_.Write(1, written_, (written_ * 7919L) % 100000, written_ % 3 == 0 ? 106 : 0);
    }
  }
  long written() const { return written_; }

 private:
  ExamLog log_;
  long written_ = 0;
};

std::vector<long> Codes(const std::vector<ExamRecord>& records) {
  std::vector<long> codes;
  for (const ExamRecord& record : records) codes.push_back(record.code);
  return codes;
}

TEST(ExamLogReader, RingOfAnyFill_ListsTheNewestRecordsOldestFirstWithoutGaps) {
  TempDir dir;
  for (const int32_t limit : {66 + 120, 66 + 333, 2000}) {
    for (int count = 1; count <= 150; count += 7) {
      const std::string path = dir.file("ring" + std::to_string(limit) + "_" + std::to_string(count));
      RingWriter writer(path);
      writer.SetLimit(limit);
      writer.Write(count);
      const ExamReadResult read = ReadExamLog(path);
      ASSERT_TRUE(read.ring) << read.error << " limit " << limit << " count " << count;
      const std::vector<long> codes = Codes(read.ring->records);
      ASSERT_FALSE(codes.empty());
      EXPECT_EQ(codes.back(), count) << "limit " << limit << " count " << count;
      for (size_t i = 1; i < codes.size(); ++i) {
        ASSERT_EQ(codes[i], codes[i - 1] + 1) << "limit " << limit << " count " << count << " at " << i;
      }
      // A ring holds at least what fits below its limit, less one line of
      // the longest kind (at most 36 bytes here) lost to the wrap.
      const long room = (std::min<long>(limit, static_cast<long>(ReadFileBytes(path).size())) - 66) / 36 - 1;
      EXPECT_GE(static_cast<long>(codes.size()), std::min<long>(count, room)) << "limit " << limit;
      EXPECT_EQ(read.ring->records.back().result, count % 3 == 0 ? 106 : 0);
    }
  }
}

TEST(ExamLogReader, LimitLoweredAfterALongerLap_OlderLapStillComesFirst) {
  TempDir dir;
  const std::string path = dir.file("ExamlogS.txt");
  RingWriter writer(path);
  writer.SetLimit(1200);
  writer.Write(30);  // one lap, not wrapped
  writer.SetLimit(66 + 200);
  writer.Write(25);  // several small laps
  const ExamReadResult read = ReadExamLog(path);
  ASSERT_TRUE(read.ring) << read.error;
  const std::vector<long> codes = Codes(read.ring->records);
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), 55);
  EXPECT_LE(codes.front(), 30) << "the records of the long lap behind the small ones are the oldest";
  for (size_t i = 1; i < codes.size(); ++i) EXPECT_LT(codes[i - 1], codes[i]) << "at " << i;
}

TEST(ExamLogReader, DamagedInput_IsRefusedWithItsReason) {
  TempDir dir;
  const std::string path = dir.file("ring");
  RingWriter writer(path);
  writer.SetLimit(66 + 150);
  writer.Write(12);  // wrapped
  const std::string good = ReadFileBytes(path);
  ASSERT_TRUE(ParseExamLog(good).ring);
  const long position = ParseExamLog(good).ring->write_position;
  ASSERT_LT(position, static_cast<long>(good.size())) << "the ring should have wrapped";

  std::string bad_header = good;
  bad_header[3] = 'X';
  std::string bad_position = good;
  bad_position.replace(54, 10, "  12x4    ");
  std::string position_in_header = good;
  position_in_header.replace(54, 10, "        10");
  std::string garbage_line = good;
  garbage_line.replace(66, 8, "\x01\xFFgarbag");
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"empty file", "", "truncated: 0 bytes"},
      {"cut inside the header", good.substr(0, 60), "truncated: 60 bytes"},
      {"not an ExamLog", std::string(200, 'a'), "not an ExamLog"},
      {"damaged header", bad_header, "not an ExamLog"},
      {"position not a number", bad_position, "is not a number"},
      {"position inside the header", position_in_header, "lies outside"},
      {"cut before the write position", good.substr(0, static_cast<size_t>(position) - 1), "lies outside"},
      {"cut inside the last line", good.substr(0, good.size() - 5), "has no line end"},
      {"garbage record", garbage_line, "is not a record (\"\\x01\\xFFgarbag"},
  };
  for (const Case& c : cases) {
    const ExamReadResult read = ParseExamLog(c.bytes);
    EXPECT_FALSE(read.ring) << c.name;
    EXPECT_NE(read.error.find(c.reason), std::string::npos) << c.name << ": " << read.error;
  }
  EXPECT_NE(ReadExamLog(dir.file("missing")).error.find("cannot open"), std::string::npos);
}

TEST(ExamLogReader, TruncatedAtEveryByte_IsRefusedOrKeepsOnlyWholeRecordsInOrder) {
  TempDir dir;
  const std::string path = dir.file("ring");
  RingWriter writer(path);
  writer.SetLimit(66 + 150);
  writer.Write(12);
  const std::string good = ReadFileBytes(path);
  const std::vector<long> all = Codes(ParseExamLog(good).ring->records);
  for (size_t cut = 0; cut < good.size(); ++cut) {
    const ExamReadResult read = ParseExamLog(std::string_view(good).substr(0, cut));
    if (!read.ring) {
      EXPECT_FALSE(read.error.empty()) << "cut " << cut;
      continue;
    }
    // Only a cut at a line end behind the write position leaves a readable
    // ring (the end of the older lap is lost, which no reader can tell from a
    // shorter lap): the rest are whole records, in order, up to the newest.
    const std::vector<long> kept = Codes(read.ring->records);
    ASSERT_FALSE(kept.empty()) << "cut " << cut;
    EXPECT_EQ(kept.back(), all.back()) << "cut " << cut;
    for (size_t i = 1; i < kept.size(); ++i) EXPECT_LT(kept[i - 1], kept[i]) << "cut " << cut;
    EXPECT_TRUE(std::includes(all.begin(), all.end(), kept.begin(), kept.end())) << "cut " << cut;
    EXPECT_GE(static_cast<long>(cut), read.ring->write_position) << "cut " << cut;
  }
}

TEST(ExamLogReader, RecordsWrittenSince_FollowsAcrossTheWrap) {
  TempDir dir;
  const std::string path = dir.file("ring");
  RingWriter writer(path);
  writer.SetLimit(66 + 400);
  for (const int more : {3, 0, 5, 9, 1}) {
    const ExamReadResult before = ReadExamLog(path);
    const long previous = before.ring ? before.ring->write_position : 66;
    const long first_new = writer.written() + 1;
    writer.Write(more);
    const ExamReadResult after = ReadExamLog(path);
    ASSERT_TRUE(after.ring) << after.error;
    std::vector<long> expected;
    for (long code = first_new; code <= writer.written(); ++code) expected.push_back(code);
    EXPECT_EQ(Codes(RecordsWrittenSince(*after.ring, previous)), expected) << "after " << more << " more";
  }
}

}  // namespace
}  // namespace vexokrt::diag
