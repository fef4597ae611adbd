// SPDX-License-Identifier: Apache-2.0
// The driver's text files (trading logs, operation history, trace, ExamLog)
// are written in CP932; `vexokrt logs show` prints them as UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "command_registry.h"

namespace vexokrt::tools {

struct TextConversion {
  std::optional<std::string> utf8;  // the text with LF line ends; none when refused
  std::string error;                // why the bytes are not one of the driver's text files
};

// Converts a whole file. Refused: bytes that are not CP932, control bytes
// (binary data) outside the hex-dump rows of a trace, and text that is
// already UTF-8. The text part of a trace's hex-dump row shows device bytes,
// which need not be text: there control bytes become '.' and bytes that are
// not CP932 become U+FFFD.
TextConversion Cp932FileToUtf8(std::string_view bytes);

// Adds `show FILE` below |logs|.
void AddShowCommand(Command& logs);

}  // namespace vexokrt::tools
