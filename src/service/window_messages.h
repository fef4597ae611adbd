// SPDX-License-Identifier: Apache-2.0
// The registered window messages by which the service object's own threads
// reach its hidden window, and the window's name. The numbers are obtained by
// name when the module loads; every part of the process that registers the
// same name gets the same number.
#pragma once

#include "device/changer_host.h"
#include "platform/message_window.h"

namespace vexokrt::service {

inline constexpr char kCashChangerWindowName[] = "Vexonics.CashChangerWindow.20051118";

// The messages the device layer posts are named in device/changer_host.h;
// these two only the service object knows.
inline constexpr char kMsgCoFireEventNotify[] = "Vexonics.KRT07.CashChangerCOFireEventNotify.20051118";
inline constexpr char kMsgHappenFlReject[] = "Vexonics.KRT07.CashChangerHappenFLReject.20051118";

struct WindowMessages {
  platform::MessageId co_fire_event_notify = 0;
  platform::MessageId async_method_call_complete = 0;
  platform::MessageId take_back_complete = 0;
  platform::MessageId output_log_complete = 0;
  platform::MessageId query_take_back_retry = 0;
  platform::MessageId happen_reject = 0;
  platform::MessageId happen_caset = 0;
  platform::MessageId happen_caset_dsp = 0;
  platform::MessageId happen_fl_reject = 0;  // registered, never sent
  platform::MessageId payout_at_rest = 0;
  platform::MessageId async_stop_outcome = 0;
};

// The module's message numbers (registered at load). Any thread.
const WindowMessages& RegisteredMessages();

}  // namespace vexokrt::service
