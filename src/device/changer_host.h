// SPDX-License-Identifier: Apache-2.0
// The service object as the device layer calls up to it: an event sink and
// a post to the hidden window. CCashChanger implements it; tests use a fake.
// The values the device layer reads (DeviceSwitches) and the deposit's state
// (DepositSession) are not calls: the service object gives them to the
// device layer.
//
// Every method may be called from the application's thread or from the
// communication thread; the implementation guards each value with its own
// lock (the event queue under the queue lock, ...). The deposit's state is
// not the host's: it lives in the DepositSession the device is given. ChangerDevice never calls the host while holding one
// of its own locks. The State busy/idle is not set through the host: the
// device owns it (ChangerDevice::Busy), and the service object reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "device/cash_records.h"
#include "events/event_record.h"
#include "link/device_reply.h"
#include "opos/opos.h"

namespace vexokrt {

// Registered window messages posted by the device layer.
inline constexpr std::string_view kMsgAsyncMethodCallComplete =
    "Vexonics.KRT07.CashChangerAsyncMethodCallComplete.20051118";
inline constexpr std::string_view kMsgTakeBackComplete = "Vexonics.KRT07.CashChangerTakeBackComplete.20051118";
inline constexpr std::string_view kMsgOutputLogComplete = "Vexonics.KRT07.CashChangerOutputLogComplete.20051118";
inline constexpr std::string_view kMsgQueryTakeBackRetry = "Vexonics.KRT07.CashChangerQueryTakeBackRetry.20051118";
inline constexpr std::string_view kMsgHappenReject = "Vexonics.KRT07.CashChangerHappenReject.20051118";
inline constexpr std::string_view kMsgHappenCaset = "Vexonics.KRT07.CashChangerHappenCaset.20051118";
inline constexpr std::string_view kMsgHappenCasetDsp = "Vexonics.KRT07.CashChangerHappenCasetDsp.20051118";
// An asynchronous stop's own outcome (ChangerDevice::RequestStop).
inline constexpr std::string_view kMsgAsyncStopOutcome = "Vexonics.KRT07.CashChangerAsyncStopOutcome.20051118";
// The machine has come to rest after a pay-out whose part paid was not known
// (ChangerDevice::AwaitPayoutAtRest).
inline constexpr std::string_view kMsgPayoutAtRest = "Vexonics.KRT07.CashChangerPayoutAtRest.20051118";

// The second parameter of an asynchronous completion when the sender asked
// to be notified (the trading log is fetched afterwards).
inline constexpr int32_t kNotifyParameter = 10001;

// Payloads of the window posts. The window's handler owns them.
struct AsyncCompletion {  // kMsgAsyncMethodCallComplete
  DeviceReply reply;
  int32_t parameter = 0;  // kNotifyParameter or 0
};
struct TakeBackCompletion {  // kMsgTakeBackComplete
  DeviceReply reply;
  std::string counts;  // plain cash-count text of the returned counts, or empty
};
struct LogOutputCompletion {  // kMsgOutputLogComplete
  opos::OposResult result;
  int32_t parameter = 0;
};
struct AsyncStopOutcome {  // kMsgAsyncStopOutcome
  int32_t result = 0;                 // AsyncResultCode
  std::optional<int32_t> extended;    // AsyncResultCodeExtended, when it changes
  bool status_update = false;         // followed by the status update 91
};
struct PayoutAtRest {  // kMsgPayoutAtRest
  uint32_t ticket = 0;
  CashCounts counts{};  // set A, read once the machine was seen at rest
};
struct DirectIoNotice {  // kMsgQueryTakeBackRetry and the three notifications
  int32_t event_number = 0;
  int32_t data = 1;
  std::string text;
  std::shared_ptr<events::AnswerSlot> answer;  // only for questions: 1 yes, 2 anything else
};
using WindowPayload = std::variant<AsyncCompletion, TakeBackCompletion, LogOutputCompletion, AsyncStopOutcome,
                                   PayoutAtRest, DirectIoNotice>;

// The settings of the device key that the device layer itself uses (copied
// once, when the device layer is created). The time-outs of the cash
// operations stay with their callers, which pass them to the command
// builders.
struct DeviceSettings {
  int32_t watch_interval_ms = 500;   // WatchInterval
  int32_t auto_negotiation = 0;      // AutoNegotiation
  int32_t deposit_evt_set = 0;       // DepositEVTset
  int32_t claim_non_event = 0;       // ClaimNonEvent
  int32_t take_back_timeout_ms = 50000;  // TakeBackTimeout: also bounds the take-back question
};

class ChangerHost {
 public:
  virtual ~ChangerHost() = default;

  // Event queue.
  virtual void QueueStatusUpdate(int32_t value) = 0;
  // A data event (Status 0) carrying a copy of the deposit count record.
  virtual void QueueDataEvent(const DispenseRecord& counts) = 0;
  virtual void QueueDirectIoEvent(int32_t event_number, int32_t data, std::string text) = 0;

  // Posts |message| with |payload| to the hidden window. The window's handler
  // takes the payload; when the window is gone the payload is dropped.
  virtual void PostToWindow(std::string_view message, WindowPayload payload) = 0;
};

}  // namespace vexokrt
