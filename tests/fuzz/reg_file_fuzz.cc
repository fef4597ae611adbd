// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: the registry-file codec. The bytes are decoded as a
// registry file is read (encodings with or without byte-order mark) and
// parsed. A parsed tree must survive parse-write-parse unchanged, the text
// updater must give the text itself back for an unchanged tree, and after a
// change it must give a text that parses to exactly the changed tree and
// encodes back in the file's own encoding.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/reg_file.h"

namespace {

using namespace vexokrt::platform;

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr char kRoot[] = "HKEY_LOCAL_MACHINE";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RegTextEncoding encoding = RegTextEncoding::kUtf8;
  std::string text;
  if (!DecodeRegText(bytes, &encoding, &text)) return 0;
  RegKeyNode tree;
  if (!ParseRegFile(text, kRoot, &tree).ok) return 0;

  // Parse, write, parse: the same tree.
  RegKeyNode again;
  Check(ParseRegFile(SerializeRegFile(tree), kRoot, &again).ok);
  Check(RegTreesEqual(tree, again));

  // Nothing changed: the text stays as it was.
  Check(UpdateRegText(text, kRoot, tree) == text);

  // A change: set a value in the first key (or the root), add a key, drop
  // the last value somewhere; the updated text parses to the changed tree.
  RegKeyNode changed = tree;
  RegKeyNode* key = changed.subkeys.empty() ? &changed : &changed.subkeys.front();
  if (RegValue* value = key->FindValue("Port")) {
    value->type = RegValueType::kString;
    value->text = "COM9 \"changed\"";
    value->number = 0;
  } else {
    key->values.push_back(RegValue{"Port", RegValueType::kString, "COM9", 0});
  }
  if (!key->subkeys.empty() && !key->subkeys.back().values.empty()) key->subkeys.back().values.pop_back();
  // Last: this may move the key |key| points to.
  if (changed.FindSubkey("FuzzAdded") == nullptr) {
    changed.subkeys.push_back(RegKeyNode{"FuzzAdded", {RegValue{"", RegValueType::kDword, "", 7}}, {}});
  }
  const std::string updated = UpdateRegText(text, kRoot, changed);
  RegKeyNode reparsed;
  Check(ParseRegFile(updated, kRoot, &reparsed).ok);
  Check(RegTreesEqual(reparsed, changed));
  std::string encoded;
  if (EncodeRegText(updated, encoding, &encoded)) {
    RegTextEncoding encoding_again = RegTextEncoding::kUtf8;
    std::string decoded;
    Check(DecodeRegText(encoded, &encoding_again, &decoded));
    // A version-5 file in the code page may come out as valid UTF-8 and then
    // reads as UTF-8: only that reading may differ.
    Check(decoded == updated ||
          (encoding == RegTextEncoding::kCodePage && encoding_again == RegTextEncoding::kUtf8));
  }
  return 0;
}
