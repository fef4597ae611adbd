// SPDX-License-Identifier: Apache-2.0
#include "platform/reg_file.h"

#include <gtest/gtest.h>

#include <random>

namespace vexokrt::platform {
namespace {

constexpr char kMachine[] = "HKEY_LOCAL_MACHINE";

RegKeyNode Parse(std::string_view text) {
  RegKeyNode root;
  const RegParseResult result = ParseRegFile(text, kMachine, &root);
  EXPECT_TRUE(result.ok) << "line " << result.line << ": " << result.error;
  return root;
}

RegParseResult ParseError(std::string_view text) {
  RegKeyNode root;
  const RegParseResult result = ParseRegFile(text, kMachine, &root);
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(root.subkeys.empty() && root.values.empty()) << "a failed parse leaves the tree empty";
  return result;
}

const RegKeyNode* Key(const RegKeyNode& root, std::initializer_list<std::string_view> path) {
  const RegKeyNode* node = &root;
  for (auto part : path) {
    node = node->FindSubkey(part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

TEST(RegFileParse, ExportWithStringsDwordsAndDefault) {
  const RegKeyNode root = Parse(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashChanger\\Dev1]\r\n"
      "@=\"OPOS.CashChanger.Vexo-KRT77\"\r\n"
      "\"Port\"=\"COM1\"\r\n"
      "\"LogFolderName\"=\"C:\\\\OPOS\\\\Log\\\\\"\r\n"
      "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
      "\"WatchInterval\"=dword:000001f4\r\n");
  const RegKeyNode* key = Key(root, {"SOFTWARE", "OLEforRetail", "ServiceOPOS", "CashChanger", "Dev1"});
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), 5u);
  EXPECT_EQ(key->FindValue("")->text, "OPOS.CashChanger.Vexo-KRT77");
  EXPECT_EQ(key->FindValue("Port")->text, "COM1");
  EXPECT_EQ(key->FindValue("LogFolderName")->text, "C:\\OPOS\\Log\\");
  EXPECT_EQ(key->FindValue("Quote")->text, "say \"hi\"");
  EXPECT_EQ(key->FindValue("WatchInterval")->type, RegValueType::kDword);
  EXPECT_EQ(key->FindValue("WatchInterval")->number, 500u);
}

TEST(RegFileParse, NamesCompareCaseInsensitivelyAndKeepStoredCase) {
  const RegKeyNode root = Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Dev]\n"
      "\"WatchInterval\"=\"100\"\n"
      "[hkey_local_machine\\SOFTWARE\\DEV]\n"
      "\"watchinterval\"=\"200\"\n");
  ASSERT_EQ(root.subkeys.size(), 1u);
  EXPECT_EQ(root.subkeys[0].name, "Software");
  const RegKeyNode* key = Key(root, {"software", "dev"});
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), 1u);
  EXPECT_EQ(key->values[0].name, "WatchInterval");
  EXPECT_EQ(key->values[0].text, "200") << "a later line of the same name wins";
}

TEST(RegFileParse, BomCommentsBlankAndEmptyFilesAreAccepted) {
  Parse("");
  Parse("  \n\n");
  const RegKeyNode root = Parse(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "; a comment\n"
      "[HKEY_LOCAL_MACHINE\\A\\B]\n"
      "  \"X\" = \"1\"  \n");
  ASSERT_NE(Key(root, {"A"}), nullptr) << "a key line implies its parents";
  EXPECT_EQ(Key(root, {"A", "B"})->FindValue("x")->text, "1");
}

TEST(RegFileParse, HexValuesAreKeptVerbatimAcrossContinuations) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "\"Bin\"=hex:01,02,\\\n"
      "  03,04\n"
      "\"Multi\"=hex(7):41,00,00,00\n"
      "\"After\"=\"x\"\n";
  const RegKeyNode root = Parse(text);
  const RegKeyNode* key = Key(root, {"A"});
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->FindValue("Bin")->type, RegValueType::kOther);
  EXPECT_EQ(key->FindValue("Bin")->text, "hex:01,02,\\\n  03,04");
  EXPECT_EQ(key->FindValue("Multi")->type, RegValueType::kOther);
  EXPECT_EQ(key->FindValue("After")->text, "x");
  // Written back, they parse to the same values.
  const RegKeyNode again = Parse(SerializeRegFile(root));
  EXPECT_EQ(Key(again, {"A"})->FindValue("Bin")->text, key->FindValue("Bin")->text);
}

TEST(RegFileParse, GarbageIsRejectedWithItsLine) {
  EXPECT_EQ(ParseError("garbage\n").line, 1);
  EXPECT_EQ(ParseError("REGEDIT5\n").line, 1) << "an export version that does not exist";
  const std::string header = "Windows Registry Editor Version 5.00\n";
  EXPECT_EQ(ParseError(header + "\"X\"=\"1\"\n").line, 2) << "value before any key";
  EXPECT_EQ(ParseError(header + "[HKEY_CURRENT_USER\\A]\n").line, 2) << "key of the other root";
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A\n").line, 2);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n").line, 2);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"unterminated\n").line, 3);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"bad \\n escape\"\n").line, 3);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:123456789\n").line, 3);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:xyz\n").line, 3);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=-\n").line, 3);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"1\" trailing\n").line, 3);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex:01,\\\n").line, 3);
  EXPECT_EQ(ParseError(header + "[HKEY_LOCAL_MACHINE\\A]\nX=1\n").line, 3);
  constexpr char kZeroByte[] = "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"a\0b\"\n";
  EXPECT_EQ(ParseError(header + std::string(kZeroByte, sizeof kZeroByte - 1)).line, 3);
}

