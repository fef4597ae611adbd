// SPDX-License-Identifier: Apache-2.0
#include "devlog/trading_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "devlog/device_logs.h"
#include "devlog_fakes.h"
#include "platform/codepage.h"

namespace vexokrt::devlog {
namespace {

using testing::DevlogEnvironment;
using testing::FakeMemoryDevice;
using testing::SentRead;
using vexokrt::testing::ReadFileBytes;
namespace fs = std::filesystem;

constexpr uint32_t kKrt07Block = 0x1001200;
constexpr uint32_t kKrt02Block = 0x416D48;

std::vector<uint8_t> Krt07Block() {
  std::vector<uint8_t> block(512, 0);
  const uint8_t date[] = {0x20, 0x11, 0x07, 0x15};
  std::copy(std::begin(date), std::end(date), block.begin());
  const uint8_t hours[] = {0x00, 0x00, 0x01, 0x2C};
  std::copy(std::begin(hours), std::end(hours), block.begin() + 4);
  block[8] = 0x80;  // 2^31 power-ons
  block[511] = 7;   // last counter, inside the last read
  return block;
}

std::vector<uint8_t> Krt02Block() {
  std::vector<uint8_t> block(512, 0);
  // The date is kept as the digits' characters: "20110715".
  const uint8_t date[] = {0x02, 0x00, 0x01, 0x01, 0x00, 0x07, 0x01, 0x05};
  // Four bytes hold eight characters; each byte here is one character pair.
  for (int i = 0; i < 4; ++i) block[static_cast<size_t>(i)] = static_cast<uint8_t>(date[2 * i] << 4 | date[2 * i + 1]);
  block[6] = 0x01;
  block[7] = 0x2C;
  const uint8_t version[] = {0x30, 0x31, 0x32, 0x33};
  std::copy(std::begin(version), std::end(version), block.begin() + 488);
  return block;
}

std::vector<std::string> FileLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back("<unterminated>" + bytes.substr(start));
      break;
    }
    lines.push_back(platform::Cp932ToUtf8(bytes.substr(start, end - start)));
    start = end + 2;
  }
  return lines;
}

const TradingLogLine* LineOf(const std::vector<TradingLogLine>& lines, std::string_view label) {
  for (const auto& line : lines) {
    if (line.label == label) return &line;
  }
  return nullptr;
}

TEST(TradingLayouts, OffsetsAndLabelsAreComplete) {
  std::set<int32_t> missing07;
  for (int32_t o = 0; o < 512; o += 4) missing07.insert(o);
  for (const auto& f : Krt07TradingLayout()) missing07.erase(f.offset);
  EXPECT_EQ(missing07, (std::set<int32_t>{168, 204, 248, 404, 408, 428, 432, 436, 468, 472, 476, 480, 484}));
  EXPECT_EQ(Krt07TradingLayout().size(), 115u);
  EXPECT_EQ(Krt02TradingLayout().size(), 128u);
  for (size_t i = 0; i < Krt02TradingLayout().size(); ++i)
    EXPECT_EQ(Krt02TradingLayout()[i].offset, 4 * static_cast<int32_t>(i));
  for (auto layout : {Krt07TradingLayout(), Krt02TradingLayout()}) {
    for (const auto& f : layout) {
      EXPECT_TRUE(platform::TryUtf8ToCp932(f.label).has_value()) << f.label;
      EXPECT_EQ(f.label.back(), ',') << f.label;
    }
  }
}

TEST(TradingLayouts, ReadsCoverTheBlockWithoutGaps) {
  for (auto reads : {Krt07TradingReads(), Krt02TradingReads()}) {
    int32_t offset = 0;
    for (const auto& r : reads) {
      EXPECT_EQ(r.offset, offset);
      EXPECT_EQ(r.address, reads[0].address + static_cast<uint32_t>(offset));
      offset += r.bytes;
    }
    EXPECT_EQ(offset, 512);
  }
}

TEST(FormatKrt07TradingLog, PackedDateCountersAndSignedPrinting) {
  const auto lines = FormatKrt07TradingLog(Krt07Block());
  ASSERT_EQ(lines.size(), 115u);
  EXPECT_EQ(lines[0].label, "ﾛｸﾞ開始年月日,");
  EXPECT_EQ(lines[0].value, "2011/7/15");
  EXPECT_EQ(lines[1].label, "通電時間(H),");
  EXPECT_EQ(lines[1].value, "300");
  EXPECT_EQ(lines[2].value, "-2147483648");
  EXPECT_EQ(lines.back().label, "硬貨検銭部版数,");
  EXPECT_EQ(lines.back().value, "7");
  EXPECT_EQ(LineOf(lines, "硬貨ﾌﾙ放出回数,")->value, "0");
}

