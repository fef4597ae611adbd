// SPDX-License-Identifier: Apache-2.0
// Subcommands of the vexokrt program register themselves here, so each one
// lives in its own file and main.cc never needs to know the list.
//
// A subcommand describes its arguments with the small types below; main.cc
// alone turns the descriptions into the command-line parser. The parser's
// header costs seconds of compile time in every file that includes it, so
// one file does.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vexokrt::tools {

// One option ("--model", "--follow,-f") or positional argument ("NAME").
struct Argument {
  // The variable the value is stored in; a bool is a flag without a value,
  // a vector takes the option each time it is given.
  using Target = std::variant<std::string*, int*, bool*, std::vector<std::string>*>;

  std::string names;
  Target target;
  std::string description;
  bool required = false;
  // Required unless one of the command's subcommands is given.
  bool required_without_subcommand = false;
  bool show_default = false;
  std::optional<std::pair<int, int>> range;  // an int value's accepted bounds
  // Refuses a value: an empty text accepts it, else says why not.
  std::function<std::string(const std::string&)> check;

  Argument& Required() {
    required = true;
    return *this;
  }
  Argument& RequiredWithoutSubcommand() {
    required_without_subcommand = true;
    return *this;
  }
  Argument& ShowDefault() {
    show_default = true;
    return *this;
  }
  Argument& Range(int lowest, int highest) {
    range = std::make_pair(lowest, highest);
    return *this;
  }
  Argument& Check(std::function<std::string(const std::string&)> refusal) {
    check = std::move(refusal);
    return *this;
  }
};

struct Command {
  Command(std::string command_name, std::string command_description)
      : name(std::move(command_name)), description(std::move(command_description)) {}

  std::string name;
  std::string description;
  std::string footer;  // shown below the --help text
  // Deques: the references handed out stay valid while more are added.
  std::deque<Argument> arguments;
  std::deque<Command> subcommands;
  // Runs the command once its arguments are read, unless one of its
  // subcommands was given; returns the program's exit status.
  std::function<int()> run;

  Argument& Add(std::string names, Argument::Target target, std::string text) {
    Argument& argument = arguments.emplace_back();
    argument.names = std::move(names);
    argument.target = target;
    argument.description = std::move(text);
    return argument;
  }
  Command& Subcommand(std::string subcommand_name, std::string subcommand_description) {
    return subcommands.emplace_back(std::move(subcommand_name), std::move(subcommand_description));
  }
};

// Exit statuses of every subcommand, for scripts: the operation was done; the
// operation was tried and failed (a call's non-zero result, a file or port
// that cannot be used); the command line itself was wrong (a missing, extra or
// malformed argument), so nothing was tried.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// A usage error found once the arguments are read, said as the parser says
// its own: "vexokrt COMMAND: REASON (see vexokrt COMMAND --help)".
inline int UsageError(const std::string& command, const std::string& reason) {
  std::fprintf(stderr, "vexokrt %s: %s (see vexokrt %s --help)\n", command.c_str(), reason.c_str(), command.c_str());
  return kExitUsage;
}

using CommandMaker = std::function<Command()>;

// The makers of every linked subcommand, in registration order.
std::vector<CommandMaker>& Commands();

// Define one of these at namespace scope in a cmd_*.cc file, with a name of
// its own (the files may be compiled as one):
//   const CommandRegistration kDemoCommand{[] { Command command{...}; ...; return command; }};
struct CommandRegistration {
  explicit CommandRegistration(CommandMaker maker) { Commands().push_back(std::move(maker)); }
};

}  // namespace vexokrt::tools
