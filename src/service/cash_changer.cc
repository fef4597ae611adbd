#include "service/cash_changer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"
#include "platform/registry.h"
#include "resources/string_table.h"
#include "service/opos.h"
#include "service/window_messages.h"

namespace vexokrt::service {
namespace {

using namespace opos;  // the OPOS names read best unqualified here

constexpr std::string_view kTraceOpenService = "CCashChanger::OpenService";
constexpr std::string_view kTraceClose = "CCashChanger::Close";
constexpr std::string_view kTraceClaim = "CCashChanger::Claim";
constexpr std::string_view kTraceClaimDevice = "CCashChanger::ClaimDevice";
constexpr std::string_view kTraceReleaseDevice = "CCashChanger::ReleaseDevice";
constexpr std::string_view kTraceCheckHealth = "CCashChanger::CheckHealth";
constexpr std::string_view kTraceDirectIO = "CCashChanger::DirectIO";
constexpr std::string_view kTraceDispenseCash = "CCashChanger::DispenseCash";
constexpr std::string_view kTraceDispenseChange = "CCashChanger::DispenseChange";
constexpr std::string_view kTraceReadCashCounts = "CCashChanger::ReadCashCounts";
constexpr std::string_view kTraceClearInput = "CCashChanger::ClearInput";
constexpr std::string_view kTraceBeginDeposit = "CCashChanger::BeginDeposit";
constexpr std::string_view kTraceEndDeposit = "CCashChanger::EndDeposit";
constexpr std::string_view kTraceFixDeposit = "CCashChanger::FixDeposit";
constexpr std::string_view kTracePauseDeposit = "CCashChanger::PauseDeposit";

// The event members looked up on the Control Object, in this order.
constexpr const char* kEventMembers[] = {"SODirectIO", "SOStatusUpdate", "SOData"};

// Property indexes this build answers.
constexpr int32_t kPidxClaimed = 1;
constexpr int32_t kPidxDeviceEnabled = 3;
constexpr int32_t kPidxFreezeEvents = 4;
constexpr int32_t kPidxDataEventEnabled = 2;
constexpr int32_t kPidxResultCode = 6;
constexpr int32_t kPidxResultCodeExtended = 7;
constexpr int32_t kPidxServiceObjectVersion = 8;
constexpr int32_t kPidxState = 9;
constexpr int32_t kPidxBinaryConversion = 11;
constexpr int32_t kPidxPowerNotify = 13;
constexpr int32_t kPidxAsyncMode = 13001;
constexpr int32_t kPidxCurrentExit = 13004;
constexpr int32_t kPidxServiceObjectDescription = 1000004;
constexpr int32_t kPidxCurrencyCode = 1013002;

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  text.resize(static_cast<size_t>(n));
  return text;
}

long Exit(MethodCode code) { return 100 + static_cast<long>(code); }
long Entry(MethodCode code) { return static_cast<long>(code); }

}  // namespace

CCashChanger::CCashChanger()
    : service_object_description_(resources::LoadString(resources::kIdsServiceObjectDescription)),
      service_object_version_(config::LeadingDecimal(resources::LoadString(resources::kIdsServiceObjectVersion))),
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
  // A Control Object that lets go without Close still leaves nothing behind.
  events_.Stop();
  DropOpenResources();
}

// --- the call frame -----------------------------------------------------------

void CCashChanger::TraceEnter(std::string_view trace_name, std::string_view param) {
  trace_log_->Write(diag::kLevelInfo, diag::kTagEnter, trace_name);
  if (!param.empty()) trace_log_->Write(diag::kLevelInfo, diag::kTagEnter, param);
}

int32_t CCashChanger::FinishCall(std::string_view trace_name, int32_t result) {
  const std::string text = Format("  ResultCode is %ld", static_cast<long>(result));
  if (result == OPOS_SUCCESS) {
    trace_log_->Write(diag::kLevelInfo, diag::kTagResult, text);
    trace_log_->Write(diag::kLevelInfo, diag::kTagExit, trace_name);
  } else {
    trace_log_->Write(diag::kLevelError, diag::kTagError, text);
    trace_log_->Write(diag::kLevelError, diag::kTagError, trace_name);
  }
  result_code_ = result;
  return result;
}

void CCashChanger::Record(long kind, long code, long argument, long result) {
  exam_log_.Write(kind, code, argument, result);
}

int32_t CCashChanger::State() const {
  std::lock_guard guard(state_lock_);
  return state_;
}

