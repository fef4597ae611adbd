// SPDX-License-Identifier: Apache-2.0
// The remaining commands: settings pages, clock, exits, counts set by the
// host, and the read-outs of the newer models.
#include <gtest/gtest.h>

#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;
using testing::TextOf;

CashCounts Sequence() {
  CashCounts c{};
  for (int i = 0; i < kDenominationCount; ++i) c[i] = i + 1;  // 1 yen: 1 ... 10000 yen: 10
  return c;
}

TEST(SettingsPages, WrittenWithQ06ReadWithW01) {
  TestHost host(Model::kKrt07);
  EXPECT_EQ(TextOf(host.Command("W012").data), "04000");  // factory value of page 2
  EXPECT_TRUE(IsControl(host.Command("Q06<0;12?"), kAck));
  EXPECT_EQ(TextOf(host.Command("W01<").data), "0;12?");
  EXPECT_EQ(host.engine.SettingsPage(12), (std::array<int, 5>{0, 11, 1, 2, 15}));
  EXPECT_TRUE(IsControl(host.Command("Q06<0;12@"), kNak));  // '@' is no nibble
  EXPECT_TRUE(IsControl(host.Command("W01@"), kNak));
}

TEST(OperationMode, G01_ShowsInStatusByte2) {
  TestHost host(Model::kKrt77);
  EXPECT_TRUE(IsControl(host.Command("G011"), kAck));
  EXPECT_EQ(host.Status()[2], '1');
  EXPECT_TRUE(IsControl(host.Command("G01x"), kNak));
}

TEST(Clock, EachFamilyItsOwnForm) {
  TestHost krt02(Model::kKrt02FA);
  EXPECT_TRUE(IsControl(krt02.Command("%0<201107151230"), kAck));
  EXPECT_EQ(krt02.engine.DeviceClockText(), "201107151230");
  EXPECT_TRUE(IsControl(krt02.Command("%0<201113151230"), kNak));  // month 13
  EXPECT_TRUE(IsControl(krt02.Command("r0>20110715123000"), kNak));
  TestHost krt07(Model::kKrt07);
  EXPECT_TRUE(IsControl(krt07.Command("r0>20110715123059"), kAck));
  EXPECT_TRUE(IsControl(krt07.Command("r0>20110715123060"), kNak));
  EXPECT_TRUE(IsControl(krt07.Command("%0<201107151230"), kNak));
}

TEST(Clock, HistoryRecordsCarryTheDeviceTime) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.dispense_ms = 0;
  TestHost host(options);
  host.Command("r0>20111231235930");
  host.clock.AdvanceMs(45'000);  // into the new year
  ASSERT_TRUE(IsControl(host.Action("!06000010"), kAck));
  std::vector<std::uint8_t> record = host.engine.HistoryRecord(0);
  EXPECT_EQ(record[0], 0x01);  // month, day, hour, minute, second in packed decimal
  EXPECT_EQ(record[1], 0x01);
  EXPECT_EQ(record[2], 0x00);
  EXPECT_EQ(record[3], 0x00);
  EXPECT_EQ(record[4], 0x15);
  EXPECT_EQ(record[5], 101);
}

TEST(ExitsAndCodes, AcknowledgedWhenWellFormed) {
  TestHost host(Model::kKrt07);
  EXPECT_TRUE(IsControl(host.Command("b0210"), kAck));
  EXPECT_TRUE(IsControl(host.Command("b0212"), kNak));
  EXPECT_TRUE(IsControl(host.Command("`0511234"), kAck));
  EXPECT_TRUE(IsControl(host.Command("`0521234"), kNak));
  EXPECT_TRUE(IsControl(host.Command("?0=" "000100" "00042" "0?"), kAck));
  EXPECT_TRUE(IsControl(host.Command("?0=" "000100" "00042" "0@"), kNak));
  EXPECT_TRUE(IsControl(host.Command("/21" + std::string(30, '0') + "000"), kAck));
  EXPECT_TRUE(IsControl(host.Command("/21" + std::string(29, '0') + "x000"), kNak));
}

TEST(SetCounts, S21AndT21_ReplaceTheStock) {
  for (const char* command : {"S21", "T21"}) {
    SCOPED_TRACE(command);
    TestHost host(Model::kKrt77);
    // Device order 500, 100, 50, 10, 5, 1, 10000, 5000, 2000, 1000.
    EXPECT_TRUE(IsControl(host.Command(std::string(command) + "006005004003002001010009008007" "000"), kAck));
    EXPECT_EQ(host.engine.Stock(), Sequence());
  }
}

