// SPDX-License-Identifier: Apache-2.0
#include "resources/health_dialog_resource.h"

namespace vexokrt::resources {
namespace {

using platform::DialogControl;
using platform::DialogControlKind;

constexpr std::array<const char*, 10> kDenominationLabels = {"10000", "5000", "2000", "1000", "500",
                                                             "100",   "50",   "10",   "5",    "1"};

platform::DialogTemplate MakeTemplate() {
  platform::DialogTemplate t;
  t.resource_id = kIddHealthDialog;
  t.caption = "CashChanger Interactive CheckHealth";
  t.font = "ＭＳ Ｐゴシック";
  t.point_size = 9;
  t.width = 234;
  t.height = 165;
  // Bills on the first line, coins on the second, the status on the third,
  // the command group on the fourth, the end button last.
  for (size_t i = 0; i < kIdcCounts.size(); ++i) {
    const int row = i < 4 ? 0 : 1;
    t.controls.push_back({0, DialogControlKind::kLabel, kDenominationLabels[i], kIdcCounts[i], row});
    t.controls.push_back({kIdcCounts[i], DialogControlKind::kReadOnlyEdit, "", 0, row});
  }
  const std::array<const char*, 4> status_labels = {"ユニット情報", "動作モード", "入金モード", "エラーコード"};
  for (size_t i = 0; i < kIdcStatus.size(); ++i) {
    t.controls.push_back({0, DialogControlKind::kLabel, status_labels[i], kIdcStatus[i], 2});
    t.controls.push_back({kIdcStatus[i], DialogControlKind::kReadOnlyEdit, "", 0, 2});
  }
  t.controls.push_back({0, DialogControlKind::kGroupBox, "コマンド送信", kIdcResultLine, 3});
  t.controls.push_back({kIdcReadCounts, DialogControlKind::kPushButton, "入金枚数取得", 0, 3});
  t.controls.push_back({kIdcClearCounts, DialogControlKind::kPushButton, "入金枚数クリア", 0, 3});
  t.controls.push_back({kIdcCollectAll, DialogControlKind::kPushButton, "全回収", 0, 3});
  t.controls.push_back({kIdcResultLine, DialogControlKind::kReadOnlyEdit, "", 0, 3});
  t.controls.push_back({kIdcEnd, DialogControlKind::kPushButton, "終了", 0, 4});
  return t;
}

}  // namespace

const platform::DialogTemplate& HealthDialogTemplate() {
  static const platform::DialogTemplate kTemplate = MakeTemplate();
  return kTemplate;
}

}  // namespace vexokrt::resources
