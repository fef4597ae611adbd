// SPDX-License-Identifier: Apache-2.0
// CCashChanger: the OPOS CashChanger service object.
//
// The Control Object creates one through the class factory and drives it
// through its dispatch interface (cash_changer_dispatch.h), whose 22 members
// are the public methods below of the same names. Every method runs on the
// application's thread (the one that called OpenService and owns the hidden
// window); the service object's own threads reach that thread by posting to
// the window.
//
// Every dispatch method follows one frame: the entry trace (its trace name,
// then its parameter line), an ExamLog record on entry (kind 1, its code N)
// and on exit (kind 1, code 100 + N, its result), and the result helper, which
// writes the exit lines and stores ResultCode.
//
// State: 1 closed until OpenService succeeds, 2 idle, 3 busy while a device
// request is out; Close returns to 1 from any state but busy.
//
// Threads: dispatch calls and every event reach the Control Object on the
// application's thread; the event delivery thread and the device layer's
// communication thread reach this object through the ChangerHost methods
// (each value they touch has its own lock or is atomic) and through posts to
// the hidden window.
//
// The members keep their frames and state checks; their device work is done
// by the services this object creates at OpenService, each given what it
// uses as an explicit ServiceParts (service_parts.h): ClaimService (claim,
// release, enabling, the exit), CashService (reading and paying out),
// PayoutService (what a pay-out paid), DepositService (the deposit
// members). DirectIO runs the 51 vendor commands (cash_changer_directio.cc)
// over a context of their own. AsyncCompletions sets AsyncResultCode from
// the window's completion messages. CheckHealth (cash_changer_health.cc) runs
// the communication and operation tests and the maintenance dialog.
//
// A pay-out that the device ends before it has paid everything is never
// reported as a success: PayoutService (payout_service.h) tells the part
// that was paid.
//
// A deposit that the application did not end is never lost from sight:
// Release and Close close its intake first, and a claim that finds one left
// open (by a process that died) reads what it holds before ending it. Both
// write it to the trace ("  DepositLeftOpen is ...") and the ExamLog (kind
// 11, code 1 at a claim, 2 at a release, the yen, the read's result); the
// claim also leaves it in DepositCounts and DepositAmount.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "config/device_config.h"
#include "opos/opos.h"
#include "device/changer_host.h"
#include "device/deposit_session.h"
#include "device/device_switches.h"
#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "events/event_delivery.h"
#include "link/model_code.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "platform/message_window.h"
#include "platform/named_lock.h"
#include "platform/thread_annotations.h"
#include "service/async_completions.h"
#include "service/cash_service.h"
#include "service/claim_service.h"
#include "service/module.h"
#include "service/deposit_service.h"
#include "service/firmware_service.h"
#include "service/statistics.h"
#include "service/payout_service.h"
#include "service/properties.h"
#include "service/property_store.h"

namespace vexokrt {
class ChangerDevice;
namespace devlog {
class ChangerDeviceLogs;
class RegistryValues;
}  // namespace devlog
}  // namespace vexokrt

namespace vexokrt::service {

inline constexpr char kClaimSemaphoreName[] = "Vexonics.KRT07.CashChangerClaimed.20051118";
inline constexpr char kExamLogFileName[] = "ExamlogS.txt";
inline constexpr char kWindowCreationFailed[] = "ウインドウの生成で失敗";

// The ExamLog method codes N (entry N, exit 100 + N).
enum class MethodCode : int32_t {
  kOpenService = 1,
  kClose = 2,
  kClaim = 3,
  kRelease = 4,
  kCheckHealth = 5,
  kClearInput = 6,
  kDirectIO = 7,
  kBeginDeposit = 8,
  kDispenseCash = 9,
  kDispenseChange = 10,
  kEndDeposit = 11,
  kFixDeposit = 12,
  kPauseDeposit = 13,
  kReadCashCounts = 14,
  // The members of later releases.
  kResetStatistics = 15,
  kRetrieveStatistics = 16,
  kUpdateStatistics = 17,
  kCompareFirmwareVersion = 18,
  kUpdateFirmware = 19,
  kAdjustCashCounts = 20,
};

class CCashChanger final : public ChangerHost {
 public:
  // Sets the initial values, creates the claim semaphore, the trace log
  // (off, no file) and the ExamLog (no file), loads the description and
  // version, and locks the module for the object's life.
  CCashChanger();
  ~CCashChanger() override;
  CCashChanger(const CCashChanger&) = delete;
  CCashChanger& operator=(const CCashChanger&) = delete;

