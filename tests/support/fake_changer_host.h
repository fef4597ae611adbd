// SPDX-License-Identifier: Apache-2.0
// A stand-in for the service object behind the device layer: plain values
// under one lock, and a record of every event queued and every window post.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "device/changer_host.h"
#include "device/deposit_session.h"
#include "device/device_switches.h"
#include "service/opos.h"

namespace vexokrt::testing {

struct Post {
  std::string message;
  WindowPayload payload;
  bool busy_when_posted = false;  // what the busy probe said at the post
};

class FakeChangerHost : public ChangerHost {
 public:
  FakeChangerHost() { switches.device_enabled.store(true); }

  // The deposit's state and the switches the device layer under test is
  // given (enabled to begin with).
  DepositSession deposit;
  DeviceSwitches switches;

  // Answers a take-back question automatically with |answer| (0: never).
  void AnswerQuestionsWith(int32_t answer) {
    std::lock_guard<std::mutex> lock(lock_);
    auto_answer_ = answer;
  }

  // Asked at every post, so a test can see whether the device read busy
  // when its answer was delivered.
  void SetBusyProbe(std::function<bool()> probe) {
    std::lock_guard<std::mutex> lock(lock_);
    busy_probe_ = std::move(probe);
  }
  void QueueStatusUpdate(int32_t value) override {
    std::lock_guard<std::mutex> lock(lock_);
    status_updates_.push_back(value);
    changed_.notify_all();
  }
  void QueueDataEvent(const DispenseRecord& counts) override {
    std::lock_guard<std::mutex> lock(lock_);
    data_events_.push_back(counts);
    changed_.notify_all();
  }
  void QueueDirectIoEvent(int32_t event_number, int32_t, std::string) override {
    std::lock_guard<std::mutex> lock(lock_);
    direct_io_events_.push_back(event_number);
    changed_.notify_all();
  }
  void PostToWindow(std::string_view message, WindowPayload payload) override {
    std::shared_ptr<events::AnswerSlot> question;
    int32_t answer;
    std::function<bool()> probe;
    {
      std::lock_guard<std::mutex> lock(lock_);
      probe = busy_probe_;
    }
    const bool busy = probe && probe();
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (const auto* notice = std::get_if<DirectIoNotice>(&payload)) question = notice->answer;
      answer = auto_answer_;
      posts_.push_back(Post{std::string(message), std::move(payload), busy});
      changed_.notify_all();
    }
    if (question && answer != 0) question->Answer(answer);
  }

  // Values a test sets.
  void SetDeviceEnabled(bool on) { switches.device_enabled.store(on); }
  void SetPowerNotify(int32_t v) { switches.power_notify.store(v); }
  void SetCurrentExit(int32_t v) { switches.current_exit.store(v); }
  int32_t DirectIoMode() const { return switches.direct_io_mode.load(); }
  void SetDirectIoMode(int32_t mode) { switches.direct_io_mode.store(mode); }
  // The deposit's state, as the service object's deposit members would set it.
  int32_t DepositStatus() const { return deposit.Status(); }
  void SetDepositStatus(int32_t status) { deposit.SetStatus(status); }
  void SetDepositFixed(bool v) { deposit.SetFixed(v); }
  void SetDepositPaused(bool v) { deposit.SetPaused(v); }
  void SetDepositOption(int32_t v) { deposit.SetOption(v); }
  void SetDepositActiveMark(int32_t v) { deposit.SetActiveMark(v); }
  void SetOperationModeTemporary(int32_t v) { switches.operation_mode_temporary.store(v); }
  void SetDioReadExchange(int32_t v) { switches.dio_read_exchange.store(v); }

  // What the device layer did.
  std::vector<int32_t> StatusUpdates() {
    std::lock_guard<std::mutex> lock(lock_);
    return status_updates_;
  }
  std::vector<DispenseRecord> DataEvents() {
    std::lock_guard<std::mutex> lock(lock_);
    return data_events_;
  }
  std::vector<Post> Posts() {
    std::lock_guard<std::mutex> lock(lock_);
    return posts_;
  }
  // Event numbers of the direct I/O notices posted with |message|.
  std::vector<int32_t> Notices(std::string_view message) {
    std::vector<int32_t> numbers;
    for (const Post& post : Posts()) {
      if (post.message != message) continue;
      if (const auto* notice = std::get_if<DirectIoNotice>(&post.payload)) numbers.push_back(notice->event_number);
    }
    return numbers;
  }
  void ClearRecords() {
    std::lock_guard<std::mutex> lock(lock_);
    status_updates_.clear();
    data_events_.clear();
    posts_.clear();
  }
  // Waits (real time) until |predicate| holds.
  bool WaitUntil(const std::function<bool()>& predicate, int64_t ms = 5000) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      lock.unlock();
      const bool done = predicate();
      lock.lock();
      return done;
    });
  }
  bool WaitForStatusUpdate(int32_t value, int64_t ms = 5000) {
    return WaitUntil(
        [&] {
          for (int32_t v : StatusUpdates()) {
            if (v == value) return true;
          }
          return false;
        },
        ms);
  }
  bool WaitForPosts(size_t count, int64_t ms = 5000) {
    return WaitUntil([&] { return Posts().size() >= count; }, ms);
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int32_t auto_answer_ = 0;
  std::vector<int32_t> status_updates_;
  std::function<bool()> busy_probe_;
  std::vector<DispenseRecord> data_events_;
  std::vector<int32_t> direct_io_events_;
  std::vector<Post> posts_;
};

}  // namespace vexokrt::testing
