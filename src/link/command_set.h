// SPDX-License-Identifier: Apache-2.0
// Every command the driver sends to the cash changer: their bytes (DC1, a
// command letter, two code characters, then fixed-width ASCII fields), how
// long and in which WaitStyle the communication thread waits for each, and
// the rule by which the final answer is judged. The link, the communication
// thread, the device layer and the device logs all build their frames here.
//
// Count blocks hold ten three-character fields in the device order 500, 100,
// 50, 10, 5, 1, 10000, 5000, 2000, 1000 yen (the counts are given in record
// order, 10000 yen first). A count must lie in 0..999; where a command allows
// markers, kCountAllPieces is sent as "???" and kCountKeywordPlace as ">>>" (mode-3
// deposit table) or "000". Any other value makes the builder answer
// OPOS_E_ILLEGAL, and nothing is sent. The KRT02/KRT03 dispense uses
// two-character fields (0..99).
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/answer_rules.h"
#include "link/device_request.h"
#include "link/line_exchange.h"
#include "link/model_code.h"

namespace vexokrt {

// Ten counts per denomination in record order, 10000 yen first (the layout
// of cash::CashCounts).
using CountBlock = std::array<int32_t, 10>;
// Markers a count may carry instead of a number (cash::kAllPieces and
// cash::kKeywordPlace).
inline constexpr int32_t kCountAllPieces = -1;
inline constexpr int32_t kCountKeywordPlace = -2;

// The device lists denominations in its own order: 500, 100, 50, 10, 5, 1,
// 10000, 5000, 2000, 1000 yen. kDeviceOrderSlots[i] is the record slot of the
// i-th field of a device count block.
inline constexpr std::array<int, 10> kDeviceOrderSlots = {4, 5, 6, 7, 8, 9, 0, 1, 2, 3};

struct DeviceCommand {
  std::vector<uint8_t> bytes;
  WaitStyle style = WaitStyle::kNone;
  int32_t timeout_ms = 1000;
  int32_t delay_after_ms = 0;
  AnswerRule rule;
};

// A command, or OPOS_E_ILLEGAL when a field is out of range.
struct BuiltCommand {
  int32_t result = 0;
  DeviceCommand command;
  bool ok() const { return result == 0; }
};

inline constexpr int32_t kDayLongTimeoutMs = 86400000;

// How markers are written in a count block.
enum class CountMarkers {
  kNone,             // only counts 0..999
  kAllOnly,          // kCountAllPieces -> "???", kCountKeywordPlace -> "000"
  kAllAndKeywords,   // kCountAllPieces -> "???", kCountKeywordPlace -> ">>>"
};
// Appends a count block; OPOS_SUCCESS or OPOS_E_ILLEGAL (|out| then unchanged).
int32_t AppendCountBlock(std::vector<uint8_t>& out, const CountBlock& counts, CountMarkers markers);

// Reads: status ("i00" on the KRT02/KRT03, "H00" on the KRT07/KRT77),
// deposit counts ("o00", 35 bytes; ",00", 32 bytes), returned counts (".00",
// 30 bytes), counts (0x22 "00"; KRT03 also "&00"), model name (":00").
DeviceCommand StatusCommand(ModelCode model);
DeviceCommand DepositCountsCommand();
DeviceCommand DepositCountsShortCommand();
DeviceCommand ReturnedCountsCommand();
DeviceCommand CountsCommand();
DeviceCommand CountsSetBCommand();
DeviceCommand ModelNameCommand();

// The communication modes of a KRT02, as its model name tells them.
enum class Krt02Mode { kNone, kA, kB };
struct ModelName {
  ModelCode model = ModelCode::kUnknown;
  Krt02Mode mode = Krt02Mode::kNone;
};
// The model a model-name answer (28 bytes, the name at bytes 20 to 26) names;
// none for any other answer.
std::optional<ModelName> ParseModelName(std::span<const uint8_t> answer);

// Line control: the speed change ("}01" with '6' for 115200 and '2' for 9600
// bit/s) and the KRT02's change to communication mode A (0x7F "01" '0').
DeviceCommand LineSpeedCommand(LineSpeed speed);
DeviceCommand Krt02ModeACommand();

// Pay-outs. Dispense: "$14" (KRT02/KRT03, two-digit fields; the KRT03 waits
// in the Dispense style for up to a day) or "n21" (KRT07/KRT77). Change:
// "!05" (KRT02/KRT03, five digits, a day) or "!06" (KRT07/KRT77, six
// digits). Amount dispense "m06" (six digits; a day on the KRT02/KRT03). An
// amount the field cannot carry is refused (106), never cut to the field.
BuiltCommand DispenseCommand(ModelCode model, const CountBlock& counts, int32_t timeout_ms);
BuiltCommand ChangeCommand(ModelCode model, int32_t amount, int32_t timeout_ms);
BuiltCommand AmountDispenseCommand(ModelCode model, int32_t amount, int32_t timeout_ms);
// The largest amount the change command of |model| carries: 99 999 yen in the
// five digits of "!05", 999 999 in the six of "!06".
int32_t ChangeAmountLimit(ModelCode model);

// "000": reset/initialise (Busy, 20 s).
DeviceCommand ResetCommand();
// "b02": the exits in use; each flag goes out as '1' when not used.
DeviceCommand ExitSelectionCommand(bool bills, bool coins);
// "Q06": settings page |mode| (0..15) with five values (0..15 each).
BuiltCommand OperatingConditionCommand(int32_t mode, const std::array<int32_t, 5>& values);
// "+00": clear the device's deposit counter.
DeviceCommand ClearDepositCounterCommand();
// "=02" (when |equals_form|) or ">02" with "20": start intake (None, 2000 ms,
// 200 ms pause after), or with "00": stop intake (Progress, 180 s, any answer).
DeviceCommand IntakeStartCommand(bool equals_form);
DeviceCommand IntakeStopCommand(bool equals_form);
// ">02" "20" as sent by direct I/O and enabling (None, 1000 ms).
DeviceCommand DirectIntakeStartCommand(ModelCode model);
// "e00": count check (Busy, |timeout_ms|).
DeviceCommand CountCheckCommand(int32_t timeout_ms);

// Take-back and deposit table. "-1>" (KRT02): count block with markers.
// "-1?" (KRT03): count block and the mode (0..3). "p22" (KRT07/KRT77): count
// block, ">>>" (mode 3) or "000", and the mode character (none above 4).
BuiltCommand TakeBackCommand(const CountBlock& counts);
BuiltCommand TakeBackKrt03Command(const CountBlock& counts, int32_t mode);
// "E01" '0': the KRT03 is asked to try a stalled take-back again.
DeviceCommand TakeBackRetryCommand();
BuiltCommand DepositTableCommand(const CountBlock& counts, int32_t mode, int32_t timeout_ms);

// "/21" (checked counts), "S21" / "T21" (set counts): count block + "000".
BuiltCommand CheckedCountsCommand(const CountBlock& counts);
BuiltCommand SetCountsCommand(char letter, const CountBlock& counts);
// "?0=": amount (6 digits), number 0..99999 (5 digits), two values 0..15.
BuiltCommand CountAndCodeCommand(int32_t amount, int32_t number, int32_t first, int32_t second);
// "l02": data page 0..9 (None, 4000 ms).
BuiltCommand PageDataCommand(int32_t page);
// "W01": settings page 0..15 (Busy, 4000 ms).
BuiltCommand SettingsPageReadCommand(int32_t page);
// Clock: "%0<" with "%Y%m%d%H%M" (KRT02), "r0>" with "%Y%m%d%H%M%S"
// (KRT07/KRT77; BEL is accepted when |claim_relaxation| is 1 or 2).
DeviceCommand ClockMinutesCommand(const std::tm& local);
DeviceCommand ClockSecondsCommand(const std::tm& local, int32_t claim_relaxation);
// "f01": count check by side 0..3 (Busy, |timeout_ms|).
BuiltCommand SideCountCheckCommand(int32_t side, int32_t timeout_ms);
// 0x60 "05": a digit 0..9 and four characters.
BuiltCommand CodeCommand(int32_t digit, std::string_view four_characters);
// "F04": deposit mode digit a + 2b + 4c (each 0 or 1), then "000".
BuiltCommand DepositModeCommand(int32_t a, int32_t b, int32_t c);
// "I02": end of deposit, '>' then '0' + 12 + a (a 0..2; Progress).
BuiltCommand EndDepositCommand(int32_t a, int32_t timeout_ms);
// "G01": operation mode, one digit.
BuiltCommand OperationModeCommand(int32_t mode);
// "P00": intake control.
DeviceCommand IntakeControlCommand();
// "V00": stop the running operation.
DeviceCommand StopCommand();
// Direct I/O readouts, sent directly while the watch is paused (1000 ms
// unless stated): coin counts and state ("[00"), the count table ("]00"),
// the program version ("Z00"), the count summary ("Y00"), the counts of
// the last change ("q00"), the coin-unit check ("\\00", 5000 ms).
DeviceCommand CoinStateCommand();
DeviceCommand CountTableCommand();
DeviceCommand VersionCommand();
// The answer to VersionCommand: six program versions of five characters, in
// this order.
enum class VersionField : size_t { kCoinUnit, kBillUnit, kValidator, kDeviceProgram, kAttachedUnit, kDefinitionFile };
inline constexpr size_t kVersionFieldCount = 6;
inline constexpr size_t kVersionFieldChars = 5;
// Field |field| of a version answer; empty when the answer is too short.
std::string VersionFieldOf(std::span<const uint8_t> answer, VersionField field);
DeviceCommand CountSummaryCommand();
DeviceCommand LastChangeCountsCommand();
DeviceCommand CoinUnitCheckCommand();
// Program download (KRT07/KRT77), lengths and serials big-endian: the start
// frame "M" (length 257, the file's kind digit '1'..'4', its first 256
// bytes), a data frame "N" (length = block + 2, the serial from 0, a block
// of 1..256 bytes) and the end frame "O00".
inline constexpr size_t kProgramBlockBytes = 256;
std::vector<uint8_t> ProgramStartFrame(char kind, std::span<const uint8_t> first_block);
std::vector<uint8_t> ProgramDataFrame(uint16_t serial, std::span<const uint8_t> block);
std::vector<uint8_t> ProgramEndFrame();
// "^01": clear count-table block 1..4 (direct).
BuiltCommand CountTableClearCommand(int32_t block);
// "u01": two count sets, 0 or 1 (Busy, 4000 ms).
BuiltCommand TwoCountSetsCommand(int32_t which);
// Memory reads: DC1, the letter, '0' '9', seven address digits and two
// length digits, all in the device's hex digits ('0' + value, so 10 to 15 are
// ':' to '?'). 's' (KRT07, KRT77) answers the bytes raw; '6' (KRT02 family,
// KRT03) answers every byte as two digit characters.
inline constexpr uint8_t kRawMemoryRead = 's';
inline constexpr uint8_t kHexTextMemoryRead = '6';
// The device's hex digit for |value| (0..15): '0'..'9', ':'..'?'.
constexpr uint8_t HexDigitChar(unsigned value) { return static_cast<uint8_t>(0x30 + (value & 0x0F)); }
// The seven address digits of |address|, zero-filled on the left. Digits
// beyond the seventh are dropped; the device's memory map stays below
// 0x10000000.
std::string AddressDigits(uint32_t address);
std::vector<uint8_t> MemoryReadCommand(uint8_t command, uint32_t address, uint8_t length);
// Memory read of a count table: the 32 bytes at 0x10002C0 (first table) or
// 0x10002A0 (second) as digit pairs (Busy, 4000 ms).
DeviceCommand MemoryCountsCommand(bool second_table);
// DC1 followed by |body| unchanged (None, |timeout_ms|, 10000 when 0); the
// answer is returned as it came.
BuiltCommand RawCommand(std::span<const uint8_t> body, int32_t timeout_ms);

}  // namespace vexokrt
