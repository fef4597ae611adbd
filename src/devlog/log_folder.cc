// SPDX-License-Identifier: Apache-2.0
#include "devlog/log_folder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <vector>

#include "devlog/device_log_files.h"
#include "diag/exam_log.h"

namespace vexokrt::devlog {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifferenceSeconds = 11644473600;

struct FolderEntry {
  std::string name;
  bool is_directory = false;  // anything but a regular file: never counted or deleted
  uint64_t size = 0;
  uint64_t file_time = 0;
};

struct FolderSplit {
  std::string directory;    // what opendir gets
  std::string path_prefix;  // what entry names are appended to
  std::string name_prefix;  // entries must start with this
};

FolderSplit Split(const std::string& prefix) {
  const size_t slash = prefix.rfind('/');
  if (slash == std::string::npos) return {".", "", prefix};
  return {slash == 0 ? "/" : prefix.substr(0, slash), prefix.substr(0, slash + 1), prefix.substr(slash + 1)};
}

// Width of the digits a numeric strftime field makes; 0 for fields of any
// other text (names, time zones, combined forms).
int NumericWidth(char field) {
  switch (field) {
    case 'Y':
    case 'G':
      return 4;
    case 'j':
      return 3;
    case 'y':
    case 'm':
    case 'd':
    case 'H':
    case 'M':
    case 'S':
    case 'I':
    case 'C':
    case 'U':
    case 'W':
    case 'V':
    case 'g':
      return 2;
    case 'u':
    case 'w':
      return 1;
    default:
      return 0;
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

bool DigitsAt(std::string_view name, size_t at, size_t width, bool (*digit)(char)) {
  if (name.size() < at + width) return false;
  for (size_t i = 0; i < width; ++i) {
    if (!digit(name[at + i])) return false;
  }
  return true;
}

bool MatchTime(std::string_view pattern, std::string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] != '%' || pattern.size() == 1) {
    return !name.empty() && name[0] == pattern[0] && MatchTime(pattern.substr(1), name.substr(1));
  }
  const char field = pattern[1];
  const std::string_view rest = pattern.substr(2);
  if (field == '%') return !name.empty() && name[0] == '%' && MatchTime(rest, name.substr(1));
  if (const int width = NumericWidth(field); width > 0) {
    return DigitsAt(name, 0, static_cast<size_t>(width), IsDigit) && MatchTime(rest, name.substr(width));
  }
  // Any other field: one or more characters of a name (never a '/').
  for (size_t length = 1; length <= name.size() && name[length - 1] != '/'; ++length) {
    if (MatchTime(rest, name.substr(length))) return true;
  }
  return false;
}

// The folder's entries in name order, "." and ".." left out. No value when
// the folder cannot be opened.
std::optional<std::vector<FolderEntry>> List(const std::string& prefix) {
  const FolderSplit split = Split(prefix);
  DIR* dir = ::opendir(split.directory.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<FolderEntry> entries;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (name.compare(0, split.name_prefix.size(), split.name_prefix) != 0) continue;
    struct stat st {};
    // lstat: a symbolic link is an entry of its own; deleting it removes the
    // link, never what it points to.
    if (::lstat((split.path_prefix + name).c_str(), &st) != 0) continue;
    entries.push_back({name, !S_ISREG(st.st_mode), static_cast<uint64_t>(st.st_size),
                       FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace

uint64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  const int64_t since_1601 = seconds + kEpochDifferenceSeconds;
  if (since_1601 < 0) return 0;
  return static_cast<uint64_t>(since_1601) * 10'000'000u + static_cast<uint64_t>(nanoseconds / 100);
}

bool MatchesTimePattern(std::string_view pattern, std::string_view name) {
  return !pattern.empty() && !name.empty() && MatchTime(pattern, name);
}

bool MatchesHistoryPattern(std::string_view pattern, std::string_view name) {
  if (pattern.empty()) return false;
  size_t at = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      const char code = pattern[i + 1];
      if (code == 'y' || code == 'm' || code == 'd') {
        if (!DigitsAt(name, at, 2, code == 'y' ? IsDigit : IsUpperHex)) return false;
        at += 2;
        ++i;
        continue;
      }
    }
    if (at >= name.size() || name[at] != pattern[i]) return false;
    ++at;
  }
  return at == name.size();
}

bool LogFolder::IsOwnFileName(std::string_view name) const {
  if (!StaysInFolder(name) || name == diag::kExamLogFileName) return false;
  for (const DeviceLogRegion& region : DeviceLogRegions()) {
    if (name == region.file_name) return true;
  }
  return MatchesTimePattern(own_.trading_log, name) || MatchesHistoryPattern(own_.operation_history, name);
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

bool StaysInFolder(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    const std::string_view part = name.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (part == "..") return false;
    if (slash == std::string_view::npos) return !part.empty() && part != ".";
    start = slash + 1;
  }
}

bool LogFolder::MakeSubFoldersOf(std::string_view name) const {
  for (size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
    const std::string folder = PathOf(name.substr(0, slash));
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string LogFolder::NameInFolder(std::string_view path) const {
  if (path.size() <= prefix_.size() || path.substr(0, prefix_.size()) != prefix_) return {};
  const std::string_view name = path.substr(prefix_.size());
  return StaysInFolder(name) ? std::string(name) : std::string();
}

int32_t LogFolder::FolderRoom() const {
  if (!IsSet()) return 0;
  const auto entries = List(prefix_);
  if (!entries) return 0;
  uint64_t total = 0;
  for (const FolderEntry& e : *entries) {
    if (!e.is_directory && IsOwnFileName(e.name)) total += e.size;
  }
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  const int64_t used = total > static_cast<uint64_t>(kMax) - kMin ? kMax - kMin : static_cast<int64_t>(total);
  return static_cast<int32_t>(std::clamp(int64_t{size_limit_} - used, kMin, kMax));
}

void LogFolder::DeleteOldestLogFile(std::string_view keep) const {
  if (!IsSet()) return;
  const auto entries = List(prefix_);
  if (!entries) return;
  const FolderEntry* oldest = nullptr;
  // The candidate starts out as "newer than anything", so only a file can
  // ever be chosen.
  uint32_t oldest_high = std::numeric_limits<uint32_t>::max();
  for (const FolderEntry& e : *entries) {
    if (e.is_directory || e.name == keep || !IsOwnFileName(e.name)) continue;
    const auto high = static_cast<uint32_t>(e.file_time >> 32);
    if (high < oldest_high) {
      oldest = &e;
      oldest_high = high;
    }
  }
  if (oldest == nullptr) return;
  // unlink, not remove: it can never take a directory with it.
  ::unlink((Split(prefix_).path_prefix + oldest->name).c_str());
}

void LogFolder::MakeRoom(int32_t threshold) const {
  if (FolderRoom() <= threshold) DeleteOldestLogFile();
}

}  // namespace vexokrt::devlog
