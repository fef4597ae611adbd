// SPDX-License-Identifier: Apache-2.0
// The direct I/O command table, the byte input of pString and the texts of
// the readouts, from answer bytes laid out as the device sends them.
#include "directio/readouts.h"

#include <gtest/gtest.h>

#include <string>

namespace vexokrt::directio {
namespace {

std::vector<uint8_t> B(std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Three-digit fields of |values| laid end to end.
std::string Fields(std::initializer_list<int> values, int width = 3) {
  std::string text;
  for (int v : values) {
    std::string digits = std::to_string(v);
    text += std::string(width - digits.size(), '0') + digits;
  }
  return text;
}

TEST(DirectIoTable, FiftyOneNumbersWithTheirModels) {
  EXPECT_EQ(CommandTable().size(), 51u);
  for (int32_t number : {0, -1, 5, 6, 7, 14, 20, 34, 40, 44, 50, 54, 60, 65, 70, 88, 1000, 1002}) {
    EXPECT_EQ(FindCommand(number), nullptr) << number;
  }
  struct Case {
    int32_t number;
    ModelCode model;
    bool allowed;
  };
  const Case cases[] = {
      {1, ModelCode::kKrt03, true},   {2, ModelCode::kKrt02, true},   {2, ModelCode::kKrt07, false},
      {3, ModelCode::kKrt03, true},   {3, ModelCode::kKrt02, false},  {4, ModelCode::kKrt02, true},
      {4, ModelCode::kKrt03, true},   {4, ModelCode::kKrt07, false},  {4, ModelCode::kKrt77, false},
      {8, ModelCode::kKrt03, false},  {8, ModelCode::kKrt77, true},   {9, ModelCode::kKrt03, false},
      {21, ModelCode::kKrt02, false}, {21, ModelCode::kKrt77, true},  {87, ModelCode::kKrt07, true},
      {87, ModelCode::kKrt02, false}, {1001, ModelCode::kKrt02, true},
  };
  for (const Case& c : cases) {
    const CommandRow* row = FindCommand(c.number);
    ASSERT_NE(row, nullptr) << c.number;
    EXPECT_EQ(ModelAllowed(row->models, c.model), c.allowed) << c.number << " on " << static_cast<int>(c.model);
  }
  // The commands that only read held values pause nothing.
  for (int32_t number : {1, 11, 23, 51, 80, 81, 87, 1001}) EXPECT_FALSE(FindCommand(number)->pause) << number;
  for (int32_t number : {2, 8, 29, 33, 41, 71, 73, 86}) EXPECT_TRUE(FindCommand(number)->pause) << number;
}

TEST(DirectIoByteInput, EachConversionAndWhatItRefuses) {
  struct Case {
    std::string text;
    int32_t conversion;
    std::optional<std::vector<uint8_t>> bytes;
  };
  const Case cases[] = {
      {"A0", 0, B("A0")},
      {"", 0, std::nullopt},
      {"3132", 1, B("12")},
      {"1?", 1, std::vector<uint8_t>{0x1F}},
      {"313", 1, std::nullopt},
      {"", 1, std::nullopt},
      {"049050255", 2, std::vector<uint8_t>{49, 50, 255}},
      {"0490", 2, std::nullopt},
      {"256", 2, std::nullopt},
      {"04a", 2, std::nullopt},
      {"", 2, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ByteInput(c.text, c.conversion), c.bytes) << c.text << " / " << c.conversion;
}

TEST(DirectIoArguments, SidesExitsCodesAndTargets) {
  // Side 0/1 only at exits 1, 4, 6; 2 anywhere but 3; 3 not at 2, 5, 7.
  const bool expected[4][8] = {
      {false, true, false, false, true, false, true, false},
      {false, true, false, false, true, false, true, false},
      {true, true, true, false, true, true, true, true},
      {true, true, false, true, true, false, true, false},
  };
  for (int side = 0; side < 4; ++side) {
    for (int exit = 0; exit < 8; ++exit) EXPECT_EQ(SideAllowedAtExit(side, exit), expected[side][exit]) << side << "@" << exit;
  }
  EXPECT_FALSE(SideAllowedAtExit(4, 1));

  EXPECT_EQ(FourDigitCode(B("7")), "0007");
  EXPECT_EQ(FourDigitCode(B("1234")), "1234");
  EXPECT_EQ(FourDigitCode(B("12345")), std::nullopt);
  EXPECT_EQ(FourDigitCode(B("12a")), std::nullopt);

  const std::optional<CountAndCode> parsed = ParseCountAndCode("99999,9,F");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->number, 99999);
  EXPECT_EQ(parsed->first, 9);
  EXPECT_EQ(parsed->second, 15);
  for (const char* bad : {"100000,0,0", "1,G,0", "1,a,0", "1,0", "1,0,0,0", ",0,0", "1,10,0"}) {
    EXPECT_EQ(ParseCountAndCode(bad), std::nullopt) << bad;
  }

  // 6788 = 5000 + 1000 + 500 + 2x100 + 50 + 3x10 + 5 + 3x1; 2000 never.
  EXPECT_EQ(ChangeTargets(6788), (CashCounts{0, 1, 0, 1, 1, 2, 1, 3, 1, 3}));
  EXPECT_EQ(ChangeTargets(22000), (CashCounts{2, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
}

TEST(DirectIoReadouts, CountLayoutsOfTheDeviceAnswers) {
  // "]00": block 1 at 0 (three digits), block 2 at 33 (four), bills of
  // block 3 at 81, of block 4 at 96.
  std::string table = Fields({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) + "???" +
                      Fields({11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, 4) + "????????" +
                      Fields({21, 22, 23, 24}) + "???" + Fields({25, 26, 27, 28}, 4) + "????????????";
  ASSERT_EQ(table.size(), 124u);
  EXPECT_EQ(CountTableText(B(table), 1), "1:6,5:5,10:4,50:3,100:2,500:1;1000:10,2000:9,5000:8,10000:7");
  EXPECT_EQ(CountTableText(B(table), 2), "1:16,5:15,10:14,50:13,100:12,500:11;1000:20,2000:19,5000:18,10000:17");
  EXPECT_EQ(CountTableText(B(table), 3), "1:0,5:0,10:0,50:0,100:0,500:0;1000:24,2000:23,5000:22,10000:21");
  EXPECT_EQ(CountTableText(B(table), 4), "1:0,5:0,10:0,50:0,100:0,500:0;1000:28,2000:27,5000:26,10000:25");
  EXPECT_EQ(CountTableText(B(table.substr(0, 119)), 1), std::nullopt);

  // "Y00": eleven fields, a six-digit value, one character.
  const std::string summary = Fields({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 99}) + "012345" + "X";
  EXPECT_EQ(CountSummaryText(B(summary)), "1:6,5:5,10:4,50:3,100:2,500:1;1000:10,2000:9,5000:8,10000:7,12345,X");
  EXPECT_EQ(CountSummaryText(B(summary + "0")), std::nullopt);

  // "u01": two blocks, a six-digit value and one digit.
  const std::string two = Fields({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) + "000" +
                          Fields({11, 12, 13, 14, 15, 16, 17, 18, 19, 20}) + "000" + "001500" + "1";
  EXPECT_EQ(TwoBlockText(B(two)), "1:6,5:5,10:4,50:3,100:2,500:1;1000:10,2000:9,5000:8,10000:7/"
                                  "1:16,5:15,10:14,50:13,100:12,500:11;1000:20,2000:19,5000:18,10000:17,1500,1");
  EXPECT_EQ(TwoBlockText(B(two.substr(1))), std::nullopt);

  // Memory read: sixteen HexNibble values; "0012" at value 0 is 18 notes.
  std::string memory;
  for (int v = 0; v < 16; ++v) memory += v == 0 ? "0012" : "000" + std::string(1, static_cast<char>('0' + v));
  EXPECT_EQ(MemoryCountsText(B(memory)), "1:13,5:12,10:11,50:10,100:9,500:8;1000:3,2000:2,5000:1,10000:18");
  memory[63] = '?';
  EXPECT_EQ(MemoryCountsText(B(memory)), "1:13,5:12,10:11,50:10,100:9,500:8;1000:3,2000:2,5000:1,10000:18");
  EXPECT_EQ(MemoryCountsText(B(memory.substr(1))), std::nullopt);
}

TEST(DirectIoReadouts, LastChangeSignsCoinStateVersionAndPages) {
  // Holding exactly the break-down of 6788 (no 10000-yen notes): all '0'.
  const std::string exact = Fields({1, 2, 1, 3, 1, 3, 0, 1, 0, 1, 0});
  EXPECT_EQ(LastChangeText(B(exact), 6788),
            "1:3,5:1,10:3,50:1,100:2,500:1;1000:1,2000:0,5000:1,10000:0"
            ";1:0,5:0,10:0,50:0,100:0,500:0;1000:0,2000:0,5000:0,10000:0");
  const std::string off = Fields({0, 3, 1, 3, 1, 3, 1, 1, 5, 1, 0});
  EXPECT_EQ(LastChangeText(B(off), 6788),
            "1:3,5:1,10:3,50:1,100:3,500:0;1000:1,2000:5,5000:1,10000:1"
            ";1:0,5:0,10:0,50:0,100:+,500:-;1000:0,2000:0,5000:0,10000:+");
  EXPECT_EQ(LastChangeText(B(exact + "0"), 6788), std::nullopt);

  // "[00": six coin counts, then s, p, q at 24..26.
  const std::string coins = Fields({1, 2, 3, 4, 5, 6}) + "??????" + "2" + "0" + "4";
  ASSERT_TRUE(ParseCoinState(B(coins)));
  EXPECT_EQ(CoinStateText(*ParseCoinState(B(coins))), "1:6,5:5,10:4,50:3,100:2,500:1,2,1,0");
  const std::optional<CoinState> alarm = ParseCoinState(B(coins.substr(0, 25) + "??"));
  ASSERT_TRUE(alarm);
  EXPECT_EQ(alarm->warning, 1);
  EXPECT_EQ(alarm->alarm, 1);
  EXPECT_EQ(ParseCoinState(B(coins.substr(0, 26))), std::nullopt);
  EXPECT_EQ(CoinStateFailureText(), "1:0,5:0,10:0,50:0,100:0,500:0,0,0,1");

  EXPECT_EQ(VersionText(1006312, {}), "1006312");
  EXPECT_EQ(VersionText(1006312, B("ABCDEFGHIJK")), "1006312,ABCDE,FGHIJ,K");

  EXPECT_EQ(SettingsPageText(12, B("0;12?")), "C:0,B,1,2,F");
  EXPECT_EQ(SettingsPageText(3, B("90000")), "3:9,0,0,0,0");
  EXPECT_EQ(SettingsPageText(3, B("9000@")), std::nullopt);
  EXPECT_EQ(SettingsPageText(3, B("9000")), std::nullopt);

  EXPECT_EQ(PageDataText(B("09:;<=>?")), "09ABCDEF");
}

TEST(DirectIoReadouts, StatusTextsFromTheKeptRecord) {
  std::string status(51, '0');
  status[1] = 'L';  // low four bits 12: shown as 0
  status[2] = '5';
  status[7] = '0' | 0x05;
  status[8] = '0' | 0x02;
  status[44] = '0' | 0x04;
  status[45] = '0' | 0x06;
  EXPECT_EQ(StatusFlagsText(B(status)), "1,1,0,0,1");
  EXPECT_EQ(StatusSummaryText(B(status)), "0,2,1,1,5");
  status[1] = '0' | 0x0B;
  EXPECT_EQ(StatusSummaryText(B(status)).substr(0, 2), "b,");

  // Fill levels: the later triple wins (near full, full, near empty, empty).
  std::string levels(51, '0');
  levels[9] = '0' | 0x02;   // position 1 full
  levels[12] = '0' | 0x02;  // ... and near full: full is applied later
  levels[13] = '0' | 0x08;  // position 2 near full
  levels[17] = '0' | 0x01;  // position 10 near empty
  levels[20] = '0' | 0x01;  // ... and empty: empty wins
  levels[18] = '0' | 0x01;  // position 3 empty
  EXPECT_EQ(FillLevelsText(B(levels)), "1,2,4,0,0,0,0,0,0,4");
}

}  // namespace
}  // namespace vexokrt::directio
