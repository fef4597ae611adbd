// SPDX-License-Identifier: Apache-2.0
// The device-free decisions of the cash operations.
#include "cash/cash_rules.h"

#include <gtest/gtest.h>

namespace vexokrt::cash {
namespace {

// Counts in record order from (face value, pieces) pairs.
CashCounts Counts(std::initializer_list<std::pair<int32_t, int32_t>> pieces) {
  CashCounts counts{};
  for (const auto& [face, n] : pieces) counts[RecordIndex(face)] = n;
  return counts;
}

TEST(CashRulesTest, ExitsRestrictWhatMayBePaid) {
  struct Case {
    int32_t exit;
    CashCounts counts;
    int64_t amount;
    bool counts_allowed;
    bool amount_allowed;
  };
  const Case cases[] = {
      {1, Counts({{1, 1}, {1000, 1}}), 1001, true, true},
      {4, Counts({{1, 1}, {1000, 1}}), 1001, true, true},
      {2, Counts({{1000, 2}}), 2000, true, true},
      {2, Counts({{1, 1}, {1000, 1}}), 1500, false, false},
      {5, Counts({{500, 1}}), 500, false, false},
      {7, Counts({{10000, 1}}), 10000, true, true},
      {3, Counts({{500, 1}}), 999, true, true},
      {3, Counts({{1000, 1}}), 1000, false, false},
      // Markers name no piece.
      {3, Counts({{1000, kAllPieces}, {500, 1}}), 1, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("exit " + std::to_string(c.exit) + " amount " + std::to_string(c.amount));
    EXPECT_EQ(ExitAllowsCounts(c.exit, c.counts), c.counts_allowed);
    EXPECT_EQ(ExitAllowsAmount(c.exit, c.amount), c.amount_allowed);
  }
}

TEST(CashRulesTest, Krt03CoinLimits) {
  EXPECT_TRUE(WithinCoinLimits(Counts({{500, 25}, {1, 35}}), 60, 25));
  EXPECT_FALSE(WithinCoinLimits(Counts({{500, 26}}), 60, 25));
  EXPECT_FALSE(WithinCoinLimits(Counts({{1, 61}}), 60, 25));
  EXPECT_TRUE(WithinCoinLimits(Counts({{1, 60}, {10000, 99}}), 60, 25)) << "bills are not coins";
}

TEST(CashRulesTest, DepositTableNamesAllOfAKindOnlyWhenEveryCountIsTheWholeStock) {
  const CashCounts held = Counts({{100, 8}, {1000, 3}});
  CashCounts all{};
  all.fill(kAllPieces);
  CashCounts keywords{};
  keywords.fill(kKeywordPlace);
  EXPECT_EQ(DepositTableCounts(0, Counts({{100, 8}, {1000, 3}}), held), all);
  EXPECT_EQ(DepositTableCounts(1, Counts({{100, 8}, {1000, kAllPieces}}), held), all);
  // One count short of its stock: every count is sent as asked.
  EXPECT_EQ(DepositTableCounts(0, Counts({{100, 7}, {1000, 3}}), held), Counts({{100, 7}, {1000, 3}}));
  EXPECT_EQ(DepositTableCounts(2, Counts({{100, 1}}), held), keywords);
  EXPECT_EQ(DepositTableCounts(3, Counts({}), held), keywords);
  EXPECT_FALSE(DepositTableCounts(4, Counts({}), held).has_value());
  EXPECT_FALSE(DepositTableCounts(-1, Counts({}), held).has_value());
}

TEST(CashRulesTest, ExchangeModeDispenseIsHandedOnOrRefused) {
  using Kind = ExchangePlan::Kind;
  const CashCounts set_a = Counts({{1, 4}, {1000, 2}, {10000, 0}});
  const CashCounts set_b = Counts({{1, 1}, {1000, 1}, {10000, 3}});
  struct Case {
    const char* what;
    bool krt02;
    CashCounts requested;
    CashCounts a;
    Kind kind;
    std::string text;
  };
  const Case cases[] = {
      {"KRT02, everything in both sets", true, Counts({{1, 5}, {1000, 3}, {10000, 3}}), set_a, Kind::kHandOver,
       "1:4,5:0,10:0,50:0,100:0,500:0;1000:FFF,2000:FFF,5000:FFF,10000:FFF"},
      {"no 10000-yen notes asked", false, Counts({{1, 2}}), set_a, Kind::kNormal, ""},
      {"fewer 10000-yen notes than the box holds", false, Counts({{10000, 2}}), set_a, Kind::kRefused, ""},
      {"the box's notes while the stock has more", false, Counts({{10000, 3}}), Counts({{10000, 1}}),
       Kind::kRefused, ""},
      {"exactly the box's notes", false, Counts({{10000, 3}}), set_a, Kind::kHandOver,
       "1:0,5:0,10:0,50:0,100:0,500:0;1000:0,2000:0,5000:0,10000:FFF"},
      {"more notes than the box holds", false, Counts({{10000, 5}, {1, 1}}), set_a, Kind::kHandOver,
       "1:1,5:0,10:0,50:0,100:0,500:0;1000:0,2000:0,5000:0,10000:2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ExchangePlan plan = PlanExchangeDispense(c.krt02, "given", c.requested, c.a, set_b);
    EXPECT_EQ(plan.kind, c.kind);
    EXPECT_EQ(plan.text, c.text);
  }
  const ExchangePlan empty = PlanExchangeDispense(false, "", Counts({}), set_a, set_b);
  EXPECT_EQ(empty.kind, Kind::kHandOver);
  EXPECT_EQ(empty.text, "");
}

TEST(CashRulesTest, PaidBetweenTwoReads) {
  EXPECT_EQ(PaidBetween(Counts({{100, 10}, {1000, 5}}), Counts({{100, 9}, {1000, 5}})), Counts({{100, 1}}));
  EXPECT_EQ(PaidBetween(Counts({{100, 10}}), Counts({{100, 10}})), Counts({}));
  EXPECT_FALSE(PaidBetween(Counts({{100, 10}}), Counts({{100, 11}})).has_value()) << "a count grew";
}

}  // namespace
}  // namespace vexokrt::cash
