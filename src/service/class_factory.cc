// SPDX-License-Identifier: Apache-2.0
#include "service/class_factory.h"

#include "platform/activation.h"
#include "platform/registry.h"
#include "service/cash_changer_dispatch.h"
#include "service/module.h"
#include "service/no_throw.h"

namespace vexokrt::service {
namespace {

using platform::Guid;
using platform::HRESULT;
using platform::RegResult;
using platform::RegRoot;

class CashChangerFactory final : public platform::IClassFactory {
 public:
  HRESULT QueryInterface(const Guid& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == platform::IID_IClassFactory) {
      *object = static_cast<platform::IClassFactory*>(this);
      AddRef();
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  // The factory lives as long as the module; a reference to it is a lock on
  // the module, so the library stays loaded while anyone holds the factory.
  uint32_t AddRef() override {
    LockModule();
    return 2;
  }
  uint32_t Release() override {
    UnlockModule();
    return 1;
  }

  HRESULT CreateInstance(platform::IUnknown* outer, const Guid& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return platform::CLASS_E_NOAGGREGATION;
    // An object that cannot be made (no memory) is an error code, not an
    // exception in the host.
    return NoThrow(platform::E_FAIL, [&] {
      CashChangerDispatch* created = CashChangerDispatch::Create();
      const HRESULT hr = created->QueryInterface(iid, object);
      created->Release();  // the caller's reference, if any, keeps it alive
      return hr;
    });
  }

  HRESULT LockServer(bool lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return platform::S_OK;
  }
};

CashChangerFactory& Factory() {
  static CashChangerFactory factory;
  return factory;
}

std::string ClassKey() { return std::string(platform::kClassesKey) + "\\CLSID\\" + kCashChangerClsid.ToString(); }
std::string ProgIdKey() { return std::string(platform::kClassesKey) + "\\" + kCashChangerProgId; }

}  // namespace

HRESULT GetClassObject(const Guid& clsid, const Guid& iid, void** object) {
  if (object == nullptr) return platform::E_POINTER;
  *object = nullptr;
  if (!(clsid == kCashChangerClsid)) return platform::CLASS_E_CLASSNOTAVAILABLE;
  return Factory().QueryInterface(iid, object);
}

HRESULT CanUnloadNow() { return ModuleLockCount() == 0 ? platform::S_OK : platform::S_FALSE; }

HRESULT RegisterServer(const std::string& library_path) {
  const std::string class_key = ClassKey();
  const std::string prog_id_key = ProgIdKey();
  const std::string clsid_text = kCashChangerClsid.ToString();
  constexpr RegRoot kMachine = RegRoot::kLocalMachine;
  const bool written = platform::RegSetString(kMachine, prog_id_key, "", kCashChangerClassDescription) == RegResult::kOk &&
                       platform::RegSetString(kMachine, prog_id_key + "\\CLSID", "", clsid_text) == RegResult::kOk &&
                       platform::RegSetString(kMachine, class_key, "", kCashChangerClassDescription) == RegResult::kOk &&
                       platform::RegSetString(kMachine, class_key + "\\ProgID", "", kCashChangerProgId) == RegResult::kOk &&
                       platform::RegSetString(kMachine, class_key + "\\InprocServer32", "", library_path) == RegResult::kOk &&
                       platform::RegSetString(kMachine, class_key + "\\InprocServer32", "ThreadingModel", "Apartment") ==
                           RegResult::kOk;
  // A failed write is reported rather than claimed as success: an installer
  // must know that the class cannot be found.
  return written ? platform::S_OK : platform::SELFREG_E_CLASS;
}

HRESULT UnregisterServer() {
  constexpr RegRoot kMachine = RegRoot::kLocalMachine;
  const std::string class_key = ClassKey();
  std::string prog_id;
  switch (platform::RegQueryString(kMachine, class_key + "\\ProgID", "", &prog_id)) {
    case RegResult::kOk:
      break;
    case RegResult::kKeyNotFound:
    case RegResult::kValueNotFound:
      return platform::S_OK;  // never registered: nothing to remove
    case RegResult::kWrongType:
    case RegResult::kMoreData:
    case RegResult::kHasSubkeys:
    case RegResult::kInvalidName:
    case RegResult::kBadFile:
    case RegResult::kIoError:
      return platform::REGDB_E_READREGDB;
  }

  auto removed = [](RegResult result) { return result == RegResult::kOk || result == RegResult::kKeyNotFound; };
  bool ok = removed(platform::RegDeleteTree(kMachine, class_key));
  // The programmatic identifier goes only while it still names this class;
  // another server may have taken it over since.
  if (!prog_id.empty()) {
    const std::string prog_id_key = std::string(platform::kClassesKey) + "\\" + prog_id;
    std::string clsid_text;
    const RegResult found = platform::RegQueryString(kMachine, prog_id_key + "\\CLSID", "", &clsid_text);
    const std::optional<Guid> clsid = Guid::Parse(clsid_text);
    if (found == RegResult::kOk && clsid && *clsid == kCashChangerClsid) {
      ok = removed(platform::RegDeleteTree(kMachine, prog_id_key)) && ok;
    }
  }
  return ok ? platform::S_OK : platform::E_FAIL;
}

}  // namespace vexokrt::service
