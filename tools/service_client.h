// SPDX-License-Identifier: Apache-2.0
// What the demo and the shell share: a Control Object that receives the
// service object's events, calls of dispatch members by name, and the
// registry set-up of a device key.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"

namespace vexokrt::tools {

// One event as the Control Object received it.
struct ReceivedEvent {
  std::string member;  // "SOData", "SOStatusUpdate" or "SODirectIO"
  int32_t number = 0;  // Status, Data or EventNumber
  int32_t data = 0;    // SODirectIO only: pData
  std::string text;    // SODirectIO only: pString
};

// The Control Object's side of the events. Lives as long as its owner; the
// service object holds no reference. |on_event| runs on the thread that
// pumps the service object's window, inside the event call: a SODirectIO
// handler may change |data| and |text|, which the service object reads back.
class EventControlObject final : public platform::IDispatch {
 public:
  using Handler = std::function<void(ReceivedEvent& event)>;
  explicit EventControlObject(Handler on_event) : on_event_(std::move(on_event)) {}

  platform::HRESULT QueryInterface(const platform::Guid& iid, void** object) override;
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  platform::HRESULT GetIDsOfNames(std::string_view name, platform::DispId* id) override;
  platform::HRESULT Invoke(platform::DispId id, std::span<platform::Variant> args, platform::Variant* result) override;

 private:
  Handler on_event_;
};

// Calls |member| of |object| with |args|. The HRESULT of the look-up or of
// the call; |result| receives the member's result.
platform::HRESULT CallMember(platform::IDispatch* object, std::string_view member, std::span<platform::Variant> args,
                             platform::Variant* result);
// A long member's result; |*ok| turns false (and -1 is returned) when the
// call fails.
int32_t CallLong(platform::IDispatch* object, std::string_view member, std::vector<platform::Variant> args,
                 bool* ok);

// Registers the service object library |library_path| (its own
// DllRegisterServer) in the current registry folder. Empty on success, else
// what failed.
std::string RegisterServerLibrary(const std::string& library_path);

// Writes the key of CashChanger device |device_name| naming our service
// object, with |values| (name, text) as its settings. Empty on success.
std::string WriteDeviceKey(const std::string& device_name,
                           const std::vector<std::pair<std::string, std::string>>& values);

// A text in double quotes with backslash escapes for '"', '\' and control
// bytes, so that one result stays one line.
std::string Quoted(std::string_view text);

// The name of an SOStatusUpdate value ("near empty", "jam ok", "power online"
// ...); none for a value without one.
const char* StatusUpdateName(long status);

}  // namespace vexokrt::tools
