// SPDX-License-Identifier: Apache-2.0
// The reading and paying-out members of the service object: ReadCashCounts,
// DispenseCash and DispenseChange, with the background pauses around their
// device work; what a pay-out paid is told by the PayoutService.
#include <algorithm>
#include <utility>

#include "cash/cash_counts.h"
#include "cash/cash_rules.h"
#include "device/changer_device.h"
#include "devlog/changer_device_logs.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "service/device_job.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

constexpr std::string_view kTraceDispenseCash = "CCashChanger::DispenseCash";
constexpr std::string_view kTraceDispenseChange = "CCashChanger::DispenseChange";
constexpr std::string_view kTraceReadCashCounts = "CCashChanger::ReadCashCounts";

}  // namespace

// --- the frame and the background pauses ------------------------------------------

int32_t CCashChanger::EndCall(std::string_view trace_name, MethodCode code, long argument, opos::OposResult result) {
  Record(1, 100 + static_cast<long>(code), argument, result);
  return FinishCall(trace_name, result);
}

int32_t CCashChanger::StateChecks() {
  if (const int32_t refused = ClaimedCheck(); refused != OPOS_SUCCESS) return refused;
  if (!switches_.device_enabled.load()) return OPOS_E_DISABLED;
  if (State() == OPOS_S_BUSY) return OPOS_E_BUSY;
  return OPOS_SUCCESS;
}

HistoryPause CCashChanger::PauseHistory() { return service::PauseHistory(*device_, exam_log_); }

void CCashChanger::EndDevicePhase() { service::EndDevicePhase(*device_); }

opos::OposResult CCashChanger::DeviceJob(const std::function<opos::OposResult()>& work, opos::OposResult not_run) {
  return RunDeviceJob(*device_, work, not_run);
}

opos::OposResult CCashChanger::PayoutJob(const std::function<opos::OposResult()>& work) {
  HistoryPause history = PauseHistory();
  opos::OposResult result = OPOS_E_NOHARDWARE;
  if (!device_->RunJob([&] {
        result = work();
        EndDevicePhase();
      })) {
    EndDevicePhase();
  }
  history.End();
  return result;
}


std::string CCashChanger::last_short_payout() { return payouts_ ? payouts_->last_short_payout() : std::string(); }

// --- ReadCashCounts ------------------------------------------------------------------

int32_t CCashChanger::ReadCashCounts(std::string* cash_counts, bool* discrepancy) {
  TraceEnter(kTraceReadCashCounts);
  Record(1, static_cast<long>(MethodCode::kReadCashCounts), 0, 0);
  const int32_t refused = StateChecks();
  if (refused != OPOS_SUCCESS) return EndCall(kTraceReadCashCounts, MethodCode::kReadCashCounts, 0, refused);
  const opos::OposResult result = switches_.dio_read_exchange.load() == 1 ? ReadCashCountsExchange(cash_counts, discrepancy)
                                                        : ReadCashCountsNormal(cash_counts, discrepancy);
  return EndCall(kTraceReadCashCounts, MethodCode::kReadCashCounts, 0, result);
}

opos::OposResult CCashChanger::ReadCashCountsNormal(std::string* cash_counts, bool* discrepancy) {
  if (device_->PowerState() != OPOS_PS_ONLINE) return OPOS_E_NOHARDWARE;
  ChangerDevice& thread = *device_;
  const bool stale = thread.CountsStale() || !device_->CountsKnown();
  if (stale || thread.DepositPhase() != 0) {
    bool taken = false;
    const ReceiveStatus read = thread.ReadCountsNow(&taken);
    // Counts known to be out of date (a pay-out since) are never answered
    // as the machine's: a failed read says so. During a deposit the kept
    // counts are still the last the machine told.
    if (stale && (read != kReplyOk || !taken)) return read == kReplyTimeout ? OPOS_E_NOHARDWARE : OPOS_E_FAILURE;
  }
  const CashCounts set_a = device_->CountsA();
  const CashCounts set_b = device_->CountsB();
  if (cash_counts != nullptr) {
    *cash_counts = config_.read_cash_rsp_setting != 0 ? cash::FormatPlain(set_a) : cash::FormatTotal(set_a, set_b);
  }
  if (discrepancy != nullptr) *discrepancy = device_->Discrepancy() != 0;
  return OPOS_SUCCESS;
}

opos::OposResult CCashChanger::ReadCashCountsExchange(std::string* cash_counts, bool* discrepancy) {
  ChangerDevice& thread = *device_;
  if (thread.Recovering()) return OPOS_E_NOHARDWARE;
  HistoryPause history = PauseHistory();
  if (claimed_model_ == ModelCode::kKrt03) return OPOS_E_ILLEGAL;
  const int32_t exit = switches_.current_exit.load();
  if (exit == 3) return OPOS_E_FAILURE;

  // The count, the answer and the trading log are one job.
  opos::OposResult result = OPOS_E_NOHARDWARE;
  device_->RunJob([&] { result = CountForExchange(exit, cash_counts, discrepancy); });
  history.End();
  return result;
}

