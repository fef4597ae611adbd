// Subcommands of the vexokrt program register themselves here, so each one
// lives in its own file and main.cc never needs to know the list.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

namespace vexokrt::tools {

using CommandAdder = std::function<void(CLI::App& app)>;

// The adders of every linked subcommand, in registration order.
std::vector<CommandAdder>& Commands();

// Define one of these at namespace scope in a cmd_*.cc file:
//   const CommandRegistration kRegistration{[](CLI::App& app) { ... }};
struct CommandRegistration {
  explicit CommandRegistration(CommandAdder adder) { Commands().push_back(std::move(adder)); }
};

}  // namespace vexokrt::tools
