// SPDX-License-Identifier: Apache-2.0
// The text control protocol of the standalone simulator: one command per
// line (for example "insert 1000:2,500:1", "jam on", "fault nak next",
// "show counts"), applied to a ChangerEngine. The README's "Simulator"
// section lists every command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <string_view>

#include "sim/changer_engine.h"

namespace vexokrt::sim {

struct ControlReply {
  bool ok = true;
  bool quit = false;   // the line asked the program to end
  std::string text;    // one or more lines, each ending in '\n'; errors start "error: "
};

// Carries out one control line. Blank lines and lines starting with '#' do
// nothing. Thread-safe as the engine is.
ControlReply ExecuteControlLine(ChangerEngine& engine, std::string_view line);

// Bytes as upper-case hex pairs separated by blanks ("11 48 30 30"), as the
// frame read-outs and the control panel show them.
std::string HexBytes(const std::vector<std::uint8_t>& bytes);

// Help text listing the commands.
std::string ControlHelp();

}  // namespace vexokrt::sim
