// SPDX-License-Identifier: Apache-2.0
#include "directio/readouts.h"

#include <algorithm>
#include <cstdio>

namespace vexokrt::directio {
namespace {

// Record slot of the i-th field of a device count block.
constexpr std::array<int, 10> kDeviceOrder = {4, 5, 6, 7, 8, 9, 0, 1, 2, 3};

constexpr CommandRow kRows[] = {
    {1, Models::kAny, false},          {2, Models::kKrt02, true},         {3, Models::kKrt03, true},
    {4, Models::kNotKrt07Family, true}, {8, Models::kNotKrt03, true},     {9, Models::kNotKrt03, true},
    {10, Models::kKrt02, true},        {11, Models::kKrt02, false},       {12, Models::kKrt02, true},
    {13, Models::kKrt02, true},        {21, Models::kKrt07Family, true},  {22, Models::kKrt07Family, true},
    {23, Models::kKrt07Family, false}, {24, Models::kKrt07Family, true},  {25, Models::kKrt07Family, true},
    {26, Models::kKrt07Family, true},  {27, Models::kKrt07Family, true},  {28, Models::kKrt07Family, true},
    {29, Models::kKrt07Family, true},  {30, Models::kKrt07Family, true},  {31, Models::kKrt07Family, true},
    {32, Models::kKrt07Family, true},  {33, Models::kKrt07Family, true},  {41, Models::kKrt07Family, true},
    {42, Models::kKrt07Family, true},  {43, Models::kKrt07Family, true},  {51, Models::kKrt07Family, false},
    {52, Models::kKrt07Family, true},  {53, Models::kKrt07Family, true},  {61, Models::kKrt07Family, true},
    {62, Models::kKrt07Family, true},  {63, Models::kKrt07Family, true},  {64, Models::kKrt07Family, true},
    {71, Models::kKrt07Family, true},  {72, Models::kKrt07Family, true},  {73, Models::kKrt07Family, true},
    {74, Models::kKrt07Family, true},  {75, Models::kKrt07Family, true},  {76, Models::kKrt07Family, true},
    {77, Models::kKrt07Family, true},  {78, Models::kKrt07Family, true},  {79, Models::kKrt07Family, true},
    {80, Models::kKrt07Family, false}, {81, Models::kKrt07Family, false}, {82, Models::kKrt07Family, true},
    {83, Models::kKrt07Family, true},  {84, Models::kKrt07Family, true},  {85, Models::kKrt07Family, true},
    {86, Models::kKrt07Family, true},  {87, Models::kKrt07Family, false}, {1001, Models::kAny, false},
};
static_assert(std::size(kRows) == 51);

// n digits at |at|, each character minus '0'.
int32_t Decimal(std::span<const uint8_t> data, size_t at, size_t n) {
  int32_t value = 0;
  for (size_t i = 0; i < n; ++i) value = value * 10 + (static_cast<int32_t>(data[at + i]) - '0');
  return value;
}

// Four HexNibble characters at |at|, most significant first.
int32_t Hex16(std::span<const uint8_t> data, size_t at) {
  int32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value * 16 + ((static_cast<int32_t>(data[at + i]) - '0') & 0x0F);
  return value;
}

CashCounts DeviceBlock(std::span<const uint8_t> data, size_t at, size_t width = 3) {
  CashCounts counts{};
  for (size_t i = 0; i < 10; ++i) counts[kDeviceOrder[i]] = Decimal(data, at + i * width, width);
  return counts;
}

// The eleven-field layout of "Y00" and "q00": field 0 is 500 yen down to
// field 5 (1 yen), then 10000 (6) down to 1000 (9); field 10 is not used.
CashCounts ElevenFieldCounts(std::span<const uint8_t> data) {
  CashCounts counts{};
  for (size_t field = 0; field < 10; ++field) counts[kDeviceOrder[field]] = Decimal(data, field * 3, 3);
  return counts;
}

bool Bit(std::span<const uint8_t> status, size_t byte, uint8_t mask) {
  const uint8_t value = byte < status.size() ? status[byte] : static_cast<uint8_t>('0');
  return (value & mask) != 0;
}

uint8_t StatusByte(std::span<const uint8_t> status, size_t byte) {
  return byte < status.size() ? status[byte] : static_cast<uint8_t>('0');
}

char Flag(bool on) { return on ? '1' : '0'; }

std::string ValueText(int32_t value) {
  return value < 10 ? std::string(1, static_cast<char>('0' + value)) : std::string(1, static_cast<char>('A' + value - 10));
}

std::optional<int32_t> HexValue(std::string_view field) {
  if (field.size() != 1) return std::nullopt;
  const char c = field[0];
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

}  // namespace

const CommandRow* FindCommand(int32_t number) {
  for (const CommandRow& row : kRows) {
    if (row.number == number) return &row;
  }
  return nullptr;
}

std::span<const CommandRow> CommandTable() { return kRows; }

bool ModelAllowed(Models models, ModelCode model) {
  switch (models) {
    case Models::kAny:
      return true;
    case Models::kKrt02:
      return model == ModelCode::kKrt02;
    case Models::kKrt03:
      return model == ModelCode::kKrt03;
    case Models::kNotKrt03:
      return model != ModelCode::kKrt03;
    case Models::kNotKrt07Family:
      return !IsKrt07Family(model);
    case Models::kKrt07Family:
      return IsKrt07Family(model);
  }
  return false;
}

std::optional<std::vector<uint8_t>> ByteInput(std::string_view text, int32_t conversion) {
  if (text.empty()) return std::nullopt;
  std::vector<uint8_t> bytes;
  switch (conversion) {
    case 1:
      if (text.size() % 2 != 0) return std::nullopt;
      for (size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(((text[i] & 0x0F) << 4) | (text[i + 1] & 0x0F)));
      }
      return bytes;
    case 2:
      if (text.size() % 3 != 0) return std::nullopt;
      for (size_t i = 0; i < text.size(); i += 3) {
        int value = 0;
        for (size_t k = 0; k < 3; ++k) {
          const char c = text[i + k];
          if (c < '0' || c > '9') return std::nullopt;
          value = value * 10 + (c - '0');
        }
        if (value > 255) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(value));
      }
      return bytes;
    default:
      bytes.assign(text.begin(), text.end());
      return bytes;
  }
}

