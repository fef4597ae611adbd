// SPDX-License-Identifier: Apache-2.0
#include "platform/com.h"

#include <gtest/gtest.h>

namespace vexokrt::platform {
namespace {

TEST(Guid, TextFormRoundTripsAndParseIsStrict) {
  const Guid guid{0x1A2B3C4D, 0x5E6F, 0x7081, {0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8, 0x09}};
  EXPECT_EQ(guid.ToString(), "{1A2B3C4D-5E6F-7081-92A3-B4C5D6E7F809}");
  EXPECT_EQ(Guid::Parse(guid.ToString()), guid);
  EXPECT_EQ(Guid::Parse("1a2b3c4d-5e6f-7081-92a3-b4c5d6e7f809"), guid);
  EXPECT_EQ(IID_IDispatch.ToString(), "{00020400-0000-0000-C000-000000000046}");

  EXPECT_FALSE(Guid::Parse(""));
  EXPECT_FALSE(Guid::Parse("{1A2B3C4D-5E6F-7081-92A3-B4C5D6E7F809"));
  EXPECT_FALSE(Guid::Parse("{1A2B3C4D-5E6F-7081-92A3-B4C5D6E7F8G9}"));
  EXPECT_FALSE(Guid::Parse("{1A2B3C4D+5E6F-7081-92A3-B4C5D6E7F809}"));
  EXPECT_FALSE(Guid::Parse("{1A2B3C4D-5E6F-7081-92A3-B4C5D6E7F8099}"));
  EXPECT_FALSE(Guid::Parse("(1A2B3C4D-5E6F-7081-92A3-B4C5D6E7F809)"));
}

TEST(Variant, TypedAccessAnswersOnlyForTheHeldType) {
  int32_t number = 5;
  std::string text = "x";
  bool flag = false;
  Variant by_ref = Variant::LongRef(&number);
  *by_ref.AsLongRef() = 7;
  EXPECT_EQ(number, 7);
  EXPECT_EQ(by_ref.AsLong(), nullptr);
  EXPECT_EQ(by_ref.AsStringRef(), nullptr);

  EXPECT_EQ(*Variant::Long(-3).AsLong(), -3);
  EXPECT_EQ(Variant::Long(1).AsBool(), nullptr) << "a long is not a bool";
  EXPECT_EQ(*Variant::String("abc").AsString(), "abc");
  EXPECT_EQ(Variant::StringRef(&text).AsStringRef(), &text);
  EXPECT_EQ(Variant::BoolRef(&flag).AsBoolRef(), &flag);
  EXPECT_EQ(Variant().type(), Variant::Type::kEmpty);
  EXPECT_EQ(Variant::Dispatch(nullptr).type(), Variant::Type::kDispatch);
  EXPECT_EQ(Variant::Dispatch(nullptr).AsDispatch(), nullptr);
}

// A counting object to check the holding pointer.
class Counted : public IUnknown {
 public:
  explicit Counted(int* live) : live_(live) { ++*live_; }
  HRESULT QueryInterface(const Guid&, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    const uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  ~Counted() override { --*live_; }
  int* live_;
  uint32_t refs_ = 1;
};

TEST(ComPtr, ReleasesExactlyTheReferencesItHolds) {
  int live = 0;
  {
    ComPtr<IUnknown> a = ComPtr<IUnknown>::Adopt(new Counted(&live));
    ComPtr<IUnknown> b = a;
    ComPtr<IUnknown> c = std::move(b);
    EXPECT_FALSE(b);
    c.Reset();
    EXPECT_EQ(live, 1);
    ComPtr<IUnknown> d = ComPtr<IUnknown>::Share(a.get());
    a = ComPtr<IUnknown>();
    EXPECT_EQ(live, 1);
  }
  EXPECT_EQ(live, 0);
}

}  // namespace
}  // namespace vexokrt::platform
