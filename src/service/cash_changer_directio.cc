// SPDX-License-Identifier: Apache-2.0
// DirectIO: the frame every call goes through (trace, ExamLog records, state
// and model checks, the background pauses) and the bodies of the 51 command
// numbers: readouts of the device's own tables, the notification switches,
// the stop request, the operating-settings pages and the device actions.
//
// The command table, the byte input of pString and every text a readout
// answers are pure functions (directio/readouts.h); this file sends the
// commands and judges the answers.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#include "cash/cash_counts.h"
#include "cash/cash_rules.h"
#include "config/device_config.h"
#include "device/changer_device.h"
#include "devlog/changer_device_logs.h"
#include "directio/readouts.h"
#include "link/line_sequences.h"
#include "maintenance/operating_settings.h"
#include "maintenance/program_download.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "service/cash_changer.h"
#include "service/cash_service.h"
#include "service/opos.h"
#include "service/device_job.h"
#include "service/payout_service.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

constexpr std::string_view kTraceDirectIO = "CCashChanger::DirectIO";
constexpr long kEntryCode = static_cast<long>(MethodCode::kDirectIO);
constexpr long kExitCode = 100 + kEntryCode;
// The answer limit of a direct exchange unless a command says otherwise.
constexpr int32_t kDirectLimitMs = 1000;

bool IsOneOf(uint32_t answer, std::initializer_list<uint8_t> set) {
  return std::find(set.begin(), set.end(), static_cast<uint8_t>(answer)) != set.end();
}

// What the command bodies use of the service object, handed to them for one
// call: the device layer and its logs, the pay-outs, the deposit, the
// switches and settings, and the service object's steps that some commands
// run (the exit setting of a pay-out, the program download).
struct DirectIoContext {
  ChangerDevice& device;
  PayoutService& payouts;
  devlog::ChangerDeviceLogs* device_logs;
  DepositSession& deposit;
  DeviceSwitches& switches;
  // Commands 25 and 86 store the operation mode they set.
  config::DeviceConfig& config;
  const std::string& device_key_path;
  ModelCode model;
  int32_t async_mode;
  int32_t binary_conversion;
  int32_t service_object_version;
  diag::TraceLog& trace;
  platform::Clock& clock;
  std::function<int32_t()> state;
  std::function<OposResult(int32_t exit)> send_payout_exit_setting;
  std::function<OposResult(int32_t selector, const std::string& names)> program_download;
};

// The command bodies, for one call. Each reads and sets what its context
// hands it of the service object.
class DirectIoCommands {
 public:
  DirectIoCommands(const DirectIoContext& context, int32_t* data, std::string* text)
      : ctx_(context), device_(context.device), data_(data), text_(text) {}

  // The command's checks and handler, with the pauses its row asks for.
  // |*exit_record| turns false for the one refusal without an exit record.
  OposResult Run(const directio::CommandRow& row, bool* exit_record);

 private:
  // A command without the pauses (1, 11, 23, 51, 80, 81, 87).
  OposResult RunUnpaused(int32_t command);
  // The checks a command makes before its pauses: its arguments, the exit
  // and the service object's own state, never the line. What they prepare
  // for the device work is kept below.
  OposResult Check(int32_t command, bool* exit_record);
  // The device work between the pauses.
  OposResult Work(int32_t command);

  int32_t Data() const { return data_ != nullptr ? *data_ : 0; }
  std::string Text() const {
    if (text_ == nullptr) return {};
    // The application's text in the system code page.
    if (std::optional<std::string> ansi = platform::TryUtf8ToCp932(*text_)) return *ansi;
    return *text_;
  }
  void Answer(const std::string& ansi) {
    if (text_ == nullptr) return;
    if (std::optional<std::string> utf8 = platform::TryCp932ToUtf8(ansi)) {
      *text_ = *utf8;
    } else {
      *text_ = ansi;
    }
  }
  std::optional<std::vector<uint8_t>> ByteInput() const {
    return directio::ByteInput(Text(), ctx_.binary_conversion);
  }
  static OposResult Extended(int32_t code) { return OposResult::Extended(code); }
  // The device error code (rule C) when not 0 as an extended result, else a
  // failure.
  OposResult CodeOrFailure(int32_t code) { return code != 0 ? Extended(code) : OPOS_E_FAILURE; }
  OposResult ErrorNumberOrFailure() { return CodeOrFailure(device_.ReadErrorNumber().Value()); }

  // The reply rule of the readouts: no answer 107, other read failures 111,
  // BEL the follow-up code (114) or 111, NAK 111, a data answer of another
  // length than |length| (when given) 111; otherwise 0.
  OposResult ReplyRule(const DeviceReply& reply, std::optional<size_t> length = std::nullopt);
  // A direct exchange inside the command's job: the frame and its answer.
  DeviceReply Exchange(const DeviceCommand& command);

  void RefreshCounts();
  void RefreshStatus();
  OposResult RetrieveTradingLog() { return ctx_.device_logs ? ctx_.device_logs->RetrieveTradingLog(1) : OPOS_E_FAILURE; }

