// SPDX-License-Identifier: Apache-2.0
// The connected cash changer model; it chooses commands and answer lengths.
#pragma once

#include <cstdint>

namespace vexokrt {

enum class ModelCode : int32_t {
  kUnknown = 0,
  kKrt02 = 2,  // KRT02, KRT02F, KRT02FA
  kKrt03 = 3,
  kKrt07 = 7,
  kKrt77 = 77,
};

// True for the KRT07 and KRT77, which share most commands and layouts.
constexpr bool IsKrt07Family(ModelCode model) {
  return model == ModelCode::kKrt07 || model == ModelCode::kKrt77;
}

// Length of the status record answer of |model|; 0 while it is unknown.
constexpr int StatusRecordLength(ModelCode model) {
  switch (model) {
    case ModelCode::kKrt02:
      return 44;
    case ModelCode::kKrt03:
      return 53;
    case ModelCode::kKrt07:
    case ModelCode::kKrt77:
      return 51;
    case ModelCode::kUnknown:
      return 0;
  }
  return 0;
}

}  // namespace vexokrt
