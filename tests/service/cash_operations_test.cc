// SPDX-License-Identifier: Apache-2.0
// The cash operations against the simulated cash changer, through the
// dispatch interface as the Control Object calls them: ReadCashCounts,
// DispenseCash, DispenseChange and the deposit cycle. Each test checks the
// command bytes the machine received as well as the results.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "device/changer_device.h"
#include "cash/cash_counts.h"
#include "link/comm_thread.h"
#include "platform/clock.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "sim/control_script.h"
#include "sim/faults.h"
#include "support/exam_records.h"
#include "cash_fixture.h"

namespace vexokrt::testing {
namespace {

using namespace opos;
using platform::Variant;

// Pumps until the machine has counted |pieces| into its open deposit and
// neither unit counts any more.
bool AwaitCounted(ServiceDriver& d, sim::ChangerEngine& machine, const sim::CashCounts& pieces) {
  return d.PumpUntil(
      [&] {
        const sim::DepositView view = machine.Deposit();
        return !view.bill_counting && !view.coin_counting && view.counted == pieces;
      },
      5000);
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// --- ReadCashCounts -------------------------------------------------------------------

TEST_F(CashOperationsTest, ReadCashCounts_AnswersTheKeptCountsInTheConfiguredForm) {
  const sim::CashCounts stock = SimCounts({{1, 7}, {100, 20}, {1000, 5}, {10000, 2}});
  ServiceDriver& d = Ready(sim::Model::kKrt07, stock);
  SetBoxAndWait(d, SimCounts({{1, 2}, {10000, 1}}));

  std::string text;
  bool discrepancy = true;
  // ReadCashRspSetting 0 (the default): "0:" carries the pieces in the box.
  ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
  EXPECT_EQ(text, "0:3," + PlainText(stock));
  EXPECT_FALSE(discrepancy);

  // With the watch held, only ReadCashCounts' own read can see the change.
  d.so().device()->StopWatch();
  machine().SetDiscrepancy(1);
  d.so().device()->SetCountsStale(true);
  ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
  EXPECT_TRUE(discrepancy) << "a stale count is read again before answering";
}

// After a pay-out the kept counts are out of date until read again: when that
// read fails, the answer says so instead of giving the counts from before.
TEST_F(CashOperationsTest, ReadCashCounts_StaleCountsThatCannotBeReadAreNotAnswered) {
  struct Case {
    sim::Model model;
    std::string fault;
    int32_t result;
  };
  const Case cases[] = {
      {sim::Model::kKrt07, "fault nak next cmd \"", OPOS_E_FAILURE},
      {sim::Model::kKrt07, "fault drop next cmd \"", OPOS_E_NOHARDWARE},
      {sim::Model::kKrt03, "fault nak next cmd &", OPOS_E_FAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ServiceDriver& d = Ready(c.model, SimCounts({{100, 10}, {500, 10}, {1000, 10}}));
    ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(1500)}), OPOS_SUCCESS);
    // With the watch off only ReadCashCounts' own read can bring the counts.
    d.so().device()->StopWatch();
    d.so().device()->SetCountsStale(true);
    ASSERT_TRUE(sim::ExecuteControlLine(machine(), c.fault).ok);
    std::string text = "untouched";
    bool discrepancy = false;
    EXPECT_EQ(ReadCounts(d, &text, &discrepancy), c.result);
    EXPECT_EQ(text, "untouched");
    // Once the machine answers, its counts are answered.
    ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
    EXPECT_EQ(text.substr(text.find(',') + 1), PlainText(machine().Stock()));
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(CashOperationsTest, ReadCashCounts_PlainFormAndExchangeModeRules) {
  const sim::CashCounts stock = SimCounts({{5, 3}, {500, 4}, {5000, 1}});
  ServiceDriver& d = Ready(sim::Model::kKrt07, stock, {{"ReadCashRspSetting", "1"}});
  std::string text;
  bool discrepancy = false;
  ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
  EXPECT_EQ(text, PlainText(stock));

}

TEST_F(CashOperationsTest, ReadCashCounts_ExchangeModeCountsFirstAndAnswersBothSets) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{5, 3}, {500, 4}, {5000, 1}}),
                           {{"DioReadExchange", "1"}, {"ReadCashRspSetting", "1"}});
  machine().SetBox(SimCounts({{5000, 2}}));
  TakeCommands();
  std::string text;
  bool discrepancy = false;
  ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()).front(), "f010");
  EXPECT_EQ(text, PlainText(SimCounts({{5, 3}, {500, 4}, {5000, 3}})));

  // At a bills-only exit a KRT07 cannot count both sides: 114 / 237, and
  // nothing reaches the device; the texts stay as they were.
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 2), OPOS_SUCCESS);
  TakeCommands();
  text = "untouched";
  EXPECT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_E_EXTENDED);
  EXPECT_EQ(d.Get(pidx::kResultCodeExtended), kExtendedNotAtCurrentExit);
  EXPECT_TRUE(Actions(TakeCommands()).empty());
}

// --- DispenseChange -----------------------------------------------------------------------

TEST_F(CashOperationsTest, DispenseChange_SendsOnlyTheChangeCommandAndPollsThroughLateAnswers) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {500, 10}, {1000, 10}}));
  auto durations = machine().Durations();
  durations.dispense_ms = 1200;
  machine().SetDurations(durations);
  // Every enquiry is answered 300 ms late: still no reason to give up.
  sim::Fault late;
  late.kind = sim::FaultKind::kDelay;
  late.command = sim::kEnquiryTarget;
  late.ms = 300;
  late.times = 1000;
  machine().InjectFault(late);

  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(1500)}), OPOS_SUCCESS);
  const std::vector<sim::ReceivedFrame> frames = machine().ReceivedFrames();
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"!06001500"});
  EXPECT_TRUE(std::any_of(frames.begin(), frames.end(),
                          [](const sim::ReceivedFrame& f) { return f.kind == sim::ReceivedFrame::Kind::kEnquiry; }))
      << "the pay-out is followed by enquiries";
  EXPECT_EQ(machine().Stock(), SimCounts({{100, 10}, {500, 9}, {1000, 9}}));
  EXPECT_EQ(d.so().device()->LastChangeAmount(), 1500);

  // Entry, the history pause and resume around the device work, and exit.
  const std::vector<std::string> records = ExamRecords(dir_.file("ExamlogS.txt"));
  const auto entry = std::find(records.begin(), records.end(), "1,10,1500,0");
  ASSERT_NE(entry, records.end());
  EXPECT_EQ(std::vector<std::string>(entry, std::min(entry + 4, records.end())),
            (std::vector<std::string>{"1,10,1500,0", "4,1,0,0", "5,1,0,0", "1,110,1500,0"}));
}

