// pos_change: what a point-of-sale application does with a cash changer.
//
//   pos_change DEVICE [AMOUNT]
//
// Creates the service object of the OPOS CashChanger device DEVICE through
// the registry (as a Control Object does), opens, claims and enables it,
// waits in its own poll loop on the message pump's file descriptor for the
// device to come online, reads the counts, pays out AMOUNT yen of change
// (default 1500), and releases and closes. Every event the service object
// fires (status updates, data, direct I/O) is printed as it arrives.
//
// Build it against the installed package:
//   c++ -std=c++20 pos_change.cc $(pkg-config --cflags --libs vexokrt) -o pos_change
// and run it after `vexokrt register` and `vexokrt config DEVICE --set Port=/dev/ttyUSB0`.
// Exit status: 0 when the session (open, claim, enable, release, close) went
// through; the results of reading the counts and of the pay-out are printed
// (an application would show them to the operator).
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/activation.h"
#include "platform/com.h"
#include "platform/message_window.h"
#include "service/opos.h"
#include "service/properties.h"

namespace {

using vexokrt::platform::DispId;
using vexokrt::platform::HRESULT;
using vexokrt::platform::Variant;
namespace platform = vexokrt::platform;
namespace pidx = vexokrt::service::pidx;
namespace opos = vexokrt::opos;

// The application's side of the events: the service object looks these
// three members up by name and calls them on the application's thread, while
// the application pumps its messages.
class Events final : public platform::IDispatch {
 public:
  int32_t last_status = 0;
  int count = 0;

  HRESULT QueryInterface(const platform::Guid& iid, void** object) override {
    if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
      *object = static_cast<platform::IDispatch*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  // Lives on main's stack for the whole session.
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }

  HRESULT GetIDsOfNames(std::string_view name, DispId* id) override {
    const char* names[] = {"SOStatusUpdate", "SOData", "SODirectIO"};
    for (DispId i = 0; i < 3; ++i) {
      if (platform::RegNamesEqual(names[i], name)) {
        *id = i + 1;
        return platform::S_OK;
      }
    }
    return platform::DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DispId id, std::span<Variant> args, Variant*) override {
    ++count;
    switch (id) {
      case 1:  // SOStatusUpdate(Data)
        if (args.size() != 1 || args[0].AsLong() == nullptr) return platform::DISP_E_TYPEMISMATCH;
        last_status = *args[0].AsLong();
        std::printf("event status %d%s\n", last_status, StatusText(last_status));
        return platform::S_OK;
      case 2:  // SOData(Status)
        if (args.size() != 1 || args[0].AsLong() == nullptr) return platform::DISP_E_TYPEMISMATCH;
        std::printf("event data %d\n", *args[0].AsLong());
        return platform::S_OK;
      case 3:  // SODirectIO(EventNumber, pData, pString): the handler may answer through pData.
        if (args.size() != 3 || args[0].AsLong() == nullptr || args[1].AsLongRef() == nullptr ||
            args[2].AsStringRef() == nullptr) {
          return platform::DISP_E_TYPEMISMATCH;
        }
        std::printf("event direct-io %d data %d text \"%s\"\n", *args[0].AsLong(), *args[1].AsLongRef(),
                    args[2].AsStringRef()->c_str());
        return platform::S_OK;
      default:
        return platform::DISP_E_MEMBERNOTFOUND;
    }
  }