bool SideAllowedAtExit(int32_t side, int32_t current_exit) {
  switch (side) {
    case 0:
    case 1:
      return current_exit == 1 || current_exit == 4 || current_exit == 6;
    case 2:
      return current_exit != 3;
    case 3:
      return current_exit != 2 && current_exit != 5 && current_exit != 7;
    default:
      return false;
  }
}

std::optional<std::string> FourDigitCode(std::span<const uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > 4) return std::nullopt;
  std::string code(4 - bytes.size(), '0');
  for (const uint8_t b : bytes) {
    if (b < '0' || b > '9') return std::nullopt;
    code.push_back(static_cast<char>(b));
  }
  return code;
}

std::optional<CountAndCode> ParseCountAndCode(std::string_view text) {
  const std::vector<std::string_view> fields = Split(text, ',');
  if (fields.size() != 3 || fields[0].empty() || fields[0].size() > 5) return std::nullopt;
  CountAndCode parsed;
  for (const char c : fields[0]) {
    if (c < '0' || c > '9') return std::nullopt;
    parsed.number = parsed.number * 10 + (c - '0');
  }
  const std::optional<int32_t> first = HexValue(fields[1]);
  const std::optional<int32_t> second = HexValue(fields[2]);
  if (!first || !second) return std::nullopt;
  parsed.first = *first;
  parsed.second = *second;
  return parsed;
}

