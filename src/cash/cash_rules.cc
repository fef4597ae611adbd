// SPDX-License-Identifier: Apache-2.0
#include "cash/cash_rules.h"

namespace vexokrt::cash {
namespace {

constexpr int k10000 = 0;  // record index of the 10000-yen note

bool AnyPositive(const CashCounts& counts, int from, int to) {
  for (int i = from; i < to; ++i) {
    if (counts[i] > 0) return true;
  }
  return false;
}

}  // namespace

bool ExitPaysBillsOnly(int32_t current_exit) { return current_exit == 2 || current_exit == 5 || current_exit == 7; }

bool ExitPaysCoinsOnly(int32_t current_exit) { return current_exit == 3; }

bool ExitAllowsCounts(int32_t current_exit, const CashCounts& counts) {
  if (ExitPaysBillsOnly(current_exit)) return !AnyPositive(counts, kFirstCoin, 10);
  if (ExitPaysCoinsOnly(current_exit)) return !AnyPositive(counts, 0, kFirstCoin);
  return true;
}

bool ExitAllowsAmount(int32_t current_exit, int64_t amount) {
  if (ExitPaysBillsOnly(current_exit)) return amount % 1000 == 0;
  if (ExitPaysCoinsOnly(current_exit)) return amount < 1000;
  return true;
}

bool WithinCoinLimits(const CashCounts& counts, int32_t coin_limit, int32_t limit_500) {
  int64_t coins = 0;
  for (int i = kFirstCoin; i < 10; ++i) coins += counts[i];
  return coins <= coin_limit && counts[kFirstCoin] <= limit_500;
}

std::optional<CashCounts> DepositTableCounts(int32_t mode, const CashCounts& requested, const CashCounts& held) {
  if (mode < 0 || mode > 3) return std::nullopt;
  CashCounts sent{};
  if (mode >= 2) {
    sent.fill(kKeywordPlace);
    return sent;
  }
  sent = requested;
  bool everything = true;
  for (int i = 0; i < 10; ++i) {
    if (requested[i] != kAllPieces && requested[i] != held[i]) everything = false;
  }
  if (everything) {
    for (int i = 0; i < 10; ++i) {
      if (requested[i] == held[i]) sent[i] = kAllPieces;
    }
  }
  return sent;
}

ExchangePlan PlanExchangeDispense(bool krt02, std::string_view given_text, const CashCounts& requested,
                                  const CashCounts& set_a, const CashCounts& set_b) {
  ExchangePlan plan;
  if (given_text.empty()) {
    plan.kind = ExchangePlan::Kind::kHandOver;
    plan.text = std::string(given_text);
    return plan;
  }
  if (krt02) {
    bool whole = true;
    for (int i = 0; i < 10; ++i) {
      if (requested[i] != set_a[i] + set_b[i]) whole = false;
    }
    if (whole) {
      CashCounts coins{};
      for (int i = kFirstCoin; i < 10; ++i) coins[i] = requested[i] - set_b[i];
      plan.kind = ExchangePlan::Kind::kHandOver;
      plan.text = FormatAllBills(coins);
      return plan;
    }
  }
  const int32_t asked = requested[k10000];
  if (asked == 0) return plan;  // kNormal
  const int32_t in_box = set_b[k10000];
  if (asked < in_box || (asked == in_box && set_a[k10000] > 0)) {
    plan.kind = ExchangePlan::Kind::kRefused;
    return plan;
  }
  plan.kind = ExchangePlan::Kind::kHandOver;
  bool others_zero = true;
  for (int i = 1; i < 10; ++i) {
    if (requested[i] != 0) others_zero = false;
  }
  if (others_zero && asked == in_box) {
    CashCounts none{};
    plan.text = FormatAll10000(none);
    return plan;
  }
  CashCounts rest = requested;
  rest[k10000] = asked - in_box;
  plan.text = FormatPlain(rest);
  return plan;
}

std::optional<CashCounts> PaidBetween(const CashCounts& before, const CashCounts& after) {
  CashCounts paid{};
  for (int i = 0; i < 10; ++i) {
    if (after[i] > before[i]) return std::nullopt;
    paid[i] = before[i] - after[i];
  }
  return paid;
}

}  // namespace vexokrt::cash
