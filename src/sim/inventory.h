// SPDX-License-Identifier: Apache-2.0
// The cash the simulated changer holds: per denomination the recycling stock
// (dispensable; the host's count set A) and the collection box (overflow and
// collected cash; count set B), with the fill-level thresholds that drive the
// FULL / NEAR-FULL / NEAR-EMPTY / EMPTY bits of the status record.
#pragma once

#include <array>
#include <optional>

#include "sim/cash.h"

namespace vexokrt::sim {

// Fill levels of one denomination's stock. A level is reached when the stock
// is at or below (empty, near_empty) or at or above (near_full, full) it.
struct Thresholds {
  int empty = 0;
  int near_empty = 5;
  int near_full = 90;
  int full = 100;  // also the capacity of the stock; more goes to the box

  friend bool operator==(const Thresholds&, const Thresholds&) = default;
};

struct FillLevels {
  bool empty = false;
  bool near_empty = false;
  bool near_full = false;
  bool full = false;
};

class Inventory {
 public:
  // Plausible counts of a machine in the middle of a business day.
  Inventory();

  const CashCounts& stock() const { return stock_; }
  const CashCounts& box() const { return box_; }
  void SetStock(const CashCounts& counts);
  void SetBox(const CashCounts& counts);

  const Thresholds& thresholds(int index) const { return thresholds_[index]; }
  void SetThresholds(int index, const Thresholds& thresholds);
  // Capacity of the bill collection box in bills, and its near-full level.
  void SetBillBoxLimits(int near_full, int full);
  int bill_box_near_full() const { return bill_box_near_full_; }
  int bill_box_full() const { return bill_box_full_; }

  FillLevels LevelsOf(int index) const;
  bool BillBoxFull() const;
  bool BillBoxNearFull() const;

  // Stores pieces that were counted in: into the stock up to its capacity,
  // the rest into the box. Pieces that fit nowhere (box of bills full) are
  // not stored and are returned.
  CashCounts Store(const CashCounts& pieces);

  // Removes exactly |pieces| from the stock. False (nothing removed) when the
  // stock does not hold them.
  bool TakeFromStock(const CashCounts& pieces);

  // Removes |pieces| from the stock and, where the stock is short, from the
  // box; used to hand a deposit back. Returns what could actually be removed.
  CashCounts TakeBack(const CashCounts& pieces);

  // The pieces for |amount| yen, largest first, from what the stock holds.
  // The 2000-yen note is never used for change. Nothing when the stock
  // cannot make the amount exactly this way.
  std::optional<CashCounts> PlanChange(long amount) const;

 private:
  CashCounts stock_{};
  CashCounts box_{};
  std::array<Thresholds, kDenominationCount> thresholds_{};
  int bill_box_near_full_ = 450;
  int bill_box_full_ = 500;
};

}  // namespace vexokrt::sim