  // --- the dispatch members ---------------------------------------------------

  // Opens the device |device_name|: reads its settings from the registry,
  // names the logs, creates the device layer (nothing is sent yet), creates
  // the hidden window on the calling thread and looks up "SODirectIO",
  // "SOStatusUpdate" and "SOData" on |control_object|, which is kept without
  // a reference until Close. Results: 0; 104 with GetOpenResult 302 when the
  // device has no registry key, or 305 when the Control Object lacks an
  // event member; 111 with 304 when the window cannot be created; 106 when
  // already open. A failed open leaves nothing behind.
  int32_t OpenService(std::string_view device_class, std::string_view device_name,
                      platform::IDispatch* control_object);
  // Releases the device if claimed, deletes the device layer, destroys the
  // window, forgets the Control Object and returns to State 1. 113 (and no
  // change) while busy.
  int32_t Close();
  // The last OpenService outcome: 0, 302, 304 or 305. No trace.
  int32_t GetOpenResult() const { return open_result_; }

  // Takes the system-wide claim semaphore (|timeout| ms, -1 without limit),
  // starts event delivery, opens the port, detects the model and brings the
  // device to a known state. 0; 112 when the semaphore stays taken; 107 when
  // the port or a device step fails (everything undone in the order port,
  // event delivery, semaphore); 114 when the clock step fails with
  // ClaimNonEvent 1; 101 while closed.
  int32_t Claim(int32_t timeout);
  int32_t ClaimDevice(int32_t timeout);
  // Disables if enabled, closes the port, stops event delivery (queued
  // events are deleted), gives the semaphore back and resets the released
  // property values. 106 when not claimed, 113 while busy.
  int32_t Release();
  int32_t ReleaseDevice();
  // Tests the device at |level| and leaves the outcome in CheckHealthText:
  // 1 the status request (communication test), 2 the initialising command
  // (operation test: the device moves), 3 the maintenance dialog
  // (service/health_dialog.h), shown through the host's DialogPresenter
  // (platform/modal_dialog.h) until it is closed; CheckHealthText is then
  // empty. A test that fails is told only by the text: the result stays 0.
  // 103, 105, 113 by the state checks; 106 for any other level, for level 3
  // on a KRT03, and for level 3 when the host has set no presenter (nothing
  // is sent; an error trace line says why). In each of these CheckHealthText
  // is unchanged. The background history fetch is off for the whole call.
  int32_t CheckHealth(int32_t level);
  int32_t DirectIO(int32_t command, int32_t* data, std::string* text);
  // Sets the Control Object's own freeze of event delivery; always 0, no
  // trace, ResultCode unchanged.
  int32_t COFreezeEvents(bool freeze);
  int32_t DispenseCash(std::string_view cash_counts);
  int32_t DispenseChange(int32_t amount);
  int32_t ReadCashCounts(std::string* cash_counts, bool* discrepancy);
  int32_t ClearInput();
  int32_t BeginDeposit();
  int32_t EndDeposit(int32_t success);
  int32_t FixDeposit();
  int32_t PauseDeposit(int32_t control);
  // --- the members of later releases (UposVersion; see cash_changer_upos.cc) ---

  // Statistics (1.8; statistics.h): claimed, enabled, not busy.
  int32_t ResetStatistics(std::string_view names);
  // |buffer| in: the request list; out: the statistics document.
  int32_t RetrieveStatistics(std::string* buffer);
  int32_t UpdateStatistics(std::string_view pairs);
  // Firmware (1.9; firmware_service.h): claimed, enabled, not busy.
  int32_t CompareFirmwareVersion(std::string_view file_name, int32_t* result);
  int32_t UpdateFirmware(std::string_view file_name);
  // 1.11: the counts of the denominations named replace the machine's.
  int32_t AdjustCashCounts(std::string_view cash_counts);

  // The release 1.<minor> this object serves: 6 until an OpenService whose
  // device key has a UposVersion, and again after Close. The dispatch
  // interface offers the members of later releases only up to it.
  int32_t upos_minor() const { return upos_minor_; }

