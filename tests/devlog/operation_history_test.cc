// SPDX-License-Identifier: Apache-2.0
#include "devlog/operation_history.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "devlog_fakes.h"

namespace vexokrt::devlog {
namespace {

using testing::DevlogEnvironment;
using testing::FakeMemoryDevice;
using testing::SentRead;
using vexokrt::testing::ReadFileBytes;
namespace fs = std::filesystem;

// A record of |size| bytes with the given date fields and mark; the rest of
// the bytes count up so every position is recognisable in the file.
std::vector<uint8_t> Record(size_t size, std::vector<uint8_t> head) {
  std::vector<uint8_t> record(size);
  for (size_t i = 0; i < size; ++i) record[i] = static_cast<uint8_t>(i);
  std::copy(head.begin(), head.end(), record.begin());
  return record;
}

std::vector<uint8_t> Krt77Record() { return Record(84, {0x07, 0x15, 0x09, 0x30, 0x59, 103}); }
std::vector<uint8_t> Krt03Record() { return Record(68, {0x07, 0x15, 0x23, 0x00, 0x00, 100}); }

TEST(CompareHistoryPositions, WrapRulesOfTheOverwriteCount) {
  struct Case {
    HistoryPosition device;  // P, O
    HistoryPosition stored;  // R, C
    OverwriteRelation relation;
    bool is_new;
  };
  const Case cases[] = {
      {{5, 0}, {10, 0xFFFF}, OverwriteRelation::kBehind, true},    // the count wrapped
      {{10, 0}, {10, 0xFFFF}, OverwriteRelation::kBehind, false},  // but P is not behind R
      {{5, 1}, {10, 0xFFFF}, OverwriteRelation::kBehind, false},
      {{5, 0}, {10, 3}, OverwriteRelation::kBehind, false},
      {{11, 3}, {10, 3}, OverwriteRelation::kEqual, true},
      {{9, 3}, {10, 3}, OverwriteRelation::kEqual, false},
      {{9, 4}, {10, 3}, OverwriteRelation::kAhead, true},
      {{10, 4}, {10, 3}, OverwriteRelation::kAhead, false},  // lapped: out of step
      {{9, 5}, {10, 3}, OverwriteRelation::kAhead, false},
  };
  for (const Case& c : cases) {
    const PositionComparison got = CompareHistoryPositions(c.device, c.stored);
    EXPECT_EQ(got.relation, c.relation) << c.device.pointer << "," << c.device.overwrites;
    EXPECT_EQ(got.next_record_is_new, c.is_new) << c.device.pointer << "," << c.device.overwrites;
  }
}

TEST(NextHistoryPosition, WrapsAtTheRingSizeAndTheCountAt0xFFFF) {
  EXPECT_EQ(NextHistoryPosition({1705, 7}, 1705), (HistoryPosition{1, 8}));
  EXPECT_EQ(NextHistoryPosition({1704, 7}, 1705), (HistoryPosition{1705, 7}));
  EXPECT_EQ(NextHistoryPosition({6000, 0xFFFF}, 6000), (HistoryPosition{1, 0}));
  EXPECT_EQ(NextHistoryPosition({5999, 0xFFFF}, 6000), (HistoryPosition{6000, 0xFFFF}));
}

TEST(HistoryRecordAddress, PointerAtRingSizeMeansIndexZero) {
  const auto& krt03 = HistoryGeometryFor(ModelCode::kKrt03);
  EXPECT_EQ(HistoryRecordAddress(krt03, 1705), 0x41AE6Cu);
  EXPECT_EQ(HistoryRecordAddress(krt03, 1704), 0x41AE6Cu + 1704 * 68);
  const auto& krt77 = HistoryGeometryFor(ModelCode::kKrt77);
  EXPECT_EQ(HistoryRecordAddress(krt77, 6000), 0x1005604u);
  EXPECT_EQ(HistoryRecordAddress(krt77, 1), 0x1005604u + 84);
  EXPECT_EQ(&HistoryGeometryFor(ModelCode::kKrt02), &krt03);
}

TEST(HistoryFileName, DayFromTheRecordYearFromTheClock) {
  EXPECT_EQ(HistoryFileName("%y%m%d.csv", 2011, 0x07, 0x15), "110715.csv");
  EXPECT_EQ(HistoryFileName("op-%d.%m.%y-%H%", 2000, 0x12, 0x01), "op-01.12.00-%H%");
}

TEST(FormatHistoryLine, UpperCaseHexPairsJoinedByCommas) {
  const uint8_t bytes[] = {0x0A, 0xFF, 0x00, 0x67};
  EXPECT_EQ(FormatHistoryLine(bytes), "0A,FF,00,67");
}

TEST(ParseHistoryRecord, Krt07FamilyChecksWriteOneNotePerFailure) {
  EXPECT_TRUE(ParseHistoryRecord(ModelCode::kKrt77, Krt77Record()).valid);

  auto bad = Record(84, {0x13, 0x15, 0x24, 0x1A, 0x59, 101});
  const HistoryRecord record = ParseHistoryRecord(ModelCode::kKrt77, bad);
  EXPECT_FALSE(record.valid);
  EXPECT_EQ(record.notes, (std::vector<std::string>{"日付チェックエラー7 = 26, 3", "日付チェックエラー10 = 13",
                                                    "日付チェックエラー12 = 24", "日付チェックエラー15 = 101"}));

  // The record mark belongs to the model: 101 is a KRT07's.
  EXPECT_TRUE(ParseHistoryRecord(ModelCode::kKrt07, Record(84, {0x12, 0x31, 0x23, 0x59, 0x59, 101})).valid);
  EXPECT_FALSE(ParseHistoryRecord(ModelCode::kKrt07, Record(84, {0x00, 0x01, 0x00, 0x00, 0x00, 101})).valid);
}

TEST(ParseHistoryRecord, UndatedRecordsNeedBytes66And67Zero) {
  auto undated = Record(84, {0x42});
  undated[66] = 0;
  undated[67] = 0;
  HistoryRecord record = ParseHistoryRecord(ModelCode::kKrt07, undated);
  EXPECT_TRUE(record.valid);
  EXPECT_EQ(record.notes, std::vector<std::string>{"処理終了1"});
  undated[67] = 1;
  record = ParseHistoryRecord(ModelCode::kKrt07, undated);
  EXPECT_FALSE(record.valid);
  EXPECT_EQ(record.notes, std::vector<std::string>{"処理終了2"});
}

TEST(ParseHistoryRecord, HexTextDateDigitsMustBeDecimalCharacters) {
  auto text = [](const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> chars;
    for (uint8_t b : bytes) {
      chars.push_back(HexDigitChar(b >> 4));
      chars.push_back(HexDigitChar(b));
    }
    return chars;
  };
  const HistoryRecord good = ParseHistoryRecord(ModelCode::kKrt03, text(Krt03Record()));
  EXPECT_TRUE(good.valid);
  EXPECT_EQ(good.bytes, Krt03Record());
  auto chars = text(Krt03Record());
  chars[3] = ':';  // day "1:" is no decimal
  const HistoryRecord bad = ParseHistoryRecord(ModelCode::kKrt03, chars);
  EXPECT_FALSE(bad.valid);
  EXPECT_TRUE(bad.notes.empty()) << "the older models skip silently";
  EXPECT_FALSE(ParseHistoryRecord(ModelCode::kKrt03, text(Record(68, {0x07, 0x15, 0x23, 0x00, 0x00, 101}))).valid);
}

class OperationHistoryStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = env_.Settings();
    settings_.operation_history = "%y%m%d.csv";
  }
  void DevicePosition(ModelCode model, uint32_t p, uint32_t o) {
    device_.Poke(HistoryGeometryFor(model).pointer_address, {static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p),
                                                             static_cast<uint8_t>(o >> 8), static_cast<uint8_t>(o)});
  }
  void PutRecord(ModelCode model, uint32_t index, const std::vector<uint8_t>& record) {
    const auto& g = HistoryGeometryFor(model);
    device_.Poke(g.base + index * static_cast<uint32_t>(g.record_bytes), record);
  }
  void Stored(uint32_t r, uint32_t c) {
    env_.values.dwords["StoringPointer"] = r;
    env_.values.dwords["OverwriteTimes"] = c;
  }
  HistoryPosition StoredPosition() {
    return {env_.values.dwords.at("StoringPointer"), env_.values.dwords.at("OverwriteTimes")};
  }
  int32_t Step(ModelCode model) { return OperationHistoryStep(model, device_, env_.Context(settings_)); }
  std::string DayFile(const std::string& name) const { return ReadFileBytes(env_.path(name)); }

  DevlogEnvironment env_;
  FakeMemoryDevice device_;
  DeviceLogSettings settings_;
};

