// SPDX-License-Identifier: Apache-2.0
#include "control/cash_changer.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "control/service_members.h"
#include "opos/opos.h"
#include "platform/activation.h"
#include "platform/com.h"
#include "platform/message_window.h"
#include "platform/reg_file.h"
#include "service/properties.h"

namespace vexokrt {
namespace {

using control::Index;
using control::Member;
using platform::Variant;
namespace pidx = service::pidx;

constexpr char kDeviceClass[] = "CashChanger";
// The event members the service object looks up on its Control Object.
constexpr platform::DispId kSODirectIO = 1;
constexpr platform::DispId kSOStatusUpdate = 2;
constexpr platform::DispId kSOData = 3;

std::string VersionText(int32_t version) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d.%03d", static_cast<int>(control::VersionMajor(version)),
                static_cast<int>(control::VersionMinor(version)), static_cast<int>(version % 1000));
  return text;
}

}  // namespace

// The control's state and, at the same time, the event sink handed to the
// service object's OpenService. The service object holds no reference: the
// sink lives as long as the CashChanger, which closes the service object
// before it goes.
class CashChanger::Connection final : public platform::IDispatch {
 public:
  ~Connection() {
    if (open_) Close();
    Drop();
  }

  // --- IDispatch: the three event members ------------------------------------------
  platform::HRESULT QueryInterface(const platform::Guid& iid, void** object) override {
    if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
      *object = static_cast<platform::IDispatch*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }

  platform::HRESULT GetIDsOfNames(std::string_view name, platform::DispId* id) override {
    static constexpr std::pair<const char*, platform::DispId> kEvents[] = {
        {"SODirectIO", kSODirectIO}, {"SOStatusUpdate", kSOStatusUpdate}, {"SOData", kSOData}};
    for (const auto& [event, event_id] : kEvents) {
      if (platform::RegNamesEqual(event, name)) {
        *id = event_id;
        return platform::S_OK;
      }
    }
    *id = platform::kDispIdUnknown;
    return platform::DISP_E_UNKNOWNNAME;
  }

  platform::HRESULT Invoke(platform::DispId id, std::span<Variant> args, Variant*) override {
    ++firing_;
    const platform::HRESULT hr = Fire(id, args);
    --firing_;
    return hr;
  }

  platform::HRESULT Fire(platform::DispId id, std::span<Variant> args) {
    switch (id) {
      case kSODirectIO: {
        if (args.size() != 3 || args[0].AsLong() == nullptr || args[1].AsLongRef() == nullptr ||
            args[2].AsStringRef() == nullptr) {
          return platform::DISP_E_TYPEMISMATCH;
        }
        ++fired_;
        int32_t& data = *args[1].AsLongRef();
        std::string& text = *args[2].AsStringRef();
        const int32_t given_data = data;
        std::string given_text = text;
        if (listener_ != nullptr && !Guarded("DirectIOEvent", [&] { listener_->DirectIOEvent(*args[0].AsLong(), data, text); })) {
          // What a failed listener left half-done does not go back.
          data = given_data;
          text = std::move(given_text);
        }
        return platform::S_OK;
      }
      case kSOStatusUpdate:
      case kSOData: {
        if (args.size() != 1 || args[0].AsLong() == nullptr) return platform::DISP_E_TYPEMISMATCH;
        ++fired_;
        const int32_t number = *args[0].AsLong();
        if (listener_ == nullptr) return platform::S_OK;
        if (id == kSOData) {
          Guarded("DataEvent", [&] { listener_->DataEvent(number); });
        } else {
          Guarded("StatusUpdateEvent", [&] { listener_->StatusUpdateEvent(number); });
        }
        return platform::S_OK;
      }
      default:
        return platform::DISP_E_MEMBERNOTFOUND;
    }
  }

