// SPDX-License-Identifier: Apache-2.0
// PayoutService: what a pay-out paid. Every pay-out of the service object
// (DispenseCash, DispenseChange, a KRT03 repay, DirectIO 9 and 28) goes
// through it: the fresh status check before it, the stock before it, the
// command (waited, or queued in AsyncMode), and the check afterwards of a
// pay-out that the device ended before it had paid everything (stopped,
// jammed, cassette out, refused part-way). Such a pay-out is never reported
// as a success: its counts are re-read, the part that was paid goes to the
// trace ("  PaidOut is ..."), to the ExamLog (kind 10, code 1, the yen paid,
// the result) and to the application as the direct I/O event
// kPayoutEndedEarlyEvent (pData the yen paid, pString the pieces as a
// cash-count text; pData -1 and an empty text when the part cannot be told,
// told again once the machine is seen at rest).
//
// One exists for each device layer, from OpenService to Close. Application's
// thread, except last_short_payout (any thread).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cash/cash_counts.h"
#include "device/changer_host.h"
#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "link/comm_thread.h"
#include "opos/opos.h"
#include "platform/thread_annotations.h"

namespace vexokrt {
class ChangerDevice;
}  // namespace vexokrt

namespace vexokrt::service {

// The direct I/O event that reports a pay-out that ended early.
inline constexpr int32_t kPayoutEndedEarlyEvent = 20;
// The ExamLog kind of the record of a pay-out that ended early.
inline constexpr long kPayoutRecordKind = 10;

// What a pay-out asked for, to tell afterwards whether it paid in full:
// the pieces (kAllPieces: all of that stock) or the amount in yen, and the
// stock before it (nothing when it could not be read).
struct PayoutCheck {
  CashCounts pieces{};
  int64_t amount = 0;
  std::optional<CashCounts> before;
};

class PayoutService {
 public:
  // |events| takes the direct I/O events; everything must outlive this.
  PayoutService(ChangerDevice& device, ChangerHost& events, diag::TraceLog& trace, diag::ExamLog& exam);
  PayoutService(const PayoutService&) = delete;
  PayoutService& operator=(const PayoutService&) = delete;

  // Reads the status first when the kept one is marked stale.
  void RefreshStaleStatus();
  // The check before a pay-out, against a fresh status.
  opos::OposResult CheckBeforeDispenseFresh();
  // The stock before a pay-out (read now when stale); nothing when it cannot
  // be read. Settles an earlier pay-out whose part paid is still to be told.
  std::optional<CashCounts> StockBeforePayout();
  // Sends a pay-out command, waited or (|queued|) queued; a waited one is
  // checked at once, a queued one when its completion arrives (Completed).
  opos::OposResult Run(const DeviceCommand& command, PayoutCheck check, bool queued);
  // The check of a pay-out that may have ended early: the result to report.
  opos::OposResult Check(const PayoutCheck& check, const DeviceReply& reply, opos::OposResult result);
  // The completion of a queued pay-out with its result |result|: the
  // result to report (|result| when none was queued).
  opos::OposResult Completed(const DeviceReply& reply, opos::OposResult result);
  // The machine was seen at rest after the unsettled pay-out |ticket|,
  // with the stock |after|: its definite part paid is told.
  void Settle(uint32_t ticket, const CashCounts& after);
  // A claim forgets a pay-out left unsettled before it.
  void ForgetUnsettled() { unsettled_.reset(); }

  // The pieces of the last pay-out that ended early, as a cash-count text;
  // empty while there was none.
  std::string last_short_payout() VEX_EXCLUDES(last_lock_);

 private:
  // A fresh status read: true when it shows the machine at rest.
  bool ReadStatusAtRest();
  static bool PaidInFull(const PayoutCheck& check, const CashCounts& paid);
  // The part paid (nothing: unknown) to the trace, the ExamLog and the
  // application.
  void ReportPaidOut(const std::optional<CashCounts>& paid, opos::OposResult result);

  ChangerDevice& device_;
  ChangerHost& events_;
  diag::TraceLog& trace_;
  diag::ExamLog& exam_;
  // The queued pay-out whose completion is still to come.
  std::optional<PayoutCheck> pending_;
  // A pay-out that ended while the machine might still be paying: its part
  // paid was reported unknown and is told again once the machine is at rest.
  struct Unsettled {
    uint32_t ticket = 0;
    PayoutCheck check;
    opos::OposResult result;
  };
  std::optional<Unsettled> unsettled_;
  uint32_t tickets_ = 0;
  platform::Mutex last_lock_;
  std::string last_short_payout_ VEX_GUARDED_BY(last_lock_);
};

}  // namespace vexokrt::service
