// SPDX-License-Identifier: Apache-2.0
// Serial line settings as the simulated cash changer sees them: speed, parity,
// data bits and stop bits, the four parts of a definition such as "9600,E,8,1".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexokrt::sim {

enum class Parity { kNone, kEven, kOdd };

struct LineSettings {
  int baud = 9600;
  Parity parity = Parity::kEven;
  int data_bits = 8;
  int stop_bits = 1;

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// How much of the host's settings a transport can observe. A pseudo-terminal
// keeps the speed the host sets but always reports 8 data bits without parity,
// so a transport on a pty can only compare speeds (kSpeedOnly). The in-process
// transport knows everything the host asked for (kAll).
enum class LineCheck { kAll, kSpeedOnly };

// True when a host on |host| would understand a device on |device|.
bool LineMatches(const LineSettings& host, const LineSettings& device, LineCheck check);

// "9600,E,8,1" and friends; parity letters N, E, O (either case). Returns
// nothing for anything malformed (unknown parity, data bits outside 5-8,
// stop bits other than 1 or 2, speed not positive).
std::optional<LineSettings> ParseLineSettings(std::string_view text);

// The inverse of ParseLineSettings: "9600,E,7,1".
std::string FormatLineSettings(const LineSettings& settings);

}  // namespace vexokrt::sim
