// SPDX-License-Identifier: Apache-2.0
#include "sim/answers.h"

namespace vexokrt::sim {
namespace {

constexpr int kBillOrderOfCounts[4] = {7, 9, 8, 6};           // 2000, 10000, 5000, 1000
constexpr int kCoinOrder[6] = {5, 4, 3, 2, 1, 0};             // 500 .. 1
constexpr int kBillOrderDevice[4] = {9, 8, 7, 6};             // 10000, 5000, 2000, 1000

void AppendZeros(Bytes& out, int n) { out.insert(out.end(), static_cast<std::size_t>(n), '0'); }

}  // namespace

Bytes ModelNameAnswer(Model model, bool mode_a) {
  Bytes out;
  AppendText(out, "VEXONICS CHANGER    ");
  auto name = ModelNameBytes(model, mode_a);
  out.insert(out.end(), name.begin(), name.end());
  out.push_back('1');
  return out;
}

Bytes CountsAnswer(const CashCounts& set_a, const CashCounts& set_b, int discrepancy_bits) {
  Bytes out;
  for (int i : kBillOrderOfCounts) AppendDecimal(out, set_a[i], 3);
  for (int i : kBillOrderOfCounts) AppendDecimal(out, set_b[i], 3);
  for (int i : kCoinOrder) AppendDecimal(out, set_a[i], 3);
  out.push_back(static_cast<std::uint8_t>(0x30 | (discrepancy_bits & 0x07)));
  AppendZeros(out, 9);
  for (int i : kCoinOrder) AppendDecimal(out, set_b[i], 3);
  return out;
}

Bytes CountsAnswerKrt03(const CashCounts& set) {
  Bytes out;
  AppendCountBlock(out, set, 3);
  return out;
}

Bytes DepositCountsAnswer(const CashCounts& counted, int bill_rejects, int coin_rejects) {
  Bytes out;
  AppendCountBlock(out, counted, 3);
  AppendZeros(out, 3);
  out.push_back(static_cast<std::uint8_t>('0' + bill_rejects % 10));
  out.push_back(static_cast<std::uint8_t>('0' + coin_rejects % 10));
  return out;
}

Bytes DepositCountsShortAnswer(const CashCounts& counted, int bill_rejects, int coin_rejects) {
  Bytes out;
  AppendCountBlock(out, counted, 3);
  out.push_back(static_cast<std::uint8_t>('0' + bill_rejects % 10));
  out.push_back(static_cast<std::uint8_t>('0' + coin_rejects % 10));
  return out;
}

Bytes ReturnedCountsAnswer(const CashCounts& returned) {
  Bytes out;
  AppendCountBlock(out, returned, 3);
  return out;
}

Bytes CoinStateAnswer(const CashCounts& stock, bool coin_unit_busy, int warning_p, int warning_q) {
  Bytes out;
  for (int i : kCoinOrder) AppendDecimal(out, stock[i], 3);
  AppendZeros(out, 6);
  out.push_back(coin_unit_busy ? '3' : '0');
  out.push_back(NibbleChar(warning_p));
  out.push_back(NibbleChar(warning_q));
  return out;
}

Bytes CountTableAnswer(const CashCounts& stock, const CashCounts& box, const CashCounts& lifetime_deposited,
                       const CashCounts& lifetime_collected) {
  Bytes out;
  AppendCountBlock(out, stock, 3);                    // 0-29
  AppendZeros(out, 3);                                // 30-32
  for (int d = 0; d < kDenominationCount; ++d) {      // 33-72
    AppendDecimal(out, lifetime_deposited[kDeviceOrder[d]] % 10000, 4);
  }
  AppendZeros(out, 8);                                // 73-80
  for (int i : kBillOrderDevice) AppendDecimal(out, box[i], 3);  // 81-92
  AppendZeros(out, 3);                                // 93-95
  for (int i : kBillOrderDevice) AppendDecimal(out, lifetime_collected[i] % 10000, 4);  // 96-111
  AppendZeros(out, 8);                                // 112-119
  return out;
}

Bytes CountSummaryAnswer(const CashCounts& stock, const CashCounts& box, int rejects) {
  CashCounts total{};
  for (int i = 0; i < kDenominationCount; ++i) total[i] = stock[i] + box[i];
  Bytes out;
  AppendCountBlock(out, total, 3);
  AppendDecimal(out, rejects, 3);
  AppendDecimal(out, CashAmount(total) % 1000000, 6);
  out.push_back('0');
  return out;
}

Bytes LastChangeAnswer(const CashCounts& last_change) {
  Bytes out;
  AppendCountBlock(out, last_change, 3);
  AppendZeros(out, 3);
  return out;
}

Bytes TwoBlockAnswer(const CashCounts& first, const CashCounts& second, long amount, int digit) {
  Bytes out;
  AppendCountBlock(out, first, 3);
  AppendZeros(out, 3);
  AppendCountBlock(out, second, 3);
  AppendZeros(out, 3);
  AppendDecimal(out, amount % 1000000, 6);
  out.push_back(static_cast<std::uint8_t>('0' + digit % 10));
  return out;
}

Bytes VersionAnswer(const std::string& program_version) {
  Bytes out;
  AppendText(out, "01C0301B0701D02");
  std::string version = program_version;
  version.resize(5, '0');
  for (char c : version) out.push_back(static_cast<std::uint8_t>(c));
  AppendText(out, "02A0101A00");
  return out;
}

}  // namespace vexokrt::sim
