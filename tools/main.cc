// vexokrt: the command-line program of the cash changer service object.
#include "command_registry.h"

#include <cstdio>

namespace vexokrt::tools {

std::vector<CommandAdder>& Commands() {
  static std::vector<CommandAdder> commands;
  return commands;
}

}  // namespace vexokrt::tools

int main(int argc, char** argv) {
  CLI::App app{"vexokrt - cash changer service object: simulator, probe, registration and demo"};
  app.require_subcommand(1);
  for (const auto& add : vexokrt::tools::Commands()) add(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return 0;
}