TEST_F(CashOperationsTest, DispenseChange_ChoosesTheCommandByModelAndAmount) {
  struct Case {
    sim::Model model;
    int32_t amount;
    std::string command;
  };
  for (const Case& c : {Case{sim::Model::kKrt07, 10000, "!06010000"}, Case{sim::Model::kKrt07, 10001, "m06010001"},
                        Case{sim::Model::kKrt03, 10001, "!0510001"}}) {
    SCOPED_TRACE(c.command);
    ServiceDriver& d = Ready(c.model, SimCounts({{1, 50}, {1000, 20}, {5000, 5}, {10000, 5}}));
    EXPECT_EQ(d.Call("DispenseChange", {Variant::Long(c.amount)}), OPOS_SUCCESS);
    EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{c.command});
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

// The KRT03 pays every change with "!05", whose five digits carry at most
// 99 999 yen: a larger amount is refused before anything is sent or paused,
// where cut to the field it would pay another amount and answer 0.
TEST_F(CashOperationsTest, DispenseChange_Krt03AmountsBeyondFiveDigitsAreRefused) {
  const sim::CashCounts stock =
      SimCounts({{1, 9}, {5, 1}, {10, 9}, {50, 1}, {100, 9}, {500, 1}, {1000, 9}, {5000, 1}, {10000, 20}});
  ServiceDriver& d = Ready(sim::Model::kKrt03, stock);
  struct Case {
    int32_t amount;
    int32_t result;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {100000, OPOS_E_ILLEGAL, {}},
      {123456, OPOS_E_ILLEGAL, {}},
      {999999, OPOS_E_ILLEGAL, {}},
      {99999, OPOS_SUCCESS, {"!0599999"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.amount);
    TakeCommands();
    EXPECT_EQ(d.Call("DispenseChange", {Variant::Long(c.amount)}), c.result);
    EXPECT_EQ(Actions(TakeCommands()), c.sent);
    if (c.result == OPOS_SUCCESS) continue;
    EXPECT_EQ(machine().Stock(), stock) << "nothing paid";
    const std::vector<std::string> records = ExamRecords(dir_.file("ExamlogS.txt"));
    ASSERT_GE(records.size(), 2u);
    const std::string amount = std::to_string(c.amount);
    EXPECT_EQ(std::vector<std::string>(records.end() - 2, records.end()),
              (std::vector<std::string>{"1,10," + amount + ",0", "1,110," + amount + ",106"}))
        << "no pause records";
  }
}

TEST_F(CashOperationsTest, PayOuts_RefusedBeforeAnyTrafficInTheirOrder) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {1000, 10}}));
  struct Case {
    int32_t exit;
    std::string member;
    Variant argument;
    int32_t result;
    int32_t extended;
  };
  const Case cases[] = {
      {2, "DispenseChange", Variant::Long(1500), OPOS_E_EXTENDED, kExtendedNotAtCurrentExit},
      {3, "DispenseChange", Variant::Long(1000), OPOS_E_EXTENDED, kExtendedNotAtCurrentExit},
      {1, "DispenseChange", Variant::Long(0), OPOS_E_ILLEGAL, 0},
      {1, "DispenseChange", Variant::Long(1000000), OPOS_E_ILLEGAL, 0},
      {2, "DispenseCash", Variant::String("100:1"), OPOS_E_EXTENDED, kExtendedNotAtCurrentExit},
      {3, "DispenseCash", Variant::String("1000:1"), OPOS_E_EXTENDED, kExtendedNotAtCurrentExit},
      {1, "DispenseCash", Variant::String("3:1"), OPOS_E_ILLEGAL, 0},
      {1, "DispenseCash", Variant::String("1:x"), OPOS_E_ILLEGAL, 0},
      {1, "DispenseCash", Variant::String("10000:FFF"), OPOS_E_ILLEGAL, 0},
      {1, "DispenseCash", Variant::String("100:1000"), OPOS_E_ILLEGAL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member + " at exit " + std::to_string(c.exit) + " expecting " + std::to_string(c.result));
    ASSERT_EQ(d.Set(pidx::kCurrentExit, c.exit), OPOS_SUCCESS);
    TakeCommands();
    EXPECT_EQ(d.Call(c.member, {c.argument}), c.result);
    if (c.extended != 0) {
      EXPECT_EQ(d.Get(pidx::kResultCodeExtended), c.extended);
    }
    EXPECT_TRUE(Actions(TakeCommands()).empty());
  }
  EXPECT_EQ(machine().Stock(), SimCounts({{100, 10}, {1000, 10}}));

  // Not enabled and not claimed come first.
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("DispenseChange", {Variant::Long(100)}), OPOS_E_DISABLED);
  ASSERT_EQ(d.Call("ReleaseDevice"), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("DispenseCash", {Variant::String("1:1")}), OPOS_E_NOTCLAIMED);
}

TEST_F(CashOperationsTest, DispenseChange_StockShortGivesTheDevicesReason) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 2}}));
  EXPECT_EQ(d.Call("DispenseChange", {Variant::Long(1500)}), OPOS_E_EXTENDED);
  EXPECT_EQ(d.Get(pidx::kResultCodeExtended), 239);
  EXPECT_EQ(machine().Stock(), SimCounts({{100, 2}}));
}

