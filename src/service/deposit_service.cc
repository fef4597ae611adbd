// SPDX-License-Identifier: Apache-2.0
#include "service/deposit_service.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "cash/cash_rules.h"
#include "device/changer_device.h"
#include "device/status_record.h"
#include "service/device_job.h"
#include "service/opos.h"
#include "service/payout_service.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

// ResultCodeExtended when cash is still being handled after the wait.
constexpr int32_t kExtendedCashBeingHandled = 233;

// A request that could not be queued ends the deposit as a cancel does.
bool Cancelled(const DeviceReply& reply) {
  return (reply.status == kReplyOk && (reply.answerByte == kCan || reply.cancelled != 0)) ||
         reply.status == kReplyNotQueued;
}

}  // namespace

DepositService::DepositService(ChangerDevice& device, DepositSession& deposit, PayoutService& payouts,
                               events::EventDelivery& events, ChangerHost& host, const config::DeviceConfig& config,
                               const ModelCode& model, diag::TraceLog& trace, diag::ExamLog& exam)
    : device_(device),
      deposit_(deposit),
      payouts_(payouts),
      events_(events),
      host_(host),
      config_(config),
      model_(model),
      trace_(trace),
      exam_(exam) {}

void DepositService::TakeKeptCounts(bool report) {
  const DispenseRecord record = device_.DepositCounts();
  deposit_.SetCounts(record.Counts());
  if (report && device_.DepositCountsChanged()) {
    host_.QueueDataEvent(record);
    device_.ClearDepositCountsChanged();
  }
}

// --- BeginDeposit ----------------------------------------------------------------

opos::OposResult DepositService::Begin() {
  if (model_ == ModelCode::kUnknown) return OPOS_E_ILLEGAL;
  if (deposit_.UnderWay()) return OPOS_E_ILLEGAL;
  if (device_.Recovering()) return OPOS_E_NOHARDWARE;
  payouts_.RefreshStaleStatus();
  if (const opos::OposResult check = device_.CheckBeforeDeposit(); check != OPOS_SUCCESS) return check;
  if (deposit_.FixedWithoutDeposit()) return OPOS_E_ILLEGAL;

  // One operation; the deposit keeps its history wait once it is open.
  return device_.RunOperation([&](HistoryPause& history) -> opos::OposResult {
    const bool krt03 = model_ == ModelCode::kKrt03;
    if (krt03) {
      opos::OposResult cleared = OPOS_SUCCESS;
      cleared = RunDeviceJob(device_, [&] { return device_.Execute(ClearDepositCounterCommand()); });
      if (cleared != OPOS_SUCCESS) {
        deposit_.SetActiveMark(1);
        return cleared;
      }
      device_.ClearDepositCounts();
    }

    const opos::OposResult result = RunDeviceJob(device_, [&] {
      if (krt03) return device_.Execute(IntakeStartCommand(deposit_.ActiveMark() == 1));
      device_.SetDepositPhase(config_.deposit_evt_set == 1 ? 2 : 3);
      const BuiltCommand open = DepositModeCommand(1, 1, deposit_.Option() == 0 ? 1 : 0);
      return device_.Execute(open.command);
    });
    if (result != OPOS_SUCCESS) {
      deposit_.SetActiveMark(1);
      EndDevicePhase(device_);
      return result;
    }

    device_.RunJob([&] { device_.ClearDepositCountsChanged(); });
    // The history fetch stays paused until the deposit ends.
    deposit_.KeepHistoryPause(std::move(history));
    deposit_.SetRepay(std::nullopt);
    // DepositFixed goes first: the watch treats an unfixed open deposit as
    // one whose intake it may restart.
    deposit_.SetFixed(false);
    deposit_.SetStatus(CHAN_STATUS_DEPOSIT_START);
    deposit_.ClearCounts();
    device_.ClearDepositCounts();
    device_.ResetDepositMarks();
    return OPOS_SUCCESS;
  });
}

// --- PauseDeposit ----------------------------------------------------------------

