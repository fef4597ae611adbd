// SPDX-License-Identifier: Apache-2.0
// Creating a service object the way an OPOS Control Object does: from the
// device name through the registry to a dispatch interface of an object made
// by the class factory of an in-process server library.
//
//   HKLM\SOFTWARE\OLEforRetail\ServiceOPOS\<class>\<name>   @ = programmatic id
//   HKLM\Software\Classes\<programmatic id>\CLSID           @ = {class id}
//   HKLM\Software\Classes\CLSID\{class id}\InprocServer32   @ = library path
//
// The library is loaded with dlopen, its DllGetClassObject gives the class
// factory, and the factory creates the object.
#pragma once

#include <string>
#include <string_view>

#include "platform/com.h"

namespace vexokrt::platform {

// Registry locations, below the local-machine root.
inline constexpr char kOposServiceKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS";
inline constexpr char kClassesKey[] = "Software\\Classes";

// "SOFTWARE\OLEforRetail\ServiceOPOS\<device_class>\<device_name>".
std::string OposDeviceKeyPath(std::string_view device_class, std::string_view device_name);

// A library loaded with dlopen. Closing it is skipped while the library says
// it cannot unload (DllCanUnloadNow not S_OK), since objects of it still live.
class LoadedLibrary {
 public:
  LoadedLibrary() = default;
  // Loads |path| (RTLD_NOW | RTLD_LOCAL). On failure the result is not
  // loaded() and |error| (when given) holds the loader's message.
  static LoadedLibrary Open(const std::string& path, std::string* error);
  ~LoadedLibrary();
  LoadedLibrary(LoadedLibrary&& other) noexcept;
  LoadedLibrary& operator=(LoadedLibrary&& other) noexcept;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& path() const { return path_; }
  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const;

 private:
  void Close();

  void* handle_ = nullptr;
  std::string path_;
};

enum class ActivationError {
  kNone,
  kNoDeviceKey,          // no key for the device name
  kNoProgId,             // the device key has no programmatic identifier
  kProgIdNotRegistered,  // no class identifier registered for it
  kBadClassId,           // the registered class identifier is not a GUID
  kClassNotRegistered,   // no library path registered for the class
  kLibraryNotLoaded,     // dlopen failed
  kNoEntryPoint,         // the library lacks DllGetClassObject
  kNoClassFactory,       // DllGetClassObject refused the class
  kCreateFailed,         // the class factory did not create the object
};

struct ActivatedObject {
  ActivationError error = ActivationError::kNone;
  std::string message;  // what failed, for people; empty on success
  HRESULT hr = S_OK;    // the COM result where a COM call failed
  std::string prog_id;
  Guid clsid;
  std::string library_path;
  // Declared before |object| so that the object is released first.
  LoadedLibrary library;
  ComPtr<IDispatch> object;
};

// Finds, loads and creates the service object of |device_name| of
// |device_class| (e.g. "CashChanger"). Any thread.
ActivatedObject ActivateServiceObject(std::string_view device_class, std::string_view device_name);

}  // namespace vexokrt::platform
