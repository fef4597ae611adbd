// SPDX-License-Identifier: Apache-2.0
#include "device/notifications.h"

#include "device/status_record.h"

namespace vexokrt {

void RejectNotice::SetWatch(bool on) {
  platform::MutexLock lock(mu_);
  watch_ = on;
}

bool RejectNotice::Watch() const {
  platform::MutexLock lock(mu_);
  return watch_;
}

void RejectNotice::SetKindReport(bool on) {
  platform::MutexLock lock(mu_);
  kind_report_ = on;
}

bool RejectNotice::KindReport() const {
  platform::MutexLock lock(mu_);
  return kind_report_;
}

bool RejectNotice::Pending() const {
  platform::MutexLock lock(mu_);
  return pending_;
}

void RejectNotice::TakeCounters(int32_t p, int32_t q) {
  platform::MutexLock lock(mu_);
  if (watch_ && ((p != 0 && p != last_p_) || (q != 0 && q != last_q_))) pending_ = true;
  last_p_ = p;
  last_q_ = q;
}

std::optional<int32_t> RejectNotice::TakeStatus(std::span<const uint8_t> d) {
  const auto at = [d](size_t index) { return StatusByte(d, index); };
  platform::MutexLock lock(mu_);
  if (!pending_) return std::nullopt;
  // The unit still counting ("31" in either pair) keeps the reject for a
  // later record.
  const bool counting = (at(47) == '3' && at(48) == '1') || (at(49) == '3' && at(50) == '1');
  if (counting) return std::nullopt;
  pending_ = false;
  const bool kind_shown = (at(46) & 0x0C) != 0 || at(9) != '0' || at(10) != '0' || at(11) != '0' || at(21) == '8';
  return kind_report_ && kind_shown ? kRejectedWithKind : kRejected;
}

void CassetteNotice::SetEnabled(bool on) {
  platform::MutexLock lock(mu_);
  enabled_ = on;
}

bool CassetteNotice::Enabled() const {
  platform::MutexLock lock(mu_);
  return enabled_;
}

std::optional<int32_t> CassetteNotice::TakeStatus(std::span<const uint8_t> d) {
  const auto at = [d](size_t index) { return StatusByte(d, index); };
  platform::MutexLock lock(mu_);
  if (!enabled_) return std::nullopt;
  std::optional<int32_t> event;
  const bool out = (at(43) & 0x08) != 0;
  if (out && at(1) != '1' && idle_seen_ && set_seen_) {
    event = kRemoved;
    idle_seen_ = false;
    set_seen_ = false;
    removed_posted_ = true;
  }
  if (out && idle_seen_) set_seen_ = true;
  if (at(43) == '0') {
    idle_seen_ = true;
    if (removed_posted_) event = kReturned;
    removed_posted_ = false;
  }
  return event;
}

void CassetteDisplayNotice::SetEnabled(bool on) {
  platform::MutexLock lock(mu_);
  enabled_ = on;
}

bool CassetteDisplayNotice::Enabled() const {
  platform::MutexLock lock(mu_);
  return enabled_;
}

std::optional<int32_t> CassetteDisplayNotice::TakeStatus(std::span<const uint8_t> d) {
  const auto at = [d](size_t index) { return StatusByte(d, index); };
  platform::MutexLock lock(mu_);
  if (!enabled_) return std::nullopt;
  std::optional<int32_t> event;
  const int32_t v = (at(47) - 0x30) * 16 + (at(48) - 0x30);
  if (v == 0x92) {
    if (armed_) {
      event = kShown;
      armed_ = false;
      fired_ = true;
    }
  } else {
    armed_ = true;
    if (fired_ && (at(43) & 0x02) == 0) {
      event = kCleared;
      fired_ = false;
    }
  }
  return event;
}

}  // namespace vexokrt
