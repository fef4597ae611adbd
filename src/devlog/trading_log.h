// SPDX-License-Identifier: Apache-2.0
// The trading log: the device's lifetime trading counters (power-on hours,
// deposit and dispense counts, counts per denomination, program versions),
// kept in a 512-byte block of its memory, written as a text file of
// "label,value" lines into the log folder. Only one such file is kept: each
// retrieval deletes the file written last time and writes a new one named
// after the current local time.
//
// The two model families keep the block differently:
//   KRT07, KRT77        raw memory read 's'; the start date in packed decimal,
//                       every other field a 32-bit big-endian counter;
//                       115 lines.
//   KRT02 family, KRT03 hex-text memory read '6'; the start date copied as
//                       text, four version fields as four characters, the
//                       other fields eight hex digits; 128 lines.
// Counters print as signed 32-bit decimals (so 2^31 and above come out
// negative), the way every reader of these files expects them.
//
// The file is CP932 text with CR LF line ends.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devlog/log_context.h"
#include "devlog/memory_read.h"
#include "link/model_code.h"

namespace vexokrt::devlog {

inline constexpr int32_t kTradingBlockBytes = 512;

// One line of the layout: the block offset of the field and its label (UTF-8
// in the source, ending with ",").
struct TradingLogField {
  int32_t offset;
  std::string_view label;
};

// One line of a report: the label and the value text (the value's bytes are
// written as they are).
struct TradingLogLine {
  std::string_view label;
  std::string value;
};

// One of the five memory reads that together cover the block.
struct TradingBlockRead {
  uint32_t address;
  int32_t bytes;   // block bytes covered
  int32_t offset;  // first block offset covered
};

std::span<const TradingLogField> Krt07TradingLayout();  // 115 fields
std::span<const TradingLogField> Krt02TradingLayout();  // 128 fields
std::span<const TradingBlockRead> Krt07TradingReads();
std::span<const TradingBlockRead> Krt02TradingReads();

// The report of a KRT07/KRT77 block of kTradingBlockBytes raw bytes.
std::vector<TradingLogLine> FormatKrt07TradingLog(std::span<const uint8_t> block);

// The report of a KRT02/KRT03 block given as its 2 * kTradingBlockBytes
// hex-text characters.
std::vector<TradingLogLine> FormatKrt02TradingLog(std::span<const uint8_t> text);

// The file contents: every label converted to CP932, its value, CR LF.
std::string RenderTradingLog(const std::vector<TradingLogLine>& lines);

// Reads the block of |model| through |exchange| (each read with |timeout_ms|)
// and replaces the trading-log file. The KRT02 family and KRT03 write no
// trace lines.
//
// Returns 0 when every read was answered with a data frame of its length,
// else the failing read's receive status or kWrongAnswerLength; nothing in
// the folder or the persistent values is touched then.
//
// After good reads, the file name is the TradingLog pattern applied to the
// local time. A name that is empty, or that would leave the folder (a '/',
// "." or ".."), is not used: a trace line says so and nothing is deleted,
// stored or written. Otherwise, write first and delete after: the new file is
// written completely (a failed write is traced with its cause, and then
// nothing else changes), LastTradingLog is set to the new path, the file it
// named before is deleted when it is an own file of the log folder, and the
// oldest own file (never the new one) goes when room was short. File and
// registry errors there do not change the result.
int32_t RetrieveTradingLog(ModelCode model, MemoryReadExchange& exchange, int32_t timeout_ms,
                           const DeviceLogContext& context);

// The reads of RetrieveTradingLog (with their trace lines) without the file:
// the report's lines into |lines| when the result is 0.
int32_t ReadTradingLog(ModelCode model, MemoryReadExchange& exchange, int32_t timeout_ms,
                       const DeviceLogContext& context, std::vector<TradingLogLine>* lines);

}  // namespace vexokrt::devlog
