// SPDX-License-Identifier: Apache-2.0
#include "service/payout_service.h"

#include <utility>

#include "cash/cash_rules.h"
#include "device/changer_device.h"
#include "device/status_record.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {

using namespace opos;

PayoutService::PayoutService(ChangerDevice& device, ChangerHost& events, diag::TraceLog& trace, diag::ExamLog& exam)
    : device_(device), events_(events), trace_(trace), exam_(exam) {}

void PayoutService::RefreshStaleStatus() {
  // An operation that just ended (a deposit, a pay-out) leaves the kept
  // status outdated until the watch reads it again; checking against it
  // would refuse for a state the device has already left.
  if (device_.StatusStale()) device_.ReadStatusNow();
}

OposResult PayoutService::CheckBeforeDispenseFresh() {
  RefreshStaleStatus();
  return device_.CheckBeforeDispense();
}

std::optional<CashCounts> PayoutService::StockBeforePayout() {
  // The watch keeps the stock current; when a pay-out just marked it stale,
  // it is read now (within the pay-out's job).
  // An earlier pay-out whose part paid is still to be told: the machine has
  // passed the check before this one, so it is at rest, and the stock read
  // now is what the earlier one left.
  const bool settle = unsettled_.has_value();
  if (settle || device_.CountsStale() || !device_.CountsKnown()) {
    // (The KRT03's two-part read leaves the stale mark as it is, so only
    // the read's own result counts here.)
    bool taken = false;
    if (device_.ReadCountsNow(&taken) != kReplyOk || !taken) return std::nullopt;
  }
  if (settle && ReadStatusAtRest()) Settle(unsettled_->ticket, device_.CountsA());
  return device_.CountsA();
}

bool PayoutService::ReadStatusAtRest() {
  bool taken = false;
  if (device_.ReadStatusNow(&taken) != kReplyOk || !taken) return false;
  return MachineAtRest(device_.KeptStatus());
}

OposResult PayoutService::Check(const PayoutCheck& check, const DeviceReply& reply, OposResult result) {
  // ETB is a final answer of a pay-out that the device ended itself (for
  // example on a stop); every other accepted answer means it paid in full.
  const bool may_be_short = result != OPOS_SUCCESS || (reply.status == kReplyOk && reply.answerByte == kEtb);
  if (!may_be_short) return result;

  // What the counts show is the part paid only once the machine has
  // stopped: after a refused enquiry or a silence it may still be paying.
  // The status and the counts are read in one job (after an asynchronous
  // completion the watch runs again).
  bool read = false;
  device_.RunJob([&] {
    if (!ReadStatusAtRest()) return;
    bool taken = false;
    read = device_.ReadCountsNow(&taken) == kReplyOk && taken;
  });
  const CashCounts after = device_.CountsA();
  // Whatever was read, the kept counts are not to be trusted until the
  // watch has read them again.
  device_.SetCountsStale(true);
  device_.SetStatusStale(true);
  // An accepted answer for a pay-out that fell short (or may have) is no
  // success.
  const OposResult final_result = result == OPOS_SUCCESS ? OPOS_E_FAILURE : result;

  std::optional<CashCounts> paid;
  if (read && check.before) paid = cash::PaidBetween(*check.before, after);
  if (!paid) {
    ReportPaidOut(std::nullopt, final_result);
    // The definite figure follows once the machine is seen at rest.
    if (check.before) {
      unsettled_ = Unsettled{++tickets_, check, final_result};
      device_.AwaitPayoutAtRest(unsettled_->ticket);
    }
    return final_result;
  }
  if (result == OPOS_SUCCESS && PaidInFull(check, *paid)) return result;
  ReportPaidOut(paid, final_result);
  return final_result;
}

bool PayoutService::PaidInFull(const PayoutCheck& check, const CashCounts& paid) {
  if (check.amount > 0) return cash::Amount(paid) == check.amount;
  for (size_t i = 0; i < paid.size(); ++i) {
    const int32_t wanted = check.pieces[i] == cash::kAllPieces ? (*check.before)[i] : check.pieces[i];
    if (paid[i] != wanted) return false;
  }
  return true;
}

void PayoutService::ReportPaidOut(const std::optional<CashCounts>& paid, OposResult result) {
  if (!paid) {
    trace_.Write(diag::kLevelError, diag::kTagError, "  PaidOut is unknown");
    exam_.Write(kPayoutRecordKind, 1, -1, result.code);
    events_.QueueDirectIoEvent(kPayoutEndedEarlyEvent, -1, std::string());
    return;
  }
  const int64_t paid_amount = cash::Amount(*paid);
  const std::string text = cash::FormatPlain(*paid);
  trace_.Write(diag::kLevelError, diag::kTagError,
               Format("  PaidOut is %s (%ld)", text.c_str(), static_cast<long>(paid_amount)));
  exam_.Write(kPayoutRecordKind, 1, static_cast<long>(paid_amount), result.code);
  {
    platform::MutexLock lock(last_lock_);
    last_short_payout_ = text;
  }
  events_.QueueDirectIoEvent(kPayoutEndedEarlyEvent, static_cast<int32_t>(paid_amount), text);
}

void PayoutService::Settle(uint32_t ticket, const CashCounts& after) {
  if (!unsettled_ || unsettled_->ticket != ticket) return;
  const Unsettled unsettled = std::move(*unsettled_);
  unsettled_.reset();
  if (device_.AwaitedPayout() == ticket) device_.AwaitPayoutAtRest(0);
  const std::optional<CashCounts> paid = cash::PaidBetween(*unsettled.check.before, after);
  // Counts that grew meanwhile describe more than this pay-out: nothing
  // definite can be said, and the unknown figure stands.
  if (paid) ReportPaidOut(paid, unsettled.result);
}

std::string PayoutService::last_short_payout() {
  platform::MutexLock lock(last_lock_);
  return last_short_payout_;
}

OposResult PayoutService::Run(const DeviceCommand& command, PayoutCheck check, bool queued) {
  if (queued) {
    const OposResult result = device_.ExecuteAsync(command);
    if (result == OPOS_SUCCESS) pending_ = std::move(check);
    return result;
  }
  DeviceReply reply;
  const OposResult result = device_.Execute(command, &reply);
  return Check(check, reply, result);
}

OposResult PayoutService::Completed(const DeviceReply& reply, OposResult result) {
  if (!pending_) return result;
  const PayoutCheck check = std::move(*pending_);
  pending_.reset();
  return Check(check, reply, result);
}

}  // namespace vexokrt::service