// A pay-out that jams half-way is no success; what it paid is told, and the
// counts read afterwards are the machine's.
TEST_F(CashOperationsTest, PayOutJammedHalfWay_ReportsThePartPaid) {
  const sim::CashCounts stock = SimCounts({{100, 10}, {500, 10}, {1000, 10}});
  ServiceDriver& d = Ready(sim::Model::kKrt07, stock);
  machine().JamNextPayoutAfter(1);
  const int32_t result = d.Call("DispenseChange", {Variant::Long(1600)});
  // BEL to an enquiry of a pay-out carries no reason of its own.
  EXPECT_EQ(result, OPOS_E_FAILURE);
  EXPECT_EQ(d.so().last_short_payout(), PlainText(SimCounts({{1000, 1}})));
  ASSERT_TRUE(d.PumpUntil([&] { return DirectIoEvent(d, service::kPayoutEndedEarlyEvent) != nullptr; }));
  const FiredEvent* event = DirectIoEvent(d, service::kPayoutEndedEarlyEvent);
  EXPECT_EQ(event->data, 1000);
  EXPECT_EQ(event->text, PlainText(SimCounts({{1000, 1}})));

  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAM));
  machine().SetJam(false);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAMOK));
  WaitForFreshCounts(d);
  std::string text;
  bool discrepancy = false;
  ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
  int box_pieces = 0;
  for (int n : machine().Box()) box_pieces += n;
  EXPECT_EQ(text, "0:" + std::to_string(box_pieces) + "," + PlainText(machine().Stock()));
  EXPECT_EQ(machine().Stock(), SimCounts({{100, 10}, {500, 10}, {1000, 9}}));

  const std::string trace = ReadFileBytes(dir_.file("trace") + d.TraceDay());
  EXPECT_NE(trace.find("  PaidOut is 1:0,5:0,10:0,50:0,100:0,500:0;1000:1,2000:0,5000:0,10000:0 (1000)"),
            std::string::npos);
}

// A pay-out whose enquiry is refused, or that outlasts its time-out, while
// the machine is still paying: what its counts show then is no part paid.
// The part is reported unknown (-1, "") until the watch sees the machine at
// rest; then it is told again, definite, with its trace line and record, and
// the counts answered are the machine's.
TEST_F(CashOperationsTest, PayOutEndingWhileTheMachineStillPays_TellsThePartPaidOnceItHasStopped) {
  struct Case {
    std::string name;
    std::string fault;  // a simulator control line, or none
    std::string timeout;
    int32_t result;
  };
  const Case cases[] = {
      {"NAK to the enquiry", "fault nak next cmd ENQ", "", OPOS_E_FAILURE},
      {"BEL to the enquiry", "fault bel next cmd ENQ", "", OPOS_E_FAILURE},
      {"CAN to the enquiry", "fault can next cmd ENQ", "", OPOS_E_FAILURE},
      {"EM to the enquiry", "fault em next cmd ENQ", "", OPOS_E_EXTENDED},
      {"time-out", "", "700", OPOS_E_NOHARDWARE},
  };
  const sim::CashCounts stock = SimCounts({{100, 10}, {500, 10}, {1000, 10}});
  const std::string paid = PlainText(SimCounts({{500, 1}, {1000, 1}}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDriver& d = c.timeout.empty() ? Ready(sim::Model::kKrt07, stock)
                                         : Ready(sim::Model::kKrt07, stock, {{"DispenseChangeTimeout", c.timeout}});
    // Long enough that the machine still pays when the call has ended:
    // 1.2 s of real time.
    sim::ActionDurations durations = machine().Durations();
    durations.dispense_ms = 1200 * kServiceTestSpeed;
    machine().SetDurations(durations);
    if (!c.fault.empty()) {
      ASSERT_TRUE(sim::ExecuteControlLine(machine(), c.fault).ok);
    }

    EXPECT_EQ(d.Call("DispenseChange", {Variant::Long(1500)}), c.result);
    const auto told = [&] {
      std::vector<const FiredEvent*> events;
      for (const FiredEvent& e : d.control_object().events()) {
        if (e.member == "SODirectIO" && e.number == service::kPayoutEndedEarlyEvent) events.push_back(&e);
      }
      return events;
    };
    ASSERT_TRUE(d.PumpUntil([&] { return told().size() >= 2; }, 5000));
    ASSERT_EQ(told().size(), 2u);
    EXPECT_EQ(told()[0]->data, -1);
    EXPECT_EQ(told()[0]->text, "");
    EXPECT_EQ(told()[1]->data, 1500) << "the machine paid it all after all";
    EXPECT_EQ(told()[1]->text, paid);

    const std::vector<std::string> records = ExamRecords(dir_.file("ExamlogS.txt"));
    const std::string result = std::to_string(c.result);
    const auto unknown = std::find(records.begin(), records.end(), "10,1,-1," + result);
    ASSERT_NE(unknown, records.end());
    EXPECT_NE(std::find(unknown, records.end(), "10,1,1500," + result), records.end());
    const std::string trace = ReadFileBytes(dir_.file("trace") + d.TraceDay());
    const size_t first = trace.find("  PaidOut is unknown");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(trace.find("  PaidOut is " + paid + " (1500)", first), std::string::npos);

    std::string text;
    bool discrepancy = false;
    ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
    EXPECT_EQ(text.substr(text.find(',') + 1), PlainText(machine().Stock()));
    EXPECT_EQ(machine().Stock(), SimCounts({{100, 10}, {500, 9}, {1000, 9}}));
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(CashOperationsTest, AsyncPayOut_ReturnsAtOnceAndCompletesWithStatusUpdate91) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {500, 10}, {1000, 10}}));
  auto durations = machine().Durations();
  durations.dispense_ms = 300;
  machine().SetDurations(durations);
  ASSERT_EQ(d.Set(pidx::kAsyncMode, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(1500)}), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kState), OPOS_S_BUSY);
  EXPECT_EQ(d.Call("DispenseCash", {Variant::String("100:1")}), OPOS_E_BUSY);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_ASYNC, 5000));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kState), OPOS_S_IDLE);
  EXPECT_EQ(machine().Stock(), SimCounts({{100, 10}, {500, 9}, {1000, 9}}));

  // A queued pay-out that jams reports the part paid through its completion.
  machine().JamNextPayoutAfter(0);
  d.control_object().Clear();
  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(600)}), OPOS_SUCCESS);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_ASYNC, 5000));
  EXPECT_NE(d.Get(pidx::kAsyncResultCode), OPOS_SUCCESS);
  ASSERT_TRUE(d.PumpUntil([&] { return DirectIoEvent(d, service::kPayoutEndedEarlyEvent) != nullptr; }));
  EXPECT_EQ(DirectIoEvent(d, service::kPayoutEndedEarlyEvent)->data, 0);
}

