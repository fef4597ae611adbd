// SPDX-License-Identifier: Apache-2.0
// printf-style formatting into a string, for trace lines and property texts.
#pragma once

#include <string>

namespace vexokrt::service {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vexokrt::service
