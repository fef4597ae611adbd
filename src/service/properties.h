// SPDX-License-Identifier: Apache-2.0
// The OPOS properties of the CashChanger: index numbers, names and kinds.
// Header-only, so that host programs that only talk to the service object
// through its dispatch interface can name properties too.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/reg_file.h"

namespace vexokrt::service {

// The OPOS property index numbers.
namespace pidx {
inline constexpr int32_t kClaimed = 1;
inline constexpr int32_t kDataEventEnabled = 2;
inline constexpr int32_t kDeviceEnabled = 3;
inline constexpr int32_t kFreezeEvents = 4;
inline constexpr int32_t kResultCode = 6;
inline constexpr int32_t kResultCodeExtended = 7;
inline constexpr int32_t kServiceObjectVersion = 8;
inline constexpr int32_t kState = 9;
inline constexpr int32_t kBinaryConversion = 11;
inline constexpr int32_t kDataCount = 12;
inline constexpr int32_t kPowerNotify = 13;
inline constexpr int32_t kPowerState = 14;
inline constexpr int32_t kCapPowerReporting = 501;
inline constexpr int32_t kCapStatisticsReporting = 502;
inline constexpr int32_t kCapUpdateStatistics = 503;
inline constexpr int32_t kCapCompareFirmwareVersion = 504;
inline constexpr int32_t kCapUpdateFirmware = 505;
inline constexpr int32_t kAsyncMode = 13001;
inline constexpr int32_t kAsyncResultCode = 13002;
inline constexpr int32_t kAsyncResultCodeExtended = 13003;
inline constexpr int32_t kCurrentExit = 13004;
inline constexpr int32_t kDeviceExits = 13005;
inline constexpr int32_t kDeviceStatus = 13006;
inline constexpr int32_t kFullStatus = 13007;
inline constexpr int32_t kDepositAmount = 13008;
inline constexpr int32_t kDepositStatus = 13009;
inline constexpr int32_t kCurrentService = 13010;
inline constexpr int32_t kRealTimeDataEnabled = 13011;
inline constexpr int32_t kServiceCount = 13012;
inline constexpr int32_t kServiceIndex = 13013;
inline constexpr int32_t kCapDiscrepancy = 13501;
inline constexpr int32_t kCapEmptySensor = 13502;
inline constexpr int32_t kCapFullSensor = 13503;
inline constexpr int32_t kCapNearEmptySensor = 13504;
inline constexpr int32_t kCapNearFullSensor = 13505;
inline constexpr int32_t kCapDeposit = 13506;
inline constexpr int32_t kCapDepositDataEvent = 13507;
inline constexpr int32_t kCapPauseDeposit = 13508;
inline constexpr int32_t kCapRepayDeposit = 13509;
inline constexpr int32_t kCapJamSensor = 13510;
inline constexpr int32_t kCapRealTimeData = 13511;
inline constexpr int32_t kCheckHealthText = 1000001;
inline constexpr int32_t kDeviceDescription = 1000002;
inline constexpr int32_t kDeviceName = 1000003;
inline constexpr int32_t kServiceObjectDescription = 1000004;
inline constexpr int32_t kCurrencyCashList = 1013001;
inline constexpr int32_t kCurrencyCode = 1013002;
inline constexpr int32_t kCurrencyCodeList = 1013003;
inline constexpr int32_t kExitCashList = 1013004;
inline constexpr int32_t kDepositCashList = 1013005;
inline constexpr int32_t kDepositCodeList = 1013006;
inline constexpr int32_t kDepositCounts = 1013007;
}  // namespace pidx

// One property of the table: its index, its name as traced, whether it is
// read with GetPropertyString, and the release 1.<since_minor> of the class
// that added it (a service object reporting an older release answers it as
// an unknown index).
struct PropertyInfo {
  int32_t index;
  const char* name;
  bool is_string;
  int32_t since_minor = 0;
};

// Every property the service object answers, numbers first.

inline constexpr std::array<PropertyInfo, 52> kProperties = {{
    {pidx::kClaimed, "Claimed", false},
    {pidx::kDataEventEnabled, "DataEventEnabled", false},
    {pidx::kDeviceEnabled, "DeviceEnabled", false},
    {pidx::kFreezeEvents, "FreezeEvents", false},
    {pidx::kResultCode, "ResultCode", false},
    {pidx::kResultCodeExtended, "ResultCodeExtended", false},
    {pidx::kServiceObjectVersion, "ServiceObjectVersion", false},
    {pidx::kState, "State", false},
    {pidx::kBinaryConversion, "BinaryConversion", false},
    {pidx::kDataCount, "DataCount", false},
    {pidx::kPowerNotify, "PowerNotify", false},
    {pidx::kPowerState, "PowerState", false},
    {pidx::kCapPowerReporting, "CapPowerReporting", false},
    {pidx::kCapStatisticsReporting, "CapStatisticsReporting", false, 8},
    {pidx::kCapUpdateStatistics, "CapUpdateStatistics", false, 8},
    {pidx::kCapCompareFirmwareVersion, "CapCompareFirmwareVersion", false, 9},
    {pidx::kCapUpdateFirmware, "CapUpdateFirmware", false, 9},
    {pidx::kAsyncMode, "AsyncMode", false},
    {pidx::kAsyncResultCode, "AsyncResultCode", false},
    {pidx::kAsyncResultCodeExtended, "AsyncResultCodeExtended", false},
    {pidx::kCurrentExit, "CurrentExit", false},
    {pidx::kDeviceExits, "DeviceExits", false},
    {pidx::kDeviceStatus, "DeviceStatus", false},
    {pidx::kFullStatus, "FullStatus", false},
    {pidx::kDepositAmount, "DepositAmount", false},
    {pidx::kDepositStatus, "DepositStatus", false},
    {pidx::kCurrentService, "CurrentService", false, 11},
    {pidx::kRealTimeDataEnabled, "RealTimeDataEnabled", false, 11},
    {pidx::kServiceCount, "ServiceCount", false, 11},
    {pidx::kServiceIndex, "ServiceIndex", false, 11},
    {pidx::kCapDiscrepancy, "CapDiscrepancy", false},
    {pidx::kCapEmptySensor, "CapEmptySensor", false},
    {pidx::kCapFullSensor, "CapFullSensor", false},
    {pidx::kCapNearEmptySensor, "CapNearEmptySensor", false},
    {pidx::kCapNearFullSensor, "CapNearFullSensor", false},
    {pidx::kCapDeposit, "CapDeposit", false},
    {pidx::kCapDepositDataEvent, "CapDepositDataEvent", false},
    {pidx::kCapPauseDeposit, "CapPauseDeposit", false},
    {pidx::kCapRepayDeposit, "CapRepayDeposit", false},
    {pidx::kCapJamSensor, "CapJamSensor", false, 11},
    {pidx::kCapRealTimeData, "CapRealTimeData", false, 11},
    {pidx::kCheckHealthText, "CheckHealthText", true},
    {pidx::kDeviceDescription, "DeviceDescription", true},
    {pidx::kDeviceName, "DeviceName", true},
    {pidx::kServiceObjectDescription, "ServiceObjectDescription", true},
    {pidx::kCurrencyCashList, "CurrencyCashList", true},
    {pidx::kCurrencyCode, "CurrencyCode", true},
    {pidx::kCurrencyCodeList, "CurrencyCodeList", true},
    {pidx::kExitCashList, "ExitCashList", true},
    {pidx::kDepositCashList, "DepositCashList", true},
    {pidx::kDepositCodeList, "DepositCodeList", true},
    {pidx::kDepositCounts, "DepositCounts", true},
}};


// The entry of |name| (compared case-insensitively) or of |index|; null when
// there is none.
inline const PropertyInfo* FindProperty(std::string_view name) {
  for (const PropertyInfo& info : kProperties) {
    if (platform::RegNamesEqual(info.name, name)) return &info;
  }
  return nullptr;
}
inline const PropertyInfo* FindProperty(int32_t index) {
  for (const PropertyInfo& info : kProperties) {
    if (info.index == index) return &info;
  }
  return nullptr;
}

inline constexpr char kAllCashList[] = "1,5,10,50,100,500;1000,2000,5000,10000";
inline constexpr char kBillCashList[] = ";1000,2000,5000,10000";
inline constexpr char kCoinCashList[] = "1,5,10,50,100,500";

}  // namespace vexokrt::service
