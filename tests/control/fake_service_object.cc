// SPDX-License-Identifier: Apache-2.0
// A service object library for the control's tests, registered in a test's
// registry and created through it like the real one. What the next object
// does is read from VEXOKRT_FAKE_SO when it is created, items separated by
// ';':
//   version=N      ServiceObjectVersion answers N (default 1006000)
//   lacks=MEMBER   GetIDsOfNames does not know MEMBER
//   open=R,O       OpenService answers R and GetOpenResult O (default 0,0)
// It has every member up to release 1.14 whatever version it reports, so
// that a call the control should not make would reach it. It keeps the
// names of the members called, in order, a property member with its index
// ("GetPropertyNumber(13010)"); GetPropertyString of index kCallsIndex
// answers them, separated by ',', and starts a new list. GetPropertyString
// of kLookupsIndex answers the later releases' members that GetIDsOfNames
// was asked for.
//
// A property of a later release answers what was set, else its index
// modulo 100 (13012 answers 12). RetrieveStatistics answers a document
// that holds its request; CompareFirmwareVersion answers 3, newer.
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "platform/reg_file.h"
#include "service/properties.h"

namespace {

using vexokrt::platform::DispId;
using vexokrt::platform::Guid;
using vexokrt::platform::HRESULT;
using vexokrt::platform::Variant;
namespace platform = vexokrt::platform;

constexpr int32_t kCallsIndex = 999;
constexpr int32_t kLookupsIndex = 998;
constexpr Guid kFakeClsid{0x5EC0FA4E, 0x1234, 0x4321, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

// The 1.6 members, then those of releases 1.8 to 1.11.
const char* const kMembers[] = {
    "GetPropertyNumber", "SetPropertyNumber", "GetPropertyString", "SetPropertyString", "OpenService",
    "Close",             "Claim",             "Release",           "CheckHealth",       "DirectIO",
    "COFreezeEvents",    "DispenseCash",      "DispenseChange",    "ReadCashCounts",    "ClearInput",
    "BeginDeposit",      "EndDeposit",        "FixDeposit",        "PauseDeposit",      "GetOpenResult",
    "ClaimDevice",       "ReleaseDevice",     "ResetStatistics",   "RetrieveStatistics", "UpdateStatistics",
    "CompareFirmwareVersion", "UpdateFirmware", "AdjustCashCounts"};
constexpr size_t kFirstLaterMember = 22;

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
        if (i >= kFirstLaterMember) lookups_ += (lookups_.empty() ? "" : ",") + std::string(kMembers[i]);
        *id = static_cast<DispId>(i + 1);
        return platform::S_OK;
      }
    }
    return platform::DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DispId id, std::span<Variant> args, Variant* result) override {
    if (id < 1 || static_cast<size_t>(id) > std::size(kMembers)) return platform::DISP_E_MEMBERNOTFOUND;
    const std::string member = kMembers[id - 1];
    const bool property = member.find("Property") != std::string::npos;
    const int32_t index = property && !args.empty() && args[0].AsLong() != nullptr ? *args[0].AsLong() : 0;
    if (!calls_.empty()) calls_ += ",";
    calls_ += property ? member + "(" + std::to_string(index) + ")" : member;
    int32_t answer = 0;
    if (member == "OpenService") answer = open_result_;
    if (member == "GetOpenResult") answer = open_reason_;
    if (member == "GetPropertyNumber") answer = Number(index);
    if (member == "SetPropertyNumber" && args.size() == 2 && args[1].AsLong() != nullptr) {
      set_numbers_.emplace_back(index, *args[1].AsLong());
    }
    if (member == "GetPropertyString") {
      std::string text;
      if (index == kCallsIndex) text = std::exchange(calls_, {});
      if (index == kLookupsIndex) text = lookups_;
      if (result != nullptr) *result = Variant::String(text);
      return platform::S_OK;
    }
    if (member == "RetrieveStatistics") {
      if (args.size() != 1 || args[0].AsStringRef() == nullptr) return platform::DISP_E_TYPEMISMATCH;
      std::string& buffer = *args[0].AsStringRef();
      buffer = "<UPOSStat request=\"" + buffer + "\"></UPOSStat>";
    }
    if (member == "CompareFirmwareVersion") {
      if (args.size() != 2 || args[1].AsLongRef() == nullptr) return platform::DISP_E_TYPEMISMATCH;
      *args[1].AsLongRef() = 3;
    }
    if (result != nullptr) *result = Variant::Long(answer);
    return platform::S_OK;
  }

 private:
  int32_t Number(int32_t index) const {
    if (index == vexokrt::service::pidx::kServiceObjectVersion) return version_;
    for (auto it = set_numbers_.rbegin(); it != set_numbers_.rend(); ++it) {
      if (it->first == index) return it->second;
    }
    const vexokrt::service::PropertyInfo* info = vexokrt::service::FindProperty(index);
    return info != nullptr && info->since_minor > 0 ? index % 100 : 0;
  }

  uint32_t references_ = 1;
  int32_t version_ = 1006000;
  std::string lacks_;
  int32_t open_result_ = 0;
  int32_t open_reason_ = 0;
  std::string calls_;
  std::string lookups_;
  std::vector<std::pair<int32_t, int32_t>> set_numbers_;
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
