// SPDX-License-Identifier: Apache-2.0
#include "platform/reg_file.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <functional>
#include <unordered_map>

#include "platform/codepage.h"

namespace vexokrt::platform {
namespace {

// The lower-case form of a name, the key of the parser's look-up tables.
std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

template <typename Node>
Node* FindIn(std::vector<Node>& nodes, std::string_view name) {
  for (auto& node : nodes) {
    if (RegNamesEqual(node.name, name)) return &node;
  }
  return nullptr;
}

template <typename Node>
const Node* FindIn(const std::vector<Node>& nodes, std::string_view name) {
  for (const auto& node : nodes) {
    if (RegNamesEqual(node.name, name)) return &node;
  }
  return nullptr;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// Reads a quoted string starting at s[0] == '"'. On success returns the
// unescaped text and leaves |s| just behind the closing quote.
bool ReadQuoted(std::string_view& s, std::string* out, std::string* error) {
  out->clear();
  size_t i = 1;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size()) break;
      const char next = s[i + 1];
      if (next != '\\' && next != '"') {
        *error = std::string("unknown escape \\") + next;
        return false;
      }
      out->push_back(next);
      ++i;
      continue;
    }
    out->push_back(c);
  }
  *error = "unterminated string";
  return false;
}

bool ParseHex32(std::string_view digits, uint32_t* value) {
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

// True for "hex:" and "hex(N):" with N a hex number.
bool IsHexForm(std::string_view data) {
  if (data.substr(0, 4) == "hex:") return true;
  if (data.substr(0, 4) != "hex(") return false;
  const size_t close = data.find("):");
  if (close == std::string_view::npos || close == 4) return false;
  uint32_t kind = 0;
  return ParseHex32(data.substr(4, close - 4), &kind);
}

// Creates (or finds) the key |components| below |root|.
RegKeyNode* EnsureKey(RegKeyNode* root, const std::vector<std::string>& components) {
  RegKeyNode* node = root;
  for (const auto& part : components) {
    RegKeyNode* child = node->FindSubkey(part);
    if (child == nullptr) {
      node->subkeys.push_back(RegKeyNode{part, {}, {}});
      child = &node->subkeys.back();
    }
    node = child;
  }
  return node;
}

// Stores |value| in |key|; |index| maps the folded names of the key's values
// to their places, so a key of many values is filled in linear time.
void PutValue(RegKeyNode* key, std::unordered_map<std::string, size_t>* index, RegValue value) {
  const auto [at, added] = index->try_emplace(Folded(value.name), key->values.size());
  if (!added) {
    RegValue& existing = key->values[at->second];
    value.name = existing.name;  // the first stored spelling stays
    existing = std::move(value);
  } else {
    key->values.push_back(std::move(value));
  }
}

void AppendQuoted(std::string* out, std::string_view text) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// One value line (lines, for a continued hex form) without its final line
// end; continuation lines are joined with |eol|.
std::string ValueLines(const RegValue& value, std::string_view eol) {
  std::string out;
  if (value.name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(&out, value.name);
  }
  out.push_back('=');
  switch (value.type) {
    case RegValueType::kString:
      AppendQuoted(&out, value.text);
      break;
    case RegValueType::kDword: {
      static const char kDigits[] = "0123456789abcdef";
      out.append("dword:");
      for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kDigits[(value.number >> shift) & 0xF]);
      break;
    }
    case RegValueType::kOther:
      for (char c : value.text) {
        if (c == '\n') {
          out.append(eol);
        } else {
          out.push_back(c);
        }
      }
      break;
  }
  return out;
}

// A key block: the key line, its values, a blank line.
void AppendKeyBlock(const RegKeyNode& node, const std::string& path, std::string_view eol, std::string* out) {
  out->append("[").append(path).append("]").append(eol);
  for (const auto& value : node.values) out->append(ValueLines(value, eol)).append(eol);
  out->append(eol);
}

