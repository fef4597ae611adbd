// SPDX-License-Identifier: Apache-2.0
// The version rule of the member table: a row of a later release is looked
// up only on a service object of that release or later; on an older one it
// is not called at all.
#include "control/service_members.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/activation.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace vexokrt::control {
namespace {

using platform::Variant;

TEST(ServiceMembers, ALaterReleasesRowIsRequiredAndCalledOnlyFromThatRelease) {
  testing::TempDir dir;
  ::setenv("OPOS_REGISTRY_DIR", dir.path().c_str(), 1);
  const std::string clsid = "{5EC0FA4E-1234-4321-8000-000000000001}";
  auto set = [](const std::string& key, const std::string& value) {
    ASSERT_EQ(platform::RegSetString(platform::RegRoot::kLocalMachine, key, "", value), platform::RegResult::kOk);
  };
  set(std::string(platform::kClassesKey) + "\\Test.FakeCashChanger\\CLSID", clsid);
  set(std::string(platform::kClassesKey) + "\\CLSID\\" + clsid + "\\InprocServer32", FAKE_SO_LIBRARY_PATH);
  set(platform::OposDeviceKeyPath("CashChanger", "Fake"), "Test.FakeCashChanger");

  // Two rows: one of every release, one from 1.8 on.
  const MemberRow rows[] = {{"GetPropertyString", 0}, {"ResetStatistics", 8}};
  struct Case {
    const char* fake;
    int32_t version;
    const char* missing;  // what ResolveFor names
    bool callable;        // the 1.8 row is called
  };
  const Case cases[] = {
      {"", 1006000, "", false},
      {"", 1007999, "", false},
      {"", 1008000, "", true},
      {"", 1012000, "", true},
      {"lacks=ResetStatistics", 1006000, "", false},
      {"lacks=ResetStatistics", 1008000, "ResetStatistics", false},
      {"lacks=GetPropertyString", 1006000, "GetPropertyString", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fake) + " " + std::to_string(c.version));
    ::setenv("VEXOKRT_FAKE_SO", c.fake, 1);
    platform::ActivatedObject activated = platform::ActivateServiceObject("CashChanger", "Fake");
    ASSERT_EQ(activated.error, platform::ActivationError::kNone) << activated.message;
    ServiceMembers members(rows);
    EXPECT_EQ(members.ResolveFor(activated.object.get(), c.version), c.missing);
    if (*c.missing != '\0') continue;
    std::vector<Variant> none;
    const platform::HRESULT hr = members.Invoke(activated.object.get(), 1, none, nullptr);
    EXPECT_EQ(hr, c.callable ? platform::S_OK : platform::E_NOTIMPL);
    EXPECT_EQ(members.Has(1), c.callable);
    std::vector<Variant> index = {Variant::Long(999)};
    Variant calls;
    ASSERT_EQ(members.Invoke(activated.object.get(), 0, index, &calls), platform::S_OK);
    ASSERT_NE(calls.AsString(), nullptr);
    EXPECT_EQ(*calls.AsString(), c.callable ? "ResetStatistics,GetPropertyString(999)" : "GetPropertyString(999)");
    activated.object.Reset();
  }
  ::unsetenv("VEXOKRT_FAKE_SO");
  ::unsetenv("OPOS_REGISTRY_DIR");
}

}  // namespace
}  // namespace vexokrt::control
