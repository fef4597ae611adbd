// SPDX-License-Identifier: Apache-2.0
#include "device/status_record.h"

#include <gtest/gtest.h>

#include "device/status_builder.h"
#include "service/opos.h"

namespace vexokrt {
namespace {

using testing::StatusOf;
using testing::With;
using testing::WithBillBit;
using testing::WithCoinBit;

TEST(StatusRecord, CountedSidesFollowTheExit) {
  for (int exit : {2, 5, 7}) {
    EXPECT_TRUE(SidesAtExit(exit).bills) << exit;
    EXPECT_FALSE(SidesAtExit(exit).coins) << exit;
  }
  EXPECT_FALSE(SidesAtExit(3).bills);
  EXPECT_TRUE(SidesAtExit(3).coins);
  for (int exit : {0, 1, 4, 6, 8}) {
    EXPECT_TRUE(SidesAtExit(exit).bills && SidesAtExit(exit).coins) << exit;
  }
}

TEST(StatusRecord, GroupBitsCountOnlyOnCountedSides) {
  const auto bill_empty = WithBillBit(StatusOf(ModelCode::kKrt07), kEmptyGroup);
  EXPECT_TRUE(ReadConditions(bill_empty, SidesAtExit(1)).empty);
  EXPECT_TRUE(ReadConditions(bill_empty, SidesAtExit(2)).empty);
  EXPECT_FALSE(ReadConditions(bill_empty, SidesAtExit(3)).empty);

  const auto coin_near_empty = WithCoinBit(StatusOf(ModelCode::kKrt07), kNearEmptyGroup);
  EXPECT_TRUE(ReadConditions(coin_near_empty, SidesAtExit(3)).near_empty);
  EXPECT_FALSE(ReadConditions(coin_near_empty, SidesAtExit(5)).near_empty);
  EXPECT_FALSE(ReadConditions(coin_near_empty, SidesAtExit(1)).empty);

  // The middle byte of a group holds bills in bits 2-3 and coins in 0-1.
  auto middle_bill = StatusOf(ModelCode::kKrt02);
  middle_bill[kFullGroup + 1] = '0' | 0x08;
  EXPECT_TRUE(ReadConditions(middle_bill, SidesAtExit(2)).full);
  EXPECT_FALSE(ReadConditions(middle_bill, SidesAtExit(3)).full);
  auto middle_coin = StatusOf(ModelCode::kKrt02);
  middle_coin[kNearFullGroup + 1] = '0' | 0x02;
  EXPECT_TRUE(ReadConditions(middle_coin, SidesAtExit(3)).near_full);
  EXPECT_FALSE(ReadConditions(middle_coin, SidesAtExit(7)).near_full);
}

TEST(StatusRecord, Byte21ReportsTheBillUnits) {
  const auto full = With(StatusOf(ModelCode::kKrt07), 21, "8");       // bit 3
  const auto near_full = With(StatusOf(ModelCode::kKrt07), 21, "4");  // bit 2
  EXPECT_TRUE(ReadConditions(full, SidesAtExit(1)).full);
  EXPECT_FALSE(ReadConditions(full, SidesAtExit(3)).full) << "bill units do not count at the coin exit";
  EXPECT_FALSE(ReadConditions(full, SidesAtExit(1)).near_full);
  EXPECT_TRUE(ReadConditions(near_full, SidesAtExit(2)).near_full);
  EXPECT_FALSE(ReadConditions(near_full, SidesAtExit(2)).full);
}

TEST(StatusRecord, DepositUnitCountingPairsByModel) {
  EXPECT_TRUE(DepositUnitCounting(With(StatusOf(ModelCode::kKrt07), 47, "31"), ModelCode::kKrt07));
  EXPECT_TRUE(DepositUnitCounting(With(StatusOf(ModelCode::kKrt77), 49, "<1"), ModelCode::kKrt77));
  EXPECT_FALSE(DepositUnitCounting(With(StatusOf(ModelCode::kKrt07), 47, "32"), ModelCode::kKrt07));
  EXPECT_FALSE(DepositUnitCounting(With(StatusOf(ModelCode::kKrt03), 47, "31"), ModelCode::kKrt03));
  EXPECT_TRUE(DepositUnitCounting(With(StatusOf(ModelCode::kKrt03), 51, "31"), ModelCode::kKrt03));
  EXPECT_FALSE(DepositUnitCounting(StatusOf(ModelCode::kKrt02), ModelCode::kKrt02));

  EXPECT_TRUE(DepositUnitIdle(With(StatusOf(ModelCode::kKrt07), 47, "3333")));
  EXPECT_FALSE(DepositUnitIdle(With(StatusOf(ModelCode::kKrt07), 47, "3331")));
  EXPECT_TRUE(DepositUnitCountingPair(With(StatusOf(ModelCode::kKrt07), 49, "31")));
  EXPECT_FALSE(DepositUnitIdle(StatusOf(ModelCode::kKrt02))) << "too short to hold the unit state";
}

TEST(StatusRecord, ShortRecordsReadAsNormal) {
  const std::vector<uint8_t> tiny = {'0', '1'};
  EXPECT_TRUE(StoppedWithError(tiny));
  EXPECT_EQ(ReadConditions(tiny, SidesAtExit(1)), StatusConditions{});
  EXPECT_FALSE(DepositUnitCounting(tiny, ModelCode::kKrt03));
  EXPECT_EQ(DenominationStates(tiny), "0000000000");
  EXPECT_EQ(CheckBeforeDispense(tiny, ModelCode::kKrt07), ActionCheck{});
}

TEST(StatusRecord, DeviceAndFullStatusValues) {
  EXPECT_EQ(DeviceStatusValue(true, true, true), opos::CHAN_STATUS_JAM);
  EXPECT_EQ(DeviceStatusValue(false, true, true), opos::CHAN_STATUS_EMPTY);
  EXPECT_EQ(DeviceStatusValue(false, false, true), opos::CHAN_STATUS_NEAREMPTY);
  EXPECT_EQ(DeviceStatusValue(false, false, false), opos::CHAN_STATUS_OK);
  EXPECT_EQ(FullStatusValue(true, true), opos::CHAN_STATUS_FULL);
  EXPECT_EQ(FullStatusValue(false, true), opos::CHAN_STATUS_NEARFULL);
  EXPECT_EQ(FullStatusValue(false, false), opos::CHAN_STATUS_OK);
}

TEST(StatusRecord, DenominationStatesLaterGroupsWin) {
  auto record = StatusOf(ModelCode::kKrt07);
  record[kNearFullGroup] |= 0x02;       // position 0
  record[kFullGroup] |= 0x02;           // position 0 again: full wins over near full
  record[kNearEmptyGroup + 2] |= 0x01;  // position 9
  record[kEmptyGroup + 2] |= 0x01;      // position 9: empty wins
  record[kNearFullGroup + 1] |= 0x08;   // position 1
  record[kNearEmptyGroup + 2] |= 0x08;  // position 6
  EXPECT_EQ(DenominationStates(record), "1200003004");
}

ActionCheck Extended(int32_t code) { return ActionCheck{opos::OPOS_E_EXTENDED, code}; }

TEST(StatusRecord, CheckBeforeDispenseOnKrt07) {
  const auto base = StatusOf(ModelCode::kKrt07);
  const ModelCode m = ModelCode::kKrt07;
  EXPECT_EQ(CheckBeforeDispense({}, m), ActionCheck{}) << "no status kept";
  EXPECT_EQ(CheckBeforeDispense(base, m), ActionCheck{});
  // Unit state 0.
  EXPECT_EQ(CheckBeforeDispense(With(base, 7, "8"), m), Extended(241));
  EXPECT_EQ(CheckBeforeDispense(With(base, 7, "4"), m), ActionCheck{});
  EXPECT_EQ(CheckBeforeDispense(With(base, 1, "2"), m), Extended(231));
  // Neither 2 nor bit 0.
  EXPECT_EQ(CheckBeforeDispense(With(base, 43, "4"), m), Extended(235));
  EXPECT_EQ(CheckBeforeDispense(With(base, 43, "<"), m), Extended(235));
  EXPECT_EQ(CheckBeforeDispense(With(base, 43, "8"), m), Extended(236));
  EXPECT_EQ(CheckBeforeDispense(With(With(base, 43, "8"), 7, "8"), m), Extended(236));
  // 2 or bit 0: only readiness counts.
  EXPECT_EQ(CheckBeforeDispense(With(base, 43, "2"), m), ActionCheck{});
  EXPECT_EQ(CheckBeforeDispense(With(base, 43, "5"), m), ActionCheck{});
  EXPECT_EQ(CheckBeforeDispense(With(With(base, 43, "5"), 1, ";"), m), Extended(231));
  for (char ready : std::string("01345<")) {
    EXPECT_EQ(CheckBeforeDispense(With(With(base, 43, "2"), 1, std::string(1, ready)), m), ActionCheck{}) << ready;
  }
}

TEST(StatusRecord, CheckBeforeDispenseOnKrt02AndKrt03) {
  const auto krt03 = StatusOf(ModelCode::kKrt03);
  EXPECT_EQ(CheckBeforeDispense(With(krt03, 43, "2"), ModelCode::kKrt03), Extended(202));
  EXPECT_EQ(CheckBeforeDispense(With(StatusOf(ModelCode::kKrt02), 43, "2"), ModelCode::kKrt02),
            (ActionCheck{opos::OPOS_E_FAILURE, 0}));
  EXPECT_EQ(CheckBeforeDispense(With(krt03, 1, "9"), ModelCode::kKrt03), Extended(231));
  EXPECT_EQ(CheckBeforeDispense(With(krt03, 43, "4"), ModelCode::kKrt03), ActionCheck{});
}

TEST(StatusRecord, CheckBeforeDeposit) {
  const auto base = StatusOf(ModelCode::kKrt77);
  const ModelCode m = ModelCode::kKrt77;
  EXPECT_EQ(CheckBeforeDeposit(With(base, 7, "8"), m), Extended(241));
  EXPECT_EQ(CheckBeforeDeposit(With(base, 43, "4"), m), Extended(235));
  EXPECT_EQ(CheckBeforeDeposit(With(base, 43, "9"), m), Extended(236));
  EXPECT_EQ(CheckBeforeDeposit(With(base, 43, "2"), m), ActionCheck{});
  EXPECT_EQ(CheckBeforeDeposit(With(base, 1, "2"), m), ActionCheck{}) << "readiness is not checked before a deposit";
  EXPECT_EQ(CheckBeforeDeposit(With(StatusOf(ModelCode::kKrt03), 43, "4"), ModelCode::kKrt03), ActionCheck{});
}

}  // namespace
}  // namespace vexokrt
