// SPDX-License-Identifier: Apache-2.0
// The KRT03 take-back question: the device holds a take-back it cannot finish
// on its own, and the application is asked (a direct I/O event with an answer
// slot, posted to the service object's window) whether the device is to try
// again.
//
// Asking and deciding are apart. The status interpretation only asks: Ask
// posts the question, once, and returns. The decision is taken later by
// whoever looks at the slot, without waiting for it (Decide): the
// communication thread before each watch step, a caller pausing the watch,
// the closing of the port. The question ends with the first decision other
// than kPending, so exactly one of them carries it out; while it is open no
// second question is posted.
//
// The request path asks its own question while it waits for a take-back
// request's final answer (AskAndWait): there the communication thread waits
// for the answer, holding no lock, and gives up when told to.
//
// Carrying out a decision (Settle) uses the line directly: it is for the
// communication thread before a watch step, or for a caller that has the
// line (the watch paused, the thread stopped).
//
// Thread-safe. The host and the line are used without the question's lock
// held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "device/changer_host.h"
#include "device/device_switches.h"
#include "events/event_record.h"
#include "link/line_exchange.h"
#include "link/line_sequences.h"
#include "platform/clock.h"
#include "platform/thread_annotations.h"

namespace vexokrt {

class TakeBackQuestion {
 public:
  enum class Decision {
    kNone,     // no question open
    kPending,  // asked and not answered; neither given up nor timed out
    kRetry,    // answered 1: the device tries again
    kStop,     // answered otherwise, never to be answered, given up, or
               // unanswered when its time ran out: the device is told to stop
  };

  // An unanswered question is given up |timeout_ms| of |clock| after it was
  // asked. |host|, |line| and |clock| must outlive the question.
  TakeBackQuestion(ChangerHost& host, DeviceSwitches& switches, LineExchange& line, platform::Clock& clock,
                   int64_t timeout_ms);
  TakeBackQuestion(const TakeBackQuestion&) = delete;
  TakeBackQuestion& operator=(const TakeBackQuestion&) = delete;

  // Posts the question unless one is open. True when it posted one.
  bool Ask();
  bool Open() const;
  // The decision on the open question, taken now, without waiting. With
  // |give_up| a question not answered yet ends as kStop. Every decision but
  // kPending ends the question; a later answer to it is not looked at. An
  // answer that is there is taken even when the time has run out since: it
  // may have come in time and only been looked at later.
  Decision Decide(bool give_up);
  // Decides (as Decide) and carries the decision out: the retry sequence,
  // or the stop sequence (its enquiries ended by |abandon|) followed by
  // DirectIoMode 0. True while the question stays open.
  bool Settle(bool give_up, const AbandonCheck& abandon);

  // The request path's question: posts a question of its own and waits for
  // its answer in slices of the clock, at most the time-out. True for a
  // retry; false when answered otherwise, never to be answered, unanswered
  // within the time-out, or when |abandon| turns true.
  bool AskAndWait(const std::function<bool()>& abandon);

 private:
  void Post(std::shared_ptr<events::AnswerSlot> slot);

  ChangerHost& host_;
  DeviceSwitches& switches_;
  LineExchange& line_;
  platform::Clock& clock_;
  const int64_t timeout_ms_;

  mutable platform::Mutex lock_;
  std::shared_ptr<events::AnswerSlot> slot_ VEX_GUARDED_BY(lock_);  // null: none open
  int64_t deadline_ms_ VEX_GUARDED_BY(lock_) = 0;
};

}  // namespace vexokrt
