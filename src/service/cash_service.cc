// SPDX-License-Identifier: Apache-2.0
#include "service/cash_service.h"

#include <utility>

#include "cash/cash_counts.h"
#include "cash/cash_rules.h"
#include "devlog/changer_device_logs.h"
#include "link/command_set.h"
#include "service/device_job.h"
#include "service/exit_setting.h"
#include "service/opos.h"

namespace vexokrt::service {

using namespace opos;

CashService::CashService(const ServiceParts& parts, std::function<int32_t()> state,
                         std::function<opos::OposResult(const std::string& text)> hand_over)
    : UsesServiceParts(parts),
      state_(std::move(state)),
      hand_over_(std::move(hand_over)) {}

opos::OposResult CashService::PayoutJob(const std::function<opos::OposResult()>& work) {
  return device_.RunOperation([&] {
    opos::OposResult result = OPOS_E_NOHARDWARE;
    if (!device_.RunJob([&] {
          result = work();
          EndDevicePhase(device_);
        })) {
      EndDevicePhase(device_);
    }
    return result;
  });
}

// --- ReadCashCounts ------------------------------------------------------------------

opos::OposResult CashService::ReadCashCounts(std::string* cash_counts, bool* discrepancy) {
  return switches_.dio_read_exchange.load() == 1 ? ReadCashCountsExchange(cash_counts, discrepancy)
                                                 : ReadCashCountsNormal(cash_counts, discrepancy);
}

opos::OposResult CashService::ReadCashCountsNormal(std::string* cash_counts, bool* discrepancy) {
  if (device_.PowerState() != OPOS_PS_ONLINE) return OPOS_E_NOHARDWARE;
  const bool stale = device_.CountsStale() || !device_.CountsKnown();
  if (stale || device_.DepositPhase() != 0) {
    bool taken = false;
    const ReceiveStatus read = device_.ReadCountsNow(&taken);
    // Counts known to be out of date (a pay-out since) are never answered
    // as the machine's: a failed read says so. During a deposit the kept
    // counts are still the last the machine told.
    if (stale && (read != kReplyOk || !taken)) return read == kReplyTimeout ? OPOS_E_NOHARDWARE : OPOS_E_FAILURE;
  }
  const CashCounts set_a = device_.CountsA();
  const CashCounts set_b = device_.CountsB();
  if (cash_counts != nullptr) {
    *cash_counts = config_.read_cash_rsp_setting != 0 ? cash::FormatPlain(set_a) : cash::FormatTotal(set_a, set_b);
  }
  if (discrepancy != nullptr) *discrepancy = device_.Discrepancy() != 0;
  return OPOS_SUCCESS;
}

opos::OposResult CashService::ReadCashCountsExchange(std::string* cash_counts, bool* discrepancy) {
  if (device_.Recovering()) return OPOS_E_NOHARDWARE;
  return device_.RunOperation([&]() -> opos::OposResult {
    if (model_ == ModelCode::kKrt03) return OPOS_E_ILLEGAL;
    const int32_t exit = switches_.current_exit.load();
    if (exit == 3) return OPOS_E_FAILURE;
    // The count, the answer and the trading log are one job.
    opos::OposResult result = OPOS_E_NOHARDWARE;
    device_.RunJob([&] { result = CountForExchange(exit, cash_counts, discrepancy); });
    return result;
  });
}

opos::OposResult CashService::CountForExchange(int32_t exit, std::string* cash_counts, bool* discrepancy) {
  opos::OposResult result = OPOS_SUCCESS;
  bool queued_only = false;
  if (model_ == ModelCode::kKrt02) {
    result = device_.Execute(CountCheckCommand(config_.investigate_timeout));
    // After a count check the machine's counts are new: they are read again.
    if (result == OPOS_SUCCESS) device_.ReadCountsNow();
  } else if (exit == 1 || exit == 4 || exit == 6) {
    const BuiltCommand count = SideCountCheckCommand(0, config_.investigate_timeout);
    if (props_.async_mode != 0) {
      result = device_.ExecuteAsync(count.command, /*notify=*/true);
      queued_only = true;
    } else {
      result = device_.Execute(count.command);
    }
  } else {
    result = OposResult::Extended(kExtendedNotAtCurrentExit);
  }

  const CashCounts set_b = device_.CountsB();
  const CashCounts sum = cash::Sum(device_.CountsA(), set_b);
  if (cash_counts != nullptr) {
    *cash_counts = config_.read_cash_rsp_setting != 0 ? cash::FormatPlain(sum) : cash::FormatTotal(sum, set_b);
  }
  if (discrepancy != nullptr) *discrepancy = device_.Discrepancy() != 0;

  // An asynchronous count fetches the trading log when it completes.
  if (result == OPOS_SUCCESS && !queued_only ) logs_.RetrieveTradingLog(1);
  return result;
}

// --- AdjustCashCounts -----------------------------------------------------------------------

opos::OposResult CashService::AdjustCashCounts(std::string_view text) {
  if (!IsKrt07Family(model_)) return OPOS_E_ILLEGAL;
  DispenseRecord record;
  if (text.empty() || !cash::ParseCashCounts(text, &record, false, false)) return OPOS_E_ILLEGAL;
  const std::array<bool, 10> named = cash::NamedDenominations(text);
  const CashCounts asked = record.Counts();
  // The command's own count checks, before anything is read or sent.
  if (!SetCountsCommand('S', asked).ok()) return OPOS_E_ILLEGAL;
  if (device_.Recovering()) return OPOS_E_NOHARDWARE;
  return device_.RunOperation([&]() -> opos::OposResult {
    opos::OposResult result = OPOS_E_NOHARDWARE;
    device_.RunJob([&] {
      // The denominations not named keep what the machine holds now, so
      // they are read first, whatever the watch last saw.
      bool taken = false;
      const ReceiveStatus read = device_.ReadCountsNow(&taken);
      if (read != kReplyOk || !taken) {
        result = read == kReplyTimeout ? OPOS_E_NOHARDWARE : OPOS_E_FAILURE;
        return;
      }
      CashCounts counts = device_.CountsA();
      for (size_t i = 0; i < counts.size(); ++i) {
        if (named[i]) counts[i] = asked[i];
      }
      const BuiltCommand command = SetCountsCommand('S', counts);
      result = command.ok() ? device_.Execute(command.command) : command.result;
      // Whatever the answer, the counts are read again before they are told.
      device_.SetCountsStale(true);
    });
    return result;
  });
}

// --- DispenseCash -----------------------------------------------------------------------

opos::OposResult CashService::DispenseCash(std::string_view text) {
  if (switches_.dio_read_exchange.load() == 1) {
    // Exchange mode hands the request on before any of the normal checks.
    DispenseRecord record;
    if (!cash::ParseCashCounts(text, &record, false, true)) return OPOS_E_ILLEGAL;
    const cash::ExchangePlan plan =
        cash::PlanExchangeDispense(model_ == ModelCode::kKrt02, text, record.Counts(), device_.CountsA(),
                                   device_.CountsB());
    switch (plan.kind) {
      case cash::ExchangePlan::Kind::kRefused:
        return OposResult::Extended(kExtendedNotPossibleNow);
      case cash::ExchangePlan::Kind::kHandOver:
        return hand_over_(plan.text);
      case cash::ExchangePlan::Kind::kNormal:
        break;
    }
  }

  if (deposit_.UnderWay()) return OPOS_E_ILLEGAL;
  if (state_() == OPOS_S_BUSY) return OPOS_E_BUSY;
  if (device_.Recovering()) return OPOS_E_NOHARDWARE;

  DispenseRecord record;
  if (!cash::ParseCashCounts(text, &record, false, false)) return OPOS_E_ILLEGAL;
  const CashCounts counts = record.Counts();
  const int32_t exit = switches_.current_exit.load();
  if (!cash::ExitAllowsCounts(exit, counts)) {
    return OposResult::Extended(kExtendedNotAtCurrentExit);
  }
  if (const opos::OposResult check = payouts_.CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;
  const ModelCode model = model_;
  if (model == ModelCode::kKrt03 &&
      !cash::WithinCoinLimits(counts, config_.dispense_limit, config_.dispense_limit_500)) {
    return OPOS_E_ILLEGAL;
  }

  // The KRT02 family and the KRT03 have neither exit settings nor a deposit
  // table: they always pay with their dispense command.
  const bool dispense_command = !IsKrt07Family(model) || (exit >= 1 && exit <= 3 && config_.dispense_cash_exit != 0);
  if (dispense_command) {
    const BuiltCommand command = DispenseCommand(model, counts, config_.dispense_cash_timeout);
    if (!command.ok()) return command.result;
    return PayoutJob([&] {
      PayoutCheck check;
      check.pieces = counts;
      check.before = payouts_.StockBeforePayout();
      return payouts_.Run(command.command, std::move(check), props_.async_mode != 0);
    });
  }
  if (exit < 1 || exit > 7) return OPOS_SUCCESS;

  // The deposit-table command is built first: a count it cannot carry is
  // refused before anything is sent.
  const int32_t mode = exit >= 6 ? 1 : 0;
  const std::optional<CashCounts> sent = cash::DepositTableCounts(mode, counts, device_.CountsA());
  if (!sent) return OPOS_E_ILLEGAL;
  const BuiltCommand table = DepositTableCommand(*sent, mode, config_.take_back_timeout);
  if (!table.ok()) return table.result;

  return PayoutJob([&] {
    // The stock is read before the exit setting: from the setting to the
    // pay-out nothing else may reach the line.
    PayoutCheck check;
    check.pieces = *sent;
    check.before = payouts_.StockBeforePayout();
    opos::OposResult result = SendPayoutExitSetting(exit);
    if (result == OPOS_SUCCESS) result = payouts_.Run(table.command, std::move(check), props_.async_mode != 0);
    return result;
  });
}

opos::OposResult CashService::SendPayoutExitSetting(int32_t exit) {
  if (config_.dispense_cash_exit != 0 || exit < 1 || exit > 7) return OPOS_SUCCESS;
  const std::array<int32_t, 5> values =
      exit <= 3 ? std::array<int32_t, 5>{0, 0, 0, 0, 0} : std::array<int32_t, 5>{5, 5, 0, 0, 0};
  // The pay-out goes out with this setting: one still pending from an
  // earlier pay-out must not be put back over it, and nothing may reach the
  // line between the two (the thread's reads after a request are left out,
  // as for a change pay-out, until the pay-out's end ends the phase).
  device_.SetExitSettingPending(false);
  device_.SetDepositPhase(1);
  const opos::OposResult result = SendExitSetting(device_, values);
  // The watch puts the configured values back after its next status read.
  if (result == OPOS_SUCCESS) device_.SetExitSettingPending(true);
  return result;
}

// --- DispenseChange -----------------------------------------------------------------------

opos::OposResult CashService::DispenseChange(int32_t amount) {
  if (deposit_.UnderWay()) return OPOS_E_ILLEGAL;
  if (device_.Recovering()) return OPOS_E_NOHARDWARE;
  if (amount < 1 || amount > 999999) return OPOS_E_ILLEGAL;
  // The KRT03 pays every amount with its change command, whose five digits
  // stop at 99 999 yen: more is refused, never cut to what the field holds.
  if (model_ == ModelCode::kKrt03 && amount > ChangeAmountLimit(ModelCode::kKrt03)) return OPOS_E_ILLEGAL;
  if (!cash::ExitAllowsAmount(switches_.current_exit.load(), amount)) {
    return OposResult::Extended(kExtendedNotAtCurrentExit);
  }
  if (const opos::OposResult check = payouts_.CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;

  const ModelCode model = model_;
  // Above 10 000 yen the change command cannot carry the amount on the
  // KRT02 family and the KRT07/KRT77: it goes out as the amount dispense,
  // within this call's own operation (not as an application's DirectIO).
  const BuiltCommand command =
      model != ModelCode::kKrt03 && amount > 10000
          ? AmountDispenseCommand(model, amount,
                                  IsKrt07Family(model) ? config_.dispense_change_timeout : kDayLongTimeoutMs)
          : ChangeCommand(model, amount, config_.dispense_change_timeout);
  if (!command.ok()) return command.result;

  const opos::OposResult result = PayoutJob([&] {
    device_.SetDepositPhase(1);
    PayoutCheck check;
    check.amount = amount;
    check.before = payouts_.StockBeforePayout();
    return payouts_.Run(command.command, std::move(check), props_.async_mode != 0);
  });
  if (result == OPOS_SUCCESS) device_.SetLastChangeAmount(amount);
  return result;
}

}  // namespace vexokrt::service
