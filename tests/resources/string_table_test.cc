// SPDX-License-Identifier: Apache-2.0
#include "resources/string_table.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace vexokrt::resources {
namespace {

TEST(StringTable, DescriptionVersionAndModelNames) {
  EXPECT_EQ(LoadString(kIdsServiceObjectDescription), "Vexo Cash Changer KRT 77/07/02 Service Object");
  EXPECT_EQ(LoadString(kIdsServiceObjectVersion), "1006312");
  EXPECT_EQ(LoadString(3), "Vexo Cash Changer KRT03");
  EXPECT_EQ(LoadString(4), "KRT03");
  EXPECT_EQ(LoadString(12), "Vexo Cash Changer KRT02");
  EXPECT_EQ(LoadString(13), "KRT02");
  EXPECT_EQ(LoadString(14), "KRT07");
  EXPECT_EQ(LoadString(15), "Vexo Cash Changer KRT07");
  EXPECT_EQ(LoadString(16), "KRT77");
  EXPECT_EQ(LoadString(17), "Vexo Cash Changer KRT77");
}

TEST(StringTable, OutsideTheTableIsEmpty) {
  EXPECT_EQ(LoadString(0), "");
  EXPECT_EQ(LoadString(18), "");
  EXPECT_EQ(LoadString(-1), "");
}

// The CheckHealth texts, as the bytes the system code page gives them.
TEST(StringTable, CheckHealthTextsConvertExactlyToCp932) {
  EXPECT_EQ(platform::TryUtf8ToCp932(LoadString(kIdsInternalNoAnswer)),
            "Internal(\x92\xCA\x90\x4D\x83\x65\x83\x58\x83\x67)\x81\x46\x89\x9E\x93\x9A\x82\xAA\x82\xA0\x82\xE8"
            "\x82\xDC\x82\xB9\x82\xF1");
  EXPECT_EQ(platform::TryUtf8ToCp932(LoadString(kIdsDialogAbnormalAnswer)),
            "\x88\xD9\x8F\xED\x89\x9E\x93\x9A\x82\xF0\x8E\xF3\x90\x4D\x82\xB5\x82\xDC\x82\xB5\x82\xBD");
  for (int id = kFirstStringId; id <= kLastStringId; ++id) {
    EXPECT_TRUE(platform::TryUtf8ToCp932(LoadString(id)).has_value()) << "resource " << id;
  }
}

}  // namespace
}  // namespace vexokrt::resources
