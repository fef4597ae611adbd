// SPDX-License-Identifier: Apache-2.0
// The device memory that the memory-read commands ('s' raw, '6' as
// '0'+nibble text) look into. Nothing of the address space is stored as a
// whole: each read is put together byte by byte from
//   - the 512-byte trading block of lifetime counters,
//   - the operation-history ring (storing pointer, overwrite count, records;
//     only records that were written are kept),
//   - the two count tables (KRT07/KRT77), taken from the inventory at the moment of reading,
//   - and, everywhere else, a fixed pseudo-random pattern standing in for the
//     device's internal coin and bill logs,
// so the logs of several hundred kilobytes cost nothing until read.
//
// Addresses by family:
//                       KRT02 family, KRT03        KRT07, KRT77
//   trading block       0x416D48 (512)             0x1001200 (512)
//   history pointer     0x41AE68 (4)               0x1005600 (4)
//   history records     0x41AE6C, 1705 x 68        0x1005604, 6000 x 84
//   count tables        -                          0x10002A0 box, 0x10002C0 stock
//                                                  (16 x 16-bit: 10000, 5000, 2000,
//                                                  1000, 4 unused, 500, 100, 50,
//                                                  10, 5, 1, 2 unused)
// All multi-byte values are big-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>

#include "sim/fields.h"
#include "sim/inventory.h"
#include "sim/model.h"

namespace vexokrt::sim {

struct HistoryPointer {
  std::uint16_t pointer = 0;     // number of the next record to be written (1..N, 0 = never)
  std::uint16_t overwrites = 0;  // laps completed around the ring
  friend bool operator==(const HistoryPointer&, const HistoryPointer&) = default;
};

struct MemoryLayout {
  std::uint32_t trading_block;
  std::uint32_t history_pointer;
  std::uint32_t history_base;
  int history_capacity;
  int history_record_size;
};
const MemoryLayout& LayoutOf(Family family);

inline constexpr std::uint32_t kCountTableBoxAddress = 0x10002A0;
inline constexpr std::uint32_t kCountTableStockAddress = 0x10002C0;
inline constexpr int kTradingBlockSize = 512;

// Trading-block offsets the machine keeps counting (same in both families
// unless named otherwise).
namespace trading {
inline constexpr int kPowerOnHours = 4;
inline constexpr int kPowerOnCount = 8;
inline constexpr int kResetCount = 12;
inline constexpr int kAmountPayouts = 68;   // 11 brackets of 1000 yen, 68..108
inline constexpr int kCountPayouts = 112;
inline constexpr int kBillCollections = 116;
inline constexpr int kCoinCollections = 136;
inline constexpr int kCoinCountChecks = 176;
inline constexpr int kBillCountChecks = 196;
inline constexpr int kPayoutsDuringDeposit = 200;
inline constexpr int kDepositPieces = 208;  // 10 counters: 10000 .. 1 yen
inline constexpr int kPayoutPieces = 252;   // 10 counters: 10000 .. 1 yen
inline constexpr int kCollectedPieces = 296;  // 10 counters: 10000 .. 1 yen
inline constexpr int kDepositRejects = 400;
}  // namespace trading

class MemoryImage {
 public:
  explicit MemoryImage(Family family);

  Bytes Read(std::uint32_t address, std::size_t length, const Inventory& inventory) const;

  std::uint32_t Counter(int offset) const;
  void SetCounter(int offset, std::uint32_t value);
  void AddToCounter(int offset, std::uint32_t delta);
  // Offsets of the deposit counters: controller deposits (KRT07/KRT77 only,
  // -1 otherwise), deposits with coins, deposits with bills.
  int DepositCountOffset() const;
  int CoinDepositCountOffset() const;
  int BillDepositCountOffset() const;

  const HistoryPointer& history_pointer() const { return pointer_; }
  void SetHistoryPointer(const HistoryPointer& pointer) { pointer_ = pointer; }
  int history_capacity() const { return layout_.history_capacity; }
  int history_record_size() const { return layout_.history_record_size; }
  Bytes Record(int index) const;
  void SetRecord(int index, std::span<const std::uint8_t> bytes);
  // Writes the next record where the pointer says and advances the pointer
  // (and, when the ring wraps, the overwrite count) the way the host expects.
  void AppendRecord(std::span<const std::uint8_t> bytes);

 private:
  std::uint8_t ByteAt(std::uint32_t address, const Inventory& inventory) const;

  Family family_;
  MemoryLayout layout_;
  std::array<std::uint8_t, kTradingBlockSize> trading_{};
  HistoryPointer pointer_;
  std::map<int, Bytes> records_;
};

}  // namespace vexokrt::sim
