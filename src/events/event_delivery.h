// SPDX-License-Identifier: Apache-2.0
// The event queue and the thread that decides when the next event may go to
// the Control Object.
//
// Producers on any thread queue events. The delivery thread hands one event
// at a time to the service object's hidden window (through |Post|), but only
// while neither FreezeEvents nor the Control Object's own freeze is set and
// no event is being delivered; data events wait while DataEventEnabled is
// false and later status and direct I/O events overtake them. The window's
// fire handler (FireEvent, on the application's thread) calls the Control
// Object and marks the delivery finished, which lets the next event go.
//
// Each gate flag and the queue has its own lock; the delivery thread takes
// them in the fixed order freeze, Control-Object freeze, delivery, queue,
// data-event, and every other holder takes at most one of them at a time.
// The thread sleeps on a condition variable and is woken by every change
// that can make an event deliverable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "diag/exam_log.h"
#include "events/event_record.h"
#include "platform/thread_annotations.h"

namespace vexokrt::events {

// The three event members of the Control Object.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void FireData(int32_t status) = 0;
  virtual void FireDirectIO(int32_t event_number, int32_t* data, std::string* text) = 0;
  virtual void FireStatusUpdate(int32_t status) = 0;
};

class EventDelivery {
 public:
  // Hands an event to the hidden window; false when it could not be posted
  // (the event is then dropped and delivery goes on).
  using Post = std::function<bool(std::unique_ptr<EventRecord>)>;

  explicit EventDelivery(diag::ExamLog& exam_log);
  ~EventDelivery();
  EventDelivery(const EventDelivery&) = delete;
  EventDelivery& operator=(const EventDelivery&) = delete;

  // Starts the delivery thread; false when it cannot be created.
  bool Start(Post post);
  // Stops the thread (waiting for it) and deletes every queued event.
  void Stop();
  bool running() const { return thread_.joinable(); }

  // Producers, any thread.
  void Queue(std::unique_ptr<EventRecord> record);
  void QueueStatusUpdate(int32_t status) { Queue(EventRecord::StatusUpdate(status)); }
  // Removes every queued data event.
  void DropDataEvents();
  // Number of queued data events (the DataCount property).
  int32_t CountDataEvents() const;
  size_t QueuedCount() const;

  // Gate flags.
  void SetFreezeEvents(bool freeze);
  bool FreezeEvents() const;
  // Runs |setter| while holding the freeze lock (the FreezeEvents setter does
  // its checks and trace under it) and wakes the thread afterwards.
  void WithFreezeLock(const std::function<void(bool& freeze)>& setter);
  void SetControlObjectFreeze(bool freeze);
  void SetDataEventEnabled(bool enabled);
  bool DataEventEnabled() const;

  // The window's fire handler: calls the Control Object for |record|, then
  // finishes the delivery. Application's thread only.
  void FireEvent(std::unique_ptr<EventRecord> record, EventSink& sink);

 private:
  void Run();
  void RunLoop();
  void Wake();
  std::unique_ptr<EventRecord> TakeDeliverable();
  void FinishDelivery();

  diag::ExamLog& exam_log_;
  Post post_;

  mutable platform::Mutex freeze_lock_;
  bool freeze_events_ VEX_GUARDED_BY(freeze_lock_) = false;
  mutable platform::Mutex co_freeze_lock_;
  bool co_freeze_ VEX_GUARDED_BY(co_freeze_lock_) = false;
  mutable platform::Mutex delivery_lock_;
  bool delivering_ VEX_GUARDED_BY(delivery_lock_) = false;
  mutable platform::Mutex queue_lock_;
  std::deque<std::unique_ptr<EventRecord>> queue_ VEX_GUARDED_BY(queue_lock_);
  mutable platform::Mutex data_event_lock_;
  bool data_event_enabled_ VEX_GUARDED_BY(data_event_lock_) = false;

  // Wakes the thread; taken alone, never together with the locks above.
  platform::Mutex wake_lock_;
  std::condition_variable wake_;
  uint64_t changes_ VEX_GUARDED_BY(wake_lock_) = 0;
  bool stop_ VEX_GUARDED_BY(wake_lock_) = false;
  std::thread thread_;
};

}  // namespace vexokrt::events
