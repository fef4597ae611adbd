// SPDX-License-Identifier: Apache-2.0
#include "diag/trace_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "support/temp_dir.h"

namespace vexokrt::diag {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    log_ = std::make_unique<TraceLog>();
    log_->SetFileName(path_);
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes(path_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  TempDir dir_;
  std::string path_ = dir_.file("trace05");
  std::unique_ptr<TraceLog> log_;
};

TEST_F(TraceLogTest, LineLayout_DateTimeMillisecondsLevelTagMessage) {
  log_->SetLevel(kLevelInfo);
  ASSERT_TRUE(log_->Write(kLevelInfo, kTagEnter, "CCashChanger::Claim"));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(\d{4}:\d{2}:\d{2}:\d{2}:\d{2}:\d{2}:[ \d]{2}\d:Inf::Enter   : CCashChanger::Claim)")))
      << lines[0];
}

TEST_F(TraceLogTest, ErrorsOnlyThreshold_DropsInfoLines) {
  log_->SetLevel(kLevelError);
  EXPECT_FALSE(log_->Write(kLevelInfo, kTagEnter, "dropped"));
  EXPECT_TRUE(log_->Write(kLevelError, kTagError, "kept"));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(":Err::Error   : kept"), std::string::npos);
}

TEST_F(TraceLogTest, OffOrWithoutFile_WritesNothing) {
  log_->SetLevel(kLevelOff);
  EXPECT_FALSE(log_->Write(kLevelError, kTagError, "x"));
  EXPECT_FALSE(log_->IsOn());
  log_->SetLevel(kLevelInfo);
  log_->SetFileName("");
  EXPECT_FALSE(log_->Write(kLevelError, kTagError, "x"));
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(TraceLogTest, SetLevel_ReturnsPreviousThreshold) {
  EXPECT_EQ(log_->SetLevel(kLevelInfo), kLevelOff);
  EXPECT_EQ(log_->SetLevel(kLevelError), kLevelInfo);
}

TEST_F(TraceLogTest, JapaneseMessage_IsWrittenInCp932) {
  log_->SetLevel(kLevelInfo);
  ASSERT_TRUE(log_->Write(kLevelError, kTagError, "タイムアウト発生"));
  const std::string bytes = ReadFileBytes(path_);
  // タイムアウト発生 in CP932.
  const std::string expected = "\x83\x5E\x83\x43\x83\x80\x83\x41\x83\x45\x83\x67\x94\xAD\x90\xB6";
  EXPECT_NE(bytes.find(": " + expected + "\n"), std::string::npos);
}

TEST_F(TraceLogTest, MissingFolder_WriteFailsQuietly) {
  log_->SetLevel(kLevelInfo);
  log_->SetFileName(dir_.file("no/such/folder/trace01"));
  EXPECT_FALSE(log_->Write(kLevelInfo, kTagInfo, "x"));
}

const char kDumpHead[] =
    "    Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\n"
    "    -------------------------------------------------------\n";

TEST_F(TraceLogTest, DumpOfSixteenBytes_EndsWithAnEmptyRow) {
  log_->SetLevel(kLevelInfo);
  const uint8_t data[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  ASSERT_TRUE(log_->Dump(kLevelInfo, data, 16));
  const std::string expected = std::string(kDumpHead) +
      "    0000 : 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46   0123456789ABCDEF\n"
      "    0010 :" + std::string(48, ' ') + "   \n\n";
  EXPECT_EQ(ReadFileBytes(path_), expected);
}

TEST_F(TraceLogTest, DumpOfNothing_WritesOneEmptyRow) {
  log_->SetLevel(kLevelInfo);
  ASSERT_TRUE(log_->Dump(kLevelInfo, nullptr, 0));
  EXPECT_EQ(ReadFileBytes(path_), std::string(kDumpHead) + "    0000 :" + std::string(48, ' ') + "   \n\n");
}

TEST_F(TraceLogTest, DumpText_StopsAtZeroByteAndShortRowIsPadded) {
  log_->SetLevel(kLevelInfo);
  const uint8_t data[3] = {'A', 0x00, 'B'};
  ASSERT_TRUE(log_->Dump(kLevelInfo, data, 3));
  EXPECT_EQ(ReadFileBytes(path_),
            std::string(kDumpHead) + "    0000 : 41 00 42" + std::string(39, ' ') + "   A\n\n");
}

TEST_F(TraceLogTest, DumpOfNegativeCount_HasNoRows) {
  log_->SetLevel(kLevelInfo);
  ASSERT_TRUE(log_->Dump(kLevelInfo, nullptr, -1));
  EXPECT_EQ(ReadFileBytes(path_), std::string(kDumpHead) + "\n");
}

TEST_F(TraceLogTest, ThreadsAndProcessesWritingAtOnce_NeverInterleave) {
  log_->SetLevel(kLevelInfo);
  const std::string payload(300, 'x');
  constexpr int kPerWriter = 200;
  const pid_t child = ::fork();
  if (child == 0) {
    TraceLog other;
    other.SetFileName(path_);
    other.SetLevel(kLevelInfo);
    for (int i = 0; i < kPerWriter; ++i) other.Write(kLevelInfo, kTagInfo, "child " + payload);
    ::_exit(0);
  }
  std::thread second([&] {
    for (int i = 0; i < kPerWriter; ++i) log_->Write(kLevelInfo, kTagInfo, "thread " + payload);
  });
  for (int i = 0; i < kPerWriter; ++i) log_->Write(kLevelInfo, kTagInfo, "main " + payload);
  second.join();
  int status = 0;
  ::waitpid(child, &status, 0);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u * kPerWriter);
  const std::regex whole(R"(.*:Inf::Info    : (child|thread|main) x{300})");
  for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(TraceLogTest, LinkAtThePath_IsNeverWrittenThrough) {
  const std::string target = dir_.file("someones-file");
  std::ofstream(target, std::ios::binary) << "keep me";
  ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0);
  log_->SetLevel(kLevelInfo);
  EXPECT_FALSE(log_->Write(kLevelInfo, kTagInfo, "hello"));
  EXPECT_EQ(ReadFileBytes(target), "keep me");
}

// The date the stale-file rule is asked about: mid-month, mid-day, so that
// whole days back land in the month the test means.
std::tm TestNow() {
  std::tm now{};
  now.tm_year = 2026 - 1900;
  now.tm_mon = 5;
  now.tm_mday = 15;
  now.tm_hour = 12;
  now.tm_isdst = -1;
  std::tm copy = now;
  std::mktime(&copy);  // the week day and summer time filled in, as localtime gives them
  return copy;
}

// Sets the modification time of |path| to |days| days before TestNow.
void Age(const std::string& path, int days) {
  std::tm now = TestNow();
  const time_t then = std::mktime(&now) - static_cast<time_t>(days) * 86400;
  const timespec times[2] = {{then, 0}, {then, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST_F(TraceLogTest, StaleDayFile_OnlyOurTraceFromAnotherMonthIsRemoved) {
  const std::string trace_line = "2011:06:01:09:15:42: 37:Inf::Enter   : CCashChanger::Claim\n";
  const std::string dump = "    Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\n";
  const std::string target = dir_.file("old-trace-elsewhere");
  struct Case {
    const char* what;
    std::string content;  // empty: a link to an old trace file
    int age_days;
    bool removed;
  };
  const Case cases[] = {
      {"our trace from last year", trace_line, 400, true},
      {"our dump from two months ago", dump, 62, true},
      {"our trace from this month", trace_line, 0, false},
      {"someone's file from last year", "Dear diary\n", 400, false},
      {"an empty file from last year", "", 400, false},
      {"a link to our old trace", "<link>", 400, false},
  };
  const std::tm now = TestNow();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(path_);
    if (c.content == "<link>") {
      std::ofstream(target, std::ios::binary) << trace_line;
      Age(target, c.age_days);
      ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0);
    } else {
      std::ofstream(path_, std::ios::binary) << c.content;
    }
    Age(path_, c.age_days);
    EXPECT_EQ(RemoveStaleTraceFile(path_, now), c.removed);
    EXPECT_EQ(!std::filesystem::exists(std::filesystem::symlink_status(path_)), c.removed);
  }
  EXPECT_TRUE(std::filesystem::exists(target)) << "a link's target is never ours to delete";
}

TEST(LooksLikeTraceText, TimeStampedLinesAndDumpsOnly) {
  EXPECT_TRUE(LooksLikeTraceText("2011:06:01:09:15:42: 37:Inf::Enter   : x"));
  EXPECT_TRUE(LooksLikeTraceText("2011:06:01:09:15:42:137:Err::Error   : x"));
  EXPECT_TRUE(LooksLikeTraceText("    Addr : +0 +1 +2"));
  EXPECT_FALSE(LooksLikeTraceText("2011:06:01:09:15:42: 37:Xyz::"));
  EXPECT_FALSE(LooksLikeTraceText("2011-06-01 09:15:42 37 Inf  x"));
  EXPECT_FALSE(LooksLikeTraceText("2011:06:01:09:15:42: 37:Inf:"));
  EXPECT_FALSE(LooksLikeTraceText(""));
}

}  // namespace
}  // namespace vexokrt::diag
