// SPDX-License-Identifier: Apache-2.0
// The reading and paying-out members of the service object: ReadCashCounts,
// DispenseCash and DispenseChange, with their frames and state checks;
// CashService (cash_service.h) does the device work, and the PayoutService
// tells what a pay-out paid.
#include <string>

#include "service/cash_changer.h"
#include "service/cash_service.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

constexpr std::string_view kTraceDispenseCash = "CCashChanger::DispenseCash";
constexpr std::string_view kTraceDispenseChange = "CCashChanger::DispenseChange";
constexpr std::string_view kTraceReadCashCounts = "CCashChanger::ReadCashCounts";

}  // namespace

// --- the frame --------------------------------------------------------------------------

int32_t CCashChanger::EndCall(std::string_view trace_name, MethodCode code, long argument, opos::OposResult result) {
  Record(1, 100 + static_cast<long>(code), argument, result);
  return FinishCall(trace_name, result);
}

int32_t CCashChanger::StateChecks() {
  if (const int32_t refused = ClaimedCheck(); refused != OPOS_SUCCESS) return refused;
  if (!switches_.device_enabled.load()) return OPOS_E_DISABLED;
  if (State() == OPOS_S_BUSY) return OPOS_E_BUSY;
  return OPOS_SUCCESS;
}

std::string CCashChanger::last_short_payout() { return payouts_ ? payouts_->last_short_payout() : std::string(); }

// --- ReadCashCounts ------------------------------------------------------------------

int32_t CCashChanger::ReadCashCounts(std::string* cash_counts, bool* discrepancy) {
  TraceEnter(kTraceReadCashCounts);
  Record(1, static_cast<long>(MethodCode::kReadCashCounts), 0, 0);
  const int32_t refused = StateChecks();
  if (refused != OPOS_SUCCESS) return EndCall(kTraceReadCashCounts, MethodCode::kReadCashCounts, 0, refused);
  const opos::OposResult result = cash_->ReadCashCounts(cash_counts, discrepancy);
  return EndCall(kTraceReadCashCounts, MethodCode::kReadCashCounts, 0, result);
}

// --- DispenseCash -----------------------------------------------------------------------

int32_t CCashChanger::DispenseCash(std::string_view cash_counts) {
  const std::string param =
      Format("  Param:   CashCounts is %.*s", static_cast<int>(cash_counts.size()), cash_counts.data());
  TraceEnter(kTraceDispenseCash, param);
  Record(1, static_cast<long>(MethodCode::kDispenseCash), 0, 0);
  opos::OposResult result = ClaimedCheck();
  if (result == OPOS_SUCCESS && !switches_.device_enabled.load()) result = OPOS_E_DISABLED;
  if (result == OPOS_SUCCESS) result = cash_->DispenseCash(cash_counts);
  return EndCall(kTraceDispenseCash, MethodCode::kDispenseCash, 0, result);
}

// --- DispenseChange -----------------------------------------------------------------------

int32_t CCashChanger::DispenseChange(int32_t amount) {
  TraceEnter(kTraceDispenseChange, Format("  Param:   Amount is %ld", static_cast<long>(amount)));
  Record(1, static_cast<long>(MethodCode::kDispenseChange), amount, 0);
  opos::OposResult result = StateChecks();
  if (result == OPOS_SUCCESS) result = cash_->DispenseChange(amount);
  return EndCall(kTraceDispenseChange, MethodCode::kDispenseChange, amount, result);
}

}  // namespace vexokrt::service
