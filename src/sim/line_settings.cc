// SPDX-License-Identifier: Apache-2.0
#include "sim/line_settings.h"

#include <charconv>
#include <vector>

namespace vexokrt::sim {
namespace {

std::vector<std::string_view> SplitCommas(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                        : comma - start));
    if (comma == std::string_view::npos) return parts;
    start = comma + 1;
  }
}

std::optional<int> ParseInt(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

char ParityLetter(Parity parity) {
  switch (parity) {
    case Parity::kNone:
      return 'N';
    case Parity::kEven:
      return 'E';
    case Parity::kOdd:
      return 'O';
  }
  return '?';
}

}  // namespace

bool LineMatches(const LineSettings& host, const LineSettings& device, LineCheck check) {
  switch (check) {
    case LineCheck::kAll:
      return host == device;
    case LineCheck::kSpeedOnly:
      return host.baud == device.baud;
  }
  return false;
}

std::optional<LineSettings> ParseLineSettings(std::string_view text) {
  std::vector<std::string_view> parts = SplitCommas(text);
  if (parts.size() != 4) return std::nullopt;
  LineSettings settings;
  std::optional<int> baud = ParseInt(parts[0]);
  std::optional<int> data_bits = ParseInt(parts[2]);
  std::optional<int> stop_bits = ParseInt(parts[3]);
  if (!baud || *baud <= 0 || !data_bits || *data_bits < 5 || *data_bits > 8 || !stop_bits ||
      (*stop_bits != 1 && *stop_bits != 2)) {
    return std::nullopt;
  }
  std::string_view parity = parts[1];
  while (!parity.empty() && parity.front() == ' ') parity.remove_prefix(1);
  while (!parity.empty() && parity.back() == ' ') parity.remove_suffix(1);
  if (parity.size() != 1) return std::nullopt;
  switch (parity[0]) {
    case 'N':
    case 'n':
      settings.parity = Parity::kNone;
      break;
    case 'E':
    case 'e':
      settings.parity = Parity::kEven;
      break;
    case 'O':
    case 'o':
      settings.parity = Parity::kOdd;
      break;
    default:
      return std::nullopt;
  }
  settings.baud = *baud;
  settings.data_bits = *data_bits;
  settings.stop_bits = *stop_bits;
  return settings;
}

std::string FormatLineSettings(const LineSettings& settings) {
  return std::to_string(settings.baud) + "," + ParityLetter(settings.parity) + "," +
         std::to_string(settings.data_bits) + "," + std::to_string(settings.stop_bits);
}

}  // namespace vexokrt::sim
