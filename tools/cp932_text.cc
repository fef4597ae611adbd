// SPDX-License-Identifier: Apache-2.0
#include "cp932_text.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/codepage.h"

namespace vexokrt::tools {
namespace {

// True for bytes that form well-made UTF-8 with at least one character
// beyond ASCII: such a file was not written by the driver, and converting it
// from CP932 would only give mojibake.
bool IsUtf8BeyondAscii(std::string_view bytes) {
  bool beyond = false;
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || (length == 2 && c < 0xC2) || i + length > bytes.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    beyond = beyond || length > 1;
    i += length;
  }
  return beyond;
}

// "    0010 : ..." : one row of a trace's hex dump.
bool IsDumpRow(std::string_view line) {
  if (line.size() < 11 || line.substr(0, 4) != "    " || line.substr(8, 2) != " :") return false;
  for (size_t i = 4; i < 8; ++i) {
    if (std::isxdigit(static_cast<unsigned char>(line[i])) == 0) return false;
  }
  return true;
}

bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

}  // namespace

TextConversion Cp932FileToUtf8(std::string_view bytes) {
  if (IsUtf8BeyondAscii(bytes)) return {std::nullopt, "UTF-8 text, not a CP932 file of the driver"};
  std::string out;
  size_t number = 0;
  for (size_t start = 0; start < bytes.size();) {
    ++number;
    size_t end = bytes.find('\n', start);
    const size_t next = end == std::string_view::npos ? bytes.size() : end + 1;
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = next;
    if (IsDumpRow(line)) {
      std::string shown(line);
      for (char& c : shown) {
        if (IsControl(static_cast<unsigned char>(c))) c = '.';
      }
      out += platform::Cp932ToUtf8(shown);
    } else {
      for (size_t i = 0; i < line.size(); ++i) {
        if (IsControl(static_cast<unsigned char>(line[i]))) {
          char detail[96];
          std::snprintf(detail, sizeof detail, "line %zu holds binary data (byte 0x%02X at column %zu), not text",
                        number, static_cast<unsigned char>(line[i]), i + 1);
          return {std::nullopt, detail};
        }
      }
      const std::optional<std::string> converted = platform::TryCp932ToUtf8(line);
      if (!converted) return {std::nullopt, "line " + std::to_string(number) + " is not CP932 text"};
      out += *converted;
    }
    out += '\n';
  }
  return {std::move(out), {}};
}

void AddShowCommand(Command& logs) {
  auto file = std::make_shared<std::string>();
  Command& show = logs.Subcommand(
      "show", "Print one of the driver's CP932 text files (trading log, history, trace, ExamLog) as UTF-8");
  show.Add("FILE", file.get(), "the file").Required();
  show.footer = "Example: vexokrt logs show /var/log/vexokrt/trace09";
  show.run = [file] {
    std::ifstream in(*file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vexokrt logs show: cannot open %s\n", file->c_str());
      return 1;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const TextConversion text = Cp932FileToUtf8(bytes);
    if (!text.utf8) {
      std::fprintf(stderr, "vexokrt logs show: %s: %s\n", file->c_str(), text.error.c_str());
      return 1;
    }
    std::fwrite(text.utf8->data(), 1, text.utf8->size(), stdout);
    return 0;
  };
}

}  // namespace vexokrt::tools