  // --- opening and closing -----------------------------------------------------------
  int32_t Open(std::string_view device_name) {
    if (open_) return Refuse(opos::OPOS_E_ILLEGAL, opos::OPOS_OR_ALREADYOPEN, "the control is already open");
    open_message_.clear();
    activated_ = platform::ActivateServiceObject(kDeviceClass, device_name);
    switch (activated_.error) {
      case platform::ActivationError::kNone:
        break;
      case platform::ActivationError::kNoDeviceKey:
        return Refuse(opos::OPOS_E_NOSERVICE, opos::OPOS_OR_REGBADNAME, activated_.message);
      case platform::ActivationError::kNoProgId:
        return Refuse(opos::OPOS_E_NOSERVICE, opos::OPOS_OR_REGPROGID, activated_.message);
      case platform::ActivationError::kProgIdNotRegistered:
      case platform::ActivationError::kBadClassId:
      case platform::ActivationError::kClassNotRegistered:
      case platform::ActivationError::kLibraryNotLoaded:
      case platform::ActivationError::kNoEntryPoint:
      case platform::ActivationError::kNoClassFactory:
      case platform::ActivationError::kCreateFailed:
        return Refuse(opos::OPOS_E_NOSERVICE, opos::OPOS_OR_CREATE, activated_.message);
    }
    // What opening and the version check need, before the version is known.
    for (Member member : {Member::kOpenService, Member::kClose, Member::kGetOpenResult, Member::kGetPropertyNumber}) {
      if (!members_.ResolveOne(so(), Index(member))) {
        return Refuse(opos::OPOS_E_NOSERVICE, opos::OPOS_OR_BADIF,
                      std::string("the service object has no ") + members_.Name(Index(member)));
      }
    }
    event_fd_ = platform::ThreadMessageFd();
    std::vector<Variant> args = {Variant::String(kDeviceClass), Variant::String(std::string(device_name)),
                                 Variant::Dispatch(this)};
    const int32_t opened = Long(Member::kOpenService, args).value_or(opos::OPOS_E_FAILURE);
    if (opened != opos::OPOS_SUCCESS) {
      std::vector<Variant> none;
      const int32_t reason = Long(Member::kGetOpenResult, none).value_or(0);
      const std::string message = "the service object's OpenService answered " + DescribeResult(opened, 0) +
                                  (reason != 0 ? ", open result " + NameText(reason) : std::string());
      CloseService();
      return Refuse(opened, reason != 0 ? reason : opos::OPOS_OR_FAILEDOPEN, message);
    }
    std::vector<Variant> version_index = {Variant::Long(pidx::kServiceObjectVersion)};
    const int32_t version = Long(Member::kGetPropertyNumber, version_index).value_or(0);
    if (control::VersionMajor(version) != 1) {
      CloseService();
      return Refuse(opos::OPOS_E_NOSERVICE, opos::OPOS_OR_BADVERSION,
                    "the service object has version " + VersionText(version) + " (" + std::to_string(version) +
                        "); this control serves major version 1");
    }
    if (const std::string missing = members_.ResolveFor(so(), version); !missing.empty()) {
      CloseService();
      return Refuse(opos::OPOS_E_NOSERVICE, opos::OPOS_OR_BADIF,
                    "the service object (release " + VersionText(version) + ") has no " + missing);
    }
    open_ = true;
    open_result_ = 0;
    minor_ = control::VersionMinor(version);
    return Store(opos::OPOS_SUCCESS);
  }

  int32_t Close() {
    if (!open_) return Store(opos::OPOS_E_CLOSED);
    // The service object is still inside its own event delivery.
    if (firing_ > 0) return Store(opos::OPOS_E_ILLEGAL);
    const int32_t closed = Call(Member::kClose, {});
    // A busy service object refuses; it is still open and still the caller's.
    if (closed == opos::OPOS_E_BUSY) return closed;
    open_ = false;
    freeze_ = false;
    Drop();
    return closed;
  }

  // --- calls --------------------------------------------------------------------
  // A method's result code, stored as ResultCode.
  int32_t Call(Member member, std::vector<Variant> args) {
    if (!open_) return Store(opos::OPOS_E_CLOSED);
    if (!members_.Has(Index(member))) return Store(opos::OPOS_E_NOSERVICE);
    return Store(Long(member, args).value_or(opos::OPOS_E_FAILURE));
  }

