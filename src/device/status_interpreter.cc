// SPDX-License-Identifier: Apache-2.0
#include "device/status_interpreter.h"

#include "opos/opos.h"

namespace vexokrt {

StatusVerdict StatusInterpreter::Interpret(std::span<const uint8_t> record, const StatusContext& context,
                                           const StatusMemory& previous) const {
  const ModelCode model = context.model;
  StatusVerdict verdict;
  verdict.jam = StoppedWithError(record) && !context.jam_held;
  verdict.conditions = ReadConditions(record, SidesAtExit(context.current_exit));
  verdict.device_status =
      DeviceStatusValue(verdict.jam, verdict.conditions.empty, verdict.conditions.near_empty);
  verdict.full_status = FullStatusValue(verdict.conditions.full, verdict.conditions.near_full);
  verdict.next = previous;
  verdict.next.jam = verdict.jam;
  verdict.next.conditions = verdict.conditions;

  // Deposit progress: counting switches DepositStatus, and the end of
  // counting (or, with DepositEVTset, every record) re-reads the counts.
  if (model != ModelCode::kUnknown) {
    const bool counting = DepositUnitCounting(record, model);
    verdict.unit_counting = counting;
    verdict.next.unit_counting = counting;
    if (context.deposit_open) {
      verdict.deposit_status = counting ? opos::CHAN_STATUS_DEPOSIT_COUNT : opos::CHAN_STATUS_DEPOSIT_START;
      verdict.reread_deposit_counts = (previous.unit_counting && !counting) ||
                                      (IsKrt07Family(model) && settings_.reread_at_every_status);
    }
  }

  if (verdict.jam != previous.jam_told && (context.device_enabled || !settings_.quiet_until_enabled)) {
    verdict.jam_update = verdict.jam ? opos::CHAN_STATUS_JAM : opos::CHAN_STATUS_JAMOK;
    verdict.next.jam_told = verdict.jam;
  }
  if (verdict.jam != previous.jam) {
    if (!verdict.jam && context.deposit_open) verdict.restart = DepositRestart::kAfterJam;
  } else if (previous.restart_pending) {
    if (verdict.jam || !context.deposit_open) {
      verdict.next.restart_pending = false;
    } else {
      verdict.restart = DepositRestart::kRetry;
    }
  }

  const StatusConditions& was = previous.conditions;
  const StatusConditions& is = verdict.conditions;
  if (is.empty != was.empty) {
    verdict.level_updates.push_back(is.empty        ? opos::CHAN_STATUS_EMPTY
                                    : is.near_empty ? opos::CHAN_STATUS_NEAREMPTY
                                                    : opos::CHAN_STATUS_EMPTYOK);
  } else if (!is.empty && is.near_empty != was.near_empty) {
    verdict.level_updates.push_back(is.near_empty ? opos::CHAN_STATUS_NEAREMPTY : opos::CHAN_STATUS_EMPTYOK);
  }
  if (is.full != was.full) {
    verdict.level_updates.push_back(is.full        ? opos::CHAN_STATUS_FULL
                                    : is.near_full ? opos::CHAN_STATUS_NEARFULL
                                                   : opos::CHAN_STATUS_FULLOK);
  } else if (!is.full && is.near_full != was.near_full) {
    verdict.level_updates.push_back(is.near_full ? opos::CHAN_STATUS_NEARFULL : opos::CHAN_STATUS_FULLOK);
  }

  if (model == ModelCode::kKrt03 && context.direct_io_mode) {
    const uint8_t state = StatusByte(record, 51);
    verdict.ask_take_back = (state == '<' || state == '3') && StatusByte(record, 52) == '2';
  }
  return verdict;
}

bool StatusInterpreter::RestartPendingAfter(const StatusVerdict& verdict, ModelCode model, bool restarted) {
  switch (verdict.restart) {
    case DepositRestart::kAfterJam:
      // Only a KRT07 or KRT77 tries a failed restart again.
      return !restarted && IsKrt07Family(model);
    case DepositRestart::kRetry:
      return !restarted;
    case DepositRestart::kNone:
      break;
  }
  return verdict.next.restart_pending;
}

}  // namespace vexokrt
