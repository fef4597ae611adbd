// SPDX-License-Identifier: Apache-2.0
// vexokrt config NAME: create the registry key of a cash changer device, set
// its values and show every value with its default; `config --list` names
// the devices that have a key.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "config/device_config.h"
#include "platform/activation.h"
#include "platform/registry.h"
#include "service/module.h"

namespace vexokrt::tools {
namespace {

struct ConfigArgs {
  std::string name;
  std::vector<std::string> assignments;
  bool show = false;
  bool list = false;
  bool json = false;
};

const config::DeviceSetting* FindSetting(const std::string& name) {
  for (const auto& setting : config::DeviceSettings()) {
    if (platform::RegNamesEqual(setting.name, name)) return &setting;
  }
  return nullptr;
}

// One setting as the key holds it: its text, or none when the default is
// used, with the reason when a value is there but cannot be used.
struct ShownSetting {
  std::optional<std::string> value;
  std::string note;
};

ShownSetting ReadSetting(const std::string& key, const config::DeviceSetting& setting) {
  platform::RegValue value;
  const platform::RegResult found = platform::RegQueryValue(setting.root, key, setting.name, &value);
  if (found != platform::RegResult::kOk) return {};
  if (value.type != platform::RegValueType::kString) return {std::nullopt, "not text: the default is used"};
  if (value.text.size() + 1 > platform::kRegQueryBufferSize) return {value.text, "too long: the default is used"};
  return {value.text, ""};
}

void Show(const std::string& key, bool json) {
  std::string prog_id;
  platform::RegQueryString(platform::RegRoot::kLocalMachine, key, "", &prog_id);
  if (json) {
    nlohmann::ordered_json settings = nlohmann::ordered_json::array();
    for (const auto& setting : config::DeviceSettings()) {
      const ShownSetting shown = ReadSetting(key, setting);
      nlohmann::ordered_json entry = {
          {"name", setting.name},
          {"value", shown.value ? nlohmann::ordered_json(*shown.value) : nlohmann::ordered_json(nullptr)},
          {"default", setting.default_text},
          {"root", setting.root == platform::RegRoot::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE"}};
      if (!shown.note.empty()) entry["note"] = shown.note;
      settings.push_back(std::move(entry));
    }
    const nlohmann::ordered_json document = {
        {"key", "HKEY_LOCAL_MACHINE\\" + key}, {"service_object", prog_id}, {"settings", std::move(settings)}};
    std::printf("%s\n", document.dump(2).c_str());
    return;
  }
  std::printf("HKEY_LOCAL_MACHINE\\%s\n  (service object) = %s\n", key.c_str(), prog_id.c_str());
  for (const auto& setting : config::DeviceSettings()) {
    const ShownSetting shown = ReadSetting(key, setting);
    std::string text = shown.value ? "\"" + *shown.value + "\"" : shown.note.empty() ? "(default)" : "";
    if (!shown.note.empty()) text += (shown.value ? "  (" : "(") + shown.note + ")";
    const bool user = setting.root == platform::RegRoot::kCurrentUser;
    std::printf("  %-32s = %s   [default \"%s\"]%s\n", setting.name, text.c_str(), setting.default_text,
                user ? "  (current user)" : "");
  }
}

int List(bool json) {
  std::vector<std::string> names;
  const platform::RegResult result =
      platform::RegEnumSubkeys(platform::RegRoot::kLocalMachine, config::kCashChangerKey, &names);
  if (result != platform::RegResult::kOk && result != platform::RegResult::kKeyNotFound) {
    std::fprintf(stderr, "vexokrt config: cannot read %s: %s\n",
                 platform::RegFilePath(platform::RegRoot::kLocalMachine).c_str(), platform::RegResultText(result));
    return kExitFailure;
  }
  if (json) {
    std::printf("%s\n", nlohmann::json(names).dump().c_str());
  } else {
    for (const std::string& name : names) std::printf("%s\n", name.c_str());
  }
  return kExitSuccess;
}

int RunConfig(const ConfigArgs& args) {
  if (args.list) {
    if (!args.name.empty() || !args.assignments.empty() || args.show) {
      return UsageError("config", "--list takes no device name, --set or --show");
    }
    return List(args.json);
  }
  if (args.name.empty()) return UsageError("config", "NAME is required (or --list)");
  const bool show = args.show || args.assignments.empty();
  if (args.json && !show) return UsageError("config", "--json goes with --show or --list");
  // Every assignment is checked before anything is written.
  std::vector<std::pair<const config::DeviceSetting*, std::string>> values;
  for (const std::string& assignment : args.assignments) {
    const size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
      return UsageError("config", "--set wants Value=Text, not \"" + assignment + "\"");
    }
    const std::string name = assignment.substr(0, equals);
    const config::DeviceSetting* setting = FindSetting(name);
    if (setting == nullptr) {
      return UsageError("config", "\"" + name + "\" is not a setting of a cash changer (see --show)");
    }
    values.emplace_back(setting, assignment.substr(equals + 1));
  }
  const std::string key = config::DeviceKeyPath(args.name);
  using platform::RegResult;
  using platform::RegRoot;
  std::string prog_id;
  if (platform::RegQueryString(RegRoot::kLocalMachine, key, "", &prog_id) != RegResult::kOk) {
    if (args.show && values.empty()) {
      // Showing never creates a key.
      std::fprintf(stderr, "vexokrt config: no device key HKEY_LOCAL_MACHINE\\%s in %s\n", key.c_str(),
                   platform::RegFilePath(RegRoot::kLocalMachine).c_str());
      return kExitFailure;
    }
    const RegResult result = platform::RegSetString(RegRoot::kLocalMachine, key, "", service::kCashChangerProgId);
    if (result != RegResult::kOk) {
      std::fprintf(stderr, "vexokrt config: cannot create HKEY_LOCAL_MACHINE\\%s in %s: %s\n", key.c_str(),
                   platform::RegFilePath(RegRoot::kLocalMachine).c_str(), platform::RegResultText(result));
      return kExitFailure;
    }
  }
  for (const auto& [setting, text] : values) {
    const RegResult result = platform::RegSetString(setting->root, key, setting->name, text);
    if (result != RegResult::kOk) {
      std::fprintf(stderr, "vexokrt config: cannot set %s in %s: %s\n", setting->name,
                   platform::RegFilePath(setting->root).c_str(), platform::RegResultText(result));
      return kExitFailure;
    }
  }
  if (show) Show(key, args.json);
  return kExitSuccess;
}

const CommandRegistration kConfigCommand{[] {
  auto args = std::make_shared<ConfigArgs>();
  Command command{"config", "Create a cash changer's registry key, set and show its settings"};
  command.Add("NAME", &args->name, "OPOS device name (not with --list)");
  command.Add("--set", &args->assignments, "Value=Text to store (repeatable)");
  command.Add("--show", &args->show, "show every setting with its default (never creates the key)");
  command.Add("--list", &args->list, "print the names of the cash changer devices in the registry, one a line");
  command.Add("--json", &args->json, "with --show or --list: print JSON");
  command.run = [args] { return RunConfig(*args); };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
