// SPDX-License-Identifier: Apache-2.0
// A scripted stand-in for the serial line: every framed command and every
// enquiry is recorded, and answered by functions the test provides. Time
// passes only on a FakeClock: an answer costs its delay, a missing answer
// the whole time-out, so long device actions take no real time.
//
// Follow-up reads are simulated from the answer's fields the way the link
// performs them: CAN sets cancelled and cancelDetail, BEL (and DC3 on the
// KRT07/KRT77) sets errorCode/errorFlag, EM on the KRT07/KRT77 gives 201.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "link/command_set.h"
#include "link/line_exchange.h"
#include "support/fake_clock.h"

namespace vexokrt::testing {

struct Answer {
  ReceiveStatus status = kReplyOk;  // kReplyTimeout: the device stays silent
  uint8_t byte = 0;           // single-byte answer (0 with data)
  std::vector<uint8_t> data;  // data frame
  int32_t cancel_detail = 0;  // what the follow-up after CAN reads
  int32_t error_code = 0;     // what the follow-up after BEL / DC3 reads
  int64_t delay_ms = 1;       // fake time until the answer is there

  static Answer Byte(uint8_t b) {
    Answer a;
    a.byte = b;
    return a;
  }
  static Answer Data(std::vector<uint8_t> bytes) {
    Answer a;
    a.data = std::move(bytes);
    return a;
  }
  static Answer Silence() {
    Answer a;
    a.status = kReplyTimeout;
    return a;
  }
};

// One thing the host did on the line.
struct LineEvent {
  enum class Kind { kFrame, kEnquiry, kReceive, kErrorNumber, kKrt07Code, kOpen, kClose, kDetect };
  Kind kind;
  std::vector<uint8_t> bytes;  // kFrame: the command bytes
  int32_t timeout_ms = 0;      // kReceive / kEnquiry
  bool suppress = false;       // kReceive / kEnquiry
};

class ScriptedLine : public LineExchange {
 public:
  using FrameResponder = std::function<Answer(const std::vector<uint8_t>& command)>;
  using EnquiryResponder = std::function<Answer()>;

  explicit ScriptedLine(FakeClock& clock, ModelCode model = ModelCode::kKrt07) : clock_(clock), model_(model) {}

  // --- Script -------------------------------------------------------------
  void OnFrame(FrameResponder responder) {
    std::lock_guard<std::mutex> lock(lock_);
    on_frame_ = std::move(responder);
  }
  void OnEnquiry(EnquiryResponder responder) {
    std::lock_guard<std::mutex> lock(lock_);
    on_enquiry_ = std::move(responder);
  }
  void SetModel(ModelCode model) {
    std::lock_guard<std::mutex> lock(lock_);
    model_ = model;
  }
  // Unplugged: nothing is answered and model detection fails.
  void SetUnplugged(bool unplugged) {
    std::lock_guard<std::mutex> lock(lock_);
    unplugged_ = unplugged;
  }
  void SetErrorNumber(int32_t value) {
    std::lock_guard<std::mutex> lock(lock_);
    error_number_ = value;
  }
  void SetKrt07Code(int32_t value) {
    std::lock_guard<std::mutex> lock(lock_);
    krt07_code_ = value;
  }
  // Model detection makes |reads| model-name reads (answered by the frame
  // responder, each awaited as long as the detection awaits it), looking at
  // its abandon check before each, as the link's detection does before
  // every attempt; 0 (the default): it decides at once, without traffic.
  void SetDetectionReads(int reads) {
    std::lock_guard<std::mutex> lock(lock_);
    detection_reads_ = reads;
  }
  void SetOpenFails(bool fails) {
    std::lock_guard<std::mutex> lock(lock_);
    open_fails_ = fails;
  }
  // The port takes nothing: frames and enquiries fail to be written (and are
  // still recorded).
  void SetWriteFails(bool fails) {
    std::lock_guard<std::mutex> lock(lock_);
    write_fails_ = fails;
  }

