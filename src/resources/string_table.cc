// SPDX-License-Identifier: Apache-2.0
#include "resources/string_table.h"

#include <array>

namespace vexokrt::resources {
namespace {

constexpr std::array<std::string_view, kLastStringId + 1> kStrings = {
    "",
    "Vexo Cash Changer KRT 77/07/02 Service Object",
    "1006312",
    "Vexo Cash Changer KRT03",
    "KRT03",
    "Internal(通信テスト)：応答がありません",
    "Internal(通信テスト)：応答を正常に受信しました",
    "External(動作テスト)：応答がありません",
    "External(動作テスト)：応答を正常に受信しました。動作していることを確認してください。",
    "機器からの応答がありません",
    "正常応答を受信しました",
    "異常応答を受信しました",
    "Vexo Cash Changer KRT02",
    "KRT02",
    "KRT07",
    "Vexo Cash Changer KRT07",
    "KRT77",
    "Vexo Cash Changer KRT77",
};

}  // namespace

std::string_view LoadString(int id) {
  if (id < kFirstStringId || id > kLastStringId) return {};
  return kStrings[static_cast<size_t>(id)];
}

}  // namespace vexokrt::resources
