// SPDX-License-Identifier: Apache-2.0
// The settings of one cash changer, read from the registry key of its OPOS
// device name:
//   HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\<name>
// except the two operation-mode values, which live under the same path in
// HKEY_CURRENT_USER.
//
// Every value is a registry text value. A value that is missing, is not
// text (a dword, say), or does not fit a 256-byte query takes its built-in
// default text. Numbers are the decimal number at the start of the text
// (stops at the first non-digit; no digits gives 0). Nothing is range-checked
// here: the users check what they need.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace vexokrt::config {

inline constexpr char kCashChangerKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashChanger";

// kCashChangerKey + "\" + device name.
std::string DeviceKeyPath(std::string_view device_name);

// The record the service object keeps from OpenService on. The initial
// values are the defaults, so a default-constructed record equals one read
// from an empty key.
struct DeviceConfig {
  std::string port = "COM1";                           // Port
  std::string port_initialize_string = "9600,E,8,1";   // Port_Initialize_String
  int32_t dispense_limit = 60;                         // DispenseLimit
  int32_t dispense_limit_500 = 25;                     // DispenseLimit_500
  int32_t watch_interval = 500;                        // WatchInterval, ms
  int32_t working_flag = 1;                            // no registry value: 1 at every read and every enable
  int32_t auto_negotiation = 0;                        // AutoNegotiation
  std::string operation_history;                       // OperationHistory
  std::string trading_log;                             // TradingLog
  std::string log_folder_name;                         // LogFolderName; a '/' is added when missing
  std::string log_file_name;                           // LogFileName
  int32_t log_folder_size = 0;                         // LogFolderSize
  std::string dbg_log_file_name;                       // DbgLogFileName
  int32_t dbg_log_level = -1;                          // DbgLogLevel
  std::string exm_log_file_name = "C:\\OPOS\\VexoKrt\\Krtlog\\ExamLog.txt";  // ExmLogFileName (no effect)
  int32_t exm_log_max_size = 358400;                   // ExmLogMaxSize, bytes
  int32_t dio_read_exchange = 0;                       // DioReadExchange
  int32_t operation_mode_initialize = 0;               // OperationMode_Initialize (current user)
  int32_t operation_mode_temporary = 0;                // OperationMode_Temporary (current user)
  int32_t end_deposit_timeout = 60000;                 // EndDepositTimeout, ms
  int32_t dispense_change_timeout = 86400000;          // DispenseChangeTimeout, ms
  int32_t dispense_cash_timeout = 86400000;            // DispenseCashTimeout, ms
  int32_t investigate_timeout = 180000;                // InvestigateTimeout, ms
  int32_t take_back_timeout = 50000;                   // TakeBackTimeout, ms
  int32_t operating_condition_setting_data1 = 0;       // OperatingConditionSettingData1
  int32_t operating_condition_setting_data2 = 4;       // OperatingConditionSettingData2
  int32_t operating_condition_setting_data3 = 0;       // OperatingConditionSettingData3
  int32_t operating_condition_setting_data4 = 0;       // OperatingConditionSettingData4
  int32_t operating_condition_setting_data5 = 0;       // OperatingConditionSettingData5
  int32_t default_current_exit = 1;                    // DefaultCurrentExit
  int32_t claim_relaxation = 0;                        // ClaimRelaxation
  int32_t deposit_evt_set = 0;                         // DepositEVTset
  std::string service = "C:\\OPOS\\VexoKrt\\";         // Service, folder of the maintenance files
  int32_t dispense_cash_exit = 0;                      // DispenseCashExit
  int32_t claim_non_event = 0;                         // ClaimNonEvent
  int32_t fix_deposit_timeout = 60000;                 // FixDepositTimeout, ms
  int32_t pause_deposit_set = 0;                       // PauseDepositSet
  int32_t fix_deposit_rcv = 0;                         // FixDepositRcv
  int32_t end_deposit_sts = 0;                         // EndDepositSts
  int32_t deposit_status_rv = 0;                       // DepositStatusRV
  int32_t claim_pass_setting = 0;                      // ClaimPassSetting
  int32_t read_cash_rsp_setting = 0;                   // ReadCashRspSetting
  std::string upos_version;                            // UposVersion: "1.6" .. "1.14"; absent is 1.6

  bool operator==(const DeviceConfig&) const = default;
};

// One registry value of the record, for tools that list or edit the key.
struct DeviceSetting {
  enum class Kind { kText, kNumber };
  const char* name;          // the registry value name as stored
  const char* default_text;  // what a missing value reads as
  platform::RegRoot root;    // where it is read
  Kind kind;
};

// The release 1.<minor> of the CashChanger class that UposVersion asks the
// service object to serve: "1.<minor>" with minor 6..14 (nothing else, no
// blanks). An empty text gives 6, the release of the members the service
// object always has; anything else gives nullopt (a value that is not a
// version, which the service object traces and then serves 1.6).
std::optional<int32_t> UposMinorVersion(std::string_view text);

// Every registry value of the record, in record order.
std::span<const DeviceSetting> DeviceSettings();

// The decimal number at the start of |text|: optional leading blanks and
// sign, then digits up to the first non-digit; 0 without digits. Values
// beyond 32 bits saturate.
int32_t LeadingDecimal(std::string_view text);

struct DeviceConfigReport {
  bool port_present = false;                    // Port was read from the registry
  bool port_initialize_string_present = false;  // Port_Initialize_String was
};

// Fills every field of |config| from the key |key_path| (each value is read
// with its own open of the key). Missing values, and a missing key, give the
// defaults.
DeviceConfigReport ReadDeviceConfig(std::string_view key_path, DeviceConfig* config);

// Stores |value| as the decimal text of OperationMode_Temporary under
// |key_path| of the current user, creating the key when needed. False when
// the key cannot be created or the value not set.
bool WriteOperationModeTemporary(std::string_view key_path, int32_t value);
// Writes "OperationMode_Initialize" under HKEY_CURRENT_USER (REG_SZ, decimal).
bool WriteOperationModeInitialize(std::string_view key_path, int32_t value);

// The folder of the maintenance files (settings file, device programs): the
// Service value cut after its last separator ('\\' or '/'), so "/srv/krt/"
// and "/srv/krt/any" both give "/srv/krt/". A value without a separator
// gives "" (the working folder). Any length is fine.
std::string MaintenanceFolder(std::string_view service);
// True when |name| can be joined to a folder without leaving it: not empty,
// no '/' or '\\', not "." or "..", no NUL or control bytes.
bool PlainFileName(std::string_view name);

}  // namespace vexokrt::config
