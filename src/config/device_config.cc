// SPDX-License-Identifier: Apache-2.0
#include "config/device_config.h"

#include <array>
#include <limits>
#include <variant>

namespace vexokrt::config {
namespace {

using platform::RegRoot;
constexpr auto kText = DeviceSetting::Kind::kText;
constexpr auto kNumber = DeviceSetting::Kind::kNumber;
constexpr auto kMachine = RegRoot::kLocalMachine;
constexpr auto kUser = RegRoot::kCurrentUser;

using Field = std::variant<std::string DeviceConfig::*, int32_t DeviceConfig::*>;

struct Binding {
  DeviceSetting setting;
  Field field;
};

// The record order. The working flag has no registry value and is set
// separately.
const std::array kBindings = {
    Binding{{"Port", "COM1", kMachine, kText}, &DeviceConfig::port},
    Binding{{"Port_Initialize_String", "9600,E,8,1", kMachine, kText}, &DeviceConfig::port_initialize_string},
    Binding{{"DispenseLimit", "60", kMachine, kNumber}, &DeviceConfig::dispense_limit},
    Binding{{"DispenseLimit_500", "25", kMachine, kNumber}, &DeviceConfig::dispense_limit_500},
    Binding{{"WatchInterval", "500", kMachine, kNumber}, &DeviceConfig::watch_interval},
    Binding{{"AutoNegotiation", "0", kMachine, kNumber}, &DeviceConfig::auto_negotiation},
    Binding{{"OperationHistory", "", kMachine, kText}, &DeviceConfig::operation_history},
    Binding{{"TradingLog", "", kMachine, kText}, &DeviceConfig::trading_log},
    Binding{{"LogFolderName", "", kMachine, kText}, &DeviceConfig::log_folder_name},
    Binding{{"LogFileName", "", kMachine, kText}, &DeviceConfig::log_file_name},
    Binding{{"LogFolderSize", "0", kMachine, kNumber}, &DeviceConfig::log_folder_size},
    Binding{{"DbgLogFileName", "", kMachine, kText}, &DeviceConfig::dbg_log_file_name},
    Binding{{"DbgLogLevel", "-1", kMachine, kNumber}, &DeviceConfig::dbg_log_level},
    Binding{{"ExmLogFileName", "C:\\OPOS\\VexoKrt\\Krtlog\\ExamLog.txt", kMachine, kText},
            &DeviceConfig::exm_log_file_name},
    Binding{{"ExmLogMaxSize", "358400", kMachine, kNumber}, &DeviceConfig::exm_log_max_size},
    Binding{{"DioReadExchange", "0", kMachine, kNumber}, &DeviceConfig::dio_read_exchange},
    Binding{{"OperationMode_Initialize", "0", kUser, kNumber}, &DeviceConfig::operation_mode_initialize},
    Binding{{"OperationMode_Temporary", "0", kUser, kNumber}, &DeviceConfig::operation_mode_temporary},
    Binding{{"EndDepositTimeout", "60000", kMachine, kNumber}, &DeviceConfig::end_deposit_timeout},
    Binding{{"DispenseChangeTimeout", "86400000", kMachine, kNumber}, &DeviceConfig::dispense_change_timeout},
    Binding{{"DispenseCashTimeout", "86400000", kMachine, kNumber}, &DeviceConfig::dispense_cash_timeout},
    Binding{{"InvestigateTimeout", "180000", kMachine, kNumber}, &DeviceConfig::investigate_timeout},
    Binding{{"TakeBackTimeout", "50000", kMachine, kNumber}, &DeviceConfig::take_back_timeout},
    Binding{{"OperatingConditionSettingData1", "0", kMachine, kNumber},
            &DeviceConfig::operating_condition_setting_data1},
    Binding{{"OperatingConditionSettingData2", "4", kMachine, kNumber},
            &DeviceConfig::operating_condition_setting_data2},
    Binding{{"OperatingConditionSettingData3", "0", kMachine, kNumber},
            &DeviceConfig::operating_condition_setting_data3},
    Binding{{"OperatingConditionSettingData4", "0", kMachine, kNumber},
            &DeviceConfig::operating_condition_setting_data4},
    Binding{{"OperatingConditionSettingData5", "0", kMachine, kNumber},
            &DeviceConfig::operating_condition_setting_data5},
    Binding{{"DefaultCurrentExit", "1", kMachine, kNumber}, &DeviceConfig::default_current_exit},
    Binding{{"ClaimRelaxation", "0", kMachine, kNumber}, &DeviceConfig::claim_relaxation},
    Binding{{"DepositEVTset", "0", kMachine, kNumber}, &DeviceConfig::deposit_evt_set},
    Binding{{"Service", "C:\\OPOS\\VexoKrt\\", kMachine, kText}, &DeviceConfig::service},
    Binding{{"DispenseCashExit", "0", kMachine, kNumber}, &DeviceConfig::dispense_cash_exit},
    Binding{{"ClaimNonEvent", "0", kMachine, kNumber}, &DeviceConfig::claim_non_event},
    Binding{{"FixDepositTimeout", "60000", kMachine, kNumber}, &DeviceConfig::fix_deposit_timeout},
    Binding{{"PauseDepositSet", "0", kMachine, kNumber}, &DeviceConfig::pause_deposit_set},
    Binding{{"FixDepositRcv", "0", kMachine, kNumber}, &DeviceConfig::fix_deposit_rcv},
    Binding{{"EndDepositSts", "0", kMachine, kNumber}, &DeviceConfig::end_deposit_sts},
    Binding{{"DepositStatusRV", "0", kMachine, kNumber}, &DeviceConfig::deposit_status_rv},
    Binding{{"ClaimPassSetting", "0", kMachine, kNumber}, &DeviceConfig::claim_pass_setting},
    Binding{{"ReadCashRspSetting", "0", kMachine, kNumber}, &DeviceConfig::read_cash_rsp_setting},
    Binding{{"UposVersion", "", kMachine, kText}, &DeviceConfig::upos_version},
};

const std::array<DeviceSetting, kBindings.size()> kSettings = [] {
  std::array<DeviceSetting, kBindings.size()> settings{};
  for (size_t i = 0; i < kBindings.size(); ++i) settings[i] = kBindings[i].setting;
  return settings;
}();

// One value as the registry stand-in gives it to a 256-byte query; no value
// when it is missing, not text or too long.
bool ReadText(RegRoot root, std::string_view key_path, const char* name, std::string* text) {
  return platform::RegQueryString(root, key_path, name, text) == platform::RegResult::kOk;
}

}  // namespace

std::string DeviceKeyPath(std::string_view device_name) {
  std::string path = kCashChangerKey;
  path.append("\\").append(device_name);
  return path;
}

std::span<const DeviceSetting> DeviceSettings() { return kSettings; }

std::optional<int32_t> UposMinorVersion(std::string_view text) {
  if (text.empty()) return 6;
  if (text.size() < 3 || text.size() > 4 || text.substr(0, 2) != "1.") return std::nullopt;
  int32_t minor = 0;
  for (char c : text.substr(2)) {
    if (c < '0' || c > '9') return std::nullopt;
    minor = minor * 10 + (c - '0');
  }
  // "1.06" is not how a release is written.
  if (text.size() == 4 && text[2] == '0') return std::nullopt;
  if (minor < 6 || minor > 14) return std::nullopt;
  return minor;
}

int32_t LeadingDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                             text[i] == '\f' || text[i] == '\v')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;  // saturate; keeps the loop overflow-free
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