  int32_t Number(int32_t index) const {
    if (!open_) {
      result_code_ = opos::OPOS_E_CLOSED;
      return 0;
    }
    if (Lacks(index)) {
      result_code_ = opos::OPOS_E_NOSERVICE;
      return 0;
    }
    std::vector<Variant> args = {Variant::Long(index)};
    return Long(Member::kGetPropertyNumber, args).value_or(0);
  }
  std::string Text(int32_t index) const {
    if (!open_) {
      result_code_ = opos::OPOS_E_CLOSED;
      return {};
    }
    if (Lacks(index)) {
      result_code_ = opos::OPOS_E_NOSERVICE;
      return {};
    }
    std::vector<Variant> args = {Variant::Long(index)};
    Variant result;
    if (platform::FAILED(members_.Invoke(so(), Index(Member::kGetPropertyString), args, &result)) ||
        result.AsString() == nullptr) {
      return {};
    }
    return *result.AsString();
  }
  // A setter's outcome is the ResultCode the service object leaves.
  int32_t SetNumber(int32_t index, int32_t value) {
    if (!open_) return Store(opos::OPOS_E_CLOSED);
    if (Lacks(index)) return Store(opos::OPOS_E_NOSERVICE);
    if (index == pidx::kFreezeEvents) return SetFreeze(value != 0);
    return SetThrough(Member::kSetPropertyNumber, {Variant::Long(index), Variant::Long(value)});
  }
  int32_t SetText(int32_t index, std::string_view value) {
    if (!open_) return Store(opos::OPOS_E_CLOSED);
    if (Lacks(index)) return Store(opos::OPOS_E_NOSERVICE);
    return SetThrough(Member::kSetPropertyString, {Variant::Long(index), Variant::String(std::string(value))});
  }
  // A property of a later release than the open service object's: it is
  // an unknown index there, and is not asked for.
  bool Lacks(int32_t index) const {
    const service::PropertyInfo* info = service::FindProperty(index);
    return info != nullptr && info->since_minor > minor_;
  }
  // Events are held by the service object while the control is frozen.
  int32_t SetFreeze(bool freeze) {
    const int32_t result = Call(Member::kCOFreezeEvents, {Variant::Bool(freeze)});
    if (result == opos::OPOS_SUCCESS) freeze_ = freeze;
    return result;
  }

  // --- events -------------------------------------------------------------------
  int WaitForEvents(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const int before = fired_;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    platform::PumpMessages();
    while (fired_ == before) {
      int wait_ms = -1;
      if (timeout_ms >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        wait_ms = static_cast<int>(left);
      }
      platform::PumpMessagesFor(wait_ms);
    }
    return fired_ - before;
  }
  int DispatchEvents() {
    const int before = fired_;
    platform::PumpMessages();
    return fired_ - before;
  }

  bool open_ = false;
  bool freeze_ = false;
  mutable int32_t result_code_ = opos::OPOS_E_CLOSED;
  int32_t open_result_ = 0;
  int32_t minor_ = 0;  // the open service object's release 1.<minor_>
  int event_fd_ = -1;
  int fired_ = 0;
  int firing_ = 0;  // > 0 while a listener runs
  std::string open_message_;
  CashChangerListener* listener_ = nullptr;
  std::function<void(const std::string&)> error_handler_;

 private:
  platform::IDispatch* so() const { return activated_.object.get(); }

  int32_t Store(int32_t result) const {
    result_code_ = result;
    return result;
  }
  int32_t Refuse(int32_t result, int32_t open_result, std::string message) {
    open_result_ = open_result;
    open_message_ = std::move(message);
    if (!open_) Drop();
    return Store(result);
  }
  // The long result of a member; none when the call itself failed.
  std::optional<int32_t> Long(Member member, std::span<Variant> args) const {
    Variant result;
    if (platform::FAILED(members_.Invoke(so(), Index(member), args, &result)) || result.AsLong() == nullptr) {
      return std::nullopt;
    }
    return *result.AsLong();
  }
  int32_t SetThrough(Member member, std::vector<Variant> args) {
    if (platform::FAILED(members_.Invoke(so(), Index(member), args, nullptr))) return Store(opos::OPOS_E_FAILURE);
    std::vector<Variant> index = {Variant::Long(pidx::kResultCode)};
    return Store(Long(Member::kGetPropertyNumber, index).value_or(opos::OPOS_E_FAILURE));
  }
  // Closes a service object whose opening is being undone.
  void CloseService() {
    std::vector<Variant> none;
    Long(Member::kClose, none);
  }
  // Lets the service object go, then its library.
  void Drop() {
    members_.Forget();
    activated_.object.Reset();
    activated_ = platform::ActivatedObject();
  }
  static std::string NameText(int32_t code) {
    const char* name = NameOf(NameTable::kResultCode, code);
    return std::to_string(code) + (name != nullptr ? std::string(" ") + name : std::string());
  }

  // Runs a listener; false when it threw, which is reported and goes no
  // further.
  template <typename Run>
  bool Guarded(const char* event, Run run) {
    std::string what;
    try {
      run();
      return true;
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "an exception that is not a std::exception";
    }
    const std::string message = std::string(event) + " listener failed: " + what;
    if (error_handler_) {
      try {
        error_handler_(message);
        return false;
      } catch (...) {
        // The handler's own failure is not the service object's concern.
      }
    }
    std::fprintf(stderr, "vexokrt: %s\n", message.c_str());
    return false;
  }

