// SPDX-License-Identifier: Apache-2.0
// The status record and the counts answer carry every byte the host reads, in
// the places and with the lengths of each model.
#include <gtest/gtest.h>

#include "sim/answers.h"
#include "sim/status_record.h"
#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::TestHost;
using testing::TextOf;

// The host reads the ten denominations of a group in this order:
// g bit 1, g+1 bit 3, g bit 0, g+1 bit 2, g+1 bit 1, g+1 bit 0, g+2 bits 3..0,
// meaning 10000, 5000, 2000, 1000, 500, 100, 50, 10, 5, 1 yen.
std::vector<int> FacesSetInGroup(const std::vector<std::uint8_t>& d, int g) {
  const int where[10][2] = {{0, 1}, {1, 3}, {0, 0}, {1, 2}, {1, 1}, {1, 0}, {2, 3}, {2, 2}, {2, 1}, {2, 0}};
  const int faces[10] = {10000, 5000, 2000, 1000, 500, 100, 50, 10, 5, 1};
  std::vector<int> set;
  for (int k = 0; k < 10; ++k) {
    if ((d[static_cast<std::size_t>(g + where[k][0])] >> where[k][1]) & 1) set.push_back(faces[k]);
  }
  return set;
}

TEST(StatusRecord, LengthAndCommandPerModel) {
  struct Case {
    Model model;
    std::size_t length;
  };
  for (Case c : {Case{Model::kKrt02FA, 44}, Case{Model::kKrt03, 53}, Case{Model::kKrt07, 51}, Case{Model::kKrt77, 51}}) {
    SCOPED_TRACE(TraitsOf(c.model).display_name);
    TestHost host(c.model);
    std::vector<std::uint8_t> d = host.Status();
    ASSERT_EQ(d.size(), c.length);
    EXPECT_EQ(d[1], '0');
    EXPECT_EQ(TextOf({d.begin() + 3, d.begin() + 7}), "0000");
    EXPECT_EQ(d[43], '0');
  }
}

TEST(StatusRecord, FreshMachine_ReportsNoFillLevelAndNoDeposit) {
  TestHost host(Model::kKrt07);
  std::vector<std::uint8_t> d = host.Status();
  for (int g : {9, 12, 15, 18}) EXPECT_TRUE(FacesSetInGroup(d, g).empty()) << "group at " << g;
  EXPECT_EQ(TextOf({d.begin() + 47, d.begin() + 51}), "0000");
}

TEST(StatusRecord, EachDenomination_LandsOnItsReportingPosition) {
  for (int i = 0; i < kDenominationCount; ++i) {
    SCOPED_TRACE(kFaceValues[i]);
    TestHost host(Model::kKrt77);
    Thresholds t = host.engine.GetThresholds(i);
    t.empty = 0;
    t.near_empty = 5;
    host.engine.SetThresholds(i, t);
    CashCounts stock = host.engine.Stock();
    stock[i] = 0;
    host.engine.SetStock(stock);
    std::vector<std::uint8_t> d = host.Status();
    EXPECT_EQ(FacesSetInGroup(d, 18), std::vector<int>{kFaceValues[i]});  // EMPTY
    EXPECT_EQ(FacesSetInGroup(d, 15), std::vector<int>{kFaceValues[i]});  // NEAR-EMPTY
    EXPECT_TRUE(FacesSetInGroup(d, 9).empty());
  }
}

TEST(StatusRecord, ThresholdEdges_NearEmptyAtTheLevelNotAbove) {
  TestHost host(Model::kKrt07);
  int i = *DenominationIndex(100);
  host.engine.SetThresholds(i, Thresholds{0, 15, 90, 100});
  CashCounts stock = host.engine.Stock();
  stock[i] = 16;
  host.engine.SetStock(stock);
  EXPECT_TRUE(FacesSetInGroup(host.Status(), 15).empty());
  stock[i] = 15;
  host.engine.SetStock(stock);
  EXPECT_EQ(FacesSetInGroup(host.Status(), 15), std::vector<int>{100});
  stock[i] = 90;
  host.engine.SetStock(stock);
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(FacesSetInGroup(d, 12), std::vector<int>{100});  // NEAR-FULL
  EXPECT_TRUE(FacesSetInGroup(d, 9).empty());
  stock[i] = 100;
  host.engine.SetStock(stock);
  EXPECT_EQ(FacesSetInGroup(host.Status(), 9), std::vector<int>{100});  // FULL
}

