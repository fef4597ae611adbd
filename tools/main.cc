// vexokrt: the command-line program of the cash changer service object.
#include "command_registry.h"

#include <cstdio>
#include <map>
#include <string>

#include "version.h"

namespace vexokrt::tools {

std::vector<CommandAdder>& Commands() {
  static std::vector<CommandAdder> commands;
  return commands;
}

namespace {

// One example line for the --help of every subcommand.
const std::map<std::string, std::string>& Examples() {
  static const std::map<std::string, std::string> examples = {
      {"config", "vexokrt config Changer1 --set Port=/dev/ttyUSB0 --set Port_Initialize_String=9600,E,8,1"},
      {"demo", "vexokrt demo --model KRT77"},
      {"examlog", "vexokrt examlog /var/log/vexokrt/ExamlogS.txt --follow"},
      {"logs", "vexokrt logs --port /dev/ttyUSB0 --code 99 --folder devlogs   (or: vexokrt logs show FILE)"},
      {"open", "vexokrt open Changer1"},
      {"probe", "vexokrt probe --port /dev/ttyUSB0"},
      {"register", "OPOS_REGISTRY_DIR=$HOME/.config/opos vexokrt register"},
      {"shell", "vexokrt shell --sim KRT07 Dev1"},
      {"sim", "vexokrt sim --model KRT07 --latency 5"},
      {"unregister", "vexokrt unregister"},
  };
  return examples;
}

}  // namespace
}  // namespace vexokrt::tools

int main(int argc, char** argv) {
  CLI::App app{"vexokrt - cash changer service object: simulator, probe, registration and demo"};
  app.require_subcommand(1);
  app.set_version_flag("--version", [] { return vexokrt::tools::VersionText(); },
                       "print the program's and the service object's versions");
  for (const auto& add : vexokrt::tools::Commands()) add(app);
  for (CLI::App* command : app.get_subcommands({})) {
    const auto example = vexokrt::tools::Examples().find(command->get_name());
    if (example != vexokrt::tools::Examples().end() && command->get_footer().empty()) {
      command->footer("Example: " + example->second);
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return 0;
}
