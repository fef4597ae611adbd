// SPDX-License-Identifier: Apache-2.0
// The decisions of the cash operations that need no device: which cash an
// exit may pay, the piece limits of the KRT03, what the deposit-table
// pay-out sends, how an exchange-mode pay-out is handed on, and what part of
// a pay-out left the machine. Pure functions over count records, so every
// rule is tested without a line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cash/cash_counts.h"

namespace vexokrt::cash {

// --- exits -------------------------------------------------------------------

// Exits 2, 5 and 7 pay bills only; exit 3 pays coins only; every other exit
// pays everything.
bool ExitPaysBillsOnly(int32_t current_exit);
bool ExitPaysCoinsOnly(int32_t current_exit);
// Whether |counts| may go out at |current_exit|: no coin at a bills-only
// exit, no bill at a coins-only one. Markers (negative counts) count as none.
bool ExitAllowsCounts(int32_t current_exit, const CashCounts& counts);
// Whether |amount| yen may be paid as change at |current_exit|: a multiple
// of 1000 at a bills-only exit, below 1000 at the coins-only one.
bool ExitAllowsAmount(int32_t current_exit, int64_t amount);

// --- piece limits --------------------------------------------------------------

// The KRT03 pays at most |coin_limit| coins in one pay-out, and at most
// |limit_500| of them 500-yen coins.
bool WithinCoinLimits(const CashCounts& counts, int32_t coin_limit, int32_t limit_500);

// --- deposit-table pay-out ----------------------------------------------------------

// The ten counts the deposit table is sent for |mode| (0..3), given the
// requested counts and the stock the device holds (set A): modes 2 and 3
// name nothing (every field kKeywordPlace); modes 0 and 1 send the request,
// except that when every requested count is either kAllPieces or the whole
// stock of its denomination, each whole-stock count becomes kAllPieces (the
// device then pays all of it, even if the kept stock is a little behind).
// Nothing for a mode outside 0..3.
std::optional<CashCounts> DepositTableCounts(int32_t mode, const CashCounts& requested, const CashCounts& held);

// --- exchange mode ---------------------------------------------------------------------

// How an exchange-mode DispenseCash goes on.
struct ExchangePlan {
  enum class Kind {
    kNormal,     // pay as in normal mode (no 10000-yen notes asked for)
    kHandOver,   // hand |text| to the take-back / deposit-table command
    kRefused,    // the 10000-yen notes cannot come out as asked: 114 / 201
  };
  Kind kind = Kind::kNormal;
  std::string text;
};
// |requested| holds the parsed counts (kAllPieces for "FFF"); |empty_text| is
// true for an empty request, which is handed over as given (|given_text|).
// Set A is the stock, set B the collection box.
ExchangePlan PlanExchangeDispense(bool krt02, std::string_view given_text, const CashCounts& requested,
                                  const CashCounts& set_a, const CashCounts& set_b);

// --- what a pay-out paid -------------------------------------------------------------------

// The pieces that left the stock between two count reads: |before| − |after|
// per denomination. Nothing when a denomination grew (the reads do not
// describe one pay-out, so the part paid cannot be told).
std::optional<CashCounts> PaidBetween(const CashCounts& before, const CashCounts& after);

}  // namespace vexokrt::cash