  // Property reads: the value, with a "Prop Get" trace line for a known
  // index; 0 or an empty text for an unknown one (no trace), and for one of
  // a release later than the one served.
  int32_t GetPropertyNumber(int32_t index);
  std::string GetPropertyString(int32_t index);
  // Property writes: the outcome goes to ResultCode only; unknown and
  // read-only indexes are ignored.
  void SetPropertyNumber(int32_t index, int32_t value);
  void SetPropertyString(int32_t index, std::string_view value);

  // OPOS State. Closed (1) and idle (2) follow the object's life; busy (3)
  // is read while the device has a request queued or running (or when set
  // so). Application's thread.
  int32_t State() VEX_EXCLUDES(state_lock_);
  void SetState(int32_t state) VEX_EXCLUDES(state_lock_);

  // --- ChangerHost (any thread) ----------------------------------------------------

  void QueueStatusUpdate(int32_t value) override;
  void QueueDataEvent(const DispenseRecord& counts) override;
  void QueueDirectIoEvent(int32_t event_number, int32_t data, std::string text) override;
  // Hands |payload| to the hidden window, which handles it on the
  // application's thread; dropped when there is no window.
  void PostToWindow(std::string_view message, WindowPayload payload) override;

  // The clock of every wait and time read of this object and the device
  // layer it creates; set before OpenService (tests use a fake one). The
  // clock must outlive the object.
  void SetClock(platform::Clock& clock);
  platform::Clock& clock() { return *clock_; }

  // --- state, for tests and tools -------------------------------------------------

  // The deposit's state, under its own lock.
  DepositSession& Deposit() { return deposit_; }
  int32_t DirectIoMode() { return switches_.direct_io_mode.load(); }
  void SetDirectIoMode(int32_t mode) { switches_.direct_io_mode.store(mode); }
  int32_t result_code() const { return result_code_; }
  int32_t result_code_extended() const { return result_code_extended_.load(); }
  bool claimed() const { return claimed_; }
  const std::string& device_name() const { return device_name_; }
  // The device key path of the last successful registry open.
  const std::string& device_key_path() const { return device_key_path_; }
  const config::DeviceConfig& config() const { return config_; }
  const std::string& service_object_description() const { return service_object_description_; }
  int32_t service_object_version() const { return service_object_version_; }
  diag::TraceLog& trace_log() { return *trace_log_; }
  diag::ExamLog& exam_log() { return exam_log_; }
  events::EventDelivery& events() { return events_; }
  platform::NamedSemaphore& claim_semaphore() { return claim_semaphore_; }
  // The hidden window's handle; 0 while there is none.
  platform::WindowHandle window_handle() const { return window_handle_.load(); }
  platform::IDispatch* control_object() const { return control_object_; }
  // The device layer; null while closed.
  ChangerDevice* device() { return device_.get(); }
  // The model found by the last successful Claim.
  ModelCode claimed_model() const { return claimed_model_; }
  // The pieces of the last pay-out that ended early, as a cash-count text;
  // empty while there was none.
  std::string last_short_payout();

  // Dispatch identifiers of the Control Object's event members.
  struct EventIds {
    platform::DispId direct_io = platform::kDispIdUnknown;
    platform::DispId status_update = platform::kDispIdUnknown;
    platform::DispId data = platform::kDispIdUnknown;
  };
  const EventIds& event_ids() const { return event_ids_; }

 private:
  // Tests reach state no member shows through this peer, which the
  // product never defines.
  friend struct CashChangerTestPeer;

  // --- the call frame -------------------------------------------------------------

  // "Enter   " with |trace_name|, and with |param| when not empty.
  void TraceEnter(std::string_view trace_name, std::string_view param = {});
  // The result helper: "  ResultCode is %ld" and the trace name at level 0
  // (tags "Result  ", "Exit    ") for 0, at level 2 (tag "Error   ") for
  // anything else; stores ResultCode and returns |result|.
  int32_t FinishCall(std::string_view trace_name, opos::OposResult result);
  // One ExamLog record of four decimal fields.
  void Record(long kind, long code, long argument, long result);
  // An ExamLog record whose result is a call's: its code.
  void Record(long kind, long code, long argument, opos::OposResult result) { Record(kind, code, argument, static_cast<long>(result.code)); }
  // The refusals every device method starts with: 101 while closed, 103
  // while not claimed. 0 when the call may go on.
  int32_t ClaimedCheck();
  // Ends a method: the exit record and the result helper.
  int32_t EndCall(std::string_view trace_name, MethodCode code, long argument, opos::OposResult result);
  // Claimed (101/103), enabled (105), not busy (113).
  int32_t StateChecks();

