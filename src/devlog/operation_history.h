// SPDX-License-Identifier: Apache-2.0
// The operation history: the device keeps a ring of fixed-size records in its
// memory, with a storing pointer P (where the next record goes) and an
// overwrite count O (how often the ring has wrapped). OperationHistoryStep
// copies at most one new record per call into a CSV file per day of the
// record's date; the position reached, (R, C), is kept in the persistent
// values so copying continues after a restart. A backlog therefore drains at
// one record per idle watch pass, and whenever the two positions are out of
// step the stored one is set to the device's, skipping what lies between.
//
// Ring geometry:
//                      KRT02 family, KRT03      KRT07, KRT77
//   records            1705                     6000
//   record bytes       68                       84
//   ring base          0x41AE6C                 0x1005604
//   pointer at         0x41AE68 (4 bytes)       0x1005600 (4 bytes)
//   read command       '6' (hex text)           's' (raw)
//   pointer answer     8 digits: P then O       4 bytes: P then O, high first
//
// Each record becomes one line: its bytes as upper-case hex pairs joined by
// ",", CR LF, appended to the day file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devlog/log_context.h"
#include "devlog/memory_read.h"
#include "link/line_exchange.h"
#include "link/model_code.h"

namespace vexokrt::devlog {

struct HistoryGeometry {
  uint32_t records;
  int32_t record_bytes;
  uint32_t base;
  uint32_t pointer_address;
  uint8_t read_command;
  bool hex_text;  // answers carry two digit characters per byte
};

// The KRT07/KRT77 geometry for those models, the other one for every other model.
const HistoryGeometry& HistoryGeometryFor(ModelCode model);

// A position in the ring: the number of the next record and the overwrite count.
struct HistoryPosition {
  uint32_t pointer = 0;
  uint32_t overwrites = 0;
  friend bool operator==(const HistoryPosition&, const HistoryPosition&) = default;
};

// How the device's overwrite count stands to the stored one.
enum class OverwriteRelation { kBehind, kEqual, kAhead };

struct PositionComparison {
  OverwriteRelation relation;
  bool next_record_is_new;  // false: out of step
};

// Whether the stored position R names a record the device has written since
// (the positions are known to differ):
//   O < C: only when the count wrapped: O = 0, C = 0xFFFF and P < R;
//   O = C: when P > R;
//   O > C: when O = C + 1 and P < R (the ring wrapped once).
PositionComparison CompareHistoryPositions(HistoryPosition device, HistoryPosition stored);

// The position after copying the record at |stored|: R + 1, or after the last
// record R = 1 with the count advanced (0xFFFF wraps to 0).
HistoryPosition NextHistoryPosition(HistoryPosition stored, uint32_t records);

// Address of the record copied at pointer R (R = records means index 0).
uint32_t HistoryRecordAddress(const HistoryGeometry& geometry, uint32_t pointer);

// A record as read, with the outcome of its checks.
struct HistoryRecord {
  std::vector<uint8_t> bytes;  // the record bytes (decoded from hex text)
  bool valid = false;
  std::vector<std::string> notes;  // KRT07/KRT77: one trace line per failed check
};

// Decodes and checks a record answer of |model|. A record whose first byte is
// 0x41 or 0x42 has no date and is valid when bytes 66 and 67 are both 0.
// Any other record needs month, day, hour, minute and second in bytes 0-4 as
// packed decimal (each digit 0-9; for hex text each digit character '0'-'9')
// within 1-12, 1-31, 0-23, 0-59, 0-59, and byte 5 equal to the model's record
// mark: 100 (KRT02 family, KRT03), 101 (KRT07), 103 (KRT77).
HistoryRecord ParseHistoryRecord(ModelCode model, std::span<const uint8_t> answer);

// "0A,1B,...": the bytes as upper-case hex pairs joined by ",", no line end.
std::string FormatHistoryLine(std::span<const uint8_t> bytes);

// The day-file name: |pattern| with "%y" replaced by the two-digit |year|,
// "%m" by byte 0 and "%d" by byte 1 of the record, each as two hex digits
// (packed decimal reads as the decimal it holds). Other text stays as it is.
std::string HistoryFileName(std::string_view pattern, int year, uint8_t month_byte, uint8_t day_byte);

// One step of the copy. Returns 0 on success and whenever there was nothing
// (more) to do, a skipped record included; kWrongAnswerLength when the
// pointer request was answered with the wrong length; otherwise the receive
// status of the failing request (a failed record read leaves the position
// unchanged, so the record is tried again next time). The communication
// thread treats 0 and kWrongAnswerLength as success.
//
// Sound-input rules: a stored pointer beyond the ring counts as unreadable,
// so the device's position is taken instead of walking past the ring; file
// names (from OperationHistory or LastOperationHistory) that are empty or
// would leave the log folder are refused with a trace line and nothing is
// written, while the position still advances. Failed writes of the
// persistent values are ignored.
//
// The step makes two reads: the pointer, then the record. When |abandon|
// says so between them (a pause of the status watch waits for the step),
// the step returns 0 before the record read with nothing stored: the same
// record is copied by a later step.
int32_t OperationHistoryStep(ModelCode model, MemoryReadExchange& exchange, const DeviceLogContext& context,
                             const AbandonCheck& abandon = {});

}  // namespace vexokrt::devlog
