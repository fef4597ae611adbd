// SPDX-License-Identifier: Apache-2.0
// AsyncCompletions: the ends of the service object's asynchronous work, as
// the hidden window brings them to the application's thread. A queued
// command's answer (with its trading-log read when it asked for one), a
// KRT02 take-back's answer, a device-log file's result and the outcome of a
// stop each set AsyncResultCode, and AsyncResultCodeExtended when they carry
// one, and queue the status update CHAN_STATUS_ASYNC. These handlers and
// the release's reset are the only writers of the two values. A queued
// pay-out's answer is checked by the PayoutService before it is reported,
// and the machine seen at rest after a pay-out settles it there.
//
// One lives as long as the service object; it reaches the pay-outs and the
// device logs of the current open, which are null while closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "device/changer_host.h"
#include "diag/exam_log.h"
#include "events/event_delivery.h"
#include "link/model_code.h"
#include "platform/message_window.h"
#include "service/payout_service.h"

namespace vexokrt::devlog {
class ChangerDeviceLogs;
}  // namespace vexokrt::devlog

namespace vexokrt::service {

class AsyncCompletions {
 public:
  // |model| is the claimed model; |payouts| and |logs| the open's, read at
  // each completion. Everything must outlive this.
  AsyncCompletions(diag::ExamLog& exam, events::EventDelivery& events, const ModelCode& model,
                   const std::unique_ptr<PayoutService>& payouts,
                   const std::unique_ptr<devlog::ChangerDeviceLogs>& logs)
      : exam_(exam), events_(events), model_(model), payouts_(payouts), logs_(logs) {}
  AsyncCompletions(const AsyncCompletions&) = delete;
  AsyncCompletions& operator=(const AsyncCompletions&) = delete;

  // Sets the handlers of the completion messages on |window|.
  void Install(platform::MessageWindow& window);

  // AsyncResultCode and AsyncResultCodeExtended. Any thread.
  int32_t result_code() const { return result_code_.load(); }
  int32_t result_code_extended() const { return result_code_extended_.load(); }
  // Both 0 again (a release).
  void Reset() {
    result_code_.store(0);
    result_code_extended_.store(0);
  }

 private:
  void OnAsyncComplete(uintptr_t wparam);
  void OnTakeBackComplete(uintptr_t wparam);
  void OnOutputLogComplete(uintptr_t wparam);
  void OnAsyncStopOutcome(uintptr_t wparam);
  void OnPayoutAtRest(uintptr_t wparam);
  // The results by the answer |reply| (of a take-back when |take_back|).
  void SetFromReply(const DeviceReply& reply, bool take_back);
  // The check of a queued pay-out, when its completion arrives.
  void FinishPendingPayout(const DeviceReply& reply);

  diag::ExamLog& exam_;
  events::EventDelivery& events_;
  const ModelCode& model_;
  const std::unique_ptr<PayoutService>& payouts_;
  const std::unique_ptr<devlog::ChangerDeviceLogs>& logs_;
  std::atomic<int32_t> result_code_{0};
  std::atomic<int32_t> result_code_extended_{0};
};

}  // namespace vexokrt::service
