// SPDX-License-Identifier: Apache-2.0
// The trading log's counters as named statistics: each line of the report
// (trading_log.h) under an English name made of its words, so that
// applications that collect device statistics see "CoinDepositCount" where
// the report says "硬貨入金回数". The power-on hours are also the standard
// statistic HoursPoweredCount.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devlog/trading_log.h"

namespace vexokrt::devlog {

// The label's English name: the words of the label without its qualifier,
// then the qualifier's ("DepositPieces10000Yen" for "入金枚数(    １万円),").
// A label of words this table does not know gives "TradingLogField" and
// its block offset, so every line still has a name of its own.
std::string TradingStatisticName(const TradingLogField& field);

// The label of the power-on hours ("通電時間(H),").
inline constexpr std::string_view kPoweredHoursLabel = "通電時間(H),";

struct NamedStatistic {
  std::string name;
  std::string value;
};

// The report lines of |layout| (in its order) as named statistics.
std::vector<NamedStatistic> TradingStatistics(std::span<const TradingLogField> layout,
                                              const std::vector<TradingLogLine>& lines);

}  // namespace vexokrt::devlog
