// SPDX-License-Identifier: Apache-2.0
#include <array>
#include <utility>

#include "device/changer_device.h"
#include "device/status_record.h"
#include "link/command_set.h"
#include "devlog/changer_device_logs.h"
#include "platform/clock.h"
#include "resources/string_table.h"
#include "service/claim_service.h"
#include "service/device_job.h"
#include "service/exit_setting.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;

// Where the end of deposit is sent after a claim found the deposit unit
// open (mode argument of the end-of-deposit command).
enum class OpenDeposit { kNoAnswer = 0, kCounting = 1, kWaiting = 2, kNone = 3 };

// The two deposit-mode character pairs of a KRT07/KRT77 status record.
OpenDeposit ClassifyDepositPairs(const DeviceReply& reply) {
  if (!reply.IsDataFrame() || reply.data.size() != 51) return OpenDeposit::kNoAnswer;
  const auto pair = [&](size_t at) { return std::pair<uint8_t, uint8_t>(reply.data[at], reply.data[at + 1]); };
  const auto first = pair(47);
  const auto second = pair(49);
  const std::pair<uint8_t, uint8_t> three_three{'3', '3'};
  const std::pair<uint8_t, uint8_t> three_zero{'3', '0'};
  if (first == three_three || second == three_three) return OpenDeposit::kCounting;
  if (first == three_zero || second == three_zero) return OpenDeposit::kWaiting;
  return OpenDeposit::kNone;
}

}  // namespace

ClaimService::ClaimService(const ServiceParts& parts, platform::NamedSemaphore& semaphore, AsyncCompletions& async,
                           const std::atomic<int32_t>& result_code_extended, const std::string& device_key_path)
    : UsesServiceParts(parts),
      semaphore_(semaphore),
      async_(async),
      result_code_extended_(result_code_extended),
      device_key_path_(device_key_path) {}

// --- Claim and release ---------------------------------------------------------------

opos::OposResult ClaimService::Claim(int32_t timeout, events::EventDelivery::Post post) {
  // The claim semaphore. No lock of this object is held while waiting.
  // A claim lock that cannot be taken at all (its file cannot be opened or
  // locked) gives no exclusion from other processes: the claim fails and
  // says why instead of going ahead unprotected.
  if (!semaphore_.Acquire(timeout)) {
    const std::string failure = semaphore_.failure();
    if (failure.empty()) return OPOS_E_TIMEOUT;
    trace_.Write(diag::kLevelError, diag::kTagError, "  claim lock cannot be taken: " + failure);
    return OPOS_E_FAILURE;
  }

  // Event delivery.
  if (!events_.Start(std::move(post))) {
    semaphore_.Release();
    return OPOS_E_ILLEGAL;
  }

  // The port.
  if (device_.OpenPort() != 0) {
    events_.Stop();
    semaphore_.Release();
    return OPOS_E_NOHARDWARE;
  }

  // The model.
  const ModelDetection detected = device_.DetectModel();
  const ModelCode model = device_.Model();
  if (!detected.ready()) {
    switch (config_.claim_pass_setting) {
      case 0:
        UndoClaim();
        return OPOS_E_NOHARDWARE;
      case 1:
        ApplyModelProperties(ModelCode::kKrt07);
        break;
      case 2:
        ApplyModelProperties(ModelCode::kKrt77);
        break;
      default:
        break;
    }
    model_ = model;
  } else {
    // The model found and what it brings with it.
    model_ = model;
    const opos::OposResult result = ClaimDeviceSteps(model);
    if (result != OPOS_SUCCESS) {
      UndoClaim();
      return result;
    }
    if (model == ModelCode::kKrt03) switches_.dio_read_exchange.store(0);
    ApplyModelProperties(model);
  }

  // The background history fetch.
  device_.SetHistoryFetchEnabled(true);
  exam_.Write(5, 1, 0, 0);
  return OPOS_SUCCESS;
}

void ClaimService::Release() {
  // An open deposit's pause of the history fetch ends with the claim, and so
  // does the wait for the end of a pay-out: the next claim's stock says
  // nothing about it.
  deposit_.DropHistoryPause();
  payouts_.ForgetUnsettled();
  deposit_.SetRepay(std::nullopt);
  device_.ClosePort();
  events_.Stop();
  semaphore_.Release();
  ResetReleasedValues();
}

void ClaimService::UndoClaim() {
  // Always in this order: the port (which stops the communication thread),
  // event delivery, the semaphore.
  device_.ClosePort();
  events_.Stop();
  semaphore_.Release();
}

