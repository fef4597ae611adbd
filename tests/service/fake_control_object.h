// SPDX-License-Identifier: Apache-2.0
// A Control Object for tests: answers GetIDsOfNames for the event members it
// is given, remembers the names it was asked for and the calls it received.
#pragma once

#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/reg_file.h"

namespace vexokrt::testing {

class FakeControlObject final : public platform::IDispatch {
 public:
  explicit FakeControlObject(std::vector<std::string> members = {"SODirectIO", "SOStatusUpdate", "SOData"})
      : members_(std::move(members)) {}

  platform::HRESULT QueryInterface(const platform::Guid& iid, void** object) override {
    if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
      *object = static_cast<platform::IDispatch*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  // Lives on the test's stack.
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override { return --refs_; }

  platform::HRESULT GetIDsOfNames(std::string_view name, platform::DispId* id) override {
    asked_.emplace_back(name);
    for (size_t i = 0; i < members_.size(); ++i) {
      if (platform::RegNamesEqual(members_[i], name)) {
        *id = static_cast<platform::DispId>(100 + i);
        return platform::S_OK;
      }
    }
    *id = platform::kDispIdUnknown;
    return platform::DISP_E_UNKNOWNNAME;
  }
  platform::HRESULT Invoke(platform::DispId id, std::span<platform::Variant>, platform::Variant*) override {
    invoked_.push_back(id);
    return platform::S_OK;
  }

  const std::vector<std::string>& asked() const { return asked_; }
  const std::vector<platform::DispId>& invoked() const { return invoked_; }
  // References taken and not given back.
  int refs() const { return refs_; }

 private:
  std::vector<std::string> members_;
  std::vector<std::string> asked_;
  std::vector<platform::DispId> invoked_;
  int refs_ = 0;
};

}  // namespace vexokrt::testing
