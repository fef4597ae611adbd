// SPDX-License-Identifier: Apache-2.0
// The OPOS vocabulary of the CashChanger device class: result codes, states,
// power states and status values by their published names and numbers.
#pragma once

#include <cstdint>

namespace vexokrt::opos {

// Result codes.
inline constexpr int32_t OPOS_SUCCESS = 0;
inline constexpr int32_t OPOS_E_CLOSED = 101;
inline constexpr int32_t OPOS_E_CLAIMED = 102;
inline constexpr int32_t OPOS_E_NOTCLAIMED = 103;
inline constexpr int32_t OPOS_E_NOSERVICE = 104;
inline constexpr int32_t OPOS_E_DISABLED = 105;
inline constexpr int32_t OPOS_E_ILLEGAL = 106;
inline constexpr int32_t OPOS_E_NOHARDWARE = 107;
inline constexpr int32_t OPOS_E_OFFLINE = 108;
inline constexpr int32_t OPOS_E_NOEXIST = 109;
inline constexpr int32_t OPOS_E_EXISTS = 110;
inline constexpr int32_t OPOS_E_FAILURE = 111;
inline constexpr int32_t OPOS_E_TIMEOUT = 112;
inline constexpr int32_t OPOS_E_BUSY = 113;
inline constexpr int32_t OPOS_E_EXTENDED = 114;

// Open outcomes: the control's (301-307) and those a service object reports
// by GetOpenResult (302, 304, 305 here; 401 and above its own).
inline constexpr int32_t OPOS_OR_ALREADYOPEN = 301;
inline constexpr int32_t OPOS_OR_REGBADNAME = 302;
inline constexpr int32_t OPOS_OR_REGPROGID = 303;
inline constexpr int32_t OPOS_OR_CREATE = 304;
inline constexpr int32_t OPOS_OR_BADIF = 305;
inline constexpr int32_t OPOS_OR_FAILEDOPEN = 306;
inline constexpr int32_t OPOS_OR_BADVERSION = 307;

// States.
inline constexpr int32_t OPOS_S_CLOSED = 1;
inline constexpr int32_t OPOS_S_IDLE = 2;
inline constexpr int32_t OPOS_S_BUSY = 3;

// Power states.
inline constexpr int32_t OPOS_PS_UNKNOWN = 2000;
inline constexpr int32_t OPOS_PS_ONLINE = 2001;
inline constexpr int32_t OPOS_PS_OFF_OFFLINE = 2004;

// CashChanger status values (DeviceStatus, FullStatus, status update events).
inline constexpr int32_t CHAN_STATUS_OK = 0;
inline constexpr int32_t CHAN_STATUS_EMPTY = 11;
inline constexpr int32_t CHAN_STATUS_NEAREMPTY = 12;
inline constexpr int32_t CHAN_STATUS_EMPTYOK = 13;
inline constexpr int32_t CHAN_STATUS_FULL = 21;
inline constexpr int32_t CHAN_STATUS_NEARFULL = 22;
inline constexpr int32_t CHAN_STATUS_FULLOK = 23;
inline constexpr int32_t CHAN_STATUS_JAM = 31;
inline constexpr int32_t CHAN_STATUS_JAMOK = 32;
inline constexpr int32_t CHAN_STATUS_ASYNC = 91;

// DepositStatus values.
inline constexpr int32_t CHAN_STATUS_DEPOSIT_START = 1;
inline constexpr int32_t CHAN_STATUS_DEPOSIT_END = 2;
inline constexpr int32_t CHAN_STATUS_DEPOSIT_NONE = 3;
inline constexpr int32_t CHAN_STATUS_DEPOSIT_COUNT = 4;
inline constexpr int32_t CHAN_STATUS_DEPOSIT_JAM = 5;

// EndDeposit and PauseDeposit arguments.
inline constexpr int32_t CHAN_DEPOSIT_CHANGE = 1;
inline constexpr int32_t CHAN_DEPOSIT_NOCHANGE = 2;
inline constexpr int32_t CHAN_DEPOSIT_REPAY = 3;
inline constexpr int32_t CHAN_DEPOSIT_PAUSE = 11;
inline constexpr int32_t CHAN_DEPOSIT_RESTART = 12;

// Statistics and firmware (releases 1.8 and later): extended codes,
// status update values and CompareFirmwareVersion results.
inline constexpr int32_t OPOS_ESTATS_ERROR = 280;
inline constexpr int32_t OPOS_EFIRMWARE_BAD_FILE = 281;
inline constexpr int32_t OPOS_ESTATS_DEPENDENCY = 282;
inline constexpr int32_t OPOS_SUE_UF_PROGRESS = 2100;  // + percent, 1..100
inline constexpr int32_t OPOS_SUE_UF_COMPLETE = 2200;
inline constexpr int32_t OPOS_SUE_UF_FAILED_DEV_OK = 2201;
inline constexpr int32_t OPOS_SUE_UF_FAILED_DEV_UNRECOVERABLE = 2202;
inline constexpr int32_t OPOS_SUE_UF_FAILED_DEV_NEEDS_FIRMWARE = 2203;
inline constexpr int32_t OPOS_SUE_UF_FAILED_DEV_UNKNOWN = 2204;
inline constexpr int32_t OPOS_SUE_UF_COMPLETE_DEV_NOT_RESTORED = 2205;
inline constexpr int32_t OPOS_CFV_FIRMWARE_OLDER = 1;
inline constexpr int32_t OPOS_CFV_FIRMWARE_SAME = 2;
inline constexpr int32_t OPOS_CFV_FIRMWARE_NEWER = 3;
inline constexpr int32_t OPOS_CFV_FIRMWARE_DIFFERENT = 4;
inline constexpr int32_t OPOS_CFV_FIRMWARE_UNKNOWN = 5;

// Device-specific extended result codes carried with OPOS_E_EXTENDED.
inline constexpr int32_t kExtendedNotPossibleNow = 201;
inline constexpr int32_t kExtendedNotAtCurrentExit = 237;

// A result as every layer returns it: the result code and, with
// OPOS_E_EXTENDED, the extended code that ResultCodeExtended reports. A
// plain code converts to it implicitly (extended code 0). Only the call frame
// of a dispatch member writes ResultCode and ResultCodeExtended from it, and
// only the asynchronous completion writes AsyncResultCode and
// AsyncResultCodeExtended.
struct OposResult {
  int32_t code = OPOS_SUCCESS;
  int32_t extended = 0;

  constexpr OposResult() = default;
  constexpr OposResult(int32_t result_code) : code(result_code) {}  // a plain code is a result
  constexpr OposResult(int32_t result_code, int32_t extended_code) : code(result_code), extended(extended_code) {}
  static constexpr OposResult Extended(int32_t extended_code) { return {OPOS_E_EXTENDED, extended_code}; }

  constexpr bool ok() const { return code == OPOS_SUCCESS; }
  friend constexpr bool operator==(const OposResult& a, const OposResult& b) = default;
  friend constexpr bool operator==(const OposResult& a, int32_t result_code) { return a.code == result_code; }
};

}  // namespace vexokrt::opos
