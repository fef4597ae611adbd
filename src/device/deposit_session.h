// SPDX-License-Identifier: Apache-2.0
// The deposit's state in one place, under one lock: what the service
// object's deposit members decide (started, fixed, paused, ended), what the
// device tells while it counts (the deposit count record and whether it
// changed since it was reported), what the application reads (DepositCounts
// and DepositAmount), and what lives from one member to the next (the
// option and the active mark of the direct I/O commands, a FixDeposit
// accepted without a deposit, the history pause the deposit holds from its beginning to its end, a KRT03
// repay under way).
//
// Threads: every method may be called from any thread; each takes the
// session's lock for its own reading or writing only, so the status
// interpretation (the communication thread) and the deposit members (the
// application's thread) never see half a change. Nothing is called out to
// under the lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device/cash_records.h"
#include "device/history_pause.h"
#include "platform/thread_annotations.h"

namespace vexokrt {

class DepositSession {
 public:
  // DepositStatus: 1 started, 2 ended, 3 none before the first deposit, 4
  // counting.
  int32_t Status() const VEX_EXCLUDES(lock_);
  void SetStatus(int32_t status) VEX_EXCLUDES(lock_);
  // A deposit is under way while its status is 1 or 4.
  bool UnderWay() const VEX_EXCLUDES(lock_);

  bool Fixed() const VEX_EXCLUDES(lock_);
  void SetFixed(bool fixed) VEX_EXCLUDES(lock_);
  bool Paused() const VEX_EXCLUDES(lock_);
  void SetPaused(bool paused) VEX_EXCLUDES(lock_);
  // FixDeposit was accepted while no deposit was open (FixDepositRcv 1).
  bool FixedWithoutDeposit() const VEX_EXCLUDES(lock_);
  void SetFixedWithoutDeposit(bool fixed) VEX_EXCLUDES(lock_);
  // DirectIO 51's option (0 or 1) and the active mark (set by a failing
  // BeginDeposit and by EndDeposit, cleared by DirectIO 3).
  int32_t Option() const VEX_EXCLUDES(lock_);
  void SetOption(int32_t option) VEX_EXCLUDES(lock_);
  int32_t ActiveMark() const VEX_EXCLUDES(lock_);
  void SetActiveMark(int32_t mark) VEX_EXCLUDES(lock_);

  // The deposit count record the device reported last, and whether it
  // changed since it was last reported to the application.
  DispenseRecord Record() const VEX_EXCLUDES(lock_);
  // Takes the ten counts the device reported (the record's first ten
  // slots); true when the record changed (it is then marked changed).
  bool TakeDeviceCounts(const CashCounts& counts) VEX_EXCLUDES(lock_);
  bool RecordChanged() const VEX_EXCLUDES(lock_);
  void ClearRecordChanged() VEX_EXCLUDES(lock_);
  // The record when it changed since it was last reported, marking it
  // reported; nothing otherwise.
  std::optional<DispenseRecord> TakeChangedRecord() VEX_EXCLUDES(lock_);
  // Zeroes the record ("+00" and BeginDeposit).
  void ClearRecord() VEX_EXCLUDES(lock_);

  // DepositCounts (the plain cash-count text) and DepositAmount (yen), set
  // together.
  void SetCounts(const CashCounts& counts) VEX_EXCLUDES(lock_);
  void ClearCounts() VEX_EXCLUDES(lock_);
  std::string CountsText() const VEX_EXCLUDES(lock_);
  int32_t Amount() const VEX_EXCLUDES(lock_);

  // The pause of the history fetch the deposit keeps from its beginning to
  // its end: |pause| becomes the deposit's, or ends without its record when
  // the deposit holds one already (it covers this one).
  void KeepHistoryPause(HistoryPause pause) VEX_EXCLUDES(lock_);
  // The deposit has ended: its pause ends without its record (the member
  // that ended it writes the resume record with a pause of its own).
  void DropHistoryPause() VEX_EXCLUDES(lock_);

  // A KRT03 repay under way: the deposit to hand back and the stock before
  // its first try.
  struct Repay {
    CashCounts deposit{};
    CashCounts stock_before{};
  };
  std::optional<Repay> RepayUnderWay() const VEX_EXCLUDES(lock_);
  void SetRepay(std::optional<Repay> repay) VEX_EXCLUDES(lock_);

  // The values a release resets: no deposit, nothing counted, no pause.
  void Reset(int32_t status) VEX_EXCLUDES(lock_);

 private:
  mutable platform::Mutex lock_;
  int32_t status_ VEX_GUARDED_BY(lock_) = 3;
  bool fixed_ VEX_GUARDED_BY(lock_) = false;
  bool paused_ VEX_GUARDED_BY(lock_) = false;
  bool fixed_without_deposit_ VEX_GUARDED_BY(lock_) = false;
  int32_t option_ VEX_GUARDED_BY(lock_) = 0;
  int32_t active_mark_ VEX_GUARDED_BY(lock_) = 0;
  DispenseRecord record_ VEX_GUARDED_BY(lock_);
  bool record_changed_ VEX_GUARDED_BY(lock_) = false;
  std::string counts_text_ VEX_GUARDED_BY(lock_);
  int32_t amount_ VEX_GUARDED_BY(lock_) = 0;
  HistoryPause history_ VEX_GUARDED_BY(lock_);
  std::optional<Repay> repay_ VEX_GUARDED_BY(lock_);
};

}  // namespace vexokrt
