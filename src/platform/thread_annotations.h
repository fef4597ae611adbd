// SPDX-License-Identifier: Apache-2.0
// Lock annotations the compiler checks. Under clang with -Wthread-safety a
// member marked VEX_GUARDED_BY(mu_) may only be touched while mu_ is held,
// and a function marked VEX_REQUIRES(mu_) only called with it held; other
// compilers see nothing. Guarded data uses platform::Mutex and
// platform::MutexLock (below), because the standard mutex carries no
// annotations of its own.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VEX_THREAD_ANNOTATION(x)
#endif

#define VEX_CAPABILITY(x) VEX_THREAD_ANNOTATION(capability(x))
#define VEX_SCOPED_CAPABILITY VEX_THREAD_ANNOTATION(scoped_lockable)
#define VEX_GUARDED_BY(x) VEX_THREAD_ANNOTATION(guarded_by(x))
#define VEX_PT_GUARDED_BY(x) VEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define VEX_ACQUIRED_BEFORE(...) VEX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define VEX_ACQUIRED_AFTER(...) VEX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define VEX_REQUIRES(...) VEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VEX_ACQUIRE(...) VEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VEX_RELEASE(...) VEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VEX_TRY_ACQUIRE(...) VEX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define VEX_EXCLUDES(...) VEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VEX_ASSERT_CAPABILITY(x) VEX_THREAD_ANNOTATION(assert_capability(x))
#define VEX_RETURN_CAPABILITY(x) VEX_THREAD_ANNOTATION(lock_returned(x))
#define VEX_NO_THREAD_SAFETY_ANALYSIS VEX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vexokrt::platform {

// std::mutex with the capability annotation.
class VEX_CAPABILITY("mutex") Mutex {
 public:
  void lock() VEX_ACQUIRE() { mutex_.lock(); }
  void unlock() VEX_RELEASE() { mutex_.unlock(); }
  bool try_lock() VEX_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // For condition-variable waits through MutexLock::native().
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope. A condition variable waits on native(); the
// wait gives the mutex back while it sleeps and holds it again when it
// returns, so the analysis may treat the mutex as held throughout.
class VEX_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) VEX_ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~MutexLock() VEX_RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Gives the mutex back early, or takes it again, inside the scope.
  void Unlock() VEX_RELEASE() { lock_.unlock(); }
  void Lock() VEX_ACQUIRE() { lock_.lock(); }

  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace vexokrt::platform
