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
#include "service/opos.h"

namespace vexokrt::testing {

struct Post {
  std::string message;
  WindowPayload payload;
  bool busy_when_posted = false;  // what the busy probe said at the post
};

class FakeChangerHost : public ChangerHost {
 public:
  // The deposit's state the device layer under test is given.
  DepositSession deposit;

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
  bool DeviceEnabled() override { return Get(device_enabled_) != 0; }
  int32_t PowerNotify() override { return Get(power_notify_); }
  int32_t CurrentExit() override { return Get(current_exit_); }
  int32_t DirectIoMode() override { return Get(direct_io_mode_); }
  void SetDirectIoMode(int32_t mode) override { Set(direct_io_mode_, mode); }
  int32_t OperationModeTemporary() override { return Get(operation_mode_temporary_); }
  int32_t DioReadExchange() override { return Get(dio_read_exchange_); }
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
  void SetDeviceEnabled(bool on) { Set(device_enabled_, on ? 1 : 0); }
  void SetPowerNotify(int32_t v) { Set(power_notify_, v); }
  void SetCurrentExit(int32_t v) { Set(current_exit_, v); }
  // The deposit's state, as the service object's deposit members would set it.
  int32_t DepositStatus() const { return deposit.Status(); }
  void SetDepositStatus(int32_t status) { deposit.SetStatus(status); }
  void SetDepositFixed(bool v) { deposit.SetFixed(v); }
  void SetDepositPaused(bool v) { deposit.SetPaused(v); }
  void SetDepositOption(int32_t v) { deposit.SetOption(v); }
  void SetDepositActiveMark(int32_t v) { deposit.SetActiveMark(v); }
  void SetOperationModeTemporary(int32_t v) { Set(operation_mode_temporary_, v); }
  void SetDioReadExchange(int32_t v) { Set(dio_read_exchange_, v); }

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
  int32_t Get(const int32_t& field) {
    std::lock_guard<std::mutex> lock(lock_);
    return field;
  }
  void Set(int32_t& field, int32_t value) {
    std::lock_guard<std::mutex> lock(lock_);
    field = value;
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  int32_t device_enabled_ = 1;
  int32_t power_notify_ = 0;
  int32_t current_exit_ = 1;
  int32_t direct_io_mode_ = 0;
  int32_t operation_mode_temporary_ = 0;
  int32_t dio_read_exchange_ = 0;
  int32_t auto_answer_ = 0;
  std::vector<int32_t> status_updates_;
  std::function<bool()> busy_probe_;
  std::vector<DispenseRecord> data_events_;
  std::vector<int32_t> direct_io_events_;
  std::vector<Post> posts_;
};

}  // namespace vexokrt::testing
