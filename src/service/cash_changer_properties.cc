// SPDX-License-Identifier: Apache-2.0
// The OPOS properties of the service object: reading by index, and the
// seven writable ones with their checks.
#include <array>

#include "device/changer_device.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

// The list of exit |exit| (1..7).
const char* CashListOfExit(int32_t exit) {
  switch (exit) {
    case 2:
    case 5:
    case 7:
      return kBillCashList;
    case 3:
      return kCoinCashList;
    default:
      return kAllCashList;
  }
}

// DepositStatus: jammed while the device is; with DepositStatusRv 1 a
// started deposit reads as ended while the machine marks cash as handled.
// |device| is null while closed.
int32_t ReadDepositStatus(ChangerDevice* device, DepositSession& deposit, const config::DeviceConfig& config) {
  if (device != nullptr && device->DeviceStatus() == CHAN_STATUS_JAM) return CHAN_STATUS_DEPOSIT_JAM;
  const int32_t stored = deposit.Status();
  if (stored == CHAN_STATUS_DEPOSIT_START && config.deposit_status_rv == 1 && device != nullptr &&
      (device->HandlingMarkByte7() || device->HandlingMarkByte8())) {
    return CHAN_STATUS_DEPOSIT_END;
  }
  return stored;
}

}  // namespace


int32_t CCashChanger::GetPropertyNumber(int32_t index) {
  const PropertyInfo* info = FindProperty(index);
  if (info == nullptr || info->is_string || info->since_minor > upos_minor_) return 0;
  int32_t value = 0;
  switch (index) {
    case pidx::kClaimed:
      value = claimed_ ? 1 : 0;
      break;
    case pidx::kDataEventEnabled:
      value = events_.DataEventEnabled() ? 1 : 0;
      break;
    case pidx::kDeviceEnabled:
      value = switches_.device_enabled.load() ? 1 : 0;
      break;
    case pidx::kFreezeEvents:
      value = events_.FreezeEvents() ? 1 : 0;
      break;
    case pidx::kResultCode:
      value = result_code_;
      break;
    case pidx::kResultCodeExtended:
      value = result_code_extended_.load();
      break;
    case pidx::kServiceObjectVersion:
      value = service_object_version_;
      break;
    case pidx::kState:
      value = State();
      break;
    case pidx::kBinaryConversion:
      value = props_.binary_conversion;
      break;
    case pidx::kDataCount:
      value = events_.CountDataEvents();
      break;
    case pidx::kPowerNotify:
      value = switches_.power_notify.load();
      break;
    case pidx::kPowerState:
      value = switches_.device_enabled.load() && switches_.power_notify.load() == 1 && device_ ? device_->PowerState()
                                                                             : OPOS_PS_UNKNOWN;
      break;
    case pidx::kCapPowerReporting:
    case pidx::kCapDiscrepancy:
    case pidx::kCapEmptySensor:
    case pidx::kCapFullSensor:
    case pidx::kCapNearEmptySensor:
    case pidx::kCapNearFullSensor:
      value = 1;
      break;
    case pidx::kAsyncMode:
      value = props_.async_mode;
      break;
    case pidx::kAsyncResultCode:
      value = async_.result_code();
      break;
    case pidx::kAsyncResultCodeExtended:
      value = async_.result_code_extended();
      break;
    case pidx::kCurrentExit:
      value = switches_.current_exit.load();
      break;
    case pidx::kDeviceExits:
      value = props_.device_exits;
      break;
    case pidx::kDeviceStatus:
      value = device_ ? device_->DeviceStatus() : 0;
      break;
    case pidx::kFullStatus:
      value = device_ ? device_->FullStatus() : 0;
      break;
    case pidx::kDepositAmount:
      value = deposit_.Amount();
      break;
    case pidx::kDepositStatus:
      value = ReadDepositStatus(device_.get(), deposit_, config_);
      break;
    case pidx::kCapDeposit:
      value = props_.cap_deposit;
      break;
    case pidx::kCapDepositDataEvent:
      value = props_.cap_deposit_data_event;
      break;
    case pidx::kCapPauseDeposit:
      value = props_.cap_pause_deposit;
      break;
    case pidx::kCapRepayDeposit:
      value = props_.cap_repay_deposit;
      break;
    // Statistics and AdjustCashCounts go through the device; firmware only
    // to the KRT07 family, which takes program downloads.
    case pidx::kCapStatisticsReporting:
    case pidx::kCapUpdateStatistics:
    case pidx::kCapJamSensor:
    case pidx::kCapRealTimeData:
      value = 1;
      break;
    case pidx::kCapCompareFirmwareVersion:
    case pidx::kCapUpdateFirmware:
      value = IsKrt07Family(claimed_model_) ? 1 : 0;
      break;
    case pidx::kRealTimeDataEnabled:
      value = real_time_data_enabled_ ? 1 : 0;
      break;
    case pidx::kCurrentService:
    case pidx::kServiceCount:
    case pidx::kServiceIndex:
      value = 0;
      break;
    default:
      return 0;
  }
  trace_log_->Write(diag::kLevelInfo, diag::kTagPropGet, Format("  %s is %ld", info->name, static_cast<long>(value)));
  return value;
}

