// SPDX-License-Identifier: Apache-2.0
#include "service/window_messages.h"

namespace vexokrt::service {

const WindowMessages& RegisteredMessages() {
  static const WindowMessages messages = [] {
    using platform::RegisterMessageName;
    WindowMessages m;
    m.co_fire_event_notify = RegisterMessageName(kMsgCoFireEventNotify);
    m.async_method_call_complete = RegisterMessageName(kMsgAsyncMethodCallComplete);
    m.take_back_complete = RegisterMessageName(kMsgTakeBackComplete);
    m.output_log_complete = RegisterMessageName(kMsgOutputLogComplete);
    m.query_take_back_retry = RegisterMessageName(kMsgQueryTakeBackRetry);
    m.happen_reject = RegisterMessageName(kMsgHappenReject);
    m.happen_caset = RegisterMessageName(kMsgHappenCaset);
    m.happen_caset_dsp = RegisterMessageName(kMsgHappenCasetDsp);
    m.happen_fl_reject = RegisterMessageName(kMsgHappenFlReject);
    m.payout_at_rest = RegisterMessageName(kMsgPayoutAtRest);
    m.async_stop_outcome = RegisterMessageName(kMsgAsyncStopOutcome);
    return m;
  }();
  return messages;
}

namespace {

// Registered when the module is loaded, as the numbers are module-wide.
[[maybe_unused]] const WindowMessages& kRegisteredAtLoad = RegisteredMessages();

}  // namespace

}  // namespace vexokrt::service
