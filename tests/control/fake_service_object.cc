// SPDX-License-Identifier: Apache-2.0
// A service object library for the control's tests, registered in a test's
// registry and created through it like the real one. What the next object
// does is read from VEXOKRT_FAKE_SO when it is created, items separated by
// ';':
//   version=N      ServiceObjectVersion answers N (default 1006000)
//   lacks=MEMBER   GetIDsOfNames does not know MEMBER
//   open=R,O       OpenService answers R and GetOpenResult O (default 0,0)
// It keeps the names of the members called, in order; GetPropertyString of
// index kCallsIndex answers them, separated by ','.
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"
#include "platform/reg_file.h"

namespace {

using vexokrt::platform::DispId;
using vexokrt::platform::Guid;
using vexokrt::platform::HRESULT;
using vexokrt::platform::Variant;
namespace platform = vexokrt::platform;

constexpr int32_t kCallsIndex = 999;
constexpr Guid kFakeClsid{0x5EC0FA4E, 0x1234, 0x4321, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

// The 1.6 members and one of a later release.
const char* const kMembers[] = {
    "GetPropertyNumber", "SetPropertyNumber", "GetPropertyString", "SetPropertyString", "OpenService",
    "Close",             "Claim",             "Release",           "CheckHealth",       "DirectIO",
    "COFreezeEvents",    "DispenseCash",      "DispenseChange",    "ReadCashCounts",    "ClearInput",
    "BeginDeposit",      "EndDeposit",        "FixDeposit",        "PauseDeposit",      "GetOpenResult",
    "ClaimDevice",       "ReleaseDevice",     "ResetStatistics"};

int live_objects = 0;

class FakeServiceObject final : public platform::IDispatch {
 public:
  FakeServiceObject() {
    ++live_objects;
    const char* given = std::getenv("VEXOKRT_FAKE_SO");
    std::string settings = given != nullptr ? given : "";
    size_t start = 0;
    while (start <= settings.size()) {
      size_t end = settings.find(';', start);
      if (end == std::string::npos) end = settings.size();
      const std::string item = settings.substr(start, end - start);
      if (item.rfind("version=", 0) == 0) version_ = std::atoi(item.c_str() + 8);
      if (item.rfind("lacks=", 0) == 0) lacks_ = item.substr(6);
      if (item.rfind("open=", 0) == 0) {
        open_result_ = std::atoi(item.c_str() + 5);
        const size_t comma = item.find(',');
        if (comma != std::string::npos) open_reason_ = std::atoi(item.c_str() + comma + 1);
      }
      start = end + 1;
    }
  }
  ~FakeServiceObject() { --live_objects; }

  HRESULT QueryInterface(const Guid& iid, void** object) override {
    if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
      AddRef();
      *object = static_cast<platform::IDispatch*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override {
    const uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetIDsOfNames(std::string_view name, DispId* id) override {
    for (size_t i = 0; i < std::size(kMembers); ++i) {
      if (platform::RegNamesEqual(kMembers[i], name) && lacks_ != kMembers[i]) {
        *id = static_cast<DispId>(i + 1);
        return platform::S_OK;
      }
    }
    return platform::DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DispId id, std::span<Variant> args, Variant* result) override {
    if (id < 1 || static_cast<size_t>(id) > std::size(kMembers)) return platform::DISP_E_MEMBERNOTFOUND;
    const std::string member = kMembers[id - 1];
    if (!calls_.empty()) calls_ += ",";
    calls_ += member;
    int32_t answer = 0;
    if (member == "OpenService") answer = open_result_;
    if (member == "GetOpenResult") answer = open_reason_;
    if (member == "GetPropertyNumber" && !args.empty() && args[0].AsLong() != nullptr && *args[0].AsLong() == 8) {
      answer = version_;
    }
    if (member == "GetPropertyString") {
      if (result != nullptr) *result = Variant::String(calls_);
      return platform::S_OK;
    }
    if (result != nullptr) *result = Variant::Long(answer);
    return platform::S_OK;
  }

 private:
  uint32_t references_ = 1;
  int32_t version_ = 1006000;
  std::string lacks_;
  int32_t open_result_ = 0;
  int32_t open_reason_ = 0;
  std::string calls_;
};

class FakeFactory final : public platform::IClassFactory {
 public:
  HRESULT QueryInterface(const Guid& iid, void** object) override {
    if (iid == platform::IID_IUnknown || iid == platform::IID_IClassFactory) {
      *object = static_cast<platform::IClassFactory*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  HRESULT CreateInstance(platform::IUnknown* outer, const Guid& iid, void** object) override {
    *object = nullptr;
    if (outer != nullptr) return platform::CLASS_E_NOAGGREGATION;
    auto* made = new FakeServiceObject();
    const HRESULT hr = made->QueryInterface(iid, object);
    made->Release();
    return hr;
  }
  HRESULT LockServer(bool) override { return platform::S_OK; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid,
                                                                            void** object) {
  static FakeFactory factory;
  *object = nullptr;
  if (!(*clsid == kFakeClsid)) return platform::CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(*iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return live_objects == 0 ? platform::S_OK : platform::S_FALSE;
}
