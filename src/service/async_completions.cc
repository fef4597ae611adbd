// SPDX-License-Identifier: Apache-2.0
#include "service/async_completions.h"

#include <variant>

#include "devlog/changer_device_logs.h"
#include "service/opos.h"
#include "service/window_messages.h"

namespace vexokrt::service {

using namespace opos;

void AsyncCompletions::Install(platform::MessageWindow& window) {
  const WindowMessages& m = RegisteredMessages();
  const auto handle = [&window, this](platform::MessageId id, void (AsyncCompletions::*handler)(uintptr_t)) {
    window.SetHandler(id, [this, handler](uintptr_t wparam, intptr_t) {
      (this->*handler)(wparam);
      return intptr_t{0};
    });
  };
  handle(m.async_method_call_complete, &AsyncCompletions::OnAsyncComplete);
  handle(m.take_back_complete, &AsyncCompletions::OnTakeBackComplete);
  handle(m.output_log_complete, &AsyncCompletions::OnOutputLogComplete);
  handle(m.async_stop_outcome, &AsyncCompletions::OnAsyncStopOutcome);
  handle(m.payout_at_rest, &AsyncCompletions::OnPayoutAtRest);
}

void AsyncCompletions::SetFromReply(const DeviceReply& reply, bool take_back) {
  int32_t result = OPOS_E_FAILURE;
  int32_t extended = -1;  // -1: AsyncResultCodeExtended stays
  if (reply.status == kReplyTimeout) {
    result = OPOS_E_NOHARDWARE;
  } else if (reply.status != kReplyOk) {
    result = OPOS_E_FAILURE;
  } else if (reply.cancelled != 0) {
    // The device stopped the operation: its error number, when it gave one.
    if (reply.cancelDetail != 0) {
      result = OPOS_E_EXTENDED;
      extended = reply.cancelDetail;
    }
  } else if (reply.errorFlag != 0) {
    result = OPOS_E_EXTENDED;
    extended = reply.errorCode;
  } else {
    const bool krt02 = model_ == ModelCode::kKrt02;
    switch (reply.answerByte) {
      case kAck:
      case kLf:
      case kEtb:
        result = OPOS_SUCCESS;
        break;
      case kDc4:
        // A take-back is not done with DC4 on any model.
        result = take_back ? OPOS_E_FAILURE : OPOS_SUCCESS;
        break;
      case kDc1:
        result = krt02 || take_back ? OPOS_E_FAILURE : OPOS_SUCCESS;
        break;
      case kDc3:
        result = krt02 ? OPOS_E_FAILURE : OPOS_SUCCESS;
        break;
      case kEm:
        if (!take_back) {
          result = OPOS_E_EXTENDED;
          extended = kExtendedNotPossibleNow;
        }
        break;
      default:
        break;
    }
  }
  result_code_.store(result);
  if (extended >= 0) result_code_extended_.store(extended);
}

void AsyncCompletions::OnAsyncComplete(uintptr_t wparam) {
  std::unique_ptr<WindowPayload> payload(reinterpret_cast<WindowPayload*>(wparam));
  const auto* completion = std::get_if<AsyncCompletion>(payload.get());
  exam_.Write(8, 4, 0, 0);
  if (completion == nullptr) return;
  if (completion->parameter == kNotifyParameter && logs_) {
    // One job of the device layer (RetrieveTradingLog).
    logs_->RetrieveTradingLog(0);
  }
  SetFromReply(completion->reply, false);
  FinishPendingPayout(completion->reply);
  events_.QueueStatusUpdate(CHAN_STATUS_ASYNC);
}

void AsyncCompletions::FinishPendingPayout(const DeviceReply& reply) {
  if (!payouts_) return;
  const opos::OposResult result = result_code_.load();
  const opos::OposResult checked = payouts_->Completed(reply, result);
  if (checked != result) result_code_.store(checked.code);
}

void AsyncCompletions::OnPayoutAtRest(uintptr_t wparam) {
  std::unique_ptr<WindowPayload> payload(reinterpret_cast<WindowPayload*>(wparam));
  const auto* rest = std::get_if<PayoutAtRest>(payload.get());
  if (rest != nullptr && payouts_) payouts_->Settle(rest->ticket, rest->counts);
}

void AsyncCompletions::OnTakeBackComplete(uintptr_t wparam) {
  std::unique_ptr<WindowPayload> payload(reinterpret_cast<WindowPayload*>(wparam));
  const auto* completion = std::get_if<TakeBackCompletion>(payload.get());
  if (completion == nullptr) return;
  // The counts text that comes with it is not used.
  SetFromReply(completion->reply, true);
  FinishPendingPayout(completion->reply);
  events_.QueueStatusUpdate(CHAN_STATUS_ASYNC);
}

void AsyncCompletions::OnOutputLogComplete(uintptr_t wparam) {
  std::unique_ptr<WindowPayload> payload(reinterpret_cast<WindowPayload*>(wparam));
  const auto* completion = std::get_if<LogOutputCompletion>(payload.get());
  if (completion == nullptr) return;
  result_code_.store(completion->result.code);
  if (completion->result.code == OPOS_E_EXTENDED) result_code_extended_.store(completion->result.extended);
  events_.QueueStatusUpdate(CHAN_STATUS_ASYNC);
}

void AsyncCompletions::OnAsyncStopOutcome(uintptr_t wparam) {
  std::unique_ptr<WindowPayload> payload(reinterpret_cast<WindowPayload*>(wparam));
  const auto* outcome = std::get_if<AsyncStopOutcome>(payload.get());
  if (outcome == nullptr) return;
  result_code_.store(outcome->result);
  if (outcome->extended) result_code_extended_.store(*outcome->extended);
  if (outcome->status_update) events_.QueueStatusUpdate(CHAN_STATUS_ASYNC);
}

}  // namespace vexokrt::service