  platform::ActivatedObject activated_;
  control::ServiceMembers members_{control::kCashChangerMembers};
};

CashChanger::CashChanger() : connection_(std::make_unique<Connection>()) {}
CashChanger::~CashChanger() = default;

int32_t CashChanger::Open(std::string_view device_name) { return connection_->Open(device_name); }
int32_t CashChanger::Close() { return connection_->Close(); }
const std::string& CashChanger::OpenMessage() const { return connection_->open_message_; }

int32_t CashChanger::ClaimDevice(int32_t timeout_ms) {
  return connection_->Call(Member::kClaimDevice, {Variant::Long(timeout_ms)});
}
int32_t CashChanger::ReleaseDevice() { return connection_->Call(Member::kReleaseDevice, {}); }
int32_t CashChanger::CheckHealth(int32_t level) { return connection_->Call(Member::kCheckHealth, {Variant::Long(level)}); }
int32_t CashChanger::ClearInput() { return connection_->Call(Member::kClearInput, {}); }
int32_t CashChanger::DirectIO(int32_t command, int32_t& data, std::string& text) {
  return connection_->Call(Member::kDirectIO, {Variant::Long(command), Variant::LongRef(&data), Variant::StringRef(&text)});
}
int32_t CashChanger::ReadCashCounts(std::string& cash_counts, bool& discrepancy) {
  return connection_->Call(Member::kReadCashCounts, {Variant::StringRef(&cash_counts), Variant::BoolRef(&discrepancy)});
}
int32_t CashChanger::DispenseCash(std::string_view cash_counts) {
  return connection_->Call(Member::kDispenseCash, {Variant::String(std::string(cash_counts))});
}
int32_t CashChanger::DispenseChange(int32_t amount) {
  return connection_->Call(Member::kDispenseChange, {Variant::Long(amount)});
}
int32_t CashChanger::BeginDeposit() { return connection_->Call(Member::kBeginDeposit, {}); }
int32_t CashChanger::FixDeposit() { return connection_->Call(Member::kFixDeposit, {}); }
int32_t CashChanger::PauseDeposit(int32_t control) {
  return connection_->Call(Member::kPauseDeposit, {Variant::Long(control)});
}
int32_t CashChanger::EndDeposit(int32_t success) { return connection_->Call(Member::kEndDeposit, {Variant::Long(success)}); }
int32_t CashChanger::ResetStatistics(std::string_view statistics_buffer) {
  return connection_->Call(Member::kResetStatistics, {Variant::String(std::string(statistics_buffer))});
}
int32_t CashChanger::RetrieveStatistics(std::string& statistics_buffer) {
  return connection_->Call(Member::kRetrieveStatistics, {Variant::StringRef(&statistics_buffer)});
}
int32_t CashChanger::UpdateStatistics(std::string_view statistics_buffer) {
  return connection_->Call(Member::kUpdateStatistics, {Variant::String(std::string(statistics_buffer))});
}
int32_t CashChanger::CompareFirmwareVersion(std::string_view file_name, int32_t& result) {
  return connection_->Call(Member::kCompareFirmwareVersion,
                           {Variant::String(std::string(file_name)), Variant::LongRef(&result)});
}
int32_t CashChanger::UpdateFirmware(std::string_view file_name) {
  return connection_->Call(Member::kUpdateFirmware, {Variant::String(std::string(file_name))});
}
int32_t CashChanger::AdjustCashCounts(std::string_view cash_counts) {
  return connection_->Call(Member::kAdjustCashCounts, {Variant::String(std::string(cash_counts))});
}

int32_t CashChanger::ResultCode() const { return connection_->result_code_; }
int32_t CashChanger::ResultCodeExtended() const {
  return connection_->open_ ? connection_->Number(pidx::kResultCodeExtended) : 0;
}
int32_t CashChanger::OpenResult() const { return connection_->open_result_; }
int32_t CashChanger::State() const {
  return connection_->open_ ? connection_->Number(pidx::kState) : opos::OPOS_S_CLOSED;
}
int32_t CashChanger::ControlObjectVersion() const { return VEXOKRT_CONTROL_OBJECT_VERSION; }
std::string CashChanger::ControlObjectDescription() const { return "vexokrt CashChanger control, UnifiedPOS 1.14"; }
bool CashChanger::FreezeEvents() const { return connection_->freeze_; }
int32_t CashChanger::SetFreezeEvents(bool freeze) {
  if (!connection_->open_) return SetPropertyNumber(pidx::kFreezeEvents, freeze ? 1 : 0);
  return connection_->SetFreeze(freeze);
}

