// SPDX-License-Identifier: Apache-2.0
// The three notifications the application can switch on through direct I/O,
// each a small state machine fed with status records (and, for rejects,
// with the deposit answer's reject counters). Each returns the event number
// to post (with the window message of its kind) and leaves the posting to
// the caller, so nothing is posted under the machine's lock.
//
// Threads: the switches are set by the application's thread, the records
// come from the communication thread (or a direct caller); each machine
// keeps its state under its own lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/thread_annotations.h"

namespace vexokrt {

// Reject notification (kMsgHappenReject): a reject counter of the deposit
// answer that changes to a non-zero value marks cash as rejected; the next
// status record that shows the deposit unit not counting releases event 3,
// or 8 when the kind of reject is to be reported and the record shows it.
class RejectNotice {
 public:
  static constexpr int32_t kRejected = 3;
  static constexpr int32_t kRejectedWithKind = 8;

  void SetWatch(bool on) VEX_EXCLUDES(mu_);
  bool Watch() const VEX_EXCLUDES(mu_);
  void SetKindReport(bool on) VEX_EXCLUDES(mu_);
  bool KindReport() const VEX_EXCLUDES(mu_);
  // True while a reject waits for a status record that releases it.
  bool Pending() const VEX_EXCLUDES(mu_);

  // The two reject counters (digits 0-9) of a full deposit answer. They are
  // remembered also while the watch is off, so switching it on reports only
  // later changes.
  void TakeCounters(int32_t p, int32_t q) VEX_EXCLUDES(mu_);
  std::optional<int32_t> TakeStatus(std::span<const uint8_t> record) VEX_EXCLUDES(mu_);

 private:
  mutable platform::Mutex mu_;
  bool watch_ VEX_GUARDED_BY(mu_) = false;
  bool kind_report_ VEX_GUARDED_BY(mu_) = false;
  bool pending_ VEX_GUARDED_BY(mu_) = false;
  int32_t last_p_ VEX_GUARDED_BY(mu_) = 0;
  int32_t last_q_ VEX_GUARDED_BY(mu_) = 0;
};

// Cassette notification (kMsgHappenCaset, KRT07/KRT77): event 4 when the
// cassette is taken out (byte 43 bit 3 on two records after an idle one,
// the device not stopped with an error), event 5 when byte 43 reads '0'
// again after that.
class CassetteNotice {
 public:
  static constexpr int32_t kRemoved = 4;
  static constexpr int32_t kReturned = 5;

  void SetEnabled(bool on) VEX_EXCLUDES(mu_);
  bool Enabled() const VEX_EXCLUDES(mu_);
  std::optional<int32_t> TakeStatus(std::span<const uint8_t> record) VEX_EXCLUDES(mu_);

 private:
  mutable platform::Mutex mu_;
  bool enabled_ VEX_GUARDED_BY(mu_) = false;
  bool idle_seen_ VEX_GUARDED_BY(mu_) = false;
  bool set_seen_ VEX_GUARDED_BY(mu_) = false;
  bool removed_posted_ VEX_GUARDED_BY(mu_) = false;
};

// Cassette display notification (kMsgHappenCasetDsp, KRT07/KRT77): event 6
// when the unit state (bytes 47, 48) turns to 0x92 after another value;
// event 7 when it has left 0x92 again and byte 43 bit 1 is clear.
class CassetteDisplayNotice {
 public:
  static constexpr int32_t kShown = 6;
  static constexpr int32_t kCleared = 7;

  void SetEnabled(bool on) VEX_EXCLUDES(mu_);
  bool Enabled() const VEX_EXCLUDES(mu_);
  std::optional<int32_t> TakeStatus(std::span<const uint8_t> record) VEX_EXCLUDES(mu_);

 private:
  mutable platform::Mutex mu_;
  bool enabled_ VEX_GUARDED_BY(mu_) = false;
  bool armed_ VEX_GUARDED_BY(mu_) = false;
  bool fired_ VEX_GUARDED_BY(mu_) = false;
};

}  // namespace vexokrt
