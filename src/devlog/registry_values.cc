// SPDX-License-Identifier: Apache-2.0
#include "devlog/registry_values.h"

#include "platform/registry.h"

namespace vexokrt::devlog {

using platform::RegResult;
using platform::RegRoot;

std::optional<uint32_t> RegistryValues::ReadDword(std::string_view name) {
  uint32_t value = 0;
  if (platform::RegQueryDword(RegRoot::kCurrentUser, key_path_, name, &value) != RegResult::kOk) return std::nullopt;
  return value;
}

bool RegistryValues::WriteDword(std::string_view name, uint32_t value) {
  return platform::RegSetDword(RegRoot::kCurrentUser, key_path_, name, value) == RegResult::kOk;
}

std::optional<std::string> RegistryValues::ReadText(std::string_view name) {
  // Not the 256-byte query of the settings: a long log path must still come
  // back whole, or the file it names would never be deleted.
  platform::RegValue value;
  if (platform::RegQueryValue(RegRoot::kCurrentUser, key_path_, name, &value) != RegResult::kOk) return std::nullopt;
  if (value.type != platform::RegValueType::kString) return std::nullopt;
  return value.text;
}

bool RegistryValues::WriteText(std::string_view name, std::string_view text) {
  return platform::RegSetString(RegRoot::kCurrentUser, key_path_, name, text) == RegResult::kOk;
}

DeviceLogSettings LogSettingsFrom(const config::DeviceConfig& config) {
  DeviceLogSettings settings;
  settings.log_folder = config.log_folder_name;
  settings.log_folder_size = config.log_folder_size;
  settings.operation_history = config.operation_history;
  settings.trading_log = config.trading_log;
  return settings;
}

}  // namespace vexokrt::devlog
