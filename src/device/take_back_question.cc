// SPDX-License-Identifier: Apache-2.0
#include "device/take_back_question.h"

namespace vexokrt {
namespace {

// The request path looks for a stop between slices of its wait.
constexpr int64_t kWaitSliceMs = 100;

}  // namespace

TakeBackQuestion::TakeBackQuestion(ChangerHost& host, DeviceSwitches& switches, LineExchange& line,
                                   platform::Clock& clock, int64_t timeout_ms)
    : host_(host), switches_(switches), line_(line), clock_(clock), timeout_ms_(timeout_ms) {}

void TakeBackQuestion::Post(std::shared_ptr<events::AnswerSlot> slot) {
  DirectIoNotice question;
  question.event_number = 1;
  question.data = 1;
  question.answer = std::move(slot);
  host_.PostToWindow(kMsgQueryTakeBackRetry, std::move(question));
}

bool TakeBackQuestion::Ask() {
  auto slot = std::make_shared<events::AnswerSlot>();
  {
    platform::MutexLock lock(lock_);
    if (slot_) return false;
    slot_ = slot;
    deadline_ms_ = clock_.NowMs() + timeout_ms_;
  }
  // Posted outside the lock, as the window may answer at once. A question
  // decided before it is posted (given up) is posted all the same; its
  // answer is not looked at.
  Post(std::move(slot));
  return true;
}

bool TakeBackQuestion::Open() const {
  platform::MutexLock lock(lock_);
  return slot_ != nullptr;
}

TakeBackQuestion::Decision TakeBackQuestion::Decide(bool give_up) {
  platform::MutexLock lock(lock_);
  if (!slot_) return Decision::kNone;
  const int32_t answer = slot_->Value();
  Decision decision = Decision::kPending;
  if (answer == 1) {
    decision = Decision::kRetry;
  } else if (answer != 0 || slot_->abandoned() || give_up || clock_.NowMs() >= deadline_ms_) {
    decision = Decision::kStop;
  }
  if (decision != Decision::kPending) slot_.reset();
  return decision;
}

bool TakeBackQuestion::Settle(bool give_up, const AbandonCheck& abandon) {
  switch (Decide(give_up)) {
    case Decision::kNone:
      return false;
    case Decision::kPending:
      return true;
    case Decision::kRetry:
      TakeBackRetrySequence(line_, clock_);
      return false;
    case Decision::kStop:
      TakeBackStopSequence(line_, clock_, abandon);
      switches_.direct_io_mode.store(0);
      return false;
  }
  return false;
}

bool TakeBackQuestion::AskAndWait(const std::function<bool()>& abandon) {
  const auto slot = std::make_shared<events::AnswerSlot>();
  Post(slot);
  // While events are frozen no answer comes, so the question is given up
  // after the time-out (counted in slices) and when |abandon| says so.
  for (int64_t waited = 0; waited < timeout_ms_; waited += kWaitSliceMs) {
    const int32_t value = slot->Wait(static_cast<int>(kWaitSliceMs), clock_);
    if (value != 0) return value == 1;
    if (abandon && abandon()) return false;
  }
  return false;
}

}  // namespace vexokrt
