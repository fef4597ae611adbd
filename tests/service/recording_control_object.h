// SPDX-License-Identifier: Apache-2.0
// A Control Object for tests that talk to the service object through its
// dispatch interface: it answers the three event members, records every
// event with its arguments, and lets a test choose what an SODirectIO
// handler leaves in pData.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/reg_file.h"

namespace vexokrt::testing {

struct FiredEvent {
  std::string member;
  int32_t number = 0;
  int32_t data = 0;
  std::string text;
  bool operator==(const FiredEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const FiredEvent& e) {
  return out << e.member << "(" << e.number << ")";
}

class RecordingControlObject final : public platform::IDispatch {
 public:
  platform::HRESULT QueryInterface(const platform::Guid& iid, void** object) override {
    if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
      *object = static_cast<platform::IDispatch*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }

  platform::HRESULT GetIDsOfNames(std::string_view name, platform::DispId* id) override {
    for (size_t i = 0; i < members_.size(); ++i) {
      if (platform::RegNamesEqual(members_[i], name)) {
        *id = static_cast<platform::DispId>(i + 1);
        return platform::S_OK;
      }
    }
    return platform::DISP_E_UNKNOWNNAME;
  }

  platform::HRESULT Invoke(platform::DispId id, std::span<platform::Variant> args, platform::Variant*) override {
    if (id < 1 || static_cast<size_t>(id) > members_.size()) return platform::DISP_E_MEMBERNOTFOUND;
    FiredEvent event;
    event.member = members_[static_cast<size_t>(id - 1)];
    if (event.member == "SODirectIO") {
      if (args.size() != 3 || !args[0].AsLong() || !args[1].AsLongRef() || !args[2].AsStringRef()) {
        return platform::DISP_E_TYPEMISMATCH;
      }
      event.number = *args[0].AsLong();
      event.data = *args[1].AsLongRef();
      event.text = *args[2].AsStringRef();
      if (direct_io_answer_) *args[1].AsLongRef() = direct_io_answer_(event);
    } else {
      if (args.size() != 1 || !args[0].AsLong()) return platform::DISP_E_TYPEMISMATCH;
      event.number = *args[0].AsLong();
    }
    events_.push_back(event);
    if (on_event_) on_event_(event);
    return platform::S_OK;
  }

  const std::vector<FiredEvent>& events() const { return events_; }
  void Clear() { events_.clear(); }
  // What an SODirectIO handler leaves in pData.
  void SetDirectIoAnswer(std::function<int32_t(const FiredEvent&)> answer) { direct_io_answer_ = std::move(answer); }
  // Runs inside each event call, after it is recorded.
  void SetOnEvent(std::function<void(const FiredEvent&)> on_event) { on_event_ = std::move(on_event); }

 private:
  std::vector<std::string> members_ = {"SODirectIO", "SOStatusUpdate", "SOData"};
  std::vector<FiredEvent> events_;
  std::function<int32_t(const FiredEvent&)> direct_io_answer_;
  std::function<void(const FiredEvent&)> on_event_;
};

}  // namespace vexokrt::testing
