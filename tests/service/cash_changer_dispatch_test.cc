// SPDX-License-Identifier: Apache-2.0
#include "service/cash_changer_dispatch.h"

#include <gtest/gtest.h>

#include <set>

#include "config/device_config.h"
#include "fake_control_object.h"
#include "platform/registry.h"
#include "service/opos.h"
#include "support/temp_dir.h"

namespace vexokrt::service {
namespace {

using platform::ComPtr;
using platform::DispId;
using platform::Variant;
using testing::FakeControlObject;
using testing::TempDir;

class CashChangerDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1);
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    // With a log folder of its own: without one the ExamLog lands in the working folder.
    ASSERT_EQ(platform::RegSetString(platform::RegRoot::kLocalMachine, config::DeviceKeyPath("Dev1"), "LogFolderName",
                                     dir_.prefix()),
              platform::RegResult::kOk);
    ASSERT_EQ(platform::RegSetString(platform::RegRoot::kLocalMachine, config::DeviceKeyPath("Dev1"), "Port",
                                     dir_.file("no-such-port")),
              platform::RegResult::kOk);
  }
  void TearDown() override {
    object_.Reset();
    ::unsetenv("OPOS_REGISTRY_DIR");
    ::unsetenv("OPOS_LOCK_DIR");
  }

  DispId Id(std::string_view name) {
    DispId id = platform::kDispIdUnknown;
    EXPECT_EQ(object_->GetIDsOfNames(name, &id), platform::S_OK) << name;
    return id;
  }
  // Calls |name| and returns its long result (-9999 when the call failed).
  int32_t Call(std::string_view name, std::vector<Variant> args = {}) {
    Variant result;
    if (object_->Invoke(Id(name), args, &result) != platform::S_OK || result.AsLong() == nullptr) return -9999;
    return *result.AsLong();
  }

  TempDir dir_;
  FakeControlObject control_object_;
  ComPtr<platform::IDispatch> object_ = ComPtr<platform::IDispatch>::Adopt(CashChangerDispatch::Create());
};

TEST_F(CashChangerDispatchTest, AllTwentyTwoMembersAreFoundByNameInAnyCase) {
  // The members of 1.6; the later ones only while a release that has them
  // is served (later_releases_test.cc).
  std::set<DispId> ids;
  for (std::string_view name : CashChangerMemberNames().first(22)) ids.insert(Id(name));
  EXPECT_EQ(ids.size(), 22u);
  DispId later = 0;
  for (std::string_view name : CashChangerMemberNames().subspan(22)) {
    EXPECT_EQ(object_->GetIDsOfNames(name, &later), platform::DISP_E_UNKNOWNNAME) << name;
  }
  EXPECT_EQ(Id("openservice"), Id("OpenService"));
  DispId id = 0;
  EXPECT_EQ(object_->GetIDsOfNames("Open", &id), platform::DISP_E_UNKNOWNNAME);
  EXPECT_EQ(object_->GetIDsOfNames("SOData", &id), platform::DISP_E_UNKNOWNNAME);
}

TEST_F(CashChangerDispatchTest, OpenGetOpenResultAndCloseByName) {
  EXPECT_EQ(Call("OpenService", {Variant::String("CashChanger"), Variant::String("NoSuchDevice"),
                                 Variant::Dispatch(&control_object_)}),
            opos::OPOS_E_NOSERVICE);
  EXPECT_EQ(Call("GetOpenResult"), opos::OPOS_OR_REGBADNAME);
  EXPECT_EQ(Call("OpenService", {Variant::String("CashChanger"), Variant::String("Dev1"),
                                 Variant::Dispatch(&control_object_)}),
            opos::OPOS_SUCCESS);
  EXPECT_EQ(Call("GetOpenResult"), 0);
  EXPECT_EQ(Call("GetPropertyNumber", {Variant::Long(9)}), opos::OPOS_S_IDLE);
  EXPECT_EQ(Call("Close"), opos::OPOS_SUCCESS);
  EXPECT_EQ(Call("GetPropertyNumber", {Variant::Long(9)}), opos::OPOS_S_CLOSED);
}

