// SPDX-License-Identifier: Apache-2.0
#include "diag/trace_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

constexpr std::string_view kDumpHeading = "    Addr : +0 +1";

bool Digits(std::string_view text, size_t from, size_t count, bool blank_allowed = false) {
  for (size_t i = from; i < from + count; ++i) {
    if (!((text[i] >= '0' && text[i] <= '9') || (blank_allowed && text[i] == ' '))) return false;
  }
  return true;
}

// Opens |path| for appending without following a link or blocking on a
// FIFO; -1 unless it is (or has just become) a regular file.
int OpenForAppend(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool LooksLikeTraceText(std::string_view head) {
  if (head.substr(0, kDumpHeading.size()) == kDumpHeading) return true;
  // "YYYY:MM:DD:HH:MM:SS:mmm:Lvl::"
  if (head.size() < 29) return false;
  for (size_t colon : {4, 7, 10, 13, 16, 19, 23, 27, 28}) {
    if (head[colon] != kSeparator) return false;
  }
  const std::string_view level = head.substr(24, 3);
  return Digits(head, 0, 4) && Digits(head, 5, 2) && Digits(head, 8, 2) && Digits(head, 11, 2) &&
         Digits(head, 14, 2) && Digits(head, 17, 2) && Digits(head, 20, 3, true) &&
         (level == "Inf" || level == "War" || level == "Err");
}

bool RemoveStaleTraceFile(const std::string& path, const std::tm& now) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  char head[64];
  ssize_t got = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) got = ::read(fd, head, sizeof head);
  ::close(fd);
  if (got <= 0 || !LooksLikeTraceText(std::string_view(head, static_cast<size_t>(got)))) return false;
  std::tm written{};
  localtime_r(&info.st_mtime, &written);
  if (written.tm_mon == now.tm_mon && written.tm_year == now.tm_year) return false;
  return ::unlink(path.c_str()) == 0;
}

TraceLog::TraceLog() : mutex_(kTraceMutexName) {}

void TraceLog::SetFileName(std::string path) {
  platform::MutexLock lock(name_lock_);
  file_name_ = std::move(path);
}

std::string TraceLog::FileName() const {
  platform::MutexLock lock(name_lock_);
  return file_name_;
}

int TraceLog::SetLevel(int threshold) { return threshold_.exchange(threshold); }

bool TraceLog::Accepts(int level) const {
  const int threshold = threshold_.load();
  if (threshold == kLevelOff || level < threshold || level < -1) return false;
  platform::MutexLock lock(name_lock_);
  return !file_name_.empty();
}

bool TraceLog::Append(int level, const std::string& text) {
  mutex_.Lock(-1);
  bool written = false;
  if (Accepts(level)) {
    const std::string path = FileName();
    // Never through a symbolic link, never into anything but a plain file.
    if (const int fd = OpenForAppend(path); fd >= 0) {
      written = true;
      for (std::string_view rest = text; !rest.empty() && written;) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) rest.remove_prefix(static_cast<size_t>(n));
      }
      written = (::close(fd) == 0) && written;
    }
  }
  mutex_.Unlock();
  return written;
}

bool TraceLog::Write(int level, std::string_view tag, std::string_view message) {
  if (!Accepts(level)) return false;
  const platform::LocalTime now = clock_.load()->LocalTimeNow();
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