void SerializeKey(const RegKeyNode& node, const std::string& path, bool is_root, std::string* out) {
  if (!is_root || !node.values.empty()) AppendKeyBlock(node, path, "\n", out);
  for (const auto& child : node.subkeys) SerializeKey(child, path + "\\" + child.name, false, out);
}

bool ValuesEqual(const RegValue& a, const RegValue& b) {
  return a.name == b.name && a.type == b.type && a.text == b.text && a.number == b.number;
}


// --- text encodings -------------------------------------------------------

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Decodes one UTF-8 character at |at|; false for a malformed, overlong or
// surrogate sequence.
bool NextUtf8(std::string_view text, size_t* at, uint32_t* code) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t first = byte(*at);
  size_t length;
  uint32_t value;
  uint32_t minimum;
  if (first < 0x80) {
    *code = first;
    ++*at;
    return true;
  } else if ((first & 0xE0) == 0xC0) {
    length = 2, value = first & 0x1F, minimum = 0x80;
  } else if ((first & 0xF0) == 0xE0) {
    length = 3, value = first & 0x0F, minimum = 0x800;
  } else if ((first & 0xF8) == 0xF0) {
    length = 4, value = first & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (*at + length > text.size()) return false;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(*at + i) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(*at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code = value;
  *at += length;
  return true;
}

bool IsValidUtf8(std::string_view text) {
  uint32_t code = 0;
  for (size_t at = 0; at < text.size();) {
    if (!NextUtf8(text, &at, &code)) return false;
  }
  return true;
}

bool Utf16ToUtf8(std::string_view bytes, bool big_endian, std::string* text) {
  if (bytes.size() % 2 != 0) return false;
  const auto unit = [&](size_t i) {
    const auto a = static_cast<uint8_t>(bytes[i]);
    const auto b = static_cast<uint8_t>(bytes[i + 1]);
    return static_cast<uint32_t>(big_endian ? (a << 8) | b : (b << 8) | a);
  };
  text->clear();
  text->reserve(bytes.size() / 2);
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return false;
      const uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    }
    AppendUtf8(code, text);
  }
  return true;
}

bool Utf8ToUtf16(std::string_view text, bool big_endian, std::string* bytes) {
  const auto put = [&](uint32_t unit) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes->push_back(big_endian ? high : low);
    bytes->push_back(big_endian ? low : high);
  };
  uint32_t code = 0;
  for (size_t at = 0; at < text.size();) {
    if (!NextUtf8(text, &at, &code)) return false;
    if (code >= 0x10000) {
      put(0xD800 + ((code - 0x10000) >> 10));
      put(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      put(code);
    }
  }
  return true;
}

}  // namespace

bool RegNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

RegKeyNode* RegKeyNode::FindSubkey(std::string_view key_name) { return FindIn(subkeys, key_name); }
const RegKeyNode* RegKeyNode::FindSubkey(std::string_view key_name) const { return FindIn(subkeys, key_name); }
RegValue* RegKeyNode::FindValue(std::string_view value_name) { return FindIn(values, value_name); }
const RegValue* RegKeyNode::FindValue(std::string_view value_name) const { return FindIn(values, value_name); }

