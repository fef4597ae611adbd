// SPDX-License-Identifier: Apache-2.0
// The class factory of CCashChanger and the server's registration, as the
// exported entry points of the library use them.
#pragma once

#include <string>

#include "platform/com.h"

namespace vexokrt::service {

// Hands out the class factory when |clsid| is the class of this module and
// |iid| one of its interfaces (IUnknown, IClassFactory). Other classes fail
// with CLASS_E_CLASSNOTAVAILABLE; the factory is one module-wide object whose
// references lock the module.
platform::HRESULT GetClassObject(const platform::Guid& clsid, const platform::Guid& iid, void** object);

// S_OK when no object is alive and no lock is held, else S_FALSE.
platform::HRESULT CanUnloadNow();

// Writes the entries that tie the programmatic identifier and the class
// identifier to |library_path| as an in-process server (machine root):
//   Software\Classes\<progid>                      @ = description
//   Software\Classes\<progid>\CLSID                @ = {clsid}
//   Software\Classes\CLSID\{clsid}                 @ = description
//   Software\Classes\CLSID\{clsid}\ProgID          @ = <progid>
//   Software\Classes\CLSID\{clsid}\InprocServer32  @ = <library_path>, ThreadingModel = Apartment
// Writing again replaces them (one set of entries). S_OK, or SELFREG_E_CLASS
// when the registry could not be written.
platform::HRESULT RegisterServer(const std::string& library_path);

// Removes what RegisterServer wrote: looks up the programmatic identifier
// registered for the class; when none is registered there is nothing to do
// (S_OK); when the registry cannot be read, REGDB_E_READREGDB; otherwise it
// removes the class key and the programmatic identifier's key (only when that
// still names this class), and E_FAIL when a removal fails.
platform::HRESULT UnregisterServer();

}  // namespace vexokrt::service