CashCounts ChangeTargets(int32_t amount) {
  CashCounts targets{};
  targets[0] = amount / 10000;
  int32_t rest = amount % 10000;
  // Record order without the 2000-yen note (index 2).
  for (const int index : {1, 3, 4, 5, 6, 7, 8, 9}) {
    targets[index] = rest / cash::kFaceValues[index];
    rest %= cash::kFaceValues[index];
  }
  return targets;
}

std::string PageDataText(std::span<const uint8_t> data) {
  std::string text;
  for (uint8_t b : data) text.push_back(static_cast<char>(b >= ':' && b <= '?' ? b + 7 : b));
  return text;
}

std::string StatusFlagsText(std::span<const uint8_t> status) {
  const char flags[] = {Flag(Bit(status, 7, 0x04)), Flag(Bit(status, 7, 0x01)), Flag(Bit(status, 8, 0x04)),
                        Flag(Bit(status, 8, 0x01)), Flag(Bit(status, 8, 0x02))};
  std::string text;
  for (size_t i = 0; i < std::size(flags); ++i) {
    if (i > 0) text.push_back(',');
    text.push_back(flags[i]);
  }
  return text;
}

std::string StatusSummaryText(std::span<const uint8_t> status) {
  long first = StatusByte(status, 1) & 0x0F;
  if (first == 12) first = 0;
  char text[64];
  std::snprintf(text, sizeof text, "%lx,%d,%c,%c,%c", first, StatusByte(status, 45) & 3, Flag(Bit(status, 45, 0x04)),
                Flag(Bit(status, 44, 0x04)), static_cast<char>('0' + (StatusByte(status, 2) & 0x0F)));
  return text;
}

std::string FillLevelsText(std::span<const uint8_t> status) {
  struct Place {
    size_t column;
    uint8_t bit;
  };
  constexpr Place kPlaces[] = {{0, 0x02}, {1, 0x08}, {0, 0x01}, {1, 0x04}, {1, 0x02},
                               {1, 0x01}, {2, 0x08}, {2, 0x04}, {2, 0x02}, {2, 0x01}};
  // The triples in the order they are applied; the last match wins.
  constexpr std::pair<size_t, char> kTriples[] = {{12, '2'}, {9, '1'}, {15, '3'}, {18, '4'}};
  std::string text;
  for (size_t i = 0; i < std::size(kPlaces); ++i) {
    char level = '0';
    for (const auto& [first_byte, mark] : kTriples) {
      if (Bit(status, first_byte + kPlaces[i].column, kPlaces[i].bit)) level = mark;
    }
    if (i > 0) text.push_back(',');
    text.push_back(level);
  }
  return text;
}

std::optional<CoinState> ParseCoinState(std::span<const uint8_t> data) {
  if (data.size() < 27) return std::nullopt;
  CoinState state;
  for (size_t i = 0; i < 6; ++i) state.counts[cash::kFirstCoin + i] = Decimal(data, i * 3, 3);
  state.s = static_cast<int32_t>(data[24]) - '0';
  const int32_t p = static_cast<int32_t>(data[25]) - '0';
  const int32_t q = static_cast<int32_t>(data[26]) - '0';
  state.warning = (p != 0 || q > 3) ? 1 : 0;
  state.alarm = (p == 15 && q == 15) ? 1 : 0;
  return state;
}

std::string CoinStateText(const CoinState& state) {
  const CashCounts& c = state.counts;
  char text[160];
  std::snprintf(text, sizeof text, "1:%ld,5:%ld,10:%ld,50:%ld,100:%ld,500:%ld,%d,%d,%d", static_cast<long>(c[9]),
                static_cast<long>(c[8]), static_cast<long>(c[7]), static_cast<long>(c[6]), static_cast<long>(c[5]),
                static_cast<long>(c[4]), state.s, state.warning, state.alarm);
  return text;
}

std::string CoinStateFailureText() {
  CoinState failed;
  failed.alarm = 1;
  return CoinStateText(failed);
}

