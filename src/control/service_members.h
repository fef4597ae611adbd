// SPDX-License-Identifier: Apache-2.0
// The dispatch members of a service object that a control calls, each with
// the release of the CashChanger class from which a service object must
// have it. A service object of an older release is served only the members
// of its release: the others are never looked up, and calling one answers
// OPOS_E_NOSERVICE without reaching the service object.
//
// Adding a member of a later release is one row of kCashChangerMembers
// (and one entry of Member, in the same place).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "platform/com.h"

namespace vexokrt::control {

// A release of the class, as a service object reports it in
// ServiceObjectVersion: major * 1000000 + minor * 1000 + build.
inline constexpr int32_t VersionMajor(int32_t version) { return version / 1000000; }
inline constexpr int32_t VersionMinor(int32_t version) { return version / 1000 % 1000; }

struct MemberRow {
  const char* name;
  int32_t since_minor;  // release 1.<since_minor> and later must have it
};

// The members of the CashChanger class up to release 1.14, in the order of
// kCashChangerMembers.
enum class Member : size_t {
  kGetPropertyNumber,
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
  kResetStatistics,
  kRetrieveStatistics,
  kUpdateStatistics,
  kCompareFirmwareVersion,
  kUpdateFirmware,
  kAdjustCashCounts,
};

// Every member of the 1.6 dispatch interface is required from the first
// release this control serves; statistics came with 1.8, firmware with 1.9
// and AdjustCashCounts with 1.11.
inline constexpr MemberRow kCashChangerMembers[] = {
    {"GetPropertyNumber", 0}, {"SetPropertyNumber", 0}, {"GetPropertyString", 0}, {"SetPropertyString", 0},
    {"OpenService", 0},       {"Close", 0},             {"Claim", 0},             {"Release", 0},
    {"CheckHealth", 0},       {"DirectIO", 0},          {"COFreezeEvents", 0},    {"DispenseCash", 0},
    {"DispenseChange", 0},    {"ReadCashCounts", 0},    {"ClearInput", 0},        {"BeginDeposit", 0},
    {"EndDeposit", 0},        {"FixDeposit", 0},        {"PauseDeposit", 0},      {"GetOpenResult", 0},
    {"ClaimDevice", 0},       {"ReleaseDevice", 0},
    {"ResetStatistics", 8},   {"RetrieveStatistics", 8},  {"UpdateStatistics", 8},
    {"CompareFirmwareVersion", 9},  {"UpdateFirmware", 9},
    {"AdjustCashCounts", 11},
};

// The release this control is written for.
inline constexpr int32_t kControlMinor = 14;

// The dispatch identifiers of one service object's members. Not thread-safe:
// used on the control's thread.
class ServiceMembers {
 public:
  explicit ServiceMembers(std::span<const MemberRow> rows) : rows_(rows), ids_(rows.size(), platform::kDispIdUnknown) {}

  // Looks up row |index| alone (the members needed before the version is
  // known). False when the service object has no such member.
  bool ResolveOne(platform::IDispatch* object, size_t index);
  // Looks up every row that a service object of |version| must have and
  // forgets the others. Empty on success, else the name of the first
  // member it lacks.
  std::string ResolveFor(platform::IDispatch* object, int32_t version);
  void Forget();

  bool Has(size_t index) const { return index < ids_.size() && ids_[index] != platform::kDispIdUnknown; }
  const char* Name(size_t index) const { return rows_[index].name; }

  // Calls row |index| on |object|. E_NOTIMPL, without a call, when the row
  // was not resolved.
  platform::HRESULT Invoke(platform::IDispatch* object, size_t index, std::span<platform::Variant> args,
                           platform::Variant* result) const;

 private:
  std::span<const MemberRow> rows_;
  std::vector<platform::DispId> ids_;
};

inline constexpr size_t Index(Member member) { return static_cast<size_t>(member); }

static_assert(std::size(kCashChangerMembers) == Index(Member::kAdjustCashCounts) + 1,
              "one row of kCashChangerMembers for each Member, in the same order");

}  // namespace vexokrt::control