  OposResult HeldCounts();                // 1
  OposResult Krt02CountCheck();           // 2
  OposResult Krt03Acceptance();           // 3
  OposResult CheckTakeBack();             // 4
  OposResult TakeBack();
  OposResult CheckRawCommand();           // 8
  OposResult RawCommand();
  OposResult AmountDispenseArguments();   // 9
  OposResult AmountDispense();
  OposResult PageData();                  // 10
  OposResult Krt02CountsWithCheck();      // 12
  // 21, 22 and the check of 42 (|command| 42: no follow-up).
  OposResult SideCountCheck(int32_t command);
  OposResult OperationMode();             // 25
  OposResult CheckCode();                 // 26
  OposResult Code();
  OposResult DepositMode();               // 27
  // 28: the counts to send, or the refusal.
  OposResult DepositTableArguments(CashCounts* counts);
  OposResult DepositTable();
  OposResult CheckSettings();             // 29
  OposResult Settings();
  OposResult CheckIntakeControl();        // 30
  OposResult IntakeControl();
  OposResult CheckCheckedCounts();        // 31
  OposResult CheckedCounts();
  OposResult CheckCountAndCode();         // 32
  OposResult CountAndCode();
  // The coin state of "[00" (41, and the wait of 42): 0 with |*state|, or
  // 107 (no answer) or 111 (any other failure, a short answer) without.
  OposResult ReadCoinState(std::optional<directio::CoinState>* state);
  OposResult CoinState();                 // 41
  OposResult Composite();                 // 42
  OposResult CoinUnitAction(OposResult* result);  // 43
  OposResult CountTable();                // 52
  OposResult CountTableAction();          // 53
  OposResult LogFiles();                  // 61
  OposResult Version();                   // 62
  // A direct exchange whose data answer |format| turns into pString
  // (nothing: 111); 52, 62, 63, 64.
  using TextOf = std::function<std::optional<std::string>(std::span<const uint8_t>)>;
  OposResult ExchangeText(const DeviceCommand& command, const TextOf& format);
  OposResult LastChange();                // 64
  OposResult Stop();                      // 71
  OposResult Switch(void (ChangerDevice::*set)(bool));  // 72, 77, 84, 85
  OposResult CheckSettingsPage();         // 73
  OposResult SettingsPage();
  OposResult TwoBlocks();                 // 74
  OposResult Reset();                     // 75
  OposResult ErrorNumber();               // 76
  OposResult CheckSetCounts(char letter);  // 78, 79
  OposResult SetCounts();
  OposResult MemoryCounts(bool second_table);  // 82, 83
  OposResult OperationModeBit();          // 86
  OposResult ReadPage(int32_t page, std::string* page_text);
  // The counts of a cash-count text for a take-back or a deposit table:
  // given counts equal to set A become "not given".
  std::optional<CashCounts> CountsFromBytes(std::span<const uint8_t> bytes, bool allow_all);

  const DirectIoContext& ctx_;
  ChangerDevice& device_;
  int32_t* data_;
  std::string* text_;
  // Prepared by the checks: the counts as given (4), the frame as it goes
  // out (8, 26, 31, 32, 78, 79), the settings file's name (73 with 99).
  CashCounts counts_{};
  BuiltCommand prepared_;
  std::string file_name_;
};

}  // namespace

// --- the frame --------------------------------------------------------------------------

int32_t CCashChanger::DirectIO(int32_t command, int32_t* data, std::string* text) {
  const long data_value = data != nullptr ? *data : 0;
  TraceEnter(kTraceDirectIO, Format("  Param:   Command is %ld, pData is %ld, pString is %s", static_cast<long>(command),
                                    data_value, text != nullptr ? text->c_str() : "NULL"));
  Record(1, kEntryCode, command, data_value);

  auto end = [&](opos::OposResult result) {
    Record(1, kExitCode, command, result);
    return FinishCall(kTraceDirectIO, result);
  };
  if (const int32_t refused = ClaimedCheck(); refused != OPOS_SUCCESS) return end(refused);
  if (!switches_.device_enabled.load()) return FinishCall(kTraceDirectIO, OPOS_E_DISABLED);
  if (State() == OPOS_S_BUSY && command != 71) return end(OPOS_E_BUSY);
  if (device_->Recovering()) return end(OPOS_E_NOHARDWARE);
  if (command == 1001) {
    if (data != nullptr) *data = DirectIoMode();
    return end(OPOS_SUCCESS);
  }
  const directio::CommandRow* row = directio::FindCommand(command);
  if (row == nullptr) return end(OPOS_E_ILLEGAL);

  bool exit_record = true;
  const DirectIoContext context{
      .device = *device_,
      .payouts = *payouts_,
      .device_logs = device_logs_.get(),
      .deposit = deposit_,
      .switches = switches_,
      .config = config_,
      .device_key_path = device_key_path_,
      .model = claimed_model_,
      .async_mode = props_.async_mode,
      .binary_conversion = props_.binary_conversion,
      .service_object_version = service_object_version_,
      .trace = *trace_log_,
      .clock = *clock_,
      .state = [this] { return State(); },
      .send_payout_exit_setting = [this](int32_t exit) { return cash_->SendPayoutExitSetting(exit); },
      .program_download = [this](int32_t selector, const std::string& names) {
        maintenance::DownloadContext download{*device_, *trace_log_, *clock_,
                                              config::MaintenanceFolder(config_.service)};
        return maintenance::ProgramDownload(download, selector, names);
      },
  };
  DirectIoCommands commands(context, data, text);
  const opos::OposResult result = commands.Run(*row, &exit_record);
  if (!exit_record) return FinishCall(kTraceDirectIO, result);
  return end(result);
}

OposResult DirectIoCommands::Run(const directio::CommandRow& row, bool* exit_record) {
  if (!directio::ModelAllowed(row.models, ctx_.model)) return OPOS_E_ILLEGAL;
  const int32_t command = row.number;
  if (!row.pause) return RunUnpaused(command);
  // The stop request reaches an operation that holds the pauses already.
  if (command == 71) return Stop();

  // A command's own checks come first: a refused call pauses nothing and
  // sends nothing. Then the pauses, then the device work.
  if (const opos::OposResult refused = Check(command, exit_record); refused != OPOS_SUCCESS) return refused;
  // (Command 86 answers in pData: the follow-up goes by the value given.)
  const int32_t data = Data();
  // The device work is one job of one operation: nothing else reaches the
  // line meanwhile, and the history fetch waits.
  const opos::OposResult result =
      device_.RunOperation([&] { return RunDeviceJob(device_, [&] { return Work(command); }); });

  // The registry follow-ups, after the pauses.
  if (result == OPOS_SUCCESS && command == 25) {
    config::WriteOperationModeTemporary(ctx_.device_key_path, data);
    ctx_.switches.operation_mode_temporary.store(data);
    ctx_.config.operation_mode_temporary = data;
  }
  if (result == OPOS_SUCCESS && command == 86 && (data == 4 || data == 5)) {
    const int32_t mode = data == 4 ? 0 : 1;
    config::WriteOperationModeInitialize(ctx_.device_key_path, mode);
    config::WriteOperationModeTemporary(ctx_.device_key_path, mode);
    ctx_.config.operation_mode_initialize = mode;
  }
  return result;
}

