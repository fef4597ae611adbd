// SPDX-License-Identifier: Apache-2.0
#include "device/status_interpreter.h"

#include <gtest/gtest.h>

#include "device/power_state.h"
#include "device/status_builder.h"
#include "opos/opos.h"

namespace vexokrt {
namespace {

using testing::StatusOf;
using testing::With;
using testing::WithBillBit;
using testing::WithCoinBit;

const std::vector<uint8_t> kNormal = StatusOf(ModelCode::kKrt07);
const std::vector<uint8_t> kStopped = With(kNormal, 1, "1");

StatusContext Krt07() {
  StatusContext context;
  context.model = ModelCode::kKrt07;
  return context;
}

// A jam the application has been told of.
StatusMemory Jammed() {
  StatusMemory memory;
  memory.jam = true;
  memory.jam_told = true;
  return memory;
}

// A jam found while its update was held back (ClaimNonEvent 1, disabled).
StatusMemory JammedUntold() {
  StatusMemory memory;
  memory.jam = true;
  return memory;
}

TEST(StatusInterpreter, JamFollowsTheErrorStopAndIsReportedWhenEventsAreAllowed) {
  struct Case {
    const char* name;
    std::vector<uint8_t> record;
    StatusMemory previous;
    bool jam_held;
    bool enabled;
    bool quiet_until_enabled;
    bool jam;
    std::optional<int32_t> update;
  };
  const Case cases[] = {
      {"error stop: jam", kStopped, {}, false, true, false, true, opos::CHAN_STATUS_JAM},
      {"still jammed: no update", kStopped, Jammed(), false, true, false, true, std::nullopt},
      {"cleared", kNormal, Jammed(), false, true, false, false, opos::CHAN_STATUS_JAMOK},
      {"held by a take-back", kStopped, {}, true, true, false, false, std::nullopt},
      {"disabled, ClaimNonEvent 1: silent", kStopped, {}, false, false, true, true, std::nullopt},
      {"disabled, ClaimNonEvent 0: reported", kStopped, {}, false, false, false, true, opos::CHAN_STATUS_JAM},
      {"enabled, ClaimNonEvent 1: reported", kNormal, Jammed(), false, true, true, false, opos::CHAN_STATUS_JAMOK},
      {"held back, still jammed once enabled: told now", kStopped, JammedUntold(), false, true, true, true,
       opos::CHAN_STATUS_JAM},
      {"held back, cleared before enabling: nothing to tell", kNormal, JammedUntold(), false, true, true, false,
       std::nullopt},
  };
  for (const Case& c : cases) {
    StatusContext context = Krt07();
    context.jam_held = c.jam_held;
    context.device_enabled = c.enabled;
    const StatusInterpreter interpreter({.quiet_until_enabled = c.quiet_until_enabled});
    const StatusVerdict verdict = interpreter.Interpret(c.record, context, c.previous);
    EXPECT_EQ(verdict.jam, c.jam) << c.name;
    EXPECT_EQ(verdict.next.jam, c.jam) << c.name;
    EXPECT_EQ(verdict.jam_update, c.update) << c.name;
    EXPECT_EQ(verdict.next.jam_told, c.update ? *c.update == opos::CHAN_STATUS_JAM : c.previous.jam_told) << c.name;
    EXPECT_EQ(verdict.device_status, c.jam ? opos::CHAN_STATUS_JAM : 0) << c.name;
  }
}

TEST(StatusInterpreter, LevelsGiveThePropertyValuesAndAnUpdatePerChange) {
  const auto empty = WithCoinBit(kNormal, kEmptyGroup);
  const auto near_empty = WithCoinBit(kNormal, kNearEmptyGroup);
  const auto full = WithBillBit(kNormal, kFullGroup);
  const auto near_full = With(kNormal, 21, "4");
  struct Case {
    const char* name;
    std::vector<uint8_t> previous_record;  // interpreted first, from nothing
    std::vector<uint8_t> record;
    int32_t current_exit;
    int32_t device_status;
    int32_t full_status;
    std::vector<int32_t> updates;
  };
  const Case cases[] = {
      {"nothing changes", kNormal, kNormal, 0, 0, 0, {}},
      {"empty", kNormal, empty, 0, 11, 0, {11}},
      {"empty and near empty: empty wins", kNormal, WithCoinBit(empty, kNearEmptyGroup), 0, 11, 0, {11}},
      {"empty ends, near empty stays", WithCoinBit(empty, kNearEmptyGroup), near_empty, 0, 12, 0, {12}},
      {"empty unchanged, near empty added: nothing", empty, WithCoinBit(empty, kNearEmptyGroup), 0, 11, 0, {}},
      {"near empty ends", near_empty, kNormal, 0, 0, 0, {13}},
      {"full", kNormal, full, 0, 0, 21, {21}},
      {"full to near full", full, near_full, 0, 0, 22, {22}},
      {"near full ends", near_full, kNormal, 0, 0, 0, {23}},
      {"empty and full together: empty first", kNormal, WithBillBit(empty, kFullGroup), 0, 11, 21, {11, 21}},
      {"coins only at exit 3: a bill bit is not counted", kNormal, WithBillBit(kNormal, kEmptyGroup), 3, 0, 0, {}},
      {"bills only at exit 2: a coin bit is not counted", kNormal, empty, 2, 0, 0, {}},
  };
  const StatusInterpreter interpreter({});
  for (const Case& c : cases) {
    StatusContext context = Krt07();
    context.current_exit = c.current_exit;
    const StatusMemory previous = interpreter.Interpret(c.previous_record, context, {}).next;
    const StatusVerdict verdict = interpreter.Interpret(c.record, context, previous);
    EXPECT_EQ(verdict.device_status, c.device_status) << c.name;
    EXPECT_EQ(verdict.full_status, c.full_status) << c.name;
    EXPECT_EQ(verdict.level_updates, c.updates) << c.name;
  }
}

TEST(StatusInterpreter, DepositProgressSetsDepositStatusAndAsksForARereadAtTheEndOfCounting) {
  const auto counting = With(kNormal, 47, "3133");
  const auto idle = With(kNormal, 47, "3333");
  struct Case {
    const char* name;
    ModelCode model;
    bool deposit_open;
    bool was_counting;
    bool reread_every_status;
    std::vector<uint8_t> record;
    bool counting;
    std::optional<int32_t> deposit_status;
    bool reread;
  };
  const Case cases[] = {
      {"counting starts", ModelCode::kKrt07, true, false, false, counting, true, opos::CHAN_STATUS_DEPOSIT_COUNT,
       false},
      {"counting ends: re-read", ModelCode::kKrt07, true, true, false, idle, false, opos::CHAN_STATUS_DEPOSIT_START,
       true},
      {"'<1' counts too", ModelCode::kKrt07, true, false, false, With(kNormal, 47, "<1"), true,
       opos::CHAN_STATUS_DEPOSIT_COUNT, false},
      {"DepositEVTset: every record re-reads", ModelCode::kKrt07, true, false, true, idle, false,
       opos::CHAN_STATUS_DEPOSIT_START, true},
      {"DepositEVTset is for KRT07/KRT77 only", ModelCode::kKrt03, true, false, true,
       StatusOf(ModelCode::kKrt03), false, opos::CHAN_STATUS_DEPOSIT_START, false},
      {"no deposit open: DepositStatus left alone", ModelCode::kKrt07, false, true, true, idle, false,
       std::nullopt, false},
      {"model unknown: no progress at all", ModelCode::kUnknown, true, true, true, counting, false, std::nullopt,
       false},
  };
  for (const Case& c : cases) {
    StatusContext context = Krt07();
    context.model = c.model;
    context.deposit_open = c.deposit_open;
    StatusMemory previous;
    previous.unit_counting = c.was_counting;
    const StatusInterpreter interpreter({.reread_at_every_status = c.reread_every_status});
    const StatusVerdict verdict = interpreter.Interpret(c.record, context, previous);
    EXPECT_EQ(verdict.unit_counting, c.counting) << c.name;
    EXPECT_EQ(verdict.next.unit_counting, c.model == ModelCode::kUnknown ? c.was_counting : c.counting) << c.name;
    EXPECT_EQ(verdict.deposit_status, c.deposit_status) << c.name;
    EXPECT_EQ(verdict.reread_deposit_counts, c.reread) << c.name;
  }
}

TEST(StatusInterpreter, AClearedJamDuringADepositRestartsTheUnitAndAFailedRestartIsRetried) {
  StatusMemory pending;
  pending.restart_pending = true;
  StatusMemory jammed_pending = Jammed();
  jammed_pending.restart_pending = true;
  struct Case {
    const char* name;
    StatusMemory previous;
    std::vector<uint8_t> record;
    bool deposit_open;
    DepositRestart restart;
    bool pending_without_restart;
  };
  const Case cases[] = {
      {"jam clears during a deposit", Jammed(), kNormal, true, DepositRestart::kAfterJam, false},
      {"jam clears, no deposit", Jammed(), kNormal, false, DepositRestart::kNone, false},
      {"jam clears with a restart due: restarted", jammed_pending, kNormal, true, DepositRestart::kAfterJam, true},
      {"pending, deposit open, no jam: retried", pending, kNormal, true, DepositRestart::kRetry, true},
      {"jam starts with a restart due: it stays due", pending, kStopped, true, DepositRestart::kNone, true},
      {"pending, still jammed: dropped", jammed_pending, kStopped, true, DepositRestart::kNone, false},
      {"pending, deposit closed: dropped", pending, kNormal, false, DepositRestart::kNone, false},
  };
  const StatusInterpreter interpreter({});
  for (const Case& c : cases) {
    StatusContext context = Krt07();
    context.deposit_open = c.deposit_open;
    const StatusVerdict verdict = interpreter.Interpret(c.record, context, c.previous);
    EXPECT_EQ(verdict.restart, c.restart) << c.name;
    EXPECT_EQ(verdict.next.restart_pending, c.pending_without_restart) << c.name;
  }

  // After the restart ran: a failed one stays due on a KRT07 or KRT77 only.
  StatusVerdict after_jam;
  after_jam.restart = DepositRestart::kAfterJam;
  StatusVerdict retry;
  retry.restart = DepositRestart::kRetry;
  retry.next.restart_pending = true;
  EXPECT_TRUE(StatusInterpreter::RestartPendingAfter(after_jam, ModelCode::kKrt07, false));
  EXPECT_FALSE(StatusInterpreter::RestartPendingAfter(after_jam, ModelCode::kKrt02, false));
  EXPECT_FALSE(StatusInterpreter::RestartPendingAfter(after_jam, ModelCode::kKrt07, true));
  EXPECT_TRUE(StatusInterpreter::RestartPendingAfter(retry, ModelCode::kKrt07, false));
  EXPECT_FALSE(StatusInterpreter::RestartPendingAfter(retry, ModelCode::kKrt07, true));
}

TEST(StatusInterpreter, AKrt03InDirectIoModeWithAStalledTakeBackAsksTheApplication) {
  const auto krt03 = StatusOf(ModelCode::kKrt03);
  struct Case {
    const char* name;
    ModelCode model;
    bool direct_io_mode;
    std::vector<uint8_t> record;
    bool ask;
  };
  const Case cases[] = {
      {"'<2'", ModelCode::kKrt03, true, With(krt03, 51, "<2"), true},
      {"'32'", ModelCode::kKrt03, true, With(krt03, 51, "32"), true},
      {"'91' is not this question", ModelCode::kKrt03, true, With(krt03, 51, "91"), false},
      {"'<1'", ModelCode::kKrt03, true, With(krt03, 51, "<1"), false},
      {"DirectIoMode 0", ModelCode::kKrt03, false, With(krt03, 51, "<2"), false},
      {"not a KRT03", ModelCode::kKrt07, true, With(krt03, 51, "<2"), false},
  };
  const StatusInterpreter interpreter({});
  for (const Case& c : cases) {
    StatusContext context;
    context.model = c.model;
    context.direct_io_mode = c.direct_io_mode;
    EXPECT_EQ(interpreter.Interpret(c.record, context, {}).ask_take_back, c.ask) << c.name;
  }
}

TEST(PowerStatePlan, AChangeFromTheUnknownStateOnlyNotifiesOthersActByModelAndDeposit) {
  constexpr int32_t kUnknown = opos::OPOS_PS_UNKNOWN;
  constexpr int32_t kOnline = opos::OPOS_PS_ONLINE;
  constexpr int32_t kOffline = opos::OPOS_PS_OFF_OFFLINE;
  const auto context = [](ModelCode model, bool deposit_open, bool fixed, bool jammed, bool dio, bool notify) {
    return PowerContext{model, deposit_open, fixed, jammed, dio, notify};
  };
  struct Case {
    const char* name;
    PowerChange change;
    PowerContext context;
    PowerActions actions;
  };
  const Case cases[] = {
      {"from 2000: notify only", {kUnknown, kOnline}, context(ModelCode::kKrt07, true, false, false, true, true),
       {false, false, false, true}},
      {"KRT07 back online in a deposit", {kOffline, kOnline}, context(ModelCode::kKrt07, true, false, false, false, false),
       {true, false, true, false}},
      {"fixed deposit: no restart", {kOffline, kOnline}, context(ModelCode::kKrt07, true, true, false, false, false),
       {false, false, true, false}},
      {"jammed: no restart", {kOffline, kOnline}, context(ModelCode::kKrt07, true, false, true, false, false),
       {false, false, true, false}},
      {"going offline: nothing sent", {kOnline, kOffline}, context(ModelCode::kKrt07, true, false, false, false, true),
       {false, false, false, true}},
      {"KRT03 leaves DirectIoMode", {kOffline, kOnline}, context(ModelCode::kKrt03, false, false, false, true, false),
       {false, true, false, false}},
      {"KRT02: no operation mode", {kOffline, kOnline}, context(ModelCode::kKrt02, true, false, false, true, false),
       {true, false, false, false}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanPowerChange(c.change, c.context), c.actions) << c.name;

  PowerStateKeeper keeper;
  EXPECT_EQ(keeper.Value(), kUnknown);
  const auto change = keeper.Change(kOnline);
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(change->previous, kUnknown);
  EXPECT_EQ(change->current, kOnline);
  EXPECT_FALSE(keeper.Change(kOnline).has_value()) << "equal: no change";
  keeper.Store(kUnknown);
  EXPECT_EQ(keeper.Value(), kUnknown);
}

}  // namespace
}  // namespace vexokrt