opos::OposResult CCashChanger::CountForExchange(int32_t exit, std::string* cash_counts, bool* discrepancy) {
  opos::OposResult result = OPOS_SUCCESS;
  bool queued_only = false;
  if (claimed_model_ == ModelCode::kKrt02) {
    result = device_->Execute(CountCheckCommand(config_.investigate_timeout));
    // After a count check the machine's counts are new: they are read again.
    if (result == OPOS_SUCCESS) device_->ReadCountsNow();
  } else if (exit == 1 || exit == 4 || exit == 6) {
    const BuiltCommand count = SideCountCheckCommand(0, config_.investigate_timeout);
    if (props_.async_mode != 0) {
      result = device_->ExecuteAsync(count.command, /*notify=*/true);
      queued_only = true;
    } else {
      result = device_->Execute(count.command);
    }
  } else {
    result = OposResult::Extended(kExtendedNotAtCurrentExit);
  }

  const CashCounts set_b = device_->CountsB();
  const CashCounts sum = cash::Sum(device_->CountsA(), set_b);
  if (cash_counts != nullptr) {
    *cash_counts = config_.read_cash_rsp_setting != 0 ? cash::FormatPlain(sum) : cash::FormatTotal(sum, set_b);
  }
  if (discrepancy != nullptr) *discrepancy = device_->Discrepancy() != 0;

  // An asynchronous count fetches the trading log when it completes.
  if (result == OPOS_SUCCESS && !queued_only && device_logs_) device_logs_->RetrieveTradingLog(1);
  return result;
}

// --- DispenseCash -----------------------------------------------------------------------

int32_t CCashChanger::DispenseCash(std::string_view cash_counts) {
  const std::string param =
      Format("  Param:   CashCounts is %.*s", static_cast<int>(cash_counts.size()), cash_counts.data());
  TraceEnter(kTraceDispenseCash, param);
  Record(1, static_cast<long>(MethodCode::kDispenseCash), 0, 0);
  const opos::OposResult result = DispenseCashSteps(cash_counts);
  return EndCall(kTraceDispenseCash, MethodCode::kDispenseCash, 0, result);
}

opos::OposResult CCashChanger::DispenseCashSteps(std::string_view text) {
  if (const int32_t refused = ClaimedCheck(); refused != OPOS_SUCCESS) return refused;
  if (!switches_.device_enabled.load()) return OPOS_E_DISABLED;

  if (switches_.dio_read_exchange.load() == 1) {
    // Exchange mode hands the request on before any of the normal checks.
    DispenseRecord record;
    if (!cash::ParseCashCounts(text, &record, false, true)) return OPOS_E_ILLEGAL;
    const cash::ExchangePlan plan =
        cash::PlanExchangeDispense(claimed_model_ == ModelCode::kKrt02, text, record.Counts(), device_->CountsA(),
                                   device_->CountsB());
    switch (plan.kind) {
      case cash::ExchangePlan::Kind::kRefused:
        return OposResult::Extended(kExtendedNotPossibleNow);
      case cash::ExchangePlan::Kind::kHandOver:
        return HandOverExchangeDispense(plan.text);
      case cash::ExchangePlan::Kind::kNormal:
        break;
    }
  }

  if (deposit_.UnderWay()) return OPOS_E_ILLEGAL;
  if (State() == OPOS_S_BUSY) return OPOS_E_BUSY;
  if (device_->Recovering()) return OPOS_E_NOHARDWARE;

  DispenseRecord record;
  if (!cash::ParseCashCounts(text, &record, false, false)) return OPOS_E_ILLEGAL;
  const CashCounts counts = record.Counts();
  const int32_t exit = switches_.current_exit.load();
  if (!cash::ExitAllowsCounts(exit, counts)) {
    return OposResult::Extended(kExtendedNotAtCurrentExit);
  }
  if (const opos::OposResult check = payouts_->CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;
  const ModelCode model = claimed_model_;
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
      check.before = payouts_->StockBeforePayout();
      return payouts_->Run(command.command, std::move(check), props_.async_mode != 0);
    });
  }
  if (exit < 1 || exit > 7) return OPOS_SUCCESS;

  // The deposit-table command is built first: a count it cannot carry is
  // refused before anything is sent.
  const int32_t mode = exit >= 6 ? 1 : 0;
  const std::optional<CashCounts> sent = cash::DepositTableCounts(mode, counts, device_->CountsA());
  if (!sent) return OPOS_E_ILLEGAL;
  const BuiltCommand table = DepositTableCommand(*sent, mode, config_.take_back_timeout);
  if (!table.ok()) return table.result;

  return PayoutJob([&] {
    // The stock is read before the exit setting: from the setting to the
    // pay-out nothing else may reach the line.
    PayoutCheck check;
    check.pieces = *sent;
    check.before = payouts_->StockBeforePayout();
    opos::OposResult result = SendPayoutExitSetting(exit);
    if (result == OPOS_SUCCESS) result = payouts_->Run(table.command, std::move(check), props_.async_mode != 0);
    return result;
  });
}