 private:
  static const char* StatusText(int32_t status) {
    switch (status) {
      case opos::OPOS_PS_ONLINE:
        return " (power online)";
      case opos::OPOS_PS_OFF_OFFLINE:
        return " (power off or offline)";
      case 11:
        return " (empty)";
      case 12:
        return " (near empty)";
      case 13:
        return " (empty ok)";
      case 31:
        return " (jam)";
      case 32:
        return " (jam ok)";
      default:
        return "";
    }
  }
};

// Calls a dispatch member by name; the member's long result, or -1 when the
// call itself failed.
int32_t Call(platform::IDispatch* so, std::string_view member, std::vector<Variant> args) {
  DispId id = platform::kDispIdUnknown;
  Variant result;
  HRESULT hr = so->GetIDsOfNames(member, &id);
  if (platform::SUCCEEDED(hr)) hr = so->Invoke(id, args, &result);
  if (platform::FAILED(hr) || result.AsLong() == nullptr) {
    std::fprintf(stderr, "pos_change: %.*s failed: %s\n", static_cast<int>(member.size()), member.data(),
                 platform::HresultText(hr).c_str());
    return -1;
  }
  return *result.AsLong();
}

int32_t SetNumber(platform::IDispatch* so, int32_t index, int32_t value) {
  DispId id = platform::kDispIdUnknown;
  std::vector<Variant> args = {Variant::Long(index), Variant::Long(value)};
  if (platform::FAILED(so->GetIDsOfNames("SetPropertyNumber", &id)) ||
      platform::FAILED(so->Invoke(id, args, nullptr))) {
    return -1;
  }
  return Call(so, "GetPropertyNumber", {Variant::Long(pidx::kResultCode)});
}

// The application's event loop: waits on the message pump's descriptor (an
// application would add its own descriptors to the same poll) and dispatches
// whatever the service object posted, until |done| or |limit_ms| passed.
template <typename Done>
void RunEvents(int limit_ms, Done done) {
  const int fd = platform::ThreadMessageFd();
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  platform::PumpMessages();
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd fds[1] = {{fd, POLLIN, 0}};
    if (::poll(fds, 1, static_cast<int>(left)) > 0) platform::PumpMessages();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: pos_change DEVICE [AMOUNT]\n");
    return 2;
  }
  const std::string device = argv[1];
  const int32_t amount = argc > 2 ? std::atoi(argv[2]) : 1500;

  platform::ActivatedObject activated = platform::ActivateServiceObject("CashChanger", device);
  if (activated.error != platform::ActivationError::kNone) {
    std::fprintf(stderr, "pos_change: %s\n", activated.message.c_str());
    return 1;
  }
  platform::IDispatch* so = activated.object.get();
  std::printf("service object %s from %s\n", activated.prog_id.c_str(), activated.library_path.c_str());

  Events events;
  bool ok = true;
  const int32_t opened = Call(so, "OpenService", {Variant::String("CashChanger"), Variant::String(device),
                                                  Variant::Dispatch(&events)});
  std::printf("OpenService: %d\n", opened);
  if (opened != opos::OPOS_SUCCESS) return 1;

  const int32_t claimed = Call(so, "ClaimDevice", {Variant::Long(3000)});
  std::printf("ClaimDevice: %d\n", claimed);
  if (claimed == opos::OPOS_SUCCESS) {
    ok = SetNumber(so, pidx::kPowerNotify, 1) == opos::OPOS_SUCCESS && ok;
    ok = SetNumber(so, pidx::kDeviceEnabled, 1) == opos::OPOS_SUCCESS && ok;
    ok = SetNumber(so, pidx::kDataEventEnabled, 1) == opos::OPOS_SUCCESS && ok;
    RunEvents(3000, [&] { return events.last_status == opos::OPOS_PS_ONLINE; });
    std::printf("DeviceStatus: %d\n", Call(so, "GetPropertyNumber", {Variant::Long(pidx::kDeviceStatus)}));

    std::string counts;
    bool discrepancy = false;
    const int32_t read = Call(so, "ReadCashCounts", {Variant::StringRef(&counts), Variant::BoolRef(&discrepancy)});
    std::printf("ReadCashCounts: %d counts \"%s\" discrepancy %d\n", read, counts.c_str(), discrepancy ? 1 : 0);

    const int32_t paid = Call(so, "DispenseChange", {Variant::Long(amount)});
    std::printf("DispenseChange(%d): %d", amount, paid);
    if (paid == opos::OPOS_E_EXTENDED) {
      std::printf(" extended %d", Call(so, "GetPropertyNumber", {Variant::Long(pidx::kResultCodeExtended)}));
    }
    std::printf("\n");
    RunEvents(500, [] { return false; });

    SetNumber(so, pidx::kDeviceEnabled, 0);
    const int32_t released = Call(so, "ReleaseDevice", {});
    std::printf("ReleaseDevice: %d\n", released);
    ok = released == opos::OPOS_SUCCESS && ok;
  }
  const int32_t closed = Call(so, "Close", {});
  std::printf("Close: %d (%d events)\n", closed, events.count);
  return ok && claimed == opos::OPOS_SUCCESS && closed == opos::OPOS_SUCCESS ? 0 : 1;
}
