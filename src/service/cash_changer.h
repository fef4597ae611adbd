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
// This build holds the frame of the object: construction, OpenService,
// Close, GetOpenResult, the hidden window and the event member look-up.
// Members that need the device layer answer what their state requires
// (101 while closed, 103 while not claimed, 106 from Release while not
// claimed) and otherwise refuse with 106 and an error trace line saying they
// are not implemented.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "config/device_config.h"
#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "events/event_delivery.h"
#include "platform/com.h"
#include "platform/message_window.h"
#include "platform/named_lock.h"
#include "service/module.h"

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
};

class CCashChanger {
 public:
  // Sets the initial values, creates the claim semaphore, the trace log
  // (off, no file) and the ExamLog (no file), loads the description and
  // version, and locks the module for the object's life.
  CCashChanger();
  ~CCashChanger();
  CCashChanger(const CCashChanger&) = delete;
  CCashChanger& operator=(const CCashChanger&) = delete;

  // --- the dispatch members ---------------------------------------------------

  // Opens the device |device_name|: reads its settings from the registry,
  // names the logs, creates the hidden window on the calling thread and looks
  // up "SODirectIO", "SOStatusUpdate" and "SOData" on |control_object|, which
  // is kept without a reference until Close. Results: 0; 104 with
  // GetOpenResult 302 when the device has no registry key, or 305 when the
  // Control Object lacks an event member; 111 with 304 when the window cannot
  // be created; 106 when already open. A failed open leaves nothing behind.
  int32_t OpenService(std::string_view device_class, std::string_view device_name,
                      platform::IDispatch* control_object);
  // Releases the device if claimed, destroys the window, forgets the Control
  // Object and returns to State 1. 113 (and no change) while busy.
  int32_t Close();
  // The last OpenService outcome: 0, 302, 304 or 305. No trace.
  int32_t GetOpenResult() const { return open_result_; }

  int32_t Claim(int32_t timeout);
  int32_t ClaimDevice(int32_t timeout);
  int32_t Release();
  int32_t ReleaseDevice();
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
  int32_t GetPropertyNumber(int32_t index);
  void SetPropertyNumber(int32_t index, int32_t value);
  std::string GetPropertyString(int32_t index);
  void SetPropertyString(int32_t index, std::string_view value);

  // --- state, for the other members and for tests --------------------------------

  int32_t State() const;
  void SetState(int32_t state);
  int32_t result_code() const { return result_code_; }
  int32_t result_code_extended() const { return result_code_extended_; }
  bool claimed() const { return claimed_; }
  bool device_enabled() const { return device_enabled_; }
  int32_t current_exit() const { return current_exit_; }
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
  platform::WindowHandle window_handle() const;
  platform::IDispatch* control_object() const { return control_object_; }

  // Dispatch identifiers of the Control Object's event members.
  struct EventIds {
    platform::DispId direct_io = platform::kDispIdUnknown;
    platform::DispId status_update = platform::kDispIdUnknown;
    platform::DispId data = platform::kDispIdUnknown;
  };
  const EventIds& event_ids() const { return event_ids_; }

  // --- the call frame -------------------------------------------------------------

  // "Enter   " with |trace_name|, and with |param| when not empty.
  void TraceEnter(std::string_view trace_name, std::string_view param = {});
  // The result helper: "  ResultCode is %ld" and the trace name at level 0
  // (tags "Result  ", "Exit    ") for 0, at level 2 (tag "Error   ") for
  // anything else; stores ResultCode and returns |result|.
  int32_t FinishCall(std::string_view trace_name, int32_t result);
  // One ExamLog record of four decimal fields.
  void Record(long kind, long code, long argument, long result);

 private:
  // The refusals every device method starts with: 101 while closed, 103
  // while not claimed. 0 when the call may go on.
  int32_t ClaimedCheck() const;
  // Ends a method whose work this build does not hold: an error trace line,
  // the exit record and 106.
  int32_t NotImplemented(std::string_view trace_name, MethodCode code, long argument);
  // A device method of the cash or maintenance kind: frame, state checks,
  // then NotImplemented.
  int32_t DeviceMethod(std::string_view trace_name, std::string_view param, MethodCode code, long argument);
  // A property setter: frame, claimed check, then a not-implemented refusal.
  // ExamLog records kind 2 with |entry_code| on entry and |exit_code| on
  // exit, each only when not 0.
  void PropertySetter(std::string_view trace_name, std::string_view param, long entry_code, long exit_code,
                      long argument);
  // Step 5 of OpenService: names the trace file and sets its level.
  void ConfigureTrace();
  // Undoes what a failed OpenService created after its registry step.
  void DropOpenResources();

  ModuleLock module_lock_;
  const std::string service_object_description_;
  const int32_t service_object_version_;

  // Shared with the registry diagnostic hook, which may run on any thread.
  std::shared_ptr<diag::TraceLog> trace_log_;
  diag::ExamLog exam_log_;
  platform::NamedSemaphore claim_semaphore_;
  events::EventDelivery events_;
  int registry_hook_ = 0;

  mutable std::mutex state_lock_;
  int32_t state_;  // guarded by state_lock_

  bool claimed_ = false;
  bool device_enabled_ = false;
  int32_t result_code_;
  int32_t result_code_extended_ = 0;
  int32_t open_result_ = 0;
  int32_t current_exit_ = 1;

  std::string device_name_;
  std::string device_key_path_;
  config::DeviceConfig config_;

  // Attached without a reference: the Control Object owns this object and
  // outlives it.
  platform::IDispatch* control_object_ = nullptr;
  EventIds event_ids_;
  std::unique_ptr<platform::MessageWindow> window_;
};

}  // namespace vexokrt::service
