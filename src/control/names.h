// SPDX-License-Identifier: Apache-2.0
// Names and short English texts for the numbers a cash changer application
// meets: OPOS result codes (with the open results), the extended result
// codes this service object reports with OPOS_E_EXTENDED, the status update
// values, and the direct I/O event numbers it fires.
//
// Installed as <vexokrt/names.h>; the C interface (cash_changer_c.h) and the
// Python package read the same tables.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vexokrt {

// One named number.
struct CodeName {
  int32_t code;
  const char* name;  // the published name where the standard has one ("OPOS_E_EXTENDED")
  const char* text;  // a short English text for people
};

enum class NameTable {
  kResultCode,     // ResultCode, AsyncResultCode, OpenResult: 0, 101-114, 301-307, 401-403, 450
  kExtendedCode,   // ResultCodeExtended with OPOS_E_EXTENDED: 201-207, 231-241, statistics and
                   // firmware 280-282, device error numbers
  kStatusUpdate,   // StatusUpdateEvent data: 11-13, 21-23, 31, 32, 91, power 2000-2004, firmware
                   // update progress 2100-2199 (2100 + percent) and its ends 2200-2205
  kDirectIoEvent,  // DirectIOEvent numbers: 1, 3-8, 20
};

// The name every device error number shares: an extended code outside
// the table's rows, from 1 to 0xFFFF, is the machine's own error number
// (four hexadecimal digits, shown as "device error 0x1234").
inline constexpr char kDeviceErrorName[] = "VEXOKRT_ECHAN_DEVICE_ERROR";

// Every row of |table|, in ascending order of code.
std::span<const CodeName> Names(NameTable table);

// The row of |code| in |table|; null when it has none. In the result table
// 451-499 give the row of 450 (a service object's own open results).
const CodeName* FindName(NameTable table, int32_t code);

// True for an extended code that is a device error number.
bool IsDeviceErrorNumber(int32_t code);

// The name of |code| in |table|: the row's name, kDeviceErrorName for a
// device error number, or null.
const char* NameOf(NameTable table, int32_t code);

// The text of an extended code: the table's text, "device error 0x1234" for a
// device error number, "extended code N" for anything else.
std::string ExtendedCodeText(int32_t code);

// A result for people, as the shell prints it:
//   "OPOS_SUCCESS"
//   "OPOS_E_ILLEGAL"
//   "OPOS_E_EXTENDED extended=238 (the machine has stopped with an error)"
// |extended| is looked at only with OPOS_E_EXTENDED (114).
std::string DescribeResult(int32_t result, int32_t extended);

}  // namespace vexokrt
