// SPDX-License-Identifier: Apache-2.0
// One command on its way to the cash changer, and the slot in which a waiting
// caller receives its answer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "link/device_reply.h"
#include "platform/thread_annotations.h"

namespace vexokrt {

// How the communication thread keeps asking for the final answer when none
// came within the first 500 ms.
enum class WaitStyle : int32_t {
  kNone = 0,      // read once more for the rest of the time-out
  kBusy = 1,      // poll with ENQ while the device answers SUB
  kProgress = 2,  // poll with ENQ while the device answers DC4 or LF
  kTakeBack = 3,  // as Busy; completion by the take-back message
  kDispense = 4,  // as Busy, with the KRT03's extra handling
};

// How the answer of a request reaches its sender.
enum class Delivery : int32_t {
  kPost = 1,  // post a message to the service object's hidden window
  kSlot = 2,  // fill the waiting caller's WaitSlot
  kCaller = 3,  // store it in the caller's |caller_reply| (a request run inside the caller's job)
};

// Where a waiting caller receives its reply. Shared by the caller and the
// communication thread; filled exactly once.
class WaitSlot {
 public:
  // Stores the reply and wakes the waiter. Later fills are ignored.
  void Fill(DeviceReply reply) {
    {
      platform::MutexLock lock(lock_);
      if (done_) return;
      reply_ = std::move(reply);
      done_ = true;
    }
    filled_.notify_all();
  }

  bool Done() const {
    platform::MutexLock lock(lock_);
    return done_;
  }

  // Blocks until the slot is filled, then hands the reply over.
  DeviceReply Wait() {
    platform::MutexLock lock(lock_);
    filled_.wait(lock.native(), [this]() VEX_REQUIRES(lock_) { return done_; });
    return std::move(reply_);
  }

 private:
  mutable platform::Mutex lock_;
  std::condition_variable filled_;
  bool done_ VEX_GUARDED_BY(lock_) = false;
  DeviceReply reply_ VEX_GUARDED_BY(lock_);
};

// How a job ended (CommThread::RunJob).
enum class JobEnd {
  kRan,        // the job's work ran to its end
  kNotQueued,  // nothing was queued: the port is closed or the thread not running
  kNotRun,     // queued but never started: the thread stopped or the queue was discarded first, or
               // its start limit passed
  kFailed,     // its work stopped with an exception, which was caught
};

// Where the submitter of a job learns its end. Filled exactly once.
class JobSlot {
 public:
  void Fill(JobEnd end) {
    {
      platform::MutexLock lock(lock_);
      if (done_) return;
      end_ = end;
      done_ = true;
    }
    filled_.notify_all();
  }
  JobEnd Wait() {
    platform::MutexLock lock(lock_);
    filled_.wait(lock.native(), [this]() VEX_REQUIRES(lock_) { return done_; });
    return end_;
  }

 private:
  platform::Mutex lock_;
  std::condition_variable filled_;
  bool done_ VEX_GUARDED_BY(lock_) = false;
  JobEnd end_ VEX_GUARDED_BY(lock_) = JobEnd::kNotRun;
};

// Marks an ordinary command request (anything else is a device-log-file
// request carrying its code).
inline constexpr int32_t kNoLogRequest = -1;

struct DeviceRequest {
  // The command bytes (DC1 first); empty for a log-file request.
  std::vector<uint8_t> command;
  Delivery delivery = Delivery::kSlot;
  // kPost: the registered message name and its second parameter (10001 when
  // the sender asked for notification, else 0).
  std::string message;
  int32_t parameter = 0;
  // kSlot: the waiter's slot.
  std::shared_ptr<WaitSlot> slot;
  // kCaller: where the reply goes; the caller waits for its job, not for
  // the request.
  std::optional<DeviceReply>* caller_reply = nullptr;
  WaitStyle wait_style = WaitStyle::kNone;
  // Total time allowed for the final answer, and the pause after it.
  int32_t timeout_ms = 0;
  int32_t delay_after_ms = 0;
  int32_t log_request_code = kNoLogRequest;

  // A job instead of a command: |job| runs on the communication thread and
  // |job_slot| hears its end; |start_deadline_ms| (the thread's clock; -1
  // without one) is the latest time it may start.
  std::function<void()> job;
  std::shared_ptr<JobSlot> job_slot;
  int64_t start_deadline_ms = -1;
};

}  // namespace vexokrt