OposResult DirectIoCommands::RunUnpaused(int32_t command) {
  switch (command) {
    case 1:
      return HeldCounts();
    case 11: {
      const std::vector<uint8_t> status = device_.KeptStatus();
      if (data_ != nullptr) *data_ = status.size() > 7 ? (status[7] & 0x0F) : 0;
      return OPOS_SUCCESS;
    }
    case 23:
      RefreshStatus();
      Answer(directio::StatusFlagsText(device_.KeptStatus()));
      return OPOS_SUCCESS;
    case 51:
      if (data_ == nullptr || (*data_ != 0 && *data_ != 1)) return OPOS_E_ILLEGAL;
      ctx_.deposit.SetOption(*data_);
      return OPOS_SUCCESS;
    case 80:
      RefreshCounts();
      Answer(std::string(1, device_.Discrepancy() != 0 ? '1' : '0') + "," +
             (device_.SecondFlag() != 0 ? '1' : '0'));
      return OPOS_SUCCESS;
    case 81:
      RefreshStatus();
      Answer(directio::StatusSummaryText(device_.KeptStatus()));
      return OPOS_SUCCESS;
    case 87:
      RefreshStatus();
      Answer(directio::FillLevelsText(device_.KeptStatus()));
      return OPOS_SUCCESS;
    default:
      return OPOS_E_ILLEGAL;
  }
}

OposResult DirectIoCommands::Check(int32_t command, bool* exit_record) {
  const int32_t data = Data();
  const int32_t exit = ctx_.switches.current_exit.load();
  const auto one_of_two = [data] { return data == 0 || data == 1 ? OPOS_SUCCESS : OPOS_E_ILLEGAL; };
  switch (command) {
    case 2:
      return exit == 3 ? OPOS_E_FAILURE : OPOS_SUCCESS;
    case 3:
      if (data < 0 || data > 2) return OPOS_E_ILLEGAL;
      // 2 only forgets the mark of an ended deposit.
      if (data == 2 && ctx_.deposit.Status() != CHAN_STATUS_DEPOSIT_END) return OPOS_E_ILLEGAL;
      return OPOS_SUCCESS;
    case 4:
      return CheckTakeBack();
    case 8:
      return CheckRawCommand();
    case 9:
      return AmountDispenseArguments();
    case 10:
      return data < 0 || data > 9 ? OPOS_E_ILLEGAL : OPOS_SUCCESS;
    case 12:
      if (exit != 3) return OPOS_SUCCESS;
      *exit_record = false;
      return OPOS_E_ILLEGAL;
    case 21:
    case 22:
    case 42:
      if (data < 0 || data > 3) return OPOS_E_ILLEGAL;
      if (!directio::SideAllowedAtExit(data, exit)) return Extended(kExtendedNotAtCurrentExit);
      return OPOS_SUCCESS;
    case 25:
    case 27:
    case 74:
    case 72:
    case 77:
    case 84:
    case 85:
      return one_of_two();
    case 26:
      return CheckCode();
    case 28: {
      CashCounts unused{};
      return DepositTableArguments(&unused);
    }
    case 29:
      return CheckSettings();
    case 30:
      return CheckIntakeControl();
    case 31:
      return CheckCheckedCounts();
    case 32:
      return CheckCountAndCode();
    case 33:
      return maintenance::DownloadArgumentsAllowed(data, ctx_.model, Text()) ? OPOS_SUCCESS : OPOS_E_ILLEGAL;
    case 52:
    case 53:
      return data < 1 || data > 4 ? OPOS_E_ILLEGAL : OPOS_SUCCESS;
    case 73:
      return CheckSettingsPage();
    case 78:
      return CheckSetCounts('S');
    case 79:
      return CheckSetCounts('T');
    case 86:
      return data == 3 || data < 0 || data > 5 ? OPOS_E_ILLEGAL : OPOS_SUCCESS;
    default:
      return OPOS_SUCCESS;
  }
}

OposResult DirectIoCommands::Work(int32_t command) {
  const int32_t data = Data();
  switch (command) {
    case 2:
      return Krt02CountCheck();
    case 3:
      if (data == 2) {
        ctx_.deposit.SetActiveMark(0);
        return OPOS_SUCCESS;
      }
      return Krt03Acceptance();
    case 4:
      return TakeBack();
    case 8:
      return RawCommand();
    case 9:
      return AmountDispense();
    case 10:
      return PageData();
    case 12:
      return Krt02CountsWithCheck();
    case 13:
      return device_.Execute(ClockMinutesCommand(ctx_.clock.LocalTimeNow().tm));
    case 21:
    case 22:
      return SideCountCheck(command);
    case 24:
      return device_.Execute(ClockSecondsCommand(ctx_.clock.LocalTimeNow().tm, ctx_.config.claim_relaxation));
    case 25:
      return OperationMode();
    case 26:
      return Code();
    case 27:
      return DepositMode();
    case 28:
      return DepositTable();
    case 29:
      return Settings();
    case 30:
      return IntakeControl();
    case 31:
      return CheckedCounts();
    case 32:
      return CountAndCode();
    case 33:
      return ctx_.program_download(data, Text());
    case 41:
      return CoinState();
    case 42:
      return Composite();
    case 43: {
      OposResult unused;
      return CoinUnitAction(&unused);
    }
    case 52:
      return CountTable();
    case 53:
      return CountTableAction();
    case 61:
      return LogFiles();
    case 62:
      return Version();
    case 63:
      return ExchangeText(CountSummaryCommand(), &directio::CountSummaryText);
    case 64:
      return LastChange();
    case 72:
      return Switch(&ChangerDevice::SetRejectCountWatch);
    case 73:
      return SettingsPage();
    case 74:
      return TwoBlocks();
    case 75:
      return Reset();
    case 76:
      return ErrorNumber();
    case 77:
      return Switch(&ChangerDevice::SetCassetteNotify);
    case 78:
    case 79:
      return SetCounts();
    case 82:
      return MemoryCounts(false);
    case 83:
      return MemoryCounts(true);
    case 84:
      return Switch(&ChangerDevice::SetCassetteDisplayNotify);
    case 85:
      return Switch(&ChangerDevice::SetRejectKindReport);
    case 86:
      return OperationModeBit();
    default:
      return OPOS_E_ILLEGAL;
  }
}