bool SplitRegPath(std::string_view path, std::vector<std::string>* components) {
  components->clear();
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    const std::string_view part = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part.find_first_of("\r\n") != std::string_view::npos) {
      components->clear();
      return false;
    }
    components->emplace_back(part);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool IsStorableRegText(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

RegParseResult ParseRegFile(std::string_view text, std::string_view root_name, RegKeyNode* root) {
  *root = RegKeyNode{std::string(root_name), {}, {}};
  RegParseResult result;
  auto fail = [&](int line, std::string error) {
    *root = RegKeyNode{std::string(root_name), {}, {}};
    result.ok = false;
    result.line = line;
    result.error = std::move(error);
    return result;
  };

  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  // The values of each key by folded name; keyed by the key's folded path, as
  // node addresses move while keys are added.
  std::unordered_map<std::string, std::unordered_map<std::string, size_t>> value_index;
  std::unordered_map<std::string, size_t>* key_index = nullptr;

  // Split into lines up front; a value in hex form may continue over several.
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }

  bool header_seen = false;
  RegKeyNode* key = nullptr;  // the key of the latest key line
  std::vector<std::string> components;
  for (size_t i = 0; i < lines.size(); ++i) {
    const int line_number = static_cast<int>(i) + 1;
    std::string_view line = TrimLeft(TrimRight(lines[i]));
    if (line.empty() || line.front() == ';') continue;
    if (line.find('\0') != std::string_view::npos) return fail(line_number, "zero byte in line");
    if (!header_seen) {
      if (line != kRegFileHeader && line != kRegFileHeader4) return fail(line_number, "missing header line");
      header_seen = true;
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']') return fail(line_number, "key line without closing bracket");
      const std::string_view full = line.substr(1, line.size() - 2);
      const size_t slash = full.find('\\');
      const std::string_view first = full.substr(0, slash);
      if (!RegNamesEqual(first, root_name)) return fail(line_number, "key outside " + std::string(root_name));
      const std::string_view rest = slash == std::string_view::npos ? std::string_view() : full.substr(slash + 1);
      if (slash != std::string_view::npos && rest.empty()) return fail(line_number, "empty key name");
      if (!SplitRegPath(rest, &components)) return fail(line_number, "empty key name");
      key = EnsureKey(root, components);
      std::string folded_path;
      for (const auto& part : components) folded_path.append(Folded(part)).push_back('\\');
      key_index = &value_index[folded_path];
      if (key_index->empty() && !key->values.empty()) {
        for (size_t v = 0; v < key->values.size(); ++v) key_index->emplace(Folded(key->values[v].name), v);
      }
      continue;
    }
    if (key == nullptr) return fail(line_number, "value outside any key");

    RegValue value;
    std::string error;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else if (line.front() == '"') {
      if (!ReadQuoted(line, &value.name, &error)) return fail(line_number, error);
      if (value.name.empty()) return fail(line_number, "empty value name");
    } else {
      return fail(line_number, "unrecognised line");
    }
    line = TrimLeft(line);
    if (line.empty() || line.front() != '=') return fail(line_number, "missing '='");
    line = TrimLeft(line.substr(1));

    if (!line.empty() && line.front() == '"') {
      value.type = RegValueType::kString;
      if (!ReadQuoted(line, &value.text, &error)) return fail(line_number, error);
      if (!TrimLeft(line).empty()) return fail(line_number, "text after string value");
    } else if (line.substr(0, 6) == "dword:") {
      value.type = RegValueType::kDword;
      if (!ParseHex32(line.substr(6), &value.number)) return fail(line_number, "bad dword value");
    } else if (IsHexForm(line)) {
      value.type = RegValueType::kOther;
      std::string raw(line);
      while (!raw.empty() && raw.back() == '\\') {
        if (++i >= lines.size()) return fail(line_number, "continued value at end of file");
        raw.push_back('\n');
        raw.append(TrimRight(lines[i]));
      }
      value.text = std::move(raw);
    } else {
      return fail(line_number, "unrecognised value data");
    }
    PutValue(key, key_index, std::move(value));
  }
  result.ok = true;
  return result;
}

bool RegTreesEqual(const RegKeyNode& a, const RegKeyNode& b) {
  if (a.name != b.name || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) return false;
  for (size_t i = 0; i < a.values.size(); ++i) {
    if (!ValuesEqual(a.values[i], b.values[i])) return false;
  }
  for (size_t i = 0; i < a.subkeys.size(); ++i) {
    if (!RegTreesEqual(a.subkeys[i], b.subkeys[i])) return false;
  }
  return true;
}