opos::OposResult ClaimService::EndOpenDeposit() {
  DeviceReply status;
  device_.Execute(StatusCommand(model_), &status);
  const OpenDeposit open = ClassifyDepositPairs(status);
  if (open != OpenDeposit::kCounting && open != OpenDeposit::kWaiting) return OPOS_SUCCESS;
  // The unit finishes what it is counting before the deposit can end. The
  // watch is not running yet, so the line is free for this. A unit that is
  // still counting after the end-of-deposit time is stuck: the claim fails,
  // and the deposit is left as it is.
  if (device_.ReadyWait(nullptr, config_.end_deposit_timeout) == OPOS_E_BUSY) {
    deposits_.RecordLeftOpen(kLeftOpenAtClaim, OPOS_E_NOHARDWARE);
    return OPOS_E_NOHARDWARE;
  }
  // What the deposit holds, read before it ends. A deposit whose counts
  // cannot be read is not ended: its count is all that tells of the cash.
  const opos::OposResult read = device_.ReadDepositCounts();
  deposits_.RecordLeftOpen(kLeftOpenAtClaim, read);
  if (read != OPOS_SUCCESS) return read;
  deposit_.SetCounts(device_.DepositCounts().Counts());
  DeviceReply after;
  device_.Execute(StatusCommand(model_), &after);
  if (after.IsDataFrame() && after.data.size() > 1 && after.data[1] == '2') return OPOS_SUCCESS;
  const BuiltCommand end = EndDepositCommand(open == OpenDeposit::kCounting ? 1 : 0, config_.end_deposit_timeout);
  if (!end.ok()) return end.result;
  const opos::OposResult result = device_.Execute(end.command);
  return result == OPOS_E_NOHARDWARE ? OPOS_E_NOHARDWARE : OPOS_SUCCESS;
}

opos::OposResult ClaimService::EndOpenDepositOlderFamily(ModelCode model) {
  DeviceReply status;
  device_.Execute(StatusCommand(model), &status);
  if (!status.IsDataFrame() || status.length() != StatusRecordLength(model) || !DepositUnitInUse(status.data)) {
    return OPOS_SUCCESS;
  }
  // The intake is closed first, as FixDeposit closes it, and what was
  // counted is read after that: the KRT03's intake stop waits for the cash
  // still being counted and ends the deposit, whose counter keeps its counts
  // until the next deposit clears it.
  opos::OposResult read = OPOS_SUCCESS;
  if (model == ModelCode::kKrt03) {
    device_.Execute(IntakeStopCommand(deposit_.ActiveMark() == 1));
    read = device_.ReadShortDepositCounts();
  } else {
    device_.Execute(DepositModeCommand(1, 1, deposit_.Option() == 0 ? 1 : 0).command);
    read = device_.ReadDepositCounts();
  }
  deposits_.RecordLeftOpen(kLeftOpenAtClaim, read);
  if (read != OPOS_SUCCESS) return read;
  deposit_.SetCounts(device_.DepositCounts().Counts());
  if (model == ModelCode::kKrt03) return OPOS_SUCCESS;
  // The KRT02 family ends it keeping the cash (no change: there is no sale
  // to give change for), so the next deposit starts from nothing and
  // counts only its own cash.
  const BuiltCommand end = EndDepositCommand(2, config_.end_deposit_timeout);
  if (!end.ok()) return end.result;
  return device_.Execute(end.command);
}

