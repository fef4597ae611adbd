#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"

namespace vexokrt::platform {
namespace {

std::string LockFilePath(const std::string& name) {
  std::string file = name;
  std::replace(file.begin(), file.end(), '/', '_');
  std::replace(file.begin(), file.end(), '\\', '_');
  return LockFolder() + "/" + file + ".lock";
}

int OpenLockFile(const std::string& name) {
  return ::open(LockFilePath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

// Takes the flock on |fd| within |timeout_ms| (-1: without limit). The kernel
// offers no timed flock, so a limited wait retries a non-blocking attempt
// with a short back-off; it only spins while another holder keeps the lock.
bool FlockWithin(int fd, int timeout_ms) {
  if (timeout_ms < 0) {
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  const int64_t deadline = TickMs() + timeout_ms;
  int64_t backoff = 1;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    const int64_t left = deadline - TickMs();
    if (left <= 0) return false;
    SleepMs(std::min(backoff, left));
    backoff = std::min<int64_t>(backoff * 2, 10);
  }
}

}  // namespace

std::string LockFolder() {
  if (const char* dir = std::getenv("OPOS_LOCK_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  if (::access("/run/lock", W_OK) == 0) return "/run/lock";
  return "/tmp";
}

NamedMutex::NamedMutex(std::string name) : name_(std::move(name)), fd_(OpenLockFile(name_)) {}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) ::close(fd_);
}

bool NamedMutex::Lock(int timeout_ms) {
  const int64_t start = TickMs();
  if (timeout_ms < 0) {
    local_.lock();
  } else if (!local_.try_lock_for(std::chrono::milliseconds(timeout_ms))) {
    return false;
  }
  if (fd_ < 0) return true;
  const int left = timeout_ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, timeout_ms - (TickMs() - start)));
  if (!FlockWithin(fd_, left)) {
    local_.unlock();
    return false;
  }
  return true;
}

void NamedMutex::Unlock() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
  local_.unlock();
}

NamedSemaphore::NamedSemaphore(std::string name) : name_(std::move(name)), fd_(OpenLockFile(name_)) {}

NamedSemaphore::~NamedSemaphore() {
  Release();
  if (fd_ >= 0) ::close(fd_);
}

bool NamedSemaphore::Acquire(int timeout_ms) {
  const int64_t start = TickMs();
  std::unique_lock lock(mutex_);
  // This object's own count first: a second claimant through the same object
  // waits for the first to release, as it would on a semaphore of count 1.
  const auto free = [this] { return count_ == Count::kFree; };
  if (timeout_ms < 0) {
    released_.wait(lock, free);
  } else if (!released_.wait_for(lock, std::chrono::milliseconds(timeout_ms), free)) {
    return false;
  }
  if (fd_ < 0) {
    count_ = Count::kHeld;
    return true;
  }
  // Wait for the file lock without holding our mutex; kTaking keeps other
  // threads of this object waiting and Release from touching the lock.
  count_ = Count::kTaking;
  lock.unlock();
  const int left =
      timeout_ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, timeout_ms - (TickMs() - start)));
  const bool got = FlockWithin(fd_, left);
  lock.lock();
  count_ = got ? Count::kHeld : Count::kFree;
  if (!got) released_.notify_all();
  return got;
}

void NamedSemaphore::Release() {
  std::lock_guard lock(mutex_);
  if (count_ != Count::kHeld) return;
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
  count_ = Count::kFree;
  released_.notify_all();
}

bool NamedSemaphore::held() const {
  std::lock_guard lock(mutex_);
  return count_ == Count::kHeld;
}

}  // namespace vexokrt::platform