// --- DispenseCash -------------------------------------------------------------------------

TEST_F(CashOperationsTest, DispenseCash_PaysThroughTheExitSettingAndTheDepositTable) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{1, 5}, {100, 10}, {1000, 3}}));
  ASSERT_EQ(d.Call("DispenseCash", {Variant::String("100:2;1:1")}), OPOS_SUCCESS);
  // Exit 1 sets the mode-2 values 0,0,0,0,0, then the deposit table pays
  // in the device order 500, 100, 50, 10, 5, 1, 10000, 5000, 2000, 1000;
  // after the next status read the watch puts the configured values back.
  ASSERT_TRUE(d.PumpUntil([&] { return !d.so().device()->ExitSettingPending(); }));
  EXPECT_EQ(Actions(TakeCommands()),
            (std::vector<std::string>{"Q06200000", "p220000020000000000010000000000000000", "Q06204000"}));
  EXPECT_EQ(machine().Stock(), SimCounts({{1, 4}, {100, 8}, {1000, 3}}));

  // Everything the device holds of each kind named: sent as "???".
  WaitForFreshCounts(d);
  TakeCommands();
  ASSERT_EQ(d.Call("DispenseCash", {Variant::String("1:4,100:8,1000:3")}), OPOS_SUCCESS);
  const std::vector<std::string> actions = Actions(TakeCommands());
  ASSERT_GE(actions.size(), 2u);
  EXPECT_EQ(actions[1], "p22" + std::string(30, '?') + "0000")
      << "every count equal to the stock, so every field names all of it";
  EXPECT_EQ(machine().Stock(), SimCounts({}));

  // With DispenseCashExit the dispense command goes out directly; "1:0" is
  // a request for nothing, sent as such.
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
  Set("DispenseCashExit", "1");
  ServiceDriver& e = NewDriver();
  ASSERT_EQ(e.Open(), OPOS_SUCCESS);
  ASSERT_EQ(e.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
  ASSERT_EQ(e.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  TakeCommands();
  ASSERT_EQ(e.Call("DispenseCash", {Variant::String("1:0")}), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"n21000000000000000000000000000000000"});
}

TEST_F(CashOperationsTest, DispenseCash_Krt03PieceLimits) {
  ServiceDriver& d = Ready(sim::Model::kKrt03, SimCounts({{1, 90}, {500, 90}}), {{"DispenseLimit_500", "25"}});
  EXPECT_EQ(d.Call("DispenseCash", {Variant::String("500:26")}), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.Call("DispenseCash", {Variant::String("1:61")}), OPOS_E_ILLEGAL) << "DispenseLimit 60 coins";
  EXPECT_TRUE(Actions(TakeCommands()).empty());
  EXPECT_EQ(d.Call("DispenseCash", {Variant::String("500:25;1:35")}), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"$1425000000003500000000"});
}

// --- deposits -----------------------------------------------------------------------------

TEST_F(CashOperationsTest, DepositCycle_CountsReachTheApplicationAndEndWithChange) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {500, 10}, {1000, 10}}));
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"F047000"});
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_START);
  EXPECT_EQ(d.Get(pidx::kDepositAmount), 0);

  ASSERT_EQ(machine().InsertCash(SimCounts({{1000, 1}, {100, 3}})).status, sim::InsertResult::Status::kCounting);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
  EXPECT_EQ(d.Get(pidx::kDepositAmount), 1300) << "current when the data event fires";

  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kDepositAmount), 1300);
  EXPECT_EQ(d.GetString(pidx::kDepositCounts), "1:0,5:0,10:0,50:0,100:3,500:0;1000:1,2000:0,5000:0,10000:0");
  TakeCommands();
  ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_CHANGE)}), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"I02><"});
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
  EXPECT_EQ(machine().Stock(), SimCounts({{100, 13}, {500, 10}, {1000, 11}}));
}

TEST_F(CashOperationsTest, Deposit_WrongOrdersAreRefused) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}}), {{"PauseDepositSet", "1"}});
  EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(1)}), OPOS_E_ILLEGAL) << "no deposit";
  EXPECT_EQ(d.Call("FixDeposit"), OPOS_E_ILLEGAL) << "no deposit, FixDepositRcv 0";
  EXPECT_EQ(d.Call("PauseDeposit", {Variant::Long(11)}), OPOS_E_ILLEGAL) << "no deposit";
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("BeginDeposit"), OPOS_E_ILLEGAL) << "already open";
  EXPECT_EQ(d.Call("DispenseChange", {Variant::Long(100)}), OPOS_E_ILLEGAL) << "deposit under way";
  EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(1)}), OPOS_E_ILLEGAL) << "not fixed";
  EXPECT_EQ(d.Call("FixDeposit"), OPOS_E_ILLEGAL) << "PauseDepositSet: pause first";
  EXPECT_EQ(d.Call("PauseDeposit", {Variant::Long(12)}), OPOS_E_ILLEGAL) << "not paused";
  EXPECT_EQ(d.Call("PauseDeposit", {Variant::Long(13)}), OPOS_E_ILLEGAL) << "bad control";
  EXPECT_EQ(d.Call("PauseDeposit", {Variant::Long(11)}), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("PauseDeposit", {Variant::Long(11)}), OPOS_E_ILLEGAL) << "already paused";
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("PauseDeposit", {Variant::Long(12)}), OPOS_E_ILLEGAL) << "fixed";
  EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(4)}), OPOS_E_ILLEGAL) << "bad Success";
  TakeCommands();
  EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_REPAY)}), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"I02>="});
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
}