  // --- Record ---------------------------------------------------------------
  std::vector<LineEvent> Events() const {
    std::lock_guard<std::mutex> lock(lock_);
    return events_;
  }
  // The framed commands, as text of the three code characters after DC1
  // followed by the parameters ("H00", "!06001500").
  std::vector<std::string> Commands() const {
    std::vector<std::string> commands;
    for (const LineEvent& e : Events()) {
      if (e.kind == LineEvent::Kind::kFrame && !e.bytes.empty()) commands.emplace_back(e.bytes.begin() + 1, e.bytes.end());
    }
    return commands;
  }
  int Count(LineEvent::Kind kind) const {
    int n = 0;
    for (const LineEvent& e : Events()) n += e.kind == kind ? 1 : 0;
    return n;
  }
  int CountCommand(const std::string& prefix) const {
    int n = 0;
    for (const std::string& c : Commands()) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(lock_);
    events_.clear();
  }
  // Room for |count| events and Error lines, so that recording them does not
  // allocate (for tests that make allocations fail).
  void ReserveEvents(size_t count) {
    std::lock_guard<std::mutex> lock(lock_);
    events_.reserve(count);
    trace_errors_.reserve(count);
  }
  // The Error lines the line's users asked it to trace.
  std::vector<std::string> TraceErrors() const {
    std::lock_guard<std::mutex> lock(lock_);
    return std::vector<std::string>(trace_errors_.begin(), trace_errors_.end());
  }
  // Waits (real time) until |predicate| holds for the events; false on
  // time-out.
  bool WaitUntil(const std::function<bool(const std::vector<LineEvent>&)>& predicate, int64_t ms = 5000) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return predicate(events_); });
  }
  bool WaitForCommand(const std::string& prefix, int count = 1, int64_t ms = 5000) {
    return WaitUntil(
        [&](const std::vector<LineEvent>& events) {
          int n = 0;
          for (const LineEvent& e : events) {
            if (e.kind == LineEvent::Kind::kFrame && e.bytes.size() > 1 &&
                std::string(e.bytes.begin() + 1, e.bytes.end()).rfind(prefix, 0) == 0) {
              ++n;
            }
          }
          return n >= count;
        },
        ms);
  }

  // --- LineExchange -----------------------------------------------------------
  int OpenPort() override {
    std::lock_guard<std::mutex> lock(lock_);
    Record({LineEvent::Kind::kOpen, {}, 0, false});
    if (open_fails_) return 1;
    open_ = true;
    return 0;
  }
  int ClosePort() override {
    std::lock_guard<std::mutex> lock(lock_);
    Record({LineEvent::Kind::kClose, {}, 0, false});
    open_ = false;
    pending_.clear();
    return 0;
  }
  bool IsOpen() const override {
    std::lock_guard<std::mutex> lock(lock_);
    return open_;
  }
  ModelCode Model() const override {
    std::lock_guard<std::mutex> lock(lock_);
    return model_;
  }
  using LineExchange::DetectModel;
  ModelDetection DetectModel(const AbandonCheck& abandon) override {
    int reads = 0;
    // A detection that starts on an unplugged line fails, whenever the
    // line is plugged in again: a test that sees it start may plug in.
    bool failed = false;
    {
      std::lock_guard<std::mutex> lock(lock_);
      Record({LineEvent::Kind::kDetect, {}, 0, false});
      reads = detection_reads_;
      failed = unplugged_ || !open_;
    }
    ModelDetection detection;
    const DeviceCommand name = ModelNameCommand();
    for (int i = 0; i < reads; ++i) {
      if (abandon && abandon()) {
        detection.outcome = ModelDetection::Outcome::kAbandoned;
        return detection;
      }
      DeviceReply reply;
      if (SendFrame(name.bytes) == kReplyOk) Take(reply, name.timeout_ms, false, /*record=*/true);
    }
    std::lock_guard<std::mutex> lock(lock_);
    detection.outcome =
        failed || unplugged_ || !open_ ? ModelDetection::Outcome::kFailed : ModelDetection::Outcome::kReady;
    return detection;
  }
  ReceiveStatus SendFrame(std::span<const uint8_t> command) override {
    FrameResponder responder;
    std::vector<uint8_t> bytes(command.begin(), command.end());
    {
      std::lock_guard<std::mutex> lock(lock_);
      Record({LineEvent::Kind::kFrame, bytes, 0, false});
      pending_.clear();
      if (write_fails_) return kReplyTimeout;
      responder = on_frame_;
    }
    Answer answer = responder ? responder(bytes) : Answer::Silence();
    std::lock_guard<std::mutex> lock(lock_);
    pending_.push_back(std::move(answer));
    return kReplyOk;
  }
  ReceiveStatus SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress) override {
    EnquiryResponder responder;
    {
      std::lock_guard<std::mutex> lock(lock_);
      Record({LineEvent::Kind::kEnquiry, {}, timeout_ms, suppress});
      pending_.clear();
      if (write_fails_) {
        reply = DeviceReply();
        reply.status = kReplyTimeout;
        reply.unsent = true;
        return reply.status;
      }
      responder = on_enquiry_;
    }
    Answer answer = responder ? responder() : Answer::Silence();
    {
      std::lock_guard<std::mutex> lock(lock_);
      pending_.push_back(std::move(answer));
    }
    return Take(reply, timeout_ms, suppress, /*record=*/false);
  }
  ReceiveStatus ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress, bool /*alternative*/) override {
    return Take(reply, timeout_ms, suppress, /*record=*/true);
  }
  ReceiveStatus WriteBytes(std::span<const uint8_t>) override {
    std::lock_guard<std::mutex> lock(lock_);
    return write_fails_ ? kReplyTimeout : kReplyOk;
  }
  // Keeps the message itself: the callers pass their own constants.
  void TraceError(std::string_view message) override {
    std::lock_guard<std::mutex> lock(lock_);
    trace_errors_.push_back(message);
  }
  ErrorNumberRead ReadErrorNumber() override {
    std::lock_guard<std::mutex> lock(lock_);
    Record({LineEvent::Kind::kErrorNumber, {}, 0, false});
    if (error_number_ == ErrorNumberRead::kUnreadableValue) return {.unreadable = true};
    return {.number = error_number_};
  }
  int32_t ReadKrt07ErrorCode(Krt07Rule) override {
    std::lock_guard<std::mutex> lock(lock_);
    Record({LineEvent::Kind::kKrt07Code, {}, 0, false});
    return IsKrt07Family(model_) ? krt07_code_ : 0;
  }

 private:
  ReceiveStatus Take(DeviceReply& reply, int32_t timeout_ms, bool suppress, bool record) {
    reply = DeviceReply();
    Answer answer;
    bool have = false;
    ModelCode model;
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (record) Record({LineEvent::Kind::kReceive, {}, timeout_ms, suppress});
      if (!pending_.empty() && !unplugged_ && open_) {
        answer = std::move(pending_.front());
        pending_.pop_front();
        have = answer.status != kReplyTimeout && answer.delay_ms <= timeout_ms;
      } else {
        pending_.clear();
      }
      model = model_;
    }
    if (!have) {
      clock_.Advance(timeout_ms);
      reply.status = kReplyTimeout;
      return reply.status;
    }
    clock_.Advance(answer.delay_ms);
    reply.status = answer.status;
    if (answer.status != kReplyOk) return reply.status;
    reply.answerByte = answer.data.empty() ? answer.byte : 0;
    reply.data = std::move(answer.data);
    const bool krt07 = IsKrt07Family(model);
    switch (reply.answerByte) {
      case kCan:
        if (!suppress) {
          reply.cancelled = 1;
          reply.cancelDetail = answer.cancel_detail;
        }
        break;
      case kBel:
        if (!suppress) {
          reply.errorCode = answer.error_code;
          reply.errorFlag = answer.error_code != 0 ? 1 : 0;
        }
        break;
      case kDc3:
        if (!suppress && krt07) {
          reply.errorCode = answer.error_code;
          reply.errorFlag = answer.error_code != 0 ? 1 : 0;
        }
        break;
      case kEm:
        if (krt07) {
          reply.errorFlag = 1;
          reply.errorCode = 201;
        }
        break;
      default:
        break;
    }
    return reply.status;
  }

  void Record(LineEvent event) {
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  FakeClock& clock_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  FrameResponder on_frame_;
  EnquiryResponder on_enquiry_;
  std::deque<Answer> pending_;
  std::vector<LineEvent> events_;
  std::vector<std::string_view> trace_errors_;
  ModelCode model_;
  bool open_ = false;
  bool open_fails_ = false;
  bool write_fails_ = false;
  bool unplugged_ = false;
  int32_t error_number_ = 0;
  int32_t krt07_code_ = 0;
  int detection_reads_ = 0;
};

}  // namespace vexokrt::testing
