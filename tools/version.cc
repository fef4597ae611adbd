// SPDX-License-Identifier: Apache-2.0
#include "version.h"

#include <vector>

#include "platform/activation.h"
#include "platform/com.h"
#include "server_library.h"
#include "service/module.h"
#include "service/properties.h"

namespace vexokrt::tools {
namespace {

using platform::Variant;

// Reads the version and description from an object made by the library's own
// class factory, so the text names the library that would really be loaded.
std::string ServiceObjectVersion() {
  const std::string path = ServerLibraryPath("");
  std::string error;
  platform::LoadedLibrary library = platform::LoadedLibrary::Open(path, &error);
  if (!library.loaded()) return "service object: cannot load " + path + ": " + error;
  const auto get_class_object =
      reinterpret_cast<platform::DllGetClassObjectFunction>(library.Symbol(platform::kDllGetClassObjectName));
  if (get_class_object == nullptr) return "service object: " + path + " is not a service object library";
  platform::ComPtr<platform::IClassFactory> factory;
  platform::ComPtr<platform::IDispatch> object;
  if (platform::FAILED(get_class_object(&service::kCashChangerClsid, &platform::IID_IClassFactory, factory.OutSlot())) ||
      platform::FAILED(factory->CreateInstance(nullptr, platform::IID_IDispatch, object.OutSlot()))) {
    return "service object: " + path + " does not create " + service::kCashChangerProgId;
  }
  const auto property = [&](const char* member, int32_t index) {
    platform::DispId id = platform::kDispIdUnknown;
    std::vector<Variant> args = {Variant::Long(index)};
    Variant result;
    if (platform::SUCCEEDED(object->GetIDsOfNames(member, &id))) object->Invoke(id, args, &result);
    return result;
  };
  const Variant version = property("GetPropertyNumber", service::pidx::kServiceObjectVersion);
  const Variant description = property("GetPropertyString", service::pidx::kServiceObjectDescription);
  std::string text = "service object " + std::string(service::kCashChangerProgId) + " version " +
                     (version.AsLong() != nullptr ? std::to_string(*version.AsLong()) : "?");
  if (description.AsString() != nullptr) text += " (" + *description.AsString() + ")";
  object.Reset();
  factory.Reset();
  return text + "\n  from " + path;
}

}  // namespace

std::string VersionText() {
  std::string text = "vexokrt ";
#ifdef VEXOKRT_VERSION
  text += VEXOKRT_VERSION;
#endif
  return text + "\n" + ServiceObjectVersion();
}

}  // namespace vexokrt::tools
