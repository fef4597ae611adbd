// SPDX-License-Identifier: Apache-2.0
// One deposit session of the simulated machine: the intake, the two counting
// units (bills, coins) and what has been counted in so far. Inserted cash is
// counted for a while (a counting phase, visible in the status record) and
// only then stored into the inventory and added to the deposit counts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "sim/cash.h"
#include "sim/inventory.h"

namespace vexokrt::sim {

struct InsertResult {
  enum class Status {
    kCounting,      // accepted; the unit(s) count for ActionDurations::counting_ms
    kNoDeposit,     // no deposit is open: the cash is handed back untouched
    kIntakeClosed,  // the deposit is paused, fixed or held
    kJammed,        // the machine is stopped by an error
  };
  Status status = Status::kNoDeposit;
};

// What a deposit session looks like from outside.
struct DepositView {
  bool open = false;           // between the deposit start and its end
  bool intake_open = false;    // cash is being accepted
  bool held = false;           // the bill intake waits for "P00"
  bool bill_counting = false;  // the bill unit is counting
  bool coin_counting = false;  // the coin unit is counting
  CashCounts counted{};        // pieces counted into this deposit so far
  int bill_rejects = 0;
  int coin_rejects = 0;
};

class DepositSession {
 public:
  // Starts a deposit: counts and rejects cleared, intake open.
  void Open();
  // Ends it; the counts stay readable until the next Open or ClearCounts.
  void Close();
  void ClearCounts();
  void SetIntake(bool open);
  void Hold();
  void ReleaseHold();

  bool open() const { return open_; }
  bool intake_open() const { return open_ && intake_open_ && !held_; }
  bool held() const { return held_; }
  bool counting() const { return bill_.busy || coin_.busy; }
  bool bill_counting() const { return bill_.busy; }
  bool coin_counting() const { return coin_.busy; }
  const CashCounts& counted() const { return counted_; }
  int bill_rejects() const { return bill_rejects_; }
  int coin_rejects() const { return coin_rejects_; }
  bool bill_refused_full() const { return bill_refused_full_; }
  bool coin_refused_full() const { return coin_refused_full_; }

  // A customer inserts cash. Pieces are counted until |now_us| + |counting_us|
  // (a further insert while a unit counts restarts its timer). Rejects are
  // counted at once and handed back.
  InsertResult::Status Insert(const CashCounts& pieces, int coin_rejects, int bill_rejects, int64_t now_us,
                              int64_t counting_us);

  struct Counted {
    CashCounts stored{};   // pieces counted in and stored
    CashCounts refused{};  // pieces counted but handed back: their storage is full
  };
  // Ends the counting phases due by |now_us|, storing their pieces.
  Counted Advance(int64_t now_us, Inventory& inventory);
  // When the next counting phase ends; nothing when no unit counts.
  std::optional<int64_t> NextEventUs() const;

  // Status characters: byte 1 while a deposit is open, and the unit pairs.
  char StateChar() const;
  std::array<std::uint8_t, 2> BillPair() const;
  std::array<std::uint8_t, 2> CoinPair() const;

  DepositView View() const;

 private:
  struct Unit {
    bool busy = false;
    int64_t ends_us = 0;
    CashCounts pending{};
  };
  bool open_ = false;
  bool intake_open_ = false;
  bool held_ = false;
  Unit bill_;
  Unit coin_;
  CashCounts counted_{};
  int bill_rejects_ = 0;
  int coin_rejects_ = 0;
  bool bill_refused_full_ = false;
  bool coin_refused_full_ = false;
};

}  // namespace vexokrt::sim
