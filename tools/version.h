// SPDX-License-Identifier: Apache-2.0
// The text of `vexokrt --version`.
#pragma once

#include <string>

namespace vexokrt::tools {

// The program's version, then the service object's version and description
// as the service object library beside (or installed for) the program
// reports them, and that library's path.
std::string VersionText();

}  // namespace vexokrt::tools
