// SPDX-License-Identifier: Apache-2.0
// The two mailboxes through which the application asks the communication
// thread to stop the operation in progress: the stop mailbox (a waited
// stop, or the mark of an asynchronous one) and the cancel mailbox (an
// asynchronous stop still to be sent). The thread serves them between its
// enquiries while it waits for a final answer; this class holds only their
// state and the application's wait, never the line.
#pragma once

#include <condition_variable>
#include <cstdint>

#include "link/device_reply.h"
#include "platform/clock.h"
#include "platform/thread_annotations.h"

namespace vexokrt {

// Values of the stop mailbox.
inline constexpr int32_t kStopIdle = 0;
inline constexpr int32_t kStopAccepted = 1;
inline constexpr int32_t kStopRefused = 2;
inline constexpr int32_t kStopRequested = 3;
inline constexpr int32_t kStopRequestedAsync = 4;
inline constexpr int32_t kStopNotPossible = -1;

class StopMailboxes {
 public:
  // A waited stop waits this long for the device's acceptance, then this
  // long for the stopped operation's end.
  static constexpr int64_t kStopAcceptMs = 5000;
  static constexpr int64_t kStopFinishMs = 30000;

  // How a waited stop ended for its asker.
  struct WaitedStop {
    enum class End {
      kBusy,        // another stop is open: nothing was asked
      kUnanswered,  // no acceptance in time, stopping not possible, or the operation did not end in time
      kAnswered,    // the device answered the stop command: |reply|, |code|
    };
    End end = End::kBusy;
    DeviceReply reply;
    int32_t code = 0;  // error code read after BEL or CAN, or 0
  };

  int32_t Value() const VEX_EXCLUDES(mu_);

  // --- The application's side ---------------------------------------------
  // Marks an asynchronous stop and fills the cancel mailbox. False when a
  // stop is already open.
  bool AskAsync() VEX_EXCLUDES(mu_, cancel_mu_);
  // Asks for a stop and waits for the thread's outcome.
  WaitedStop AskAndWait(platform::Clock& clock) VEX_EXCLUDES(mu_);

  // --- The communication thread's side -------------------------------------
  // True when a waited stop waits to be sent.
  bool StopAsked() const VEX_EXCLUDES(mu_);
  // The outcome of a waited stop (kStopAccepted, kStopRefused or
  // kStopNotPossible) with the device's answer.
  void Settle(int32_t outcome, DeviceReply answer, int32_t code) VEX_EXCLUDES(mu_);
  // Empties the cancel mailbox: true when an asynchronous stop was asked.
  bool TakeCancel() VEX_EXCLUDES(cancel_mu_);
  // The stop mailbox goes back to idle (the operation ended).
  void Close() VEX_EXCLUDES(mu_);
  // Both mailboxes go back to idle after every request.
  void Reset() VEX_EXCLUDES(mu_, cancel_mu_);

 private:
  static bool Settled(int32_t value) {
    return value == kStopAccepted || value == kStopRefused || value == kStopNotPossible;
  }

  mutable platform::Mutex mu_;
  std::condition_variable changed_;
  int32_t mailbox_ VEX_GUARDED_BY(mu_) = kStopIdle;
  // The device's last answer to a stop, kept apart from the mailbox, which
  // the thread resets at the end of every request, possibly before the
  // waiter has looked.
  int32_t outcome_ VEX_GUARDED_BY(mu_) = kStopIdle;
  DeviceReply reply_ VEX_GUARDED_BY(mu_);
  int32_t code_ VEX_GUARDED_BY(mu_) = 0;

  platform::Mutex cancel_mu_;
  bool cancel_ VEX_GUARDED_BY(cancel_mu_) = false;
};

}  // namespace vexokrt