opos::OposResult ClaimService::ClaimDeviceSteps(ModelCode model) {
  const bool strict = config_.claim_pass_setting == 0;
  // The device clock is set from the time read when its command is built:
  // the steps before it may take a minute.
  switch (model) {
    case ModelCode::kKrt02:
    case ModelCode::kKrt03: {
      // A deposit left open is read, recorded and ended first. A device
      // that cannot tell what it holds in its deposit unit is not claimed.
      if (EndOpenDepositOlderFamily(model) != OPOS_SUCCESS && strict) return OPOS_E_NOHARDWARE;
      const opos::OposResult clock = device_.Execute(ClockMinutesCommand(clock_.LocalTimeNow().tm));
      if (clock != OPOS_SUCCESS && strict) return OPOS_E_NOHARDWARE;
      const int32_t log = logs_.RetrieveTradingLog(1);
      if (log != OPOS_SUCCESS && strict) return OPOS_E_NOHARDWARE;
      return OPOS_SUCCESS;
    }
    case ModelCode::kKrt07:
    case ModelCode::kKrt77: {
      // The deposit counts. The read's own result decides: a device that
      // cannot tell what it holds in its deposit unit is not claimed.
      if (device_.ReadDepositCounts() != OPOS_SUCCESS && strict) return OPOS_E_NOHARDWARE;
      deposit_.SetCounts(device_.DepositCounts().Counts());
      // A deposit left open is ended.
      if (EndOpenDeposit() != OPOS_SUCCESS && strict) return OPOS_E_NOHARDWARE;
      // The device clock.
      if (device_.Execute(ClockSecondsCommand(clock_.LocalTimeNow().tm, config_.claim_relaxation)) != OPOS_SUCCESS) {
        // With ClaimNonEvent 1 a refused clock says so with 114, leaving
        // ResultCodeExtended as it was.
        if (strict) {
          return config_.claim_non_event == 1 ? OposResult(OPOS_E_EXTENDED, result_code_extended_.load())
                                              : OposResult(OPOS_E_NOHARDWARE);
        }
      }
      // The trading log.
      if (logs_.RetrieveTradingLog(1) != OPOS_SUCCESS && strict) return OPOS_E_NOHARDWARE;
      // The operation mode, sent and kept.
      const int32_t mode = config_.operation_mode_initialize;
      const BuiltCommand send_mode = OperationModeCommand(mode);
      if ((!send_mode.ok() || device_.Execute(send_mode.command) != OPOS_SUCCESS) && strict) {
        return OPOS_E_NOHARDWARE;
      }
      if (!config::WriteOperationModeTemporary(device_key_path_, mode) && strict) return OPOS_E_NOHARDWARE;
      switches_.operation_mode_temporary.store(mode);
      return OPOS_SUCCESS;
    }
    case ModelCode::kUnknown:
      return OPOS_SUCCESS;
  }
  return OPOS_SUCCESS;
}

void ClaimService::ApplyModelProperties(ModelCode model) {
  int description = 0;
  int name = 0;
  bool deposit = true;
  int32_t deposit_status = CHAN_STATUS_DEPOSIT_END;
  switch (model) {
    case ModelCode::kKrt02:
      description = resources::kIdsKrt02Description;
      name = resources::kIdsKrt02Name;
      deposit = false;
      deposit_status = CHAN_STATUS_DEPOSIT_NONE;
      break;
    case ModelCode::kKrt03:
      description = resources::kIdsKrt03Description;
      name = resources::kIdsKrt03Name;
      break;
    case ModelCode::kKrt07:
      description = resources::kIdsKrt07Description;
      name = resources::kIdsKrt07Name;
      props_.cap_pause_deposit = config_.pause_deposit_set == 1 ? 1 : 0;
      break;
    case ModelCode::kKrt77:
      description = resources::kIdsKrt77Description;
      name = resources::kIdsKrt77Name;
      props_.cap_pause_deposit = config_.pause_deposit_set == 1 ? 1 : 0;
      break;
    case ModelCode::kUnknown:
      deposit = false;
      deposit_status = CHAN_STATUS_DEPOSIT_NONE;
      break;
  }
  props_.device_description = description != 0 ? std::string(resources::LoadString(description)) : std::string();
  props_.device_name = name != 0 ? std::string(resources::LoadString(name)) : std::string();
  props_.cap_deposit = props_.cap_deposit_data_event = props_.cap_repay_deposit = deposit ? 1 : 0;
  props_.deposit_cash_list = deposit ? kAllCashList : "";
  props_.deposit_code_list = deposit ? "JPY" : "";
  deposit_.SetStatus(deposit_status);
}

void ClaimService::ResetReleasedValues() {
  props_.check_health_text.clear();
  props_.device_description.clear();
  props_.device_name.clear();
  props_.deposit_cash_list.clear();
  props_.deposit_code_list.clear();
  props_.binary_conversion = 0;
  events_.SetFreezeEvents(false);
  events_.SetDataEventEnabled(false);
  switches_.power_notify.store(0);
  props_.async_mode = 0;
  async_.Reset();
  props_.cap_deposit = props_.cap_deposit_data_event = props_.cap_pause_deposit = props_.cap_repay_deposit = 0;
  deposit_.ClearCounts();
  switches_.current_exit.store(1);
  props_.device_exits = 7;
  deposit_.SetStatus(CHAN_STATUS_DEPOSIT_NONE);
  model_ = ModelCode::kUnknown;
}

// --- Enabling and the exit -------------------------------------------------------------

