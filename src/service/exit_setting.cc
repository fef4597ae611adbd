// SPDX-License-Identifier: Apache-2.0
#include "service/exit_setting.h"

#include <initializer_list>

#include "link/command_set.h"

namespace vexokrt::service {

std::array<int32_t, 5> ExitSettingValues(const config::DeviceConfig& config, int32_t exit, bool for_setter) {
  const auto kept = [](int32_t value, std::initializer_list<int32_t> allowed, int32_t otherwise) {
    for (int32_t a : allowed) {
      if (value == a) return value;
    }
    return otherwise;
  };
  if (exit >= 1 && exit <= 3) {
    return {kept(config.operating_condition_setting_data1, {0, 1, 4, 5}, 0),
            kept(config.operating_condition_setting_data2, {0, 1, 4, 5}, 4),
            kept(config.operating_condition_setting_data3, {0, 1}, 0), 0, 0};
  }
  if (for_setter && config.dispense_cash_exit == 0) return ConfiguredSettingValues(config);
  return {5, 5, 0, 0, 0};
}

std::array<int32_t, 5> ConfiguredSettingValues(const config::DeviceConfig& config) {
  return {config.operating_condition_setting_data1, config.operating_condition_setting_data2,
          config.operating_condition_setting_data3, config.operating_condition_setting_data4,
          config.operating_condition_setting_data5};
}

opos::OposResult SendExitSetting(ChangerDevice& device, const std::array<int32_t, 5>& values) {
  // The exit setting is page 2 of the operating conditions.
  const BuiltCommand command = OperatingConditionCommand(2, values);
  if (!command.ok()) return command.result;
  return device.Execute(command.command);
}

std::pair<bool, bool> ExitSides(int32_t exit) {
  switch (exit) {
    case 2:
    case 5:
    case 7:
      return {true, false};
    case 3:
      return {false, true};
    default:
      return {true, true};
  }
}

}  // namespace vexokrt::service
