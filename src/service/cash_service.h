// SPDX-License-Identifier: Apache-2.0
// CashService: the device work of reading the cash counts and of paying
// out, once the members' state checks have passed. ReadCashCounts answers
// the counts the watch keeps (read again when stale or while a deposit
// runs) or, in exchange mode, counts the machine first (one job, with the
// trading log read after it). DispenseCash and DispenseChange check the
// request against the exit, the limits and a fresh status, then pay as one
// operation of the device layer (the history fetch waits) whose job ends
// the device phase; what a pay-out paid is told by the PayoutService. In
// exchange mode a DispenseCash is handed on as the DirectIO pay-out.
//
// One exists for each device layer, from OpenService to Close.
// Application's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "opos/opos.h"
#include "service/service_parts.h"

namespace vexokrt::service {

class CashService : private UsesServiceParts {
 public:
  // |state| reads the service object's State; |hand_over| runs an exchange
  // mode pay-out of the cash-count text it is given as the DirectIO
  // command that pays it. Everything must outlive this.
  CashService(const ServiceParts& parts, std::function<int32_t()> state,
              std::function<opos::OposResult(const std::string& text)> hand_over);
  CashService(const CashService&) = delete;
  CashService& operator=(const CashService&) = delete;

  opos::OposResult ReadCashCounts(std::string* cash_counts, bool* discrepancy);
  // DispenseCash of a claimed, enabled device.
  opos::OposResult DispenseCash(std::string_view text);
  opos::OposResult DispenseChange(int32_t amount);
  // AdjustCashCounts: the counts of the denominations |text| names replace
  // the machine's (the set-counts command "S21" with the other counts as
  // the machine reports them). KRT07 and KRT77 only; 106 for a text the
  // cash-count rules refuse (keywords and "FFF" included) or a count above
  // 999, with nothing sent.
  opos::OposResult AdjustCashCounts(std::string_view text);
  // The exit setting sent before a deposit-table pay-out (DispenseCashExit
  // 0); also DirectIO's.
  opos::OposResult SendPayoutExitSetting(int32_t exit);

 private:
  opos::OposResult ReadCashCountsNormal(std::string* cash_counts, bool* discrepancy);
  opos::OposResult ReadCashCountsExchange(std::string* cash_counts, bool* discrepancy);
  // The count of exchange mode and its answer (inside its job).
  opos::OposResult CountForExchange(int32_t exit, std::string* cash_counts, bool* discrepancy);
  // A pay-out's device work |work| as one job of one operation of the
  // device layer; the device phase ends with it. Its result, or 107 when
  // the job could not run.
  opos::OposResult PayoutJob(const std::function<opos::OposResult()>& work);

  std::function<int32_t()> state_;
  std::function<opos::OposResult(const std::string& text)> hand_over_;
};

}  // namespace vexokrt::service
