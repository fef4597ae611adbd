// SPDX-License-Identifier: Apache-2.0
#include "service/cash_changer.h"

#include <sys/stat.h>
#include <unistd.h>

#include "device/changer_device.h"
#include "devlog/changer_device_logs.h"
#include "devlog/registry_values.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "resources/string_table.h"
#include "service/opos.h"
#include "service/text_format.h"
#include "service/window_messages.h"

namespace vexokrt::service {
namespace {

using namespace opos;  // the OPOS names read best unqualified here

constexpr std::string_view kTraceOpenService = "CCashChanger::OpenService";
constexpr std::string_view kTraceClose = "CCashChanger::Close";

// The event members looked up on the Control Object, in this order.
constexpr const char* kEventMembers[] = {"SODirectIO", "SOStatusUpdate", "SOData"};

long Exit(MethodCode code) { return 100 + static_cast<long>(code); }
long Entry(MethodCode code) { return static_cast<long>(code); }

}  // namespace

CCashChanger::CCashChanger()
    : clock_(&platform::SystemClock()),
      service_object_description_(resources::LoadString(resources::kIdsServiceObjectDescription)),
      build_version_(config::LeadingDecimal(resources::LoadString(resources::kIdsServiceObjectVersion))),
      service_object_version_(build_version_),
      trace_log_(std::make_shared<diag::TraceLog>()),
      claim_semaphore_(kClaimSemaphoreName),
      events_(exam_log_),
      state_(OPOS_S_CLOSED),
      result_code_(OPOS_E_CLOSED) {
  // A registry file that cannot be read is reported into this object's trace
  // (once the trace has a file); the hook may outlive a call in flight, so it
  // holds the trace weakly.
  registry_hook_ = platform::AddRegistryDiagnosticHook([trace = std::weak_ptr(trace_log_)](const std::string& text) {
    if (auto log = trace.lock()) log->Write(diag::kLevelError, diag::kTagError, text);
  });
}

CCashChanger::~CCashChanger() {
  platform::RemoveRegistryDiagnosticHook(registry_hook_);
  // A Control Object that lets go without Close still leaves nothing behind:
  // the device layer closes the port, delivery stops, the semaphore goes back.
  events_.Stop();
  DropOpenResources();
  claim_semaphore_.Release();
}

// --- the call frame -----------------------------------------------------------

void CCashChanger::TraceEnter(std::string_view trace_name, std::string_view param) {
  trace_log_->Write(diag::kLevelInfo, diag::kTagEnter, trace_name);
  if (!param.empty()) trace_log_->Write(diag::kLevelInfo, diag::kTagEnter, param);
}

int32_t CCashChanger::FinishCall(std::string_view trace_name, opos::OposResult result) {
  const std::string text = Format("  ResultCode is %ld", static_cast<long>(result.code));
  if (result.ok()) {
    trace_log_->Write(diag::kLevelInfo, diag::kTagResult, text);
    trace_log_->Write(diag::kLevelInfo, diag::kTagExit, trace_name);
  } else {
    trace_log_->Write(diag::kLevelError, diag::kTagError, text);
    trace_log_->Write(diag::kLevelError, diag::kTagError, trace_name);
  }
  // The one place that writes ResultCode and ResultCodeExtended. The
  // extended code goes with 114 (and with DirectIO 76's 111 for a status it
  // cannot read, the one failure that carries one).
  result_code_ = result.code;
  if (result.code == OPOS_E_EXTENDED || result.extended != 0) result_code_extended_.store(result.extended);
  return result.code;
}

void CCashChanger::Record(long kind, long code, long argument, long result) {
  exam_log_.Write(kind, code, argument, result);
}

int32_t CCashChanger::State() {
  int32_t state;
  {
    platform::MutexLock guard(state_lock_);
    state = state_;
  }
  if (state == OPOS_S_IDLE && device_ && device_->Busy()) return OPOS_S_BUSY;
  if (state == OPOS_S_IDLE && firmware_ && firmware_->Running()) return OPOS_S_BUSY;
  return state;
}

void CCashChanger::SetClock(platform::Clock& clock) {
  clock_ = &clock;
  trace_log_->SetClock(clock);
  exam_log_.SetClock(clock);
  claim_semaphore_.SetClock(clock);
}

void CCashChanger::SetState(int32_t state) {
  platform::MutexLock guard(state_lock_);
  state_ = state;
}

int32_t CCashChanger::ClaimedCheck() {
  if (State() == OPOS_S_CLOSED) return OPOS_E_CLOSED;
  if (!claimed_) return OPOS_E_NOTCLAIMED;
  return OPOS_SUCCESS;
}

// --- opening and closing --------------------------------------------------------

void CCashChanger::ConfigureTrace() {
  std::string file;
  if (!config_.dbg_log_file_name.empty()) {
    const platform::LocalTime now = clock_->LocalTimeNow();
    file = config_.dbg_log_file_name + Format("%02d", now.tm.tm_mday);
    // A trace file of this day's name left from another month is started
    // afresh, so no more than one month of trace files is kept. Only while
    // tracing, and only a file that is one of ours.
    if (config_.dbg_log_level == 0 || config_.dbg_log_level == 1) diag::RemoveStaleTraceFile(file, now.tm);
  }
  trace_log_->SetFileName(file);
  switch (config_.dbg_log_level) {
    case 0:
      trace_log_->SetLevel(diag::kLevelInfo);
      break;
    case 1:
      trace_log_->SetLevel(diag::kLevelError);
      break;
    default:
      trace_log_->SetLevel(diag::kLevelOff);
      break;
  }
}

void CCashChanger::CreateDevice() {
  DeviceSettings settings;
  settings.watch_interval_ms = config_.watch_interval;
  settings.auto_negotiation = config_.auto_negotiation;
  settings.deposit_evt_set = config_.deposit_evt_set;
  settings.claim_non_event = config_.claim_non_event;
  settings.take_back_timeout_ms = config_.take_back_timeout;
  // The line waits on the object's clock like the rest of the device layer.
  auto serial = std::make_unique<link::SerialLink>(*trace_log_, config_.port, config_.port_initialize_string,
                                                   link::SerialLink::PortOpener{}, *clock_);
  device_ = std::make_unique<ChangerDevice>(*this, deposit_, switches_, settings, std::move(serial), *clock_, &exam_log_);
  payouts_ = std::make_unique<PayoutService>(*device_, *this, *trace_log_, exam_log_);
  deposits_ = std::make_unique<DepositService>(*device_, deposit_, *payouts_, events_, *this, config_, claimed_model_,
                                               *trace_log_, exam_log_);
  log_values_ = std::make_unique<devlog::RegistryValues>(device_key_path_);
  devlog::DeviceLogContext context;
  context.settings = devlog::LogSettingsFrom(config_);
  context.values = log_values_.get();
  context.trace = trace_log_.get();
  context.exam = &exam_log_;
  device_logs_ = std::make_unique<devlog::ChangerDeviceLogs>(*device_, std::move(context));
  const ServiceParts parts{*device_, deposit_,   switches_, props_,     config_,    claimed_model_, events_,
                           *trace_log_, exam_log_, *clock_,   *payouts_, *deposits_, *device_logs_};
  claims_ = std::make_unique<ClaimService>(parts, claim_semaphore_, async_, result_code_extended_, device_key_path_);
  // In exchange mode a DispenseCash goes out as the DirectIO pay-out of its
  // text: the deposit-table pay-out (28) on the KRT07 family, the take-back
  // (4) on the others, mode 0. The text is a cash-count text, never the
  // application's binary input: BinaryConversion does not apply to it.
  cash_ = std::make_unique<CashService>(
      parts, [this] { return State(); },
      [this](const std::string& text) -> opos::OposResult {
        int32_t mode = 0;
        std::string counts = text;
        const int32_t conversion = std::exchange(props_.binary_conversion, 0);
        const int32_t result = DirectIO(IsKrt07Family(claimed_model_) ? 28 : 4, &mode, &counts);
        props_.binary_conversion = conversion;
        return result;
      });
  statistics_ = std::make_unique<StatisticsService>(parts, "1." + std::to_string(upos_minor_));
  firmware_ = std::make_unique<FirmwareService>(parts, *this);
}

void CCashChanger::DropOpenResources() {
  // The logs unhook from the device layer first; deleting the device layer
  // closes the port and stops its thread, so nothing posts to the window
  // any more when it goes.
  firmware_.reset();
  statistics_.reset();
  cash_.reset();
  claims_.reset();
  device_logs_.reset();
  deposit_.DropHistoryPause();
  deposits_.reset();
  payouts_.reset();
  device_.reset();
  log_values_.reset();
  window_handle_.store(0);
  window_.reset();
  control_object_ = nullptr;
  event_ids_ = EventIds{};
  upos_minor_ = 6;
  service_object_version_ = build_version_;
}

int32_t CCashChanger::OpenService(std::string_view /*device_class*/, std::string_view device_name,
                                  platform::IDispatch* control_object) {
  const std::string param = Format("  Param:   DeviceName is %.*s", static_cast<int>(device_name.size()), device_name.data());

  // Opening twice would leave a second window and device layer over the
  // first; the object stays as it is.
  if (State() != OPOS_S_CLOSED) {
    TraceEnter(kTraceOpenService, param);
    trace_log_->Write(diag::kLevelError, diag::kTagError, "  already open");
    Record(1, Exit(MethodCode::kOpenService), 0, OPOS_E_ILLEGAL);
    return FinishCall(kTraceOpenService, OPOS_E_ILLEGAL);
  }

  // The device's settings. The trace is not configured yet, so a failure here is traced
  // only if an earlier open named a trace file.
  const std::string key_path = config::DeviceKeyPath(device_name);
  if (platform::RegOpenKey(platform::RegRoot::kLocalMachine, key_path) != platform::RegResult::kOk) {
    open_result_ = OPOS_OR_REGBADNAME;
    Record(1, Exit(MethodCode::kOpenService), 0, OPOS_E_NOSERVICE);
    return FinishCall(kTraceOpenService, OPOS_E_NOSERVICE);
  }

  // The device's name and key.
  device_name_ = std::string(device_name);
  device_key_path_ = key_path;
  config::ReadDeviceConfig(key_path, &config_);

  switches_.dio_read_exchange.store(config_.dio_read_exchange);
  switches_.operation_mode_temporary.store(config_.operation_mode_temporary);

  // The exit the application starts at.
  switches_.current_exit = (config_.default_current_exit >= 1 && config_.default_current_exit <= 7)
                      ? config_.default_current_exit
                      : 1;

  // Steps 5 and 6.
  ConfigureTrace();
  TraceEnter(kTraceOpenService, param);
  // The settings were read before the trace had a file: a registry file that
  // could not be read is reported again now that it can be traced.
  platform::RegCheckFile(platform::RegRoot::kLocalMachine);
  platform::RegCheckFile(platform::RegRoot::kCurrentUser);
  ServeRelease();

  // The ExamLog in the log folder. The folder text is used as given, so it must end in a separator.
  // No folder switches the ExamLog off (as no trace file name switches the
  // trace off) instead of writing the ring into whatever folder the process
  // happens to run in.
  exam_log_.SetFileName(config_.log_folder_name.empty() ? std::string()
                                                        : config_.log_folder_name + kExamLogFileName);
  exam_log_.SetSizeLimit(config_.exm_log_max_size);
  Record(1, Entry(MethodCode::kOpenService), 0, 0);

  // The device layer and its logs. Nothing is sent to the device before Claim opens the port.
  CreateDevice();

  // The Control Object, kept without a reference.
  control_object_ = control_object;

  // The hidden window on this thread.
  window_ = platform::MessageWindow::Create(kCashChangerWindowName);
  if (!window_) {
    trace_log_->Write(diag::kLevelError, diag::kTagError, kWindowCreationFailed);
    DropOpenResources();
    open_result_ = OPOS_OR_CREATE;
    Record(1, Exit(MethodCode::kOpenService), 0, OPOS_E_FAILURE);
    return FinishCall(kTraceOpenService, OPOS_E_FAILURE);
  }
  window_handle_.store(window_->handle());
  InstallWindowHandlers();

  // The Control Object's three event members.
  platform::DispId ids[3] = {platform::kDispIdUnknown, platform::kDispIdUnknown, platform::kDispIdUnknown};
  for (int i = 0; i < 3; ++i) {
    if (control_object_ == nullptr || platform::FAILED(control_object_->GetIDsOfNames(kEventMembers[i], &ids[i]))) {
      DropOpenResources();
      open_result_ = OPOS_OR_BADIF;
      Record(1, Exit(MethodCode::kOpenService), 0, OPOS_E_NOSERVICE);
      return FinishCall(kTraceOpenService, OPOS_E_NOSERVICE);
    }
  }
  event_ids_ = EventIds{ids[0], ids[1], ids[2]};

  // Open.
  SetState(OPOS_S_IDLE);
  open_result_ = OPOS_SUCCESS;
  Record(1, Exit(MethodCode::kOpenService), 0, OPOS_SUCCESS);
  return FinishCall(kTraceOpenService, OPOS_SUCCESS);
}

int32_t CCashChanger::Close() {
  TraceEnter(kTraceClose);
  Record(1, Entry(MethodCode::kClose), 0, 0);
  if (State() == OPOS_S_BUSY) {
    Record(1, Exit(MethodCode::kClose), 0, OPOS_E_BUSY);
    return FinishCall(kTraceClose, OPOS_E_BUSY);
  }
  if (claimed_) ReleaseDevice();
  SetState(OPOS_S_CLOSED);
  // Events still queued are of no use to a closed object.
  events_.Stop();
  DropOpenResources();
  Record(1, Exit(MethodCode::kClose), 0, OPOS_SUCCESS);
  return FinishCall(kTraceClose, OPOS_SUCCESS);
}

// --- device methods --------------------------------------------------------------

int32_t CCashChanger::COFreezeEvents(bool freeze) {
  events_.SetControlObjectFreeze(freeze);
  return OPOS_SUCCESS;
}

}  // namespace vexokrt::service