opos::OposResult DepositService::Pause(int32_t control) {
  if (model_ == ModelCode::kUnknown) return OPOS_E_ILLEGAL;
  if (config_.pause_deposit_set != 1 || deposit_.Fixed()) return OPOS_E_ILLEGAL;
  if (control != CHAN_DEPOSIT_PAUSE && control != CHAN_DEPOSIT_RESTART) return OPOS_E_ILLEGAL;
  if (!deposit_.UnderWay()) return OPOS_E_ILLEGAL;

  const int32_t c = deposit_.Option() == 0 ? 1 : 0;
  if (control == CHAN_DEPOSIT_PAUSE) {
    if (deposit_.Paused()) return OPOS_E_ILLEGAL;
    opos::OposResult stop = OPOS_SUCCESS;
    stop = RunDeviceJob(device_, [&] { return device_.Execute(DepositModeCommand(1, 1, c).command); });
    if (stop != OPOS_SUCCESS) return stop;
    device_.RunJob([&] { device_.ReadyWait(); });
    deposit_.SetPaused(true);
    // The intake is stopped whatever the read gives: a failed read leaves the
    // last counts in DepositCounts and says so in the trace.
    if (device_.ReadDepositCounts() == OPOS_SUCCESS) {
      TakeKeptCounts(false);
    } else {
      trace_.Write(diag::kLevelError, diag::kTagError, "  DepositCounts not read");
    }
    return OPOS_SUCCESS;
  }
  if (!deposit_.Paused()) return OPOS_E_ILLEGAL;
  opos::OposResult restart = OPOS_SUCCESS;
  restart = RunDeviceJob(device_, [&] { return device_.Execute(DepositModeCommand(1, 0, c).command); });
  if (restart != OPOS_SUCCESS) return restart;
  deposit_.SetPaused(false);
  return OPOS_SUCCESS;
}

// --- FixDeposit ------------------------------------------------------------------------

opos::OposResult DepositService::Fix() {
  if (!deposit_.UnderWay()) {
    if (config_.fix_deposit_rcv != 1) return OPOS_E_ILLEGAL;
    deposit_.SetPaused(true);
    deposit_.SetFixedWithoutDeposit(true);
  }
  const bool pause_set = config_.pause_deposit_set == 1;
  if (pause_set && !deposit_.Paused()) return OPOS_E_ILLEGAL;
  if (device_.Recovering()) return OPOS_E_NOHARDWARE;
  if (pause_set) deposit_.SetPaused(false);

  const bool closing = !deposit_.Fixed();
  // Closing the intake and reading what it took are one job.
  return RunDeviceJob(device_, [&] { return FixOnLine(closing, pause_set); });
}

opos::OposResult DepositService::FixOnLine(bool closing, bool pause_set) {
  if (closing) {
    const opos::OposResult closed = CloseIntake();
    if (closed != OPOS_SUCCESS) return closed;
  }
  opos::OposResult read = OPOS_SUCCESS;
  if (model_ == ModelCode::kKrt03) {
    read = device_.ReadShortDepositCounts();
  } else {
    device_.SetDepositPhase(1);
    read = device_.ReadDepositCounts();
  }
  if (read != OPOS_SUCCESS) {
    // A machine that did not tell what it counted (no answer, a refusal, a
    // wrong answer; and one that answers nothing may never have heard that
    // its intake is to close) has no fixed amount. The deposit stays as it
    // was, so FixDeposit can be called again once the machine answers, and
    // EndDeposit refuses it meanwhile: nothing is repaid or kept as if the
    // deposit were empty.
    if (closing) deposit_.SetFixed(false);
    if (pause_set) deposit_.SetPaused(true);
    return read;
  }
  TakeKeptCounts(false);
  deposit_.SetStatus(CHAN_STATUS_DEPOSIT_START);
  if (device_.CountingTookPlace() || config_.deposit_evt_set == 1) TakeKeptCounts(true);
  return OPOS_SUCCESS;
}

opos::OposResult DepositService::CloseIntake() {
  if (model_ == ModelCode::kKrt03) {
    const opos::OposResult stop = device_.RunOperation(
        [&] { return device_.Execute(IntakeStopCommand(deposit_.ActiveMark() == 1)); });
    if (stop != OPOS_SUCCESS && stop != OPOS_E_NOHARDWARE) return stop;
    events_.DropDataEvents();
    deposit_.SetFixed(true);
    return OPOS_SUCCESS;
  }
  // The history fetch stays paused until the deposit ends, whatever comes.
  device_.RunOperation([&](HistoryPause& history) {
    deposit_.KeepHistoryPause(std::move(history));
    return opos::OposResult(OPOS_SUCCESS);
  });
  if (config_.pause_deposit_set != 1) {
    // Its answer is not judged: the wait for the end of counting that
    // follows tells whether the unit has stopped.
    device_.Execute(DepositModeCommand(1, 1, deposit_.Option() == 0 ? 1 : 0).command);
    device_.ReadyWait();
  }
  if (device_.CashBeingHandledKept()) {
    const int32_t cleared = device_.WaitForClear(config_.fix_deposit_timeout);
    if (cleared != OPOS_SUCCESS) return cleared;
    if (device_.CashBeingHandledKept()) {
      return OposResult::Extended(kExtendedCashBeingHandled);
    }
  }
  deposit_.SetFixed(true);
  return OPOS_SUCCESS;
}

// --- EndDeposit ------------------------------------------------------------------------

