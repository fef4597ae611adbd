#include "events/event_record.h"

#include <chrono>

namespace vexokrt::events {

void AnswerSlot::Answer(int32_t value) {
  {
    std::lock_guard lock(mutex_);
    value_ = value;
  }
  changed_.notify_all();
}

void AnswerSlot::Abandon() {
  {
    std::lock_guard lock(mutex_);
    if (value_ != 0) return;
    abandoned_ = true;
  }
  changed_.notify_all();
}

int32_t AnswerSlot::Wait(int timeout_ms) {
  std::unique_lock lock(mutex_);
  const auto done = [this] { return value_ != 0 || abandoned_; };
  if (timeout_ms < 0) {
    changed_.wait(lock, done);
  } else {
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
  }
  return value_;
}

int32_t AnswerSlot::Value() const {
  std::lock_guard lock(mutex_);
  return value_;
}

bool AnswerSlot::abandoned() const {
  std::lock_guard lock(mutex_);
  return abandoned_;
}

EventRecord::~EventRecord() {
  if (answer) answer->Abandon();
}

std::unique_ptr<EventRecord> EventRecord::StatusUpdate(int32_t status) {
  auto record = std::make_unique<EventRecord>();
  record->kind = kKindStatusUpdate;
  record->number = status;
  return record;
}

std::unique_ptr<EventRecord> EventRecord::Data(int32_t status, const std::array<int32_t, 19>& counts) {
  auto record = std::make_unique<EventRecord>();
  record->kind = kKindData;
  record->number = status;
  record->counts = counts;
  return record;
}

std::unique_ptr<EventRecord> EventRecord::DirectIO(int32_t event_number, int32_t data, std::string text,
                                                   std::shared_ptr<AnswerSlot> answer) {
  auto record = std::make_unique<EventRecord>();
  record->kind = kKindDirectIO;
  record->number = event_number;
  record->data = data;
  record->text = std::move(text);
  record->answer = std::move(answer);
  return record;
}

}  // namespace vexokrt::events
