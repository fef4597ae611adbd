// SPDX-License-Identifier: Apache-2.0
// The direct I/O command table and the pure pieces of its commands: which
// models and background pauses each number has, the byte input of pString
// under BinaryConversion, the argument checks made before any traffic, and
// the text forms the readouts answer in pString. Nothing here touches the
// line; the service object's DirectIO member sends the commands and hands
// their answers to these functions.
//
// Answer layouts: decimal fields are read digit by digit (character minus
// '0', most significant first), exactly as the device writes them; a
// HexNibble character is '0' + a 4-bit value, so 10..15 appear as ':'..'?'.
// A device count block is ten three-digit fields in the order 500, 100, 50,
// 10, 5, 1, 10000, 5000, 2000, 1000 yen.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cash/cash_counts.h"
#include "link/model_code.h"

namespace vexokrt::directio {

using cash::CashCounts;

// --- the command table -------------------------------------------------------

// The models a command runs on.
enum class Models : uint8_t { kAny, kKrt02, kKrt03, kNotKrt03, kNotKrt07Family, kKrt07Family };

struct CommandRow {
  int32_t number;
  Models models;
  // The history and watch pauses around the command's device work.
  bool pause;
};

// The row of |number|, or null for a number without one (refused with 106).
const CommandRow* FindCommand(int32_t number);
// Every row, in number order (51 rows, 1001 last).
std::span<const CommandRow> CommandTable();
bool ModelAllowed(Models models, ModelCode model);

// --- pString as bytes ---------------------------------------------------------

// BinaryConversion 0: the text itself; 1: pairs of characters, each pair one
// byte (low four bits of the first x 16 + low four bits of the second);
// 2: groups of three characters, each a decimal byte value. Nothing for an
// empty text, a length that does not fit the conversion, or (2) a group that
// is not three digits of a value 0..255.
std::optional<std::vector<uint8_t>> ByteInput(std::string_view text, int32_t conversion);

// --- argument checks -----------------------------------------------------------

// The count check by side (commands 21, 22, 42): |side| 0 or 1 both sides
// (only at exits 1, 4, 6), 2 bills (not at exit 3), 3 coins (not at exits
// 2, 5, 7).
bool SideAllowedAtExit(int32_t side, int32_t current_exit);
// Command 26: 1..4 decimal digits, right-aligned to four with zeros.
std::optional<std::string> FourDigitCode(std::span<const uint8_t> bytes);
// Command 32: "number,first,second" with a number 0..99999 and two values
// given as one character 0-9 or A-F.
struct CountAndCode {
  int32_t number = 0;
  int32_t first = 0;
  int32_t second = 0;
};
std::optional<CountAndCode> ParseCountAndCode(std::string_view text);
// The greedy break-down of a change amount that command 64 compares with
// (no 2000-yen target), in record order.
CashCounts ChangeTargets(int32_t amount);

// --- readout texts -------------------------------------------------------------

// Command 10: the page data with ':'..'?' raised to 'A'..'F'.
std::string PageDataText(std::span<const uint8_t> data);

// Status texts from the kept status record (byte numbers from 0; a record
// too short for a byte reads it as '0').
std::string StatusFlagsText(std::span<const uint8_t> status);    // command 23
std::string StatusSummaryText(std::span<const uint8_t> status);  // command 81
std::string FillLevelsText(std::span<const uint8_t> status);     // command 87

// Command 41 ("[00"): at least 27 data bytes.
struct CoinState {
  CashCounts counts{};  // coins only
  int32_t s = 0;
  int32_t warning = 0;
  int32_t alarm = 0;
};
std::optional<CoinState> ParseCoinState(std::span<const uint8_t> data);
// "1:..,5:..,10:..,50:..,100:..,500:..,s,warning,alarm"
std::string CoinStateText(const CoinState& state);
// The text of a failed exchange: all zero, alarm 1.
std::string CoinStateFailureText();

// Command 52 ("]00"), block 1..4; nothing for data shorter than 120 bytes.
std::optional<std::string> CountTableText(std::span<const uint8_t> data, int32_t block);
// Command 62: the version, then a comma before every group of five.
std::string VersionText(int32_t service_object_version, std::span<const uint8_t> data);
// Command 63 ("Y00"): exactly 40 bytes.
std::optional<std::string> CountSummaryText(std::span<const uint8_t> data);
// Command 64 ("q00"): exactly 33 bytes, compared with |last_change|.
std::optional<std::string> LastChangeText(std::span<const uint8_t> data, int32_t last_change);
// Command 74 ("u01"): exactly 73 bytes.
std::optional<std::string> TwoBlockText(std::span<const uint8_t> data);
// Commands 82 and 83 (memory read): exactly 64 bytes.
std::optional<std::string> MemoryCountsText(std::span<const uint8_t> data);

// --- operating-settings pages -----------------------------------------------------

// Command 73: the text of page |page| from its five HexNibble characters,
// "P:v,v,v,v,v" (P the page in decimal, or A..F for 10..15; each value 0-9
// or A-F). Nothing when the answer is not five characters of 0..15.
std::optional<std::string> SettingsPageText(int32_t page, std::span<const uint8_t> data);

}  // namespace vexokrt::directio