TEST_F(OperationHistoryStepTest, EmptyPattern_NoDeviceTraffic) {
  settings_.operation_history.clear();
  EXPECT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_TRUE(device_.reads.empty());
  EXPECT_EQ(env_.TraceMessages(),
            (std::vector<std::string>{"動作ログ取得開始", "動作ログ取得　動作ログファイル名が空"}));
}

TEST_F(OperationHistoryStepTest, DeviceInInitialState_StoresZeroAndCopiesNothing) {
  Stored(40, 2);
  EXPECT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(device_.reads.size(), 1u);
  EXPECT_EQ(device_.reads[0].timeout_ms, 100);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{0, 0}));
}

TEST_F(OperationHistoryStepTest, NothingStored_TakesTheDevicesPosition) {
  DevicePosition(ModelCode::kKrt77, 300, 2);
  EXPECT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(device_.reads.size(), 1u);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{300, 2}));
  EXPECT_EQ(env_.TraceMessages().back(),
            "動作ログ取得 格納ポインタと上書き回数取得失敗のため、レジストリに保存して終了");
}

TEST_F(OperationHistoryStepTest, StoredPointerBeyondTheRing_IsTreatedAsUnreadable) {
  DevicePosition(ModelCode::kKrt77, 300, 3);
  Stored(6001, 2);  // O = C + 1 and P < R would otherwise walk past the ring
  EXPECT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(device_.reads.size(), 1u);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{300, 3}));
}

