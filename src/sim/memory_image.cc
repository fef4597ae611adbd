// SPDX-License-Identifier: Apache-2.0
#include "sim/memory_image.h"

#include <algorithm>

namespace vexokrt::sim {
namespace {

constexpr MemoryLayout kOlderLayout{0x416D48, 0x41AE68, 0x41AE6C, 1705, 68};
constexpr MemoryLayout kNewerLayout{0x1001200, 0x1005600, 0x1005604, 6000, 84};

// Slot of each denomination (kFaceValues order) in a count table.
constexpr int kCountTableSlot[kDenominationCount] = {13, 12, 11, 10, 9, 8, 3, 2, 1, 0};

void PutU32(std::array<std::uint8_t, kTradingBlockSize>& block, int offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) block[static_cast<std::size_t>(offset + i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// Stands in for the internal logs: looks like binary data, reads the same
// every time, costs no memory.
std::uint8_t Filler(std::uint32_t address) {
  std::uint32_t x = address * 2654435761u;
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return static_cast<std::uint8_t>(x >> 24);
}

bool Within(std::uint32_t address, std::uint32_t start, std::uint32_t size) {
  return address >= start && address - start < size;
}

}  // namespace

const MemoryLayout& LayoutOf(Family family) {
  switch (family) {
    case Family::kKrt02And03:
      return kOlderLayout;
    case Family::kKrt07And77:
      return kNewerLayout;
  }
  return kNewerLayout;
}

MemoryImage::MemoryImage(Family family) : family_(family), layout_(LayoutOf(family)) {
  // Log started 2019-04-01 (packed decimal).
  trading_[0] = 0x20;
  trading_[1] = 0x19;
  trading_[2] = 0x04;
  trading_[3] = 0x01;
  // A few years of service: every counter gets a modest, stable value, the
  // main ones something in proportion.
  for (int offset = 4; offset < 488; offset += 4) PutU32(trading_, offset, static_cast<std::uint32_t>((offset * 7919) % 97));
  PutU32(trading_, trading::kPowerOnHours, 12873);
  PutU32(trading_, trading::kPowerOnCount, 412);
  PutU32(trading_, trading::kResetCount, 37);
  PutU32(trading_, 16, 15234);
  PutU32(trading_, 20, 13877);
  PutU32(trading_, 24, 9120);
  PutU32(trading_, trading::kCountPayouts, 611);
  for (int i = 0; i < kDenominationCount; ++i) {
    PutU32(trading_, trading::kDepositPieces + 4 * i, static_cast<std::uint32_t>(1500 + 977 * i));
    PutU32(trading_, trading::kPayoutPieces + 4 * i, static_cast<std::uint32_t>(900 + 811 * i));
  }
  switch (family_) {
    case Family::kKrt07And77: {
      // Program versions as numbers.
      const std::uint32_t versions[6] = {10305, 10203, 10110, 10002, 10001, 10104};
      for (int i = 0; i < 6; ++i) PutU32(trading_, 488 + 4 * i, versions[i]);
      break;
    }
    case Family::kKrt02And03: {
      // Program versions as four characters each, then two tube-block counters.
      const char* versions = "0105020301100100";
      for (int i = 0; i < 16; ++i) trading_[static_cast<std::size_t>(488 + i)] = static_cast<std::uint8_t>(versions[i]);
      PutU32(trading_, 504, 3);
      PutU32(trading_, 508, 1);
      break;
    }
  }
}

std::uint32_t MemoryImage::Counter(int offset) const {
  if (offset < 0 || offset + 4 > kTradingBlockSize) return 0;
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | trading_[static_cast<std::size_t>(offset + i)];
  return value;
}

void MemoryImage::SetCounter(int offset, std::uint32_t value) {
  if (offset < 0 || offset + 4 > kTradingBlockSize) return;
  PutU32(trading_, offset, value);
}

void MemoryImage::AddToCounter(int offset, std::uint32_t delta) { SetCounter(offset, Counter(offset) + delta); }

int MemoryImage::DepositCountOffset() const { return family_ == Family::kKrt07And77 ? 16 : -1; }
int MemoryImage::CoinDepositCountOffset() const { return family_ == Family::kKrt07And77 ? 20 : 16; }
int MemoryImage::BillDepositCountOffset() const { return family_ == Family::kKrt07And77 ? 24 : 20; }

Bytes MemoryImage::Record(int index) const {
  Bytes record(static_cast<std::size_t>(layout_.history_record_size), 0);
  auto it = records_.find(index);
  if (it != records_.end()) record = it->second;
  return record;
}

void MemoryImage::SetRecord(int index, std::span<const std::uint8_t> bytes) {
  if (index < 0 || index >= layout_.history_capacity) return;
  Bytes record(static_cast<std::size_t>(layout_.history_record_size), 0);
  std::copy_n(bytes.begin(), std::min(bytes.size(), record.size()), record.begin());
  records_[index] = std::move(record);
}

void MemoryImage::AppendRecord(std::span<const std::uint8_t> bytes) {
  // The pointer names the record after the last one written; once it reaches
  // the end of the ring the next record goes to position 0 and a lap is counted.
  int index = pointer_.pointer;
  if (index >= layout_.history_capacity) {
    index = 0;
    pointer_.overwrites = static_cast<std::uint16_t>(pointer_.overwrites + 1);
  }
  SetRecord(index, bytes);
  pointer_.pointer = static_cast<std::uint16_t>(index + 1);
}

std::uint8_t MemoryImage::ByteAt(std::uint32_t address, const Inventory& inventory) const {
  if (Within(address, layout_.trading_block, kTradingBlockSize)) {
    return trading_[address - layout_.trading_block];
  }
  if (Within(address, layout_.history_pointer, 4)) {
    std::uint32_t packed = static_cast<std::uint32_t>(pointer_.pointer) << 16 | pointer_.overwrites;
    return static_cast<std::uint8_t>(packed >> (24 - 8 * (address - layout_.history_pointer)));
  }
  std::uint32_t ring_size = static_cast<std::uint32_t>(layout_.history_capacity * layout_.history_record_size);
  if (Within(address, layout_.history_base, ring_size)) {
    std::uint32_t at = address - layout_.history_base;
    int index = static_cast<int>(at / static_cast<std::uint32_t>(layout_.history_record_size));
    auto it = records_.find(index);
    if (it == records_.end()) return 0;
    return it->second[at % static_cast<std::uint32_t>(layout_.history_record_size)];
  }
  if (family_ == Family::kKrt07And77) {
    for (std::uint32_t table : {kCountTableBoxAddress, kCountTableStockAddress}) {
      if (!Within(address, table, 32)) continue;
      const CashCounts& counts = table == kCountTableBoxAddress ? inventory.box() : inventory.stock();
      int slot = static_cast<int>((address - table) / 2);
      int value = 0;
      for (int i = 0; i < kDenominationCount; ++i) {
        if (kCountTableSlot[i] == slot) value = std::clamp(counts[i], 0, 0xFFFF);
      }
      return static_cast<std::uint8_t>((address - table) % 2 == 0 ? value >> 8 : value);
    }
  }
  return Filler(address);
}

Bytes MemoryImage::Read(std::uint32_t address, std::size_t length, const Inventory& inventory) const {
  Bytes bytes;
  bytes.reserve(length);
  for (std::size_t i = 0; i < length; ++i) bytes.push_back(ByteAt(address + static_cast<std::uint32_t>(i), inventory));
  return bytes;
}

}  // namespace vexokrt::sim
