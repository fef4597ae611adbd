// SPDX-License-Identifier: Apache-2.0
// Finding and loading the service object library for the subcommands that
// call its entry points directly.
#pragma once

#include <string>

namespace vexokrt::tools {

inline constexpr char kServerLibraryName[] = "libvexokrt77.so";

// |given| when not empty, else libvexokrt77.so in the folder of the running
// program, else the one in the installed service object folder relative to it.
std::string ServerLibraryPath(const std::string& given);

}  // namespace vexokrt::tools