bool CashChanger::Claimed() const { return connection_->Number(pidx::kClaimed) != 0; }
bool CashChanger::DataEventEnabled() const { return connection_->Number(pidx::kDataEventEnabled) != 0; }
int32_t CashChanger::SetDataEventEnabled(bool enabled) {
  return connection_->SetNumber(pidx::kDataEventEnabled, enabled ? 1 : 0);
}
bool CashChanger::DeviceEnabled() const { return connection_->Number(pidx::kDeviceEnabled) != 0; }
int32_t CashChanger::SetDeviceEnabled(bool enabled) { return connection_->SetNumber(pidx::kDeviceEnabled, enabled ? 1 : 0); }
int32_t CashChanger::ServiceObjectVersion() const { return connection_->Number(pidx::kServiceObjectVersion); }
int32_t CashChanger::BinaryConversion() const { return connection_->Number(pidx::kBinaryConversion); }
int32_t CashChanger::SetBinaryConversion(int32_t conversion) {
  return connection_->SetNumber(pidx::kBinaryConversion, conversion);
}
int32_t CashChanger::DataCount() const { return connection_->Number(pidx::kDataCount); }
int32_t CashChanger::PowerNotify() const { return connection_->Number(pidx::kPowerNotify); }
int32_t CashChanger::SetPowerNotify(int32_t notify) { return connection_->SetNumber(pidx::kPowerNotify, notify); }
int32_t CashChanger::PowerState() const { return connection_->Number(pidx::kPowerState); }
int32_t CashChanger::CapPowerReporting() const { return connection_->Number(pidx::kCapPowerReporting); }
bool CashChanger::AsyncMode() const { return connection_->Number(pidx::kAsyncMode) != 0; }
int32_t CashChanger::SetAsyncMode(bool async) { return connection_->SetNumber(pidx::kAsyncMode, async ? 1 : 0); }
int32_t CashChanger::AsyncResultCode() const { return connection_->Number(pidx::kAsyncResultCode); }
int32_t CashChanger::AsyncResultCodeExtended() const { return connection_->Number(pidx::kAsyncResultCodeExtended); }
int32_t CashChanger::CurrentExit() const { return connection_->Number(pidx::kCurrentExit); }
int32_t CashChanger::SetCurrentExit(int32_t exit) { return connection_->SetNumber(pidx::kCurrentExit, exit); }
int32_t CashChanger::DeviceExits() const { return connection_->Number(pidx::kDeviceExits); }
int32_t CashChanger::DeviceStatus() const { return connection_->Number(pidx::kDeviceStatus); }
int32_t CashChanger::FullStatus() const { return connection_->Number(pidx::kFullStatus); }
int32_t CashChanger::DepositAmount() const { return connection_->Number(pidx::kDepositAmount); }
int32_t CashChanger::DepositStatus() const { return connection_->Number(pidx::kDepositStatus); }
bool CashChanger::CapDiscrepancy() const { return connection_->Number(pidx::kCapDiscrepancy) != 0; }
bool CashChanger::CapEmptySensor() const { return connection_->Number(pidx::kCapEmptySensor) != 0; }
bool CashChanger::CapFullSensor() const { return connection_->Number(pidx::kCapFullSensor) != 0; }
bool CashChanger::CapNearEmptySensor() const { return connection_->Number(pidx::kCapNearEmptySensor) != 0; }
bool CashChanger::CapNearFullSensor() const { return connection_->Number(pidx::kCapNearFullSensor) != 0; }
bool CashChanger::CapDeposit() const { return connection_->Number(pidx::kCapDeposit) != 0; }
bool CashChanger::CapDepositDataEvent() const { return connection_->Number(pidx::kCapDepositDataEvent) != 0; }
bool CashChanger::CapPauseDeposit() const { return connection_->Number(pidx::kCapPauseDeposit) != 0; }
bool CashChanger::CapRepayDeposit() const { return connection_->Number(pidx::kCapRepayDeposit) != 0; }
bool CashChanger::CapStatisticsReporting() const { return connection_->Number(pidx::kCapStatisticsReporting) != 0; }
bool CashChanger::CapUpdateStatistics() const { return connection_->Number(pidx::kCapUpdateStatistics) != 0; }
bool CashChanger::CapCompareFirmwareVersion() const {
  return connection_->Number(pidx::kCapCompareFirmwareVersion) != 0;
}
bool CashChanger::CapUpdateFirmware() const { return connection_->Number(pidx::kCapUpdateFirmware) != 0; }
bool CashChanger::CapJamSensor() const { return connection_->Number(pidx::kCapJamSensor) != 0; }
bool CashChanger::CapRealTimeData() const { return connection_->Number(pidx::kCapRealTimeData) != 0; }
bool CashChanger::RealTimeDataEnabled() const { return connection_->Number(pidx::kRealTimeDataEnabled) != 0; }
int32_t CashChanger::SetRealTimeDataEnabled(bool enabled) {
  return connection_->SetNumber(pidx::kRealTimeDataEnabled, enabled ? 1 : 0);
}
int32_t CashChanger::CurrentService() const { return connection_->Number(pidx::kCurrentService); }
int32_t CashChanger::SetCurrentService(int32_t service) {
  return connection_->SetNumber(pidx::kCurrentService, service);
}
int32_t CashChanger::ServiceCount() const { return connection_->Number(pidx::kServiceCount); }
int32_t CashChanger::ServiceIndex() const { return connection_->Number(pidx::kServiceIndex); }
std::string CashChanger::CheckHealthText() const { return connection_->Text(pidx::kCheckHealthText); }
std::string CashChanger::DeviceDescription() const { return connection_->Text(pidx::kDeviceDescription); }
std::string CashChanger::DeviceName() const { return connection_->Text(pidx::kDeviceName); }
std::string CashChanger::ServiceObjectDescription() const { return connection_->Text(pidx::kServiceObjectDescription); }
std::string CashChanger::CurrencyCashList() const { return connection_->Text(pidx::kCurrencyCashList); }
std::string CashChanger::CurrencyCode() const { return connection_->Text(pidx::kCurrencyCode); }
int32_t CashChanger::SetCurrencyCode(std::string_view code) { return connection_->SetText(pidx::kCurrencyCode, code); }
std::string CashChanger::CurrencyCodeList() const { return connection_->Text(pidx::kCurrencyCodeList); }
std::string CashChanger::ExitCashList() const { return connection_->Text(pidx::kExitCashList); }
std::string CashChanger::DepositCashList() const { return connection_->Text(pidx::kDepositCashList); }
std::string CashChanger::DepositCodeList() const { return connection_->Text(pidx::kDepositCodeList); }
std::string CashChanger::DepositCounts() const { return connection_->Text(pidx::kDepositCounts); }

