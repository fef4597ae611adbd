// SPDX-License-Identifier: Apache-2.0
// Reading the cash changer's status record: 44 bytes on the KRT02 family, 53
// on the KRT03, 51 on the KRT07 and KRT77. Pure functions of the record's
// bytes; every index is bounds-checked, a byte beyond a short record reads as
// '0'.
//
// Layout (bytes from 0; a "bit" is a bit of the character's code):
//   1       '1' = stopped with an error (reported as jam)
//   2       kept for direct I/O
//   3-6     device error number, four characters
//   7, 8    condition bits (bit 2 of either: cash is still being handled)
//   9-11    FULL, 12-14 NEAR-FULL, 15-17 NEAR-EMPTY, 18-20 EMPTY groups
//   21      bit 3 bill side full, bit 2 bill side near full
//   43      unit state bits 0-3 tested before actions
//   44, 45  '0' when normal
//   47-52   deposit unit state pairs
// In a group g..g+2 the bill denominations are bits 0-1 of g and bits 2-3 of
// g+1; the coin denominations bits 0-1 of g+1 and bits 0-3 of g+2.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "link/model_code.h"

namespace vexokrt {

inline constexpr int kFullGroup = 9;
inline constexpr int kNearFullGroup = 12;
inline constexpr int kNearEmptyGroup = 15;
inline constexpr int kEmptyGroup = 18;

// Which sides of the changer count for EMPTY/FULL reports at an exit:
// bills only at exits 2, 5 and 7, coins only at exit 3, both elsewhere.
struct CountedSides {
  bool bills = true;
  bool coins = true;
};
CountedSides SidesAtExit(int32_t current_exit);

// Byte |index| of |record|, or '0' beyond its end.
uint8_t StatusByte(std::span<const uint8_t> record, size_t index);

// True when any bit of group |group| is set on a counted side.
bool GroupSet(std::span<const uint8_t> record, int group, CountedSides sides);

struct StatusConditions {
  bool empty = false;
  bool near_empty = false;
  bool full = false;
  bool near_full = false;
  bool operator==(const StatusConditions&) const = default;
};
StatusConditions ReadConditions(std::span<const uint8_t> record, CountedSides sides);

// Byte 1 is '1': the device stopped with an error.
bool StoppedWithError(std::span<const uint8_t> record);
// Byte 7 or byte 8 bit 2: cash is still being handled.
bool CashBeingHandled(std::span<const uint8_t> record);
// The deposit unit is counting: '3' or '<' followed by '1' in the pairs
// 49/50 or 51/52 (KRT03) or 47/48 or 49/50 (KRT07/KRT77). Never on other
// models.
bool DepositUnitCounting(std::span<const uint8_t> record, ModelCode model);
// The four deposit-unit characters 47 to 50 are all '3' (unit idle).
bool DepositUnitIdle(std::span<const uint8_t> record);
// The pair 47/48 or 49/50 reads "31" (unit still counting).
bool DepositUnitCountingPair(std::span<const uint8_t> record);
// Byte 1 is one of '0', '1', '3', '4', '5', '<'.
bool DeviceReady(std::span<const uint8_t> record);
// The machine moves no cash: it has stopped with an error, or it is ready
// and no cash is being handled. Only then do its counts tell what a pay-out
// paid.
bool MachineAtRest(std::span<const uint8_t> record);
// Byte 43 bit 1: the deposit unit is in use, a deposit is open (the KRT02
// family and the KRT03 refuse a pay-out for it).
bool DepositUnitInUse(std::span<const uint8_t> record);

// DeviceStatus: 31 jammed, else 11 empty, else 12 near empty, else 0.
int32_t DeviceStatusValue(bool jam, bool empty, bool near_empty);
// FullStatus: 21 full, else 22 near full, else 0.
int32_t FullStatusValue(bool full, bool near_full);

// The per-denomination states of the ten reporting positions: '0' none,
// '2' near full, '1' full, '3' near empty, '4' empty, the later winning.
std::string DenominationStates(std::span<const uint8_t> record);

// Outcome of a check before an action: OPOS_SUCCESS, OPOS_E_FAILURE, or
// OPOS_E_EXTENDED with |extended|.
struct ActionCheck {
  int32_t result = 0;
  int32_t extended = 0;
  bool operator==(const ActionCheck&) const = default;
};
// Before dispensing, on the kept status (empty span: nothing kept, passes).
ActionCheck CheckBeforeDispense(std::span<const uint8_t> record, ModelCode model);
// Before a deposit (KRT07/KRT77 only; other models pass).
ActionCheck CheckBeforeDeposit(std::span<const uint8_t> record, ModelCode model);

}  // namespace vexokrt