// --- shared pieces ------------------------------------------------------------------

OposResult DirectIoCommands::ReplyRule(const DeviceReply& reply, std::optional<size_t> length) {
  if (reply.status == kReplyTimeout) return OPOS_E_NOHARDWARE;
  if (reply.status != kReplyOk) return OPOS_E_FAILURE;
  if (reply.answerByte == kBel) return CodeOrFailure(reply.errorCode);
  if (reply.answerByte == kNak) return OPOS_E_FAILURE;
  if (length && (!reply.IsDataFrame() || reply.data.size() != *length)) return OPOS_E_FAILURE;
  return OPOS_SUCCESS;
}

DeviceReply DirectIoCommands::Exchange(const DeviceCommand& command) {
  return device_.ExchangeNow(command.bytes, command.timeout_ms);
}

void DirectIoCommands::RefreshCounts() {
  if (!device_.CountsStale() && device_.DepositPhase() == 0) return;
  device_.ReadCountsNow();
}

void DirectIoCommands::RefreshStatus() {
  if (device_.StatusStale()) device_.ReadStatusNow();
}

std::optional<CashCounts> DirectIoCommands::CountsFromBytes(std::span<const uint8_t> bytes, bool allow_all) {
  CashCounts counts{};
  if (!bytes.empty() && bytes[0] == 0) {
    counts.fill(cash::kAllPieces);
    return counts;
  }
  DispenseRecord record;
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!cash::ParseCashCounts(text, &record, false, allow_all)) return std::nullopt;
  return record.Counts();
}

// --- readouts ---------------------------------------------------------------------------

