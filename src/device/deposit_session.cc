// SPDX-License-Identifier: Apache-2.0
#include "device/deposit_session.h"

#include <utility>

#include "cash/cash_counts.h"
#include "opos/opos.h"

namespace vexokrt {

int32_t DepositSession::Status() const {
  platform::MutexLock lock(lock_);
  return status_;
}

void DepositSession::SetStatus(int32_t status) {
  platform::MutexLock lock(lock_);
  status_ = status;
}

bool DepositSession::UnderWay() const {
  platform::MutexLock lock(lock_);
  return status_ == opos::CHAN_STATUS_DEPOSIT_START || status_ == opos::CHAN_STATUS_DEPOSIT_COUNT;
}

bool DepositSession::Fixed() const {
  platform::MutexLock lock(lock_);
  return fixed_;
}

void DepositSession::SetFixed(bool fixed) {
  platform::MutexLock lock(lock_);
  fixed_ = fixed;
}

bool DepositSession::Paused() const {
  platform::MutexLock lock(lock_);
  return paused_;
}

void DepositSession::SetPaused(bool paused) {
  platform::MutexLock lock(lock_);
  paused_ = paused;
}

bool DepositSession::FixedWithoutDeposit() const {
  platform::MutexLock lock(lock_);
  return fixed_without_deposit_;
}

void DepositSession::SetFixedWithoutDeposit(bool fixed) {
  platform::MutexLock lock(lock_);
  fixed_without_deposit_ = fixed;
}

int32_t DepositSession::Option() const {
  platform::MutexLock lock(lock_);
  return option_;
}

void DepositSession::SetOption(int32_t option) {
  platform::MutexLock lock(lock_);
  option_ = option;
}

int32_t DepositSession::ActiveMark() const {
  platform::MutexLock lock(lock_);
  return active_mark_;
}

void DepositSession::SetActiveMark(int32_t mark) {
  platform::MutexLock lock(lock_);
  active_mark_ = mark;
}

DispenseRecord DepositSession::Record() const {
  platform::MutexLock lock(lock_);
  return record_;
}

bool DepositSession::TakeDeviceCounts(const CashCounts& counts) {
  platform::MutexLock lock(lock_);
  DispenseRecord updated = record_;
  for (size_t i = 0; i < counts.size(); ++i) updated.slot[i] = counts[i];
  if (updated == record_) return false;
  record_ = updated;
  record_changed_ = true;
  return true;
}

bool DepositSession::RecordChanged() const {
  platform::MutexLock lock(lock_);
  return record_changed_;
}

void DepositSession::ClearRecordChanged() {
  platform::MutexLock lock(lock_);
  record_changed_ = false;
}

std::optional<DispenseRecord> DepositSession::TakeChangedRecord() {
  platform::MutexLock lock(lock_);
  if (!record_changed_) return std::nullopt;
  record_changed_ = false;
  return record_;
}

void DepositSession::ClearRecord() {
  platform::MutexLock lock(lock_);
  record_ = DispenseRecord{};
}

void DepositSession::SetCounts(const CashCounts& counts) {
  const std::string text = cash::FormatPlain(counts);
  const auto amount = static_cast<int32_t>(cash::Amount(counts));
  platform::MutexLock lock(lock_);
  counts_text_ = text;
  amount_ = amount;
}

void DepositSession::ClearCounts() {
  platform::MutexLock lock(lock_);
  counts_text_.clear();
  amount_ = 0;
}

std::string DepositSession::CountsText() const {
  platform::MutexLock lock(lock_);
  return counts_text_;
}

int32_t DepositSession::Amount() const {
  platform::MutexLock lock(lock_);
  return amount_;
}

void DepositSession::KeepHistoryPause(HistoryPause pause) {
  {
    platform::MutexLock lock(lock_);
    if (!history_.held()) {
      history_ = std::move(pause);
      return;
    }
  }
  // Ended outside the lock: ending a pause takes the history lock.
  pause.Drop();
}

void DepositSession::DropHistoryPause() {
  HistoryPause ended;
  {
    platform::MutexLock lock(lock_);
    ended = std::move(history_);
  }
  ended.Drop();
}

std::optional<DepositSession::Repay> DepositSession::RepayUnderWay() const {
  platform::MutexLock lock(lock_);
  return repay_;
}

void DepositSession::SetRepay(std::optional<Repay> repay) {
  platform::MutexLock lock(lock_);
  repay_ = std::move(repay);
}

void DepositSession::Reset(int32_t status) {
  DropHistoryPause();
  platform::MutexLock lock(lock_);
  status_ = status;
  counts_text_.clear();
  amount_ = 0;
  repay_.reset();
}

}  // namespace vexokrt
