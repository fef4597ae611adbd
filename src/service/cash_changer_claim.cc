// SPDX-License-Identifier: Apache-2.0
// Claiming, releasing and enabling the cash changer: the members' frames
// and state checks; ClaimService (claim_service.h) does the device work.
#include <memory>
#include <utility>

#include "device/changer_device.h"
#include "service/cash_changer.h"
#include "service/claim_service.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

constexpr std::string_view kTraceClaim = "CCashChanger::Claim";
constexpr std::string_view kTraceClaimDevice = "CCashChanger::ClaimDevice";
constexpr std::string_view kTraceReleaseDevice = "CCashChanger::ReleaseDevice";
constexpr std::string_view kTraceDeviceEnabled = "CCashChanger::DoDeviceEnabled";

constexpr long kClaimEntry = 3;
constexpr long kClaimExit = 103;
constexpr long kReleaseEntry = 4;
constexpr long kReleaseExit = 104;

}  // namespace

// --- Claim ----------------------------------------------------------------------

int32_t CCashChanger::Claim(int32_t timeout) {
  TraceEnter(kTraceClaim, Format("  Param:   Timeout is %ld", static_cast<long>(timeout)));
  Record(1, kClaimEntry, 0, 0);
  opos::OposResult result = OPOS_SUCCESS;
  if (!claimed_) {
    if (State() == OPOS_S_CLOSED || !device_) {
      result = OPOS_E_CLOSED;
    } else {
      result = claims_->Claim(timeout, [this](std::unique_ptr<events::EventRecord> record) {
        return PostFireEvent(std::move(record));
      });
      claimed_ = result == OPOS_SUCCESS;
    }
  }
  Record(1, kClaimExit, 0, result);
  return FinishCall(kTraceClaim, result);
}

int32_t CCashChanger::ClaimDevice(int32_t timeout) {
  TraceEnter(kTraceClaimDevice);
  return Claim(timeout);
}

// --- Release -----------------------------------------------------------------------

int32_t CCashChanger::Release() {
  TraceEnter(kTraceReleaseDevice);
  Record(1, kReleaseEntry, 0, 0);
  if (!claimed_) {
    Record(1, kReleaseExit, 0, OPOS_E_ILLEGAL);
    return FinishCall(kTraceReleaseDevice, OPOS_E_ILLEGAL);
  }
  if (State() == OPOS_S_BUSY) {
    Record(1, kReleaseExit, 0, OPOS_E_BUSY);
    return FinishCall(kTraceReleaseDevice, OPOS_E_BUSY);
  }
  // A deposit under way stops taking cash before the application goes.
  deposits_->CloseForRelease();
  if (switches_.device_enabled.load()) SetDeviceEnabled(0);
  claims_->Release();
  claimed_ = false;
  Record(1, kReleaseExit, 0, OPOS_SUCCESS);
  return FinishCall(kTraceReleaseDevice, OPOS_SUCCESS);
}

int32_t CCashChanger::ReleaseDevice() {
  TraceEnter(kTraceReleaseDevice);
  return Release();
}

// --- DeviceEnabled -----------------------------------------------------------------

void CCashChanger::SetDeviceEnabled(int32_t value) {
  TraceEnter(kTraceDeviceEnabled, Format("  Param:   Number is %ld", static_cast<long>(value)));
  Record(2, 1, value, 0);
  opos::OposResult result = ClaimedCheck();
  if (result == OPOS_SUCCESS) {
    const bool wanted = value != 0;
    if (wanted == switches_.device_enabled.load()) {
      if (!wanted) {
        result = OPOS_SUCCESS;
      } else if (State() == OPOS_S_BUSY) {
        result = OPOS_E_BUSY;
      } else {
        result = claims_->Enable(true);
      }
    } else {
      if (wanted) {
        result = claims_->Enable(false);
      } else if (State() == OPOS_S_BUSY) {
        result = OPOS_E_BUSY;
      } else {
        claims_->Disable();
      }
    }
  }
  Record(2, 101, value, result);
  FinishCall(kTraceDeviceEnabled, result);
}

}  // namespace vexokrt::service