bool DecodeRegText(std::string_view bytes, RegTextEncoding* encoding, std::string* text) {
  if (bytes.substr(0, 2) == "\xFF\xFE") {
    *encoding = RegTextEncoding::kUtf16Le;
    return Utf16ToUtf8(bytes.substr(2), false, text);
  }
  if (bytes.substr(0, 2) == "\xFE\xFF") {
    *encoding = RegTextEncoding::kUtf16Be;
    return Utf16ToUtf8(bytes.substr(2), true, text);
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    *encoding = RegTextEncoding::kUtf8Bom;
    text->assign(bytes.substr(3));
    return IsValidUtf8(*text);
  }
  // REGEDIT4 files are in the system code page, whatever their bytes look
  // like; other files without a mark are UTF-8 when they can be.
  const bool version4 = bytes.substr(0, kRegFileHeader4.size()) == kRegFileHeader4;
  if (!version4 && IsValidUtf8(bytes)) {
    *encoding = RegTextEncoding::kUtf8;
    text->assign(bytes);
    return true;
  }
  *encoding = RegTextEncoding::kCodePage;
  auto converted = TryCp932ToUtf8(bytes);
  if (!converted) return false;
  *text = std::move(*converted);
  return true;
}

bool EncodeRegText(std::string_view text, RegTextEncoding encoding, std::string* bytes) {
  bytes->clear();
  switch (encoding) {
    case RegTextEncoding::kUtf8:
      bytes->assign(text);
      return true;
    case RegTextEncoding::kUtf8Bom:
      bytes->assign("\xEF\xBB\xBF").append(text);
      return true;
    case RegTextEncoding::kUtf16Le:
      bytes->assign("\xFF\xFE");
      return Utf8ToUtf16(text, false, bytes);
    case RegTextEncoding::kUtf16Be:
      bytes->assign("\xFE\xFF");
      return Utf8ToUtf16(text, true, bytes);
    case RegTextEncoding::kCodePage: {
      auto converted = TryUtf8ToCp932(text);
      if (!converted) return false;
      *bytes = std::move(*converted);
      return true;
    }
  }
  return false;
}

