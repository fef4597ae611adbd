// SPDX-License-Identifier: Apache-2.0
// The service object's string table: its description and version, the model
// names and the CheckHealth texts, by resource number. Texts are UTF-8 here
// and converted to the system code page where they are written to files.
#pragma once

#include <string_view>

namespace vexokrt::resources {

inline constexpr int kIdsServiceObjectDescription = 1;  // "Vexo Cash Changer KRT 77/07/02 Service Object"
inline constexpr int kIdsServiceObjectVersion = 2;      // "1006312"
inline constexpr int kIdsKrt03Description = 3;
inline constexpr int kIdsKrt03Name = 4;
inline constexpr int kIdsInternalNoAnswer = 5;
inline constexpr int kIdsInternalAnswered = 6;
inline constexpr int kIdsExternalNoAnswer = 7;
inline constexpr int kIdsExternalAnswered = 8;
inline constexpr int kIdsDialogNoAnswer = 9;
inline constexpr int kIdsDialogNormalAnswer = 10;
inline constexpr int kIdsDialogAbnormalAnswer = 11;
inline constexpr int kIdsKrt02Description = 12;
inline constexpr int kIdsKrt02Name = 13;
inline constexpr int kIdsKrt07Name = 14;
inline constexpr int kIdsKrt07Description = 15;
inline constexpr int kIdsKrt77Name = 16;
inline constexpr int kIdsKrt77Description = 17;

inline constexpr int kFirstStringId = 1;
inline constexpr int kLastStringId = 17;

// The text of resource |id|; empty for an id outside 1..17 (as loading a
// missing string resource gives nothing).
std::string_view LoadString(int id);

}  // namespace vexokrt::resources
