// SPDX-License-Identifier: Apache-2.0
// Conversion between the UTF-8 texts kept in the source and the Japanese
// system code page (CP932) in which files and byte fields are written.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexokrt::platform {

// UTF-8 to CP932. Characters CP932 cannot hold, and bytes that are not valid
// UTF-8, become '?' (one per byte skipped).
std::string Utf8ToCp932(std::string_view utf8);

// CP932 to UTF-8. Bytes that are not valid CP932 become U+FFFD.
std::string Cp932ToUtf8(std::string_view cp932);

// Strict forms: no value when any character cannot be converted.
std::optional<std::string> TryUtf8ToCp932(std::string_view utf8);
std::optional<std::string> TryCp932ToUtf8(std::string_view cp932);

// The ASCII capital letters in lower case, every other byte as it is: names
// that ignore case compare this way, and a CP932 byte is never changed.
constexpr char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace vexokrt::platform
