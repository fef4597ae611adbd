// SPDX-License-Identifier: Apache-2.0
#include "link/answer_rules.h"

#include <gtest/gtest.h>

#include "link/command_set.h"
#include "opos/opos.h"
#include "support/scripted_line.h"

namespace vexokrt {
namespace {

using testing::SteppingClock;
using testing::LineEvent;
using testing::ScriptedLine;

DeviceReply Byte(uint8_t answer) {
  DeviceReply reply;
  reply.answerByte = answer;
  return reply;
}

DeviceReply Status(ReceiveStatus status) {
  DeviceReply reply;
  reply.status = status;
  return reply;
}

class AnswerRulesTest : public ::testing::Test {
 protected:
  SteppingClock clock_;
  ScriptedLine line_{clock_, ModelCode::kKrt07};
};

TEST_F(AnswerRulesTest, ReceiveFailuresComeFirstInEveryRule) {
  for (const AnswerRule& rule : {AnswerRule::Plain({kAck}), AnswerRule::Action({kAck}),
                                 AnswerRule::Table({}, AnswerAction::kSuccess, AnswerAction::kSuccess)}) {
    EXPECT_EQ(MapReply(Status(kReplyTimeout), rule, line_).code, opos::OPOS_E_NOHARDWARE);
    EXPECT_EQ(MapReply(Status(kReplyBccError), rule, line_).code, opos::OPOS_E_FAILURE);
    EXPECT_EQ(MapReply(Status(kReplyParityError), rule, line_).code, opos::OPOS_E_FAILURE);
  }
}

// "Not queued" is a status of its own, judged by each rule as the empty answer
// cancelled without a detail that used to stand for it: the results the
// application sees did not change with it.
TEST_F(AnswerRulesTest, NotQueuedIsJudgedAsAnEmptyCancelledAnswer) {
  DeviceReply empty_cancelled;
  empty_cancelled.cancelled = 255;
  const std::vector<AnswerRule> rules = {
      AnswerRule::Plain({kAck}),
      AnswerRule::Action({kAck}),
      AnswerRule::ShortAction({kAck}),
      ExitSelectionCommand(true, true).rule,
      ResetCommand().rule,
      SideCountCheckCommand(1, 1000).command.rule,
      OperatingConditionCommand(2, {5, 5, 0, 0, 0}).command.rule,
      StatusCommand(ModelCode::kKrt07).rule,
  };
  for (const int32_t error_number : {0, 0x1234, 0xFFFF}) {
    line_.SetErrorNumber(error_number);
    for (size_t i = 0; i < rules.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << "rule " << i << ", error number " << error_number);
      EXPECT_EQ(MapReply(Status(kReplyNotQueued), rules[i], line_), MapReply(empty_cancelled, rules[i], line_));
    }
  }
}

TEST_F(AnswerRulesTest, PlainCancelWithErrorNumberIsExtended) {
  DeviceReply can = Byte(kCan);
  can.cancelled = 1;
  can.cancelDetail = 0x1234;  // status characters 1, 2, 3, 4
  EXPECT_EQ(MapReply(can, AnswerRule::Plain({kAck, kCan}), line_), (MappedResult{opos::OPOS_E_EXTENDED, 4660}));
  can.cancelDetail = 0;
  EXPECT_EQ(MapReply(can, AnswerRule::Plain({kAck, kCan}), line_).code, opos::OPOS_E_FAILURE)
      << "a cancel without a detail fails even when CAN is in the done set";
}

TEST_F(AnswerRulesTest, PlainFollowUpCodeThenDoneSet) {
  DeviceReply em = Byte(kEm);
  em.errorFlag = 1;
  em.errorCode = 201;
  EXPECT_EQ(MapReply(em, AnswerRule::Plain(AnswerSet::AnyBut({kBel})), line_),
            (MappedResult{opos::OPOS_E_EXTENDED, 201}));
  EXPECT_EQ(MapReply(Byte(kDc4), AnswerRule::Plain({kAck, kLf, kDc4, kEtb}), line_).code, opos::OPOS_SUCCESS);
  EXPECT_EQ(MapReply(Byte(kNak), AnswerRule::Plain({kAck, kLf, kDc4, kEtb}), line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(MapReply(Byte(kBel), AnswerRule::Plain(AnswerSet::AnyBut({kBel})), line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(line_.Events().size(), 0u) << "the Plain rule never reads the line";
}

TEST_F(AnswerRulesTest, ActionRuleOrder) {
  const AnswerRule rule = AnswerRule::Action({kAck, kLf, kDc4, kEtb});
  EXPECT_EQ(MapReply(Byte(kLf), rule, line_).code, opos::OPOS_SUCCESS);

  DeviceReply bel = Byte(kBel);
  bel.errorCode = 235;
  EXPECT_EQ(MapReply(bel, rule, line_), (MappedResult{opos::OPOS_E_EXTENDED, 235}));
  EXPECT_EQ(MapReply(Byte(kBel), rule, line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(MapReply(Byte(kEm), rule, line_), (MappedResult{opos::OPOS_E_EXTENDED, 201}));
  EXPECT_EQ(line_.Count(LineEvent::Kind::kErrorNumber), 0);

  // Any other answer asks the device for its error number.
  line_.SetErrorNumber(0x1234);
  EXPECT_EQ(MapReply(Byte(kNak), rule, line_), (MappedResult{opos::OPOS_E_EXTENDED, 4660}));
  line_.SetErrorNumber(0);
  EXPECT_EQ(MapReply(Byte(kCan), rule, line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(line_.Count(LineEvent::Kind::kErrorNumber), 2);
}

TEST_F(AnswerRulesTest, ActionNakOnDispenseFailsWithoutReading) {
  line_.SetErrorNumber(0x1234);
  const AnswerRule dispense = AnswerRule::Action({kAck, kLf, kEtb}, /*nak_is_failure=*/true);
  EXPECT_EQ(MapReply(Byte(kNak), dispense, line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(line_.Count(LineEvent::Kind::kErrorNumber), 0);
}

TEST_F(AnswerRulesTest, ShortActionKeepsOnlyDoneSetAndEm) {
  line_.SetErrorNumber(0x1234);
  const AnswerRule rule = AnswerRule::ShortAction({kAck, kLf, kDc3, kDc4, kEtb});
  EXPECT_EQ(MapReply(Byte(kDc3), rule, line_).code, opos::OPOS_SUCCESS);
  EXPECT_EQ(MapReply(Byte(kEm), rule, line_), (MappedResult{opos::OPOS_E_EXTENDED, 201}));
  DeviceReply bel = Byte(kBel);
  bel.errorCode = 205;
  EXPECT_EQ(MapReply(bel, rule, line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(MapReply(Byte(kNak), rule, line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(line_.Count(LineEvent::Kind::kErrorNumber), 0);
}

TEST_F(AnswerRulesTest, DataFrameIsNoDoneAnswer) {
  DeviceReply frame;
  frame.data = {'1', '2'};
  EXPECT_EQ(MapReply(frame, AnswerRule::Plain(AnswerSet::AnyBut({kBel})), line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(MapReply(frame, StatusCommand(ModelCode::kKrt07).rule, line_).code, opos::OPOS_SUCCESS);
}

TEST_F(AnswerRulesTest, CommandTablesOfTheirOwn) {
  line_.SetKrt07Code(236);
  line_.SetErrorNumber(0x0042);

  // Count check by side: a cancelled reply is judged by its detail first.
  const AnswerRule side = SideCountCheckCommand(0, 1000).command.rule;
  DeviceReply can = Byte(kCan);
  can.cancelled = 1;
  can.cancelDetail = 0x0201;
  EXPECT_EQ(MapReply(can, side, line_), (MappedResult{opos::OPOS_E_EXTENDED, 0x0201}));
  EXPECT_EQ(MapReply(Byte(kCan), side, line_), (MappedResult{opos::OPOS_E_EXTENDED, 236}))
      << "an uncounted CAN reads rule C";
  EXPECT_EQ(MapReply(Byte(kDc1), side, line_).code, opos::OPOS_SUCCESS);
  EXPECT_EQ(MapReply(Byte(kNak), side, line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(MapReply(Byte(kSub), side, line_), (MappedResult{opos::OPOS_E_EXTENDED, 0x42}));

  // Reset: CAN without a detail is success, BEL a failure.
  const AnswerRule reset = ResetCommand().rule;
  EXPECT_EQ(MapReply(Byte(kCan), reset, line_).code, opos::OPOS_SUCCESS);
  EXPECT_EQ(MapReply(Byte(kBel), reset, line_).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(MapReply(Byte(kNak), reset, line_).code, opos::OPOS_SUCCESS);

  // Clock with seconds: BEL is accepted only with ClaimRelaxation 1 or 2.
  std::tm local{};
  DeviceReply bel = Byte(kBel);
  bel.errorCode = 238;
  EXPECT_EQ(MapReply(bel, ClockSecondsCommand(local, 0).rule, line_), (MappedResult{opos::OPOS_E_EXTENDED, 238}));
  EXPECT_EQ(MapReply(bel, ClockSecondsCommand(local, 2).rule, line_).code, opos::OPOS_SUCCESS);
  EXPECT_EQ(MapReply(Byte(kCan), ClockMinutesCommand(local).rule, line_).code, opos::OPOS_SUCCESS);

  // Deposit mode: SUB reads rule C, DC3 carries the rule-A follow-up.
  const AnswerRule mode = DepositModeCommand(1, 1, 0).command.rule;
  EXPECT_EQ(MapReply(Byte(kSub), mode, line_), (MappedResult{opos::OPOS_E_EXTENDED, 236}));
  DeviceReply dc3 = Byte(kDc3);
  dc3.errorCode = 234;
  EXPECT_EQ(MapReply(dc3, mode, line_), (MappedResult{opos::OPOS_E_EXTENDED, 234}));
  EXPECT_EQ(MapReply(Byte(kEtb), mode, line_).code, opos::OPOS_SUCCESS);

  // Stopping the intake: any answer is a success, silence is not.
  EXPECT_EQ(MapReply(Byte(kNak), IntakeStopCommand(true).rule, line_).code, opos::OPOS_SUCCESS);
  EXPECT_EQ(MapReply(Status(kReplyTimeout), IntakeStopCommand(true).rule, line_).code, opos::OPOS_E_NOHARDWARE);
}

TEST_F(AnswerRulesTest, TakeBackBellDependsOnJam) {
  CountBlock all;
  all.fill(kCountAllPieces);
  const AnswerRule rule = TakeBackCommand(all).command.rule;
  EXPECT_EQ(MapReply(Byte(kBel), rule, line_, /*jammed=*/false), (MappedResult{opos::OPOS_E_EXTENDED, 201}));
  EXPECT_EQ(MapReply(Byte(kBel), rule, line_, /*jammed=*/true).code, opos::OPOS_E_FAILURE);
  EXPECT_EQ(MapReply(Byte(kDc3), rule, line_).code, opos::OPOS_SUCCESS);
  EXPECT_EQ(MapReply(Byte(kEm), rule, line_, true), (MappedResult{opos::OPOS_E_EXTENDED, 201}));
}

}  // namespace
}  // namespace vexokrt
