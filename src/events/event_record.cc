// SPDX-License-Identifier: Apache-2.0
#include "events/event_record.h"

namespace vexokrt::events {

void AnswerSlot::Answer(int32_t value) {
  {
    platform::MutexLock lock(mutex_);
    value_ = value;
  }
  changed_.notify_all();
}

void AnswerSlot::Abandon() {
  {
    platform::MutexLock lock(mutex_);
    if (value_ != 0) return;
    abandoned_ = true;
  }
  changed_.notify_all();
}

int32_t AnswerSlot::Wait(int timeout_ms, platform::Clock& clock) {
  platform::MutexLock lock(mutex_);
  clock.WaitFor(changed_, lock.native(), timeout_ms,
                [this]() VEX_REQUIRES(mutex_) { return value_ != 0 || abandoned_; });
  return value_;
}

int32_t AnswerSlot::Value() const {
  platform::MutexLock lock(mutex_);
  return value_;
}

bool AnswerSlot::abandoned() const {
  platform::MutexLock lock(mutex_);
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
