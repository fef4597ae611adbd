// SPDX-License-Identifier: Apache-2.0
// Every way the simulated machine can be made to misbehave, one switch at a time.
#include <gtest/gtest.h>

#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;

TEST(Faults, ReplacedAnswers_OncePerInjection) {
  struct Case {
    FaultKind kind;
    std::uint8_t byte;
  };
  for (Case c : {Case{FaultKind::kAnswerNak, kNak}, Case{FaultKind::kAnswerCan, kCan}, Case{FaultKind::kAnswerEm, kEm},
                 Case{FaultKind::kAnswerBel, kBel}}) {
    TestHost host(Model::kKrt07);
    host.engine.InjectFault(Fault{c.kind});
    EXPECT_TRUE(IsControl(host.Command("H00"), c.byte));
    EXPECT_EQ(host.Command("H00").data.size(), 51u);
  }
}

TEST(Faults, ReplacedAnswer_DoesNotCarryOutTheCommand) {
  TestHost host(Model::kKrt07);
  CashCounts stock = host.engine.Stock();
  host.engine.InjectFault(Fault{FaultKind::kAnswerEm, 1, '!'});
  EXPECT_TRUE(IsControl(host.Command("!06000500"), kEm));
  EXPECT_EQ(host.engine.Stock(), stock);
}

TEST(Faults, AimedAtOneCommand_LeavesOthersAlone) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kAnswerNak, 2, '"'});
  EXPECT_EQ(host.Command("H00").data.size(), 51u);
  EXPECT_TRUE(IsControl(host.Command("\"00"), kNak));
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
  EXPECT_TRUE(IsControl(host.Command("\"00"), kNak));
  EXPECT_EQ(host.Command("\"00").data.size(), 70u);
}

TEST(Faults, AimedAtEnq) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kAnswerCan, 1, kEnquiryTarget});
  EXPECT_EQ(host.Command("H00").data.size(), 51u);
  EXPECT_TRUE(IsControl(host.Enq(), kCan));
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
}

TEST(Faults, Sub_HoldsTheAnswerBackForTheGivenTime) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kAnswerSub, 1, 'H', 3000});
  host.Send("H00");
  EXPECT_EQ(host.Receive(500).kind, ParsedAnswer::Kind::kIncomplete);
  EXPECT_TRUE(IsControl(host.Enq(), kSub));
  host.clock.AdvanceMs(2499);
  EXPECT_TRUE(IsControl(host.Enq(), kSub));
  host.clock.AdvanceMs(1);
  ParsedAnswer held = host.Enq();
  ASSERT_EQ(held.kind, ParsedAnswer::Kind::kData);
  EXPECT_EQ(held.data.size(), 51u);
}

TEST(Faults, CorruptBcc_HitsTheNextDataFrameOnly) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kCorruptBcc});
  EXPECT_TRUE(IsControl(host.Enq(), kAck));  // a control byte has no BCC
  ParsedAnswer a = host.Command("H00");
  EXPECT_EQ(a.kind, ParsedAnswer::Kind::kError);
  EXPECT_EQ(a.error, "BCC error");
  EXPECT_EQ(host.Command("H00").kind, ParsedAnswer::Kind::kData);
}

TEST(Faults, WrongFirstByte) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kWrongFirstByte});
  host.Send("H00");
  std::vector<std::uint8_t> raw = host.ReceiveRaw(100);
  ASSERT_EQ(raw.size(), 57u);
  EXPECT_EQ(raw[0], 0x09);
}

TEST(Faults, TruncatedAndOverlongFrames) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kTruncatedFrame});
  host.Send("H00");
  std::vector<std::uint8_t> truncated = host.ReceiveRaw(100);
  EXPECT_EQ(truncated.size(), 55u);
  EXPECT_NE(truncated.back(), kEtx);

  host.engine.InjectFault(Fault{FaultKind::kOverlongFrame});
  host.Send("H00");
  std::vector<std::uint8_t> overlong = host.ReceiveRaw(100);
  ASSERT_EQ(overlong.size(), 61u);
  ParsedAnswer first = ParseAnswer(overlong);
  EXPECT_EQ(first.kind, ParsedAnswer::Kind::kData);  // a good frame followed by stray bytes
  EXPECT_EQ(first.consumed, 57u);
}

TEST(Faults, DelayedAnswer_ArrivesLateAndKeepsItsPlaceInLine) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kDelay, 1, 0, 700});
  host.Send("H00");
  EXPECT_EQ(host.Receive(699).kind, ParsedAnswer::Kind::kIncomplete);
  host.SendRaw({kEnq});  // answered only after the delayed frame
  ParsedAnswer late = host.Receive(1);
  EXPECT_EQ(late.kind, ParsedAnswer::Kind::kData);
  EXPECT_TRUE(IsControl(host.Receive(1), kAck));
}

TEST(Faults, DroppedAnswer) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kDrop});
  EXPECT_EQ(host.Command("H00", 2000).kind, ParsedAnswer::Kind::kIncomplete);
  EXPECT_EQ(host.Command("H00").kind, ParsedAnswer::Kind::kData);
}