TEST_F(OperationHistoryStepTest, Krt77_DrainsRecordByRecordIntoTheDayFile) {
  DevicePosition(ModelCode::kKrt77, 7, 0);
  Stored(5, 0);
  auto second = Krt77Record();
  second[83] = 0xEE;
  PutRecord(ModelCode::kKrt77, 5, Krt77Record());
  PutRecord(ModelCode::kKrt77, 6, second);

  ASSERT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{6, 0}));
  ASSERT_EQ(device_.reads.size(), 2u);
  EXPECT_EQ(device_.reads[1].address, 0x1005604u + 5 * 84);
  EXPECT_EQ(device_.reads[1].length, 84);
  EXPECT_EQ(device_.reads[1].timeout_ms, 3000);
  EXPECT_EQ(env_.values.texts["LastOperationHistory"], "110715.csv");
  const std::string path = env_.path("110715.csv");
  EXPECT_EQ(env_.TraceMessages(),
            (std::vector<std::string>{
                "動作ログ取得開始", "動作ログ取得　格納ポインタと上書き回数を取得します。(KRT07/KRT77)",
                "格納ポインタ、上書き回数取得成功", "動作ログ取得　取得した格納ポインタと上書き回数 = 7, 0",
                "動作ログ取得　格納ポインタと上書き回数を取得 = 5, 0", "動作ログ取得 ポインタ比較開始",
                "動作ログ取得 OverwriteTimesC = OverwriteTimesR", "動作ログ取得 動作履歴ログ記録開始",
                "動作ログ取得 動作履歴ログ記録開始（KRT-07/77)", "動作履歴取得開始",
                "動作履歴取得　メモリリード３(1)成功", "動作履歴取得 ファイルオープン(2) = " + path, "動作履歴取得終了",
                "動作ログ取得 リングバッファ確認(KRT-07/KRT-77)", "動作ログ取得 完了"}));

  ASSERT_EQ(Step(ModelCode::kKrt77), 0);
  ASSERT_EQ(Step(ModelCode::kKrt77), 0);  // caught up: same pointer
  EXPECT_EQ(StoredPosition(), (HistoryPosition{7, 0}));
  EXPECT_EQ(env_.TraceMessages().back(), "動作ログ取得 ポインタが同一のため終了");
  const std::string line1 = FormatHistoryLine(Krt77Record()) + "\r\n";
  const std::string line2 = FormatHistoryLine(second) + "\r\n";
  EXPECT_EQ(line1.substr(0, 18), "07,15,09,30,59,67,");
  EXPECT_EQ(DayFile("110715.csv"), line1 + line2);
}

