// SPDX-License-Identifier: Apache-2.0
#include "devlog/device_log_files.h"

#include <array>
#include <string>

#include "devlog/log_context.h"
#include "opos/opos.h"

namespace vexokrt::devlog {
namespace {

// clang-format off
constexpr std::array<DeviceLogRegion, 31> kRegions{{
    {0, "CoinLog00.bin", 0x1000200, 1},
    {1, "CoinLog01.bin", 0x1000A00, 2},
    {2, "CoinLog02.bin", 0x1001200, 1},
    {3, "CoinLog03.bin", 0x1001600, 16},
    {4, "CoinLog04.bin", 0x1005600, 493},
    {5, "CoinLog05.bin", 0x1080A00, 6},
    {6, "CoinLog06.bin", 0x1082200, 15},
    {8, "CoinLog08.bin", 0x1087200, 2},
    {9, "CoinLog09.bin", 0x1087A00, 1},
    {10, "CoinLog10.bin", 0x1087E00, 1},
    {11, "CoinLog11.bin", 0x1088200, 1},
    {12, "CoinLog12.bin", 0x1088400, 293},
    {13, "CoinLog13.bin", 0x10D1800, 23},
    {14, "CoinLog14.bin", 0x10D7400, 10},
    {15, "CoinLog15.bin", 0x10D9C00, 2},
    {17, "CoinLog17.bin", 0x10DA800, 100},
    {18, "CoinLog18.bin", 0x10F3800, 50},
    {19, "BillLog00.bin", 0x9000050, 1},
    {20, "BillLog01.bin", 0x9000094, 1},
    {21, "BillLog02.bin", 0x9000164, 1},
    {22, "BillLog03.bin", 0x9000564, 124},
    {23, "BillLog04.bin", 0x901ECE4, 2},
    {24, "BillLog05.bin", 0xB780000, 506},
    {25, "BillLog06.bin", 0x901F0F0, 1},
    {26, "BillLog07.bin", 0x901F230, 48},
    {27, "BillLog08.bin", 0xB490200, 32},
    {28, "BillDitalLog00.bin", 0x9000000, 1},
    {29, "BillDitalLog01.bin", 0x902ADB0, 524},
    {30, "BillDitalLog02.bin", 0x90AADB0, 319},
    {31, "BillDitalLog03.bin", 0xB000000, 4193},
    {32, "BillDitalLog04.bin", 0xB400100, 584},
}};
// clang-format on

// Region codes from |first| to |last| inclusive, in table order.
void AppendRange(std::vector<int32_t>& rows, int32_t first, int32_t last) {
  for (const DeviceLogRegion& r : kRegions) {
    if (r.code >= first && r.code <= last) rows.push_back(r.code);
  }
}

LogFileResult Failure() { return {opos::OPOS_E_FAILURE, 0, {}}; }

}  // namespace

std::span<const DeviceLogRegion> DeviceLogRegions() { return kRegions; }

const DeviceLogRegion* FindDeviceLogRegion(int32_t code) {
  for (const DeviceLogRegion& r : kRegions) {
    if (r.code == code) return &r;
  }
  return nullptr;
}

std::vector<int32_t> DeviceLogRequestRows(int32_t code) {
  std::vector<int32_t> rows;
  switch (code) {
    case kCoinLogGroup:
      AppendRange(rows, 0, 18);
      break;
    case kBillLogGroup:
      AppendRange(rows, 19, 27);
      break;
    case kBillDiscriminatorLogGroup:
      AppendRange(rows, 28, 32);
      break;
    case kAllLogsGroup:
      AppendRange(rows, 0, 32);
      break;
    default:
      if (FindDeviceLogRegion(code) != nullptr) rows.push_back(code);
      break;
  }
  return rows;
}

LogFileResult ReadDeviceLogFile(MemoryReadExchange& exchange, ModelCode model, const LogFolder& folder,
                                uint32_t address, int32_t units, std::string_view file_name) {
  if (units < 0) return Failure();
  const int64_t blocks = int64_t{units} * (kLogUnitBytes / kLogBlockStride);
  std::string buffer;
  buffer.reserve(static_cast<size_t>(blocks * kLogBlockStride));
  uint32_t block_address = address;
  for (int64_t i = 0; i < blocks; ++i, block_address += kLogBlockStride) {
    const DeviceReply reply =
        exchange.Exchange(MemoryReadCommand(kRawMemoryRead, block_address, 0xFF), kLogBlockTimeoutMs);
    if (reply.status != kReplyOk) return Failure();
    if (reply.answerByte == kBel) {
      // The link has already asked a KRT07/KRT77 for the reason of the
      // refusal; other models have no such code here.
      if (IsKrt07Family(model) && reply.errorFlag != 0 && reply.errorCode != 0) {
        return {opos::OPOS_E_EXTENDED, reply.errorCode, {}};
      }
      return Failure();
    }
    if (reply.answerByte != 0 || reply.length() != kLogBlockAnswer) return Failure();
    buffer.append(reply.data.begin(), reply.data.end());
    buffer.push_back(static_cast<char>(kUnreadBlockFill));
  }
  std::string error;
  if (!ReplaceFile(folder.PathOf(file_name), buffer, &error)) return {opos::OPOS_E_FAILURE, 0, error};
  return {opos::OPOS_SUCCESS, 0, {}};
}

LogFileResult RunDeviceLogRequest(MemoryReadExchange& exchange, ModelCode model, const LogFolder& folder,
                                  int32_t code) {
  if (code == kIdleCodeA || code == kIdleCodeB) return {code, 0, {}};
  const std::vector<int32_t> rows = DeviceLogRequestRows(code);
  if (rows.empty()) return {opos::OPOS_E_ILLEGAL, 0, {}};
  LogFileResult last;
  std::string errors;
  for (int32_t row : rows) {
    const DeviceLogRegion* region = FindDeviceLogRegion(row);
    last = ReadDeviceLogFile(exchange, model, folder, region->address, region->units, region->file_name);
    if (!last.error.empty()) errors += (errors.empty() ? "" : "; ") + last.error;
  }
  last.error = errors;
  return last;
}

}  // namespace vexokrt::devlog