TEST_F(CashOperationsTest, EndDeposit_CanAnswerClosesTheDepositUnlessEndDepositStsKeepsIt) {
  for (const char* sts : {"0", "1"}) {
    SCOPED_TRACE(std::string("EndDepositSts ") + sts);
    ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}}), {{"EndDepositSts", sts}});
    ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
    sim::Fault cancel;
    cancel.kind = sim::FaultKind::kAnswerCan;
    cancel.command = 'I';
    machine().InjectFault(cancel);
    EXPECT_NE(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
    if (std::string(sts) == "0") {
      EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
    } else {
      // The deposit stays open and can still be ended.
      EXPECT_NE(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
      EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
      EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
    }
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(CashOperationsTest, FixDepositWithoutDeposit_SettledByEndDeposit) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}}), {{"FixDepositRcv", "1"}});
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("BeginDeposit"), OPOS_E_ILLEGAL) << "a fix without a deposit is pending";
  ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(1)}), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
}

// A machine that stops answering in the middle of a pay-out: the result
// says so, the part paid cannot be told from a silent machine and is
// reported as unknown, and the pay-out is not sent again when the line
// comes back.
TEST_F(CashOperationsTest, PayOutUnplugged_EndsWithNoHardwareAndIsNeverSentTwice) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {500, 10}, {1000, 10}}));
  std::thread unplugger([this] {
    // Pulled as soon as the machine has the pay-out.
    for (int i = 0; i < 5000; ++i) {
      const auto bodies = machine().CommandBodies();
      if (std::any_of(bodies.begin(), bodies.end(), [](const auto& b) { return b.size() > 2 && b[1] == '!'; })) {
        machine().SetUnplugged(true);
        return;
      }
      machine().WaitForFrames(bodies.size() + 1, std::chrono::milliseconds(10));
    }
  });
  const int32_t result = d.Call("DispenseChange", {Variant::Long(1500)});
  unplugger.join();
  EXPECT_EQ(result, OPOS_E_NOHARDWARE);
  ASSERT_TRUE(d.PumpUntil([&] { return DirectIoEvent(d, service::kPayoutEndedEarlyEvent) != nullptr; }));
  EXPECT_EQ(DirectIoEvent(d, service::kPayoutEndedEarlyEvent)->data, -1) << "the part paid is unknown";

  machine().SetUnplugged(false);
  ASSERT_TRUE(d.PumpUntil([&] { return d.so().device()->PowerState() == OPOS_PS_ONLINE; }, 10000));
  WaitForFreshCounts(d);
  const std::vector<std::string> later = Actions(TakeCommands());
  EXPECT_EQ(std::count(later.begin(), later.end(), "!06001500"), 1) << "sent once, before the line went";
  std::string text;
  bool discrepancy = false;
  ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
  int box_pieces = 0;
  for (int n : machine().Box()) box_pieces += n;
  EXPECT_EQ(text, "0:" + std::to_string(box_pieces) + "," + PlainText(machine().Stock()))
      << "the counts are the machine's again";
}

// A jam during a deposit: once it is cleared the deposit goes on, and the
// cash counted before it is still there when the deposit is fixed.
TEST_F(CashOperationsTest, DepositJammedAndCleared_KeepsItsCounts) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}}));
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  ASSERT_EQ(machine().InsertCash(SimCounts({{500, 2}})).status, sim::InsertResult::Status::kCounting);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
  machine().SetJam(true);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAM));
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_JAM);
  machine().SetJam(false);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAMOK));
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kDepositAmount), 1000);
  ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
  EXPECT_EQ(machine().Stock(), SimCounts({{100, 10}, {500, 2}}));
}

// ResultCodeExtended tells the reason of a call that ended in 114, and
// nothing else: the code of a step that a call got past (the intake stop a
// jammed machine refuses while FixDeposit closes it) stays out of it.
TEST_F(CashOperationsTest, ResultCodeExtended_ChangesOnlyWithAnExtendedResult) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {1000, 10}}));
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 2), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(1500)}), OPOS_E_EXTENDED);
  ASSERT_EQ(d.Get(pidx::kResultCodeExtended), kExtendedNotAtCurrentExit);
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 1), OPOS_SUCCESS);

  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  ASSERT_EQ(machine().InsertCash(SimCounts({{500, 2}})).status, sim::InsertResult::Status::kCounting);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "jam on").ok);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAM));
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kResultCodeExtended), kExtendedNotAtCurrentExit);
}

// The KRT03 opens its intake with ">02" after clearing its deposit counter,
// and stops it with "=02" once a deposit has ended.
TEST_F(CashOperationsTest, Krt03DepositCycle) {
  ServiceDriver& d = Ready(sim::Model::kKrt03, SimCounts({{100, 10}}));
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), (std::vector<std::string>{"+00", ">0220"}));
  ASSERT_EQ(machine().InsertCash(SimCounts({{100, 2}, {10, 1}})).status, sim::InsertResult::Status::kCounting);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{">0200"});
  EXPECT_EQ(d.Get(pidx::kDepositAmount), 210);
  ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_CHANGE)}), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"=0200"});
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
}

