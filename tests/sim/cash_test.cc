// SPDX-License-Identifier: Apache-2.0
// Pay-outs, change, take-backs and deposits, as the host sees them on the line
// and as the machine's inventory records them.
#include <gtest/gtest.h>

#include "sim/memory_image.h"
#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;
using testing::TextOf;

int Index(int face) { return *DenominationIndex(face); }

CashCounts Pieces(std::initializer_list<std::pair<int, int>> list) {
  CashCounts counts{};
  for (auto [face, n] : list) counts[Index(face)] = n;
  return counts;
}

TEST(Change, Greedy_LargestFirstFromTheStock) {
  TestHost host(Model::kKrt07);
  CashCounts before = host.engine.Stock();
  ASSERT_TRUE(IsControl(host.Action("!06001766"), kAck));
  CashCounts paid = Pieces({{1000, 1}, {500, 1}, {100, 2}, {50, 1}, {10, 1}, {5, 1}, {1, 1}});
  CashCounts after = host.engine.Stock();
  for (int i = 0; i < kDenominationCount; ++i) EXPECT_EQ(before[i] - after[i], paid[i]) << kFaceValues[i];
  EXPECT_EQ(host.engine.AtOutlets(), paid);
  // The last change, as the count check against it reads it.
  EXPECT_EQ(TextOf(host.Command("q00").data), "001002001001001001000000000001000");
}

TEST(Change, NeverUsesThe2000YenNote) {
  TestHost host(Model::kKrt77);
  host.engine.SetStock(Pieces({{2000, 10}, {1000, 10}}));
  ASSERT_TRUE(IsControl(host.Action("!06004000"), kAck));
  EXPECT_EQ(host.engine.Stock(), Pieces({{2000, 10}, {1000, 6}}));
}

TEST(Change, ShortOfCoins_FallsBackOnSmallerOnes) {
  TestHost host(Model::kKrt07);
  host.engine.SetStock(Pieces({{100, 0}, {50, 4}, {10, 10}}));
  ASSERT_TRUE(IsControl(host.Action("m06000300"), kAck));
  EXPECT_EQ(host.engine.AtOutlets(), Pieces({{50, 4}, {10, 10}}));
}

TEST(Change, CannotBePaid_BelAndAMatchingStatus) {
  TestHost host(Model::kKrt07);
  host.engine.SetStock(Pieces({{10, 3}, {5, 0}, {1, 0}}));
  host.engine.SetThresholds(Index(1), Thresholds{0, 10, 90, 100});
  std::vector<std::uint8_t> before = host.Status();
  EXPECT_TRUE(IsControl(host.Command("!06000033"), kBel));
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(d[1], '0');              // not an error stop
  EXPECT_EQ(d[45], '1');             // the refusal
  EXPECT_EQ(d[20] & 0x01, 0x01);     // 1 yen empty
  EXPECT_EQ(before[45], '0');
  EXPECT_EQ(host.engine.Stock()[Index(10)], 3);  // nothing paid
  // The next successful pay-out clears the refusal.
  ASSERT_TRUE(IsControl(host.Action("!06000020"), kAck));
  EXPECT_EQ(host.Status()[45], '0');
}

TEST(Change, OlderModelsUseFiveDigitsAndKrt03ItsOwnStatus) {
  TestHost krt02(Model::kKrt02FA);
  EXPECT_TRUE(IsControl(krt02.Action("!0501500"), kAck));
  EXPECT_TRUE(IsControl(krt02.Command("!06001500"), kNak));
  TestHost krt03(Model::kKrt03);
  EXPECT_TRUE(IsControl(krt03.Action("m06000120"), kAck));
}