void CCashChanger::SetState(int32_t state) {
  std::lock_guard guard(state_lock_);
  state_ = state;
}

platform::WindowHandle CCashChanger::window_handle() const { return window_ ? window_->handle() : 0; }

int32_t CCashChanger::ClaimedCheck() const {
  if (State() == OPOS_S_CLOSED) return OPOS_E_CLOSED;
  if (!claimed_) return OPOS_E_NOTCLAIMED;
  return OPOS_SUCCESS;
}

int32_t CCashChanger::NotImplemented(std::string_view trace_name, MethodCode code, long argument) {
  trace_log_->Write(diag::kLevelError, diag::kTagError, std::string("  ") + std::string(trace_name) + " is not implemented");
  Record(1, Exit(code), argument, OPOS_E_ILLEGAL);
  return FinishCall(trace_name, OPOS_E_ILLEGAL);
}

int32_t CCashChanger::DeviceMethod(std::string_view trace_name, std::string_view param, MethodCode code,
                                   long argument) {
  TraceEnter(trace_name, param);
  Record(1, Entry(code), argument, 0);
  if (const int32_t refused = ClaimedCheck(); refused != OPOS_SUCCESS) {
    Record(1, Exit(code), argument, refused);
    return FinishCall(trace_name, refused);
  }
  return NotImplemented(trace_name, code, argument);
}

void CCashChanger::PropertySetter(std::string_view trace_name, std::string_view param, long entry_code,
                                  long exit_code, long argument) {
  TraceEnter(trace_name, param);
  if (entry_code != 0) Record(2, entry_code, argument, 0);
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS) {
    trace_log_->Write(diag::kLevelError, diag::kTagError, std::string("  ") + std::string(trace_name) + " is not implemented");
    result = OPOS_E_ILLEGAL;
  }
  if (exit_code != 0) Record(2, exit_code, argument, result);
  FinishCall(trace_name, result);
}

// --- opening and closing --------------------------------------------------------