TEST(Faults, AnyCommand_SparesEnqAnswersAndUnaskedBytes) {
  TestHost host(Model::kKrt07);
  host.Command("F045000");
  host.engine.InjectFault(Fault{FaultKind::kDrop});
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
  host.engine.HoldBillIntake();
  EXPECT_TRUE(IsControl(host.Receive(), kDc1));
  EXPECT_EQ(host.Command("H00", 1000).kind, ParsedAnswer::Kind::kIncomplete);  // this one is dropped
}

TEST(Faults, ClearFaults_RemovesEveryPendingOne) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kDrop, 5});
  host.engine.ClearFaults();
  EXPECT_EQ(host.Command("H00").kind, ParsedAnswer::Kind::kData);
}

TEST(Faults, Unplugged_Silence_ThenBackAgain) {
  TestHost host(Model::kKrt07);
  host.engine.SetUnplugged(true);
  EXPECT_EQ(host.Command("H00", 2000).kind, ParsedAnswer::Kind::kIncomplete);
  EXPECT_EQ(host.Enq().kind, ParsedAnswer::Kind::kIncomplete);
  EXPECT_EQ(host.engine.ReceivedFrames().back().detail, "ignored: unplugged");
  host.engine.SetUnplugged(false);
  EXPECT_EQ(host.Command("H00").data.size(), 51u);
}

TEST(Faults, UnpluggedWhileAnAnswerIsHeldBack_TheHeldAnswerIsLostAndHoldsNothingUp) {
  TestHost host(Model::kKrt07);
  host.engine.InjectFault(Fault{FaultKind::kDelay, 1, 0, 600000});
  host.Send("H00");
  EXPECT_EQ(host.Receive(1000).kind, ParsedAnswer::Kind::kIncomplete);
  host.engine.SetUnplugged(true);
  host.engine.SetUnplugged(false);
  EXPECT_EQ(host.Command("H00").data.size(), 51u) << "answered at once, not behind the lost answer";
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
}

TEST(Faults, Jam_RefusesActionsUntilResetAndEndsARunningOne) {
  EngineOptions options = testing::OptionsFor(Model::kKrt07);
  options.durations.dispense_ms = 1000;
  TestHost host(options);
  host.Send("!06000100");
  host.clock.AdvanceMs(200);
  host.engine.SetJam(true, 0x0521);
  EXPECT_TRUE(IsControl(host.Enq(), kBel));
  EXPECT_TRUE(IsControl(host.Command("!06000100"), kBel));
  EXPECT_TRUE(IsControl(host.Command("F045000"), kBel));
  EXPECT_EQ(host.Status()[1], '1');
  EXPECT_TRUE(IsControl(host.Action("000"), kAck));  // the reset clears it
  EXPECT_FALSE(host.engine.Jammed());
  EXPECT_TRUE(IsControl(host.Action("!06000100"), kAck));
}

TEST(Faults, Jam_ThatTheResetCannotClear) {
  TestHost host(Model::kKrt07);
  host.engine.SetJam(true, 0x0300, /*clears_on_reset=*/false);
  EXPECT_TRUE(IsControl(host.Action("000"), kAck));
  EXPECT_TRUE(host.engine.Jammed());
  host.engine.SetJam(false);
  EXPECT_EQ(host.Status()[1], '0');
}

TEST(Faults, CassetteRemoved_RefusesActionsAndEmptiesTheBoxWhenBack) {
  TestHost host(Model::kKrt77);
  host.engine.SetCassetteRemoved(true);
  EXPECT_TRUE(IsControl(host.Command("!06001000"), kBel));
  host.engine.SetCassetteRemoved(false);
  CashCounts box = host.engine.Box();
  for (int i = 6; i < kDenominationCount; ++i) EXPECT_EQ(box[i], 0) << kFaceValues[i];
  EXPECT_TRUE(IsControl(host.Action("!06001000"), kAck));
}

TEST(Faults, NearEmptyEmptyAndFull_FollowTheInventory) {
  TestHost host(Model::kKrt07);
  int i = *DenominationIndex(500);
  host.engine.SetThresholds(i, Thresholds{0, 3, 8, 10});
  CashCounts stock = host.engine.Stock();
  stock[i] = 4;
  host.engine.SetStock(stock);
  ASSERT_TRUE(IsControl(host.Action("!06000500"), kAck));  // 500 x 1 -> 3 left: near empty
  std::vector<std::uint8_t> d = host.Status();
  EXPECT_EQ(d[16] & 0x02, 0x02);
  EXPECT_EQ(d[19] & 0x02, 0x00);
  ASSERT_TRUE(IsControl(host.Action("!06001500"), kAck));  // 1000 + 500 x 1 -> 2
  host.engine.SetStock([&] {
    CashCounts s = host.engine.Stock();
    s[i] = 0;
    return s;
  }());
  EXPECT_EQ(host.Status()[19] & 0x02, 0x02);  // empty
  host.engine.SetDurations(ActionDurations{.counting_ms = 0});
  host.Command("F045000");
  host.engine.InsertCash([&] {
    CashCounts c{};
    c[i] = 10;
    return c;
  }());
  EXPECT_EQ(host.Status()[10] & 0x02, 0x02);  // full
}

}  // namespace
}  // namespace vexokrt::sim