OposResult DirectIoCommands::HeldCounts() {
  if (device_.PowerState() != OPOS_PS_ONLINE) return OPOS_E_NOHARDWARE;
  RefreshCounts();
  Answer(cash::FormatPlain(device_.CountsB()));
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::Krt02CountCheck() {
  const opos::OposResult result = device_.Execute(CountCheckCommand(180000));
  if (result == OPOS_SUCCESS) {
    // After a count check the machine's counts are new: they are read again.
    device_.ReadCountsNow();
    RetrieveTradingLog();
  }
  return result;
}

OposResult DirectIoCommands::Krt02CountsWithCheck() {
  const opos::OposResult result = device_.Execute(CountCheckCommand(180000));
  if (result == OPOS_SUCCESS) device_.ReadCountsNow();
  RefreshCounts();
  Answer(cash::FormatTwoSets(device_.CountsA(), device_.CountsB()));
  if (result == OPOS_SUCCESS) RetrieveTradingLog();
  return result;
}

OposResult DirectIoCommands::PageData() {
  const BuiltCommand command = PageDataCommand(Data());
  if (!command.ok()) return command.result;
  const DeviceReply reply = device_.SendCommand(command.command.bytes, WaitStyle::kNone, 4000);
  if (reply.status != kReplyOk) {
    Answer(std::string());
    return reply.status == kReplyTimeout ? OPOS_E_NOHARDWARE : OPOS_E_FAILURE;
  }
  if (!reply.data.empty()) Answer(directio::PageDataText(reply.data));
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::ReadCoinState(std::optional<directio::CoinState>* state) {
  const DeviceReply reply = Exchange(CoinStateCommand());
  state->reset();
  if (reply.status == kReplyTimeout) return OPOS_E_NOHARDWARE;
  // A refusal is a failure like any other: the code a BEL's follow-up read
  // brings is no result of this command, so ResultCodeExtended stays.
  if (reply.status != kReplyOk || reply.answerByte == kBel || reply.answerByte == kNak) return OPOS_E_FAILURE;
  *state = directio::ParseCoinState(reply.data);
  return *state ? OPOS_SUCCESS : OPOS_E_FAILURE;
}

OposResult DirectIoCommands::CoinState() {
  std::optional<directio::CoinState> state;
  const opos::OposResult result = ReadCoinState(&state);
  if (!state) {
    Answer(directio::CoinStateFailureText());
    return result;
  }
  Answer(directio::CoinStateText(*state));
  return state->alarm != 0 ? OPOS_E_FAILURE : OPOS_SUCCESS;
}

OposResult DirectIoCommands::CoinUnitAction(OposResult* result) {
  const DeviceReply reply = Exchange(CoinUnitCheckCommand());
  if (reply.status == kReplyTimeout) {
    *result = OPOS_E_NOHARDWARE;
  } else if (reply.status != kReplyOk || reply.IsDataFrame()) {
    *result = OPOS_E_FAILURE;
  } else if (IsOneOf(reply.answerByte, {kAck, kLf, kDc3, kDc4, kEtb})) {
    *result = OPOS_SUCCESS;
  } else if (reply.answerByte == kCan) {
    *result = ErrorNumberOrFailure();
  } else {
    *result = OPOS_E_FAILURE;
  }
  Answer(*result == OPOS_SUCCESS ? "0" : "1");
  return *result;
}

OposResult DirectIoCommands::Composite() {
  OposResult action;
  CoinUnitAction(&action);
  const opos::OposResult side = SideCountCheck(42);
  if (side != OPOS_SUCCESS) {
    Answer(std::string());
    return side;
  }
  RefreshCounts();
  const std::string counts = cash::FormatTwoSets(device_.CountsA(), device_.CountsB());
  if (action == OPOS_SUCCESS) RetrieveTradingLog();

  // Wait while the coin unit still reports it is busy (s = 3).
  platform::Clock& clock = ctx_.clock;
  const int64_t start = clock.NowMs();
  std::string coins;
  while (true) {
    std::optional<directio::CoinState> state;
    ReadCoinState(&state);
    if (!state) {
      coins = directio::CoinStateFailureText();
      break;
    }
    if (state->s == 3 && clock.NowMs() - start <= ctx_.config.investigate_timeout) {
      clock.SleepMs(100);
      continue;
    }
    state->alarm = 0;
    coins = directio::CoinStateText(*state);
    break;
  }
  Answer(counts + "/" + coins);
  return side;
}

OposResult DirectIoCommands::CountTable() {
  return ExchangeText(CountTableCommand(), [this](std::span<const uint8_t> data) {
    return directio::CountTableText(data, Data());
  });
}

OposResult DirectIoCommands::CountTableAction() {
  const BuiltCommand command = CountTableClearCommand(Data());
  if (!command.ok()) return command.result;
  const DeviceReply reply = Exchange(command.command);
  if (reply.status == kReplyTimeout) return OPOS_E_NOHARDWARE;
  if (reply.status != kReplyOk) return OPOS_E_FAILURE;
  if (IsOneOf(reply.answerByte, {kAck, kEtb}) && !reply.IsDataFrame()) return OPOS_SUCCESS;
  if (reply.answerByte == kBel) return CodeOrFailure(reply.errorCode);
  return ErrorNumberOrFailure();
}

OposResult DirectIoCommands::Version() {
  return ExchangeText(VersionCommand(), [this](std::span<const uint8_t> data) {
    return std::optional<std::string>(directio::VersionText(ctx_.service_object_version, data));
  });
}

OposResult DirectIoCommands::ExchangeText(const DeviceCommand& command, const TextOf& format) {
  const DeviceReply reply = Exchange(command);
  const opos::OposResult result = ReplyRule(reply);
  if (result != OPOS_SUCCESS) return result;
  const std::optional<std::string> text = format(reply.data);
  if (!text) return OPOS_E_FAILURE;
  Answer(*text);
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::LastChange() {
  return ExchangeText(LastChangeCountsCommand(), [this](std::span<const uint8_t> data) {
    return directio::LastChangeText(data, device_.LastChangeAmount());
  });
}

OposResult DirectIoCommands::TwoBlocks() {
  const BuiltCommand command = TwoCountSetsCommand(Data());
  if (!command.ok()) return command.result;
  const DeviceReply reply =
      device_.SendCommand(command.command.bytes, command.command.style, command.command.timeout_ms);
  const opos::OposResult result = ReplyRule(reply, 73);
  if (result != OPOS_SUCCESS) return result;
  Answer(*directio::TwoBlockText(reply.data));
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::MemoryCounts(bool second_table) {
  const DeviceCommand command = MemoryCountsCommand(second_table);
  const DeviceReply reply = device_.SendCommand(command.bytes, command.style, command.timeout_ms);
  const opos::OposResult result = ReplyRule(reply, 64);
  if (result != OPOS_SUCCESS) return result;
  Answer(*directio::MemoryCountsText(reply.data));
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::Reset() {
  const DeviceReply reply = device_.SendCommand(ResetCommand().bytes, WaitStyle::kBusy, 20000);
  if (reply.status == kReplyTimeout) return OPOS_E_NOHARDWARE;
  if (reply.status != kReplyOk) return OPOS_E_FAILURE;
  if (reply.cancelled != 0) return CodeOrFailure(reply.cancelDetail);
  if (reply.answerByte == kBel) return CodeOrFailure(reply.errorCode);
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::ErrorNumber() {
  const int32_t number = device_.ReadErrorNumber().Value();
  Answer(std::to_string(number));
  if (number == 65535) {
    // The one failure that tells its reason in ResultCodeExtended without
    // 114: the status could not be read.
    return OposResult{OPOS_E_FAILURE, 65535};
  }
  return OPOS_SUCCESS;
}

// --- device actions -------------------------------------------------------------------------

OposResult DirectIoCommands::Krt03Acceptance() {
  if (Data() == 0) {
    DeviceCommand stop = IntakeStopCommand(false);
    stop.style = WaitStyle::kBusy;
    const opos::OposResult result = device_.Execute(stop);
    if (result == OPOS_SUCCESS) ctx_.switches.direct_io_mode.store(0);
    return result;
  }
  const opos::OposResult result = device_.Execute(DirectIntakeStartCommand(ctx_.model));
  if (result == OPOS_SUCCESS) ctx_.switches.direct_io_mode.store(1);
  return result;
}

OposResult DirectIoCommands::CheckTakeBack() {
  const int32_t mode = Data();
  const bool krt03 = ctx_.model == ModelCode::kKrt03;
  if (mode < 0 || mode > 3 || (mode != 0 && !krt03)) return OPOS_E_ILLEGAL;
  const std::optional<std::vector<uint8_t>> bytes = ByteInput();
  if (!bytes) return OPOS_E_ILLEGAL;
  const std::optional<CashCounts> counts = CountsFromBytes(*bytes, true);
  if (!counts) return OPOS_E_ILLEGAL;
  // Counts the command's fields cannot carry are refused here; those turned
  // into "all" before sending always fit.
  const BuiltCommand fits = krt03 ? TakeBackKrt03Command(*counts, mode) : TakeBackCommand(*counts);
  if (!fits.ok()) return fits.result;
  counts_ = *counts;
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::TakeBack() {
  const int32_t mode = Data();
  const bool krt03 = ctx_.model == ModelCode::kKrt03;
  CashCounts counts = counts_;
  // When every given count is 0 or the whole stock of its kind, the ones
  // equal to the stock are left for the device to take all of.
  const CashCounts held = device_.CountsA();
  bool all_zero_or_held = true;
  for (size_t i = 0; i < counts.size(); ++i) {
    const int32_t c = counts[i];
    if (c != cash::kAllPieces && c != 0 && c != held[i]) all_zero_or_held = false;
  }
  if (all_zero_or_held) {
    for (size_t i = 0; i < counts.size(); ++i) {
      if (counts[i] != 0 && counts[i] == held[i]) counts[i] = cash::kAllPieces;
    }
  }
  if (krt03) {
    const BuiltCommand command = TakeBackKrt03Command(counts, mode);
    if (!command.ok()) return command.result;
    return device_.ExecuteAsync(command.command);
  }
  return device_.TakeBack(counts);
}

OposResult DirectIoCommands::CheckRawCommand() {
  std::optional<std::vector<uint8_t>> bytes = ByteInput();
  if (!bytes) return OPOS_E_ILLEGAL;
  bytes->erase(std::find(bytes->begin(), bytes->end(), uint8_t{0}), bytes->end());
  if (bytes->empty()) return OPOS_E_ILLEGAL;
  prepared_ = vexokrt::RawCommand(*bytes, Data());
  return prepared_.result;
}

OposResult DirectIoCommands::RawCommand() {
  const DeviceCommand& command = prepared_.command;
  const DeviceReply reply = device_.SendCommand(command.bytes, WaitStyle::kNone, command.timeout_ms);
  if (reply.status != kReplyOk) {
    Answer(std::string());
    return reply.status == kReplyTimeout ? OPOS_E_NOHARDWARE : OPOS_E_FAILURE;
  }
  if (reply.IsDataFrame()) {
    Answer(std::string(reply.data.begin(), reply.data.end()));
  } else {
    Answer(std::string(1, static_cast<char>(reply.answerByte)));
  }
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::AmountDispenseArguments() {
  const int32_t amount = Data();
  if (amount < 0 || amount > 999999) return OPOS_E_ILLEGAL;
  if (ctx_.deposit.UnderWay()) return OPOS_E_ILLEGAL;
  if (!cash::ExitAllowsAmount(ctx_.switches.current_exit.load(), amount)) return Extended(kExtendedNotAtCurrentExit);
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::AmountDispense() {
  const int32_t amount = Data();
  if (const opos::OposResult refused = AmountDispenseArguments(); refused != OPOS_SUCCESS) return refused;
  if (const opos::OposResult check = ctx_.payouts.CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;
  const ModelCode model = ctx_.model;
  const BuiltCommand command = AmountDispenseCommand(
      model, amount, IsKrt07Family(model) ? ctx_.config.dispense_change_timeout : kDayLongTimeoutMs);
  if (!command.ok()) return command.result;
  PayoutCheck check;
  check.amount = amount;
  check.before = ctx_.payouts.StockBeforePayout();
  const opos::OposResult result = ctx_.payouts.Run(command.command, std::move(check), ctx_.async_mode != 0);
  EndDevicePhase(device_);
  return result;
}

OposResult DirectIoCommands::SideCountCheck(int32_t command) {
  const BuiltCommand count = SideCountCheckCommand(Data(), ctx_.config.investigate_timeout);
  if (!count.ok()) return count.result;
  opos::OposResult result = OPOS_SUCCESS;
  if (ctx_.async_mode != 0) {
    result = device_.ExecuteAsync(count.command, /*notify=*/true);
  } else {
    result = device_.Execute(count.command);
  }
  if (result != OPOS_SUCCESS || command == 42) return result;
  if (command == 21) {
    if (ctx_.async_mode == 0) RetrieveTradingLog();
    return result;
  }
  RefreshCounts();
  Answer(cash::FormatTwoSets(device_.CountsA(), device_.CountsB()));
  return RetrieveTradingLog() == OPOS_SUCCESS ? OPOS_SUCCESS : OPOS_E_FAILURE;
}

OposResult DirectIoCommands::OperationMode() {
  const BuiltCommand command = OperationModeCommand(Data());
  return command.ok() ? device_.Execute(command.command) : command.result;
}

OposResult DirectIoCommands::CheckCode() {
  const int32_t digit = Data();
  if (digit != 0 && digit != 1) return OPOS_E_ILLEGAL;
  const std::optional<std::vector<uint8_t>> bytes = ByteInput();
  if (!bytes) return OPOS_E_ILLEGAL;
  const std::optional<std::string> code = directio::FourDigitCode(*bytes);
  if (!code) return OPOS_E_ILLEGAL;
  prepared_ = CodeCommand(digit, *code);
  return prepared_.result;
}

OposResult DirectIoCommands::Code() { return device_.Execute(prepared_.command); }

OposResult DirectIoCommands::DepositMode() {
  const BuiltCommand command =
      Data() == 1 ? DepositModeCommand(1, 0, 0) : EndDepositCommand(2, ctx_.config.end_deposit_timeout);
  return command.ok() ? device_.Execute(command.command) : command.result;
}

OposResult DirectIoCommands::DepositTableArguments(CashCounts* counts) {
  const int32_t mode = Data();
  const int32_t exit = ctx_.switches.current_exit.load();
  if (mode < 0 || mode > 4) return OPOS_E_ILLEGAL;
  if (mode == 4 && exit == 3) return Extended(kExtendedNotAtCurrentExit);
  counts->fill(0);
  if (mode <= 1) {
    const std::optional<std::vector<uint8_t>> bytes = ByteInput();
    if (!bytes) return OPOS_E_ILLEGAL;
    DispenseRecord record;
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    if (!cash::ParseCashCounts(text, &record, false, true)) return OPOS_E_ILLEGAL;
    *counts = record.Counts();
    // Counts equal to the whole stock are not named: the device pays all.
    const CashCounts held = device_.CountsA();
    bool all_held = true;
    for (size_t i = 0; i < counts->size(); ++i) {
      if ((*counts)[i] != cash::kAllPieces && (*counts)[i] != held[i]) all_held = false;
    }
    if (all_held) counts->fill(cash::kAllPieces);
    const bool bills_only = exit == 2 || exit == 5;
    for (size_t i = 0; i < counts->size(); ++i) {
      const bool coin = static_cast<int>(i) >= cash::kFirstCoin;
      if ((bills_only && coin && (*counts)[i] != 0) || (exit == 3 && !coin && (*counts)[i] != 0)) {
        return Extended(kExtendedNotAtCurrentExit);
      }
    }
  } else if (mode <= 3) {
    counts->fill(cash::kKeywordPlace);
  }
  // A count the command's fields cannot carry is refused with the rest.
  return DepositTableCommand(*counts, mode, ctx_.config.take_back_timeout).result;
}

OposResult DirectIoCommands::DepositTable() {
  const int32_t mode = Data();
  const int32_t exit = ctx_.switches.current_exit.load();
  CashCounts counts{};
  if (const opos::OposResult refused = DepositTableArguments(&counts); refused != OPOS_SUCCESS) return refused;
  if (const opos::OposResult check = ctx_.payouts.CheckBeforeDispenseFresh(); check != OPOS_SUCCESS) return check;
  const BuiltCommand table = DepositTableCommand(counts, mode, ctx_.config.take_back_timeout);
  if (!table.ok()) return table.result;
  // The stock is read before the exit setting: from the setting to the
  // pay-out nothing else may reach the line.
  PayoutCheck check;
  if (mode <= 1) {
    check.pieces = counts;
    check.before = ctx_.payouts.StockBeforePayout();
  }
  opos::OposResult result = ctx_.send_payout_exit_setting(exit);
  if (result == OPOS_SUCCESS) {
    if (mode <= 1) {
      result = ctx_.payouts.Run(table.command, std::move(check), ctx_.async_mode != 0);
    } else {
      result = ctx_.async_mode != 0 ? device_.ExecuteAsync(table.command) : device_.Execute(table.command);
    }
  }
  EndDevicePhase(device_);
  return result;
}

OposResult DirectIoCommands::CheckSettings() {
  return maintenance::SettingsSelectionAllowed(Data(), Text()) ? OPOS_SUCCESS : OPOS_E_ILLEGAL;
}

OposResult DirectIoCommands::Settings() {
  const std::string folder = config::MaintenanceFolder(ctx_.config.service);
  auto send = [this](int32_t mode, const std::array<int32_t, 5>& values) {
    const BuiltCommand command = OperatingConditionCommand(mode, values);
    return command.ok() ? device_.Execute(command.command) : command.result;
  };
  return maintenance::LoadOperatingConditions(Data(), Text(), folder, maintenance::SettingsFileName(ctx_.model),
                                              send, ctx_.trace, ctx_.clock);
}

OposResult DirectIoCommands::CheckIntakeControl() {
  const bool under_way = ctx_.deposit.UnderWay();
  const bool fixed = ctx_.deposit.Fixed();
  switch (Data()) {
    case 0:
      return !fixed || ctx_.config.pause_deposit_set != 0 || !under_way ? OPOS_E_ILLEGAL : OPOS_SUCCESS;
    case 1:
      return fixed || !under_way ? OPOS_E_ILLEGAL : OPOS_SUCCESS;
    case 2:
      // Only the device can tell, on the line (below).
      return OPOS_SUCCESS;
    default:
      return OPOS_E_ILLEGAL;
  }
}

OposResult DirectIoCommands::IntakeControl() {
  if (Data() == 2) {
    // Only while the device announces (DC1) that its intake waits, and
    // its status shows the unit holding ("<2" at bytes 47-48).
    const DeviceReply unasked = device_.ReceiveNow(100, true);
    if (unasked.status != kReplyOk || unasked.answerByte != kDc1) return OPOS_E_ILLEGAL;
    const DeviceReply status = device_.ExchangeNow(StatusCommand(ctx_.model).bytes, kDirectLimitMs);
    if (!status.IsDataFrame() || status.data.size() != 51 || status.data[47] != '<' || status.data[48] != '2') {
      return OPOS_E_ILLEGAL;
    }
  }
  const opos::OposResult result = device_.Execute(IntakeControlCommand());
  if (result == OPOS_SUCCESS && Data() == 0) {
    ctx_.deposit.SetFixed(false);
    ctx_.deposit.SetFixedWithoutDeposit(false);
    device_.SetDepositPhase(ctx_.config.deposit_evt_set == 1 ? 2 : 3);
  }
  return result;
}

OposResult DirectIoCommands::CheckCheckedCounts() {
  // Read as every cash-count text: a denomination not named is 0.
  const std::optional<std::vector<uint8_t>> bytes = ByteInput();
  if (!bytes) return OPOS_E_ILLEGAL;
  DispenseRecord record;
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (!cash::ParseCashCounts(text, &record, false, false)) return OPOS_E_ILLEGAL;
  prepared_ = CheckedCountsCommand(record.Counts());
  return prepared_.result;
}

OposResult DirectIoCommands::CheckedCounts() {
  DeviceReply reply;
  const opos::OposResult result = device_.Execute(prepared_.command, &reply);
  // Any failure to read the answer (no answer, parity, framing, BCC) is a
  // read failure.
  return reply.status != kReplyOk ? OPOS_E_NOHARDWARE : result;
}

OposResult DirectIoCommands::CheckCountAndCode() {
  const int32_t amount = Data();
  if (amount < 0 || amount > 999999) return OPOS_E_ILLEGAL;
  const std::optional<directio::CountAndCode> fields = directio::ParseCountAndCode(Text());
  if (!fields) return OPOS_E_ILLEGAL;
  prepared_ = vexokrt::CountAndCodeCommand(amount, fields->number, fields->first, fields->second);
  return prepared_.result;
}

OposResult DirectIoCommands::CountAndCode() {
  const DeviceReply reply = device_.SendCommand(prepared_.command.bytes, WaitStyle::kNone, 1000);
  if (reply.status != kReplyOk) return OPOS_E_NOHARDWARE;
  if (!reply.IsDataFrame() && reply.answerByte == kAck) return OPOS_SUCCESS;
  return ErrorNumberOrFailure();
}

OposResult DirectIoCommands::CheckSetCounts(char letter) {
  const std::optional<std::vector<uint8_t>> bytes = ByteInput();
  if (!bytes) return OPOS_E_ILLEGAL;
  DispenseRecord record;
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  // "T21" carries keyword places; "S21" only counts.
  if (!cash::ParseCashCounts(text, &record, letter == 'T', false)) return OPOS_E_ILLEGAL;
  prepared_ = SetCountsCommand(letter, record.Counts());
  return prepared_.result;
}

OposResult DirectIoCommands::SetCounts() { return device_.Execute(prepared_.command); }

OposResult DirectIoCommands::LogFiles() {
  const int32_t code = Data();
  if (ctx_.async_mode != 0) {
    return device_.SendLogRequest(code, 3000, code) ? OPOS_SUCCESS : OPOS_E_NOHARDWARE;
  }
  return ctx_.device_logs ? ctx_.device_logs->ReadLogFiles(code) : OPOS_E_FAILURE;
}

// --- switches, stop, settings pages --------------------------------------------------------

OposResult DirectIoCommands::Switch(void (ChangerDevice::*set)(bool)) {
  const int32_t value = Data();
  if (value != 0 && value != 1) return OPOS_E_ILLEGAL;
  (device_.*set)(value == 1);
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::Stop() {
  if (ctx_.state() == OPOS_S_IDLE) return OPOS_E_ILLEGAL;
  // The stop request goes to the operation in progress (the device layer's
  // stop mailboxes); the history fetch waits while it is handed over.
  return device_.RunOperation([&] { return device_.RequestStop(ctx_.async_mode != 0); });
}

OposResult DirectIoCommands::ReadPage(int32_t page, std::string* page_text) {
  const BuiltCommand command = SettingsPageReadCommand(page);
  if (!command.ok()) return command.result;
  const DeviceReply reply = device_.SendCommand(command.command.bytes, WaitStyle::kBusy, 4000);
  const opos::OposResult result = ReplyRule(reply);
  if (result != OPOS_SUCCESS) return result;
  const std::optional<std::string> text = directio::SettingsPageText(page, reply.data);
  if (!text) return OPOS_E_FAILURE;
  *page_text = *text;
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::CheckSettingsPage() {
  const int32_t page = Data();
  if (page >= 0 && page <= 15) return OPOS_SUCCESS;
  if (page != maintenance::kLoadSettingsFile) return OPOS_E_ILLEGAL;
  file_name_ = Text();
  if (file_name_.empty()) file_name_ = maintenance::SettingsFileName(ctx_.model);
  // The file stays in the maintenance folder.
  return config::PlainFileName(file_name_) ? OPOS_SUCCESS : OPOS_E_ILLEGAL;
}

OposResult DirectIoCommands::SettingsPage() {
  const int32_t page = Data();
  if (page >= 0 && page <= 15) {
    std::string text;
    const opos::OposResult result = ReadPage(page, &text);
    if (result == OPOS_SUCCESS) Answer(text);
    return result;
  }
  std::string lines;
  for (int32_t p = 0; p <= 15; ++p) {
    std::string text;
    const opos::OposResult result = ReadPage(p, &text);
    if (result != OPOS_SUCCESS) return result;
    lines += text + "\r\n";
  }
  const std::string path = config::MaintenanceFolder(ctx_.config.service) + file_name_;
  const std::string temporary = path + ".new";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) return OPOS_E_FAILURE;
    file << lines;
    file.flush();
    if (!file) {
      std::remove(temporary.c_str());
      return OPOS_E_FAILURE;
    }
  }
  // Written whole beside it first: a failed write leaves the old file.
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return OPOS_E_FAILURE;
  }
  return OPOS_SUCCESS;
}

OposResult DirectIoCommands::OperationModeBit() {
  const int32_t action = Data();
  if (data_ != nullptr) *data_ = 10;
  std::string page;
  const opos::OposResult read = ReadPage(10, &page);
  if (read != OPOS_SUCCESS) return read;
  // The page text is "P:v,v,v,v,v"; its values read as a single setting.
  const size_t colon = page.find(':');
  const std::string_view values = colon == std::string::npos ? std::string_view() : std::string_view(page).substr(colon + 1);
  std::optional<std::array<int32_t, 5>> fields = maintenance::ParseSettingValues(values);
  if (!fields) return OPOS_E_ILLEGAL;
  if (action == 2) {
    Answer((*fields)[0] & 1 ? "0" : "1");
    return OPOS_SUCCESS;
  }
  const bool set = action == 0 || action == 4;
  (*fields)[0] = set ? ((*fields)[0] | 1) : ((*fields)[0] & ~1);
  const BuiltCommand write = OperatingConditionCommand(10, *fields);
  if (write.ok()) device_.Execute(write.command);
  Answer(set ? "0" : "1");
  return OPOS_SUCCESS;
}

}  // namespace vexokrt::service
