// SPDX-License-Identifier: Apache-2.0
#include "diag/exam_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "platform/codepage.h"
#include "support/temp_dir.h"

namespace vexokrt::diag {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

class ExamLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    log_ = std::make_unique<ExamLog>();
    log_->SetFileName(path_);
  }
  // The position field at offset 54.
  std::string PositionText() { return ReadFileBytes(path_).substr(54, 12); }

  TempDir dir_;
  std::string path_ = dir_.prefix() + "ExamlogS.txt";
  std::unique_ptr<ExamLog> log_;
};

TEST(ExamLogHeader, IsFiftyFourBytesInCp932) {
  EXPECT_EQ(platform::Utf8ToCp932(kExamHeaderUtf8).size(), 54u);
}

TEST_F(ExamLogTest, FirstWrite_CreatesHeaderZeroFilledPositionAndRecord) {
  ASSERT_TRUE(log_->Write("1", "3", "0", "0"));
  const std::string bytes = ReadFileBytes(path_);
  EXPECT_EQ(bytes.substr(0, 54), platform::Utf8ToCp932(kExamHeaderUtf8));
  const std::string record = bytes.substr(66);
  ASSERT_TRUE(std::regex_match(record, std::regex(R"(\d\d,\d\d,\d\d,\d\d,\d\d,\d\d,1,3,0,0\r\n)"))) << record;
  // The first write lays out "0000000066" and then moves it behind the record.
  EXPECT_EQ(PositionText(), "        " + std::to_string(66 + record.size()).substr(0, 2) + "\r\n");
}

TEST_F(ExamLogTest, LaterWrite_PositionIsSpaceFilledWidthTen) {
  log_->Write(1, 3, 0, 0);
  log_->Write(1, 103, 0, 0);
  const std::string bytes = ReadFileBytes(path_);
  char expected[16];
  std::snprintf(expected, sizeof expected, "%10zu\r\n", bytes.size());
  EXPECT_EQ(PositionText(), expected);
}

TEST_F(ExamLogTest, WithoutFileName_ReportsFalseAndWritesNothing) {
  log_->SetFileName("");
  EXPECT_FALSE(log_->Write(1, 1, 0, 0));
}

