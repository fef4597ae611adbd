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
// What the parser accepts: an optional UTF-8 byte-order mark; LF or CR LF
// line ends; blank lines; comment lines starting with ';' (dropped when the
// tree is written back); key lines "[ROOT\path]" whose first component is the
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

// True when |text| can be stored as a quoted string value (no line break and
// no zero byte).
bool IsStorableRegText(std::string_view text);

}  // namespace vexokrt::platform