// The history fetch waits from the beginning of a deposit to its end. The
// ExamLog tells where the wait begins ("4,1,0,0") and ends ("5,1,0,0")
// between the members' entry and exit records: a deposit keeps its wait
// across calls, a refused step ends it at once, and a KRT03 repay keeps its
// own until the deposit ends.
TEST_F(CashOperationsTest, DepositCycle_TheHistoryWaitGoesFromTheBeginningToTheEnd) {
  struct Step {
    const char* member;
    int32_t argument = 0;  // EndDeposit's Success
    char fault = 0;        // a command answered BEL (KRT03 repay) or NAK first
  };
  struct Case {
    const char* name;
    sim::Model model;
    bool end_deposit_sts = false;  // EndDepositSts 1: a cancelled end keeps the deposit open
    std::vector<Step> steps;
    std::vector<std::string> records;  // kinds 1, 4 and 5 from BeginDeposit on
  };
  const std::vector<std::string> begin = {"1,8,0,0", "4,1,0,0", "1,108,0,0"};
  const auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"KRT07 kept with change",
       sim::Model::kKrt07,
       false,
       {{"BeginDeposit"}, {"FixDeposit"}, {"EndDeposit", CHAN_DEPOSIT_CHANGE}},
       with(begin, {"1,12,0,0", "4,1,0,0", "1,112,0,0", "1,11,1,0", "4,1,0,0", "5,1,0,0", "1,111,1,0"})},
      {"KRT07 intake refused",
       sim::Model::kKrt07,
       false,
       {{"BeginDeposit", 0, 'F'}},
       {"1,8,0,0", "4,1,0,0", "5,1,0,0", "1,108,0,111"}},
      {"KRT07 end cancelled, kept open, ended again",
       sim::Model::kKrt07,
       true,
       {{"BeginDeposit"}, {"FixDeposit"}, {"EndDeposit", CHAN_DEPOSIT_NOCHANGE, 'I'}, {"EndDeposit", CHAN_DEPOSIT_NOCHANGE}},
       with(begin, {"1,12,0,0", "4,1,0,0", "1,112,0,0", "1,11,2,0", "4,1,0,0", "1,111,2,114", "1,11,2,0",
                    "4,1,0,0", "5,1,0,0", "1,111,2,0"})},
      {"KRT03 kept with change",
       sim::Model::kKrt03,
       false,
       {{"BeginDeposit"}, {"FixDeposit"}, {"EndDeposit", CHAN_DEPOSIT_CHANGE}},
       with(begin, {"1,12,0,0", "4,1,0,0", "5,1,0,0", "1,112,0,0", "1,11,1,0", "4,1,0,0", "5,1,0,0", "1,111,1,0"})},
      {"KRT03 repay refused, then handed back",
       sim::Model::kKrt03,
       false,
       {{"BeginDeposit"}, {"FixDeposit"}, {"EndDeposit", CHAN_DEPOSIT_REPAY, '$'}, {"EndDeposit", CHAN_DEPOSIT_REPAY}},
       with(begin, {"1,12,0,0", "4,1,0,0", "5,1,0,0", "1,112,0,0", "1,11,3,0", "4,1,0,0", "5,1,0,0", "1,111,3,111",
                    "1,11,3,0", "4,1,0,0", "4,1,0,0", "5,1,0,0", "1,111,3,0"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDriver& d = c.end_deposit_sts ? Ready(c.model, SimCounts({{100, 10}}), {{"EndDepositSts", "1"}})
                                         : Ready(c.model, SimCounts({{100, 10}}));
    const size_t before = ExamRecords(dir_.file("ExamlogS.txt")).size();
    for (const Step& step : c.steps) {
      if (step.fault != 0) {
        sim::Fault fault;
        fault.kind = c.model == sim::Model::kKrt03 ? sim::FaultKind::kAnswerBel : sim::FaultKind::kAnswerNak;
        if (step.fault == 'I') fault.kind = sim::FaultKind::kAnswerCan;
        fault.command = step.fault;
        machine().InjectFault(fault);
      }
      const std::string member = step.member;
      if (member == "EndDeposit") {
        d.Call("EndDeposit", {Variant::Long(step.argument)});
      } else {
        d.Call(member);
      }
      if (member == "BeginDeposit" && d.Get(pidx::kDepositStatus) == CHAN_STATUS_DEPOSIT_START) {
        ASSERT_EQ(machine().InsertCash(SimCounts({{100, 2}})).status, sim::InsertResult::Status::kCounting);
        ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
      }
    }
    const std::vector<std::string> records = ExamRecords(dir_.file("ExamlogS.txt"));
    std::vector<std::string> kept;
    for (size_t i = before; i < records.size(); ++i) {
      const std::string kind = records[i].substr(0, records[i].find(','));
      if (kind == "1" || kind == "4" || kind == "5") kept.push_back(records[i]);
    }
    EXPECT_EQ(kept, c.records);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
  }
}

// Exchange mode: 10000-yen notes come out of the collection box through the
// deposit table ("???" for all of them), or are refused when the request
// cannot be met from the box.
TEST_F(CashOperationsTest, ExchangeModeDispenseCash_HandsTheNotesOfTheBoxToTheDepositTable) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 5}}), {{"DioReadExchange", "1"}});
  SetBoxAndWait(d, SimCounts({{10000, 2}}));
  TakeCommands();
  EXPECT_EQ(d.Call("DispenseCash", {Variant::String("10000:1")}), OPOS_E_EXTENDED);
  EXPECT_EQ(d.Get(pidx::kResultCodeExtended), kExtendedNotPossibleNow);
  EXPECT_TRUE(Actions(TakeCommands()).empty());

  ASSERT_EQ(d.Call("DispenseCash", {Variant::String("10000:2")}), OPOS_SUCCESS);
  const std::vector<std::string> actions = Actions(TakeCommands());
  ASSERT_GE(actions.size(), 2u);
  EXPECT_EQ(actions[0], "Q06200000");
  EXPECT_EQ(actions[1], "p22" + std::string(18, '0') + "???" + std::string(9, '0') + "0000");
}