TEST(LongAction, SubWhileRunning_FinalAnswerAfterwards) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.dispense_ms = 2000;
  TestHost host(options);
  host.Send("!06000100");
  EXPECT_EQ(host.Receive(500).kind, ParsedAnswer::Kind::kIncomplete);  // nothing at first
  EXPECT_TRUE(IsControl(host.Enq(), kSub));
  EXPECT_EQ(host.Status()[1], ';');  // reads are answered while it works
  EXPECT_TRUE(IsControl(host.Command("!06000100"), kSub));  // other actions are not
  host.clock.AdvanceMs(1400);
  EXPECT_TRUE(IsControl(host.Enq(), kSub));
  host.clock.AdvanceMs(100);
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
  EXPECT_TRUE(IsControl(host.Enq(), kAck));  // idle again
}

TEST(LongAction, QuietHost_HearsNothingUntilItAsks) {
  // Every kind of long action: it never ends unasked; the first ENQ after its
  // end gets the final answer, once.
  struct Case {
    Model model;
    const char* command;
  };
  for (const Case& c : std::vector<Case>{{Model::kKrt07, "!06000100"},
                                         {Model::kKrt77, "n21" "000001000000000000000000000000" "000"},
                                         {Model::kKrt07, "f010"},
                                         {Model::kKrt07, "p22" "000001000000000000000000000000" "0000"},
                                         {Model::kKrt07, "000"},
                                         {Model::kKrt02FA, "e00"},
                                         {Model::kKrt02FA, "$14" "00010000000000000000"},
                                         {Model::kKrt03, "!0500100"}}) {
    SCOPED_TRACE(c.command);
    TestHost host(c.model);
    host.Send(c.command);
    EXPECT_EQ(host.ReceiveRaw(10'000), std::vector<std::uint8_t>{});  // long after the action ended
    EXPECT_TRUE(IsControl(host.Enq(), kAck));
    EXPECT_EQ(host.ReceiveRaw(1000), std::vector<std::uint8_t>{});
  }
}

TEST(LongAction, EndOfADeposit_AlsoWaitsForTheEnquiry) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.counting_ms = 0;
  TestHost host(options);
  ASSERT_TRUE(IsControl(host.Command("F045000"), kAck));
  host.engine.InsertCash(Pieces({{1000, 1}}));
  host.Send("I02>>");
  EXPECT_EQ(host.ReceiveRaw(5000), std::vector<std::uint8_t>{});
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
  EXPECT_FALSE(host.engine.Deposit().open);
}

TEST(LongAction, AutoAnswerSetting_AQuietHostGetsTheFinalAnswerWhenItIsDone) {
  // The hand-driving convenience; a host that spoke meanwhile still has to ask.
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.dispense_ms = 300;
  options.auto_answer = true;
  TestHost host(options);
  host.Send("!06000100");
  int64_t sent = host.clock.NowUs();
  EXPECT_TRUE(IsControl(host.Receive(500), kAck));
  EXPECT_EQ(host.clock.NowUs() - sent, 300'000);
  host.Send("!06000100");
  host.Status();
  EXPECT_EQ(host.ReceiveRaw(1000), std::vector<std::uint8_t>{});
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
}

TEST(LongAction, StopCommand_EndsItEarlyWithEtbAndAPartialPayout) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.dispense_ms = 1000;
  TestHost host(options);
  host.engine.SetStock(Pieces({{100, 50}}));
  host.Send("n21" "000010000000000000000000000000" "000");
  host.clock.AdvanceMs(500);
  EXPECT_TRUE(IsControl(host.Enq(), kSub));
  EXPECT_TRUE(IsControl(host.Command("V00"), kAck));
  EXPECT_TRUE(IsControl(host.Enq(), kEtb));
  EXPECT_EQ(host.engine.AtOutlets()[Index(100)], 5);
  EXPECT_TRUE(IsControl(host.Command("V00"), kNak));  // nothing left to stop
}

TEST(Dispense, Counts_PaidExactlyOrRefused) {
  TestHost host(Model::kKrt77);
  host.engine.SetStock(Pieces({{1000, 3}, {10, 20}}));
  // Device order: 500, 100, 50, 10, 5, 1, 10000, 5000, 2000, 1000.
  EXPECT_TRUE(IsControl(host.Action("n21" "000000000005000000000000000002" "000"), kAck));
  EXPECT_EQ(host.engine.Stock(), Pieces({{1000, 1}, {10, 15}}));
  EXPECT_TRUE(IsControl(host.Command("n21" "000000000000000000000000000002" "000"), kBel));
  EXPECT_TRUE(IsControl(host.Command("n21" "00000000000?000000000000000000" "000"), kNak));
}

TEST(Dispense, OlderModelsTwoDigitFields) {
  TestHost host(Model::kKrt03);
  host.engine.SetStock(Pieces({{500, 4}}));
  EXPECT_TRUE(IsControl(host.Action("$14" "02000000000000000000"), kAck));
  EXPECT_EQ(host.engine.Stock()[Index(500)], 2);
}

TEST(TakeBack, AllMarkers_EmptyTheStockAndDotReadReportsIt) {
  TestHost host(Model::kKrt02FA);
  host.engine.SetStock(Pieces({{500, 7}, {1000, 3}}));
  ASSERT_TRUE(IsControl(host.Action("-1>" "???000000000000000000000000???"), kAck));
  EXPECT_EQ(host.engine.Stock(), CashCounts{});
  EXPECT_EQ(TextOf(host.Command(".00").data), "007000000000000000000000000003");
  EXPECT_TRUE(IsControl(host.Command("-1?" "0000000000000000000000000000000"), kNak));  // KRT03's form
}

TEST(TakeBack, Krt03FormWithMode) {
  TestHost host(Model::kKrt03);
  host.engine.SetStock(Pieces({{100, 9}}));
  EXPECT_TRUE(IsControl(host.Action("-1?" "000005000000000000000000000000" "2"), kAck));
  EXPECT_EQ(host.engine.Stock()[Index(100)], 4);
}

TEST(DepositTable, PayOutCollectAndEmpty) {
  TestHost host(Model::kKrt07);
  host.engine.SetStock(Pieces({{1000, 20}, {100, 30}}));
  host.engine.SetThresholds(Index(1000), Thresholds{0, 5, 90, 100});
  host.engine.SetThresholds(Index(100), Thresholds{0, 10, 90, 100});
  // Mode 0: the named pieces out ("???" = all of them).
  EXPECT_TRUE(IsControl(host.Action("p22" "000???000000000000000000000002" "0000"), kAck));
  EXPECT_EQ(host.engine.Stock(), Pieces({{1000, 18}}));
  EXPECT_EQ(TextOf(host.Command(".00").data), "000030000000000000000000000002");
  // Mode 2 (keyword places, '4'): everything above the float goes to the box.
  CashCounts box_before = host.engine.Box();
  EXPECT_TRUE(IsControl(host.Action("p22" + std::string(30, '>') + "000" "4"), kAck));
  EXPECT_EQ(host.engine.Stock()[Index(1000)], 5);
  EXPECT_EQ(host.engine.Box()[Index(1000)] - box_before[Index(1000)], 13);
  // Mode 4: nothing named, acknowledged at once.
  EXPECT_TRUE(IsControl(host.Command("p22" + std::string(30, '0') + "000" "8"), kAck));
  EXPECT_TRUE(IsControl(host.Command("p22" + std::string(30, '0') + "000" "9"), kNak));
}

TEST(Deposit, Krt07_PhasesCountsRejectsAndTheEnd) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.counting_ms = 400;
  TestHost host(options);
  EXPECT_EQ(host.engine.InsertCash(Pieces({{1000, 1}})).status, InsertResult::Status::kNoDeposit);
  ASSERT_TRUE(IsControl(host.Command("F045000"), kAck));
  EXPECT_EQ(host.engine.InsertCash(Pieces({{1000, 2}, {500, 1}}), 1, 0).status, InsertResult::Status::kCounting);
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(TextOf({d.begin() + 47, d.begin() + 51}), "3131");  // both units counting
  EXPECT_EQ(d[1], '<');
  EXPECT_EQ(d[7] & 0x04, 0x04);
  EXPECT_EQ(d[8] & 0x04, 0x04);
  host.clock.AdvanceMs(400);
  d = host.Status();
  EXPECT_EQ(TextOf({d.begin() + 47, d.begin() + 51}), "3333");
  EXPECT_EQ(d[1], '3');
  // Deposit counts in device order, then "000" and the reject digits (bills, coins).
  EXPECT_EQ(TextOf(host.Command("o00").data), "001000000000000000000000000002" "000" "01");
  EXPECT_TRUE(IsControl(host.Command(",00"), kNak));  // the older family's deposit read

  // Hold the intake: cash is refused until it reopens.
  ASSERT_TRUE(IsControl(host.Command("F047000"), kAck));
  EXPECT_EQ(host.Status()[1], '4');
  EXPECT_EQ(host.engine.InsertCash(Pieces({{10, 1}})).status, InsertResult::Status::kIntakeClosed);
  ASSERT_TRUE(IsControl(host.Command("F045000"), kAck));
  EXPECT_EQ(host.engine.InsertCash(Pieces({{10, 1}})).status, InsertResult::Status::kCounting);
  host.clock.AdvanceMs(400);

  CashCounts stock_before = host.engine.Stock();
  EXPECT_TRUE(IsControl(host.Action("I02><", kDc4), kAck));
  EXPECT_FALSE(host.engine.Deposit().open);
  d = host.Status();
  EXPECT_EQ(TextOf({d.begin() + 47, d.begin() + 51}), "0000");
  EXPECT_EQ(d[43], '0');
  EXPECT_EQ(host.engine.Stock(), stock_before);  // stored while counting, kept at the end
}