opos::OposResult ClaimService::Enable(bool reenable) {
  // Enabling's commands are one job of the device layer; the watch is
  // switched on with its count of failed steps once they are done. (Without
  // a running thread nothing can reach the line: the steps run here and
  // find it so.)
  bool refused = false;
  opos::OposResult remembered = OPOS_E_NOHARDWARE;
  if (!device_.RunJob([&] { remembered = EnableOnLine(reenable, &refused); })) {
    remembered = EnableOnLine(reenable, &refused);
  }
  if (refused) return OPOS_E_FAILURE;
  device_.Enable(remembered == OPOS_E_NOHARDWARE ? 4 : 0);
  return remembered;
}

opos::OposResult ClaimService::EnableOnLine(bool reenable, bool* refused) {
  int32_t remembered = OPOS_SUCCESS;
  const ModelCode model = model_;
  if (reenable) {
    const opos::OposResult reset = device_.Execute(ResetCommand());
    if (reset == OPOS_E_NOHARDWARE) {
      remembered = OPOS_E_NOHARDWARE;
    } else if (reset != OPOS_SUCCESS) {
      *refused = true;
      return OPOS_E_FAILURE;
    }
  } else if (props_.cap_deposit != 0 && model == ModelCode::kKrt03) {
    // Intake stopped on both forms of the deposit-mode command.
    for (bool equals_form : {false, true}) {
      if (device_.Execute(IntakeStopCommand(equals_form)) == OPOS_E_NOHARDWARE) remembered = OPOS_E_NOHARDWARE;
    }
  }

  const int32_t exit = switches_.current_exit.load();
  if (IsKrt07Family(model) && exit >= 1 && exit <= 7) {
    const opos::OposResult setting = SendExitSetting(device_, ExitSettingValues(config_, exit, false));
    device_.SetExitSettingValues(ConfiguredSettingValues(config_));
    device_.SetExitSettingPending(false);
    if (setting != OPOS_SUCCESS) {
      remembered = OPOS_E_NOHARDWARE;
    } else {
      const auto [bills, coins] = ExitSides(exit);
      if (device_.Execute(ExitSelectionCommand(bills, coins)) == OPOS_E_NOHARDWARE) remembered = OPOS_E_NOHARDWARE;
    }
  }

  if (props_.cap_deposit != 0) {
    deposit_.SetStatus(CHAN_STATUS_DEPOSIT_END);
    device_.ResetDepositMarks();
    // The deposit has ended: so has its pause of the history fetch.
    deposit_.DropHistoryPause();
  }
  const int32_t phase = device_.DepositPhase();
  if (phase >= 1 && phase <= 3) {
    EndDevicePhase(device_);
    deposit_.DropHistoryPause();
    exam_.Write(5, 1, 0, 0);
  }
  switches_.device_enabled.store(true);
  // The settings are marked in use at every enable, as at every read.
  config_.working_flag = 1;
  switches_.direct_io_mode.store(0);
  device_.ForgetStatus();
  events_.DropDataEvents();
  // A device exchanged while claimed is still enabled, but the application
  // hears about it.
  if (ReadModelNow() != model) remembered = OPOS_E_NOHARDWARE;
  device_.SetPowerState(OPOS_PS_ONLINE);
  return remembered;
}

void ClaimService::Disable() {
  device_.Disable();
  events_.DropDataEvents();
  switches_.device_enabled.store(false);
}

ModelCode ClaimService::ReadModelNow() {
  DeviceReply reply;
  device_.Execute(ModelNameCommand(), &reply);
  if (!reply.IsDataFrame()) return ModelCode::kUnknown;
  const std::optional<ModelName> name = ParseModelName(reply.data);
  return name ? name->model : ModelCode::kUnknown;
}

opos::OposResult ClaimService::SetCurrentExit(int32_t value) {
  if (config_.default_current_exit == 3 && value != 3) return OPOS_E_ILLEGAL;
  if (value < 1 || value > 7) return OPOS_E_ILLEGAL;
  const bool krt07_family = IsKrt07Family(model_);
  if (value >= 4 && !krt07_family) return OPOS_E_ILLEGAL;

  // Named copies: a lambda cannot capture structured bindings everywhere.
  const auto sides = ExitSides(value);
  const bool bills = sides.first;
  const bool coins = sides.second;
  const int32_t current = switches_.current_exit.load();
  return RunDeviceJob(device_, [&] {
    opos::OposResult result = OPOS_SUCCESS;
    if (value != current) result = device_.Execute(ExitSelectionCommand(bills, coins));
    if (result == OPOS_SUCCESS) {
      if (!krt07_family || value == current) {
        switches_.current_exit.store(value);
      } else {
        result = SendExitSetting(device_, ExitSettingValues(config_, value, true));
        if (result == OPOS_SUCCESS) switches_.current_exit.store(value);
      }
    }
    return result;
  });
}

}  // namespace vexokrt::service
