// SPDX-License-Identifier: Apache-2.0
// The text form of one registry root: a registry export file.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\OLEforRetail]
//   @="default value"
//   "Port"="COM1"
//   "WatchInterval"=dword:000001f4
//
// This is a pure codec: it parses text into a key tree and writes a tree back
// as text, and does no I/O. Key and value names compare case-insensitively
// (ASCII letters) and keep the case they were first stored with.
//
// What the parser accepts: the header line of either export version
// ("Windows Registry Editor Version 5.00" or "REGEDIT4"); an optional UTF-8
// byte-order mark; LF or CR LF line ends; blank lines; comment lines
// starting with ';' (kept by UpdateRegText); key lines "[ROOT\path]" whose first component is the
// root of this file; string values with the escapes \\ and \"; dword values
// of one to eight hex digits; and binary-style values ("hex:..." or
// "hex(N):...", continued over lines ending in '\'), which are kept as raw
// text so that a rewrite preserves them. A key line implies all its parent
// keys. Anything else makes the whole text unparsable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexokrt::platform {

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kRegFileHeader4 = "REGEDIT4";

// How a registry file's bytes encode its text. Exports of the newer version
// are UTF-16LE with a byte-order mark; REGEDIT4 exports are in the system's
// code page; files written by hand are usually UTF-8.
enum class RegTextEncoding {
  kUtf8,        // no byte-order mark (ASCII included)
  kUtf8Bom,     // EF BB BF
  kUtf16Le,     // FF FE
  kUtf16Be,     // FE FF
  kCodePage,    // REGEDIT4, or not UTF-8: the system code page (CP932)
};

// The file's bytes as UTF-8 text (without byte-order mark) and how they were
// encoded. False when the bytes are not valid in the encoding they claim
// (an odd UTF-16 length, a lone surrogate, bytes valid neither as UTF-8 nor
// as CP932).
bool DecodeRegText(std::string_view bytes, RegTextEncoding* encoding, std::string* text);

// |text| (UTF-8) in |encoding|, byte-order mark included. False when a
// character cannot be written in it (CP932 lacks it).
bool EncodeRegText(std::string_view text, RegTextEncoding encoding, std::string* bytes);

enum class RegValueType {
  kString,  // REG_SZ
  kDword,   // REG_DWORD
  kOther,   // any "hex..." form, kept verbatim
};

struct RegValue {
  std::string name;  // empty: the key's default value, written as @
  RegValueType type = RegValueType::kString;
  std::string text;     // kString: the text (UTF-8); kOther: the raw data after '='
  uint32_t number = 0;  // kDword
};

// One key with its values and subkeys, both in the order they were stored.
struct RegKeyNode {
  std::string name;
  std::vector<RegValue> values;
  std::vector<RegKeyNode> subkeys;

  // Case-insensitive look-ups; null when absent. Pointers are invalidated by
  // any change to the same vector.
  RegKeyNode* FindSubkey(std::string_view key_name);
  const RegKeyNode* FindSubkey(std::string_view key_name) const;
  RegValue* FindValue(std::string_view value_name);
  const RegValue* FindValue(std::string_view value_name) const;
};

// ASCII case-insensitive equality, the comparison used for all names.
bool RegNamesEqual(std::string_view a, std::string_view b);

// Splits "A\B\C" into its components. An empty path is the root itself (no
// components). False when a component is empty (a leading, trailing or
// doubled backslash) or holds a line break.
bool SplitRegPath(std::string_view path, std::vector<std::string>* components);

struct RegParseResult {
  bool ok = false;
  int line = 0;       // 1-based line of the first error
  std::string error;  // what was wrong there
};

// Parses |text| into |root| (whose name is set to |root_name|, e.g.
// "HKEY_LOCAL_MACHINE"). On failure |root| is left empty. An empty or
// whitespace-only text is a valid, empty file.
RegParseResult ParseRegFile(std::string_view text, std::string_view root_name, RegKeyNode* root);

// Writes |root| as a registry export: the header, then every key below the
// root (the root itself only when it holds values), parents before children.
std::string SerializeRegFile(const RegKeyNode& root);

// The text of a file that held |text| (which parses as a file of
// |root_name|) and must now hold the tree |updated|: every line whose key or
// value is unchanged stays byte for byte, comments and blank lines included,
// and each line keeps its own line end. Changed values are rewritten in
// place, deleted keys and values are dropped, new values go behind the last
// value of their key, new keys at the end, all with the line end the file
// uses. The text itself when |updated| equals what it parses to; the plain
// serialisation when it does not parse or is empty.
std::string UpdateRegText(std::string_view text, std::string_view root_name, const RegKeyNode& updated);

// True when two trees hold the same keys and values, names spelt alike, in
// the same order.
bool RegTreesEqual(const RegKeyNode& a, const RegKeyNode& b);

// True when |text| can be stored as a quoted string value (no line break and
// no zero byte).
bool IsStorableRegText(std::string_view text);

}  // namespace vexokrt::platform