  // OpenService: names the trace file and sets its level.
  void ConfigureTrace();
  // OpenService: the device layer and its logs.
  void CreateDevice();
  // Undoes what an OpenService created: device layer, window, Control Object.
  void DropOpenResources();
  void InstallWindowHandlers();

  // The property setters; each ends in the result helper.
  void SetDeviceEnabled(int32_t value);
  void SetFreezeEvents(int32_t value);
  void SetDataEventEnabled(int32_t value);
  void SetAsyncMode(int32_t value);
  void SetPowerNotifyValue(int32_t value);
  void SetBinaryConversion(int32_t value);
  void SetCurrentExitValue(int32_t value);
  void SetCurrencyCode(std::string_view value);
  void SetRealTimeDataEnabled(int32_t value);
  void SetCurrentService(int32_t value);
  // OpenService: the release the device key asks for (UposVersion).
  void ServeRelease();
  // The frame of the members of later releases: entry trace and record,
  // |steps| once StateChecks passed, the exit.
  int32_t LaterMember(std::string_view trace_name, MethodCode code, std::string_view param,
                      const std::function<opos::OposResult()>& steps);

  // Hands a chosen event to the window (the delivery thread's post).
  bool PostFireEvent(std::unique_ptr<events::EventRecord> record);

  ModuleLock module_lock_;
  platform::Clock* clock_;
  const std::string service_object_description_;
  // The version of the build (release 1.6) and the one reported, which a
  // UposVersion raises to its release.
  const int32_t build_version_;
  int32_t service_object_version_;
  int32_t upos_minor_ = 6;
  bool real_time_data_enabled_ = false;

  // Shared with the registry diagnostic hook, which may run on any thread.
  std::shared_ptr<diag::TraceLog> trace_log_;
  diag::ExamLog exam_log_;
  platform::NamedSemaphore claim_semaphore_;
  events::EventDelivery events_;
  int registry_hook_ = 0;

  platform::Mutex state_lock_;
  int32_t state_ VEX_GUARDED_BY(state_lock_);

  // Written on the application's thread only.
  bool claimed_ = false;
  int32_t result_code_;
  int32_t open_result_ = 0;
  ModelCode claimed_model_ = ModelCode::kUnknown;
  // The values of the properties this object keeps itself.
  PropertyStore props_;

  // DeviceEnabled, PowerNotify, CurrentExit, the direct I/O mode, the
  // operation mode sent and DioReadExchange: read by the device layer's
  // thread too. Declared before the device layer, which is given them.
  DeviceSwitches switches_;
  std::atomic<int32_t> result_code_extended_{0};
  // The deposit's state: the deposit members', the device layer's and the
  // properties', under the session's own lock. Declared before the device
  // layer, which is given it and goes first.
  DepositSession deposit_;

  std::string device_name_;
  std::string device_key_path_;
  config::DeviceConfig config_;

  // Attached without a reference: the Control Object owns this object and
  // outlives it.
  platform::IDispatch* control_object_ = nullptr;
  EventIds event_ids_;
  std::unique_ptr<platform::MessageWindow> window_;
  std::atomic<platform::WindowHandle> window_handle_{0};

  // From OpenService to Close. The logs hook into the device layer and go
  // first.
  std::unique_ptr<devlog::RegistryValues> log_values_;
  std::unique_ptr<ChangerDevice> device_;
  std::unique_ptr<PayoutService> payouts_;
  std::unique_ptr<DepositService> deposits_;
  std::unique_ptr<devlog::ChangerDeviceLogs> device_logs_;
  std::unique_ptr<ClaimService> claims_;
  std::unique_ptr<CashService> cash_;
  std::unique_ptr<StatisticsService> statistics_;
  // Last of the services: an update under way ends before the device goes.
  std::unique_ptr<FirmwareService> firmware_;
  // AsyncResultCode and its extended code, set by the window's completion
  // handlers.
  AsyncCompletions async_{exam_log_, events_, claimed_model_, payouts_, device_logs_};
};

}  // namespace vexokrt::service
