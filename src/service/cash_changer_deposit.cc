// SPDX-License-Identifier: Apache-2.0
// The deposit members of the service object: BeginDeposit opens the intake,
// PauseDeposit stops and restarts it, FixDeposit closes it and fixes the
// counted cash, EndDeposit keeps the cash (with or without change) or hands
// it back, ClearInput drops the data events not yet delivered.
//
// While a deposit is under way the communication thread polls every 50 ms;
// its status interpreter moves DepositStatus between started (1) and
// counting (4) and queues a data event whenever the deposit counts change.
// The operation-history fetch stays paused from BeginDeposit to the end of
// the deposit. The members make the state checks; DepositService
// (deposit_service.h) does the rest.
#include <algorithm>

#include "cash/cash_counts.h"
#include "cash/cash_rules.h"
#include "device/changer_device.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

constexpr std::string_view kTraceClearInput = "CCashChanger::ClearInput";
constexpr std::string_view kTraceBeginDeposit = "CCashChanger::BeginDeposit";
constexpr std::string_view kTraceEndDeposit = "CCashChanger::EndDeposit";
constexpr std::string_view kTraceFixDeposit = "CCashChanger::FixDeposit";
constexpr std::string_view kTracePauseDeposit = "CCashChanger::PauseDeposit";

}  // namespace

int32_t CCashChanger::BeginDeposit() {
  TraceEnter(kTraceBeginDeposit);
  Record(1, static_cast<long>(MethodCode::kBeginDeposit), 0, 0);
  opos::OposResult result = StateChecks();
  if (result == OPOS_SUCCESS) result = deposits_->Begin();
  return EndCall(kTraceBeginDeposit, MethodCode::kBeginDeposit, 0, result);
}

int32_t CCashChanger::PauseDeposit(int32_t control) {
  TraceEnter(kTracePauseDeposit, Format("  Param:   Control is %ld", static_cast<long>(control)));
  Record(1, static_cast<long>(MethodCode::kPauseDeposit), control, 0);
  opos::OposResult result = StateChecks();
  if (result == OPOS_SUCCESS) result = deposits_->Pause(control);
  return EndCall(kTracePauseDeposit, MethodCode::kPauseDeposit, control, result);
}

int32_t CCashChanger::FixDeposit() {
  TraceEnter(kTraceFixDeposit);
  Record(1, static_cast<long>(MethodCode::kFixDeposit), 0, 0);
  // The model is checked before busy: an unknown device refuses the call
  // even while a request is out.
  opos::OposResult result = ClaimedCheck();
  if (result == OPOS_SUCCESS && !switches_.device_enabled.load()) result = OPOS_E_DISABLED;
  if (result == OPOS_SUCCESS && claimed_model_ == ModelCode::kUnknown) result = OPOS_E_ILLEGAL;
  if (result == OPOS_SUCCESS && State() == OPOS_S_BUSY) result = OPOS_E_BUSY;
  if (result == OPOS_SUCCESS) result = deposits_->Fix();
  return EndCall(kTraceFixDeposit, MethodCode::kFixDeposit, 0, result);
}

int32_t CCashChanger::EndDeposit(int32_t success) {
  TraceEnter(kTraceEndDeposit, Format("  Param:   Success is %ld", static_cast<long>(success)));
  Record(1, static_cast<long>(MethodCode::kEndDeposit), success, 0);
  opos::OposResult result = StateChecks();
  if (result == OPOS_SUCCESS) result = deposits_->End(success);
  return EndCall(kTraceEndDeposit, MethodCode::kEndDeposit, success, result);
}

// --- ClearInput -------------------------------------------------------------------------

int32_t CCashChanger::ClearInput() {
  TraceEnter(kTraceClearInput);
  Record(1, static_cast<long>(MethodCode::kClearInput), 0, 0);
  int32_t result = StateChecks();
  if (result == OPOS_SUCCESS) {
    events_.DropDataEvents();
    if (claimed_model_ != ModelCode::kUnknown) deposits_->TakeKeptCounts(false);
  }
  return EndCall(kTraceClearInput, MethodCode::kClearInput, 0, result);
}

}  // namespace vexokrt::service
