// SPDX-License-Identifier: Apache-2.0
#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vexokrt::platform {
namespace {

std::string LockFilePath(const std::string& name) {
  std::string file = name;
  std::replace(file.begin(), file.end(), '/', '_');
  std::replace(file.begin(), file.end(), '\\', '_');
  return LockFolder() + "/" + file + ".lock";
}

int OpenLockFile(const std::string& name, std::string* error = nullptr) {
  std::string ignored;
  return OpenSharedLockFile(LockFilePath(name), error != nullptr ? error : &ignored);
}

std::string ErrnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// Takes the flock on |fd| within |timeout_ms| (-1: without limit). The kernel
// offers no timed flock, so a limited wait retries a non-blocking attempt
// with a short back-off; it only spins while another holder keeps the lock.
// 0 when taken, EWOULDBLOCK when the time ran out, else the errno that
// stopped it.
int FlockWithin(int fd, int timeout_ms, Clock& clock) {
  if (timeout_ms < 0) {
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }
  const int64_t deadline = clock.NowMs() + timeout_ms;
  int64_t backoff = 1;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    const int64_t left = deadline - clock.NowMs();
    if (left <= 0) return EWOULDBLOCK;
    clock.SleepMs(std::min(backoff, left));
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

int OpenSharedLockFile(const std::string& path, std::string* error) {
  constexpr mode_t kEveryone = 0666;
  // A lock file someone else removes between the two opens is simply looked
  // for again; a handful of rounds is plenty.
  for (int round = 0; round < 8; ++round) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
      // A file of ours left by an older version (or made under a strict
      // umask) is opened up for the other users now.
      struct stat info {};
      if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && S_ISREG(info.st_mode) &&
          (info.st_mode & kEveryone) != kEveryone) {
        ::fchmod(fd, kEveryone);
      }
      return fd;
    }
    if (errno != ENOENT) {
      *error = ErrnoText("lock file " + path, errno);
      return -1;
    }
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kEveryone);
    if (fd >= 0) {
      // The umask has taken bits away from the mode given to open.
      if (::fchmod(fd, kEveryone) != 0) {
        *error = ErrnoText("lock file " + path + " (mode)", errno);
        ::close(fd);
        return -1;
      }
      return fd;
    }
    if (errno != EEXIST) {
      *error = ErrnoText("lock file " + path, errno);
      return -1;
    }
  }
  *error = "lock file " + path + " keeps disappearing";
  return -1;
}

NamedMutex::NamedMutex(std::string name, Clock& clock)
    : name_(std::move(name)), clock_(clock), fd_(OpenLockFile(name_)) {}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) ::close(fd_);
}

bool NamedMutex::Lock(int timeout_ms) {
  const int64_t start = clock_.NowMs();
  {
    MutexLock lock(mutex_);
    if (!clock_.WaitFor(released_, lock.native(), timeout_ms, [&]() VEX_REQUIRES(mutex_) { return !held_; })) {
      return false;
    }
    held_ = true;
  }
  if (fd_ < 0) return true;
  const int left =
      timeout_ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, timeout_ms - (clock_.NowMs() - start)));
  if (FlockWithin(fd_, left, clock_) != 0) {
    ReleaseLocal();
    return false;
  }
  return true;
}

void NamedMutex::Unlock() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
  ReleaseLocal();
}

void NamedMutex::ReleaseLocal() {
  {
    MutexLock lock(mutex_);
    held_ = false;
  }
  released_.notify_one();
}

NamedSemaphore::NamedSemaphore(std::string name, Clock& clock)
    : name_(std::move(name)), clock_(&clock), fd_(OpenLockFile(name_)) {}

NamedSemaphore::~NamedSemaphore() {
  Release();
  MutexLock lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
}

bool NamedSemaphore::Acquire(int timeout_ms) {
  Clock& clock = *clock_.load();
  const int64_t start = clock.NowMs();
  MutexLock lock(mutex_);
  failure_.clear();
  // This object's own count first: a second claimant through the same object
  // waits for the first to release, as it would on a semaphore of count 1.
  if (!clock.WaitFor(released_, lock.native(), timeout_ms,
                     [&]() VEX_REQUIRES(mutex_) { return count_ == Count::kFree; })) {
    return false;
  }
  if (fd_ < 0) fd_ = OpenLockFile(name_, &failure_);
  if (fd_ < 0) {
    // Without the file there is no exclusion from other processes: refuse
    // rather than pretend.
    released_.notify_all();
    return false;
  }
  // Wait for the file lock without holding our mutex; kTaking keeps other
  // threads of this object waiting and Release from touching the lock or
  // the descriptor.
  count_ = Count::kTaking;
  const int fd = fd_;
  lock.Unlock();
  const int left =
      timeout_ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, timeout_ms - (clock.NowMs() - start)));
  const int flock_error = FlockWithin(fd, left, clock);
  const bool got = flock_error == 0;
  lock.Lock();
  count_ = got ? Count::kHeld : Count::kFree;
  if (!got && flock_error != EWOULDBLOCK) {
    failure_ = ErrnoText("lock " + name_, flock_error);
  }
  if (!got) released_.notify_all();
  return got;
}

void NamedSemaphore::Release() {
  MutexLock lock(mutex_);
  if (count_ != Count::kHeld) return;
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
  count_ = Count::kFree;
  released_.notify_all();
}

std::string NamedSemaphore::failure() const {
  MutexLock lock(mutex_);
  return failure_;
}

bool NamedSemaphore::held() const {
  MutexLock lock(mutex_);
  return count_ == Count::kHeld;
}

}  // namespace vexokrt::platform