opos::OposResult CCashChanger::SendPayoutExitSetting(int32_t exit) {
  if (config_.dispense_cash_exit != 0 || exit < 1 || exit > 7) return OPOS_SUCCESS;
  const std::array<int32_t, 5> values =
      exit <= 3 ? std::array<int32_t, 5>{0, 0, 0, 0, 0} : std::array<int32_t, 5>{5, 5, 0, 0, 0};
  // The pay-out goes out with this setting: one still pending from an
  // earlier pay-out must not be put back over it, and nothing may reach the
  // line between the two (the thread's reads after a request are left out,
  // as for a change pay-out, until the pay-out's end ends the phase).
  ChangerDevice& thread = *device_;
  thread.SetExitSettingPending(false);
  thread.SetDepositPhase(1);
  const opos::OposResult result = SendExitSetting(values);
  // The watch puts the configured values back after its next status read.
  if (result == OPOS_SUCCESS) device_->SetExitSettingPending(true);
  return result;
}

opos::OposResult CCashChanger::HandOverExchangeDispense(const std::string& text) {
  // The deposit-table pay-out (DirectIO 28, KRT07/KRT77) or the take-back
  // (DirectIO 4, other models) of the given text, mode 0.
  // The text is a cash-count text, never the application's binary input:
  // BinaryConversion does not apply to it.
  int32_t mode = 0;
  std::string counts = text;
  const int32_t conversion = std::exchange(props_.binary_conversion, 0);
  const int32_t result = DirectIO(IsKrt07Family(claimed_model_) ? 28 : 4, &mode, &counts);
  props_.binary_conversion = conversion;
  return result;
}

// --- DispenseChange -----------------------------------------------------------------------

int32_t CCashChanger::DispenseChange(int32_t amount) {
  TraceEnter(kTraceDispenseChange, Format("  Param:   Amount is %ld", static_cast<long>(amount)));
  Record(1, static_cast<long>(MethodCode::kDispenseChange), amount, 0);
  const opos::OposResult result = DispenseChangeSteps(amount);
  return EndCall(kTraceDispenseChange, MethodCode::kDispenseChange, amount, result);
}

opos::OposResult CCashChanger::DispenseChangeSteps(int32_t amount) {
  if (const int32_t refused = StateChecks(); refused != OPOS_SUCCESS) return refused;
  if (deposit_.UnderWay()) return OPOS_E_ILLEGAL;
  if (device_->Recovering()) return OPOS_E_NOHARDWARE;
  if (amount < 1 || amount > 999999) return OPOS_E_ILLEGAL;
  // The KRT03 pays every amount with its change command, whose five digits
  // stop at 99 999 yen: more is refused, never cut to what the field holds.
  if (claimed_model_ == ModelCode::kKrt03 && amount > ChangeAmountLimit(ModelCode::kKrt03)) return OPOS_E_ILLEGAL;
  if (!cash::ExitAllowsAmount(switches_.current_exit.load(), amount)) {
    return OposResult::Extended(kExtendedNotAtCurrentExit);
  }
  if (const opos::OposResult check = payouts_->CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;

  const ModelCode model = claimed_model_;
  // Above 10 000 yen the change command cannot carry the amount on the
  // KRT02 family and the KRT07/KRT77: it goes out as the amount dispense,
  // within this call's own pause (not as an application's DirectIO).
  const BuiltCommand command =
      model != ModelCode::kKrt03 && amount > 10000
          ? AmountDispenseCommand(model, amount,
                                  IsKrt07Family(model) ? config_.dispense_change_timeout : kDayLongTimeoutMs)
          : ChangeCommand(model, amount, config_.dispense_change_timeout);
  if (!command.ok()) return command.result;

  const opos::OposResult result = PayoutJob([&] {
    device_->SetDepositPhase(1);
    PayoutCheck check;
    check.amount = amount;
    check.before = payouts_->StockBeforePayout();
    return payouts_->Run(command.command, std::move(check), props_.async_mode != 0);
  });
  if (result == OPOS_SUCCESS) device_->SetLastChangeAmount(amount);
  return result;
}

}  // namespace vexokrt::service
