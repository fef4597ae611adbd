// SPDX-License-Identifier: Apache-2.0
#include "service_client.h"

#include <cstdio>

#include "platform/activation.h"
#include "platform/reg_file.h"
#include "platform/registry.h"
#include "service/module.h"

namespace vexokrt::tools {
namespace {

using platform::DispId;
using platform::HRESULT;
using platform::Variant;

constexpr const char* kEventMembers[3] = {"SODirectIO", "SOStatusUpdate", "SOData"};

}  // namespace

HRESULT EventControlObject::QueryInterface(const platform::Guid& iid, void** object) {
  if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
    *object = static_cast<platform::IDispatch*>(this);
    return platform::S_OK;
  }
  *object = nullptr;
  return platform::E_NOINTERFACE;
}

HRESULT EventControlObject::GetIDsOfNames(std::string_view name, DispId* id) {
  for (DispId i = 0; i < 3; ++i) {
    if (platform::RegNamesEqual(kEventMembers[i], name)) {
      *id = i + 1;
      return platform::S_OK;
    }
  }
  return platform::DISP_E_UNKNOWNNAME;
}

HRESULT EventControlObject::Invoke(DispId id, std::span<Variant> args, Variant*) {
  ReceivedEvent event;
  switch (id) {
    case 1: {
      if (args.size() != 3 || !args[0].AsLong() || !args[1].AsLongRef() || !args[2].AsStringRef()) {
        return platform::DISP_E_TYPEMISMATCH;
      }
      event.member = kEventMembers[0];
      event.number = *args[0].AsLong();
      event.data = *args[1].AsLongRef();
      event.text = *args[2].AsStringRef();
      if (on_event_) on_event_(event);
      *args[1].AsLongRef() = event.data;
      *args[2].AsStringRef() = event.text;
      return platform::S_OK;
    }
    case 2:
    case 3:
      if (args.size() != 1 || !args[0].AsLong()) return platform::DISP_E_TYPEMISMATCH;
      event.member = kEventMembers[id - 1];
      event.number = *args[0].AsLong();
      if (on_event_) on_event_(event);
      return platform::S_OK;
    default:
      return platform::DISP_E_MEMBERNOTFOUND;
  }
}

HRESULT CallMember(platform::IDispatch* object, std::string_view member, std::span<Variant> args, Variant* result) {
  DispId id = platform::kDispIdUnknown;
  HRESULT hr = object->GetIDsOfNames(member, &id);
  if (platform::SUCCEEDED(hr)) hr = object->Invoke(id, args, result);
  return hr;
}

int32_t CallLong(platform::IDispatch* object, std::string_view member, std::vector<Variant> args, bool* ok) {
  Variant result;
  const HRESULT hr = CallMember(object, member, args, &result);
  if (platform::FAILED(hr) || result.AsLong() == nullptr) {
    std::fprintf(stderr, "vexokrt: calling %.*s failed with %s\n", static_cast<int>(member.size()), member.data(),
                 platform::HresultText(hr).c_str());
    *ok = false;
    return -1;
  }
  return *result.AsLong();
}

std::string RegisterServerLibrary(const std::string& library_path) {
  std::string error;
  platform::LoadedLibrary library = platform::LoadedLibrary::Open(library_path, &error);
  if (!library.loaded()) return "cannot load " + library_path + ": " + error;
  const auto function =
      reinterpret_cast<platform::DllRegisterServerFunction>(library.Symbol(platform::kDllRegisterServerName));
  if (function == nullptr) return library_path + " is not a service object library";
  const HRESULT hr = function();
  if (platform::FAILED(hr)) return std::string("registration failed with ") + platform::HresultText(hr);
  return {};
}

std::string WriteDeviceKey(const std::string& device_name,
                           const std::vector<std::pair<std::string, std::string>>& values) {
  using platform::RegResult;
  using platform::RegRoot;
  const std::string key = platform::OposDeviceKeyPath("CashChanger", device_name);
  if (platform::RegSetString(RegRoot::kLocalMachine, key, "", service::kCashChangerProgId) != RegResult::kOk) {
    return "cannot write " + key + " in " + platform::RegFilePath(RegRoot::kLocalMachine);
  }
  for (const auto& [name, text] : values) {
    if (platform::RegSetString(RegRoot::kLocalMachine, key, name, text) != RegResult::kOk) {
      return "cannot write " + name + " of " + key;
    }
  }
  return {};
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

const char* StatusUpdateName(long status) {
  switch (status) {
    case 11: return "empty";
    case 12: return "near empty";
    case 13: return "empty ok";
    case 21: return "full";
    case 22: return "near full";
    case 23: return "full ok";
    case 31: return "jam";
    case 32: return "jam ok";
    case 91: return "asynchronous operation finished";
    case 2000: return "power unknown";
    case 2001: return "power online";
    case 2004: return "power off/offline";
    case 2200: return "firmware update complete";
    case 2201: return "firmware update failed, device ok";
    case 2202: return "firmware update failed, device unrecoverable";
    case 2203: return "firmware update failed, device needs firmware";
    case 2204: return "firmware update failed, device state unknown";
    case 2205: return "firmware update complete, device not restored";
    default: return status >= 2100 && status < 2200 ? "firmware update progress" : nullptr;
  }
}

}  // namespace vexokrt::tools
