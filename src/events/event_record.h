// SPDX-License-Identifier: Apache-2.0
// One OPOS event on its way from a producer to the Control Object.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/thread_annotations.h"

namespace vexokrt::events {

inline constexpr int32_t kKindData = 1;
inline constexpr int32_t kKindDirectIO = 2;
inline constexpr int32_t kKindStatusUpdate = 5;

// Where the application's answer to a direct I/O event is written (1 when
// the handler left the data at 1, else 2). The producer owns it jointly with
// the event, so a producer can wait for an answer that may never come: when
// the event is discarded unanswered the slot is abandoned and the wait ends.
class AnswerSlot {
 public:
  // Stores the answer and wakes the waiter.
  void Answer(int32_t value);
  // Marks the slot as never to be answered (the event was discarded).
  void Abandon();
  // Waits until answered or abandoned, at most |timeout_ms| (-1: no limit)
  // of |clock|. Returns the answer, or 0 when abandoned or timed out.
  int32_t Wait(int timeout_ms, platform::Clock& clock = platform::SystemClock());
  // The answer so far (0: none yet).
  int32_t Value() const;
  bool abandoned() const;

 private:
  mutable platform::Mutex mutex_;
  std::condition_variable changed_;
  int32_t value_ VEX_GUARDED_BY(mutex_) = 0;
  bool abandoned_ VEX_GUARDED_BY(mutex_) = false;
};

struct EventRecord {
  // 1 data, 2 direct I/O, 5 status update; other kinds are never delivered.
  int32_t kind = 0;
  // Data event: its Status; status update: the status value; direct I/O:
  // the EventNumber.
  int32_t number = 0;
  // Direct I/O only: pData, possibly changed by the application.
  int32_t data = 0;
  // Direct I/O only: pString.
  std::string text;
  // Direct I/O only: where the application's answer goes; may be empty.
  std::shared_ptr<AnswerSlot> answer;
  // Data event only: the deposit count record when the event was queued.
  std::array<int32_t, 19> counts{};

  EventRecord() = default;
  EventRecord(const EventRecord&) = delete;
  EventRecord& operator=(const EventRecord&) = delete;
  // An event dropped before the application answered abandons its slot.
  ~EventRecord();

  static std::unique_ptr<EventRecord> StatusUpdate(int32_t status);
  static std::unique_ptr<EventRecord> Data(int32_t status, const std::array<int32_t, 19>& counts);
  static std::unique_ptr<EventRecord> DirectIO(int32_t event_number, int32_t data, std::string text,
                                               std::shared_ptr<AnswerSlot> answer = nullptr);
};

}  // namespace vexokrt::events
