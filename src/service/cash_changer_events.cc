// SPDX-License-Identifier: Apache-2.0
// The service object as the device layer's host, and its hidden window: the
// posts that other threads make and the handlers that run them on the
// application's thread, firing events into the Control Object.
#include <variant>

#include "cash/cash_counts.h"
#include "device/changer_device.h"
#include "devlog/changer_device_logs.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "service/window_messages.h"

namespace vexokrt::service {
namespace {

using namespace opos;

// The Control Object's event members, called through its dispatch
// interface with the identifiers looked up at open. A failing call is not
// reported (the Control Object has nothing to tell).
class DispatchSink final : public events::EventSink {
 public:
  DispatchSink(platform::IDispatch* control_object, const CCashChanger::EventIds& ids)
      : control_object_(control_object), ids_(ids) {}

  void FireData(int32_t status) override {
    platform::Variant args[] = {platform::Variant::Long(status)};
    Invoke(ids_.data, args);
  }
  void FireDirectIO(int32_t event_number, int32_t* data, std::string* text) override {
    platform::Variant args[] = {platform::Variant::Long(event_number), platform::Variant::LongRef(data),
                                platform::Variant::StringRef(text)};
    Invoke(ids_.direct_io, args);
  }
  void FireStatusUpdate(int32_t status) override {
    platform::Variant args[] = {platform::Variant::Long(status)};
    Invoke(ids_.status_update, args);
  }

 private:
  void Invoke(platform::DispId id, std::span<platform::Variant> args) {
    if (control_object_ == nullptr || id == platform::kDispIdUnknown) return;
    control_object_->Invoke(id, args, nullptr);
  }

  platform::IDispatch* control_object_;
  const CCashChanger::EventIds& ids_;
};

void DisposeRecord(uintptr_t, intptr_t lparam) { delete reinterpret_cast<events::EventRecord*>(lparam); }
void DisposeFired(uintptr_t wparam, intptr_t) { delete reinterpret_cast<events::EventRecord*>(wparam); }
void DisposePayload(uintptr_t wparam, intptr_t) { delete reinterpret_cast<WindowPayload*>(wparam); }

bool IsQueueItMessage(platform::MessageId id) {
  const WindowMessages& m = RegisteredMessages();
  return id == m.query_take_back_retry || id == m.happen_reject || id == m.happen_caset || id == m.happen_caset_dsp;
}

}  // namespace

// --- the host side --------------------------------------------------------------

void CCashChanger::QueueStatusUpdate(int32_t value) { events_.QueueStatusUpdate(value); }

void CCashChanger::QueueDataEvent(const DispenseRecord& counts) {
  events_.Queue(events::EventRecord::Data(0, counts.slot));
}

void CCashChanger::QueueDirectIoEvent(int32_t event_number, int32_t data, std::string text) {
  events_.Queue(events::EventRecord::DirectIO(event_number, data, std::move(text)));
}


void CCashChanger::PostToWindow(std::string_view message, WindowPayload payload) {
  const platform::MessageId id = platform::RegisterMessageName(message);
  const platform::WindowHandle window = window_handle_.load();
  if (IsQueueItMessage(id)) {
    // The notifications and the take-back question travel as the event
    // record that the window appends to the queue.
    const auto* notice = std::get_if<DirectIoNotice>(&payload);
    if (notice == nullptr) return;
    auto* record =
        events::EventRecord::DirectIO(notice->event_number, notice->data, notice->text, notice->answer).release();
    if (platform::PostMessage(window, id, 0, reinterpret_cast<intptr_t>(record), DisposeRecord) !=
        platform::PostResult::kPosted) {
      delete record;
    }
    return;
  }
  auto* owned = new WindowPayload(std::move(payload));
  if (platform::PostMessage(window, id, reinterpret_cast<uintptr_t>(owned), 0, DisposePayload) !=
      platform::PostResult::kPosted) {
    delete owned;
  }
}

// --- the window ----------------------------------------------------------------------

void CCashChanger::InstallWindowHandlers() {
  const WindowMessages& m = RegisteredMessages();
  window_->SetHandler(m.co_fire_event_notify, [this](uintptr_t wparam, intptr_t) {
    std::unique_ptr<events::EventRecord> record(reinterpret_cast<events::EventRecord*>(wparam));
    DispatchSink sink(control_object_, event_ids_);
    events_.FireEvent(std::move(record), sink);
    return intptr_t{0};
  });
  async_.Install(*window_);
  for (platform::MessageId id : {m.query_take_back_retry, m.happen_reject, m.happen_caset, m.happen_caset_dsp}) {
    window_->SetHandler(id, [this](uintptr_t, intptr_t lparam) {
      events_.Queue(std::unique_ptr<events::EventRecord>(reinterpret_cast<events::EventRecord*>(lparam)));
      return intptr_t{0};
    });
  }
}

bool CCashChanger::PostFireEvent(std::unique_ptr<events::EventRecord> record) {
  auto* raw = record.release();
  if (platform::PostMessage(window_handle_.load(), RegisteredMessages().co_fire_event_notify,
                            reinterpret_cast<uintptr_t>(raw), 0, DisposeFired) == platform::PostResult::kPosted) {
    return true;
  }
  delete raw;
  return false;
}

}  // namespace vexokrt::service
