// SPDX-License-Identifier: Apache-2.0
// Checks of argument values that several subcommands share. A value they
// refuse is a usage error: the parser names it and the program exits 2
// before anything is started.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "config/device_config.h"
#include "sim/model.h"
#include "sim/web_panel.h"

namespace vexokrt::tools {

// A simulated model's name (KRT02F, KRT02FA, KRT03, KRT07, KRT77).
inline std::string RefuseUnknownModel(const std::string& text) {
  return sim::ParseModel(text) ? std::string() : "unknown model " + text + " (KRT02F, KRT02FA, KRT03, KRT07 or KRT77)";
}

// "[ADDRESS:]PORT" of the simulator's control panel.
inline std::string RefuseListenAddress(const std::string& text) {
  return sim::ParseListenAddress(text) ? std::string() : "takes [ADDRESS:]PORT, not " + text;
}

// A release of the class as the device setting UposVersion takes it,
// "1.6" to "1.14".
inline std::string RefuseUposVersion(const std::string& text) {
  return !text.empty() && config::UposMinorVersion(text) ? std::string()
                                                         : "not a release from 1.6 to 1.14: " + text;
}

// A 32-bit signed number, decimal or with a 0x prefix.
inline std::string RefuseNonNumber(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  const bool number = !text.empty() && *end == '\0' && errno == 0 && value >= INT_MIN && value <= INT_MAX;
  return number ? std::string() : "not a number: " + text;
}

}  // namespace vexokrt::tools