TEST(Deposit, EndWithChange_PaysWhatIsOwedOnTheSaleAmount) {
  TestHost host(Model::kKrt77);
  host.engine.SetDurations(ActionDurations{.counting_ms = 0});
  ASSERT_TRUE(IsControl(host.Command("F045000"), kAck));
  host.engine.InsertCash(Pieces({{5000, 1}}));
  ASSERT_TRUE(IsControl(host.Command("?0=" "003280" "00000" "00"), kAck));
  host.engine.TakeCash();
  EXPECT_TRUE(IsControl(host.Action("I02><", kDc4), kAck));
  EXPECT_EQ(host.engine.AtOutlets(), Pieces({{1000, 1}, {500, 1}, {100, 2}, {10, 2}}));
}

TEST(Deposit, Repay_HandsTheCountedCashBack) {
  TestHost host(Model::kKrt07);
  host.engine.SetDurations(ActionDurations{.counting_ms = 0});
  CashCounts stock_before = host.engine.Stock();
  ASSERT_TRUE(IsControl(host.Command("F045000"), kAck));
  host.engine.InsertCash(Pieces({{1000, 3}, {100, 4}}));
  EXPECT_TRUE(IsControl(host.Action("I02>=", kDc4), kAck));
  EXPECT_EQ(host.engine.AtOutlets(), Pieces({{1000, 3}, {100, 4}}));
  EXPECT_EQ(host.engine.Stock(), stock_before);
  EXPECT_EQ(TextOf(host.Command(".00").data), "000004000000000000000000000003");
}

