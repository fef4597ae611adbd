// SPDX-License-Identifier: Apache-2.0
// The dispatch interface of CCashChanger: the members reached by name
// through GetIDsOfNames and called through Invoke, as the Control Object
// does: the 22 of release 1.6, and the six of later releases while the
// service object serves that release (UposVersion); otherwise those names
// are unknown, as they always were. The object is reference-counted and deletes itself (and the
// CCashChanger it owns) at its last Release.
#pragma once

#include <atomic>
#include <span>
#include <string_view>

#include "platform/com.h"
#include "service/cash_changer.h"

namespace vexokrt::service {

// The dispatch identifiers, in the order of the member table.
enum class CashChangerMember : platform::DispId {
  kGetPropertyNumber = 1,
  kSetPropertyNumber,
  kGetPropertyString,
  kSetPropertyString,
  kOpenService,
  kClose,
  kClaim,
  kRelease,
  kCheckHealth,
  kDirectIO,
  kCOFreezeEvents,
  kDispenseCash,
  kDispenseChange,
  kReadCashCounts,
  kClearInput,
  kBeginDeposit,
  kEndDeposit,
  kFixDeposit,
  kPauseDeposit,
  kGetOpenResult,
  kClaimDevice,
  kReleaseDevice,
  // Release 1.8: statistics.
  kResetStatistics,
  kRetrieveStatistics,
  kUpdateStatistics,
  // Release 1.9: firmware.
  kCompareFirmwareVersion,
  kUpdateFirmware,
  // Release 1.11.
  kAdjustCashCounts,
};

// The member names, index i holding DispId i + 1.
std::span<const std::string_view> CashChangerMemberNames();
// The release 1.<minor> of the class that added member |id| (0 for the
// members of 1.6 and before).
int32_t MemberSinceMinor(CashChangerMember id);

class CashChangerDispatch final : public platform::IDispatch {
 public:
  // A new object with one reference, held by the caller.
  static CashChangerDispatch* Create() { return new CashChangerDispatch(); }

  // IUnknown: IID_IUnknown and IID_IDispatch.
  platform::HRESULT QueryInterface(const platform::Guid& iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  // IDispatch. Arguments: long members take a long (or bool) variant, bool
  // members a bool (or long), strings a string, by-reference arguments the
  // matching reference kind (not null), the Control Object a dispatch
  // pointer (null allowed). Results: long members give a long, GetPropertyString
  // a string, the setters nothing.
  platform::HRESULT GetIDsOfNames(std::string_view name, platform::DispId* id) override;
  // An exception from the member becomes E_OUTOFMEMORY (no memory) or
  // DISP_E_EXCEPTION; none leaves Invoke.
  platform::HRESULT Invoke(platform::DispId id, std::span<platform::Variant> args, platform::Variant* result) override;

  // The typed object behind the interface.
  CCashChanger& object() { return object_; }

 private:
  CashChangerDispatch() = default;
  ~CashChangerDispatch() override = default;

  platform::HRESULT InvokeMember(platform::DispId id, std::span<platform::Variant> args, platform::Variant* result);

  std::atomic<uint32_t> refs_{1};
  CCashChanger object_;
};

}  // namespace vexokrt::service
