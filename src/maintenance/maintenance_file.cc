// SPDX-License-Identifier: Apache-2.0
#include "maintenance/maintenance_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vexokrt::maintenance {
namespace {

// Where |path| really is, every link followed; empty with |*error| the
// errno when it cannot be resolved.
std::string RealPath(const std::string& path, int* error) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    *error = errno;
    return {};
  }
  std::string resolved(real);
  std::free(real);
  return resolved;
}

bool Inside(const std::string& real_folder, const std::string& real_file) {
  if (real_folder == "/") return real_file.size() > 1 && real_file[0] == '/';
  return real_file.size() > real_folder.size() + 1 && real_file.compare(0, real_folder.size(), real_folder) == 0 &&
         real_file[real_folder.size()] == '/';
}

}  // namespace

MaintenanceFile MaintenanceFile::Open(std::string_view folder, std::string_view name, int64_t max_bytes) {
  MaintenanceFile file;
  file.path_ = std::string(folder) + std::string(name);
  file.max_bytes_ = max_bytes;
  // The folder is what the path has before its last separator (a folder
  // text without one, such as a Windows path, names the current folder).
  const size_t cut = file.path_.rfind('/');
  int error = 0;
  const std::string real_folder = RealPath(cut == std::string::npos ? "." : file.path_.substr(0, cut + 1), &error);
  if (real_folder.empty()) {
    file.Fail(FileFault::kCannotOpen, error);
    return file;
  }
  // Followed before anything is opened: opening a device can have effects
  // of its own, so a link that leads out of the folder is never opened.
  file.real_path_ = RealPath(file.path_, &error);
  if (file.real_path_.empty()) {
    file.Fail(FileFault::kCannotOpen, error);
    return file;
  }
  if (!Inside(real_folder, file.real_path_)) {
    file.Fail(FileFault::kOutsideFolder);
    return file;
  }

  // Without blocking: a FIFO would otherwise hold the open until a writer
  // came. No link is followed any more (the path is resolved already).
  file.fd_ = ::open(file.real_path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (file.fd_ < 0) {
    file.Fail(FileFault::kCannotOpen, errno);
    return file;
  }
  // What was opened is what was checked: a folder on the way swapped for a
  // link in between shows here (where the system can tell).
  std::array<char, PATH_MAX> opened{};
  const std::string descriptor = "/proc/self/fd/" + std::to_string(file.fd_);
  const ssize_t length = ::readlink(descriptor.c_str(), opened.data(), opened.size());
  if (length > 0 && std::string_view(opened.data(), static_cast<size_t>(length)) != file.real_path_) {
    file.Fail(FileFault::kOutsideFolder);
    return file;
  }
  struct stat info {};
  if (::fstat(file.fd_, &info) != 0) {
    file.Fail(FileFault::kCannotOpen, errno);
    return file;
  }
  if (!S_ISREG(info.st_mode)) {
    file.Fail(FileFault::kNotRegular);
    return file;
  }
  file.size_ = static_cast<int64_t>(info.st_size);
  if (file.size_ > max_bytes) {
    file.Fail(FileFault::kTooLarge);
    return file;
  }
  return file;
}

MaintenanceFile::MaintenanceFile(MaintenanceFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      real_path_(std::move(other.real_path_)),
      size_(other.size_),
      max_bytes_(other.max_bytes_),
      consumed_(other.consumed_),
      fault_(other.fault_),
      error_(other.error_),
      max_line_(other.max_line_),
      pending_(std::move(other.pending_)),
      at_end_(other.at_end_) {}

MaintenanceFile::~MaintenanceFile() {
  if (fd_ >= 0) ::close(fd_);
}

void MaintenanceFile::Fail(FileFault fault, int error) {
  fault_ = fault;
  error_ = error;
}

std::string MaintenanceFile::Problem() const {
  switch (fault_) {
    case FileFault::kNone:
      return path_ + ": no fault";
    case FileFault::kCannotOpen:
      return path_ + ": cannot be opened: " + std::strerror(error_);
    case FileFault::kOutsideFolder:
      return path_ + ": leads to " + real_path_ + ", outside the maintenance folder";
    case FileFault::kNotRegular:
      return path_ + ": is not a regular file";
    case FileFault::kTooLarge:
      return path_ + ": is larger than " + std::to_string(max_bytes_) + " bytes";
    case FileFault::kLineTooLong:
      return path_ + ": has a line longer than " + std::to_string(max_line_) + " bytes";
    case FileFault::kRead:
      return path_ + ": read error " + std::to_string(error_) + " (" + std::strerror(error_) + ")";
  }
  return path_;
}

ssize_t MaintenanceFile::ReadSome(std::span<uint8_t> out) {
  // One byte past the bound is asked for, so a file that has grown shows.
  const int64_t room = max_bytes_ + 1 - consumed_;
  const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(out.size()), std::max<int64_t>(room, 0)));
  if (want == 0) return 0;
  for (;;) {
    const ssize_t got = ::read(fd_, out.data(), want);
    if (got >= 0) {
      consumed_ += got;
      return got;
    }
    if (errno == EINTR) continue;
    Fail(FileFault::kRead, errno);
    return -1;
  }
}

bool MaintenanceFile::ReadExactly(std::span<uint8_t> out) {
  if (!ok()) return false;
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ReadSome(out.subspan(done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

MaintenanceFile::LineRead MaintenanceFile::ReadLine(std::string* line, size_t max_line) {
  if (!ok()) return LineRead::kFailed;
  for (;;) {
    const size_t lf = pending_.find('\n');
    if (lf != std::string::npos || (at_end_ && !pending_.empty())) {
      const size_t length = lf != std::string::npos ? lf : pending_.size();
      if (length > max_line) break;
      line->assign(pending_, 0, length);
      pending_.erase(0, lf != std::string::npos ? lf + 1 : pending_.size());
      return LineRead::kLine;
    }
    if (at_end_) return LineRead::kEnd;
    if (pending_.size() > max_line) break;
    std::array<uint8_t, 4096> chunk{};
    const ssize_t got = ReadSome(chunk);
    if (got < 0) return LineRead::kFailed;
    if (consumed_ > max_bytes_) {
      Fail(FileFault::kTooLarge);
      return LineRead::kFailed;
    }
    if (got == 0) at_end_ = true;
    pending_.append(reinterpret_cast<const char*>(chunk.data()), static_cast<size_t>(got));
  }
  max_line_ = max_line;
  Fail(FileFault::kLineTooLong);
  return LineRead::kFailed;
}

}  // namespace vexokrt::maintenance
