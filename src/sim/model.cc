// SPDX-License-Identifier: Apache-2.0
#include "sim/model.h"

#include <cctype>
#include <string>

namespace vexokrt::sim {
namespace {

constexpr LineSettings kLine2400Seven{2400, Parity::kEven, 7, 1};
constexpr LineSettings kLine9600Seven{9600, Parity::kEven, 7, 1};
constexpr LineSettings kLine9600Eight{9600, Parity::kEven, 8, 1};

// Byte 5 of a dated operation-history record tells the host which machine
// wrote it: 100 for the older family, 101 KRT07, 103 KRT77.
const ModelTraits kTraits[] = {
    {Model::kKrt02F, "KRT02F", Family::kKrt02And03, 2, kLine2400Seven, false, 44, 'i', 100},
    {Model::kKrt02FA, "KRT02FA", Family::kKrt02And03, 2, kLine9600Seven, true, 44, 'i', 100},
    {Model::kKrt03, "KRT03", Family::kKrt02And03, 3, kLine9600Seven, true, 53, 'i', 100},
    {Model::kKrt07, "KRT07", Family::kKrt07And77, 7, kLine9600Eight, true, 51, 'H', 101},
    {Model::kKrt77, "KRT77", Family::kKrt07And77, 77, kLine9600Eight, true, 51, 'H', 103},
};

}  // namespace

const ModelTraits& TraitsOf(Model model) {
  for (const ModelTraits& traits : kTraits) {
    if (traits.model == model) return traits;
  }
  return kTraits[3];
}

std::optional<Model> ParseModel(std::string_view name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "KRT02") return Model::kKrt02F;
  for (const ModelTraits& traits : kTraits) {
    if (upper == traits.display_name) return traits.model;
  }
  return std::nullopt;
}

std::array<std::uint8_t, 7> ModelNameBytes(Model model, bool mode_a) {
  auto from = [](const char (&text)[8]) {
    std::array<std::uint8_t, 7> bytes{};
    for (int i = 0; i < 7; ++i) bytes[i] = static_cast<std::uint8_t>(text[i]);
    return bytes;
  };
  switch (model) {
    case Model::kKrt02F:
    case Model::kKrt02FA:
      return mode_a ? from("KRT02FA") : from("KRT02F ");
    case Model::kKrt03: {
      // The name ends in a full-width blank of the device's character set.
      std::array<std::uint8_t, 7> bytes = from("KRT03  ");
      bytes[5] = 0x81;
      bytes[6] = 0x40;
      return bytes;
    }
    case Model::kKrt07:
      return from("KRT07A ");
    case Model::kKrt77:
      return from("KRT77A ");
  }
  return from("       ");
}

}  // namespace vexokrt::sim
