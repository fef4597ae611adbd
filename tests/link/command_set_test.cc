// SPDX-License-Identifier: Apache-2.0
#include "link/command_set.h"

#include <gtest/gtest.h>

#include <string>

#include "opos/opos.h"

namespace vexokrt {
namespace {

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::string Body(const DeviceCommand& command) { return Text(command.bytes).substr(1); }

// Record order: 10000, 5000, 2000, 1000, 500, 100, 50, 10, 5, 1.
constexpr CountBlock kMixed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

TEST(CountBlock, FieldsGoOutInDeviceOrder) {
  std::vector<uint8_t> out;
  ASSERT_EQ(AppendCountBlock(out, kMixed, CountMarkers::kNone), opos::OPOS_SUCCESS);
  // 500, 100, 50, 10, 5, 1, 10000, 5000, 2000, 1000.
  EXPECT_EQ(Text(out), "005006007008009010001002003004");
}

TEST(CountBlock, MarkersDependOnTheCommand) {
  CountBlock markers = {kCountAllPieces, kCountKeywordPlace, 0, 999, 0, 0, 0, 0, 0, kCountAllPieces};
  std::vector<uint8_t> plain;
  EXPECT_EQ(AppendCountBlock(plain, markers, CountMarkers::kNone), opos::OPOS_E_ILLEGAL);
  EXPECT_TRUE(plain.empty()) << "nothing is appended for a refused block";

  std::vector<uint8_t> take_back;
  ASSERT_EQ(AppendCountBlock(take_back, markers, CountMarkers::kAllOnly), opos::OPOS_SUCCESS);
  EXPECT_EQ(Text(take_back), "000000000000000???" "???000000999");

  std::vector<uint8_t> keywords;
  ASSERT_EQ(AppendCountBlock(keywords, markers, CountMarkers::kAllAndKeywords), opos::OPOS_SUCCESS);
  EXPECT_EQ(Text(keywords), "000000000000000???" "??\?>>>000999");
}

TEST(CountBlock, CountsOutsideTheFieldAreIllegal) {
  for (int32_t bad : {1000, -3, 123456}) {
    CountBlock counts{};
    counts[4] = bad;
    std::vector<uint8_t> out;
    EXPECT_EQ(AppendCountBlock(out, counts, CountMarkers::kAllAndKeywords), opos::OPOS_E_ILLEGAL) << bad;
  }
}

TEST(DispenseCommand, HundredCoinsAreIllegalOnTwoDigitFields) {
  CountBlock hundred{};
  hundred[5] = 100;  // 100-yen coins
  EXPECT_EQ(DispenseCommand(ModelCode::kKrt02, hundred, 1000).result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(DispenseCommand(ModelCode::kKrt03, hundred, 1000).result, opos::OPOS_E_ILLEGAL);

  const BuiltCommand krt07 = DispenseCommand(ModelCode::kKrt07, hundred, 1234);
  ASSERT_TRUE(krt07.ok());
  EXPECT_EQ(Body(krt07.command), "n21" "000100000000000000000000000000" "000");
  EXPECT_EQ(krt07.command.style, WaitStyle::kBusy);
  EXPECT_EQ(krt07.command.timeout_ms, 1234);
}

TEST(DispenseCommand, Krt02AndKrt03UseTwoDigitsAndTheirOwnWaits) {
  CountBlock counts{};
  counts[0] = 99;  // 10000 yen
  counts[9] = 7;   // 1 yen
  const BuiltCommand krt02 = DispenseCommand(ModelCode::kKrt02, counts, 4321);
  ASSERT_TRUE(krt02.ok());
  EXPECT_EQ(Body(krt02.command), "$14" "00000000000799000000");
  EXPECT_EQ(krt02.command.style, WaitStyle::kBusy);
  EXPECT_EQ(krt02.command.timeout_ms, 4321);

  const BuiltCommand krt03 = DispenseCommand(ModelCode::kKrt03, counts, 4321);
  ASSERT_TRUE(krt03.ok());
  EXPECT_EQ(krt03.command.style, WaitStyle::kDispense);
  EXPECT_EQ(krt03.command.timeout_ms, kDayLongTimeoutMs);
  EXPECT_TRUE(krt03.command.rule.done.Contains(kDc3));
  EXPECT_FALSE(krt02.command.rule.done.Contains(kDc3));
}

// An amount cut to the field would pay something else than asked: what the
// field cannot carry is refused.
TEST(ChangeCommand, AmountFillsItsFieldOrIsRefused) {
  struct Case {
    ModelCode model;
    bool change;  // false: the amount dispense "m06"
    int32_t amount;
    std::string body;  // empty: refused with 106
  };
  const Case cases[] = {
      {ModelCode::kKrt07, true, 1500, "!06001500"},      {ModelCode::kKrt77, true, 999999, "!06999999"},
      {ModelCode::kKrt77, true, 1000000, ""},            {ModelCode::kKrt07, true, -1, ""},
      {ModelCode::kKrt02, true, 99999, "!0599999"},      {ModelCode::kKrt02, true, 123456, ""},
      {ModelCode::kKrt03, true, 100000, ""},             {ModelCode::kKrt03, true, 0, "!0500000"},
      {ModelCode::kKrt03, false, 12, "m06000012"},       {ModelCode::kKrt03, false, 999999, "m06999999"},
      {ModelCode::kKrt07, false, 1000000, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.model)) + " " + std::to_string(c.amount));
    const BuiltCommand built = c.change ? ChangeCommand(c.model, c.amount, 9) : AmountDispenseCommand(c.model, c.amount, 9);
    if (c.body.empty()) {
      EXPECT_EQ(built.result, opos::OPOS_E_ILLEGAL);
    } else {
      ASSERT_TRUE(built.ok());
      EXPECT_EQ(Body(built.command), c.body);
    }
  }
  EXPECT_EQ(ChangeCommand(ModelCode::kKrt02, 1, 9).command.timeout_ms, kDayLongTimeoutMs)
      << "the KRT02/KRT03 form waits up to a day";
  EXPECT_EQ(ChangeCommand(ModelCode::kKrt07, 1500, 9).command.timeout_ms, 9);
}

TEST(TakeBackCommand, AllCountsMinusOneSendQuestionMarks) {
  CountBlock all;
  all.fill(kCountAllPieces);
  const BuiltCommand built = TakeBackCommand(all);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(Body(built.command), "-1>" + std::string(30, '?'));
  EXPECT_EQ(built.command.style, WaitStyle::kTakeBack);
  EXPECT_EQ(built.command.timeout_ms, 50000);
}

TEST(TakeBackCommand, Krt03ModeCharacters) {
  const CountBlock zero{};
  const char expected[] = {'0', '2', '1', '3'};
  for (int mode = 0; mode < 4; ++mode) {
    const BuiltCommand built = TakeBackKrt03Command(zero, mode);
    ASSERT_TRUE(built.ok());
    EXPECT_EQ(Body(built.command).back(), expected[mode]) << mode;
    EXPECT_EQ(Body(built.command).size(), 3u + 30u + 1u);
  }
  EXPECT_EQ(TakeBackKrt03Command(zero, 4).result, opos::OPOS_E_ILLEGAL);
}

TEST(DepositTableCommand, EndingByMode) {
  CountBlock places;
  places.fill(kCountKeywordPlace);
  const std::string mode3 = Body(DepositTableCommand(places, 3, 50000).command);
  EXPECT_EQ(mode3, "p22" + std::string(30, '>') + ">>>0");
  const std::string mode1 = Body(DepositTableCommand(places, 1, 50000).command);
  EXPECT_EQ(mode1, "p22" + std::string(30, '0') + "0003");
  EXPECT_EQ(Body(DepositTableCommand({}, 0, 1).command).substr(33), "0000");
  EXPECT_EQ(Body(DepositTableCommand({}, 2, 1).command).substr(33), "0004");
  EXPECT_EQ(Body(DepositTableCommand({}, 4, 1).command).substr(33), "0008");
  EXPECT_EQ(Body(DepositTableCommand({}, 5, 1).command).substr(33), "000") << "no mode character above 4";
  EXPECT_EQ(DepositTableCommand({}, -1, 1).result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(DepositTableCommand({}, 1, 777).command.timeout_ms, 777);
}

TEST(OtherCommands, LayoutOfTheirFields) {
  EXPECT_EQ(Body(ExitSelectionCommand(true, true)), "b0200");
  EXPECT_EQ(Body(ExitSelectionCommand(true, false)), "b0201");
  EXPECT_EQ(Body(ExitSelectionCommand(false, true)), "b0210");

  EXPECT_EQ(Body(OperatingConditionCommand(2, {5, 5, 0, 15, 10}).command), "Q062550?:");
  EXPECT_EQ(OperatingConditionCommand(16, {}).result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(OperatingConditionCommand(2, {0, 0, 16, 0, 0}).result, opos::OPOS_E_ILLEGAL);

  EXPECT_EQ(Body(IntakeStartCommand(true)), "=0220");
  EXPECT_EQ(Body(IntakeStartCommand(false)), ">0220");
  EXPECT_EQ(IntakeStartCommand(false).delay_after_ms, 200);
  EXPECT_EQ(Body(IntakeStopCommand(false)), ">0200");
  EXPECT_EQ(IntakeStopCommand(false).style, WaitStyle::kProgress);

  EXPECT_EQ(Body(DepositModeCommand(1, 1, 1).command), "F047000");
  EXPECT_EQ(Body(DepositModeCommand(0, 1, 0).command), "F042000");
  EXPECT_EQ(DepositModeCommand(2, 0, 0).result, opos::OPOS_E_ILLEGAL);

  EXPECT_EQ(Body(EndDepositCommand(0, 1).command), "I02><");
  EXPECT_EQ(Body(EndDepositCommand(1, 1).command), "I02>=");
  EXPECT_EQ(Body(EndDepositCommand(2, 1).command), "I02>>");
  EXPECT_EQ(EndDepositCommand(3, 1).result, opos::OPOS_E_ILLEGAL);

  const BuiltCommand code = CountAndCodeCommand(1234567, 99999, 10, 15);
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(Body(code.command), "?0=23456799999:?");
  EXPECT_EQ(code.command.bytes.size(), 17u);
  EXPECT_EQ(CountAndCodeCommand(0, 100000, 0, 0).result, opos::OPOS_E_ILLEGAL);

  EXPECT_EQ(Body(PageDataCommand(7).command), "l0207");
  EXPECT_EQ(PageDataCommand(10).result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(Body(SettingsPageReadCommand(12).command), "W01<");
  EXPECT_EQ(Body(SideCountCheckCommand(3, 5).command), "f013");
  EXPECT_EQ(Body(CodeCommand(1, "0042").command), "`0510042");
  EXPECT_EQ(CodeCommand(1, "42").result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(Body(OperationModeCommand(1).command), "G011");
  EXPECT_EQ(Body(SetCountsCommand('T', kMixed).command), "T21005006007008009010001002003004000");
  EXPECT_EQ(Body(CheckedCountsCommand(kMixed).command).substr(0, 3), "/21");
  EXPECT_EQ(CheckedCountsCommand({kCountAllPieces}).result, opos::OPOS_E_ILLEGAL) << "every count must be given";

  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 1;
  local.tm_mday = 29;
  local.tm_hour = 23;
  local.tm_min = 5;
  local.tm_sec = 9;
  EXPECT_EQ(Body(ClockMinutesCommand(local)), "%0<202402292305");
  EXPECT_EQ(Body(ClockSecondsCommand(local, 0)), "r0>20240229230509");

  const uint8_t raw[] = {'s', '0', '1'};
  const BuiltCommand built = RawCommand(raw, 0);
  EXPECT_EQ(Body(built.command), "s01");
  EXPECT_EQ(built.command.timeout_ms, 10000);
}

TEST(ReadCommands, ModelChoosesTheStatusLetter) {
  EXPECT_EQ(Body(StatusCommand(ModelCode::kKrt07)), "H00");
  EXPECT_EQ(Body(StatusCommand(ModelCode::kKrt77)), "H00");
  EXPECT_EQ(Body(StatusCommand(ModelCode::kKrt02)), "i00");
  EXPECT_EQ(Body(StatusCommand(ModelCode::kKrt03)), "i00");
  EXPECT_EQ(Body(CountsCommand()), "\"00");
  EXPECT_EQ(Body(ModelNameCommand()), ":00");
  EXPECT_EQ(ModelNameCommand().timeout_ms, 500);
}

// Lengths and serials are big-endian; a serial or length past one byte shows
// whether the high byte comes first.
TEST(ProgramDownloadFrames, HeadsAndBlocksAsLaidOut) {
  std::vector<uint8_t> first(256);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i);
  const std::vector<uint8_t> start = ProgramStartFrame('3', first);
  ASSERT_EQ(start.size(), 5u + 256u);
  EXPECT_EQ(std::vector<uint8_t>(start.begin(), start.begin() + 5), (std::vector<uint8_t>{0x11, 'M', 0x01, 0x01, '3'}));
  EXPECT_EQ(std::vector<uint8_t>(start.begin() + 5, start.end()), first);

  struct Case {
    uint16_t serial;
    size_t block;
    std::vector<uint8_t> head;
  };
  const Case cases[] = {
      {0, 1, {0x11, 'N', 0x00, 0x03, 0x00, 0x00}},
      {1, 254, {0x11, 'N', 0x01, 0x00, 0x00, 0x01}},
      {0x1234, 256, {0x11, 'N', 0x01, 0x02, 0x12, 0x34}},
      {65534, 17, {0x11, 'N', 0x00, 0x13, 0xFF, 0xFE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    const std::vector<uint8_t> block(c.block, 0xA5);
    const std::vector<uint8_t> frame = ProgramDataFrame(c.serial, block);
    ASSERT_EQ(frame.size(), 6 + c.block);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 6), c.head);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 6, frame.end()), block);
  }
  EXPECT_EQ(ProgramEndFrame(), (std::vector<uint8_t>{0x11, 'O', '0', '0'}));
}

}  // namespace
}  // namespace vexokrt
