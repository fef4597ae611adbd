// SPDX-License-Identifier: Apache-2.0
// The status record the device answers to "i00" (KRT02 family, KRT03) and
// "H00" (KRT07, KRT77): 44, 53 or 51 characters, most of them '0' + a few
// bits. Built from a plain description of the machine, so layouts can be
// checked without running the machine.
//
// Positions (from 0):
//   0       '0'
//   1       machine state: '0' idle, '1' stopped by an error, '3' deposit open
//           and taking cash, '4' deposit open with the intake closed, '<' deposit
//           counting, ';' a long action is running (it can be stopped with "V00")
//   2       '0' + operation mode (set with "G01")
//   3-6     error number, four '0'+nibble characters, while stopped by an error
//   7       coin side: bit 0 cash in the coin tray, bit 2 coins being handled
//   8       bill side: bit 0 bills in the outlet, bit 1 a bill waiting at the
//           entrance, bit 2 bills being handled
//   9-11    FULL, 12-14 NEAR-FULL, 15-17 NEAR-EMPTY, 18-20 EMPTY; in each group
//           g: g bit 1 10000, g+1 bit 3 5000, g bit 0 2000, g+1 bit 2 1000,
//           g+1 bit 1 500, g+1 bit 0 100, g+2 bits 3..0 50, 10, 5, 1 yen
//   21      bill collection box: bit 3 full, bit 2 near full
//   43      bit 1 a deposit is open, bit 3 collection cassette removed
//   44      '0'
//   45      bit 0 the last pay-out was refused for want of cash
//   46      bit 2 a bill, bit 3 a coin was refused during the deposit because
//           its storage was full
//   47-50   KRT07/KRT77 deposit units, bills 47/48, coins 49/50
//   49-52   KRT03 deposit units, bills 49/50, coins 51/52 (47, 48 '0')
//           each pair: "00" no deposit, "33" open and idle, "31" counting,
//           "<2" bill intake held until "P00"
// Everything else is '0'. Overrides replace single positions last.
#pragma once

#include <array>
#include <cstdint>
#include <map>

#include "sim/fields.h"
#include "sim/inventory.h"
#include "sim/model.h"

namespace vexokrt::sim {

struct StatusInputs {
  Model model = Model::kKrt07;
  bool jammed = false;
  std::uint16_t error_number = 0;
  char state = '0';  // byte 1 when not jammed
  int operation_mode = 0;
  bool coin_tray = false;
  bool bill_outlet = false;
  bool bill_entrance = false;
  bool coin_handling = false;
  bool bill_handling = false;
  const Inventory* inventory = nullptr;  // required
  bool deposit_open = false;
  bool cassette_removed = false;
  bool payout_refused = false;
  bool bill_refused_full = false;
  bool coin_refused_full = false;
  std::array<std::uint8_t, 2> bill_pair{'0', '0'};
  std::array<std::uint8_t, 2> coin_pair{'0', '0'};
  const std::map<int, std::uint8_t>* overrides = nullptr;
};

Bytes BuildStatusRecord(const StatusInputs& in);

// Where denomination |index| (kFaceValues order) sits in a group of three
// status bytes: the byte offset (0-2) and the bit.
struct GroupBit {
  int offset;
  int bit;
};
GroupBit GroupBitOf(int index);

}  // namespace vexokrt::sim