// A step whose caller asks it to give up after the pointer read (a pause of
// the status watch waits) leaves the long record read undone and the
// position as it was; the next step copies the same record.
TEST_F(OperationHistoryStepTest, AbandonedAfterThePointerRead_CopiesTheRecordOnTheNextStep) {
  DevicePosition(ModelCode::kKrt77, 7, 0);
  Stored(5, 0);
  PutRecord(ModelCode::kKrt77, 5, Krt77Record());
  int checks = 0;
  const auto abandon = [&] {
    ++checks;
    return !device_.reads.empty();
  };
  EXPECT_EQ(OperationHistoryStep(ModelCode::kKrt77, device_, env_.Context(settings_), abandon), 0);
  EXPECT_EQ(checks, 1);
  ASSERT_EQ(device_.reads.size(), 1u) << "only the pointer read";
  EXPECT_EQ(device_.reads[0].timeout_ms, 100);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{5, 0}));
  EXPECT_FALSE(fs::exists(env_.path("110715.csv")));
  EXPECT_EQ(env_.TraceMessages().back(), "動作ログ取得 OverwriteTimesC = OverwriteTimesR");

  EXPECT_EQ(OperationHistoryStep(ModelCode::kKrt77, device_, env_.Context(settings_), [] { return false; }), 0);
  ASSERT_EQ(device_.reads.size(), 3u);
  EXPECT_EQ(device_.reads[2].address, 0x1005604u + 5 * 84);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{6, 0}));
  EXPECT_EQ(DayFile("110715.csv"), FormatHistoryLine(Krt77Record()) + "\r\n");
}

TEST_F(OperationHistoryStepTest, DayPatternWithASubFolder_WritesIntoIt) {
  settings_.operation_history = "hist/%y%m%d.csv";
  DevicePosition(ModelCode::kKrt77, 6, 0);
  Stored(5, 0);
  PutRecord(ModelCode::kKrt77, 5, Krt77Record());
  ASSERT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(DayFile("hist/110715.csv"), FormatHistoryLine(Krt77Record()) + "\r\n");
  EXPECT_EQ(env_.values.texts["LastOperationHistory"], "hist/110715.csv");
  EXPECT_TRUE(env_.ErrorMessages().empty());
}

TEST_F(OperationHistoryStepTest, Krt03RingWrapAt1705_CopiesIndexZeroThenStoresOneAndNextCount) {
  DevicePosition(ModelCode::kKrt03, 3, 3);
  Stored(1705, 2);
  PutRecord(ModelCode::kKrt03, 0, Krt03Record());
  ASSERT_EQ(Step(ModelCode::kKrt03), 0);
  ASSERT_EQ(device_.reads.size(), 2u);
  EXPECT_EQ(device_.reads[0].command,
            (std::vector<uint8_t>{0x11, '6', '0', '9', '0', '4', '1', ':', '>', '6', '8', '0', '4'}));
  EXPECT_EQ(device_.reads[1].command,
            (std::vector<uint8_t>{0x11, '6', '0', '9', '0', '4', '1', ':', '>', '6', '<', '4', '4'}));
  EXPECT_EQ(StoredPosition(), (HistoryPosition{1, 3}));
  EXPECT_EQ(DayFile("110715.csv"), FormatHistoryLine(Krt03Record()) + "\r\n");
  const auto trace = env_.TraceMessages();
  EXPECT_EQ(trace[1], "動作ログ取得　格納ポインタと上書き回数を取得します。");
  EXPECT_EQ(trace[5], "動作ログ取得 OverwriteTimesC = (OverwriteTimesR + 1) ・・・");
  EXPECT_EQ(trace[7], "動作ログ取得 動作履歴ログ記録開始（KRT-07/77以外)");
  EXPECT_EQ(trace[8], "動作ログ取得 リングバッファ確認");
}