std::string CCashChanger::GetPropertyString(int32_t index) {
  const PropertyInfo* info = FindProperty(index);
  if (info == nullptr || !info->is_string) return {};
  std::string value;
  switch (index) {
    case pidx::kCheckHealthText:
      value = props_.check_health_text;
      break;
    case pidx::kDeviceDescription:
      value = props_.device_description;
      break;
    case pidx::kDeviceName:
      value = props_.device_name;
      break;
    case pidx::kServiceObjectDescription:
      value = service_object_description_;
      break;
    case pidx::kCurrencyCashList:
      value = kAllCashList;
      break;
    case pidx::kCurrencyCode:
      value = props_.currency_code;
      break;
    case pidx::kCurrencyCodeList:
      value = "JPY";
      break;
    case pidx::kExitCashList:
    case pidx::kDepositCashList: {
      // Derived from CurrentExit at each read; outside 1..7 the last value
      // stays.
      std::string& list = index == pidx::kExitCashList ? props_.exit_cash_list : props_.deposit_cash_list;
      const int32_t exit = switches_.current_exit.load();
      if (exit >= 1 && exit <= 7) list = CashListOfExit(exit);
      value = list;
      break;
    }
    case pidx::kDepositCodeList:
      value = props_.deposit_code_list;
      break;
    case pidx::kDepositCounts:
      value = deposit_.CountsText();
      break;
    default:
      return {};
  }
  trace_log_->Write(diag::kLevelInfo, diag::kTagPropGet, std::string("  ") + info->name + " is " + value);
  return value;
}

void CCashChanger::SetPropertyNumber(int32_t index, int32_t value) {
  // A property of a later release than the one served is no property.
  if (const PropertyInfo* info = FindProperty(index); info != nullptr && info->since_minor > upos_minor_) return;
  switch (index) {
    case pidx::kDataEventEnabled:
      return SetDataEventEnabled(value);
    case pidx::kDeviceEnabled:
      return SetDeviceEnabled(value);
    case pidx::kFreezeEvents:
      return SetFreezeEvents(value);
    case pidx::kBinaryConversion:
      return SetBinaryConversion(value);
    case pidx::kPowerNotify:
      return SetPowerNotifyValue(value);
    case pidx::kAsyncMode:
      return SetAsyncMode(value);
    case pidx::kCurrentExit:
      return SetCurrentExitValue(value);
    case pidx::kRealTimeDataEnabled:
      return SetRealTimeDataEnabled(value);
    case pidx::kCurrentService:
      return SetCurrentService(value);
    default:
      return;  // every other index is ignored
  }
}

