// SPDX-License-Identifier: Apache-2.0
#include "diag/exam_log.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/codepage.h"

namespace vexokrt::diag {
namespace {

// A file descriptor closed on every way out.
class File {
 public:
  explicit File(int fd) : fd_(fd) {}
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool WriteAt(int fd, const void* data, size_t size, off_t offset) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, bytes, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

ssize_t ReadAt(int fd, void* data, size_t size, off_t offset) {
  for (;;) {
    const ssize_t n = ::pread(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

const std::string& HeaderBytes() {
  static const std::string header = platform::Utf8ToCp932(kExamHeaderUtf8);
  return header;
}

// Locks the first byte of the file against other writers that do not share
// our mutex: one try a second, ten tries; the write goes on either way.
bool LockFirstByte(int fd, platform::Clock& clock) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (::fcntl(fd, F_OFD_SETLK, &range) == 0) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    clock.SleepMs(1000);
  }
  return false;
}

void UnlockFirstByte(int fd) {
  struct flock range {};
  range.l_type = F_UNLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  ::fcntl(fd, F_OFD_SETLK, &range);
}

// The position text at offset 54, or 0 when it is not a plain number.
long ReadPosition(int fd) {
  char text[11] = {};
  if (ReadAt(fd, text, 10, kExamHeaderBytes) != 10) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  while (end != nullptr && *end == ' ') ++end;
  if (end == text || end == nullptr || *end != '\0') return 0;
  return value;
}

// True when the first |size| bytes of a file can be the start of an ExamLog:
// empty, or the header (or the part of it a cut-short creation left).
bool BeginsLikeExamLog(const char* bytes, size_t size) {
  const std::string& header = HeaderBytes();
  return std::memcmp(bytes, header.data(), std::min(size, header.size())) == 0;
}

// Renames whatever is at |path| to a name of its own beside it
// ("<path>.moved-1", "-2", ...; never over an existing file).
bool MoveAside(const std::string& path) {
  for (int n = 1; n < 1000; ++n) {
    const std::string aside = path + ".moved-" + std::to_string(n);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// Opens the ring at |path| for reading and writing, creating it when
// missing. A symbolic link is never followed, and anything at the path that
// is not an ExamLog (a link, a folder, a device, a file of other content) is
// moved aside first, so nothing that is not ours is overwritten and the ring
// starts fresh. -1 when the file cannot be had.
int OpenRing(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd >= 0) {
      struct stat info {};
      char head[kExamHeaderBytes];
      const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
      const ssize_t got = regular ? ReadAt(fd, head, sizeof head, 0) : -1;
      if (got >= 0 && BeginsLikeExamLog(head, static_cast<size_t>(got))) return fd;
      ::close(fd);
    } else if (errno != ELOOP && errno != EISDIR && errno != ENXIO) {
      return -1;
    }
    if (!MoveAside(path)) return -1;
  }
  return -1;
}

}  // namespace

ExamLog::ExamLog() : mutex_(kExamMutexName) {}

void ExamLog::SetFileName(std::string path) {
  platform::MutexLock lock(name_lock_);
  file_name_ = std::move(path);
}

std::string ExamLog::FileName() const {
  platform::MutexLock lock(name_lock_);
  return file_name_;
}

bool ExamLog::Write(std::string_view kind, std::string_view code, std::string_view argument,
                    std::string_view result) {
  if (FileName().empty()) return false;
  mutex_.Lock(-1);
  platform::Clock& clock = *clock_.load();
  const platform::LocalTime now = clock.LocalTimeNow();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d,%02d,%02d,%02d,%02d,%02d,", now.tm.tm_year % 100,
                now.tm.tm_mon + 1, now.tm.tm_mday, now.tm.tm_hour, now.tm.tm_min, now.tm.tm_sec);
  std::string record = stamp;
  record.append(kind).append(",").append(code).append(",").append(argument).append(",").append(result);
  RingWrite(record, clock);
  mutex_.Unlock();
  return true;
}

bool ExamLog::Write(long kind, long code, long argument, long result) {
  return Write(std::to_string(kind), std::to_string(code), std::to_string(argument),
               std::to_string(result));
}

void ExamLog::RingWrite(const std::string& record, platform::Clock& clock) {
  const int32_t limit = size_limit_.load();
  if (limit < kExamFirstRecord) return;
  const std::string path = FileName();
  File file(OpenRing(path));
  if (file.fd() < 0) return;
  const std::string& header = HeaderBytes();

  // A file too short for its header is new (or its creation was cut short):
  // lay out header and position.
  char existing[kExamHeaderBytes];
  const ssize_t got = ReadAt(file.fd(), existing, sizeof existing, 0);
  if (got < kExamHeaderBytes) {
    char position[32];
    std::snprintf(position, sizeof position, "%010ld\r\n", static_cast<long>(kExamFirstRecord));
    if (!WriteAt(file.fd(), header.data(), header.size(), 0) ||
        !WriteAt(file.fd(), position, 12, kExamHeaderBytes)) {
      return;
    }
  }

  const bool locked = LockFirstByte(file.fd(), clock);
  long position = ReadPosition(file.fd());
  // A position outside the ring (at or past the limit, or inside the header
  // of a damaged file) starts again at the first record.
  if (position >= limit || position < kExamFirstRecord) position = kExamFirstRecord;
  // A position beyond the file's end (a file cut short, or a position field
  // edited by hand) would leave a zero-filled gap that readers and the
  // blanking below take for the end of the records: go on at the end.
  struct stat info {};
  if (::fstat(file.fd(), &info) == 0 && position > info.st_size) {
    position = std::max<long>(static_cast<long>(info.st_size), kExamFirstRecord);
  }

  const std::string line = record + "\r\n";
  if (WriteAt(file.fd(), line.data(), line.size(), position)) {
    const long end = position + static_cast<long>(line.size());
    // Blank the rest of the older line the record has overwritten, up to its
    // CR (or a zero byte), so the newest record is followed by spaces.
    off_t offset = end;
    for (;;) {
      char block[1023];
      const ssize_t n = ReadAt(file.fd(), block, sizeof block, offset);
      if (n <= 0) break;
      ssize_t i = 0;
      while (i < n && block[i] != '\r' && block[i] != '\0') block[i++] = ' ';
      if (i > 0 && !WriteAt(file.fd(), block, static_cast<size_t>(i), offset)) break;
      if (i < n || n < static_cast<ssize_t>(sizeof block)) break;
      offset += n;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%10ld\r\n", end);
    WriteAt(file.fd(), text, 12, kExamHeaderBytes);
  }
  if (locked) UnlockFirstByte(file.fd());
}

}  // namespace vexokrt::diag