TEST(Readouts, CoinStateAndTheCoinUnitAction) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.coin_check_ms = 800;
  TestHost host(options);
  host.engine.SetStock(Sequence());
  host.engine.SetCoinUnitWarning(0, 4);
  std::string text = TextOf(host.Command("[00").data);
  ASSERT_EQ(text.size(), 27u);
  EXPECT_EQ(text.substr(0, 18), "006005004003002001");
  EXPECT_EQ(text.substr(24), "004");
  EXPECT_TRUE(IsControl(host.Command("\\00"), kAck));
  EXPECT_EQ(TextOf(host.Command("[00").data)[24], '3');  // the coin unit works
  host.clock.AdvanceMs(800);
  EXPECT_EQ(TextOf(host.Command("[00").data)[24], '0');
}

TEST(Readouts, CountTableAndItsClearing) {
  TestHost host(Model::kKrt77);
  host.engine.SetDurations(ActionDurations{.counting_ms = 0});
  host.engine.SetStock(Sequence());
  CashCounts box{};
  box[*DenominationIndex(10000)] = 12;
  host.engine.SetBox(box);
  host.Command("F045000");
  host.engine.InsertCash([] {
    CashCounts c{};
    c[*DenominationIndex(100)] = 3;
    return c;
  }());
  std::string text = TextOf(host.Command("]00").data);
  ASSERT_EQ(text.size(), 120u);
  EXPECT_EQ(text.substr(0, 30), "006008004003002001010009008007");  // 100 yen: 5 + 3
  EXPECT_EQ(text.substr(33, 8), "00000003");                        // deposited: 500, then 100 yen
  EXPECT_EQ(text.substr(81, 12), "012000000000");                   // box bills 10000, 5000, 2000, 1000
  EXPECT_TRUE(IsControl(host.Command("^011"), kAck));
  EXPECT_EQ(TextOf(host.Command("]00").data).substr(33, 8), "00000000");
  EXPECT_TRUE(IsControl(host.Command("^015"), kNak));
}

TEST(Readouts, SummaryTwoBlocksAndTheOlderModelsPage) {
  TestHost host(Model::kKrt07);
  host.engine.SetStock(Sequence());
  host.engine.SetBox(CashCounts{});
  std::string summary = TextOf(host.Command("Y00").data);
  ASSERT_EQ(summary.size(), 40u);
  EXPECT_EQ(summary.substr(0, 30), "006005004003002001010009008007");
  long total = 0;
  for (int i = 0; i < kDenominationCount; ++i) total += static_cast<long>(i + 1) * kFaceValues[i];
  EXPECT_EQ(std::stol(summary.substr(33, 6)), total % 1000000);

  std::string two = TextOf(host.Command("u010").data);
  ASSERT_EQ(two.size(), 73u);
  EXPECT_EQ(two.substr(0, 30), "006005004003002001010009008007");
  EXPECT_EQ(two.substr(33, 30), std::string(30, '0'));
  EXPECT_TRUE(IsControl(host.Command("u012"), kNak));

  TestHost krt02(Model::kKrt02FA);
  ParsedAnswer page = krt02.Command("l0203");
  ASSERT_EQ(page.data.size(), 32u);
  for (std::uint8_t c : page.data) EXPECT_TRUE(c >= '0' && c <= '?');
  EXPECT_TRUE(IsControl(krt02.Command("l0210"), kNak));  // pages 0-9 only
}

TEST(Krt03, RetryCommandAndItsOwnCounts) {
  TestHost host(Model::kKrt03);
  EXPECT_TRUE(IsControl(host.Command("E010"), kAck));
  EXPECT_TRUE(IsControl(host.Command("[00"), kNak));
  TestHost krt07(Model::kKrt07);
  EXPECT_TRUE(IsControl(krt07.Command("E010"), kNak));
  EXPECT_TRUE(IsControl(krt07.Command("&00"), kNak));
}

TEST(CountCheck, E00OnTheKrt02_F01OnTheNewerModels_NoneOnTheKrt03) {
  struct Case {
    Model model;
    const char* count_check;  // nothing: the model has none
  };
  for (const Case& c : {Case{Model::kKrt02FA, "e00"}, Case{Model::kKrt03, nullptr}, Case{Model::kKrt07, "f010"},
                        Case{Model::kKrt77, "f010"}}) {
    SCOPED_TRACE(TraitsOf(c.model).display_name);
    TestHost host(c.model);
    if (c.count_check != nullptr) {
      EXPECT_TRUE(IsControl(host.Action(c.count_check), kAck));
      EXPECT_EQ(host.engine.HistoryRecord(0)[6], 6);  // a count check in the operation history
    }
    for (const char* other : {"e00", "f010"}) {
      if (c.count_check == nullptr || std::string_view(other) != c.count_check) {
        EXPECT_TRUE(IsControl(host.Command(other), kNak)) << other;
      }
    }
  }
}

}  // namespace
}  // namespace vexokrt::sim