DeviceConfigReport ReadDeviceConfig(std::string_view key_path, DeviceConfig* config) {
  DeviceConfigReport report;
  for (const Binding& binding : kBindings) {
    std::string text;
    const bool present = ReadText(binding.setting.root, key_path, binding.setting.name, &text);
    if (!present) text = binding.setting.default_text;
    if (binding.field.index() == 0) {
      config->*std::get<0>(binding.field) = text;
    } else {
      config->*std::get<1>(binding.field) = LeadingDecimal(text);
    }
    if (&binding.field == &kBindings[0].field) report.port_present = present;
    if (&binding.field == &kBindings[1].field) report.port_initialize_string_present = present;
  }
  // The folder is used by plain concatenation: a folder named without its
  // trailing separator is still the folder, not a prefix of names beside it.
  if (!config->log_folder_name.empty() && config->log_folder_name.back() != '/') config->log_folder_name += '/';
  config->working_flag = 1;
  return report;
}

bool WriteOperationModeTemporary(std::string_view key_path, int32_t value) {
  return platform::RegSetString(RegRoot::kCurrentUser, key_path, "OperationMode_Temporary", std::to_string(value)) ==
         platform::RegResult::kOk;
}

bool WriteOperationModeInitialize(std::string_view key_path, int32_t value) {
  return platform::RegSetString(RegRoot::kCurrentUser, key_path, "OperationMode_Initialize", std::to_string(value)) ==
         platform::RegResult::kOk;
}

std::string MaintenanceFolder(std::string_view service) {
  const size_t cut = service.find_last_of("\\/");
  if (cut == std::string_view::npos) return {};
  return std::string(service.substr(0, cut + 1));
}

bool PlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace vexokrt::config
