#include "platform/reg_file.h"

#include <algorithm>
#include <cctype>

namespace vexokrt::platform {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

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

void PutValue(RegKeyNode* key, RegValue value) {
  if (RegValue* existing = key->FindValue(value.name)) {
    value.name = existing->name;  // the first stored spelling stays
    *existing = std::move(value);
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

void SerializeKey(const RegKeyNode& node, const std::string& path, bool is_root, std::string* out) {
  if (!is_root || !node.values.empty()) {
    out->append("[").append(path).append("]\n");
    for (const auto& value : node.values) {
      if (value.name.empty()) {
        out->push_back('@');
      } else {
        AppendQuoted(out, value.name);
      }
      out->push_back('=');
      switch (value.type) {
        case RegValueType::kString:
          AppendQuoted(out, value.text);
          break;
        case RegValueType::kDword: {
          static const char kDigits[] = "0123456789abcdef";
          out->append("dword:");
          for (int shift = 28; shift >= 0; shift -= 4) out->push_back(kDigits[(value.number >> shift) & 0xF]);
          break;
        }
        case RegValueType::kOther:
          out->append(value.text);
          break;
      }
      out->push_back('\n');
    }
    out->push_back('\n');
  }
  for (const auto& child : node.subkeys) SerializeKey(child, path + "\\" + child.name, false, out);
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
      if (line != kRegFileHeader) return fail(line_number, "missing header line");
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
    PutValue(key, std::move(value));
  }
  result.ok = true;
  return result;
}

std::string SerializeRegFile(const RegKeyNode& root) {
  std::string out(kRegFileHeader);
  out.append("\n\n");
  SerializeKey(root, root.name, true, &out);
  return out;
}

}  // namespace vexokrt::platform
