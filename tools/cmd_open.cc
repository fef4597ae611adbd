// SPDX-License-Identifier: Apache-2.0
// vexokrt open NAME: do what a point-of-sale application does through its
// Control Object: create the service object of the device through the
// registry, open it, report the outcome and close it. The program's own
// Control Object prints the events it receives.
#include <cstdio>
#include <memory>

#include "command_registry.h"
#include "control/names.h"
#include "platform/activation.h"
#include "platform/com.h"
#include "platform/message_window.h"
#include "platform/reg_file.h"

namespace vexokrt::tools {
namespace {

using platform::DispId;
using platform::HRESULT;
using platform::Variant;

// The three event members the service object looks up and calls.
class PrintingControlObject final : public platform::IDispatch {
 public:
  HRESULT QueryInterface(const platform::Guid& iid, void** object) override {
    if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
      *object = static_cast<platform::IDispatch*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  // Lives for the whole command; the service object holds no reference.
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }

  HRESULT GetIDsOfNames(std::string_view name, DispId* id) override {
    for (DispId i = 0; i < 3; ++i) {
      if (platform::RegNamesEqual(kMembers[i], name)) {
        *id = i + 1;
        return platform::S_OK;
      }
    }
    return platform::DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DispId id, std::span<Variant> args, Variant*) override {
    switch (id) {
      case 1: {  // SODirectIO(EventNumber, pData, pString)
        if (args.size() != 3 || !args[0].AsLong() || !args[1].AsLongRef() || !args[2].AsStringRef()) {
          return platform::DISP_E_TYPEMISMATCH;
        }
        std::printf("event SODirectIO: EventNumber %d, pData %d, pString \"%s\"\n", *args[0].AsLong(),
                    *args[1].AsLongRef(), args[2].AsStringRef()->c_str());
        return platform::S_OK;
      }
      case 2:  // SOStatusUpdate(Data)
      case 3:  // SOData(Status)
        if (args.size() != 1 || !args[0].AsLong()) return platform::DISP_E_TYPEMISMATCH;
        std::printf("event %s: %d\n", kMembers[id - 1], *args[0].AsLong());
        return platform::S_OK;
      default:
        return platform::DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  static constexpr const char* kMembers[3] = {"SODirectIO", "SOStatusUpdate", "SOData"};
};

int32_t Call(platform::IDispatch* object, std::string_view member, std::vector<Variant> args, bool* ok) {
  DispId id = platform::kDispIdUnknown;
  Variant result;
  HRESULT hr = object->GetIDsOfNames(member, &id);
  if (platform::SUCCEEDED(hr)) hr = object->Invoke(id, args, &result);
  if (platform::FAILED(hr) || result.AsLong() == nullptr) {
    std::fprintf(stderr, "vexokrt: calling %.*s failed with %s\n", static_cast<int>(member.size()), member.data(),
                 platform::HresultText(hr).c_str());
    *ok = false;
    return -1;
  }
  return *result.AsLong();
}

int RunOpen(const std::string& name) {
  platform::ActivatedObject service = platform::ActivateServiceObject("CashChanger", name);
  if (service.error != platform::ActivationError::kNone) {
    std::fprintf(stderr, "vexokrt: %s\n", service.message.c_str());
    return 1;
  }
  std::printf("service object %s (%s) from %s\n", service.prog_id.c_str(), service.clsid.ToString().c_str(),
              service.library_path.c_str());

  PrintingControlObject control_object;
  bool ok = true;
  const int32_t opened = Call(service.object.get(), "OpenService",
                              {Variant::String("CashChanger"), Variant::String(name), Variant::Dispatch(&control_object)},
                              &ok);
  const int32_t open_result = Call(service.object.get(), "GetOpenResult", {}, &ok);
  std::printf("OpenService: %d, GetOpenResult: %d\n", opened, open_result);
  // Whatever the service object posted to its window is handled before closing.
  platform::PumpMessages();
  const int32_t closed = Call(service.object.get(), "Close", {}, &ok);
  std::printf("Close: %d\n", closed);
  const auto result_name = [](int32_t result) {
    const char* n = NameOf(NameTable::kResultCode, result);
    return n != nullptr ? n : "";
  };
  if (ok && opened != 0) std::fprintf(stderr, "vexokrt open: OpenService failed: result %d %s\n", opened, result_name(opened));
  if (ok && closed != 0) std::fprintf(stderr, "vexokrt open: Close failed: result %d %s\n", closed, result_name(closed));
  return ok && opened == 0 && closed == 0 ? kExitSuccess : kExitFailure;
}

const CommandRegistration kOpenCommand{[] {
  auto name = std::make_shared<std::string>();
  Command command{"open", "Create a device's service object through the registry, open and close it"};
  command.Add("NAME", name.get(), "OPOS device name").Required();
  command.run = [name] { return RunOpen(*name); };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