// A KRT03 repay that the machine refuses leaves the deposit open, so the
// cash can still be handed back.
TEST_F(CashOperationsTest, Krt03RepayRefused_LeavesTheDepositOpenForAnotherTry) {
  ServiceDriver& d = Ready(sim::Model::kKrt03, SimCounts({{100, 10}}));
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  ASSERT_EQ(machine().InsertCash(SimCounts({{100, 2}})).status, sim::InsertResult::Status::kCounting);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  sim::Fault refuse;
  refuse.kind = sim::FaultKind::kAnswerBel;
  refuse.command = '$';
  machine().InjectFault(refuse);
  TakeCommands();
  EXPECT_NE(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_REPAY)}), OPOS_SUCCESS);
  EXPECT_NE(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
  EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_REPAY)}), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()),
            (std::vector<std::string>{"$1400020000000000000000", "$1400020000000000000000", "=0200"}));
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
}

// A KRT03 repay that fails part-way reports the part handed back, as a
// pay-out does, and leaves the deposit open; trying again hands back only
// what the machine still owes of it, so no piece is handed back twice.
TEST_F(CashOperationsTest, Krt03RepayFailingPartWay_HandsBackOnlyWhatIsStillOwed) {
  struct Case {
    std::string name;
    bool unplug;
    int32_t result;
    int32_t first_told;            // the part paid told first
    std::vector<std::string> retry;  // what the retry sends
  };
  const Case cases[] = {
      {"jammed after one bill", false, OPOS_E_FAILURE, 1000, {"$1400030000000000000001", "=0200"}},
      {"unplugged", true, OPOS_E_NOHARDWARE, -1, {"=0200"}},
  };
  const sim::CashCounts deposit = SimCounts({{100, 3}, {1000, 2}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDriver& d = Ready(sim::Model::kKrt03, SimCounts({{100, 10}, {1000, 5}}));
    ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(machine().InsertCash(deposit).status, sim::InsertResult::Status::kCounting);
    ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
    ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(d.Get(pidx::kDepositAmount), 2300);
    const sim::CashCounts held = machine().Stock();
    std::thread unplugger;
    if (c.unplug) {
      unplugger = std::thread([this] {
        for (int i = 0; i < 5000; ++i) {
          const auto bodies = machine().CommandBodies();
          if (std::any_of(bodies.begin(), bodies.end(), [](const auto& b) { return b.size() > 2 && b[1] == '$'; })) {
            machine().SetUnplugged(true);
            return;
          }
          machine().WaitForFrames(bodies.size() + 1, std::chrono::milliseconds(10));
        }
      });
    } else {
      ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault jam-payout 1").ok);
    }
    EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_REPAY)}), c.result);
    if (unplugger.joinable()) unplugger.join();
    EXPECT_NE(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END) << "the deposit stays open";
    ASSERT_TRUE(d.PumpUntil([&] { return DirectIoEvent(d, service::kPayoutEndedEarlyEvent) != nullptr; }));
    EXPECT_EQ(DirectIoEvent(d, service::kPayoutEndedEarlyEvent)->data, c.first_told);

    if (c.unplug) {
      machine().SetUnplugged(false);
      ASSERT_TRUE(d.PumpUntil([&] { return d.so().device()->PowerState() == OPOS_PS_ONLINE; }, 15000));
    } else {
      machine().SetJam(false);
      ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAMOK));
    }
    TakeCommands();
    EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_REPAY)}), OPOS_SUCCESS);
    EXPECT_EQ(Actions(TakeCommands()), c.retry);
    sim::CashCounts expected = held;
    for (int i = 0; i < sim::kDenominationCount; ++i) expected[i] -= deposit[i];
    EXPECT_EQ(machine().Stock(), expected) << "the deposit handed back once";
    EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

// A deposit-count read that fails fixes nothing: FixDeposit says so and
// leaves the deposit open, EndDeposit refuses to repay (or keep) what it
// cannot count, and once the machine answers again the deposit is fixed with
// its cash, which a repay hands back in full.
TEST_F(CashOperationsTest, FailedDepositCountRead_LeavesTheDepositUnfixed) {
  const sim::CashCounts stock = SimCounts({{100, 10}});
  const sim::CashCounts deposit = SimCounts({{1000, 1}, {100, 3}});
  struct Case {
    sim::Model model;
    const char* fault;  // the refused answer to the count read of FixDeposit
  };
  for (const Case& c : {Case{sim::Model::kKrt03, "fault nak next cmd ,"}, Case{sim::Model::kKrt02F, "fault nak next cmd o"},
                        Case{sim::Model::kKrt07, "fault nak next cmd o"}}) {
    SCOPED_TRACE(std::string(sim::TraitsOf(c.model).display_name) + ", " + c.fault);
    ServiceDriver& d = Ready(c.model, stock);
    ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(machine().InsertCash(deposit).status, sim::InsertResult::Status::kCounting);
    {
      // No watch step reads the counts before FixDeposit does.
      d.so().device()->StopWatch();
      ASSERT_TRUE(sim::ExecuteControlLine(machine(), c.fault).ok);
      EXPECT_EQ(d.Call("FixDeposit"), OPOS_E_FAILURE);
      EXPECT_EQ(d.Get(pidx::kDepositAmount), 0);
      EXPECT_NE(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
      TakeCommands();
      EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_REPAY)}), OPOS_E_ILLEGAL) << "not fixed";
      EXPECT_TRUE(Actions(TakeCommands()).empty()) << "nothing repaid, nothing kept";
      d.so().device()->StartWatch(0);
    }
    ASSERT_TRUE(AwaitCounted(d, machine(), deposit));
    ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kDepositAmount), 1300);
    ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_REPAY)}), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
    EXPECT_EQ(machine().Stock(), stock) << "the whole deposit handed back";
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

