// SPDX-License-Identifier: Apache-2.0
#include "device/stop_mailboxes.h"


namespace vexokrt {

int32_t StopMailboxes::Value() const {
  platform::MutexLock lock(mu_);
  return mailbox_;
}

bool StopMailboxes::AskAsync() {
  {
    platform::MutexLock lock(mu_);
    if (mailbox_ != kStopIdle) return false;
    mailbox_ = kStopRequestedAsync;
  }
  platform::MutexLock cancel(cancel_mu_);
  cancel_ = true;
  return true;
}

StopMailboxes::WaitedStop StopMailboxes::AskAndWait(platform::Clock& clock) {
  WaitedStop waited;
  platform::MutexLock lock(mu_);
  if (mailbox_ != kStopIdle) return waited;
  waited.end = WaitedStop::End::kUnanswered;
  outcome_ = kStopIdle;
  mailbox_ = kStopRequested;
  if (!clock.WaitFor(changed_, lock.native(), kStopAcceptMs,
                     [this]() VEX_REQUIRES(mu_) { return Settled(outcome_); })) {
    mailbox_ = kStopIdle;
    return waited;
  }
  if (outcome_ == kStopNotPossible) {
    mailbox_ = kStopIdle;
    return waited;
  }
  if (outcome_ == kStopAccepted &&
      !clock.WaitFor(changed_, lock.native(), kStopFinishMs,
                     [this]() VEX_REQUIRES(mu_) { return mailbox_ == kStopIdle; })) {
    reply_ = DeviceReply();
    mailbox_ = kStopIdle;
    return waited;
  }
  waited.end = WaitedStop::End::kAnswered;
  waited.reply = std::move(reply_);
  reply_ = DeviceReply();
  waited.code = code_;
  mailbox_ = kStopIdle;
  return waited;
}

bool StopMailboxes::StopAsked() const {
  platform::MutexLock lock(mu_);
  return mailbox_ == kStopRequested;
}

void StopMailboxes::Settle(int32_t outcome, DeviceReply answer, int32_t code) {
  {
    platform::MutexLock lock(mu_);
    mailbox_ = outcome;
    outcome_ = outcome;
    reply_ = std::move(answer);
    code_ = code;
  }
  changed_.notify_all();
}

bool StopMailboxes::TakeCancel() {
  platform::MutexLock lock(cancel_mu_);
  const bool asked = cancel_;
  cancel_ = false;
  return asked;
}

void StopMailboxes::Close() {
  {
    platform::MutexLock lock(mu_);
    mailbox_ = kStopIdle;
  }
  changed_.notify_all();
}

void StopMailboxes::Reset() {
  Close();
  platform::MutexLock lock(cancel_mu_);
  cancel_ = false;
}

}  // namespace vexokrt
