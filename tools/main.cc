// SPDX-License-Identifier: Apache-2.0
// vexokrt: the command-line program of the cash changer service object.
// The only file that includes the command-line parser: it turns the commands'
// descriptions (command_registry.h) into the parser's subcommands.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "command_registry.h"
#include "version.h"

namespace vexokrt::tools {

std::vector<CommandMaker>& Commands() {
  static std::vector<CommandMaker> commands;
  return commands;
}

namespace {

CLI::Option* AddArgument(CLI::App& app, const Argument& argument) {
  CLI::Option* option = std::visit(
      [&](auto* target) {
        if constexpr (std::is_same_v<decltype(target), bool*>) {
          return app.add_flag(argument.names, *target, argument.description);
        } else {
          return app.add_option(argument.names, *target, argument.description);
        }
      },
      argument.target);
  if (argument.required) option->required();
  if (argument.show_default) option->capture_default_str();
  if (argument.range) option->check(CLI::Range(argument.range->first, argument.range->second));
  if (argument.check) option->check(argument.check);
  return option;
}

// Adds |command| and its subcommands below |parent|. The command runs only
// when none of its subcommands was given; a non-zero exit status, like a
// missing argument, travels through the parser's own error path.
void AddCommand(CLI::App& parent, const Command& command) {
  CLI::App* app = parent.add_subcommand(command.name, command.description);
  if (!command.footer.empty()) app->footer(command.footer);
  std::vector<const CLI::Option*> needed;
  for (const Argument& argument : command.arguments) {
    const CLI::Option* option = AddArgument(*app, argument);
    if (argument.required_without_subcommand) needed.push_back(option);
  }
  for (const Command& subcommand : command.subcommands) AddCommand(*app, subcommand);
  if (!command.run) return;
  app->callback([app, needed, run = command.run] {
    if (!app->get_subcommands().empty()) return;
    for (const CLI::Option* option : needed) {
      if (option->count() == 0) throw CLI::RequiredError(option->get_name());
    }
    if (const int status = run(); status != 0) throw CLI::RuntimeError(status);
  });
}

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

// One line for a parse error: the innermost subcommand given, the parser's
// reason (its few multi-line reasons joined) and where the usage is.
std::string UsageErrorLine(CLI::App& app, const std::string& reason) {
  std::string path = app.get_name();
  CLI::App* at = &app;
  for (;;) {
    const std::vector<CLI::App*> given = at->get_subcommands();
    if (given.empty()) break;
    at = given.front();
    path += " " + at->get_name();
  }
  std::string text = reason;
  // A word that names no subcommand is left over: say that, not that one is missing.
  if (at == &app && !app.remaining().empty()) {
    const std::string word = app.remaining().front();
    text = (word.rfind('-', 0) == 0 ? "unknown option " : "unknown command ") + word;
  }
  for (size_t i = 0; (i = text.find('\n', i)) != std::string::npos;) text.replace(i, 1, "; ");
  return path + ": " + text + " (see " + path + " --help)";
}

}  // namespace vexokrt::tools

int main(int argc, char** argv) {
  // The descriptions outlive the parser: its options write into the
  // variables the descriptions point to.
  std::deque<vexokrt::tools::Command> commands;
  // The description comes before the subcommands, whose list tools read
  // from the end of the help.
  CLI::App app{
      "vexokrt - cash changer service object: simulator, probe, registration and demo\n"
      "The service object serves the CashChanger members of release 1.6; a device key that sets UposVersion "
      "(vexokrt config NAME --set UposVersion=1.14) adds those of later releases: RetrieveStatistics, "
      "ResetStatistics, UpdateStatistics (1.8), CompareFirmwareVersion, UpdateFirmware (1.9), AdjustCashCounts "
      "and the real-time deposit data (1.11). Try them with vexokrt demo --upos 1.14 or vexokrt shell."};
  app.name("vexokrt");
  app.require_subcommand(1);
  app.set_version_flag("--version", [] { return vexokrt::tools::VersionText(); },
                       "print the program's and the service object's versions");
  for (const auto& make : vexokrt::tools::Commands()) {
    vexokrt::tools::AddCommand(app, commands.emplace_back(make()));
  }
  for (CLI::App* command : app.get_subcommands({})) {
    const auto example = vexokrt::tools::Examples().find(command->get_name());
    if (example != vexokrt::tools::Examples().end() && command->get_footer().empty()) {
      command->footer("Example: " + example->second);
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();  // the command ran and has said what went wrong
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "%s\n", vexokrt::tools::UsageErrorLine(app, e.what()).c_str());
    return vexokrt::tools::kExitUsage;
  }
  return vexokrt::tools::kExitSuccess;
}
