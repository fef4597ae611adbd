// SPDX-License-Identifier: Apache-2.0
// DepositService: the device work of the deposit members, after the state
// checks that the members make. Begin opens the intake, Pause stops and
// restarts it, Fix closes it and fixes the counted cash, End keeps the cash
// (with or without change) or hands it back; a deposit the application did
// not end is closed at a release and recorded there and at a claim. The
// deposit's state lives in the DepositSession; the history fetch stays
// paused from Begin to the end of the deposit.
//
// One exists for each device layer, from OpenService to Close.
// Application's thread.
#pragma once

#include <cstdint>

#include "cash/cash_counts.h"
#include "config/device_config.h"
#include "device/changer_host.h"
#include "device/deposit_session.h"
#include "device/history_pause.h"
#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "events/event_delivery.h"
#include "link/model_code.h"
#include "opos/opos.h"

namespace vexokrt {
class ChangerDevice;
}  // namespace vexokrt

namespace vexokrt::service {

class PayoutService;

// The ExamLog kind of the record of a deposit that the application did not
// end, with its codes: found open by a claim, closed by a release.
inline constexpr long kLeftOpenDepositRecordKind = 11;
inline constexpr long kLeftOpenAtClaim = 1;
inline constexpr long kLeftOpenAtRelease = 2;

class DepositService {
 public:
  // |model| is the claimed model as the service object keeps it; |host|
  // takes the data events. Everything must outlive this.
  DepositService(ChangerDevice& device, DepositSession& deposit, PayoutService& payouts,
                 events::EventDelivery& events, ChangerHost& host, const config::DeviceConfig& config,
                 const ModelCode& model, diag::TraceLog& trace, diag::ExamLog& exam);
  DepositService(const DepositService&) = delete;
  DepositService& operator=(const DepositService&) = delete;

  opos::OposResult Begin();
  opos::OposResult Pause(int32_t control);
  // After the claimed, enabled, model and busy checks.
  opos::OposResult Fix();
  opos::OposResult End(int32_t success);

  // The deposit counts from the kept record into DepositCounts and
  // DepositAmount; with |report|, a data event when the record changed.
  void TakeKeptCounts(bool report);
  // Release and Close with a deposit under way: closes its intake (unless
  // it is closed already), reads what it holds and records it.
  void CloseForRelease();
  // Writes what a deposit that the application did not end holds, from the
  // kept record after a read that gave |read|, to the trace ("  DepositLeftOpen
  // is ...") and the ExamLog (kind 11, code |at|: kLeftOpenAtClaim or
  // kLeftOpenAtRelease, the yen, the read's result).
  void RecordLeftOpen(long at, opos::OposResult read);

 private:
  // Fix's device work (one job): the intake closed when |closing|, then the
  // deposit counts read.
  opos::OposResult FixOnLine(bool closing, bool pause_set);
  opos::OposResult CloseIntake();
  // End's device work on the KRT07/KRT77 (one job) within |history|, the
  // pause the deposit keeps when it stays open.
  opos::OposResult EndOnLine(int32_t success, HistoryPause& history);
  // KRT03 End(3): hands |deposit| back with the dispense command, or after a
  // repay that failed part-way only what is still owed of it.
  opos::OposResult RepayKrt03(const CashCounts& deposit);
  opos::OposResult RepayKrt03OnLine(const CashCounts& deposit);
  void CloseOnLine();

  ChangerDevice& device_;
  DepositSession& deposit_;
  PayoutService& payouts_;
  events::EventDelivery& events_;
  ChangerHost& host_;
  const config::DeviceConfig& config_;
  const ModelCode& model_;
  diag::TraceLog& trace_;
  diag::ExamLog& exam_;
};

}  // namespace vexokrt::service
