// SPDX-License-Identifier: Apache-2.0
#include "sim/deposit.h"

#include <algorithm>

namespace vexokrt::sim {

void DepositSession::Open() {
  open_ = true;
  intake_open_ = true;
  held_ = false;
  counted_ = {};
  bill_rejects_ = 0;
  coin_rejects_ = 0;
  bill_refused_full_ = false;
  coin_refused_full_ = false;
}

void DepositSession::Close() {
  open_ = false;
  intake_open_ = false;
  held_ = false;
}

void DepositSession::ClearCounts() {
  counted_ = {};
  bill_rejects_ = 0;
  coin_rejects_ = 0;
}

void DepositSession::SetIntake(bool open) { intake_open_ = open; }

void DepositSession::Hold() {
  if (open_) held_ = true;
}

void DepositSession::ReleaseHold() { held_ = false; }

InsertResult::Status DepositSession::Insert(const CashCounts& pieces, int coin_rejects, int bill_rejects,
                                            int64_t now_us, int64_t counting_us) {
  if (!open_) return InsertResult::Status::kNoDeposit;
  if (!intake_open()) return InsertResult::Status::kIntakeClosed;
  coin_rejects_ += std::max(0, coin_rejects);
  bill_rejects_ += std::max(0, bill_rejects);
  bool any_coin = false;
  bool any_bill = false;
  for (int i = 0; i < kDenominationCount; ++i) {
    if (pieces[i] <= 0) continue;
    Unit& unit = IsCoinIndex(i) ? coin_ : bill_;
    unit.pending[i] += pieces[i];
    (IsCoinIndex(i) ? any_coin : any_bill) = true;
  }
  // A rejected piece passes through the unit too, so it shows as counting.
  if (coin_rejects > 0) any_coin = true;
  if (bill_rejects > 0) any_bill = true;
  for (auto [unit, any] : {std::pair{&coin_, any_coin}, std::pair{&bill_, any_bill}}) {
    if (!any) continue;
    unit->busy = true;
    unit->ends_us = now_us + counting_us;
  }
  return InsertResult::Status::kCounting;
}

DepositSession::Counted DepositSession::Advance(int64_t now_us, Inventory& inventory) {
  Counted result;
  for (Unit* unit : {&bill_, &coin_}) {
    if (!unit->busy || unit->ends_us > now_us) continue;
    CashCounts refused = inventory.Store(unit->pending);
    for (int i = 0; i < kDenominationCount; ++i) {
      int stored = unit->pending[i] - refused[i];
      result.stored[i] += stored;
      result.refused[i] += refused[i];
      counted_[i] += stored;
      if (refused[i] > 0) (IsCoinIndex(i) ? coin_refused_full_ : bill_refused_full_) = true;
    }
    unit->busy = false;
    unit->pending = {};
  }
  return result;
}

std::optional<int64_t> DepositSession::NextEventUs() const {
  std::optional<int64_t> next;
  for (const Unit* unit : {&bill_, &coin_}) {
    if (unit->busy && (!next || unit->ends_us < *next)) next = unit->ends_us;
  }
  return next;
}

char DepositSession::StateChar() const {
  if (counting()) return '<';
  return intake_open() ? '3' : '4';
}

std::array<std::uint8_t, 2> DepositSession::BillPair() const {
  if (!open_ && !bill_.busy) return {'0', '0'};
  if (held_) return {'<', '2'};
  return {'3', static_cast<std::uint8_t>(bill_.busy ? '1' : '3')};
}

std::array<std::uint8_t, 2> DepositSession::CoinPair() const {
  if (!open_ && !coin_.busy) return {'0', '0'};
  return {'3', static_cast<std::uint8_t>(coin_.busy ? '1' : '3')};
}

DepositView DepositSession::View() const {
  DepositView view;
  view.open = open_;
  view.intake_open = intake_open();
  view.held = held_;
  view.bill_counting = bill_.busy;
  view.coin_counting = coin_.busy;
  view.counted = counted_;
  view.bill_rejects = bill_rejects_;
  view.coin_rejects = coin_rejects_;
  return view;
}

}  // namespace vexokrt::sim