TEST(FormatKrt02TradingLog, DateAsTextHexCountersAndVersionCharacters) {
  std::vector<uint8_t> text;
  for (uint8_t b : Krt02Block()) {
    text.push_back(HexDigitChar(b >> 4));
    text.push_back(HexDigitChar(b));
  }
  // Characters 8-15 spell "0000012<".
  EXPECT_EQ(std::string(text.begin() + 8, text.begin() + 16), "0000012<");
  const auto lines = FormatKrt02TradingLog(text);
  ASSERT_EQ(lines.size(), 128u);
  EXPECT_EQ(lines[0].value, "2011/07/15");
  EXPECT_EQ(lines[1].value, "300");
  EXPECT_EQ(LineOf(lines, "ｺﾝﾄﾛｰﾗｿﾌﾄ版数,")->value, "0123");
  EXPECT_EQ(LineOf(lines, "硬貨部ROM版数,")->value, "");
  EXPECT_EQ(lines.back().label, "ﾁｭｰﾌﾞﾛｯｸ回数(出金時),");
}

TEST(RenderTradingLog, LabelsInCp932WithSingleByteKanaAndCrLf) {
  const std::vector<TradingLogLine> lines{{"ﾛｸﾞ開始年月日,", "2011/7/15"}, {"ﾘｾｯﾄ回数,", "12"}};
  EXPECT_EQ(RenderTradingLog(lines),
            "\xDB\xB8\xDE\x8A\x4A\x8E\x6E\x94\x4E\x8C\x8E\x93\xFA,2011/7/15\r\n"
            "\xD8\xBE\xAF\xC4\x89\xF1\x90\x94,12\r\n");
}

class TradingLogRetrieval : public ::testing::Test {
 protected:
  void SetUp() override {
    direct_.Poke(kKrt07Block, Krt07Block());
    queued_.Poke(kKrt07Block, Krt07Block());
    queued_.Poke(kKrt02Block, Krt02Block());
    settings_ = env_.Settings();
    settings_.trading_log = "%Y%m%d%H%M%S.txt";
  }
  int32_t Retrieve(ModelCode model, int32_t direct_mode) {
    DeviceLogs logs(env_.Context(settings_), direct_, queued_);
    return logs.RetrieveTradingLog(model, direct_mode);
  }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(env_.folder_path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  DevlogEnvironment env_;
  FakeMemoryDevice direct_;
  FakeMemoryDevice queued_;
  DeviceLogSettings settings_;
};

TEST_F(TradingLogRetrieval, Krt77DirectMode_WritesTheFileAndEveryTraceLine) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  ASSERT_EQ(direct_.reads.size(), 5u);
  EXPECT_TRUE(queued_.reads.empty());
  for (const auto& r : direct_.reads) EXPECT_EQ(r.timeout_ms, 2500);
  EXPECT_EQ(direct_.reads[1].command,
            (std::vector<uint8_t>{0x11, 's', '0', '9', '1', '0', '0', '1', '2', '6', '<', '7', '8'}));

  const std::string path = env_.path("20110715093000.txt");
  const auto lines = FileLines(ReadFileBytes(path));
  ASSERT_EQ(lines.size(), 115u);
  EXPECT_EQ(lines[0], "ﾛｸﾞ開始年月日,2011/7/15");
  EXPECT_EQ(lines[1], "通電時間(H),300");
  EXPECT_EQ(env_.values.texts["LastTradingLog"], path);
  EXPECT_EQ(env_.TraceMessages(),
            (std::vector<std::string>{"取引ログ読み出し開始", "メモリリード３成功(1)", "メモリリード３成功(2)",
                                      "メモリリード３成功(3)", "メモリリード３成功(4)", "メモリリード３成功(5)",
                                      "過去取引ログ = ", "過去取引ログをレジストリに保存。ファイル名 = " + path,
                                      "取引ログファイル名 = " + path}));
}

