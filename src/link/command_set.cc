// SPDX-License-Identifier: Apache-2.0
#include "link/command_set.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "opos/opos.h"

namespace vexokrt {
namespace {

using A = AnswerAction;

std::vector<uint8_t> Head(uint8_t letter, char c1, char c2) {
  return {kDc1, letter, static_cast<uint8_t>(c1), static_cast<uint8_t>(c2)};
}

void AppendText(std::vector<uint8_t>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void AppendDecimal(std::vector<uint8_t>& out, int64_t value, int width) {
  char text[24];
  std::snprintf(text, sizeof(text), "%0*lld", width, static_cast<long long>(value));
  AppendText(out, text);
}

// A 4-bit value as the character '0' + value (10..15 appear as ':'..'?').
uint8_t HexNibble(int32_t value) { return static_cast<uint8_t>('0' + value); }

BuiltCommand Illegal() { return BuiltCommand{opos::OPOS_E_ILLEGAL, {}}; }

DeviceCommand Make(std::vector<uint8_t> bytes, WaitStyle style, int32_t timeout_ms, AnswerRule rule,
                   int32_t delay_after_ms = 0) {
  DeviceCommand command;
  command.bytes = std::move(bytes);
  command.style = style;
  command.timeout_ms = timeout_ms;
  command.delay_after_ms = delay_after_ms;
  command.rule = std::move(rule);
  return command;
}

BuiltCommand Built(DeviceCommand command) { return BuiltCommand{opos::OPOS_SUCCESS, std::move(command)}; }

// A data frame is the answer; BEL carries its error code.
AnswerRule DataRule() { return AnswerRule::Table({{kBel, A::kReplyErrorCode}}, A::kFailure, A::kSuccess); }

// ACK succeeds; anything else is judged by the DeviceErrorNumber.
AnswerRule AcknowledgeOrErrorNumber() {
  return AnswerRule::Table({{kAck, A::kSuccess}}, A::kDeviceErrorNumber, A::kDeviceErrorNumber);
}

bool InRange(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

}  // namespace

int32_t AppendCountBlock(std::vector<uint8_t>& out, const CountBlock& counts, CountMarkers markers) {
  std::vector<uint8_t> block;
  for (int slot : kDeviceOrderSlots) {
    const int32_t count = counts[slot];
    if (InRange(count, 0, 999)) {
      AppendDecimal(block, count, 3);
    } else if (count == kCountAllPieces && markers != CountMarkers::kNone) {
      AppendText(block, "???");
    } else if (count == kCountKeywordPlace && markers == CountMarkers::kAllAndKeywords) {
      AppendText(block, ">>>");
    } else if (count == kCountKeywordPlace && markers == CountMarkers::kAllOnly) {
      AppendText(block, "000");
    } else {
      return opos::OPOS_E_ILLEGAL;
    }
  }
  out.insert(out.end(), block.begin(), block.end());
  return opos::OPOS_SUCCESS;
}

DeviceCommand StatusCommand(ModelCode model) {
  return Make(Head(IsKrt07Family(model) ? 'H' : 'i', '0', '0'), WaitStyle::kNone, 1000, DataRule());
}
DeviceCommand DepositCountsCommand() { return Make(Head('o', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand DepositCountsShortCommand() { return Make(Head(',', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand ReturnedCountsCommand() { return Make(Head('.', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand CountsCommand() { return Make(Head(0x22, '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand CountsSetBCommand() { return Make(Head('&', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand ModelNameCommand() { return Make(Head(':', '0', '0'), WaitStyle::kNone, 500, DataRule()); }

std::optional<ModelName> ParseModelName(std::span<const uint8_t> answer) {
  constexpr size_t kAnswerLength = 28;
  constexpr size_t kNameAt = 20;
  struct Entry {
    std::array<uint8_t, 7> bytes;
    ModelName name;
  };
  static constexpr std::array<Entry, 5> kNames = {{
      {{'K', 'R', 'T', '0', '2', 'F', 'A'}, {ModelCode::kKrt02, Krt02Mode::kA}},
      {{'K', 'R', 'T', '0', '2', 'F', ' '}, {ModelCode::kKrt02, Krt02Mode::kB}},
      // Followed by a full-width blank in the device's code page.
      {{'K', 'R', 'T', '0', '3', 0x81, 0x40}, {ModelCode::kKrt03, Krt02Mode::kNone}},
      {{'K', 'R', 'T', '0', '7', 'A', ' '}, {ModelCode::kKrt07, Krt02Mode::kNone}},
      {{'K', 'R', 'T', '7', '7', 'A', ' '}, {ModelCode::kKrt77, Krt02Mode::kNone}},
  }};
  if (answer.size() != kAnswerLength) return std::nullopt;
  for (const Entry& entry : kNames) {
    if (std::equal(entry.bytes.begin(), entry.bytes.end(), answer.begin() + kNameAt)) return entry.name;
  }
  return std::nullopt;
}

DeviceCommand LineSpeedCommand(LineSpeed speed) {
  std::vector<uint8_t> bytes = Head('}', '0', '1');
  bytes.push_back(speed == LineSpeed::kFast ? '6' : '2');
  return Make(std::move(bytes), WaitStyle::kNone, 1000, AnswerRule::Plain({kAck}));
}

DeviceCommand Krt02ModeACommand() {
  std::vector<uint8_t> bytes = Head(0x7F, '0', '1');
  bytes.push_back('0');
  return Make(std::move(bytes), WaitStyle::kNone, 1000, AnswerRule::Plain({kAck}));
}

BuiltCommand DispenseCommand(ModelCode model, const CountBlock& counts, int32_t timeout_ms) {
  if (IsKrt07Family(model)) {
    std::vector<uint8_t> bytes = Head('n', '2', '1');
    if (AppendCountBlock(bytes, counts, CountMarkers::kNone) != opos::OPOS_SUCCESS) return Illegal();
    AppendText(bytes, "000");
    return Built(Make(std::move(bytes), WaitStyle::kBusy, timeout_ms,
                      AnswerRule::Action({kAck, kLf, kEtb}, /*nak_is_failure=*/true)));
  }
  std::vector<uint8_t> bytes = Head('$', '1', '4');
  for (int slot : kDeviceOrderSlots) {
    if (!InRange(counts[slot], 0, 99)) return Illegal();
    AppendDecimal(bytes, counts[slot], 2);
  }
  if (model == ModelCode::kKrt03) {
    return Built(Make(std::move(bytes), WaitStyle::kDispense, kDayLongTimeoutMs,
                      AnswerRule::ShortAction({kAck, kLf, kDc4, kEtb, kDc3})));
  }
  return Built(Make(std::move(bytes), WaitStyle::kBusy, timeout_ms, AnswerRule::ShortAction({kAck, kLf, kDc4, kEtb})));
}

namespace {

// "!05"/"!06" (change) and "m06" (amount dispense) share their fields and
// answers; only the letter differs, and the KRT02/KRT03 change has five
// digits where the amount dispense keeps six.
BuiltCommand PayAmount(ModelCode model, uint8_t letter, int32_t amount, int32_t timeout_ms) {
  const bool five_digits = letter == '!' && !IsKrt07Family(model);
  // Cut to the field, an amount would pay something else than asked.
  if (amount < 0 || amount > (five_digits ? 99999 : 999999)) return Illegal();
  if (IsKrt07Family(model)) {
    std::vector<uint8_t> bytes = Head(letter, '0', '6');
    AppendDecimal(bytes, amount, 6);
    return Built(Make(std::move(bytes), WaitStyle::kBusy, timeout_ms, AnswerRule::Action({kAck, kLf, kDc4, kEtb})));
  }
  std::vector<uint8_t> bytes = Head(letter, '0', five_digits ? '5' : '6');
  AppendDecimal(bytes, amount, five_digits ? 5 : 6);
  AnswerRule rule = model == ModelCode::kKrt03 ? AnswerRule::ShortAction({kAck, kLf, kDc3, kDc4, kEtb})
                                               : AnswerRule::Action({kAck, kLf, kDc4, kEtb});
  return Built(Make(std::move(bytes), WaitStyle::kBusy, kDayLongTimeoutMs, std::move(rule)));
}

}  // namespace

BuiltCommand ChangeCommand(ModelCode model, int32_t amount, int32_t timeout_ms) {
  return PayAmount(model, '!', amount, timeout_ms);
}

BuiltCommand AmountDispenseCommand(ModelCode model, int32_t amount, int32_t timeout_ms) {
  return PayAmount(model, 'm', amount, timeout_ms);
}

int32_t ChangeAmountLimit(ModelCode model) { return IsKrt07Family(model) ? 999999 : 99999; }

DeviceCommand ResetCommand() {
  return Make(Head('0', '0', '0'), WaitStyle::kBusy, 20000,
              AnswerRule::Table({{kBel, A::kFailure}, {kCan, A::kCancelDetailOrSuccess}}, A::kSuccess, A::kSuccess));
}

DeviceCommand ExitSelectionCommand(bool bills, bool coins) {
  std::vector<uint8_t> bytes = Head('b', '0', '2');
  bytes.push_back(bills ? '0' : '1');
  bytes.push_back(coins ? '0' : '1');
  return Make(std::move(bytes), WaitStyle::kBusy, 4000, AnswerRule::Plain(AnswerSet::AnyBut({kBel})));
}

BuiltCommand OperatingConditionCommand(int32_t mode, const std::array<int32_t, 5>& values) {
  if (!InRange(mode, 0, 15)) return Illegal();
  std::vector<uint8_t> bytes = Head('Q', '0', '6');
  bytes.push_back(HexNibble(mode));
  for (int32_t value : values) {
    if (!InRange(value, 0, 15)) return Illegal();
    bytes.push_back(HexNibble(value));
  }
  return Built(Make(std::move(bytes), WaitStyle::kBusy, 4000,
                    AnswerRule::Table({{kAck, A::kSuccess}, {kEtb, A::kSuccess}, {kBel, A::kReplyErrorCode}},
                                      A::kDeviceErrorNumber, A::kDeviceErrorNumber)));
}

DeviceCommand ClearDepositCounterCommand() {
  return Make(Head('+', '0', '0'), WaitStyle::kNone, 1000, AnswerRule::Plain(AnswerSet::AnyBut({kBel, kNak})));
}

DeviceCommand IntakeStartCommand(bool equals_form) {
  std::vector<uint8_t> bytes = Head(equals_form ? '=' : '>', '0', '2');
  AppendText(bytes, "20");
  return Make(std::move(bytes), WaitStyle::kNone, 2000, AnswerRule::Plain(AnswerSet::AnyBut({kBel, kNak, kSub})),
              /*delay_after_ms=*/200);
}

DeviceCommand IntakeStopCommand(bool equals_form) {
  std::vector<uint8_t> bytes = Head(equals_form ? '=' : '>', '0', '2');
  AppendText(bytes, "00");
  return Make(std::move(bytes), WaitStyle::kProgress, 180000, AnswerRule::Table({}, A::kSuccess, A::kSuccess));
}

DeviceCommand DirectIntakeStartCommand(ModelCode model) {
  std::vector<uint8_t> bytes = Head('>', '0', '2');
  AppendText(bytes, "20");
  AnswerSet done{kAck, kLf, kEtb, kCan};
  if (model == ModelCode::kKrt03) done = done.With(kDc3);
  return Make(std::move(bytes), WaitStyle::kNone, 1000, AnswerRule::Plain(done));
}

DeviceCommand CountCheckCommand(int32_t timeout_ms) {
  return Make(Head('e', '0', '0'), WaitStyle::kBusy, timeout_ms, AnswerRule::Plain({kAck, kLf, kDc4, kEtb}));
}

namespace {

AnswerRule TakeBackRule() {
  return AnswerRule::Table({{kAck, A::kSuccess},
                            {kLf, A::kSuccess},
                            {kDc3, A::kSuccess},
                            {kDc4, A::kSuccess},
                            {kEtb, A::kSuccess},
                            {kBel, A::kNotPossibleUnlessJammed},
                            {kEm, A::kNotPossibleNow}},
                           A::kFailure);
}

}  // namespace

BuiltCommand TakeBackCommand(const CountBlock& counts) {
  std::vector<uint8_t> bytes = Head('-', '1', '>');
  if (AppendCountBlock(bytes, counts, CountMarkers::kAllOnly) != opos::OPOS_SUCCESS) return Illegal();
  return Built(Make(std::move(bytes), WaitStyle::kTakeBack, 50000, TakeBackRule()));
}

BuiltCommand TakeBackKrt03Command(const CountBlock& counts, int32_t mode) {
  static constexpr char kModeCharacters[] = {'0', '2', '1', '3'};
  if (!InRange(mode, 0, 3)) return Illegal();
  std::vector<uint8_t> bytes = Head('-', '1', '?');
  if (AppendCountBlock(bytes, counts, CountMarkers::kAllOnly) != opos::OPOS_SUCCESS) return Illegal();
  bytes.push_back(static_cast<uint8_t>(kModeCharacters[mode]));
  return Built(Make(std::move(bytes), WaitStyle::kTakeBack, 50000, TakeBackRule()));
}

DeviceCommand TakeBackRetryCommand() {
  std::vector<uint8_t> bytes = Head('E', '0', '1');
  bytes.push_back('0');
  return Make(std::move(bytes), WaitStyle::kNone, 1000, AnswerRule::Plain(AnswerSet::AnyBut({})));
}

BuiltCommand DepositTableCommand(const CountBlock& counts, int32_t mode, int32_t timeout_ms) {
  if (mode < 0) return Illegal();
  std::vector<uint8_t> bytes = Head('p', '2', '2');
  const CountMarkers markers = mode == 3 ? CountMarkers::kAllAndKeywords : CountMarkers::kAllOnly;
  if (AppendCountBlock(bytes, counts, markers) != opos::OPOS_SUCCESS) return Illegal();
  AppendText(bytes, mode == 3 ? ">>>" : "000");
  switch (mode) {
    case 0:
    case 3:
      bytes.push_back('0');
      break;
    case 1:
      bytes.push_back('3');
      break;
    case 2:
      bytes.push_back('4');
      break;
    case 4:
      bytes.push_back('8');
      break;
    default:  // modes above 4 carry no mode character
      break;
  }
  return Built(Make(std::move(bytes), WaitStyle::kTakeBack, timeout_ms, AnswerRule::Action({kAck, kLf, kEtb})));
}

BuiltCommand CheckedCountsCommand(const CountBlock& counts) {
  std::vector<uint8_t> bytes = Head('/', '2', '1');
  if (AppendCountBlock(bytes, counts, CountMarkers::kNone) != opos::OPOS_SUCCESS) return Illegal();
  AppendText(bytes, "000");
  return Built(Make(std::move(bytes), WaitStyle::kNone, 1000, AcknowledgeOrErrorNumber()));
}

BuiltCommand SetCountsCommand(char letter, const CountBlock& counts) {
  if (letter != 'S' && letter != 'T') return Illegal();
  std::vector<uint8_t> bytes = Head(static_cast<uint8_t>(letter), '2', '1');
  if (AppendCountBlock(bytes, counts, CountMarkers::kNone) != opos::OPOS_SUCCESS) return Illegal();
  AppendText(bytes, "000");
  return Built(Make(std::move(bytes), WaitStyle::kNone, 1000, AnswerRule::Plain({kAck, kLf, kDc3, kEtb})));
}

BuiltCommand CountAndCodeCommand(int32_t amount, int32_t number, int32_t first, int32_t second) {
  if (amount < 0 || !InRange(number, 0, 99999) || !InRange(first, 0, 15) || !InRange(second, 0, 15)) {
    return Illegal();
  }
  std::vector<uint8_t> bytes = Head('?', '0', '=');
  AppendDecimal(bytes, amount % 1000000, 6);
  AppendDecimal(bytes, number, 5);
  bytes.push_back(HexNibble(first));
  bytes.push_back(HexNibble(second));
  return Built(Make(std::move(bytes), WaitStyle::kNone, 1000, AcknowledgeOrErrorNumber()));
}

BuiltCommand PageDataCommand(int32_t page) {
  if (!InRange(page, 0, 9)) return Illegal();
  std::vector<uint8_t> bytes = Head('l', '0', '2');
  AppendDecimal(bytes, page, 2);
  return Built(Make(std::move(bytes), WaitStyle::kNone, 4000, DataRule()));
}

BuiltCommand SettingsPageReadCommand(int32_t page) {
  if (!InRange(page, 0, 15)) return Illegal();
  std::vector<uint8_t> bytes = Head('W', '0', '1');
  bytes.push_back(HexNibble(page));
  return Built(Make(std::move(bytes), WaitStyle::kBusy, 4000, DataRule()));
}

namespace {

std::string FormatTime(const std::tm& local, const char* format) {
  char text[32];
  const size_t length = std::strftime(text, sizeof(text), format, &local);
  return std::string(text, length);
}

}  // namespace

DeviceCommand ClockMinutesCommand(const std::tm& local) {
  std::vector<uint8_t> bytes = Head('%', '0', '<');
  AppendText(bytes, FormatTime(local, "%Y%m%d%H%M"));
  return Make(std::move(bytes), WaitStyle::kNone, 2000,
              AnswerRule::Table({{kAck, A::kSuccess}, {kCan, A::kSuccess}}, A::kFailure));
}

DeviceCommand ClockSecondsCommand(const std::tm& local, int32_t claim_relaxation) {
  std::vector<uint8_t> bytes = Head('r', '0', '>');
  AppendText(bytes, FormatTime(local, "%Y%m%d%H%M%S"));
  const A bell = (claim_relaxation == 1 || claim_relaxation == 2) ? A::kSuccess : A::kReplyErrorCode;
  return Make(std::move(bytes), WaitStyle::kNone, 2000,
              AnswerRule::Table({{kAck, A::kSuccess}, {kBel, bell}, {kCan, A::kReadRuleC}, {kNak, A::kFailure}},
                                A::kDeviceErrorNumber, A::kDeviceErrorNumber));
}

BuiltCommand SideCountCheckCommand(int32_t side, int32_t timeout_ms) {
  if (!InRange(side, 0, 3)) return Illegal();
  std::vector<uint8_t> bytes = Head('f', '0', '1');
  bytes.push_back(static_cast<uint8_t>('0' + side));
  AnswerRule rule = AnswerRule::Table({{kAck, A::kSuccess},
                                       {kLf, A::kSuccess},
                                       {kDc1, A::kSuccess},
                                       {kEtb, A::kSuccess},
                                       {kBel, A::kReplyErrorCode},
                                       {kCan, A::kReadRuleC},
                                       {kNak, A::kFailure}},
                                      A::kDeviceErrorNumber, A::kDeviceErrorNumber);
  rule.cancelled_first = true;
  return Built(Make(std::move(bytes), WaitStyle::kBusy, timeout_ms, std::move(rule)));
}

BuiltCommand CodeCommand(int32_t digit, std::string_view four_characters) {
  if (!InRange(digit, 0, 9) || four_characters.size() != 4) return Illegal();
  std::vector<uint8_t> bytes = Head(0x60, '0', '5');
  bytes.push_back(static_cast<uint8_t>('0' + digit));
  AppendText(bytes, four_characters);
  return Built(Make(std::move(bytes), WaitStyle::kNone, 1000,
                    AnswerRule::Table({{kAck, A::kSuccess}, {kBel, A::kReplyErrorCode}, {kCan, A::kReadRuleC},
                                       {kNak, A::kFailure}},
                                      A::kFailure)));
}

BuiltCommand DepositModeCommand(int32_t a, int32_t b, int32_t c) {
  if (!InRange(a, 0, 1) || !InRange(b, 0, 1) || !InRange(c, 0, 1)) return Illegal();
  std::vector<uint8_t> bytes = Head('F', '0', '4');
  bytes.push_back(static_cast<uint8_t>('0' + a + 2 * b + 4 * c));
  AppendText(bytes, "000");
  // The DC3 answer carries the rule-A code of its follow-up read.
  return Built(Make(std::move(bytes), WaitStyle::kNone, 1000,
                    AnswerRule::Table({{kAck, A::kSuccess},
                                       {kEtb, A::kSuccess},
                                       {kBel, A::kReplyErrorCode},
                                       {kCan, A::kReadRuleC},
                                       {kSub, A::kReadRuleC},
                                       {kDc3, A::kReplyErrorCode},
                                       {kNak, A::kFailure}},
                                      A::kFailure)));
}

BuiltCommand EndDepositCommand(int32_t a, int32_t timeout_ms) {
  if (!InRange(a, 0, 2)) return Illegal();
  std::vector<uint8_t> bytes = Head('I', '0', '2');
  bytes.push_back('>');
  bytes.push_back(static_cast<uint8_t>('0' + 12 + a));
  return Built(Make(std::move(bytes), WaitStyle::kProgress, timeout_ms,
                    AnswerRule::Table({{kAck, A::kSuccess},
                                       {kEtb, A::kSuccess},
                                       {kBel, A::kReplyErrorCode},
                                       {kSub, A::kReadRuleC},
                                       {kDc3, A::kReplyErrorCode},
                                       {kCan, A::kReadRuleC},
                                       {kNak, A::kFailure}},
                                      A::kFailure)));
}

BuiltCommand OperationModeCommand(int32_t mode) {
  if (!InRange(mode, 0, 9)) return Illegal();
  std::vector<uint8_t> bytes = Head('G', '0', '1');
  bytes.push_back(static_cast<uint8_t>('0' + mode));
  return Built(Make(std::move(bytes), WaitStyle::kNone, 1000,
                    AnswerRule::Table({{kAck, A::kSuccess}, {kBel, A::kReplyErrorCode}, {kCan, A::kReadRuleC},
                                       {kNak, A::kFailure}},
                                      A::kFailure)));
}

DeviceCommand IntakeControlCommand() {
  return Make(Head('P', '0', '0'), WaitStyle::kNone, 1000, AnswerRule::Table({{kAck, A::kSuccess}}, A::kFailure));
}

DeviceCommand StopCommand() {
  return Make(Head('V', '0', '0'), WaitStyle::kNone, 1000,
              AnswerRule::Table({{kAck, A::kSuccess}, {kBel, A::kReplyErrorCode}, {kCan, A::kReadRuleC}},
                                A::kFailure));
}

DeviceCommand CoinStateCommand() { return Make(Head('[', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand CountTableCommand() { return Make(Head(']', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand VersionCommand() { return Make(Head('Z', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
std::string VersionFieldOf(std::span<const uint8_t> answer, VersionField field) {
  const size_t at = static_cast<size_t>(field) * kVersionFieldChars;
  if (answer.size() < at + kVersionFieldChars) return {};
  return std::string(answer.begin() + static_cast<std::ptrdiff_t>(at),
                     answer.begin() + static_cast<std::ptrdiff_t>(at + kVersionFieldChars));
}
std::vector<uint8_t> ProgramStartFrame(char kind, std::span<const uint8_t> first_block) {
  constexpr size_t kLength = kProgramBlockBytes + 1;
  std::vector<uint8_t> frame{kDc1, 'M', static_cast<uint8_t>(kLength >> 8), static_cast<uint8_t>(kLength & 0xFF),
                             static_cast<uint8_t>(kind)};
  frame.insert(frame.end(), first_block.begin(), first_block.end());
  return frame;
}

std::vector<uint8_t> ProgramDataFrame(uint16_t serial, std::span<const uint8_t> block) {
  const size_t length = block.size() + 2;
  std::vector<uint8_t> frame{kDc1, 'N', static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF),
                             static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial & 0xFF)};
  frame.insert(frame.end(), block.begin(), block.end());
  return frame;
}

std::vector<uint8_t> ProgramEndFrame() { return {kDc1, 'O', '0', '0'}; }

DeviceCommand CountSummaryCommand() { return Make(Head('Y', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand LastChangeCountsCommand() { return Make(Head('q', '0', '0'), WaitStyle::kNone, 1000, DataRule()); }
DeviceCommand CoinUnitCheckCommand() {
  return Make(Head('\\', '0', '0'), WaitStyle::kNone, 5000,
              AnswerRule::Plain({kAck, kLf, kDc3, kDc4, kEtb}));
}

BuiltCommand CountTableClearCommand(int32_t block) {
  if (!InRange(block, 1, 4)) return Illegal();
  std::vector<uint8_t> bytes = Head('^', '0', '1');
  bytes.push_back(static_cast<uint8_t>('0' + block));
  return Built(Make(std::move(bytes), WaitStyle::kNone, 1000, AnswerRule::Plain({kAck, kEtb})));
}

BuiltCommand TwoCountSetsCommand(int32_t which) {
  if (!InRange(which, 0, 1)) return Illegal();
  std::vector<uint8_t> bytes = Head('u', '0', '1');
  bytes.push_back(static_cast<uint8_t>('0' + which));
  return Built(Make(std::move(bytes), WaitStyle::kBusy, 4000, DataRule()));
}

std::string AddressDigits(uint32_t address) {
  std::string digits(7, '0');
  for (int i = 6; i >= 0; --i) {
    digits[static_cast<size_t>(i)] = static_cast<char>(HexDigitChar(address & 0x0F));
    address >>= 4;
  }
  return digits;
}

std::vector<uint8_t> MemoryReadCommand(uint8_t command, uint32_t address, uint8_t length) {
  std::vector<uint8_t> bytes = Head(command, '0', '9');
  AppendText(bytes, AddressDigits(address));
  bytes.push_back(HexDigitChar(length >> 4));
  bytes.push_back(HexDigitChar(length));
  return bytes;
}

DeviceCommand MemoryCountsCommand(bool second_table) {
  return Make(MemoryReadCommand(kHexTextMemoryRead, second_table ? 0x10002A0 : 0x10002C0, 0x20), WaitStyle::kBusy,
              4000, DataRule());
}

BuiltCommand RawCommand(std::span<const uint8_t> body, int32_t timeout_ms) {
  if (body.empty()) return Illegal();
  std::vector<uint8_t> bytes{kDc1};
  bytes.insert(bytes.end(), body.begin(), body.end());
  return Built(Make(std::move(bytes), WaitStyle::kNone, timeout_ms == 0 ? 10000 : timeout_ms,
                    AnswerRule::Table({}, A::kSuccess, A::kSuccess)));
}

}  // namespace vexokrt
