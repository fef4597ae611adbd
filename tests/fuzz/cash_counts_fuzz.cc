// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: the OPOS cash-count parser. The first byte chooses
// whether keywords and "FFF" are admitted; the rest is the text. Accepted
// counts written back in the plain form must parse to the same counts.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cash/cash_counts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexokrt::cash;
  if (size == 0) return 0;
  const bool keywords = (data[0] & 1) != 0;
  const bool all = (data[0] & 2) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  DispenseRecord record;
  if (!ParseCashCounts(text, &record, keywords, all)) return 0;
  const CashCounts counts = record.Counts();
  for (int32_t count : counts) {
    if (count < 0) return 0;  // FFF: no plain form
  }
  DispenseRecord again;
  if (!ParseCashCounts(FormatPlain(counts), &again, false, false) || again.Counts() != counts) std::abort();
  return 0;
}
