// SPDX-License-Identifier: Apache-2.0
#include "control/names.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <iterator>

namespace vexokrt {
namespace {

// The result codes of the OPOS standard and the open results a control
// leaves in OpenResult.
constexpr CodeName kResultCodes[] = {
    {0, "OPOS_SUCCESS", "success"},
    {101, "OPOS_E_CLOSED", "the device is not open"},
    {102, "OPOS_E_CLAIMED", "another application has claimed the device"},
    {103, "OPOS_E_NOTCLAIMED", "the device must be claimed first"},
    {104, "OPOS_E_NOSERVICE", "no service object serves this"},
    {105, "OPOS_E_DISABLED", "the device must be enabled first"},
    {106, "OPOS_E_ILLEGAL", "not allowed now, or an argument is out of range"},
    {107, "OPOS_E_NOHARDWARE", "the cash changer does not answer"},
    {108, "OPOS_E_OFFLINE", "the cash changer is off line"},
    {109, "OPOS_E_NOEXIST", "the file or item does not exist"},
    {110, "OPOS_E_EXISTS", "the file or item exists already"},
    {111, "OPOS_E_FAILURE", "the cash changer could not do it"},
    {112, "OPOS_E_TIMEOUT", "timed out"},
    {113, "OPOS_E_BUSY", "busy with another operation"},
    {114, "OPOS_E_EXTENDED", "the reason is in ResultCodeExtended"},
    {301, "OPOS_OR_ALREADYOPEN", "the control is already open"},
    {302, "OPOS_OR_REGBADNAME", "no registry key for this device name"},
    {303, "OPOS_OR_REGPROGID", "the device key names no service object"},
    {304, "OPOS_OR_CREATE", "the service object cannot be created"},
    {305, "OPOS_OR_BADIF", "the service object lacks a member its release requires"},
    {306, "OPOS_OR_FAILEDOPEN", "the service object's OpenService failed without a reason of its own"},
    {307, "OPOS_OR_BADVERSION", "the service object's major version is not 1"},
    {401, "OPOS_ORS_NOPORT", "the service object cannot open the port"},
    {402, "OPOS_ORS_NOTSUPPORTED", "the service object does not support this device"},
    {403, "OPOS_ORS_CONFIG", "the device's configuration is not valid"},
    {450, "OPOS_ORS_SPECIFIC", "a reason of the service object's own"},
};

// The reasons this service object gives with OPOS_E_EXTENDED. The KRT03
// and KRT07/KRT77 codes are read from the machine's status record; where
// the machine says no more than a status bit, the text names the bit.
// Texts hold no parentheses: the shell prints them inside a pair.
constexpr CodeName kExtendedCodes[] = {
    {201, "OPOS_ECHAN_OVERDISPENSE", "not possible now: the stock cannot pay it, or the machine refused"},
    {202, "VEXOKRT_ECHAN_KRT03_UNIT_IN_USE", "KRT03: a unit is in use, status byte 43 or 45 bit 1"},
    {203, "VEXOKRT_ECHAN_KRT03_STATE_203", "KRT03: unit state, status byte 45 bit 2"},
    {204, "VEXOKRT_ECHAN_KRT03_BILL_BOX_FULL", "KRT03: the bill collection box is full"},
    {205, "VEXOKRT_ECHAN_KRT03_STATE_205", "KRT03: unit state, status byte 43 bit 2"},
    {206, "VEXOKRT_ECHAN_KRT03_STATE_206", "KRT03: bill unit state, status byte 47 bit 2"},
    {207, "VEXOKRT_ECHAN_KRT03_STATE_207", "KRT03: bill unit state, status byte 47 bit 1"},
    {231, "VEXOKRT_ECHAN_NOT_READY", "the machine is not ready for it"},
    {232, "VEXOKRT_ECHAN_CASH_WAITING", "cash waits in the coin tray, the bill outlet or the bill entrance"},
    {233, "VEXOKRT_ECHAN_CASH_BEING_HANDLED", "cash is still being handled"},
    {234, "VEXOKRT_ECHAN_UNIT_FAULT", "a coin or bill unit reports a fault, status byte 44 or 45 bit 2"},
    {235, "VEXOKRT_ECHAN_UNIT_STATE", "the unit state forbids it, status byte 43 bit 2"},
    {236, "VEXOKRT_ECHAN_CASSETTE_OUT", "the collection cassette is removed"},
    {237, "VEXOKRT_ECHAN_NOT_AT_CURRENT_EXIT", "not allowed at the current exit"},
    {238, "VEXOKRT_ECHAN_STOPPED", "the machine has stopped with an error"},
    {239, "VEXOKRT_ECHAN_UNIT_ABNORMAL", "a coin or bill unit is not in its normal state, status bytes 44 and 45"},
    {240, "VEXOKRT_ECHAN_STATE_240", "KRT07/KRT77 state 240"},
    {241, "VEXOKRT_ECHAN_COIN_SIDE", "the coin side forbids it, status byte 7 bit 3"},
    {280, "OPOS_ESTATS_ERROR", "a statistic named is not known, or its value cannot be set"},
    {281, "OPOS_EFIRMWARE_BAD_FILE", "the firmware file is missing, unreadable or not for this device"},
    {282, "OPOS_ESTATS_DEPENDENCY", "a statistic cannot be reset or set without others that depend on it"},
    {0xFFFF, "VEXOKRT_ECHAN_NO_ERROR_NUMBER", "the machine's error number could not be read"},
};

constexpr CodeName kDeviceStatusUpdates[] = {
    {11, "CHAN_STATUS_EMPTY", "a denomination is empty"},
    {12, "CHAN_STATUS_NEAREMPTY", "a denomination is near empty"},
    {13, "CHAN_STATUS_EMPTYOK", "no denomination is empty or near empty any more"},
    {21, "CHAN_STATUS_FULL", "a denomination is full"},
    {22, "CHAN_STATUS_NEARFULL", "a denomination is near full"},
    {23, "CHAN_STATUS_FULLOK", "no denomination is full or near full any more"},
    {31, "CHAN_STATUS_JAM", "jam: the machine has stopped with an error"},
    {32, "CHAN_STATUS_JAMOK", "the jam is cleared"},
    {91, "CHAN_STATUS_ASYNC", "an asynchronous operation has ended, see AsyncResultCode"},
    {2000, "OPOS_PS_UNKNOWN", "power state unknown"},
    {2001, "OPOS_SUE_POWER_ONLINE", "power on and ready"},
    {2002, "OPOS_SUE_POWER_OFF", "power off"},
    {2003, "OPOS_SUE_POWER_OFFLINE", "power on, off line"},
    {2004, "OPOS_SUE_POWER_OFF_OFFLINE", "power off or off line"},
};

// How an UpdateFirmware ends: complete (the last step of its progress,
// 100 %) or failed, with the state the device was left in.
constexpr CodeName kFirmwareUpdateEnds[] = {
    {2200, "OPOS_SUE_UF_COMPLETE", "the firmware update is complete, 100 % done"},
    {2201, "OPOS_SUE_UF_FAILED_DEV_OK", "the firmware update failed; the device still works with its old firmware"},
    {2202, "OPOS_SUE_UF_FAILED_DEV_UNRECOVERABLE", "the firmware update failed; the device cannot be used any more"},
    {2203, "OPOS_SUE_UF_FAILED_DEV_NEEDS_FIRMWARE",
     "the firmware update failed; the device works again only after a successful update"},
    {2204, "OPOS_SUE_UF_FAILED_DEV_UNKNOWN", "the firmware update failed; the device's state is not known"},
    {2205, "OPOS_SUE_UF_COMPLETE_DEV_NOT_RESTORED",
     "the firmware update is complete, but the device's settings were not restored"},
};

// UpdateFirmware's progress, OPOS_SUE_UF_PROGRESS (2100) plus the percent
// done: one row for each percent from 0 to 99, written out at compile time
// ("OPOS_SUE_UF_PROGRESS+37", "firmware update 37 % done"). 100 % is
// OPOS_SUE_UF_COMPLETE.
constexpr int kProgressBase = 2100;
constexpr int kProgressSteps = 100;

struct ProgressWords {
  char names[kProgressSteps][sizeof "OPOS_SUE_UF_PROGRESS+99"];
  char texts[kProgressSteps][sizeof "firmware update 99 % done"];
};

constexpr void Append(char* out, size_t& at, const char* text) {
  while (*text != '\0') out[at++] = *text++;
}
constexpr void AppendPercent(char* out, size_t& at, int percent) {
  if (percent >= 10) out[at++] = static_cast<char>('0' + percent / 10);
  out[at++] = static_cast<char>('0' + percent % 10);
}

constexpr ProgressWords MakeProgressWords() {
  ProgressWords words{};
  for (int percent = 0; percent < kProgressSteps; ++percent) {
    size_t at = 0;
    Append(words.names[percent], at, "OPOS_SUE_UF_PROGRESS");
    if (percent > 0) {
      Append(words.names[percent], at, "+");
      AppendPercent(words.names[percent], at, percent);
    }
    at = 0;
    Append(words.texts[percent], at, "firmware update ");
    AppendPercent(words.texts[percent], at, percent);
    Append(words.texts[percent], at, " % done");
  }
  return words;
}
constexpr ProgressWords kProgressWords = MakeProgressWords();

// The status update table in ascending order: the device's values, the
// firmware update's progress, its ends.
constexpr auto MakeStatusUpdates() {
  std::array<CodeName, std::size(kDeviceStatusUpdates) + kProgressSteps + std::size(kFirmwareUpdateEnds)> rows{};
  size_t at = 0;
  for (const CodeName& row : kDeviceStatusUpdates) rows[at++] = row;
  for (int percent = 0; percent < kProgressSteps; ++percent) {
    rows[at++] = {kProgressBase + percent, kProgressWords.names[percent], kProgressWords.texts[percent]};
  }
  for (const CodeName& row : kFirmwareUpdateEnds) rows[at++] = row;
  return rows;
}
constexpr auto kStatusUpdates = MakeStatusUpdates();

constexpr bool Ascending(std::span<const CodeName> rows) {
  for (size_t i = 1; i < rows.size(); ++i) {
    if (rows[i - 1].code >= rows[i].code) return false;
  }
  return true;
}
static_assert(Ascending(kStatusUpdates), "the status update rows ascend");

constexpr CodeName kDirectIoEvents[] = {
    {1, "VEXOKRT_DIO_EVENT_TAKE_BACK_QUESTION",
     "KRT03: a take-back cannot finish; leave pData 1 to try again, anything else stops it"},
    {3, "VEXOKRT_DIO_EVENT_REJECTED", "cash was rejected"},
    {4, "VEXOKRT_DIO_EVENT_CASSETTE_REMOVED", "the collection cassette was taken out"},
    {5, "VEXOKRT_DIO_EVENT_CASSETTE_RETURNED", "the collection cassette is back"},
    {6, "VEXOKRT_DIO_EVENT_CASSETTE_DISPLAY_ON", "the bill unit shows its cassette state 92"},
    {7, "VEXOKRT_DIO_EVENT_CASSETTE_DISPLAY_OFF", "the bill unit no longer shows its cassette state"},
    {8, "VEXOKRT_DIO_EVENT_REJECTED_STORAGE_FULL", "cash was rejected because its storage is full"},
    {20, "VEXOKRT_DIO_EVENT_PAYOUT_ENDED_EARLY",
     "a pay-out ended early: pData the yen paid or -1, pString the pieces"},
};

}  // namespace

std::span<const CodeName> Names(NameTable table) {
  switch (table) {
    case NameTable::kResultCode:
      return kResultCodes;
    case NameTable::kExtendedCode:
      return kExtendedCodes;
    case NameTable::kStatusUpdate:
      return kStatusUpdates;
    case NameTable::kDirectIoEvent:
      return kDirectIoEvents;
  }
  return {};
}

const CodeName* FindName(NameTable table, int32_t code) {
  if (table == NameTable::kResultCode && code > 450 && code < 500) code = 450;
  for (const CodeName& row : Names(table)) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

bool IsDeviceErrorNumber(int32_t code) {
  return code > 0 && code <= 0xFFFF && FindName(NameTable::kExtendedCode, code) == nullptr;
}

const char* NameOf(NameTable table, int32_t code) {
  if (const CodeName* row = FindName(table, code)) return row->name;
  if (table == NameTable::kExtendedCode && IsDeviceErrorNumber(code)) return kDeviceErrorName;
  return nullptr;
}

std::string ExtendedCodeText(int32_t code) {
  char text[48];
  if (const CodeName* row = FindName(NameTable::kExtendedCode, code)) return row->text;
  if (IsDeviceErrorNumber(code)) {
    std::snprintf(text, sizeof text, "device error 0x%04X", static_cast<unsigned>(code));
  } else {
    std::snprintf(text, sizeof text, "extended code %d", static_cast<int>(code));
  }
  return text;
}

std::string DescribeResult(int32_t result, int32_t extended) {
  const char* name = NameOf(NameTable::kResultCode, result);
  std::string out = name != nullptr ? name : "result " + std::to_string(result);
  if (result == 114) out += " extended=" + std::to_string(extended) + " (" + ExtendedCodeText(extended) + ")";
  return out;
}

}  // namespace vexokrt