TEST_F(OperationHistoryStepTest, Krt77CountWrap_CFFFFWithOZeroAndPBehindR) {
  DevicePosition(ModelCode::kKrt77, 2, 0);
  Stored(6000, 0xFFFF);
  PutRecord(ModelCode::kKrt77, 0, Krt77Record());
  ASSERT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(device_.reads[1].address, 0x1005604u);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{1, 0}));
  const auto trace = env_.TraceMessages();
  EXPECT_NE(std::find(trace.begin(), trace.end(), "動作ログ取得 OverwriteTimesC < OverwriteTimesR"), trace.end());
  EXPECT_NE(std::find(trace.begin(), trace.end(), "動作履歴取得　ポインタ０リセット"), trace.end());
}

TEST_F(OperationHistoryStepTest, OutOfStep_ResynchronisesWithoutCopying) {
  DevicePosition(ModelCode::kKrt77, 5, 0);
  Stored(10, 0);
  EXPECT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(device_.reads.size(), 1u);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{5, 0}));
  EXPECT_EQ(env_.TraceMessages().back(), "動作ログ取得 ずれがあるためポインタ格納");
}

TEST_F(OperationHistoryStepTest, UndatedRecord_IsAppendedToTheLastDayFile) {
  DevicePosition(ModelCode::kKrt07, 9, 0);
  Stored(8, 0);
  auto undated = Record(84, {0x42});
  undated[66] = undated[67] = 0;
  PutRecord(ModelCode::kKrt07, 8, undated);
  env_.values.texts["LastOperationHistory"] = "110714.csv";
  ASSERT_EQ(Step(ModelCode::kKrt07), 0);
  EXPECT_EQ(DayFile("110714.csv"), FormatHistoryLine(undated) + "\r\n");
  EXPECT_EQ(env_.values.texts["LastOperationHistory"], "110714.csv");
  EXPECT_FALSE(fs::exists(env_.path("114208.csv")));
  const auto trace = env_.TraceMessages();
  EXPECT_NE(std::find(trace.begin(), trace.end(), "動作履歴取得 ファイルオープン(1) = " + env_.path("110714.csv")),
            trace.end());
}

TEST_F(OperationHistoryStepTest, LastDayFileLeavingTheFolder_IsRefusedAndThePointerAdvances) {
  DevicePosition(ModelCode::kKrt07, 9, 0);
  Stored(8, 0);
  auto undated = Record(84, {0x41});
  undated[66] = undated[67] = 0;
  PutRecord(ModelCode::kKrt07, 8, undated);
  env_.values.texts["LastOperationHistory"] = "../escape.csv";
  ASSERT_EQ(Step(ModelCode::kKrt07), 0);
  EXPECT_FALSE(fs::exists(env_.folder_path() + "/../escape.csv"));
  EXPECT_EQ(StoredPosition(), (HistoryPosition{9, 0}));
  ASSERT_EQ(env_.ErrorMessages().size(), 1u);
}

TEST_F(OperationHistoryStepTest, BadDate_SkipsTheRecordAndStillAdvances) {
  DevicePosition(ModelCode::kKrt77, 9, 0);
  Stored(8, 0);
  PutRecord(ModelCode::kKrt77, 8, Record(84, {0x07, 0x32, 0x09, 0x30, 0x59, 103}));
  ASSERT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{9, 0}));
  EXPECT_TRUE(fs::is_empty(env_.folder_path()));
  EXPECT_EQ(env_.ErrorMessages(), std::vector<std::string>{"動作履歴取得 日付が不正"});
  const auto trace = env_.TraceMessages();
  EXPECT_NE(std::find(trace.begin(), trace.end(), "日付チェックエラー11 = 32"), trace.end());
}

