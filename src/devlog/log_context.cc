// SPDX-License-Identifier: Apache-2.0
#include "devlog/log_context.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "platform/clock.h"

namespace vexokrt::devlog {

std::tm SystemLocalTime() { return platform::SystemClock().LocalTimeNow().tm; }

void DeviceLogContext::Info(std::string_view message) const {
  if (trace != nullptr) trace->Write(diag::kLevelInfo, diag::kTagInfo, message);
}

void DeviceLogContext::Error(std::string_view message) const {
  if (trace != nullptr) trace->Write(diag::kLevelError, diag::kTagError, message);
}

void DeviceLogContext::Exam(long kind, long code, long argument, long result) const {
  if (exam != nullptr) exam->Write(kind, code, argument, result);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(args);
  return text;
}

namespace {

void SetError(std::string* error, const std::string& what, int number) {
  if (error != nullptr) *error = what + ": " + std::strerror(number);
}

// Writes all of |bytes| to |fd|; 0 or the errno that stopped it.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view text, std::string* error) {
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) {
    SetError(error, path, errno);
    return false;
  }
  struct stat info {};
  int failure = ::fstat(fd, &info) != 0 ? errno : (S_ISREG(info.st_mode) ? 0 : EINVAL);
  if (failure == 0) failure = WriteAll(fd, text);
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) SetError(error, path, failure);
  return failure == 0;
}

bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* error) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temp = folder + "." + name + ".new." + std::to_string(::getpid()) + "." +
                           std::to_string(counter.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    SetError(error, path, errno);
    return false;
  }
  int failure = WriteAll(fd, bytes);
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && ::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temp.c_str());
    SetError(error, path, failure);
  }
  return failure == 0;
}

}  // namespace vexokrt::devlog
