// SPDX-License-Identifier: Apache-2.0
// Binary copies of the device's internal coin and bill logs.
//
// Each log region of the KRT07/KRT77 memory has a request code and a file
// name; a request code either names one region, or a group of them (96 coin
// logs, 97 bill logs, 98 bill discriminator logs, 99 all of them). The
// communication thread runs a request for the direct-I/O log command, or the
// command runs it itself while the status watch is paused.
//
// A region is read in blocks of 256 address bytes. The memory-read length
// field holds at most 0xFF, so each block asks for 255 bytes; the 256th byte
// of every block is never read and is written as kUnreadBlockFill. That keeps
// every file offset equal to (device address - region start), which is what
// makes the copies usable, and marks the bytes that are not the device's.
#pragma once

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "devlog/log_folder.h"
#include "devlog/memory_read.h"
#include "link/model_code.h"

namespace vexokrt::devlog {

inline constexpr int32_t kLogUnitBytes = 1024;
inline constexpr int32_t kLogBlockStride = 256;  // address step and file bytes per block
inline constexpr int32_t kLogBlockAnswer = 255;  // bytes the device answers per block
inline constexpr uint8_t kUnreadBlockFill = 0x00;

// Request codes with a meaning of their own.
inline constexpr int32_t kCoinLogGroup = 96;
inline constexpr int32_t kBillLogGroup = 97;
inline constexpr int32_t kBillDiscriminatorLogGroup = 98;
inline constexpr int32_t kAllLogsGroup = 99;
inline constexpr int32_t kIdleCodeA = 7;   // reserved codes: nothing is read,
inline constexpr int32_t kIdleCodeB = 16;  // the code itself is the result

struct DeviceLogRegion {
  int32_t code;
  std::string_view file_name;
  uint32_t address;
  int32_t units;  // of kLogUnitBytes
};

// The regions in code order (codes 0-6, 8-15, 17-32).
std::span<const DeviceLogRegion> DeviceLogRegions();

// The region of |code|, or null.
const DeviceLogRegion* FindDeviceLogRegion(int32_t code);

// The region codes a request code runs, in order: one for a region code, the
// members for a group code, none for anything else (7 and 16 included).
std::vector<int32_t> DeviceLogRequestRows(int32_t code);

// An OPOS result plus the extended code that goes with OPOS_E_EXTENDED.
struct LogFileResult {
  int32_t result = 0;
  int32_t extended = 0;  // meaningful only when result is OPOS_E_EXTENDED
  std::string error;     // a file that could not be written: its path and errno text
};

// Reads |units| KiB from |address| and writes them to the folder's file
// |file_name| (created or truncated). Results:
//   0 (OPOS_SUCCESS)      the file was written;
//   111 (OPOS_E_FAILURE)  a block failed (receive error, time-out, NAK,
//                         anything but a 255-byte data frame, a BEL without
//                         an error code), or the file could not be written;
//   114 (OPOS_E_EXTENDED) a KRT07/KRT77 answered BEL with an error code,
//                         which is in |extended|.
// Nothing is written unless every block was read. Reads go through |exchange|
// with kLogBlockTimeoutMs each.
LogFileResult ReadDeviceLogFile(MemoryReadExchange& exchange, ModelCode model, const LogFolder& folder,
                                uint32_t address, int32_t units, std::string_view file_name);

// Runs request |code|: a region, a group (every member in order, even after a
// failure; the result is that of the last member), 7 or 16 (nothing sent,
// result 7 or 16), or any other code (nothing sent, 106 OPOS_E_ILLEGAL).
LogFileResult RunDeviceLogRequest(MemoryReadExchange& exchange, ModelCode model, const LogFolder& folder, int32_t code);

}  // namespace vexokrt::devlog