// A KRT03 deposit that is fixed stays closed when a jam clears: the intake
// is not opened again, cash offered afterwards is not taken, and the deposit
// keeps its amount.
TEST_F(CashOperationsTest, Krt03JamClearedAfterFixDeposit_KeepsTheIntakeClosed) {
  ServiceDriver& d = Ready(sim::Model::kKrt03, SimCounts({{100, 10}}));
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  ASSERT_EQ(machine().InsertCash(SimCounts({{100, 2}, {10, 1}})).status, sim::InsertResult::Status::kCounting);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  ASSERT_EQ(d.Get(pidx::kDepositAmount), 210);

  machine().SetJam(true);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAM));
  TakeCommands();
  machine().SetJam(false);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAMOK));
  // The restart after the jam reads the counts ("o00"); a status read
  // after it shows the restart over.
  std::vector<std::string> after;
  ASSERT_TRUE(d.PumpUntil([&] {
    for (std::string& command : TakeCommands()) after.push_back(std::move(command));
    const auto restart = std::find(after.begin(), after.end(), "o00");
    return restart != after.end() && std::find(restart, after.end(), "i00") != after.end();
  }));
  EXPECT_FALSE(HasCommand(after, ">0220") || HasCommand(after, "=0220")) << ::testing::PrintToString(after);
  EXPECT_NE(machine().InsertCash(SimCounts({{500, 1}})).status, sim::InsertResult::Status::kCounting);
  EXPECT_EQ(d.Get(pidx::kDepositAmount), 210);
  ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
  EXPECT_EQ(machine().Stock(), SimCounts({{10, 1}, {100, 12}}));
}

// An application that releases (or closes) with a deposit open: the intake
// is closed first, so nothing more is taken in while nobody listens, and
// what the deposit holds is written to the trace and the ExamLog.
TEST_F(CashOperationsTest, ReleaseWithADepositOpen_ClosesTheIntakeAndRecordsWhatItHolds) {
  const sim::CashCounts deposit = SimCounts({{1000, 2}, {100, 3}});
  struct Case {
    sim::Model model;
    const char* member;
    const char* close;  // the command that closes the intake
  };
  for (const Case& c : {Case{sim::Model::kKrt07, "ReleaseDevice", "F047000"}, Case{sim::Model::kKrt03, "Close", ">0200"},
                        Case{sim::Model::kKrt02F, "ReleaseDevice", "F047000"}}) {
    SCOPED_TRACE(std::string(sim::TraitsOf(c.model).display_name) + ", " + c.member);
    ServiceDriver& d = Ready(c.model, SimCounts({{100, 10}}));
    ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(machine().InsertCash(deposit).status, sim::InsertResult::Status::kCounting);
    ASSERT_TRUE(AwaitCounted(d, machine(), deposit));
    TakeCommands();
    ASSERT_EQ(d.Call(c.member), OPOS_SUCCESS);
    EXPECT_TRUE(HasCommand(TakeCommands(), c.close));
    EXPECT_NE(machine().InsertCash(SimCounts({{500, 1}})).status, sim::InsertResult::Status::kCounting)
        << "the intake takes nothing more";
    const std::string trace = ReadFileBytes(dir_.file("trace") + d.TraceDay());
    EXPECT_NE(trace.find("  DepositLeftOpen is 1:0,5:0,10:0,50:0,100:3,500:0;1000:2,2000:0,5000:0,10000:0 (2300)"),
              std::string::npos);
    EXPECT_TRUE(Contains(ExamRecords(dir_.file("ExamlogS.txt")), "11,2,2300,0"));
    d.Call("Close");
    TearDown();
    SetUp();
  }
}

// A deposit left open by a process that died: the next claim reads what it
// holds before it ends it, records it, and leaves it readable; the next
// deposit starts from nothing and counts only its own cash.
TEST_F(CashOperationsTest, DepositLeftOpenByADeadProcess_IsReadRecordedAndSettledByTheNextClaim) {
  const sim::CashCounts stock = SimCounts({{100, 10}});
  const sim::CashCounts deposit = SimCounts({{1000, 2}, {100, 3}});
  const sim::CashCounts kept = SimCounts({{100, 13}, {1000, 2}});
  struct Case {
    sim::Model model;
    sim::CashCounts stock_after_claim;  // the KRT07 hands an open deposit back, as it always has
  };
  for (const Case& c : {Case{sim::Model::kKrt03, kept}, Case{sim::Model::kKrt02F, kept}, Case{sim::Model::kKrt07, stock}}) {
    SCOPED_TRACE(std::string(sim::TraitsOf(c.model).display_name));
    ServiceDriver& dead = Ready(c.model, stock);
    ASSERT_EQ(dead.Call("BeginDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(machine().InsertCash(deposit).status, sim::InsertResult::Status::kCounting);
    ASSERT_TRUE(AwaitCounted(dead, machine(), deposit));
    // The process dies: its object goes without a release.
    drivers_.clear();

    ServiceDriver& d = NewDriver();
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kDepositAmount), 2300);
    EXPECT_EQ(d.GetString(pidx::kDepositCounts), "1:0,5:0,10:0,50:0,100:3,500:0;1000:2,2000:0,5000:0,10000:0");
    const std::string trace = ReadFileBytes(dir_.file("trace") + d.TraceDay());
    EXPECT_NE(trace.find("  DepositLeftOpen is 1:0,5:0,10:0,50:0,100:3,500:0;1000:2,2000:0,5000:0,10000:0 (2300)"),
              std::string::npos);
    EXPECT_TRUE(Contains(ExamRecords(dir_.file("ExamlogS.txt")), "11,1,2300,0"));
    EXPECT_FALSE(machine().Deposit().open) << "the claim has ended it";
    EXPECT_EQ(machine().Stock(), c.stock_after_claim);
    ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kDepositAmount), 2300) << "still readable once enabled";

    // The next customer's deposit is only the next customer's.
    ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(machine().InsertCash(SimCounts({{500, 1}})).status, sim::InsertResult::Status::kCounting);
    ASSERT_TRUE(AwaitCounted(d, machine(), SimCounts({{500, 1}})));
    ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kDepositAmount), 500);
    ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
    sim::CashCounts with_next = c.stock_after_claim;
    with_next[5] += 1;  // one 500-yen coin
    EXPECT_EQ(machine().Stock(), with_next);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

}  // namespace
}  // namespace vexokrt::testing