TEST_F(TradingLogRetrieval, Krt07QueuedMode_GoesThroughTheQueueWith3000Ms) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt07, 0), 0);
  EXPECT_TRUE(direct_.reads.empty());
  ASSERT_EQ(queued_.reads.size(), 5u);
  for (const auto& r : queued_.reads) EXPECT_EQ(r.timeout_ms, 3000);
}

TEST_F(TradingLogRetrieval, Krt03_HexTextReadsThroughTheQueueAndNoTraceLines) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt03, 1), 0);
  EXPECT_TRUE(direct_.reads.empty());
  ASSERT_EQ(queued_.reads.size(), 5u);
  EXPECT_EQ(queued_.reads[2].command,
            (std::vector<uint8_t>{0x11, '6', '0', '9', '0', '4', '1', '6', '>', '2', '<', '7', '8'}));
  const auto lines = FileLines(ReadFileBytes(env_.path("20110715093000.txt")));
  ASSERT_EQ(lines.size(), 128u);
  EXPECT_EQ(lines[0], "ﾛｸﾞ開始年月日,2011/07/15");
  EXPECT_EQ(lines[1], "通電時間(H),300");
  EXPECT_EQ(lines[122], "ｺﾝﾄﾛｰﾗｿﾌﾄ版数,0123");
  EXPECT_TRUE(env_.TraceMessages().empty());
}

TEST_F(TradingLogRetrieval, SecondRetrieval_ReplacesTheFirstFile) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  env_.now = testing::LocalTime(2011, 7, 15, 9, 30, 1);
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"20110715093001.txt"}));
  EXPECT_EQ(env_.TraceMessages()[15], "過去取引ログ = " + env_.path("20110715093000.txt"));
}

TEST_F(TradingLogRetrieval, FailedRead_WritesNothingAndKeepsThePreviousFile) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  const std::string first = env_.path("20110715093000.txt");
  const std::string content = ReadFileBytes(first);
  env_.now = testing::LocalTime(2011, 7, 15, 10, 0, 0);

  struct Case {
    const char* what;
    uint32_t address;
    DeviceReply reply;
  };
  const Case cases[] = {
      {"100 bytes instead of 108", 0x1001200, testing::Frame(std::vector<uint8_t>(100, 1))},
      {"BEL", 0x10012E4, testing::SingleByte(kBel)},
      {"NAK", 0x100135C, testing::SingleByte(kNak)},
      {"silence", 0x10013D4, testing::Silence()},
  };
  for (const Case& c : cases) {
    direct_.intercept = [&c](const SentRead& read) -> std::optional<DeviceReply> {
      if (read.address == c.address) return c.reply;
      return std::nullopt;
    };
    EXPECT_NE(Retrieve(ModelCode::kKrt77, 1), 0) << c.what;
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"20110715093000.txt"})) << c.what;
    EXPECT_EQ(ReadFileBytes(first), content) << c.what;
    EXPECT_EQ(env_.values.texts["LastTradingLog"], first) << c.what;
  }
}

TEST_F(TradingLogRetrieval, FolderSizeZero_DeletesTheOldestOwnFileAfterWriting) {
  const timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  for (const char* name : {"20100101000000.txt", "100101.csv", "ExamlogS.txt"}) {
    std::ofstream(env_.path(name)) << "old";
    ASSERT_EQ(::utimensat(AT_FDCWD, env_.path(name).c_str(), times, 0), 0);
  }
  settings_.log_folder_size = 0;
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"100101.csv", "20110715093000.txt", "ExamlogS.txt"}))
      << "only an old trading log may go; the user's file and the ExamLog stay";
}

// Write first, delete after: a new log that cannot be written (here its name
// is taken by a folder; a full disk is the usual cause) leaves the previous
// log, the registry and the other files as they were, and says why.
TEST_F(TradingLogRetrieval, FailedWrite_KeepsThePreviousLogAndNamesTheCause) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  const std::string first = env_.path("20110715093000.txt");
  const std::string content = ReadFileBytes(first);
  env_.now = testing::LocalTime(2011, 7, 15, 10, 0, 0);
  fs::create_directory(env_.path("20110715100000.txt"));
  std::ofstream(env_.path("20110715100000.txt/inside")) << "x";
  settings_.log_folder_size = 0;
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  EXPECT_EQ(ReadFileBytes(first), content);
  EXPECT_EQ(env_.values.texts["LastTradingLog"], first);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"20110715093000.txt", "20110715100000.txt"}))
      << "no partial or temporary file is left";
  const auto errors = env_.ErrorMessages();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "取引ログファイルを書き込めません = " + env_.path("20110715100000.txt") + ": Is a directory");
}

