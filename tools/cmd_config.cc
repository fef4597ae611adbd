// vexokrt config NAME: create the registry key of a cash changer device, set
// its values and show every value with its default.
#include <cstdio>
#include <memory>

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
};

const config::DeviceSetting* FindSetting(const std::string& name) {
  for (const auto& setting : config::DeviceSettings()) {
    if (platform::RegNamesEqual(setting.name, name)) return &setting;
  }
  return nullptr;
}

void Show(const std::string& key) {
  std::string prog_id;
  platform::RegQueryString(platform::RegRoot::kLocalMachine, key, "", &prog_id);
  std::printf("HKEY_LOCAL_MACHINE\\%s\n  (service object) = %s\n", key.c_str(), prog_id.c_str());
  for (const auto& setting : config::DeviceSettings()) {
    std::string text;
    platform::RegValue value;
    const platform::RegResult found = platform::RegQueryValue(setting.root, key, setting.name, &value);
    const bool user = setting.root == platform::RegRoot::kCurrentUser;
    if (found == platform::RegResult::kOk && value.type == platform::RegValueType::kString) {
      text = "\"" + value.text + "\"";
      if (value.text.size() + 1 > platform::kRegQueryBufferSize) text += "  (too long: the default is used)";
    } else if (found == platform::RegResult::kOk) {
      text = "(not text: the default is used)";
    } else {
      text = "(default)";
    }
    std::printf("  %-32s = %s   [default \"%s\"]%s\n", setting.name, text.c_str(), setting.default_text,
                user ? "  (current user)" : "");
  }
}

int RunConfig(const ConfigArgs& args) {
  const std::string key = config::DeviceKeyPath(args.name);
  using platform::RegResult;
  using platform::RegRoot;
  std::string prog_id;
  if (platform::RegQueryString(RegRoot::kLocalMachine, key, "", &prog_id) != RegResult::kOk) {
    const RegResult result = platform::RegSetString(RegRoot::kLocalMachine, key, "", service::kCashChangerProgId);
    if (result != RegResult::kOk) {
      std::fprintf(stderr, "vexokrt: cannot create HKEY_LOCAL_MACHINE\\%s in %s: %s\n", key.c_str(),
                   platform::RegFilePath(RegRoot::kLocalMachine).c_str(), platform::RegResultText(result));
      return 1;
    }
  }
  for (const std::string& assignment : args.assignments) {
    const size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
      std::fprintf(stderr, "vexokrt: --set wants Value=Text, not \"%s\"\n", assignment.c_str());
      return 1;
    }
    const std::string name = assignment.substr(0, equals);
    const config::DeviceSetting* setting = FindSetting(name);
    if (setting == nullptr) {
      std::fprintf(stderr, "vexokrt: \"%s\" is not a setting of a cash changer (see --show)\n", name.c_str());
      return 1;
    }
    const RegResult result = platform::RegSetString(setting->root, key, setting->name, assignment.substr(equals + 1));
    if (result != RegResult::kOk) {
      std::fprintf(stderr, "vexokrt: cannot set %s in %s: %s\n", setting->name,
                   platform::RegFilePath(setting->root).c_str(), platform::RegResultText(result));
      return 1;
    }
  }
  if (args.show || args.assignments.empty()) Show(key);
  return 0;
}

const CommandRegistration kConfigCommand{[] {
  auto args = std::make_shared<ConfigArgs>();
  Command command{"config", "Create a cash changer's registry key, set and show its settings"};
  command.Add("NAME", &args->name, "OPOS device name").Required();
  command.Add("--set", &args->assignments, "Value=Text to store (repeatable)");
  command.Add("--show", &args->show, "show every setting with its default");
  command.run = [args] { return RunConfig(*args); };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