TEST(Deposit, EndWhileCounting_WaitsForTheCountWithDc4) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.counting_ms = 1000;
  options.durations.end_deposit_ms = 200;
  TestHost host(options);
  host.Command("F045000");
  host.engine.InsertCash(Pieces({{100, 3}}));
  host.Send("I02>>");
  host.clock.AdvanceMs(900);
  EXPECT_TRUE(IsControl(host.Enq(), kDc4));
  host.clock.AdvanceMs(250);
  EXPECT_TRUE(IsControl(host.Enq(), kDc4));  // counting ended at 1000, the end takes 200 more
  host.clock.AdvanceMs(100);
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
  EXPECT_EQ(host.engine.Deposit().counted[Index(100)], 3);
}

TEST(Deposit, Krt03_IntakeCommandsAndItsPairs) {
  TestHost host(Model::kKrt03);
  host.engine.SetDurations(ActionDurations{.stop_intake_ms = 300, .counting_ms = 0});
  ASSERT_TRUE(IsControl(host.Command("+00"), kAck));
  ASSERT_TRUE(IsControl(host.Command(">0220"), kAck));
  host.engine.InsertCash(Pieces({{100, 2}, {1000, 1}}));
  EXPECT_EQ(TextOf(host.Command(",00").data), "000002000000000000000000000001" "00");
  EXPECT_TRUE(IsControl(host.Command("F045000"), kNak));  // not this model's deposit command
  EXPECT_TRUE(IsControl(host.Action("=0200", kDc4), kAck));
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(TextOf({d.begin() + 49, d.begin() + 53}), "0000");
  ASSERT_TRUE(IsControl(host.Command("+00"), kAck));
  EXPECT_EQ(TextOf(host.Command(",00").data), std::string(30, '0') + "00");
}