std::optional<std::string> CountTableText(std::span<const uint8_t> data, int32_t block) {
  if (data.size() < 120) return std::nullopt;
  CashCounts counts{};
  switch (block) {
    case 1:
      counts = DeviceBlock(data, 0);
      break;
    case 2:
      counts = DeviceBlock(data, 33, 4);
      break;
    case 3:
      for (size_t i = 0; i < 4; ++i) counts[i] = Decimal(data, 81 + i * 3, 3);
      break;
    case 4:
      for (size_t i = 0; i < 4; ++i) counts[i] = Decimal(data, 96 + i * 4, 4);
      break;
    default:
      return std::nullopt;
  }
  return cash::FormatPlain(counts);
}

std::string VersionText(int32_t service_object_version, std::span<const uint8_t> data) {
  std::string text = std::to_string(service_object_version);
  for (size_t i = 0; i < data.size(); ++i) {
    if (i % 5 == 0) text.push_back(',');
    text.push_back(static_cast<char>(data[i]));
  }
  return text;
}

std::optional<std::string> CountSummaryText(std::span<const uint8_t> data) {
  if (data.size() != 40) return std::nullopt;
  return cash::FormatPlain(ElevenFieldCounts(data)) + "," + std::to_string(Decimal(data, 33, 6)) + "," +
         static_cast<char>(data[39]);
}

std::optional<std::string> LastChangeText(std::span<const uint8_t> data, int32_t last_change) {
  if (data.size() != 33) return std::nullopt;
  const CashCounts held = ElevenFieldCounts(data);
  const CashCounts targets = ChangeTargets(last_change);
  auto sign = [&](int index) -> char {
    if (held[index] == targets[index]) return '0';
    return held[index] < targets[index] ? '-' : '+';
  };
  std::string text = cash::FormatPlain(held);
  text += ";1:";
  text += sign(9);
  text += ",5:";
  text += sign(8);
  text += ",10:";
  text += sign(7);
  text += ",50:";
  text += sign(6);
  text += ",100:";
  text += sign(5);
  text += ",500:";
  text += sign(4);
  text += ";1000:";
  text += sign(3);
  text += ",2000:0,5000:";
  text += sign(1);
  text += ",10000:";
  text += sign(0);
  return text;
}

std::optional<std::string> TwoBlockText(std::span<const uint8_t> data) {
  if (data.size() != 73) return std::nullopt;
  return cash::FormatPlain(DeviceBlock(data, 0)) + "/" + cash::FormatPlain(DeviceBlock(data, 33)) + "," +
         std::to_string(Decimal(data, 66, 6)) + "," + std::to_string(static_cast<int32_t>(data[72]) - '0');
}

std::optional<std::string> MemoryCountsText(std::span<const uint8_t> data) {
  if (data.size() != 64) return std::nullopt;
  // Record order 10000 .. 1 from the sixteen values.
  constexpr std::array<size_t, 10> kValueOf = {0, 1, 2, 3, 8, 9, 10, 11, 12, 13};
  CashCounts counts{};
  for (size_t i = 0; i < counts.size(); ++i) counts[i] = Hex16(data, kValueOf[i] * 4);
  return cash::FormatPlain(counts);
}

std::optional<std::string> SettingsPageText(int32_t page, std::span<const uint8_t> data) {
  if (data.size() != 5 || page < 0 || page > 15) return std::nullopt;
  std::string text = page >= 10 ? std::string(1, static_cast<char>('A' + page - 10)) : std::to_string(page);
  text.push_back(':');
  for (size_t i = 0; i < data.size(); ++i) {
    const int32_t value = static_cast<int32_t>(data[i]) - '0';
    if (value < 0 || value > 15) return std::nullopt;
    if (i > 0) text.push_back(',');
    text += ValueText(value);
  }
  return text;
}

}  // namespace vexokrt::directio
