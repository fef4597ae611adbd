// SPDX-License-Identifier: Apache-2.0
// The cash changer models the simulator can be, and what differs between them:
// the name in the model-name answer, the line it starts on, the length of the
// status record and where its memory keeps the logs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "sim/line_settings.h"

namespace vexokrt::sim {

enum class Model {
  kKrt02F,   // KRT02 family in communication mode B, powers up at 2400,E,7,1
  kKrt02FA,  // KRT02 family in communication mode A, powers up at 9600,E,7,1
  kKrt03,    // 9600,E,7,1, no speed change
  kKrt07,    // 9600,E,8,1, 115200 after the speed change
  kKrt77,    // as KRT07
};

// The two memory layouts and command dialects of the product line.
enum class Family { kKrt02And03, kKrt07And77 };

struct ModelTraits {
  Model model;
  std::string_view display_name;  // "KRT07"; what the CLI and the control lines accept
  Family family;
  int model_code;  // 2, 3, 7 or 77: the number the host derives from the name answer
  LineSettings power_on_line;
  bool power_on_mode_a;         // KRT02 family only; every other model speaks mode A
  int status_length;            // 44, 53 or 51
  char status_command;          // 'i' or 'H'
  std::uint8_t history_type;    // byte 5 of a dated operation-history record
};

const ModelTraits& TraitsOf(Model model);

// Accepts the display names ("KRT02F", "KRT02FA", "KRT03", "KRT07", "KRT77"),
// ignoring case; "KRT02" is taken as KRT02F.
std::optional<Model> ParseModel(std::string_view name);

// The seven name bytes at positions 20-26 of the model-name answer. The KRT02
// family's name depends on its current communication mode.
std::array<std::uint8_t, 7> ModelNameBytes(Model model, bool mode_a);

}  // namespace vexokrt::sim