int32_t CashChanger::GetPropertyNumber(int32_t index, int32_t& value) const {
  if (!connection_->open_) {
    value = index == pidx::kState ? opos::OPOS_S_CLOSED : index == pidx::kResultCode ? opos::OPOS_E_CLOSED : 0;
    return connection_->result_code_ = opos::OPOS_E_CLOSED;
  }
  switch (index) {
    case pidx::kFreezeEvents:
      value = connection_->freeze_ ? 1 : 0;
      break;
    case pidx::kResultCode:
      value = connection_->result_code_;
      break;
    default:
      value = connection_->Number(index);
      if (connection_->Lacks(index)) return opos::OPOS_E_NOSERVICE;
      break;
  }
  return opos::OPOS_SUCCESS;
}
int32_t CashChanger::GetPropertyString(int32_t index, std::string& value) const {
  value = connection_->Text(index);
  if (!connection_->open_) return opos::OPOS_E_CLOSED;
  return connection_->Lacks(index) ? opos::OPOS_E_NOSERVICE : opos::OPOS_SUCCESS;
}
int32_t CashChanger::SetPropertyNumber(int32_t index, int32_t value) { return connection_->SetNumber(index, value); }
int32_t CashChanger::SetPropertyString(int32_t index, std::string_view value) {
  return connection_->SetText(index, value);
}

void CashChanger::SetListener(CashChangerListener* listener) { connection_->listener_ = listener; }
void CashChanger::SetErrorHandler(std::function<void(const std::string&)> handler) {
  connection_->error_handler_ = std::move(handler);
}
int CashChanger::EventFd() const {
  return connection_->open_ && connection_->event_fd_ >= 0 ? connection_->event_fd_ : platform::ThreadMessageFd();
}
int CashChanger::DispatchEvents() { return connection_->DispatchEvents(); }
int CashChanger::WaitForEvents(int timeout_ms) { return connection_->WaitForEvents(timeout_ms); }

}  // namespace vexokrt