opos::OposResult DepositService::End(int32_t success) {
  if (model_ == ModelCode::kUnknown) return OPOS_E_ILLEGAL;
  if (success < CHAN_DEPOSIT_CHANGE || success > CHAN_DEPOSIT_REPAY) return OPOS_E_ILLEGAL;

  if (!deposit_.UnderWay()) {
    if (!deposit_.FixedWithoutDeposit()) return OPOS_E_ILLEGAL;
    device_.RunOperation([&](HistoryPause& history) {
      // Between two watch steps, as every change of the deposit's state.
      device_.RunJob([&] {
        deposit_.SetStatus(CHAN_STATUS_DEPOSIT_END);
        EndDevicePhase(device_);
        deposit_.DropHistoryPause();
        history.End();
      });
      return opos::OposResult(OPOS_SUCCESS);
    });
    deposit_.SetFixedWithoutDeposit(false);
    return OPOS_SUCCESS;
  }
  if (!deposit_.Fixed()) return OPOS_E_ILLEGAL;
  deposit_.SetActiveMark(1);

  if (model_ == ModelCode::kKrt03) {
    // The deposit ends only once a repay has handed the cash back: a repay
    // that fails leaves it open, so it can be tried again or kept.
    if (success == CHAN_DEPOSIT_REPAY) {
      DispenseRecord record;
      const std::string counts_text = deposit_.CountsText();
      if (!cash::ParseCashCounts(counts_text, &record, false, false)) return OPOS_E_ILLEGAL;
      const CashCounts counts = record.Counts();
      if (!cash::WithinCoinLimits(counts, config_.dispense_limit, config_.dispense_limit_500)) return OPOS_E_ILLEGAL;
      const opos::OposResult paid = device_.RunOperation([&](HistoryPause& repay_history) {
        const opos::OposResult repaid = RepayKrt03(counts);
        if (repaid == OPOS_SUCCESS) deposit_.KeepHistoryPause(std::move(repay_history));
        return repaid;
      });
      if (paid != OPOS_SUCCESS) return paid;
    }
    deposit_.SetStatus(CHAN_STATUS_DEPOSIT_END);
    deposit_.SetRepay(std::nullopt);
    const opos::OposResult stop = device_.RunOperation([&](HistoryPause& history) {
      const opos::OposResult stopped =
          RunDeviceJob(device_, [&] { return device_.Execute(IntakeStopCommand(true)); });
      deposit_.DropHistoryPause();
      history.End();
      return stopped;
    });
    deposit_.SetFixedWithoutDeposit(false);
    return stop;
  }

  return device_.RunOperation(
      [&](HistoryPause& history) { return RunDeviceJob(device_, [&] { return EndOnLine(success, history); }); });
}

opos::OposResult DepositService::EndOnLine(int32_t success, HistoryPause& history) {
  device_.SetDepositPhase(1);
  const int32_t a = success == CHAN_DEPOSIT_CHANGE ? 0 : success == CHAN_DEPOSIT_REPAY ? 1 : 2;
  const BuiltCommand end = EndDepositCommand(a, config_.end_deposit_timeout);
  DeviceReply reply;
  opos::OposResult result = device_.Execute(end.command, &reply);
  if (result == OPOS_SUCCESS && success == CHAN_DEPOSIT_REPAY && deposit_.Option() == 1) {
    DispenseRecord record;
    const std::string counts_text = deposit_.CountsText();
    if (cash::ParseCashCounts(counts_text, &record, false, false)) {
      CashCounts coins = record.Counts();
      for (int i = 0; i < cash::kFirstCoin; ++i) coins[i] = 0;
      const BuiltCommand back = DepositTableCommand(coins, 0, config_.take_back_timeout);
      result = back.ok() ? device_.Execute(back.command) : back.result;
    }
  }
  if (result != OPOS_SUCCESS) {
    if (Cancelled(reply) && config_.end_deposit_sts != 1) {
      deposit_.SetStatus(CHAN_STATUS_DEPOSIT_END);
      events_.DropDataEvents();
      EndDevicePhase(device_);
      deposit_.DropHistoryPause();
      history.End();
    } else {
      // The deposit stays open, and the history fetch paused until a later
      // EndDeposit ends it.
      deposit_.KeepHistoryPause(std::move(history));
    }
    return result;
  }
  deposit_.SetStatus(CHAN_STATUS_DEPOSIT_END);
  events_.DropDataEvents();
  EndDevicePhase(device_);
  deposit_.DropHistoryPause();
  history.End();
  // A FixDeposit accepted without a deposit is settled by this end too, so
  // the next BeginDeposit is not refused for it.
  deposit_.SetFixedWithoutDeposit(false);
  return OPOS_SUCCESS;
}

