// SPDX-License-Identifier: Apache-2.0
#include "service/cash_changer_dispatch.h"

#include <array>

#include "platform/reg_file.h"
#include "service/no_throw.h"

namespace vexokrt::service {
namespace {

using platform::DISP_E_BADPARAMCOUNT;
using platform::DISP_E_MEMBERNOTFOUND;
using platform::DISP_E_TYPEMISMATCH;
using platform::HRESULT;
using platform::S_OK;
using platform::Variant;

constexpr std::array<std::string_view, 28> kMemberNames = {
    "GetPropertyNumber", "SetPropertyNumber",  "GetPropertyString", "SetPropertyString",
    "OpenService",       "Close",              "Claim",             "Release",
    "CheckHealth",       "DirectIO",           "COFreezeEvents",    "DispenseCash",
    "DispenseChange",    "ReadCashCounts",     "ClearInput",        "BeginDeposit",
    "EndDeposit",        "FixDeposit",         "PauseDeposit",      "GetOpenResult",
    "ClaimDevice",       "ReleaseDevice",      "ResetStatistics",   "RetrieveStatistics",
    "UpdateStatistics",  "CompareFirmwareVersion", "UpdateFirmware", "AdjustCashCounts",
};

// Argument conversions; false on a type the member cannot take.
bool ToLong(const Variant& v, int32_t* out) {
  if (const int32_t* value = v.AsLong()) return *out = *value, true;
  if (const bool* value = v.AsBool()) return *out = *value ? 1 : 0, true;
  return false;
}

bool ToBool(const Variant& v, bool* out) {
  if (const bool* value = v.AsBool()) return *out = *value, true;
  if (const int32_t* value = v.AsLong()) return *out = *value != 0, true;
  return false;
}

bool ToString(const Variant& v, const std::string** out) {
  *out = v.AsString();
  return *out != nullptr;
}

bool ToDispatch(const Variant& v, platform::IDispatch** out) {
  if (v.type() == Variant::Type::kEmpty) return *out = nullptr, true;
  if (v.type() != Variant::Type::kDispatch) return false;
  *out = v.AsDispatch();
  return true;
}

}  // namespace

std::span<const std::string_view> CashChangerMemberNames() { return kMemberNames; }

int32_t MemberSinceMinor(CashChangerMember id) {
  switch (id) {
    case CashChangerMember::kResetStatistics:
    case CashChangerMember::kRetrieveStatistics:
    case CashChangerMember::kUpdateStatistics:
      return 8;
    case CashChangerMember::kCompareFirmwareVersion:
    case CashChangerMember::kUpdateFirmware:
      return 9;
    case CashChangerMember::kAdjustCashCounts:
      return 11;
    default:
      return 0;
  }
}

HRESULT CashChangerDispatch::QueryInterface(const platform::Guid& iid, void** object) {
  if (object == nullptr) return platform::E_POINTER;
  if (iid == platform::IID_IUnknown || iid == platform::IID_IDispatch) {
    *object = static_cast<platform::IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return platform::E_NOINTERFACE;
}

uint32_t CashChangerDispatch::AddRef() { return refs_.fetch_add(1) + 1; }

uint32_t CashChangerDispatch::Release() {
  const uint32_t left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT CashChangerDispatch::GetIDsOfNames(std::string_view name, platform::DispId* id) {
  for (size_t i = 0; i < kMemberNames.size(); ++i) {
    const auto member = static_cast<CashChangerMember>(i + 1);
    if (platform::RegNamesEqual(kMemberNames[i], name) && MemberSinceMinor(member) <= object_.upos_minor()) {
      *id = static_cast<platform::DispId>(i + 1);
      return S_OK;
    }
  }
  *id = platform::kDispIdUnknown;
  return platform::DISP_E_UNKNOWNNAME;
}

HRESULT CashChangerDispatch::Invoke(platform::DispId id, std::span<Variant> args, Variant* result) {
  return NoThrow(platform::DISP_E_EXCEPTION, [&] { return InvokeMember(id, args, result); });
}

HRESULT CashChangerDispatch::InvokeMember(platform::DispId id, std::span<Variant> args, Variant* result) {
  if (id < 1 || id > static_cast<platform::DispId>(kMemberNames.size())) return DISP_E_MEMBERNOTFOUND;
  if (MemberSinceMinor(static_cast<CashChangerMember>(id)) > object_.upos_minor()) return DISP_E_MEMBERNOTFOUND;
  auto want = [&](size_t count) { return args.size() == count; };
  auto give = [&](Variant value) {
    if (result != nullptr) *result = std::move(value);
    return S_OK;
  };
  CCashChanger& o = object_;
  int32_t a = 0;
  int32_t b = 0;
  bool flag = false;
  const std::string* text = nullptr;

  switch (static_cast<CashChangerMember>(id)) {
    case CashChangerMember::kGetPropertyNumber:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.GetPropertyNumber(a)));
    case CashChangerMember::kSetPropertyNumber:
      if (!want(2)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a) || !ToLong(args[1], &b)) return DISP_E_TYPEMISMATCH;
      o.SetPropertyNumber(a, b);
      return give(Variant());
    case CashChangerMember::kGetPropertyString:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a)) return DISP_E_TYPEMISMATCH;
      return give(Variant::String(o.GetPropertyString(a)));
    case CashChangerMember::kSetPropertyString:
      if (!want(2)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a) || !ToString(args[1], &text)) return DISP_E_TYPEMISMATCH;
      o.SetPropertyString(a, *text);
      return give(Variant());
    case CashChangerMember::kOpenService: {
      if (!want(3)) return DISP_E_BADPARAMCOUNT;
      const std::string* device_class = nullptr;
      platform::IDispatch* control_object = nullptr;
      if (!ToString(args[0], &device_class) || !ToString(args[1], &text) || !ToDispatch(args[2], &control_object)) {
        return DISP_E_TYPEMISMATCH;
      }
      return give(Variant::Long(o.OpenService(*device_class, *text, control_object)));
    }
    case CashChangerMember::kClose:
      if (!want(0)) return DISP_E_BADPARAMCOUNT;
      return give(Variant::Long(o.Close()));
    case CashChangerMember::kClaim:
    case CashChangerMember::kClaimDevice:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(static_cast<CashChangerMember>(id) == CashChangerMember::kClaim ? o.Claim(a)
                                                                                              : o.ClaimDevice(a)));
    case CashChangerMember::kRelease:
      if (!want(0)) return DISP_E_BADPARAMCOUNT;
      return give(Variant::Long(o.Release()));
    case CashChangerMember::kReleaseDevice:
      if (!want(0)) return DISP_E_BADPARAMCOUNT;
      return give(Variant::Long(o.ReleaseDevice()));
    case CashChangerMember::kCheckHealth:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.CheckHealth(a)));
    case CashChangerMember::kDirectIO: {
      if (!want(3)) return DISP_E_BADPARAMCOUNT;
      int32_t* data = args[1].AsLongRef();
      std::string* string = args[2].AsStringRef();
      if (!ToLong(args[0], &a) || data == nullptr || string == nullptr) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.DirectIO(a, data, string)));
    }
    case CashChangerMember::kCOFreezeEvents:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToBool(args[0], &flag)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.COFreezeEvents(flag)));
    case CashChangerMember::kDispenseCash:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToString(args[0], &text)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.DispenseCash(*text)));
    case CashChangerMember::kDispenseChange:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.DispenseChange(a)));
    case CashChangerMember::kReadCashCounts: {
      if (!want(2)) return DISP_E_BADPARAMCOUNT;
      std::string* counts = args[0].AsStringRef();
      bool* discrepancy = args[1].AsBoolRef();
      if (counts == nullptr || discrepancy == nullptr) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.ReadCashCounts(counts, discrepancy)));
    }
    case CashChangerMember::kClearInput:
      if (!want(0)) return DISP_E_BADPARAMCOUNT;
      return give(Variant::Long(o.ClearInput()));
    case CashChangerMember::kBeginDeposit:
      if (!want(0)) return DISP_E_BADPARAMCOUNT;
      return give(Variant::Long(o.BeginDeposit()));
    case CashChangerMember::kEndDeposit:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.EndDeposit(a)));
    case CashChangerMember::kFixDeposit:
      if (!want(0)) return DISP_E_BADPARAMCOUNT;
      return give(Variant::Long(o.FixDeposit()));
    case CashChangerMember::kPauseDeposit:
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToLong(args[0], &a)) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.PauseDeposit(a)));
    case CashChangerMember::kGetOpenResult:
      if (!want(0)) return DISP_E_BADPARAMCOUNT;
      return give(Variant::Long(o.GetOpenResult()));
    case CashChangerMember::kResetStatistics:
    case CashChangerMember::kUpdateStatistics:
    case CashChangerMember::kUpdateFirmware:
    case CashChangerMember::kAdjustCashCounts: {
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      if (!ToString(args[0], &text)) return DISP_E_TYPEMISMATCH;
      switch (static_cast<CashChangerMember>(id)) {
        case CashChangerMember::kResetStatistics:
          return give(Variant::Long(o.ResetStatistics(*text)));
        case CashChangerMember::kUpdateStatistics:
          return give(Variant::Long(o.UpdateStatistics(*text)));
        case CashChangerMember::kUpdateFirmware:
          return give(Variant::Long(o.UpdateFirmware(*text)));
        default:
          return give(Variant::Long(o.AdjustCashCounts(*text)));
      }
    }
    case CashChangerMember::kRetrieveStatistics: {
      // In: the names asked for; out: the statistics document.
      if (!want(1)) return DISP_E_BADPARAMCOUNT;
      std::string* buffer = args[0].AsStringRef();
      if (buffer == nullptr) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.RetrieveStatistics(buffer)));
    }
    case CashChangerMember::kCompareFirmwareVersion: {
      if (!want(2)) return DISP_E_BADPARAMCOUNT;
      int32_t* outcome = args[1].AsLongRef();
      if (!ToString(args[0], &text) || outcome == nullptr) return DISP_E_TYPEMISMATCH;
      return give(Variant::Long(o.CompareFirmwareVersion(*text, outcome)));
    }
  }
  return DISP_E_MEMBERNOTFOUND;
}

}  // namespace vexokrt::service
