// SPDX-License-Identifier: Apache-2.0
#include "control/service_members.h"

namespace vexokrt::control {

bool ServiceMembers::ResolveOne(platform::IDispatch* object, size_t index) {
  platform::DispId id = platform::kDispIdUnknown;
  if (object == nullptr || platform::FAILED(object->GetIDsOfNames(rows_[index].name, &id))) {
    ids_[index] = platform::kDispIdUnknown;
    return false;
  }
  ids_[index] = id;
  return true;
}

std::string ServiceMembers::ResolveFor(platform::IDispatch* object, int32_t version) {
  const int32_t minor = VersionMinor(version);
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].since_minor > minor) {
      ids_[i] = platform::kDispIdUnknown;
    } else if (!ResolveOne(object, i)) {
      return rows_[i].name;
    }
  }
  return {};
}

void ServiceMembers::Forget() { ids_.assign(rows_.size(), platform::kDispIdUnknown); }

platform::HRESULT ServiceMembers::Invoke(platform::IDispatch* object, size_t index, std::span<platform::Variant> args,
                                         platform::Variant* result) const {
  if (object == nullptr || !Has(index)) return platform::E_NOTIMPL;
  return object->Invoke(ids_[index], args, result);
}

}  // namespace vexokrt::control
