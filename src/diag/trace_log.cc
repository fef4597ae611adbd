#include "diag/trace_log.h"

#include <algorithm>
#include <cstdio>

#include "platform/clock.h"
#include "platform/codepage.h"

namespace vexokrt::diag {
namespace {

constexpr char kSeparator = ':';

const char* LevelName(int level) {
  switch (level) {
    case kLevelInfo:
      return "Inf";
    case kLevelWarning:
      return "War";
    case kLevelError:
      return "Err";
    default:
      return "";
  }
}

}  // namespace

TraceLog::TraceLog() : mutex_(kTraceMutexName) {}

void TraceLog::SetFileName(std::string path) {
  std::lock_guard lock(name_lock_);
  file_name_ = std::move(path);
}

std::string TraceLog::FileName() const {
  std::lock_guard lock(name_lock_);
  return file_name_;
}

int TraceLog::SetLevel(int threshold) { return threshold_.exchange(threshold); }

bool TraceLog::Accepts(int level) const {
  const int threshold = threshold_.load();
  if (threshold == kLevelOff || level < threshold || level < -1) return false;
  std::lock_guard lock(name_lock_);
  return !file_name_.empty();
}

bool TraceLog::Append(int level, const std::string& text) {
  mutex_.Lock(-1);
  bool written = false;
  if (Accepts(level)) {
    const std::string path = FileName();
    if (std::FILE* file = std::fopen(path.c_str(), "ab")) {
      written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
      written = (std::fclose(file) == 0) && written;
    }
  }
  mutex_.Unlock();
  return written;
}

bool TraceLog::Write(int level, std::string_view tag, std::string_view message) {
  if (!Accepts(level)) return false;
  const platform::LocalTime now = platform::LocalNow();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%c%02d%c%02d%c%02d%c%02d%c%02d%c%3u%c%s%c%c",
                now.tm.tm_year + 1900, kSeparator, now.tm.tm_mon + 1, kSeparator, now.tm.tm_mday,
                kSeparator, now.tm.tm_hour, kSeparator, now.tm.tm_min, kSeparator, now.tm.tm_sec,
                kSeparator, static_cast<unsigned>(now.millisecond), kSeparator, LevelName(level),
                kSeparator, kSeparator);
  std::string line = stamp;
  line += platform::Utf8ToCp932(tag);
  line += ": ";
  line += platform::Utf8ToCp932(message);
  line += '\n';
  return Append(level, line);
}

bool TraceLog::Dump(int level, const uint8_t* bytes, int count) {
  if (!Accepts(level)) return false;
  std::string text =
      "    Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\n"
      "    -------------------------------------------------------\n";
  if (count >= 0) {
    // count / 16 + 1 rows: a count that is a multiple of 16 ends in an empty row.
    const int rows = count / 16 + 1;
    for (int row = 0; row < rows; ++row) {
      const int offset = row * 16;
      const int length = std::min(16, count - offset);
      char cell[16];
      std::snprintf(cell, sizeof cell, "    %04X :", static_cast<unsigned>(offset));
      text += cell;
      for (int column = 0; column < 16; ++column) {
        if (column < length) {
          std::snprintf(cell, sizeof cell, " %02X", static_cast<unsigned>(bytes[offset + column]));
          text += cell;
        } else {
          text += "   ";
        }
      }
      text += "   ";
      // The row's bytes as text, up to the first zero byte.
      for (int column = 0; column < length && bytes[offset + column] != 0; ++column) {
        text += static_cast<char>(bytes[offset + column]);
      }
      text += '\n';
    }
  }
  text += '\n';
  return Append(level, text);
}

}  // namespace vexokrt::diag
