// SPDX-License-Identifier: Apache-2.0
// Cases for lock_analysis_check.sh. Compiled as it is, every access keeps
// the lock rules; each macro switches on exactly one access that breaks one.
#include <condition_variable>

#include "platform/thread_annotations.h"

using vexokrt::platform::Mutex;
using vexokrt::platform::MutexLock;

class Counter {
 public:
  void Add(int n) VEX_EXCLUDES(mu_) {
    MutexLock lock(mu_);
    AddLocked(n);
#ifdef CALL_WITH_EXCLUDED
    (void)Value();  // takes mu_ again while it is held
#endif
    lock.Unlock();
#ifdef ACCESS_AFTER_UNLOCK
    value_ = 0;
#endif
    cv_.notify_all();
  }

  int Value() VEX_EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return value_;
  }

  void WaitFor(int target) VEX_EXCLUDES(mu_) {
    MutexLock lock(mu_);
#ifdef PREDICATE_WITHOUT_REQUIRES
    cv_.wait(lock.native(), [&] { return value_ >= target; });
#else
    cv_.wait(lock.native(), [&]() VEX_REQUIRES(mu_) { return value_ >= target; });
#endif
  }

  void Unlocked(int n) {
#ifdef UNLOCKED_WRITE
    value_ = n;
#endif
#ifdef UNLOCKED_READ
    n += value_;
#endif
#ifdef CALL_WITHOUT_REQUIRED
    AddLocked(n);
#endif
    (void)n;
  }

 private:
  void AddLocked(int n) VEX_REQUIRES(mu_) { value_ += n; }

  Mutex mu_;
  std::condition_variable cv_;
  int value_ VEX_GUARDED_BY(mu_) = 0;
};

int main() {
  Counter counter;
  counter.Add(1);
  counter.WaitFor(1);
  counter.Unlocked(2);
  return counter.Value() == 1 ? 0 : 1;
}
