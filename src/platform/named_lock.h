// SPDX-License-Identifier: Apache-2.0
// System-wide named locks: the claim semaphore and the log mutexes.
//
// Each is an advisory flock on a file named after the object in the lock
// folder (environment variable OPOS_LOCK_DIR; else /run/lock when writable;
// else /tmp). Every object opens its own file description, so two objects of
// the same name exclude each other inside one process as well as across
// processes, and the kernel releases the lock when a holder process dies.
//
// The lock files are shared by every user of the service: a file is created
// with mode 0666 set explicitly (whatever the umask of the creator), an
// existing one is opened without O_CREAT (so a sticky lock folder never
// refuses another user's file) and, where it is not writable, read-only
// (flock needs no write access). A symbolic link is never followed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <string>

#include "platform/clock.h"
#include "platform/thread_annotations.h"

namespace vexokrt::platform {

// The folder holding the lock files, resolved from the environment now.
std::string LockFolder();

// Opens (creating when missing) the lock file at |path| so that any user can
// flock it, as described above. A descriptor, or -1 with the reason in
// |error| (the system's errno text).
int OpenSharedLockFile(const std::string& path, std::string* error);

// A mutual-exclusion lock. Lock/Unlock pairs may come from several threads of
// one process; the owning thread must be the one that unlocks. Time-outs are
// measured on |clock|.
class NamedMutex {
 public:
  explicit NamedMutex(std::string name, Clock& clock = SystemClock());
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits at most |timeout_ms| (-1: without limit). True when the caller now
  // holds the lock. A lock file that cannot be opened still gives in-process
  // exclusion and reports true.
  bool Lock(int timeout_ms = -1);
  void Unlock();

  const std::string& name() const { return name_; }

 private:
  void ReleaseLocal();

  std::string name_;
  Clock& clock_;
  // Exclusion inside this process: held_ is true from Lock to Unlock.
  Mutex mutex_;
  std::condition_variable released_;
  bool held_ VEX_GUARDED_BY(mutex_) = false;
  const int fd_;
};

// A semaphore of maximum count 1, released by whichever thread likes.
// Time-outs are measured on |clock|.
class NamedSemaphore {
 public:
  explicit NamedSemaphore(std::string name, Clock& clock = SystemClock());
  ~NamedSemaphore();
  NamedSemaphore(const NamedSemaphore&) = delete;
  NamedSemaphore& operator=(const NamedSemaphore&) = delete;

  // Waits at most |timeout_ms| (-1: without limit; 0: try once). True when
  // the count was taken. An object already holding the count waits like any
  // other claimant. False also when the lock file cannot be opened or
  // locked: failure() then says why (it is empty after a plain time-out), so
  // a caller never mistakes a missing system-wide lock for exclusion.
  bool Acquire(int timeout_ms);
  // Replaces the clock of the time-outs; not while an Acquire is waiting.
  void SetClock(Clock& clock) { clock_.store(&clock); }
  // Why the last Acquire failed other than by waiting too long; empty
  // otherwise.
  std::string failure() const;
  // Gives the count back; nothing when it is not held by this object.
  void Release();
  bool held() const;

  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::atomic<Clock*> clock_;
  enum class Count { kFree, kTaking, kHeld };
  mutable Mutex mutex_;
  std::condition_variable released_;
  Count count_ VEX_GUARDED_BY(mutex_) = Count::kFree;
  std::string failure_ VEX_GUARDED_BY(mutex_);
  int fd_ VEX_GUARDED_BY(mutex_) = -1;  // opened again by Acquire while it is -1
};

}  // namespace vexokrt::platform
