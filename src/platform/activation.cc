// SPDX-License-Identifier: Apache-2.0
#include "platform/activation.h"

#include <dlfcn.h>

#include <utility>

#include "platform/registry.h"

namespace vexokrt::platform {

std::string OposDeviceKeyPath(std::string_view device_class, std::string_view device_name) {
  std::string path = kOposServiceKey;
  path.append("\\").append(device_class).append("\\").append(device_name);
  return path;
}

LoadedLibrary LoadedLibrary::Open(const std::string& path, std::string* error) {
  LoadedLibrary library;
  library.handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle_ == nullptr) {
    if (error != nullptr) {
      const char* text = ::dlerror();
      *error = text != nullptr ? text : "cannot load " + path;
    }
    return library;
  }
  library.path_ = path;
  return library;
}

LoadedLibrary::~LoadedLibrary() { Close(); }

LoadedLibrary::LoadedLibrary(LoadedLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {}

LoadedLibrary& LoadedLibrary::operator=(LoadedLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
    path_ = std::move(other.path_);
  }
  return *this;
}

void* LoadedLibrary::Symbol(const char* name) const {
  return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

void LoadedLibrary::Close() {
  void* handle = std::exchange(handle_, nullptr);
  if (handle == nullptr) return;
  // Unloading code whose objects still live would leave them without code;
  // such a library simply stays loaded.
  const auto can_unload = reinterpret_cast<DllCanUnloadNowFunction>(::dlsym(handle, kDllCanUnloadNowName));
  if (can_unload != nullptr && can_unload() != S_OK) return;
  ::dlclose(handle);
}

ActivatedObject ActivateServiceObject(std::string_view device_class, std::string_view device_name) {
  ActivatedObject out;
  auto fail = [&out](ActivationError error, std::string message, HRESULT hr = S_OK) {
    out.error = error;
    out.message = std::move(message);
    out.hr = hr;
    out.object.Reset();
    return std::move(out);
  };

  const std::string device_key = OposDeviceKeyPath(device_class, device_name);
  if (RegOpenKey(RegRoot::kLocalMachine, device_key) != RegResult::kOk) {
    return fail(ActivationError::kNoDeviceKey,
                "no registry key HKEY_LOCAL_MACHINE\\" + device_key + " for device \"" + std::string(device_name) + "\"");
  }
  if (RegQueryString(RegRoot::kLocalMachine, device_key, "", &out.prog_id) != RegResult::kOk || out.prog_id.empty()) {
    return fail(ActivationError::kNoProgId,
                "the key HKEY_LOCAL_MACHINE\\" + device_key + " names no service object (default value missing)");
  }

  const std::string prog_id_key = std::string(kClassesKey) + "\\" + out.prog_id + "\\CLSID";
  std::string clsid_text;
  if (RegQueryString(RegRoot::kLocalMachine, prog_id_key, "", &clsid_text) != RegResult::kOk) {
    return fail(ActivationError::kProgIdNotRegistered,
                "the service object \"" + out.prog_id + "\" is not registered (no HKEY_LOCAL_MACHINE\\" + prog_id_key + ")");
  }
  const std::optional<Guid> clsid = Guid::Parse(clsid_text);
  if (!clsid) {
    return fail(ActivationError::kBadClassId,
                "the class identifier \"" + clsid_text + "\" registered for \"" + out.prog_id + "\" is not valid");
  }
  out.clsid = *clsid;

  const std::string server_key = std::string(kClassesKey) + "\\CLSID\\" + clsid->ToString() + "\\InprocServer32";
  RegValue server;
  if (RegQueryValue(RegRoot::kLocalMachine, server_key, "", &server) != RegResult::kOk ||
      server.type != RegValueType::kString || server.text.empty()) {
    return fail(ActivationError::kClassNotRegistered,
                "no library registered for class " + clsid->ToString() + " (no HKEY_LOCAL_MACHINE\\" + server_key + ")");
  }
  out.library_path = server.text;

  std::string load_error;
  out.library = LoadedLibrary::Open(out.library_path, &load_error);
  if (!out.library.loaded()) {
    return fail(ActivationError::kLibraryNotLoaded, "cannot load the library " + out.library_path + ": " + load_error);
  }
  const auto get_class_object =
      reinterpret_cast<DllGetClassObjectFunction>(out.library.Symbol(kDllGetClassObjectName));
  if (get_class_object == nullptr) {
    return fail(ActivationError::kNoEntryPoint, "the library " + out.library_path + " has no DllGetClassObject");
  }

  ComPtr<IClassFactory> factory;
  HRESULT hr = get_class_object(&out.clsid, &IID_IClassFactory, factory.OutSlot());
  if (FAILED(hr) || !factory) {
    return fail(ActivationError::kNoClassFactory,
                "the library " + out.library_path + " does not serve class " + out.clsid.ToString(), hr);
  }
  hr = factory->CreateInstance(nullptr, IID_IDispatch, out.object.OutSlot());
  if (FAILED(hr) || !out.object) {
    return fail(ActivationError::kCreateFailed, "the class factory did not create the service object", hr);
  }
  return out;
}

}  // namespace vexokrt::platform
