// SPDX-License-Identifier: Apache-2.0
#include "sim/control_script.h"

#include <gtest/gtest.h>

#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;

TEST(ControlScript, InsertNeedsAnOpenDepositAndCountsRejects) {
  TestHost host(Model::kKrt07);
  host.engine.SetDurations(ActionDurations{.counting_ms = 0});
  ControlReply refused = ExecuteControlLine(host.engine, "insert 1000:2,500:1");
  EXPECT_FALSE(refused.ok);
  host.Command("F045000");
  ControlReply ok = ExecuteControlLine(host.engine, "insert 1000:2,500:1 rejects=1,2");
  EXPECT_TRUE(ok.ok) << ok.text;
  DepositView d = host.engine.Deposit();
  EXPECT_EQ(d.counted[*DenominationIndex(1000)], 2);
  EXPECT_EQ(d.counted[*DenominationIndex(500)], 1);
  EXPECT_EQ(d.coin_rejects, 1);
  EXPECT_EQ(d.bill_rejects, 2);
  EXPECT_NE(ExecuteControlLine(host.engine, "show deposit").text.find("2500 yen"), std::string::npos);
}

TEST(ControlScript, JamCassetteUnplug) {
  TestHost host(Model::kKrt07);
  EXPECT_TRUE(ExecuteControlLine(host.engine, "jam on 0A21").ok);
  EXPECT_TRUE(host.engine.Jammed());
  EXPECT_EQ(host.Status()[5], '2');
  EXPECT_TRUE(ExecuteControlLine(host.engine, "jam off").ok);
  EXPECT_FALSE(host.engine.Jammed());
  EXPECT_TRUE(ExecuteControlLine(host.engine, "cassette out").ok);
  EXPECT_EQ(host.Status()[43], '8');
  EXPECT_TRUE(ExecuteControlLine(host.engine, "unplug").ok);
  EXPECT_TRUE(host.engine.Unplugged());
  EXPECT_TRUE(ExecuteControlLine(host.engine, "plug").ok);
  EXPECT_FALSE(host.engine.Unplugged());
}

TEST(ControlScript, FaultLines) {
  TestHost host(Model::kKrt07);
  EXPECT_TRUE(ExecuteControlLine(host.engine, "fault nak next cmd H").ok);
  EXPECT_EQ(host.Command("\"00").data.size(), 70u);  // aimed at H only
  EXPECT_TRUE(IsControl(host.Command("H00"), kNak));
  EXPECT_TRUE(ExecuteControlLine(host.engine, "fault can 2 cmd ENQ").ok);
  EXPECT_TRUE(IsControl(host.Enq(), kCan));
  EXPECT_TRUE(IsControl(host.Enq(), kCan));
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
  EXPECT_TRUE(ExecuteControlLine(host.engine, "fault drop").ok);
  EXPECT_TRUE(ExecuteControlLine(host.engine, "fault clear").ok);
  EXPECT_EQ(host.Command("H00").data.size(), 51u);
  EXPECT_FALSE(ExecuteControlLine(host.engine, "fault sub").ok);  // needs a time
  EXPECT_FALSE(ExecuteControlLine(host.engine, "fault wobble").ok);
}

TEST(ControlScript, BinaryLengthSetting_SwitchesTheLengthFormOfDataAnswers) {
  TestHost host(Model::kKrt07);
  struct Step {
    const char* line;
    std::uint8_t l1, l2;
  };
  for (const Step& step : {Step{nullptr, '3', '3'}, Step{"set binary-length on", 0x00, 51},
                           Step{"set binary-length off", '3', '3'}}) {
    SCOPED_TRACE(step.line ? step.line : "default");
    if (step.line) {
      ASSERT_EQ(ExecuteControlLine(host.engine, step.line).text, "ok\n");
    }
    host.Send("H00");
    std::vector<std::uint8_t> raw = host.ReceiveRaw(100);
    ASSERT_EQ(raw.size(), 57u);
    EXPECT_EQ(raw[2], step.l1);
    EXPECT_EQ(raw[3], step.l2);
    EXPECT_EQ(ParseAnswer(raw).data, host.engine.StatusRecord());
  }
}