void CCashChanger::SetPropertyString(int32_t index, std::string_view value) {
  if (index == pidx::kCurrencyCode) SetCurrencyCode(value);
}

// The ExamLog property codes P (kind 2, exit 100 + P): 1 DeviceEnabled,
// 2 CurrentExit, 3 DataEventEnabled, 4 AsyncMode, 5 PowerNotify,
// 6 BinaryConversion. A setter records P when it takes the value and
// 100 + P with its result.

void CCashChanger::SetAsyncMode(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoAsyncMode";
  TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS && !switches_.device_enabled.load()) result = OPOS_E_DISABLED;
  if (result == OPOS_SUCCESS) {
    props_.async_mode = value != 0 ? 1 : 0;
    Record(2, 4, value, 0);
  }
  Record(2, 104, value, result);
  FinishCall(kTrace, result);
}

void CCashChanger::SetFreezeEvents(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoFreezeEvents";
  // Checked and set under the freeze lock, so the delivery thread sees
  // the setter's outcome whole.
  int32_t result = OPOS_SUCCESS;
  events_.WithFreezeLock([&](bool& freeze) {
    TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
    result = ClaimedCheck();
    if (result == OPOS_SUCCESS) {
      freeze = value != 0;
    } else {
      Record(2, 101, value, result);
    }
    FinishCall(kTrace, result);
  });
}

void CCashChanger::SetPowerNotifyValue(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoPowerNotify";
  TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS && switches_.device_enabled.load()) result = OPOS_E_ILLEGAL;
  if (result == OPOS_SUCCESS && value != 0 && value != 1) result = OPOS_E_ILLEGAL;
  if (result == OPOS_SUCCESS) {
    switches_.power_notify.store(value);
    Record(2, 5, value, 0);
  }
  Record(2, 105, value, result);
  FinishCall(kTrace, result);
}

void CCashChanger::SetBinaryConversion(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoBinaryConversion";
  TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS && !switches_.device_enabled.load()) result = OPOS_E_DISABLED;
  if (result == OPOS_SUCCESS && (value < 0 || value > 2)) result = OPOS_E_ILLEGAL;
  if (result == OPOS_SUCCESS) {
    props_.binary_conversion = value;
    Record(2, 6, value, 0);
  }
  Record(2, 106, value, result);
  FinishCall(kTrace, result);
}

void CCashChanger::SetDataEventEnabled(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoDataEventEnabled";
  TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS && !switches_.device_enabled.load()) result = OPOS_E_DISABLED;
  if (result == OPOS_SUCCESS) {
    events_.SetDataEventEnabled(value != 0);
    Record(2, 3, value, 0);
  }
  Record(2, 103, value, result);
  FinishCall(kTrace, result);
}

void CCashChanger::SetCurrencyCode(std::string_view value) {
  constexpr std::string_view kTrace = "CCashChanger::DoCurrencyCode";
  TraceEnter(kTrace, Format("  Param:   String is %.*s", static_cast<int>(value.size()), value.data()));
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS && !switches_.device_enabled.load()) result = OPOS_E_DISABLED;
  if (result == OPOS_SUCCESS && value != "JPY") result = OPOS_E_ILLEGAL;
  if (result == OPOS_SUCCESS) props_.currency_code = std::string(value);
  FinishCall(kTrace, result);
}

void CCashChanger::SetCurrentExitValue(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoCurrentExit";
  TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
  opos::OposResult result = ClaimedCheck();
  if (result == OPOS_SUCCESS && !switches_.device_enabled.load()) result = OPOS_E_DISABLED;
  if (result == OPOS_SUCCESS) result = claims_->SetCurrentExit(value);
  if (result == OPOS_SUCCESS) Record(2, 2, value, 0);
  Record(2, 102, value, result);
  FinishCall(kTrace, result);
}

}  // namespace vexokrt::service
