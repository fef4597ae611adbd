// SPDX-License-Identifier: Apache-2.0
#include "sim/inventory.h"

#include <algorithm>

namespace vexokrt::sim {
namespace {

// Coins that overflow their tubes fall into one overflow box.
constexpr int kCoinBoxCapacity = 1500;

// Stock, thresholds: a machine a few hours into a business day. The 10000-yen
// note is mostly collected rather than recycled, so it never reports empty.
struct Start {
  int stock;
  int box;
  Thresholds thresholds;
};
constexpr Start kStart[kDenominationCount] = {
    {60, 0, {0, 15, 90, 100}},   // 1
    {40, 0, {0, 10, 90, 100}},   // 5
    {70, 0, {0, 15, 90, 100}},   // 10
    {40, 0, {0, 10, 90, 100}},   // 50
    {70, 0, {0, 15, 90, 100}},   // 100
    {25, 0, {0, 5, 55, 60}},     // 500
    {50, 10, {0, 10, 90, 100}},  // 1000
    {5, 0, {0, 1, 27, 30}},      // 2000
    {10, 2, {0, 3, 45, 50}},     // 5000
    {0, 8, {-1, -1, 45, 50}},    // 10000
};

// Change is made from these, largest first; the 2000-yen note is kept out of change.
constexpr int kChangeOrder[] = {9, 8, 6, 5, 4, 3, 2, 1, 0};

}  // namespace

Inventory::Inventory() {
  for (int i = 0; i < kDenominationCount; ++i) {
    stock_[i] = kStart[i].stock;
    box_[i] = kStart[i].box;
    thresholds_[i] = kStart[i].thresholds;
  }
}

void Inventory::SetStock(const CashCounts& counts) {
  for (int i = 0; i < kDenominationCount; ++i) stock_[i] = std::max(0, counts[i]);
}

void Inventory::SetBox(const CashCounts& counts) {
  for (int i = 0; i < kDenominationCount; ++i) box_[i] = std::max(0, counts[i]);
}

void Inventory::SetThresholds(int index, const Thresholds& thresholds) {
  if (index >= 0 && index < kDenominationCount) thresholds_[index] = thresholds;
}

void Inventory::SetBillBoxLimits(int near_full, int full) {
  bill_box_near_full_ = near_full;
  bill_box_full_ = full;
}

FillLevels Inventory::LevelsOf(int index) const {
  const Thresholds& t = thresholds_[index];
  int n = stock_[index];
  FillLevels levels;
  levels.empty = n <= t.empty;
  levels.near_empty = n <= t.near_empty;
  levels.near_full = n >= t.near_full;
  levels.full = n >= t.full;
  return levels;
}

static int BillsIn(const CashCounts& counts) {
  return counts[6] + counts[7] + counts[8] + counts[9];
}

static int CoinsIn(const CashCounts& counts) {
  int n = 0;
  for (int i = 0; i < 6; ++i) n += counts[i];
  return n;
}

bool Inventory::BillBoxFull() const { return BillsIn(box_) >= bill_box_full_; }
bool Inventory::BillBoxNearFull() const { return BillsIn(box_) >= bill_box_near_full_; }

CashCounts Inventory::Store(const CashCounts& pieces) {
  CashCounts refused{};
  for (int i = 0; i < kDenominationCount; ++i) {
    int room = std::max(0, thresholds_[i].full - stock_[i]);
    int to_stock = std::min(room, pieces[i]);
    stock_[i] += to_stock;
    int rest = pieces[i] - to_stock;
    int box_room = IsCoinIndex(i) ? kCoinBoxCapacity - CoinsIn(box_) : bill_box_full_ - BillsIn(box_);
    int to_box = std::clamp(rest, 0, std::max(0, box_room));
    box_[i] += to_box;
    refused[i] = rest - to_box;
  }
  return refused;
}

bool Inventory::TakeFromStock(const CashCounts& pieces) {
  for (int i = 0; i < kDenominationCount; ++i) {
    if (pieces[i] < 0 || pieces[i] > stock_[i]) return false;
  }
  for (int i = 0; i < kDenominationCount; ++i) stock_[i] -= pieces[i];
  return true;
}

CashCounts Inventory::TakeBack(const CashCounts& pieces) {
  CashCounts taken{};
  for (int i = 0; i < kDenominationCount; ++i) {
    int want = std::max(0, pieces[i]);
    int from_stock = std::min(want, stock_[i]);
    stock_[i] -= from_stock;
    int from_box = std::min(want - from_stock, box_[i]);
    box_[i] -= from_box;
    taken[i] = from_stock + from_box;
  }
  return taken;
}

std::optional<CashCounts> Inventory::PlanChange(long amount) const {
  if (amount < 0) return std::nullopt;
  CashCounts plan{};
  long rest = amount;
  for (int index : kChangeOrder) {
    long want = rest / kFaceValues[index];
    long use = std::min<long>(want, stock_[index]);
    plan[index] = static_cast<int>(use);
    rest -= use * kFaceValues[index];
  }
  if (rest != 0) return std::nullopt;
  return plan;
}

}  // namespace vexokrt::sim