TEST_F(ExamLogTest, SizeLimitBelowFirstRecord_DisablesTheRing) {
  log_->SetSizeLimit(65);
  EXPECT_TRUE(log_->Write(1, 1, 0, 0));
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(ExamLogTest, PositionAtLimit_WrapsToFirstRecordAndBlanksTheOldLine) {
  // Each record is 17 + fields + CR LF; with short fields 27 bytes.
  log_->SetSizeLimit(66 + 2 * 27);
  log_->Write(1, 1, 0, 0);     // at 66
  log_->Write(1, 2, 0, 0);     // at 93; position becomes 120 = limit
  log_->Write(1, 1000, 0, 0);  // wraps to 66, three bytes longer than the old record
  const std::string bytes = ReadFileBytes(path_);
  ASSERT_EQ(bytes.size(), 120u);
  const std::string first = bytes.substr(66, 30);
  EXPECT_TRUE(std::regex_match(first, std::regex(R"(\d\d,\d\d,\d\d,\d\d,\d\d,\d\d,1,1000,0,0\r\n)"))) << first;
  // The overwritten second record's remainder is spaces up to its CR LF.
  EXPECT_EQ(bytes.substr(96), std::string(22, ' ') + "\r\n");
  EXPECT_EQ(PositionText(), "        96\r\n");
  EXPECT_LE(bytes.size(), 66u + 2 * 27 + 30);
}

TEST_F(ExamLogTest, TruncatedFile_IsLaidOutAgain) {
  // A creation cut short left only the start of the header.
  std::ofstream(path_, std::ios::binary) << platform::Utf8ToCp932(kExamHeaderUtf8).substr(0, 20);
  log_->Write(1, 1, 0, 0);
  const std::string bytes = ReadFileBytes(path_);
  EXPECT_EQ(bytes.substr(0, 54), platform::Utf8ToCp932(kExamHeaderUtf8));
  EXPECT_EQ(bytes.substr(66 + 18, 9), "1,1,0,0\r\n");
}

// Whatever is at the ExamLog's path and is not an ExamLog (a file of other
// content, a link to anything, a folder) is moved aside under a new name,
// untouched, and the ring starts fresh at the path.
TEST_F(ExamLogTest, ForeignThingAtThePath_IsMovedAsideAndTheRingStartsFresh) {
  std::string garbage(2000, '\xFF');
  garbage.replace(54, 10, "9999999999");
  const std::string target = dir_.file("precious.txt");
  struct Case {
    const char* what;
    std::function<void()> plant;
    std::function<void()> check;
  };
  const Case cases[] = {
      {"a file of other content", [&] { std::ofstream(path_, std::ios::binary) << garbage; },
       [&] { EXPECT_EQ(ReadFileBytes(path_ + ".moved-1"), garbage); }},
      {"a link to someone's file",
       [&] {
         std::ofstream(target, std::ios::binary) << "keep me";
         ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0);
       },
       [&] {
         EXPECT_EQ(ReadFileBytes(target), "keep me");
         EXPECT_TRUE(std::filesystem::is_symlink(path_ + ".moved-1"));
       }},
      {"a link to nowhere", [&] { ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0); },
       [&] { EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed"; }},
      {"a folder", [&] { std::filesystem::create_directory(path_); },
       [&] { EXPECT_TRUE(std::filesystem::is_directory(path_ + ".moved-1")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(path_);
    std::filesystem::remove_all(path_ + ".moved-1");
    std::filesystem::remove(target);
    c.plant();
    log_->SetSizeLimit(1000);
    log_->Write(1, 1, 0, 0);
    const std::string bytes = ReadFileBytes(path_);
    EXPECT_FALSE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(bytes.substr(0, 54), platform::Utf8ToCp932(kExamHeaderUtf8));
    EXPECT_EQ(bytes.substr(66 + 18), "1,1,0,0\r\n");
    c.check();
  }
  // A second moved-aside thing never replaces the first.
  std::filesystem::remove_all(path_);
  std::ofstream(path_, std::ios::binary) << "second";
  log_->Write(1, 2, 0, 0);
  EXPECT_TRUE(std::filesystem::is_directory(path_ + ".moved-1"));
  EXPECT_EQ(ReadFileBytes(path_ + ".moved-2"), "second");
}

TEST_F(ExamLogTest, PositionInsideHeader_IsTreatedAsStart) {
  log_->Write(1, 1, 0, 0);
  std::string bytes = ReadFileBytes(path_);
  bytes.replace(54, 10, "        10");
  std::ofstream(path_, std::ios::binary) << bytes;
  log_->Write(1, 2, 0, 0);
  EXPECT_EQ(ReadFileBytes(path_).substr(0, 54), platform::Utf8ToCp932(kExamHeaderUtf8));
}

// A stored position beyond the file's end (the file was cut short, or the
// field edited) continues at the end: no zero-filled gap, the position field
// names the new end.
TEST_F(ExamLogTest, PositionBeyondTheFileEnd_ContinuesAtTheEnd) {
  log_->Write(1, 1, 0, 0);
  std::string bytes = ReadFileBytes(path_);
  const size_t old_size = bytes.size();
  bytes.replace(54, 10, "      5000");
  std::ofstream(path_, std::ios::binary) << bytes;
  log_->Write(1, 2, 0, 0);
  const std::string after = ReadFileBytes(path_);
  EXPECT_EQ(after.find('\0'), std::string::npos);
  ASSERT_GT(after.size(), old_size);
  const std::string added = after.substr(old_size);
  EXPECT_TRUE(std::regex_match(added, std::regex(R"(\d\d,\d\d,\d\d,\d\d,\d\d,\d\d,1,2,0,0\r\n)"))) << added;
  char expected[16];
  std::snprintf(expected, sizeof expected, "%10zu\r\n", after.size());
  EXPECT_EQ(PositionText(), expected);
}

TEST_F(ExamLogTest, TwoProcessesWritingAtOnce_LoseNoRecord) {
  constexpr int kPerWriter = 150;
  const pid_t child = ::fork();
  if (child == 0) {
    ExamLog other;
    other.SetFileName(path_);
    for (int i = 0; i < kPerWriter; ++i) other.Write(2, i, 0, 0);
    ::_exit(0);
  }
  for (int i = 0; i < kPerWriter; ++i) log_->Write(1, i, 0, 0);
  int status = 0;
  ::waitpid(child, &status, 0);
  const std::string bytes = ReadFileBytes(path_);
  const std::regex record(R"(\d\d,\d\d,\d\d,\d\d,\d\d,\d\d,([12]),(\d+),0,0\r\n)");
  int counts[3] = {};
  for (auto it = std::sregex_iterator(bytes.begin() + 66, bytes.end(), record); it != std::sregex_iterator(); ++it) {
    ++counts[std::stoi((*it)[1])];
  }
  EXPECT_EQ(counts[1], kPerWriter);
  EXPECT_EQ(counts[2], kPerWriter);
}

}  // namespace
}  // namespace vexokrt::diag