void CCashChanger::ConfigureTrace() {
  std::string file;
  if (!config_.dbg_log_file_name.empty()) {
    const platform::LocalTime now = platform::LocalNow();
    file = config_.dbg_log_file_name + Format("%02d", now.tm.tm_mday);
    // A file of this day's name left from another month is started afresh,
    // so no more than one month of trace files is kept. The year counts too:
    // the file of the same day a year ago is just as stale.
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0) {
      std::tm written{};
      localtime_r(&info.st_mtime, &written);
      if (written.tm_mon != now.tm.tm_mon || written.tm_year != now.tm.tm_year) ::unlink(file.c_str());
    }
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

void CCashChanger::DropOpenResources() {
  // The device layer, once created at open, is shut down and deleted here.
  window_.reset();
  control_object_ = nullptr;
  event_ids_ = EventIds{};
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

  // Step 2. The trace is not configured yet, so a failure here is traced
  // only if an earlier open named a trace file.
  const std::string key_path = config::DeviceKeyPath(device_name);
  if (platform::RegOpenKey(platform::RegRoot::kLocalMachine, key_path) != platform::RegResult::kOk) {
    open_result_ = OPOS_OR_REGBADNAME;
    Record(1, Exit(MethodCode::kOpenService), 0, OPOS_E_NOSERVICE);
    return FinishCall(kTraceOpenService, OPOS_E_NOSERVICE);
  }

  // Step 3.
  device_name_ = std::string(device_name);
  device_key_path_ = key_path;
  config::ReadDeviceConfig(key_path, &config_);

  // Step 4.
  current_exit_ = (config_.default_current_exit >= 1 && config_.default_current_exit <= 7)
                      ? config_.default_current_exit
                      : 1;

  // Steps 5 and 6.
  ConfigureTrace();
  TraceEnter(kTraceOpenService, param);

  // Step 7. The folder text is used as given, so it must end in a separator.
  exam_log_.SetFileName(config_.log_folder_name + kExamLogFileName);
  exam_log_.SetSizeLimit(config_.exm_log_max_size);
  Record(1, Entry(MethodCode::kOpenService), 0, 0);

  // Step 8: the device layer (ChangerDevice) is created here, handed this
  // object, Port, Port_Initialize_String, WatchInterval, AutoNegotiation,
  // OperationHistory, TradingLog, the key path, LogFolderName, LogFolderSize
  // and the trace log. It is not part of this build yet.

  // Step 9.
  control_object_ = control_object;

  // Step 10.
  window_ = platform::MessageWindow::Create(kCashChangerWindowName);
  if (!window_) {
    trace_log_->Write(diag::kLevelError, diag::kTagError, kWindowCreationFailed);
    DropOpenResources();
    open_result_ = OPOS_OR_CREATE;
    Record(1, Exit(MethodCode::kOpenService), 0, OPOS_E_FAILURE);
    return FinishCall(kTraceOpenService, OPOS_E_FAILURE);
  }

  // Step 11.
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

  // Step 12.
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
  DropOpenResources();
  Record(1, Exit(MethodCode::kClose), 0, OPOS_SUCCESS);
  return FinishCall(kTraceClose, OPOS_SUCCESS);
}

// --- claiming ----------------------------------------------------------------------

int32_t CCashChanger::Claim(int32_t timeout) {
  TraceEnter(kTraceClaim, Format("  Param:   Timeout is %ld", static_cast<long>(timeout)));
  Record(1, Entry(MethodCode::kClaim), 0, 0);
  if (claimed_) {
    Record(1, Exit(MethodCode::kClaim), 0, OPOS_SUCCESS);
    return FinishCall(kTraceClaim, OPOS_SUCCESS);
  }
  if (State() == OPOS_S_CLOSED) {
    Record(1, Exit(MethodCode::kClaim), 0, OPOS_E_CLOSED);
    return FinishCall(kTraceClaim, OPOS_E_CLOSED);
  }
  return NotImplemented(kTraceClaim, MethodCode::kClaim, 0);
}

int32_t CCashChanger::ClaimDevice(int32_t timeout) {
  TraceEnter(kTraceClaimDevice);
  return Claim(timeout);
}

int32_t CCashChanger::Release() {
  TraceEnter(kTraceReleaseDevice);
  Record(1, Entry(MethodCode::kRelease), 0, 0);
  if (!claimed_) {
    Record(1, Exit(MethodCode::kRelease), 0, OPOS_E_ILLEGAL);
    return FinishCall(kTraceReleaseDevice, OPOS_E_ILLEGAL);
  }
  if (State() == OPOS_S_BUSY) {
    Record(1, Exit(MethodCode::kRelease), 0, OPOS_E_BUSY);
    return FinishCall(kTraceReleaseDevice, OPOS_E_BUSY);
  }
  return NotImplemented(kTraceReleaseDevice, MethodCode::kRelease, 0);
}

int32_t CCashChanger::ReleaseDevice() {
  TraceEnter(kTraceReleaseDevice);
  return Release();
}

// --- device methods --------------------------------------------------------------

int32_t CCashChanger::CheckHealth(int32_t level) {
  return DeviceMethod(kTraceCheckHealth, Format("  Param:   Level is %ld", static_cast<long>(level)),
                      MethodCode::kCheckHealth, level);
}

int32_t CCashChanger::DirectIO(int32_t command, int32_t* data, std::string* text) {
  const long data_value = data != nullptr ? *data : 0;
  TraceEnter(kTraceDirectIO, Format("  Param:   Command is %ld, pData is %ld, pString is %s", static_cast<long>(command),
                                    data_value, text != nullptr ? text->c_str() : "NULL"));
  Record(1, Entry(MethodCode::kDirectIO), command, data_value);
  if (const int32_t refused = ClaimedCheck(); refused != OPOS_SUCCESS) {
    Record(1, Exit(MethodCode::kDirectIO), command, refused);
    return FinishCall(kTraceDirectIO, refused);
  }
  return NotImplemented(kTraceDirectIO, MethodCode::kDirectIO, command);
}

int32_t CCashChanger::COFreezeEvents(bool freeze) {
  events_.SetControlObjectFreeze(freeze);
  return OPOS_SUCCESS;
}

int32_t CCashChanger::DispenseCash(std::string_view cash_counts) {
  return DeviceMethod(kTraceDispenseCash,
                      Format("  Param:   CashCounts is %.*s", static_cast<int>(cash_counts.size()), cash_counts.data()),
                      MethodCode::kDispenseCash, 0);
}

int32_t CCashChanger::DispenseChange(int32_t amount) {
  return DeviceMethod(kTraceDispenseChange, Format("  Param:   Amount is %ld", static_cast<long>(amount)),
                      MethodCode::kDispenseChange, amount);
}

int32_t CCashChanger::ReadCashCounts(std::string* /*cash_counts*/, bool* /*discrepancy*/) {
  return DeviceMethod(kTraceReadCashCounts, {}, MethodCode::kReadCashCounts, 0);
}

int32_t CCashChanger::ClearInput() { return DeviceMethod(kTraceClearInput, {}, MethodCode::kClearInput, 0); }

int32_t CCashChanger::BeginDeposit() { return DeviceMethod(kTraceBeginDeposit, {}, MethodCode::kBeginDeposit, 0); }

int32_t CCashChanger::EndDeposit(int32_t success) {
  return DeviceMethod(kTraceEndDeposit, Format("  Param:   Success is %ld", static_cast<long>(success)),
                      MethodCode::kEndDeposit, success);
}

int32_t CCashChanger::FixDeposit() { return DeviceMethod(kTraceFixDeposit, {}, MethodCode::kFixDeposit, 0); }

int32_t CCashChanger::PauseDeposit(int32_t control) {
  return DeviceMethod(kTracePauseDeposit, Format("  Param:   Control is %ld", static_cast<long>(control)),
                      MethodCode::kPauseDeposit, control);
}

// --- properties ----------------------------------------------------------------------

int32_t CCashChanger::GetPropertyNumber(int32_t index) {
  const char* name = nullptr;
  int32_t value = 0;
  switch (index) {
    case kPidxClaimed:
      name = "Claimed";
      value = claimed_ ? 1 : 0;
      break;
    case kPidxDeviceEnabled:
      name = "DeviceEnabled";
      value = device_enabled_ ? 1 : 0;
      break;
    case kPidxResultCode:
      name = "ResultCode";
      value = result_code_;
      break;
    case kPidxResultCodeExtended:
      name = "ResultCodeExtended";
      value = result_code_extended_;
      break;
    case kPidxServiceObjectVersion:
      name = "ServiceObjectVersion";
      value = service_object_version_;
      break;
    case kPidxState:
      name = "State";
      value = State();
      break;
    case kPidxCurrentExit:
      name = "CurrentExit";
      value = current_exit_;
      break;
    default:
      trace_log_->Write(diag::kLevelError, diag::kTagError,
                        Format("  GetPropertyNumber(%ld) is not implemented", static_cast<long>(index)));
      return 0;
  }
  trace_log_->Write(diag::kLevelInfo, diag::kTagPropGet, Format("  %s is %ld", name, static_cast<long>(value)));
  return value;
}

std::string CCashChanger::GetPropertyString(int32_t index) {
  if (index == kPidxServiceObjectDescription) {
    trace_log_->Write(diag::kLevelInfo, diag::kTagPropGet,
                      "  ServiceObjectDescription is " + service_object_description_);
    return service_object_description_;
  }
  trace_log_->Write(diag::kLevelError, diag::kTagError,
                    Format("  GetPropertyString(%ld) is not implemented", static_cast<long>(index)));
  return {};
}

void CCashChanger::SetPropertyNumber(int32_t index, int32_t value) {
  const std::string param = Format("  Param:   Number is %ld", static_cast<long>(value));
  // The ExamLog property codes P (kind 2, exit 100 + P): 1 DeviceEnabled
  // (which also records its entry), 2 CurrentExit, 3 DataEventEnabled,
  // 4 AsyncMode, 5 PowerNotify, 6 BinaryConversion. FreezeEvents records
  // only its refusal, under 101.
  switch (index) {
    case kPidxDataEventEnabled:
      return PropertySetter("CCashChanger::DoDataEventEnabled", param, 0, 103, value);
    case kPidxDeviceEnabled:
      return PropertySetter("CCashChanger::DoDeviceEnabled", param, 1, 101, value);
    case kPidxFreezeEvents:
      return PropertySetter("CCashChanger::DoFreezeEvents", param, 0, 101, value);
    case kPidxBinaryConversion:
      return PropertySetter("CCashChanger::DoBinaryConversion", param, 0, 106, value);
    case kPidxPowerNotify:
      return PropertySetter("CCashChanger::DoPowerNotify", param, 0, 105, value);
    case kPidxAsyncMode:
      return PropertySetter("CCashChanger::DoAsyncMode", param, 0, 104, value);
    case kPidxCurrentExit:
      return PropertySetter("CCashChanger::DoCurrentExit", param, 0, 102, value);
    default:
      return;  // every other index is ignored
  }
}

void CCashChanger::SetPropertyString(int32_t index, std::string_view value) {
  if (index != kPidxCurrencyCode) return;
  PropertySetter("CCashChanger::DoCurrencyCode",
                 Format("  Param:   String is %.*s", static_cast<int>(value.size()), value.data()), 0, 0, 0);
}

}  // namespace vexokrt::service
