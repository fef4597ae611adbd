// SPDX-License-Identifier: Apache-2.0
// The path a Control Object takes: registration through the library's own
// export, then activation from the device name through the registry to an
// object of the real libvexokrt77.so.
#include "platform/activation.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>

#include "fake_control_object.h"
#include "platform/registry.h"
#include "service/module.h"
#include "support/failing_allocations.h"
#include "support/temp_dir.h"

namespace vexokrt::platform {
namespace {

using testing::FailingAllocations;
using testing::FakeControlObject;
using testing::TempDir;

constexpr char kLibrary[] = VEXOKRT77_LIBRARY_PATH;
constexpr char kProgId[] = "OPOS.CashChanger.Vexo-KRT77";

class ActivationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1);
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    std::string error;
    library_ = LoadedLibrary::Open(kLibrary, &error);
    ASSERT_TRUE(library_.loaded()) << error;
  }
  void TearDown() override {
    ::unsetenv("OPOS_REGISTRY_DIR");
    ::unsetenv("OPOS_LOCK_DIR");
  }
  HRESULT CallExport(const char* name) {
    auto function = reinterpret_cast<DllRegisterServerFunction>(library_.Symbol(name));
    return function == nullptr ? E_FAIL : function();
  }
  void AddDevice(const std::string& name, const std::string& prog_id = kProgId) {
    const std::string key = OposDeviceKeyPath("CashChanger", name);
    ASSERT_EQ(RegSetString(RegRoot::kLocalMachine, key, "", prog_id), RegResult::kOk);
    ASSERT_EQ(RegSetString(RegRoot::kLocalMachine, key, "LogFolderName", dir_.prefix()), RegResult::kOk);
  }
  int32_t Call(IDispatch* object, std::string_view member, std::vector<Variant> args = {}) {
    DispId id = kDispIdUnknown;
    EXPECT_EQ(object->GetIDsOfNames(member, &id), S_OK);
    Variant result;
    EXPECT_EQ(object->Invoke(id, args, &result), S_OK);
    return result.AsLong() != nullptr ? *result.AsLong() : -9999;
  }

  TempDir dir_;
  LoadedLibrary library_;
};

TEST_F(ActivationTest, LibraryExportsExactlyTheFourEntryPoints) {
  for (const char* name : {kDllGetClassObjectName, kDllCanUnloadNowName, kDllRegisterServerName,
                           kDllUnregisterServerName}) {
    EXPECT_NE(library_.Symbol(name), nullptr) << name;
  }
  // Everything else stays inside: the service object's own code, and the
  // code of the static libraries linked into it.
  EXPECT_EQ(library_.Symbol("_ZN7vexokrt7service12CCashChangerC1Ev"), nullptr);
  EXPECT_EQ(library_.Symbol("_ZN7vexokrt7service14GetClassObjectERKNS_8platform4GuidES4_PPv"), nullptr);
  EXPECT_EQ(library_.Symbol("_ZN7vexokrt6config16ReadDeviceConfigESt17basic_string_viewIcSt11char_traitsIcEEPNS0_12DeviceConfigE"),
            nullptr);
}

TEST_F(ActivationTest, RegisterActivateOpenCloseAndUnload) {
  ASSERT_EQ(CallExport(kDllRegisterServerName), S_OK);
  ASSERT_EQ(CallExport(kDllRegisterServerName), S_OK) << "twice is fine";
  AddDevice("Changer1");

  ActivatedObject activated = ActivateServiceObject("CashChanger", "Changer1");
  ASSERT_EQ(activated.error, ActivationError::kNone) << activated.message;
  ASSERT_TRUE(activated.object);
  EXPECT_EQ(activated.prog_id, kProgId);
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath(kLibrary, resolved), nullptr);
  EXPECT_EQ(activated.library_path, resolved) << "registered as an absolute path found by the library itself";

  FakeControlObject control_object;
  EXPECT_EQ(Call(activated.object.get(), "OpenService",
                 {Variant::String("CashChanger"), Variant::String("Changer1"), Variant::Dispatch(&control_object)}),
            0);
  EXPECT_EQ(Call(activated.object.get(), "GetOpenResult"), 0);
  EXPECT_EQ(control_object.asked().size(), 3u);
  EXPECT_EQ(CallExport(kDllCanUnloadNowName), S_FALSE) << "an object is alive";
  EXPECT_EQ(Call(activated.object.get(), "Close"), 0);
  activated.object.Reset();
  EXPECT_EQ(CallExport(kDllCanUnloadNowName), S_OK);

  EXPECT_EQ(CallExport(kDllUnregisterServerName), S_OK);
  EXPECT_EQ(ActivateServiceObject("CashChanger", "Changer1").error, ActivationError::kProgIdNotRegistered);
  EXPECT_EQ(CallExport(kDllUnregisterServerName), S_OK) << "nothing left to remove";
}

