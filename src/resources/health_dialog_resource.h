// SPDX-License-Identifier: Apache-2.0
// Dialog 129: the maintenance dialog of the interactive health check, as a
// template of controls by id (texts UTF-8).
#pragma once

#include <array>

#include "platform/modal_dialog.h"

namespace vexokrt::resources {

inline constexpr int kIddHealthDialog = 129;

// Push buttons.
inline constexpr int kIdcReadCounts = 1000;   // "入金枚数取得": counts and status
inline constexpr int kIdcEnd = 1001;          // "終了": closes the dialog
inline constexpr int kIdcCollectAll = 1002;   // "全回収": everything into the collection box
inline constexpr int kIdcClearCounts = 1017;  // "入金枚数クリア": clear the counts, then read
// Read-only edits.
inline constexpr int kIdcResultLine = 1019;
inline constexpr int kIdcUnitInfo = 1013;       // status byte 1
inline constexpr int kIdcOperationMode = 1014;  // status byte 2
inline constexpr int kIdcDepositMode = 1015;    // status byte 3
inline constexpr int kIdcErrorCode = 1016;      // status bytes 4 and 5
// The count fields for 10000, 5000, 2000, 1000, 500, 100, 50, 10, 5 and 1 yen.
inline constexpr std::array<int, 10> kIdcCounts = {1003, 1004, 1012, 1005, 1006, 1007, 1008, 1009, 1010, 1011};
inline constexpr std::array<int, 4> kIdcStatus = {kIdcUnitInfo, kIdcOperationMode, kIdcDepositMode, kIdcErrorCode};

// The template: caption "CashChanger Interactive CheckHealth", the four
// buttons, the "コマンド送信" group around the three command buttons and the
// result line, the ten denomination labels with their count fields and the
// four status fields with their labels.
const platform::DialogTemplate& HealthDialogTemplate();

}  // namespace vexokrt::resources