TEST_F(CashChangerDispatchTest, LaterMembersAnswerByName) {
  ASSERT_EQ(Call("OpenService", {Variant::String("CashChanger"), Variant::String("Dev1"),
                                 Variant::Dispatch(&control_object_)}),
            0);
  int32_t data = 3;
  std::string text = "x";
  bool discrepancy = true;
  EXPECT_EQ(Call("DirectIO", {Variant::Long(21), Variant::LongRef(&data), Variant::StringRef(&text)}), 103);
  EXPECT_EQ(Call("ReadCashCounts", {Variant::StringRef(&text), Variant::BoolRef(&discrepancy)}), 103);
  EXPECT_EQ(Call("DispenseCash", {Variant::String("1000:1")}), 103);
  EXPECT_EQ(Call("DispenseChange", {Variant::Long(1500)}), 103);
  EXPECT_EQ(Call("CheckHealth", {Variant::Long(1)}), 103);
  EXPECT_EQ(Call("ClearInput"), 103);
  EXPECT_EQ(Call("BeginDeposit"), 103);
  EXPECT_EQ(Call("EndDeposit", {Variant::Long(1)}), 103);
  EXPECT_EQ(Call("FixDeposit"), 103);
  EXPECT_EQ(Call("PauseDeposit", {Variant::Long(11)}), 103);
  EXPECT_EQ(Call("Release"), 106);
  EXPECT_EQ(Call("ReleaseDevice"), 106);
  EXPECT_EQ(Call("Claim", {Variant::Long(0)}), 107) << "no device on the port";
  EXPECT_EQ(Call("ClaimDevice", {Variant::Long(0)}), 107);
  EXPECT_EQ(Call("COFreezeEvents", {Variant::Bool(true)}), 0);

  Variant result = Variant::Long(1);
  std::vector<Variant> args = {Variant::Long(13004), Variant::Long(2)};
  EXPECT_EQ(object_->Invoke(Id("SetPropertyNumber"), args, &result), platform::S_OK);
  EXPECT_EQ(result.type(), Variant::Type::kEmpty) << "setters return nothing";
  EXPECT_EQ(Call("GetPropertyNumber", {Variant::Long(6)}), 103) << "their outcome is ResultCode";
  args = {Variant::Long(1013002), Variant::String("JPY")};
  EXPECT_EQ(object_->Invoke(Id("SetPropertyString"), args, nullptr), platform::S_OK);
  args = {Variant::Long(1000004)};
  ASSERT_EQ(object_->Invoke(Id("GetPropertyString"), args, &result), platform::S_OK);
  ASSERT_NE(result.AsString(), nullptr);
  EXPECT_EQ(*result.AsString(), "Vexo Cash Changer KRT 77/07/02 Service Object");
}

TEST_F(CashChangerDispatchTest, WrongArgumentsAreRefusedWithoutCallingTheMember) {
  std::vector<Variant> none;
  std::vector<Variant> one_string = {Variant::String("x")};
  std::vector<Variant> two_longs = {Variant::Long(1), Variant::Long(2)};
  EXPECT_EQ(object_->Invoke(Id("CheckHealth"), none, nullptr), platform::DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(object_->Invoke(Id("CheckHealth"), one_string, nullptr), platform::DISP_E_TYPEMISMATCH);
  EXPECT_EQ(object_->Invoke(Id("Close"), two_longs, nullptr), platform::DISP_E_BADPARAMCOUNT);
  std::vector<Variant> by_value = {Variant::Long(1), Variant::Long(2), Variant::String("x")};
  EXPECT_EQ(object_->Invoke(Id("DirectIO"), by_value, nullptr), platform::DISP_E_TYPEMISMATCH);
  std::vector<Variant> null_ref = {Variant::StringRef(nullptr), Variant::BoolRef(nullptr)};
  EXPECT_EQ(object_->Invoke(Id("ReadCashCounts"), null_ref, nullptr), platform::DISP_E_TYPEMISMATCH);
  std::vector<Variant> open = {Variant::String("CashChanger"), Variant::String("Dev1"), Variant::Long(0)};
  EXPECT_EQ(object_->Invoke(Id("OpenService"), open, nullptr), platform::DISP_E_TYPEMISMATCH);
  EXPECT_EQ(object_->Invoke(0, none, nullptr), platform::DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object_->Invoke(23, none, nullptr), platform::DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call("GetOpenResult"), 0) << "nothing was opened";
}

TEST_F(CashChangerDispatchTest, QueryInterfaceGivesOnlyUnknownAndDispatch) {
  void* raw = nullptr;
  ASSERT_EQ(object_->QueryInterface(platform::IID_IUnknown, &raw), platform::S_OK);
  static_cast<platform::IUnknown*>(raw)->Release();
  EXPECT_EQ(object_->QueryInterface(platform::IID_IClassFactory, &raw), platform::E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
}

}  // namespace
}  // namespace vexokrt::service