TEST_F(TradingLogRetrieval, PatternLeavingTheFolder_IsRefusedWithATraceLine) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  const std::string first = env_.path("20110715093000.txt");
  for (const char* pattern : {"../%Y%m%d.txt", "/%Y%m%d.txt", "hist/../../%Y.txt"}) {
    settings_.trading_log = pattern;
    EXPECT_EQ(Retrieve(ModelCode::kKrt03, 0), 0) << pattern;
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"20110715093000.txt"})) << pattern;
    EXPECT_EQ(env_.values.texts["LastTradingLog"], first) << pattern;
  }
  EXPECT_FALSE(fs::exists(env_.folder_path() + "/../20110715.txt"));
  const auto errors = env_.ErrorMessages();
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0], "取引ログ ファイル名がログフォルダ外を指すため書き込みません = ../20110715.txt");
}

// A pattern with sub-folders inside the log folder writes there (missing
// sub-folders are created), and the next file replaces it there.
TEST_F(TradingLogRetrieval, PatternWithASubFolder_WritesAndReplacesInsideIt) {
  struct Case {
    const char* pattern;
    const char* first;
    const char* second;
  };
  for (const Case& c : {Case{"hist/%Y%m%d%H%M%S.txt", "hist/20110715093000.txt", "hist/20110715093001.txt"},
                        Case{"%Y/%m/%d%H%M%S.txt", "2011/07/15093000.txt", "2011/07/15093001.txt"}}) {
    settings_.trading_log = c.pattern;
    env_.values.texts.erase("LastTradingLog");  // a file of the other pattern is not ours to delete
    env_.now = testing::LocalTime(2011, 7, 15, 9, 30, 0);
    ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0) << c.pattern;
    EXPECT_EQ(FileLines(ReadFileBytes(env_.path(c.first))).size(), 115u) << c.pattern;
    EXPECT_EQ(env_.values.texts["LastTradingLog"], env_.path(c.first)) << c.pattern;
    env_.now = testing::LocalTime(2011, 7, 15, 9, 30, 1);
    ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0) << c.pattern;
    EXPECT_FALSE(fs::exists(env_.path(c.first))) << c.pattern << ": the previous file is ours and replaced";
    EXPECT_TRUE(fs::exists(env_.path(c.second))) << c.pattern;
  }
  const auto errors = env_.ErrorMessages();
  EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST_F(TradingLogRetrieval, EmptyPattern_WritesAndDeletesNothing) {
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  settings_.trading_log.clear();
  settings_.log_folder_size = 0;  // would otherwise make room
  EXPECT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"20110715093000.txt"}));
  EXPECT_EQ(env_.values.texts["LastTradingLog"], env_.path("20110715093000.txt"));
}

TEST_F(TradingLogRetrieval, LastTradingLogOutsideTheFolder_IsNotDeleted) {
  const std::string outside = env_.folder_path() + "-elsewhere.txt";
  std::ofstream(outside) << "not ours";
  env_.values.texts["LastTradingLog"] = outside;
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  EXPECT_TRUE(fs::exists(outside));
  EXPECT_EQ(env_.values.texts["LastTradingLog"], env_.path("20110715093000.txt"));
  fs::remove(outside);
}

TEST_F(TradingLogRetrieval, UnsetFolder_ReplacesItsOwnFileInTheCurrentDirectoryOnly) {
  const fs::path previous = fs::current_path();
  fs::current_path(env_.folder_path());
  std::ofstream("unrelated.csv") << "stays";
  settings_.log_folder.clear();
  settings_.log_folder_size = 0;  // no room: would delete the oldest file if a folder were set
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  env_.now.tm_sec = 1;
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  const std::string second = env_.values.texts["LastTradingLog"];
  fs::current_path(previous);
  EXPECT_EQ(second, "20110715093001.txt");
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"20110715093001.txt", "unrelated.csv"}));
}

TEST_F(TradingLogRetrieval, UnwritableValues_StillWriteTheFile) {
  env_.values.fail_writes = true;
  ASSERT_EQ(Retrieve(ModelCode::kKrt77, 1), 0);
  EXPECT_TRUE(fs::exists(env_.path("20110715093000.txt")));
}

}  // namespace
}  // namespace vexokrt::devlog
