// SPDX-License-Identifier: Apache-2.0
// Layouts of the device's data answers other than the status record. Pure
// functions of what they report.
#pragma once

#include <array>
#include <string>

#include "sim/cash.h"
#include "sim/fields.h"
#include "sim/model.h"

namespace vexokrt::sim {

// ":00": 28 characters; 0-19 the maker's banner, 20-26 the model name, 27 the
// hardware revision.
Bytes ModelNameAnswer(Model model, bool mode_a);

// Counts answer of the KRT02 family, KRT07 and KRT77, 70 characters:
// 0-11 set A bills 2000, 10000, 5000, 1000 (3 digits each); 12-23 the same for
// set B; 24-41 set A coins 500, 100, 50, 10, 5, 1; 42 '0'+discrepancy bits;
// 43-51 '0'; 52-69 set B coins. Set A is the stock, set B the box.
Bytes CountsAnswer(const CashCounts& set_a, const CashCounts& set_b, int discrepancy_bits);
// KRT03: one set per answer, ten 3-digit fields in device order (30 characters).
Bytes CountsAnswerKrt03(const CashCounts& set);

// "o00": the deposit counts in device order, "000", then the bill and the coin
// reject counters as one digit each (counting on from 9 to 0): 35 characters.
Bytes DepositCountsAnswer(const CashCounts& counted, int bill_rejects, int coin_rejects);
// ",00": the same without the "000": 32 characters.
Bytes DepositCountsShortAnswer(const CashCounts& counted, int bill_rejects, int coin_rejects);
// ".00": counts handed out by the last take-back, repay or table pay-out: 30 characters.
Bytes ReturnedCountsAnswer(const CashCounts& returned);

// "[00": coin stock 500 .. 1 (18 digits), "000000", then the coin unit's state
// ('3' while it works on "\00", '0' otherwise) and its two warning characters.
Bytes CoinStateAnswer(const CashCounts& stock, bool coin_unit_busy, int warning_p, int warning_q);

// "]00", 120 characters: 0-29 stock in device order; 33-72 lifetime deposited
// pieces, 4 digits, device order; 81-92 bills in the box 10000, 5000, 2000,
// 1000; 96-111 lifetime collected bills, 4 digits, same order; the rest '0'.
Bytes CountTableAnswer(const CashCounts& stock, const CashCounts& box, const CashCounts& lifetime_deposited,
                       const CashCounts& lifetime_collected);

// "Y00", 40 characters: stock + box per denomination in device order, the
// rejects of the current or last deposit, the total yen (6 digits, modulo
// 1000000), then '0'.
Bytes CountSummaryAnswer(const CashCounts& stock, const CashCounts& box, int rejects);

// "q00", 33 characters: the pieces of the last change in device order, then "000".
Bytes LastChangeAnswer(const CashCounts& last_change);

// "u01", 73 characters: block 1 (30), "000", block 2 (30), "000", a 6-digit
// amount, one digit.
Bytes TwoBlockAnswer(const CashCounts& first, const CashCounts& second, long amount, int digit);

// "Z00", 30 characters: six five-character versions: coin unit, bill unit,
// discriminator, device program (15-19), attached unit, definition file.
Bytes VersionAnswer(const std::string& program_version);

}  // namespace vexokrt::sim
