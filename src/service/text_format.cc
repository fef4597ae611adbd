// SPDX-License-Identifier: Apache-2.0
#include "service/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace vexokrt::service {

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace vexokrt::service