opos::OposResult DepositService::RepayKrt03(const CashCounts& deposit) {
  // The repay reads the machine around its command: one job, nothing comes
  // between.
  return RunDeviceJob(device_, [&] { return RepayKrt03OnLine(deposit); });
}

opos::OposResult DepositService::RepayKrt03OnLine(const CashCounts& deposit) {
  // What the machine holds now. A repay that failed part-way has handed
  // some of the deposit back already: only what is still owed goes out, so
  // no piece is handed back twice. A machine that may still be paying, or
  // whose stock cannot be read, is not asked to pay anything.
  bool taken = false;
  const ReceiveStatus status = device_.ReadStatusNow(&taken);
  if (status != kReplyOk || !taken) return status == kReplyTimeout ? OPOS_E_NOHARDWARE : OPOS_E_FAILURE;
  if (!MachineAtRest(device_.KeptStatus())) {
    return OposResult::Extended(kExtendedNotPossibleNow);
  }
  const ReceiveStatus read = device_.ReadCountsNow(&taken);
  if (read != kReplyOk || !taken) return read == kReplyTimeout ? OPOS_E_NOHARDWARE : OPOS_E_FAILURE;
  const CashCounts stock = device_.CountsA();
  CashCounts owed = deposit;
  if (const std::optional<DepositSession::Repay> repay = deposit_.RepayUnderWay()) {
    for (size_t i = 0; i < owed.size(); ++i) {
      const int32_t handed_back = std::max(0, repay->stock_before[i] - stock[i]);
      owed[i] = std::max(0, repay->deposit[i] - handed_back);
    }
  } else {
    deposit_.SetRepay(DepositSession::Repay{deposit, stock});
  }
  if (std::all_of(owed.begin(), owed.end(), [](int32_t n) { return n == 0; })) {
    deposit_.SetRepay(std::nullopt);
    return OPOS_SUCCESS;
  }
  const BuiltCommand repay = DispenseCommand(model_, owed, config_.dispense_cash_timeout);
  if (!repay.ok()) return repay.result;
  PayoutCheck check;
  check.pieces = owed;
  check.before = stock;
  DeviceReply reply;
  const opos::OposResult sent = device_.Execute(repay.command, &reply);
  const opos::OposResult result = payouts_.Check(check, reply, sent);
  if (result == OPOS_SUCCESS) deposit_.SetRepay(std::nullopt);
  return result;
}

// --- a deposit the application did not end -------------------------------------------

void DepositService::RecordLeftOpen(long at, opos::OposResult read) {
  if (read != OPOS_SUCCESS) {
    trace_.Write(diag::kLevelError, diag::kTagError, "  DepositLeftOpen is unknown");
    exam_.Write(kLeftOpenDepositRecordKind, at, -1, read.code);
    return;
  }
  const CashCounts counts = device_.DepositCounts().Counts();
  const std::string text = cash::FormatPlain(counts);
  const auto amount = static_cast<long>(cash::Amount(counts));
  trace_.Write(diag::kLevelError, diag::kTagError, Format("  DepositLeftOpen is %s (%ld)", text.c_str(), amount));
  exam_.Write(kLeftOpenDepositRecordKind, at, amount, read.code);
}

void DepositService::CloseForRelease() {
  if (model_ == ModelCode::kUnknown || !deposit_.UnderWay()) return;
  // Nothing more is taken in while no application listens; the next claim
  // finds the deposit and settles it. Closing and reading are one job.
  device_.RunJob([&] { CloseOnLine(); });
}

void DepositService::CloseOnLine() {
  opos::OposResult closed = OPOS_SUCCESS;
  opos::OposResult read = OPOS_SUCCESS;
  if (model_ == ModelCode::kKrt03) {
    // The KRT03's intake stop ends its deposit; the counter keeps the counts
    // until the next deposit clears it. A fixed deposit is stopped already.
    if (!deposit_.Fixed()) closed = device_.Execute(IntakeStopCommand(deposit_.ActiveMark() == 1));
    if (closed != OPOS_E_NOHARDWARE) read = device_.ReadShortDepositCounts();
  } else {
    if (!deposit_.Fixed() && !deposit_.Paused()) {
      closed = device_.Execute(DepositModeCommand(1, 1, deposit_.Option() == 0 ? 1 : 0).command);
      // The cash still being counted is counted in before the read.
      if (closed != OPOS_E_NOHARDWARE && IsKrt07Family(model_)) {
        device_.ReadyWait(nullptr, config_.end_deposit_timeout);
      }
    }
    if (closed != OPOS_E_NOHARDWARE) read = device_.ReadDepositCounts();
  }
  // A silent machine is not asked for more: what it holds is unknown.
  RecordLeftOpen(kLeftOpenAtRelease, closed == OPOS_E_NOHARDWARE ? closed : read);
}

}  // namespace vexokrt::service
