// SPDX-License-Identifier: Apache-2.0
#include "device/status_record.h"

#include "opos/opos.h"

namespace vexokrt {
namespace {

bool Bit(uint8_t value, int bit) { return (value >> bit) & 1; }

bool PairIs(std::span<const uint8_t> record, size_t first, uint8_t a, uint8_t b) {
  return StatusByte(record, first) == a && StatusByte(record, first + 1) == b;
}

bool CountingPair(std::span<const uint8_t> record, size_t first) {
  const uint8_t lead = StatusByte(record, first);
  return (lead == '3' || lead == '<') && StatusByte(record, first + 1) == '1';
}

ActionCheck Extended(int32_t code) { return ActionCheck{opos::OPOS_E_EXTENDED, code}; }

}  // namespace

CountedSides SidesAtExit(int32_t current_exit) {
  switch (current_exit) {
    case 2:
    case 5:
    case 7:
      return CountedSides{true, false};
    case 3:
      return CountedSides{false, true};
    default:
      return CountedSides{true, true};
  }
}

uint8_t StatusByte(std::span<const uint8_t> record, size_t index) {
  return index < record.size() ? record[index] : static_cast<uint8_t>('0');
}

bool GroupSet(std::span<const uint8_t> record, int group, CountedSides sides) {
  const uint8_t g0 = StatusByte(record, group);
  const uint8_t g1 = StatusByte(record, group + 1);
  const uint8_t g2 = StatusByte(record, group + 2);
  const bool bills = (g0 & 0x03) != 0 || (g1 & 0x0C) != 0;
  const bool coins = (g1 & 0x03) != 0 || (g2 & 0x0F) != 0;
  return (sides.bills && bills) || (sides.coins && coins);
}

StatusConditions ReadConditions(std::span<const uint8_t> record, CountedSides sides) {
  const uint8_t bill_units = StatusByte(record, 21);
  StatusConditions conditions;
  conditions.empty = GroupSet(record, kEmptyGroup, sides);
  conditions.near_empty = GroupSet(record, kNearEmptyGroup, sides);
  conditions.full = GroupSet(record, kFullGroup, sides) || (sides.bills && Bit(bill_units, 3));
  conditions.near_full = GroupSet(record, kNearFullGroup, sides) || (sides.bills && Bit(bill_units, 2));
  return conditions;
}

bool StoppedWithError(std::span<const uint8_t> record) { return StatusByte(record, 1) == '1'; }

bool CashBeingHandled(std::span<const uint8_t> record) {
  return Bit(StatusByte(record, 7), 2) || Bit(StatusByte(record, 8), 2);
}

bool DepositUnitCounting(std::span<const uint8_t> record, ModelCode model) {
  switch (model) {
    case ModelCode::kKrt03:
      return CountingPair(record, 49) || CountingPair(record, 51);
    case ModelCode::kKrt07:
    case ModelCode::kKrt77:
      return CountingPair(record, 47) || CountingPair(record, 49);
    case ModelCode::kKrt02:
    case ModelCode::kUnknown:
      return false;
  }
  return false;
}

bool DepositUnitIdle(std::span<const uint8_t> record) {
  if (record.size() < 51) return false;
  for (size_t i = 47; i <= 50; ++i) {
    if (record[i] != '3') return false;
  }
  return true;
}

bool DepositUnitCountingPair(std::span<const uint8_t> record) {
  if (record.size() < 51) return false;
  return PairIs(record, 47, '3', '1') || PairIs(record, 49, '3', '1');
}

bool MachineAtRest(std::span<const uint8_t> record) {
  return StoppedWithError(record) || (DeviceReady(record) && !CashBeingHandled(record));
}

bool DeviceReady(std::span<const uint8_t> record) {
  switch (StatusByte(record, 1)) {
    case '0':
    case '1':
    case '3':
    case '4':
    case '5':
    case '<':
      return true;
    default:
      return false;
  }
}

int32_t DeviceStatusValue(bool jam, bool empty, bool near_empty) {
  if (jam) return opos::CHAN_STATUS_JAM;
  if (empty) return opos::CHAN_STATUS_EMPTY;
  if (near_empty) return opos::CHAN_STATUS_NEAREMPTY;
  return opos::CHAN_STATUS_OK;
}

int32_t FullStatusValue(bool full, bool near_full) {
  if (full) return opos::CHAN_STATUS_FULL;
  if (near_full) return opos::CHAN_STATUS_NEARFULL;
  return opos::CHAN_STATUS_OK;
}

std::string DenominationStates(std::span<const uint8_t> record) {
  // The ten reporting positions of a group as (byte offset, bit).
  static constexpr int kPositions[10][2] = {{0, 1}, {1, 3}, {0, 0}, {1, 2}, {1, 1},
                                            {1, 0}, {2, 3}, {2, 2}, {2, 1}, {2, 0}};
  // Later entries win: near full, full, near empty, empty.
  static constexpr struct {
    int group;
    char mark;
  } kGroups[] = {{kNearFullGroup, '2'}, {kFullGroup, '1'}, {kNearEmptyGroup, '3'}, {kEmptyGroup, '4'}};
  std::string states(10, '0');
  for (const auto& group : kGroups) {
    for (size_t i = 0; i < 10; ++i) {
      if (Bit(StatusByte(record, group.group + kPositions[i][0]), kPositions[i][1])) states[i] = group.mark;
    }
  }
  return states;
}

bool DepositUnitInUse(std::span<const uint8_t> record) { return Bit(StatusByte(record, 43) & 0x0F, 1); }

ActionCheck CheckBeforeDispense(std::span<const uint8_t> record, ModelCode model) {
  if (record.empty()) return {};
  const uint8_t unit = StatusByte(record, 43) & 0x0F;
  const uint8_t condition = StatusByte(record, 7);
  const bool ready = DeviceReady(record);
  if (IsKrt07Family(model)) {
    if (unit == 0) {
      if ((condition & 0x0F) != 0 && Bit(condition, 3)) return Extended(241);
      if (!ready) return Extended(231);
      return {};
    }
    if (unit != 2 && !Bit(unit, 0)) {
      if (Bit(unit, 2)) return Extended(235);
      if (Bit(unit, 3)) return Extended(236);
      if (!ready) return Extended(231);
      return {};
    }
    if (!ready) return Extended(231);
    return {};
  }
  if (Bit(unit, 1)) {
    if (model == ModelCode::kKrt03) return Extended(202);
    return ActionCheck{opos::OPOS_E_FAILURE, 0};
  }
  if (!ready) return Extended(231);
  return {};
}

ActionCheck CheckBeforeDeposit(std::span<const uint8_t> record, ModelCode model) {
  if (record.empty() || !IsKrt07Family(model)) return {};
  const uint8_t unit = StatusByte(record, 43) & 0x0F;
  const uint8_t condition = StatusByte(record, 7);
  if (unit == 0) {
    if ((condition & 0x0F) != 0 && Bit(condition, 3)) return Extended(241);
    return {};
  }
  if (unit != 2) {
    if (Bit(unit, 2)) return Extended(235);
    if (Bit(unit, 3)) return Extended(236);
  }
  return {};
}

}  // namespace vexokrt