TEST(ControlScript, AutoAnswerSetting_FinalAnswerUnaskedOnlyWhileOn) {
  TestHost host(Model::kKrt07);
  host.engine.SetDurations(ActionDurations{.dispense_ms = 300});
  host.Send("!06000100");
  EXPECT_TRUE(host.ReceiveRaw(1000).empty());  // off by default
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
  ASSERT_EQ(ExecuteControlLine(host.engine, "set auto-answer on").text, "ok\n");
  host.Send("!06000100");
  EXPECT_TRUE(IsControl(host.Receive(1000), kAck));
  ASSERT_EQ(ExecuteControlLine(host.engine, "set auto-answer off").text, "ok\n");
  host.Send("!06000100");
  EXPECT_TRUE(host.ReceiveRaw(1000).empty());
  EXPECT_TRUE(IsControl(host.Enq(), kAck));
}

TEST(ControlScript, OnOffSettings_BadInputGetsAClearError) {
  TestHost host(Model::kKrt07);
  for (const char* line : {"set auto-answer", "set auto-answer yes", "set auto-answer on now", "set binary-length",
                           "set binary-length 1", "set binary-length off please", "set wire-timing maybe",
                           "set auto-take"}) {
    SCOPED_TRACE(line);
    ControlReply reply = ExecuteControlLine(host.engine, line);
    EXPECT_FALSE(reply.ok);
    EXPECT_TRUE(reply.text.starts_with("error: ")) << reply.text;
    EXPECT_EQ(reply.text.back(), '\n');
  }
  EXPECT_EQ(ExecuteControlLine(host.engine, "set binary-length 1").text, "error: set binary-length on|off\n");
  // Nothing was switched by the refused lines.
  host.Send("H00");
  EXPECT_EQ(host.ReceiveRaw(100)[2], '3');
}

TEST(ControlScript, SetStockChangesOnlyTheListedDenominations) {
  TestHost host(Model::kKrt07);
  CashCounts before = host.engine.Stock();
  EXPECT_TRUE(ExecuteControlLine(host.engine, "set stock 1:0,10000:7").ok);
  CashCounts after = host.engine.Stock();
  for (int i = 0; i < kDenominationCount; ++i) {
    if (kFaceValues[i] == 1) EXPECT_EQ(after[i], 0);
    else if (kFaceValues[i] == 10000) EXPECT_EQ(after[i], 7);
    else EXPECT_EQ(after[i], before[i]) << kFaceValues[i];
  }
  EXPECT_NE(ExecuteControlLine(host.engine, "show counts").text.find("10000:7"), std::string::npos);
}

TEST(ControlScript, SettingsAndShows) {
  TestHost host(Model::kKrt07);
  EXPECT_TRUE(ExecuteControlLine(host.engine, "set threshold 500 0 3 8 10").ok);
  EXPECT_EQ(host.engine.GetThresholds(*DenominationIndex(500)), (Thresholds{0, 3, 8, 10}));
  EXPECT_TRUE(ExecuteControlLine(host.engine, "set duration dispense 0").ok);
  EXPECT_EQ(host.engine.Durations().dispense_ms, 0);
  EXPECT_TRUE(ExecuteControlLine(host.engine, "set status 44 4").ok);
  EXPECT_EQ(host.Status()[44], '4');
  EXPECT_TRUE(ExecuteControlLine(host.engine, "set history 12 3").ok);
  EXPECT_EQ(host.engine.GetHistoryPointer(), (HistoryPointer{12, 3}));
  host.Command("H00");
  EXPECT_NE(ExecuteControlLine(host.engine, "show frames").text.find("command [02 11 48 30 30 03"), std::string::npos);
  EXPECT_NE(ExecuteControlLine(host.engine, "show line").text.find("9600,E,8,1 mode A"), std::string::npos);
  EXPECT_TRUE(ExecuteControlLine(host.engine, "quit").quit);
  EXPECT_TRUE(ExecuteControlLine(host.engine, "# a comment").ok);
  EXPECT_FALSE(ExecuteControlLine(host.engine, "launch rockets").ok);
}

}  // namespace
}  // namespace vexokrt::sim
