// SPDX-License-Identifier: Apache-2.0
// The reading and paying-out members of the service object: ReadCashCounts,
// DispenseCash and DispenseChange, with the background pauses around their
// device work and the check of what a pay-out that ended early really paid.
#include <algorithm>
#include <utility>

#include "cash/cash_counts.h"
#include "cash/cash_rules.h"
#include "device/changer_device.h"
#include "devlog/changer_device_logs.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

constexpr std::string_view kTraceDispenseCash = "CCashChanger::DispenseCash";
constexpr std::string_view kTraceDispenseChange = "CCashChanger::DispenseChange";
constexpr std::string_view kTraceReadCashCounts = "CCashChanger::ReadCashCounts";

bool IsDepositUnderWayStatus(int32_t status) {
  return status == CHAN_STATUS_DEPOSIT_START || status == CHAN_STATUS_DEPOSIT_COUNT;
}

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

HistoryPause CCashChanger::PauseHistory() { return HistoryPause(device_->HoldHistory(), &exam_log_); }

void CCashChanger::EndDevicePhase() {
  ChangerDevice& thread = *device_;
  thread.SetDepositPhase(0);
  thread.SetCountsStale(true);
  thread.SetStatusStale(true);
}

opos::OposResult CCashChanger::DeviceJob(const std::function<opos::OposResult()>& work, opos::OposResult not_run) {
  opos::OposResult result = not_run;
  if (!device_->RunJob([&] { result = work(); })) return not_run;
  return result;
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

bool CCashChanger::DepositUnderWay() { return IsDepositUnderWayStatus(deposit_.Status()); }

// --- what a pay-out paid ------------------------------------------------------------

std::optional<CashCounts> CCashChanger::StockBeforePayout() {
  // The watch keeps the stock current; when a pay-out just marked it stale,
  // it is read now (within the pay-out's job).
  ChangerDevice& thread = *device_;
  // An earlier pay-out whose part paid is still to be told: the machine has
  // passed the check before this one, so it is at rest, and the stock read
  // now is what the earlier one left.
  const bool settle = unsettled_payout_.has_value();
  if (settle || thread.CountsStale() || !device_->CountsKnown()) {
    // (The KRT03's two-part read leaves the stale mark as it is, so only
    // the read's own result counts here.)
    bool taken = false;
    if (thread.ReadCountsNow(&taken) != kReplyOk || !taken) return std::nullopt;
  }
  if (settle && ReadStatusAtRest()) SettlePayout(unsettled_payout_->ticket, device_->CountsA());
  return device_->CountsA();
}

opos::OposResult CCashChanger::CheckBeforeDispenseFresh() {
  RefreshStaleStatus();
  return device_->CheckBeforeDispense();
}

void CCashChanger::RefreshStaleStatus() {
  // An operation that just ended (a deposit, a pay-out) leaves the kept
  // status outdated until the watch reads it again; checking against it
  // would refuse for a state the device has already left.
  if (device_->StatusStale()) device_->ReadStatusNow();
}

bool CCashChanger::ReadStatusAtRest() {
  bool taken = false;
  if (device_->ReadStatusNow(&taken) != kReplyOk || !taken) return false;
  return MachineAtRest(device_->KeptStatus());
}

opos::OposResult CCashChanger::CheckPayout(const PayoutCheck& check, const DeviceReply& reply, opos::OposResult result) {
  // ETB is a final answer of a pay-out that the device ended itself (for
  // example on a stop); every other accepted answer means it paid in full.
  const bool may_be_short = result != OPOS_SUCCESS || (reply.status == kReplyOk && reply.answerByte == kEtb);
  if (!may_be_short) return result;

  ChangerDevice& device = *device_;
  // What the counts show is the part paid only once the machine has
  // stopped: after a refused enquiry or a silence it may still be paying.
  // The status and the counts are read in one job (after an asynchronous
  // completion the watch runs again).
  bool read = false;
  device_->RunJob([&] {
    if (!ReadStatusAtRest()) return;
    bool taken = false;
    read = device.ReadCountsNow(&taken) == kReplyOk && taken;
  });
  const CashCounts after = device_->CountsA();
  // Whatever was read, the kept counts are not to be trusted until the
  // watch has read them again.
  device.SetCountsStale(true);
  device.SetStatusStale(true);
  // An accepted answer for a pay-out that fell short (or may have) is no
  // success.
  const opos::OposResult final_result = result == OPOS_SUCCESS ? OPOS_E_FAILURE : result;

  std::optional<CashCounts> paid;
  if (read && check.before) paid = cash::PaidBetween(*check.before, after);
  if (!paid) {
    ReportPaidOut(std::nullopt, final_result);
    // The definite figure follows once the machine is seen at rest.
    if (check.before) {
      unsettled_payout_ = UnsettledPayout{++payout_tickets_, check, final_result};
      device_->AwaitPayoutAtRest(unsettled_payout_->ticket);
    }
    return final_result;
  }
  if (result == OPOS_SUCCESS && PaidInFull(check, *paid)) return result;
  ReportPaidOut(paid, final_result);
  return final_result;
}

bool CCashChanger::PaidInFull(const PayoutCheck& check, const CashCounts& paid) {
  if (check.amount > 0) return cash::Amount(paid) == check.amount;
  for (size_t i = 0; i < paid.size(); ++i) {
    const int32_t wanted = check.pieces[i] == cash::kAllPieces ? (*check.before)[i] : check.pieces[i];
    if (paid[i] != wanted) return false;
  }
  return true;
}

void CCashChanger::ReportPaidOut(const std::optional<CashCounts>& paid, opos::OposResult result) {
  if (!paid) {
    trace_log_->Write(diag::kLevelError, diag::kTagError, "  PaidOut is unknown");
    Record(kPayoutRecordKind, 1, -1, result);
    QueueDirectIoEvent(kPayoutEndedEarlyEvent, -1, std::string());
    return;
  }
  const int64_t paid_amount = cash::Amount(*paid);
  const std::string text = cash::FormatPlain(*paid);
  trace_log_->Write(diag::kLevelError, diag::kTagError,
                    Format("  PaidOut is %s (%ld)", text.c_str(), static_cast<long>(paid_amount)));
  Record(kPayoutRecordKind, 1, static_cast<long>(paid_amount), result);
  {
    platform::MutexLock lock(last_payout_lock_);
    last_short_payout_ = text;
  }
  QueueDirectIoEvent(kPayoutEndedEarlyEvent, static_cast<int32_t>(paid_amount), text);
}

void CCashChanger::SettlePayout(uint32_t ticket, const CashCounts& after) {
  if (!unsettled_payout_ || unsettled_payout_->ticket != ticket) return;
  const UnsettledPayout unsettled = std::move(*unsettled_payout_);
  unsettled_payout_.reset();
  if (device_ && device_->AwaitedPayout() == ticket) device_->AwaitPayoutAtRest(0);
  const std::optional<CashCounts> paid = cash::PaidBetween(*unsettled.check.before, after);
  // Counts that grew meanwhile describe more than this pay-out: nothing
  // definite can be said, and the unknown figure stands.
  if (paid) ReportPaidOut(paid, unsettled.result);
}

void CCashChanger::OnPayoutAtRest(uintptr_t wparam) {
  std::unique_ptr<WindowPayload> payload(reinterpret_cast<WindowPayload*>(wparam));
  const auto* rest = std::get_if<PayoutAtRest>(payload.get());
  if (rest != nullptr) SettlePayout(rest->ticket, rest->counts);
}

std::string CCashChanger::last_short_payout() {
  platform::MutexLock lock(last_payout_lock_);
  return last_short_payout_;
}

opos::OposResult CCashChanger::RunPayout(const DeviceCommand& command, PayoutCheck check) {
  if (async_mode_ != 0) {
    const opos::OposResult queued = device_->ExecuteAsync(command);
    if (queued == OPOS_SUCCESS) {
      pending_payout_ = std::move(check);
    }
    return queued;
  }
  DeviceReply reply;
  const opos::OposResult result = device_->Execute(command, &reply);
  return CheckPayout(check, reply, result);
}

void CCashChanger::FinishPendingPayout(const DeviceReply& reply) {
  if (!pending_payout_ || !device_) return;
  PayoutCheck check = std::move(*pending_payout_);
  pending_payout_.reset();
  const opos::OposResult result = async_result_code_.load();
  const opos::OposResult checked = CheckPayout(check, reply, result);
  if (checked != result) async_result_code_.store(checked.code);
}

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
    if (async_mode_ != 0) {
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

  if (DepositUnderWay()) return OPOS_E_ILLEGAL;
  if (State() == OPOS_S_BUSY) return OPOS_E_BUSY;
  if (device_->Recovering()) return OPOS_E_NOHARDWARE;

  DispenseRecord record;
  if (!cash::ParseCashCounts(text, &record, false, false)) return OPOS_E_ILLEGAL;
  const CashCounts counts = record.Counts();
  const int32_t exit = switches_.current_exit.load();
  if (!cash::ExitAllowsCounts(exit, counts)) {
    return OposResult::Extended(kExtendedNotAtCurrentExit);
  }
  if (const opos::OposResult check = CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;
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
      check.before = StockBeforePayout();
      return RunPayout(command.command, std::move(check));
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
    check.before = StockBeforePayout();
    opos::OposResult result = SendPayoutExitSetting(exit);
    if (result == OPOS_SUCCESS) result = RunPayout(table.command, std::move(check));
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
  const int32_t conversion = std::exchange(binary_conversion_, 0);
  const int32_t result = DirectIO(IsKrt07Family(claimed_model_) ? 28 : 4, &mode, &counts);
  binary_conversion_ = conversion;
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
  if (DepositUnderWay()) return OPOS_E_ILLEGAL;
  if (device_->Recovering()) return OPOS_E_NOHARDWARE;
  if (amount < 1 || amount > 999999) return OPOS_E_ILLEGAL;
  // The KRT03 pays every amount with its change command, whose five digits
  // stop at 99 999 yen: more is refused, never cut to what the field holds.
  if (claimed_model_ == ModelCode::kKrt03 && amount > ChangeAmountLimit(ModelCode::kKrt03)) return OPOS_E_ILLEGAL;
  if (!cash::ExitAllowsAmount(switches_.current_exit.load(), amount)) {
    return OposResult::Extended(kExtendedNotAtCurrentExit);
  }
  if (const opos::OposResult check = CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;

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
    check.before = StockBeforePayout();
    return RunPayout(command.command, std::move(check));
  });
  if (result == OPOS_SUCCESS) device_->SetLastChangeAmount(amount);
  return result;
}

}  // namespace vexokrt::service