TEST(Deposit, HeldBillIntake_SignalsDc1AndWaitsForP00) {
  TestHost host(Model::kKrt07);
  host.Command("F045000");
  host.engine.HoldBillIntake();
  EXPECT_TRUE(IsControl(host.Receive(), kDc1));
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(TextOf({d.begin() + 47, d.begin() + 49}), "<2");
  EXPECT_EQ(host.engine.InsertCash(Pieces({{1000, 1}})).status, InsertResult::Status::kIntakeClosed);
  EXPECT_TRUE(IsControl(host.Command("P00"), kAck));
  EXPECT_EQ(host.engine.InsertCash(Pieces({{1000, 1}})).status, InsertResult::Status::kCounting);
}

TEST(Deposit, FullStorage_RefusesPiecesAndSaysWhy) {
  TestHost host(Model::kKrt07);
  host.engine.SetDurations(ActionDurations{.counting_ms = 0});
  host.engine.SetBillBoxLimits(0, 0);  // no room behind the recycler
  host.engine.SetThresholds(Index(1000), Thresholds{0, 1, 2, 3});
  host.engine.SetStock(Pieces({{1000, 3}}));
  host.Command("F045000");
  host.engine.InsertCash(Pieces({{1000, 2}}));
  EXPECT_EQ(host.engine.Deposit().counted[Index(1000)], 0);
  EXPECT_EQ(host.engine.AtOutlets()[Index(1000)], 2);
  EXPECT_EQ(host.Status()[46], '4');
}

TEST(Deposit, PiecesAndDepositsAreCountedInTheTradingBlock) {
  TestHost host(Model::kKrt07);
  host.engine.SetDurations(ActionDurations{.counting_ms = 0});
  std::uint32_t deposits = host.engine.TradingCounter(16);
  std::uint32_t thousands = host.engine.TradingCounter(trading::kDepositPieces + 4 * 3);
  host.Command("F045000");
  host.engine.InsertCash(Pieces({{1000, 4}}));
  host.Action("I02>>", kDc4);
  EXPECT_EQ(host.engine.TradingCounter(16), deposits + 1);
  EXPECT_EQ(host.engine.TradingCounter(trading::kDepositPieces + 4 * 3), thousands + 4);
}

TEST(Outlets, WithoutAutoTake_CashWaitsInTheTrayUntilTaken) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.auto_take = false;
  TestHost host(options);
  host.Action("!06001010");
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(d[7] & 0x01, 0x01);
  EXPECT_EQ(d[8] & 0x01, 0x01);
  host.engine.TakeCash();
  d = host.Status();
  EXPECT_EQ(d[7], '0');
  EXPECT_EQ(d[8], '0');
  EXPECT_EQ(host.engine.AtOutlets(), CashCounts{});
}

}  // namespace
}  // namespace vexokrt::sim
