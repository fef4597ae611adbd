// SPDX-License-Identifier: Apache-2.0
#include "service/class_factory.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/activation.h"
#include "platform/registry.h"
#include "service/module.h"
#include "support/temp_dir.h"

namespace vexokrt::service {
namespace {

using platform::ComPtr;
using platform::RegResult;
using platform::RegRoot;
using testing::ReadFileBytes;
using testing::TempDir;

constexpr RegRoot kMachine = RegRoot::kLocalMachine;

class ClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1);
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("OPOS_REGISTRY_DIR");
    ::unsetenv("OPOS_LOCK_DIR");
  }
  std::string ClassKey() const { return "Software\\Classes\\CLSID\\" + kCashChangerClsid.ToString(); }
  std::string Default(const std::string& path) const {
    std::string text;
    return platform::RegQueryString(kMachine, path, "", &text) == RegResult::kOk ? text : "<none>";
  }

  TempDir dir_;
};

TEST_F(ClassFactoryTest, FactoryCreatesObjectsAndTheModuleUnloadsOnlyWhenAllAreGone) {
  ASSERT_EQ(CanUnloadNow(), platform::S_OK);
  ComPtr<platform::IClassFactory> factory;
  ASSERT_EQ(GetClassObject(kCashChangerClsid, platform::IID_IClassFactory, factory.OutSlot()), platform::S_OK);
  EXPECT_EQ(CanUnloadNow(), platform::S_FALSE) << "a held factory keeps the module";

  ComPtr<platform::IDispatch> first;
  ComPtr<platform::IDispatch> second;
  ASSERT_EQ(factory->CreateInstance(nullptr, platform::IID_IDispatch, first.OutSlot()), platform::S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, platform::IID_IDispatch, second.OutSlot()), platform::S_OK);
  EXPECT_NE(first.get(), second.get()) << "a new object for every request";
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), platform::S_FALSE);
  first.Reset();
  EXPECT_EQ(CanUnloadNow(), platform::S_FALSE);
  second.Reset();
  EXPECT_EQ(CanUnloadNow(), platform::S_OK);

  ASSERT_EQ(GetClassObject(kCashChangerClsid, platform::IID_IClassFactory, factory.OutSlot()), platform::S_OK);
  EXPECT_EQ(factory->LockServer(true), platform::S_OK);
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), platform::S_FALSE) << "a server lock keeps the module";
  ASSERT_EQ(GetClassObject(kCashChangerClsid, platform::IID_IClassFactory, factory.OutSlot()), platform::S_OK);
  EXPECT_EQ(factory->LockServer(false), platform::S_OK);
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), platform::S_OK);
}

TEST_F(ClassFactoryTest, OtherClassesInterfacesAndAggregationAreRefused) {
  void* object = reinterpret_cast<void*>(1);
  const platform::Guid other{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(GetClassObject(other, platform::IID_IClassFactory, &object), platform::CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(GetClassObject(kCashChangerClsid, platform::IID_IDispatch, &object), platform::E_NOINTERFACE);
  ComPtr<platform::IClassFactory> factory;
  ASSERT_EQ(GetClassObject(kCashChangerClsid, platform::IID_IClassFactory, factory.OutSlot()), platform::S_OK);
  platform::IUnknown* outer = factory.get();
  EXPECT_EQ(factory->CreateInstance(outer, platform::IID_IDispatch, &object), platform::CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, platform::IID_IClassFactory, &object), platform::E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  factory.Reset();
  EXPECT_EQ(CanUnloadNow(), platform::S_OK) << "the refused object did not stay alive";
}

TEST_F(ClassFactoryTest, RegisterWritesOneSetOfEntriesHoweverOftenItRuns) {
  ASSERT_EQ(RegisterServer("/opt/lib/libvexokrt77.so"), platform::S_OK);
  ASSERT_EQ(RegisterServer("/usr/lib/libvexokrt77.so"), platform::S_OK);
  EXPECT_EQ(Default("Software\\Classes\\OPOS.CashChanger.Vexo-KRT77\\CLSID"), kCashChangerClsid.ToString());
  EXPECT_EQ(Default(ClassKey() + "\\ProgID"), "OPOS.CashChanger.Vexo-KRT77");
  EXPECT_EQ(Default(ClassKey() + "\\InprocServer32"), "/usr/lib/libvexokrt77.so");
  std::vector<std::string> classes;
  ASSERT_EQ(platform::RegEnumSubkeys(kMachine, "Software\\Classes\\CLSID", &classes), RegResult::kOk);
  EXPECT_EQ(classes.size(), 1u);
  std::vector<platform::RegValue> values;
  ASSERT_EQ(platform::RegEnumValues(kMachine, ClassKey() + "\\InprocServer32", &values), RegResult::kOk);
  EXPECT_EQ(values.size(), 2u);
}

TEST_F(ClassFactoryTest, UnregisterWhenNeverRegisteredSucceeds) {
  EXPECT_EQ(UnregisterServer(), platform::S_OK);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("machine.reg"))) << "nothing written";
}

TEST_F(ClassFactoryTest, UnregisterRemovesTheEntriesAndKeepsEverythingElse) {
  ASSERT_EQ(platform::RegSetString(kMachine, "Software\\Classes\\Other.Prog\\CLSID", "", "{00000000-0000-0000-0000-000000000001}"),
            RegResult::kOk);
  ASSERT_EQ(RegisterServer("/opt/lib/libvexokrt77.so"), platform::S_OK);
  EXPECT_EQ(UnregisterServer(), platform::S_OK);
  EXPECT_EQ(platform::RegOpenKey(kMachine, ClassKey()), RegResult::kKeyNotFound);
  EXPECT_EQ(platform::RegOpenKey(kMachine, "Software\\Classes\\OPOS.CashChanger.Vexo-KRT77"), RegResult::kKeyNotFound);
  EXPECT_EQ(platform::RegOpenKey(kMachine, "Software\\Classes\\Other.Prog"), RegResult::kOk);
  EXPECT_EQ(UnregisterServer(), platform::S_OK) << "a second time finds nothing to do";
}

TEST_F(ClassFactoryTest, UnregisterLeavesAProgrammaticIdentifierTakenOverByAnotherClass) {
  ASSERT_EQ(RegisterServer("/opt/lib/libvexokrt77.so"), platform::S_OK);
  ASSERT_EQ(platform::RegSetString(kMachine, "Software\\Classes\\OPOS.CashChanger.Vexo-KRT77\\CLSID", "",
                                   "{00000000-0000-0000-0000-000000000002}"),
            RegResult::kOk);
  EXPECT_EQ(UnregisterServer(), platform::S_OK);
  EXPECT_EQ(platform::RegOpenKey(kMachine, ClassKey()), RegResult::kKeyNotFound);
  EXPECT_EQ(Default("Software\\Classes\\OPOS.CashChanger.Vexo-KRT77\\CLSID"), "{00000000-0000-0000-0000-000000000002}");
}

TEST_F(ClassFactoryTest, RegisterIntoAnUnparsableFileFailsAndKeepsTheFile) {
  const std::string garbage = "[[[ not a registry file";
  std::ofstream(dir_.file("machine.reg")) << garbage;
  EXPECT_EQ(RegisterServer("/opt/lib/libvexokrt77.so"), platform::SELFREG_E_CLASS);
  EXPECT_EQ(ReadFileBytes(dir_.file("machine.reg")), garbage);
}

}  // namespace
}  // namespace vexokrt::service
