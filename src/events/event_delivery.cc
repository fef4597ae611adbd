// SPDX-License-Identifier: Apache-2.0
#include "events/event_delivery.h"

#include <system_error>

namespace vexokrt::events {

EventDelivery::EventDelivery(diag::ExamLog& exam_log) : exam_log_(exam_log) {}

EventDelivery::~EventDelivery() { Stop(); }

bool EventDelivery::Start(Post post) {
  if (thread_.joinable()) return true;
  post_ = std::move(post);
  {
    platform::MutexLock lock(wake_lock_);
    stop_ = false;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void EventDelivery::Stop() {
  if (thread_.joinable()) {
    {
      platform::MutexLock lock(wake_lock_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  std::deque<std::unique_ptr<EventRecord>> dropped;
  {
    platform::MutexLock lock(queue_lock_);
    dropped.swap(queue_);
  }
  // Records still waiting are deleted with the thread's end; a delivery in
  // flight is finished by its fire handler or dropped with the window.
  platform::MutexLock lock(delivery_lock_);
  delivering_ = false;
}

void EventDelivery::Wake() {
  {
    platform::MutexLock lock(wake_lock_);
    ++changes_;
  }
  wake_.notify_all();
}

void EventDelivery::Queue(std::unique_ptr<EventRecord> record) {
  if (!record) return;
  {
    platform::MutexLock lock(queue_lock_);
    queue_.push_back(std::move(record));
  }
  Wake();
}

void EventDelivery::DropDataEvents() {
  std::deque<std::unique_ptr<EventRecord>> dropped;
  platform::MutexLock lock(queue_lock_);
  for (auto it = queue_.begin(); it != queue_.end();) {
    if ((*it)->kind == kKindData) {
      dropped.push_back(std::move(*it));
      it = queue_.erase(it);
    } else {
      ++it;
    }
  }
}

int32_t EventDelivery::CountDataEvents() const {
  platform::MutexLock lock(queue_lock_);
  int32_t count = 0;
  for (const auto& record : queue_) count += record->kind == kKindData ? 1 : 0;
  return count;
}

size_t EventDelivery::QueuedCount() const {
  platform::MutexLock lock(queue_lock_);
  return queue_.size();
}

void EventDelivery::SetFreezeEvents(bool freeze) {
  {
    platform::MutexLock lock(freeze_lock_);
    freeze_events_ = freeze;
  }
  Wake();
}

bool EventDelivery::FreezeEvents() const {
  platform::MutexLock lock(freeze_lock_);
  return freeze_events_;
}

void EventDelivery::WithFreezeLock(const std::function<void(bool& freeze)>& setter) {
  {
    platform::MutexLock lock(freeze_lock_);
    setter(freeze_events_);
  }
  Wake();
}

void EventDelivery::SetControlObjectFreeze(bool freeze) {
  {
    platform::MutexLock lock(co_freeze_lock_);
    co_freeze_ = freeze;
  }
  Wake();
}

void EventDelivery::SetDataEventEnabled(bool enabled) {
  {
    platform::MutexLock lock(data_event_lock_);
    data_event_enabled_ = enabled;
  }
  Wake();
}

bool EventDelivery::DataEventEnabled() const {
  platform::MutexLock lock(data_event_lock_);
  return data_event_enabled_;
}

std::unique_ptr<EventRecord> EventDelivery::TakeDeliverable() {
  // The fixed order: freeze, Control-Object freeze, delivery, queue, data-event.
  platform::MutexLock freeze(freeze_lock_);
  platform::MutexLock co_freeze(co_freeze_lock_);
  platform::MutexLock delivery(delivery_lock_);
  platform::MutexLock queue(queue_lock_);
  platform::MutexLock data_event(data_event_lock_);
  if (freeze_events_ || co_freeze_ || delivering_) return nullptr;
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    const int32_t kind = (*it)->kind;
    const bool deliverable =
        (kind == kKindData && data_event_enabled_) || kind == kKindDirectIO || kind == kKindStatusUpdate;
    if (!deliverable) continue;
    delivering_ = true;
    exam_log_.Write(8, 6, 0, 0);
    exam_log_.Write(8, 5, 0, 0);
    std::unique_ptr<EventRecord> record = std::move(*it);
    queue_.erase(it);
    return record;
  }
  return nullptr;
}

void EventDelivery::Run() {
  // Whatever escapes a delivery (no memory for a post) ends delivery, never
  // the host program: the thread stops as at Stop, and the events still
  // queued are dropped with their answers abandoned, so nobody waits for
  // them.
  try {
    RunLoop();
  } catch (...) {
    {
      platform::MutexLock lock(wake_lock_);
      stop_ = true;
    }
    std::deque<std::unique_ptr<EventRecord>> dropped;
    {
      platform::MutexLock lock(queue_lock_);
      dropped.swap(queue_);
    }
  }
}

void EventDelivery::RunLoop() {
  for (;;) {
    uint64_t seen = 0;
    {
      platform::MutexLock lock(wake_lock_);
      if (stop_) return;
      seen = changes_;
    }
    std::unique_ptr<EventRecord> record = TakeDeliverable();
    if (record) {
      // A record the window cannot take is dropped; delivery goes on.
      if (!post_ || !post_(std::move(record))) FinishDelivery();
      continue;
    }
    platform::MutexLock lock(wake_lock_);
    wake_.wait(lock.native(), [&]() VEX_REQUIRES(wake_lock_) { return stop_ || changes_ != seen; });
  }
}

void EventDelivery::FinishDelivery() {
  {
    platform::MutexLock lock(delivery_lock_);
    delivering_ = false;
  }
  Wake();
}

void EventDelivery::FireEvent(std::unique_ptr<EventRecord> record, EventSink& sink) {
  exam_log_.Write(8, 7, 0, 0);
  if (record) {
    switch (record->kind) {
      case kKindData: {
        SetDataEventEnabled(false);
        sink.FireData(record->number);
        exam_log_.Write(8, 3, record->number, 0);
        break;
      }
      case kKindDirectIO: {
        int32_t data = record->data;
        std::string text = record->text;
        sink.FireDirectIO(record->number, &data, &text);
        exam_log_.Write(8, 2, record->number, 0);
        // Notifications 2 to 8 expect no answer; the others (the take-back
        // retry query) learn whether the handler left the data at 1.
        if ((record->number < 2 || record->number > 8) && record->answer) {
          record->answer->Answer(data == 1 ? 1 : 2);
        }
        break;
      }
      case kKindStatusUpdate: {
        sink.FireStatusUpdate(record->number);
        exam_log_.Write(8, 1, record->number, 0);
        break;
      }
      default:
        break;
    }
  }
  FinishDelivery();
}

}  // namespace vexokrt::events