TEST(RegFileSerialize, RoundTripsEveryKindAndEscape) {
  RegKeyNode root{kMachine, {}, {}};
  RegKeyNode dev{"Dev", {}, {}};
  dev.values.push_back({"", RegValueType::kString, "OPOS.CashChanger.Vexo-KRT77", 0});
  dev.values.push_back({"Back\\slash \"q\"", RegValueType::kString, "C:\\a\\\"b\"\\", 0});
  dev.values.push_back({"@", RegValueType::kString, "not the default", 0});
  dev.values.push_back({"N", RegValueType::kDword, "", 0xDEADBEEF});
  dev.values.push_back({"Utf8", RegValueType::kString, "ウインドウ", 0});
  RegKeyNode empty_leaf{"EmptyLeaf", {}, {}};
  dev.subkeys.push_back(empty_leaf);
  root.subkeys.push_back(RegKeyNode{"SOFTWARE", {}, {dev}});

  const std::string text = SerializeRegFile(root);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("\"N\"=dword:deadbeef\n"), std::string::npos);
  EXPECT_NE(text.find("@=\"OPOS.CashChanger.Vexo-KRT77\"\n"), std::string::npos);

  const RegKeyNode again = Parse(text);
  const RegKeyNode* key = Key(again, {"SOFTWARE", "Dev"});
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), dev.values.size());
  for (size_t i = 0; i < dev.values.size(); ++i) {
    EXPECT_EQ(key->values[i].name, dev.values[i].name);
    EXPECT_EQ(key->values[i].type, dev.values[i].type);
    EXPECT_EQ(key->values[i].text, dev.values[i].text);
    EXPECT_EQ(key->values[i].number, dev.values[i].number);
  }
  EXPECT_NE(Key(again, {"SOFTWARE", "Dev", "EmptyLeaf"}), nullptr) << "an empty key survives a rewrite";
}

TEST(RegFilePath, SplitsAndRejectsEmptyComponents) {
  std::vector<std::string> parts;
  EXPECT_TRUE(SplitRegPath("", &parts));
  EXPECT_TRUE(parts.empty());
  EXPECT_TRUE(SplitRegPath("A\\B c\\D", &parts));
  EXPECT_EQ(parts, (std::vector<std::string>{"A", "B c", "D"}));
  EXPECT_FALSE(SplitRegPath("\\A", &parts));
  EXPECT_FALSE(SplitRegPath("A\\", &parts));
  EXPECT_FALSE(SplitRegPath("A\\\\B", &parts));
  EXPECT_FALSE(SplitRegPath("A\nB", &parts));
}

// Mutated exports never crash the parser, and whatever it accepts it writes
// back in a form that parses to the same text again.
TEST(RegFileParse, MutatedInputNeverCrashesAndAcceptedInputRoundTrips) {
  const std::string seed =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dev]\n"
      "@=\"x\"\n\"A\\\\b\"=\"c\\\"d\"\n\"N\"=dword:0000000a\n\"H\"=hex:01,\\\n  02\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Dev\\Sub]\n";
  std::mt19937 random(12345);
  const std::string alphabet = "[]\\\"@=:;\n\r hexdword0aZ\xEF\xBB\xBF";
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text.erase(at, 1 + random() % 3);
          break;
        case 1:
          text.insert(at, 1, alphabet[random() % alphabet.size()]);
          break;
        default:
          text[at] = alphabet[random() % alphabet.size()];
          break;
      }
    }
    RegKeyNode root;
    if (!ParseRegFile(text, kMachine, &root).ok) continue;
    ++accepted;
    const std::string written = SerializeRegFile(root);
    RegKeyNode again;
    ASSERT_TRUE(ParseRegFile(written, kMachine, &again).ok) << text;
    EXPECT_EQ(SerializeRegFile(again), written) << text;
  }
  EXPECT_GT(accepted, 0);
}

// Cases the fuzzer found: the updated text must parse to the updated tree.
TEST(UpdateRegText, UpdatedTextParsesToTheUpdatedTree) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string texts[] = {
      // A name given twice: the later line holds the value.
      header + "[HKEY_LOCAL_MACHINE\\A]\n\"Y\"=\"first\"\n\"Y\"=\"second\"\n",
      // Blank lines and comments only: no header yet.
      " \r \r \n\r\n; just a note\n",
      // REGEDIT4 with a key implied by its subkey.
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"Z\"=dword:1\n",
  };
  for (const std::string& text : texts) {
    RegKeyNode tree;
    ASSERT_TRUE(ParseRegFile(text, "HKEY_LOCAL_MACHINE", &tree).ok) << text;
    EXPECT_EQ(UpdateRegText(text, "HKEY_LOCAL_MACHINE", tree), text) << "unchanged tree, unchanged text";
    RegKeyNode changed = tree;
    RegKeyNode* key = changed.subkeys.empty() ? &changed : &changed.subkeys.front();
    key->values.push_back(RegValue{"New", RegValueType::kString, "v", 0});
    changed.subkeys.push_back(RegKeyNode{"Added", {RegValue{"", RegValueType::kDword, "", 7}}, {}});
    const std::string updated = UpdateRegText(text, "HKEY_LOCAL_MACHINE", changed);
    RegKeyNode reparsed;
    ASSERT_TRUE(ParseRegFile(updated, "HKEY_LOCAL_MACHINE", &reparsed).ok) << updated;
    EXPECT_TRUE(RegTreesEqual(reparsed, changed)) << updated;
  }
}

}  // namespace
}  // namespace vexokrt::platform