TEST(StatusRecord, BillBoxLevels_InByte21) {
  TestHost host(Model::kKrt07);
  host.engine.SetBillBoxLimits(10, 20);
  CashCounts box{};
  box[*DenominationIndex(10000)] = 10;
  host.engine.SetBox(box);
  EXPECT_EQ(host.Status()[21], '4');
  box[*DenominationIndex(10000)] = 20;
  host.engine.SetBox(box);
  EXPECT_EQ(host.Status()[21], '<');  // bits 3 and 2
}

TEST(StatusRecord, Jam_SetsByte1AndTheErrorNumber) {
  TestHost host(Model::kKrt07);
  host.engine.SetJam(true, 0x12AF);
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(d[1], '1');
  EXPECT_EQ(TextOf({d.begin() + 3, d.begin() + 7}), "12:?");
  host.engine.SetJam(false);
  d = host.Status();
  EXPECT_EQ(d[1], '0');
  EXPECT_EQ(TextOf({d.begin() + 3, d.begin() + 7}), "0000");
}

TEST(StatusRecord, CassetteRemoved_Byte43Bit3) {
  TestHost host(Model::kKrt77);
  host.engine.SetCassetteRemoved(true);
  EXPECT_EQ(host.Status()[43], '8');
}

TEST(StatusRecord, DepositPairsSitWhereEachModelKeepsThem) {
  TestHost krt77(Model::kKrt77);
  krt77.Command("F04" "5000");
  std::vector<std::uint8_t> d = krt77.Status();
  EXPECT_EQ(TextOf({d.begin() + 47, d.begin() + 51}), "3333");
  EXPECT_EQ(d[43], '2');
  EXPECT_EQ(d[1], '3');

  TestHost krt03(Model::kKrt03);
  krt03.Command("=0220");
  d = krt03.Status();
  EXPECT_EQ(TextOf({d.begin() + 47, d.begin() + 53}), "003333");
}

TEST(StatusRecord, Override_ReplacesOneByteUntilCleared) {
  TestHost host(Model::kKrt07);
  host.engine.OverrideStatusByte(44, '4');
  EXPECT_EQ(host.Status()[44], '4');
  host.engine.ClearStatusOverrides();
  EXPECT_EQ(host.Status()[44], '0');
}

TEST(CountsAnswer, Layout_SetsAAndBWithTheDiscrepancyByte) {
  CashCounts a{};
  CashCounts b{};
  for (int i = 0; i < kDenominationCount; ++i) {
    a[i] = 100 + i;
    b[i] = 200 + i;
  }
  std::string text = TextOf(CountsAnswer(a, b, 5));
  ASSERT_EQ(text.size(), 70u);
  EXPECT_EQ(text.substr(0, 12), "107109108106");   // set A 2000, 10000, 5000, 1000
  EXPECT_EQ(text.substr(12, 12), "207209208206");  // set B
  EXPECT_EQ(text.substr(24, 18), "105104103102101100");
  EXPECT_EQ(text[42], '5');
  EXPECT_EQ(text.substr(43, 9), "000000000");
  EXPECT_EQ(text.substr(52, 18), "205204203202201200");
}

TEST(CountsAnswer, Krt03_TwoAnswersOfThirtyInDeviceOrder) {
  TestHost host(Model::kKrt03);
  CashCounts stock{};
  CashCounts box{};
  for (int i = 0; i < kDenominationCount; ++i) {
    stock[i] = i + 1;
    box[i] = 20 + i;
  }
  host.engine.SetStock(stock);
  host.engine.SetBox(box);
  EXPECT_EQ(TextOf(host.Command("\"00").data), "006005004003002001010009008007");
  EXPECT_EQ(TextOf(host.Command("&00").data), "025024023022021020029028027026");
}

TEST(CountsAnswer, Krt07_ReportsStockAndBoxAndCountCheckClearsTheDiscrepancy) {
  TestHost host(Model::kKrt07);
  host.engine.SetDiscrepancy(3);
  std::string text = TextOf(host.Command("\"00").data);
  ASSERT_EQ(text.size(), 70u);
  EXPECT_EQ(text[42], '3');
  EXPECT_EQ(text.substr(24, 3), "025");  // 500-yen stock of a fresh machine
  ASSERT_TRUE(testing::IsControl(host.Action("f010"), kAck));
  EXPECT_EQ(TextOf(host.Command("\"00").data)[42], '0');
}

}  // namespace
}  // namespace vexokrt::sim
