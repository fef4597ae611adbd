// SPDX-License-Identifier: Apache-2.0
// The device logs' persistent values in the registry: the current user's part
// of the device's key (the same key path as the device's settings, under
// HKEY_CURRENT_USER), and the settings the log writers take from the
// configuration record.
#pragma once

#include <string>

#include "config/device_config.h"
#include "devlog/log_context.h"
#include "devlog/persistent_values.h"

namespace vexokrt::devlog {

class RegistryValues : public PersistentValues {
 public:
  // |key_path|: config::DeviceKeyPath of the device name. The key is created
  // by the first write when it does not exist.
  explicit RegistryValues(std::string key_path) : key_path_(std::move(key_path)) {}

  const std::string& key_path() const { return key_path_; }

  // DWORD values read only as REG_DWORD, text values only as REG_SZ (of any
  // length); anything else reads as missing.
  std::optional<uint32_t> ReadDword(std::string_view name) override;
  bool WriteDword(std::string_view name, uint32_t value) override;
  std::optional<std::string> ReadText(std::string_view name) override;
  bool WriteText(std::string_view name, std::string_view text) override;

 private:
  std::string key_path_;
};

// LogFolderName, LogFolderSize, OperationHistory and TradingLog of |config|.
DeviceLogSettings LogSettingsFrom(const config::DeviceConfig& config);

}  // namespace vexokrt::devlog