std::string UpdateRegText(std::string_view text, std::string_view root_name, const RegKeyNode& updated) {
  RegKeyNode before;
  if (!ParseRegFile(text, root_name, &before).ok) return SerializeRegFile(updated);
  if (RegTreesEqual(before, updated)) return std::string(text);

  const bool had_bom = text.substr(0, 3) == "\xEF\xBB\xBF";
  if (had_bom) text.remove_prefix(3);
  // Lines with their own line ends ("" for a last line without one).
  struct Line {
    std::string_view body;  // without the line end
    std::string_view eol;
  };
  std::vector<Line> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = text.size();
    size_t body_end = end;
    if (!last && body_end > start && text[body_end - 1] == '\r') --body_end;
    lines.push_back({text.substr(start, body_end - start), text.substr(body_end, last ? 0 : end + 1 - body_end)});
    start = end + 1;
  }
  std::string_view eol = "\n";
  for (const Line& line : lines) {
    if (!line.eol.empty()) {
      eol = line.eol;
      break;
    }
  }

  std::vector<std::string> out;  // output lines, each with its line end
  const auto ensure_ended = [&](size_t before_index) {
    if (before_index > 0 && (out[before_index - 1].empty() || out[before_index - 1].back() != '\n')) {
      out[before_index - 1].append(eol);
    }
  };
  std::set<const RegKeyNode*> keys_written;
  std::set<const RegValue*> values_written;
  const RegKeyNode* key = nullptr;  // the current key of |updated|; null inside a deleted key
  size_t insert_at = 0;  // behind the current key's last value line
  const auto close_key = [&] {
    if (key == nullptr) return;
    for (const RegValue& value : key->values) {
      if (values_written.count(&value) != 0) continue;
      ensure_ended(insert_at);
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(insert_at), ValueLines(value, eol) + std::string(eol));
      ++insert_at;
      values_written.insert(&value);
    }
    key = nullptr;
  };

  bool header_seen = false;
  std::vector<std::string> components;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = TrimLeft(TrimRight(lines[i].body));
    const std::string whole = std::string(lines[i].body) + std::string(lines[i].eol);
    if (line.empty() || line.front() == ';' || !header_seen) {
      header_seen = header_seen || !(line.empty() || line.front() == ';');
      out.push_back(whole);
      continue;
    }
    if (line.front() == '[') {
      close_key();
      const std::string_view full = line.substr(1, line.size() - 2);
      const size_t slash = full.find('\\');
      SplitRegPath(slash == std::string_view::npos ? std::string_view() : full.substr(slash + 1), &components);
      const RegKeyNode* node = &updated;
      for (const auto& part : components) node = node == nullptr ? nullptr : node->FindSubkey(part);
      key = node;
      if (key == nullptr) continue;  // a deleted key: its lines go
      keys_written.insert(key);
      out.push_back(whole);
      insert_at = out.size();
      continue;
    }
    // A value line, continued over the lines that end in '\\' for hex forms.
    size_t last = i;
    std::string_view rest = line;
    std::string name;
    std::string error;
    if (rest.front() == '"') {
      ReadQuoted(rest, &name, &error);
      rest = TrimLeft(rest);
    } else {
      rest.remove_prefix(1);  // '@'
    }
    if (IsHexForm(TrimLeft(rest.substr(std::min<size_t>(1, rest.size()))))) {
      while (last + 1 < lines.size() && !TrimRight(lines[last].body).empty() &&
             TrimRight(lines[last].body).back() == '\\') {
        ++last;
      }
    }
    std::string original;
    for (size_t j = i; j <= last; ++j) original.append(lines[j].body).append(lines[j].eol);
    const std::string_view own_eol = lines[last].eol;
    i = last;
    if (key == nullptr) continue;
    const RegValue* value = key->FindValue(name);
    if (value == nullptr || values_written.count(value) != 0) continue;  // deleted, or a repeated line
    values_written.insert(value);
    // What this very line says (a name may be given more than once, and only
    // the last counts): kept as it is only when it says the value now held.
    RegKeyNode alone;
    const RegValue* own = nullptr;
    if (ParseRegFile(std::string(kRegFileHeader4) + "\n[" + std::string(root_name) + "]\n" + original, root_name,
                     &alone)
            .ok) {
      own = alone.FindValue(name);
    }
    if (own != nullptr && ValuesEqual(*own, *value)) {
      out.push_back(original);
    } else {
      out.push_back(ValueLines(*value, eol) + std::string(own_eol.empty() ? std::string_view() : own_eol));
    }
    insert_at = out.size();
  }
  close_key();

  // Keys without a line of their own yet: new keys, and keys only implied by
  // their subkeys that now hold values.
  std::string tail;
  const std::function<void(const RegKeyNode&, const std::string&, bool)> add_new =
      [&](const RegKeyNode& node, const std::string& path, bool is_root) {
        if (keys_written.count(&node) == 0 && (!node.values.empty() || (!is_root && node.subkeys.empty()))) {
          AppendKeyBlock(node, path, eol, &tail);
        }
        for (const auto& child : node.subkeys) add_new(child, path + "\\" + child.name, false);
      };
  add_new(updated, updated.name, true);
  if (!tail.empty()) {
    ensure_ended(out.size());
    if (!out.empty() && TrimRight(TrimLeft(out.back())) != "" && out.back() != std::string(eol)) {
      out.push_back(std::string(eol));
    }
    out.push_back(tail);
  }

  std::string result = had_bom ? "\xEF\xBB\xBF" : "";
  // A file of blank lines and comments only gets the header it lacked.
  if (!header_seen) result.append(kRegFileHeader).append(eol);
  for (const auto& piece : out) result += piece;
  return result;
}

std::string SerializeRegFile(const RegKeyNode& root) {
  std::string out(kRegFileHeader);
  out.append("\n\n");
  SerializeKey(root, root.name, true, &out);
  return out;
}

}  // namespace vexokrt::platform
