// SPDX-License-Identifier: Apache-2.0
#include "sim/status_record.h"

namespace vexokrt::sim {
namespace {

constexpr GroupBit kGroupBits[kDenominationCount] = {
    {2, 0},  // 1
    {2, 1},  // 5
    {2, 2},  // 10
    {2, 3},  // 50
    {1, 0},  // 100
    {1, 1},  // 500
    {1, 2},  // 1000
    {0, 0},  // 2000
    {1, 3},  // 5000
    {0, 1},  // 10000
};

std::uint8_t Bits(int bits) { return static_cast<std::uint8_t>(0x30 | (bits & 0x0F)); }

}  // namespace

GroupBit GroupBitOf(int index) { return kGroupBits[index]; }

Bytes BuildStatusRecord(const StatusInputs& in) {
  const ModelTraits& traits = TraitsOf(in.model);
  Bytes d(static_cast<std::size_t>(traits.status_length), '0');

  d[1] = static_cast<std::uint8_t>(in.jammed ? '1' : in.state);
  d[2] = NibbleChar(in.operation_mode);
  if (in.jammed) {
    for (int i = 0; i < 4; ++i) d[3 + i] = NibbleChar(in.error_number >> (12 - 4 * i));
  }
  d[7] = Bits((in.coin_tray ? 1 : 0) | (in.coin_handling ? 4 : 0));
  d[8] = Bits((in.bill_outlet ? 1 : 0) | (in.bill_entrance ? 2 : 0) | (in.bill_handling ? 4 : 0));

  int groups[4][3] = {};  // FULL, NEAR-FULL, NEAR-EMPTY, EMPTY
  for (int i = 0; i < kDenominationCount; ++i) {
    FillLevels levels = in.inventory->LevelsOf(i);
    GroupBit at = kGroupBits[i];
    int mask = 1 << at.bit;
    if (levels.full) groups[0][at.offset] |= mask;
    if (levels.near_full) groups[1][at.offset] |= mask;
    if (levels.near_empty) groups[2][at.offset] |= mask;
    if (levels.empty) groups[3][at.offset] |= mask;
  }
  for (int g = 0; g < 4; ++g) {
    for (int k = 0; k < 3; ++k) d[9 + 3 * g + k] = Bits(groups[g][k]);
  }
  d[21] = Bits((in.inventory->BillBoxFull() ? 8 : 0) | (in.inventory->BillBoxNearFull() ? 4 : 0));
  d[43] = Bits((in.deposit_open ? 2 : 0) | (in.cassette_removed ? 8 : 0));

  if (traits.status_length > 46) {
    d[45] = Bits(in.payout_refused ? 1 : 0);
    d[46] = Bits((in.bill_refused_full ? 4 : 0) | (in.coin_refused_full ? 8 : 0));
  }
  switch (traits.family) {
    case Family::kKrt07And77:
      d[47] = in.bill_pair[0];
      d[48] = in.bill_pair[1];
      d[49] = in.coin_pair[0];
      d[50] = in.coin_pair[1];
      break;
    case Family::kKrt02And03:
      if (in.model == Model::kKrt03) {
        d[49] = in.bill_pair[0];
        d[50] = in.bill_pair[1];
        d[51] = in.coin_pair[0];
        d[52] = in.coin_pair[1];
      }
      break;
  }
  if (in.overrides != nullptr) {
    for (const auto& [position, value] : *in.overrides) {
      if (position >= 0 && position < traits.status_length) d[static_cast<std::size_t>(position)] = value;
    }
  }
  return d;
}

}  // namespace vexokrt::sim
