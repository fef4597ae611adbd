// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: the direct I/O byte input of pString and the readouts
// that take the device's answers apart. The first byte chooses the
// BinaryConversion (0, 1, 2); the rest is the text, which is also handed to
// every readout as an answer. Accepted byte input must match its text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "directio/readouts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexokrt::directio;
  if (size == 0) return 0;
  const int32_t conversion = data[0] % 3;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::span<const uint8_t> answer(data + 1, size - 1);

  if (const auto bytes = ByteInput(text, conversion)) {
    if (text.empty()) std::abort();
    if (conversion == 0 && std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()) != text) {
      std::abort();
    }
    if (conversion == 1) {
      if (bytes->size() * 2 != text.size()) std::abort();
      for (size_t i = 0; i < bytes->size(); ++i) {
        if (((*bytes)[i] >> 4) != (text[2 * i] & 0x0F) || ((*bytes)[i] & 0x0F) != (text[2 * i + 1] & 0x0F)) std::abort();
      }
    }
    if (conversion == 2) {
      std::string again;
      char group[4];
      for (uint8_t b : *bytes) {
        std::snprintf(group, sizeof group, "%03u", b);
        again += group;
      }
      if (again != text) std::abort();
    }
    (void)FourDigitCode(*bytes);
  }

  (void)ParseCountAndCode(text);
  (void)PageDataText(answer);
  (void)StatusFlagsText(answer);
  (void)StatusSummaryText(answer);
  (void)FillLevelsText(answer);
  if (const auto state = ParseCoinState(answer)) (void)CoinStateText(*state);
  for (int32_t block = 0; block <= 5; ++block) (void)CountTableText(answer, block);
  (void)VersionText(1006312, answer);
  (void)CountSummaryText(answer);
  (void)LastChangeText(answer, static_cast<int32_t>(size * 977));
  (void)TwoBlockText(answer);
  (void)MemoryCountsText(answer);
  (void)SettingsPageText(static_cast<int32_t>(data[0] % 17), answer);
  return 0;
}
