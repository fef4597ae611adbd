// The serial link talking to the simulated cash changer in-process, on
// virtual time: a SerialPort over the simulator's direct line, and a Clock
// that is the simulator's manual clock. Every wait of the link moves the
// simulated time forward instead of sleeping, so a whole log retrieval runs
// in milliseconds.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "link/line_exchange.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "sim/direct_line.h"
#include "sim/line_settings.h"
#include "sim/sim_clock.h"
#include "support/fake_clock.h"

namespace vexokrt::devlog::testing {

// The simulator's virtual clock: sleeping moves it on at once. A timed wait
// (the device layer's thread resting between requests) waits for its
// notification as long in real time as it would in virtual time, and when
// none comes moves the virtual clock to its end, so a waiter that nobody
// wakes still sees its time run out. Its date is the test clocks'.
class SimTimeClock final : public platform::Clock {
 public:
  explicit SimTimeClock(sim::ManualSimClock& clock) : clock_(clock), start_ms_(NowMs()) {}
  int64_t NowMs() override { return clock_.NowUs() / 1000; }
  void SleepMs(int64_t ms) override { clock_.AdvanceMs(ms); }
  platform::LocalTime LocalTimeNow() override {
    return vexokrt::testing::DateAfter(vexokrt::testing::TestStartDate(), NowMs() - start_ms_);
  }
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    const int64_t left = deadline_ms - NowMs();
    if (left <= 0) return;
    if (cv.wait_for(lock, std::chrono::milliseconds(left)) == std::cv_status::timeout && deadline_ms > NowMs()) {
      clock_.AdvanceMs(deadline_ms - NowMs());
    }
  }

 private:
  sim::ManualSimClock& clock_;
  const int64_t start_ms_;
};

class SimSerialPort final : public platform::SerialPort {
 public:
  explicit SimSerialPort(sim::DirectLine& line) : line_(line) {}

  bool Configure(std::string_view definition) override {
    const auto settings = sim::ParseLineSettings(definition);
    if (!settings) return false;
    settings_ = *settings;
    return true;
  }
  void Purge(platform::PurgeScope) override { line_.Purge(); }
  bool TakeReceiveError() override { return false; }
  platform::IoResult ReadSome(uint8_t* buffer, size_t capacity, int64_t wait_ms) override {
    const auto read = line_.Read(capacity, static_cast<int>(std::min<int64_t>(wait_ms, 1 << 30)));
    std::copy(read.bytes.begin(), read.bytes.end(), buffer);
    return {read.bytes.size(), read.bytes.empty() ? platform::IoStatus::kTimeout : platform::IoStatus::kOk};
  }
  platform::IoResult WriteSome(const uint8_t* bytes, size_t count, int64_t) override {
    line_.Write(std::span<const uint8_t>(bytes, count), settings_);
    return {count, platform::IoStatus::kOk};
  }

 private:
  sim::DirectLine& line_;
  sim::LineSettings settings_;
};

// The device layer's line over a SerialLink, with the thread hooks carried
// into the link's thread control.
class SerialLinkLine final : public LineExchange, private link::CommThreadControl {
 public:
  explicit SerialLinkLine(link::SerialLink& link) : link_(link) { link_.SetCommThreadControl(this); }
  ~SerialLinkLine() override { link_.SetCommThreadControl(nullptr); }

  int OpenPort() override { return link_.OpenPort(); }
  int ClosePort() override { return link_.ClosePort(); }
  bool IsOpen() const override { return link_.IsOpen(); }
  void SetThreadHooks(ThreadHooks hooks) override { hooks_ = std::move(hooks); }
  ModelCode Model() const override { return link_.Model(); }
  int DetectModel() override { return link_.DetectModel(); }
  void SendFrame(std::span<const uint8_t> command) override { link_.SendFrame(command); }
  int32_t SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress) override {
    return link_.SendEnquiry(reply, timeout_ms, suppress);
  }
  int32_t ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress, bool alternative) override {
    return link_.ReceiveAnswer(reply, timeout_ms, suppress, alternative);
  }
  void WriteBytes(std::span<const uint8_t> bytes) override { link_.WriteBytes(bytes); }
  int32_t SwitchLineSpeed(int kind) override { return link_.SwitchLineSpeed(kind); }
  int32_t ReadErrorNumber() override { return link_.ReadErrorNumber(); }
  int32_t ReadKrt07ErrorCode(Krt07Rule rule) override {
    switch (rule) {
      case Krt07Rule::kA:
        return link_.ReadKrt07ErrorCode(link::Krt07ErrorRule::kA);
      case Krt07Rule::kB:
        return link_.ReadKrt07ErrorCode(link::Krt07ErrorRule::kB);
      case Krt07Rule::kC:
        return link_.ReadKrt07ErrorCode(link::Krt07ErrorRule::kC);
    }
    return 0;
  }

 private:
  bool Start() override { return !hooks_.start || hooks_.start() == 0; }
  void Stop() override {
    if (hooks_.stop) hooks_.stop();
  }
  void DiscardRequests() override {
    if (hooks_.discard) hooks_.discard();
  }

  link::SerialLink& link_;
  ThreadHooks hooks_;
};

}  // namespace vexokrt::devlog::testing