TEST_F(ActivationTest, EachMissingLinkIsReportedClearly) {
  ActivatedObject result = ActivateServiceObject("CashChanger", "Nobody");
  EXPECT_EQ(result.error, ActivationError::kNoDeviceKey);
  EXPECT_NE(result.message.find("Nobody"), std::string::npos) << result.message;

  ASSERT_EQ(RegCreateKey(RegRoot::kLocalMachine, OposDeviceKeyPath("CashChanger", "NoProgId")), RegResult::kOk);
  EXPECT_EQ(ActivateServiceObject("CashChanger", "NoProgId").error, ActivationError::kNoProgId);

  AddDevice("Unregistered");
  result = ActivateServiceObject("CashChanger", "Unregistered");
  EXPECT_EQ(result.error, ActivationError::kProgIdNotRegistered);
  EXPECT_NE(result.message.find(kProgId), std::string::npos) << result.message;

  AddDevice("BadClsid", "Bad.Prog");
  ASSERT_EQ(RegSetString(RegRoot::kLocalMachine, "Software\\Classes\\Bad.Prog\\CLSID", "", "not-a-guid"), RegResult::kOk);
  EXPECT_EQ(ActivateServiceObject("CashChanger", "BadClsid").error, ActivationError::kBadClassId);

  AddDevice("NoServer", "NoServer.Prog");
  ASSERT_EQ(RegSetString(RegRoot::kLocalMachine, "Software\\Classes\\NoServer.Prog\\CLSID", "",
                         "{11111111-2222-3333-4444-555555555555}"),
            RegResult::kOk);
  EXPECT_EQ(ActivateServiceObject("CashChanger", "NoServer").error, ActivationError::kClassNotRegistered);

  ASSERT_EQ(RegSetString(RegRoot::kLocalMachine,
                         "Software\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", "",
                         dir_.file("missing.so")),
            RegResult::kOk);
  result = ActivateServiceObject("CashChanger", "NoServer");
  EXPECT_EQ(result.error, ActivationError::kLibraryNotLoaded);
  EXPECT_NE(result.message.find("missing.so"), std::string::npos) << result.message;

  // A library that serves another class: registered under a foreign class id.
  ASSERT_EQ(RegSetString(RegRoot::kLocalMachine,
                         "Software\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", "",
                         kLibrary),
            RegResult::kOk);
  result = ActivateServiceObject("CashChanger", "NoServer");
  EXPECT_EQ(result.error, ActivationError::kNoClassFactory);
  EXPECT_EQ(result.hr, CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(result.object);
}

// A Control Object that throws when the object looks up its event members.
class ThrowingControlObject final : public IDispatch {
 public:
  HRESULT QueryInterface(const Guid&, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  HRESULT GetIDsOfNames(std::string_view, DispId*) override { throw std::runtime_error("control object failed"); }
  HRESULT Invoke(DispId, std::span<Variant>, Variant*) override { return S_OK; }
};

// No C++ exception leaves the library: an allocation failing inside an entry
// point, the factory or Invoke gives E_OUTOFMEMORY, any other exception the
// call's own error code.
TEST_F(ActivationTest, ExceptionsBecomeErrorCodesAtTheLibrarysInterfaces) {
  ComPtr<IClassFactory> factory;
  auto get_class_object = reinterpret_cast<DllGetClassObjectFunction>(library_.Symbol(kDllGetClassObjectName));
  ASSERT_NE(get_class_object, nullptr);
  ASSERT_EQ(get_class_object(&service::kCashChangerClsid, &IID_IClassFactory, factory.OutSlot()), S_OK);
  ComPtr<IDispatch> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.OutSlot()), S_OK);
  AddDevice("Changer1");
  ThrowingControlObject throwing;
  std::vector<Variant> open_args = {Variant::String("CashChanger"), Variant::String("Changer1"),
                                    Variant::Dispatch(&throwing)};
  DispId open_id = kDispIdUnknown;
  ASSERT_EQ(object->GetIDsOfNames("OpenService", &open_id), S_OK);
  void* created = &created;

  struct Case {
    const char* what;
    bool fail_allocations;
    std::function<HRESULT()> call;
    HRESULT expected;
  };
  const Case cases[] = {
      {"DllRegisterServer", true, [&] { return CallExport(kDllRegisterServerName); }, E_OUTOFMEMORY},
      {"DllUnregisterServer", true, [&] { return CallExport(kDllUnregisterServerName); }, E_OUTOFMEMORY},
      {"CreateInstance", true, [&] { return factory->CreateInstance(nullptr, IID_IDispatch, &created); },
       E_OUTOFMEMORY},
      {"Invoke without memory", true, [&] { return object->Invoke(open_id, open_args, nullptr); }, E_OUTOFMEMORY},
      {"Invoke with a throwing member", false, [&] { return object->Invoke(open_id, open_args, nullptr); },
       DISP_E_EXCEPTION},
  };
  for (const Case& c : cases) {
    HRESULT hr = S_OK;
    bool escaped = false;
    try {
      std::optional<FailingAllocations> failing;
      if (c.fail_allocations) failing.emplace();
      hr = c.call();
    } catch (...) {
      escaped = true;
    }
    EXPECT_FALSE(escaped) << c.what << ": an exception left the library";
    if (!escaped) {
      EXPECT_EQ(HresultText(hr), HresultText(c.expected)) << c.what;
    }
  }
  EXPECT_EQ(created, nullptr) << "no object handed out";
  // The library still works afterwards.
  EXPECT_EQ(CallExport(kDllRegisterServerName), S_OK);
  EXPECT_EQ(CallExport(kDllUnregisterServerName), S_OK);
}

}  // namespace
}  // namespace vexokrt::platform
