// SPDX-License-Identifier: Apache-2.0
// The four entry points of the in-process server library. They are the only
// symbols the library exports, and no exception leaves them.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/com.h"
#include "service/class_factory.h"
#include "service/no_throw.h"

using vexokrt::platform::Guid;
using vexokrt::platform::HRESULT;
using vexokrt::service::NoThrow;

#define VEXOKRT_EXPORT extern "C" __attribute__((visibility("default")))

VEXOKRT_EXPORT HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid, void** object) {
  if (clsid == nullptr || iid == nullptr || object == nullptr) return vexokrt::platform::E_POINTER;
  return NoThrow(vexokrt::platform::E_FAIL, [&] { return vexokrt::service::GetClassObject(*clsid, *iid, object); });
}

VEXOKRT_EXPORT HRESULT DllCanUnloadNow() {
  return NoThrow(vexokrt::platform::E_FAIL, [] { return vexokrt::service::CanUnloadNow(); });
}

VEXOKRT_EXPORT HRESULT DllRegisterServer() {
  return NoThrow(vexokrt::platform::SELFREG_E_CLASS, [] {
    // The library registers the path it was loaded from, made absolute so
    // that it holds from any working folder.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) == 0 || info.dli_fname == nullptr) {
      return vexokrt::platform::SELFREG_E_CLASS;
    }
    std::string path = info.dli_fname;
    if (char resolved[PATH_MAX]; ::realpath(info.dli_fname, resolved) != nullptr) path = resolved;
    return vexokrt::service::RegisterServer(path);
  });
}

VEXOKRT_EXPORT HRESULT DllUnregisterServer() {
  return NoThrow(vexokrt::platform::E_FAIL, [] { return vexokrt::service::UnregisterServer(); });
}