TEST_F(OperationHistoryStepTest, RecordAnsweredWithWrongLength_IsSkipped) {
  DevicePosition(ModelCode::kKrt77, 9, 0);
  Stored(8, 0);
  device_.intercept = [](const SentRead& read) -> std::optional<DeviceReply> {
    if (read.length == 0x54) return testing::SingleByte(kNak);
    return std::nullopt;
  };
  ASSERT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(StoredPosition(), (HistoryPosition{9, 0}));
  EXPECT_TRUE(fs::is_empty(env_.folder_path()));
}

TEST_F(OperationHistoryStepTest, RecordNotAnswered_KeepsThePositionAndReportsTheStatus) {
  DevicePosition(ModelCode::kKrt77, 9, 0);
  Stored(8, 0);
  device_.intercept = [](const SentRead& read) -> std::optional<DeviceReply> {
    if (read.length == 0x54) return testing::Silence();
    return std::nullopt;
  };
  EXPECT_EQ(Step(ModelCode::kKrt77), StatusNumber(kReplyTimeout));
  EXPECT_EQ(StoredPosition(), (HistoryPosition{8, 0}));
  const auto trace = env_.TraceMessages();
  EXPECT_EQ(trace[trace.size() - 2], "メモリリード３（動作履歴取得）エラー エラーと電文長 = -1, 0");
  EXPECT_EQ(trace.back(), "動作ログ取得 動作履歴ログ記録取得エラー");
}

TEST_F(OperationHistoryStepTest, PointerAnsweredWrongly_ReturnsMinus10AndWritesTheExamRecord) {
  Stored(8, 0);
  device_.intercept = [](const SentRead&) -> std::optional<DeviceReply> { return testing::SingleByte(kBel); };
  EXPECT_EQ(Step(ModelCode::kKrt77), kWrongAnswerLength);
  EXPECT_NE(env_.ExamText().find(",6,1,0,0\r\n"), std::string::npos);
  const auto trace = env_.TraceMessages();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[trace.size() - 2], "メモリリード３(ポインタ取得）エラー　エラーコードとデータ長 = 0, 0");
  EXPECT_EQ(trace.back(), "格納ポインタ、上書き回数失敗 RASモードとする。");
  EXPECT_EQ(StoredPosition(), (HistoryPosition{8, 0}));

  device_.intercept = [](const SentRead&) -> std::optional<DeviceReply> { return testing::Silence(); };
  EXPECT_EQ(Step(ModelCode::kKrt03), StatusNumber(kReplyTimeout));
}

TEST_F(OperationHistoryStepTest, UnwritableValues_DoNotStopTheCopy) {
  DevicePosition(ModelCode::kKrt77, 9, 0);
  Stored(8, 0);
  PutRecord(ModelCode::kKrt77, 8, Krt77Record());
  env_.values.fail_writes = true;
  EXPECT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_EQ(DayFile("110715.csv"), FormatHistoryLine(Krt77Record()) + "\r\n");
  EXPECT_GT(env_.values.writes, 0);
}

TEST_F(OperationHistoryStepTest, FolderSizeZero_DeletesTheOldestFileBeforeAppending) {
  const std::string old_file = env_.path("100101.csv");
  std::ofstream(old_file) << "old";
  const timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, old_file.c_str(), times, 0), 0);
  settings_.log_folder_size = 0;
  DevicePosition(ModelCode::kKrt77, 9, 0);
  Stored(8, 0);
  PutRecord(ModelCode::kKrt77, 8, Krt77Record());
  ASSERT_EQ(Step(ModelCode::kKrt77), 0);
  EXPECT_FALSE(fs::exists(old_file));
  EXPECT_TRUE(fs::exists(env_.path("110715.csv")));
}

}  // namespace
}  // namespace vexokrt::devlog
