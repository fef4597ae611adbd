// SPDX-License-Identifier: Apache-2.0
// The service object as a Control Object drives it, through its dispatch
// interface, against the simulated cash changer served on a pseudo-terminal
// inside the test. Every test gets its own registry and lock folder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/device_config.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "platform/message_window.h"
#include "platform/registry.h"
#include "recording_control_object.h"
#include "service/cash_changer_dispatch.h"
#include "service/properties.h"
#include "sim/sim_clock.h"
#include "sim/simulator.h"
#include "support/exam_records.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vexokrt::testing {

// How much faster than real time the service objects of these tests and
// their simulated machine run: every time-out, long action and watch step
// passes this many times sooner, in the same order. Under a sanitizer the
// code itself runs several times slower, so the time-outs shrink less: the
// machine's answers must still come well within them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int64_t kServiceTestSpeed = 2;
#else
inline constexpr int64_t kServiceTestSpeed = 4;
#endif


// A service object's clock that reads the simulated machine's clock, from
// the test clocks' date. What it cannot end itself (a sleep, a timed wait, a
// poll) lasts the machine clock's real time of it, on the system clock.
class MachineTimeClock final : public platform::Clock {
 public:
  explicit MachineTimeClock(const sim::SimClock& machine) : machine_(machine), start_ms_(NowMs()) {}
  int64_t NowMs() override { return machine_.NowUs() / 1000; }
  int64_t RealMs(int64_t ms) override { return ms <= 0 ? 0 : (machine_.RealUs(ms * 1000) + 999) / 1000; }
  void SleepMs(int64_t ms) override { platform::SystemClock().SleepMs(RealMs(ms)); }
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    const int64_t left_ms = deadline_ms - NowMs();
    if (left_ms <= 0) return;
    platform::SystemClock().WaitStep(cv, lock, platform::SystemClock().NowMs() + RealMs(left_ms));
  }
  platform::LocalTime LocalTimeNow() override { return DateAfter(TestStartDate(), NowMs() - start_ms_); }

 private:
  const sim::SimClock& machine_;
  const int64_t start_ms_;
};

// One service object (through its dispatch interface) and its Control Object.
class ServiceDriver {
 public:
  ServiceDriver()
      : object_(platform::ComPtr<platform::IDispatch>::Adopt(service::CashChangerDispatch::Create())) {
    so().SetClock(Clock());
  }
  // The clock of the simulated machines: real time sped up
  // kServiceTestSpeed times. Never destroyed, so it outlives every machine.
  static const sim::SimClock& MachineClock() {
    static sim::ScaledSimClock* clock = new sim::ScaledSimClock(kServiceTestSpeed);
    return *clock;
  }
  // The clock of every service object of the tests: the machines' clock, so
  // both sides run on one time line. Never destroyed.
  static MachineTimeClock& Clock() {
    static MachineTimeClock* clock = new MachineTimeClock(MachineClock());
    return *clock;
  }

  platform::IDispatch* dispatch() { return object_.get(); }
  service::CCashChanger& so() { return static_cast<service::CashChangerDispatch*>(object_.get())->object(); }
  // The day of the month in the trace file's name ("15").
  std::string TraceDay() {
    char day[8];
    std::snprintf(day, sizeof day, "%02d", Clock().LocalTimeNow().tm.tm_mday);
    return day;
  }
  RecordingControlObject& control_object() { return control_object_; }
  const RecordingControlObject& control_object() const { return control_object_; }

  // A long member's result; -9999 when the call itself failed.
  int32_t Call(std::string_view member, std::vector<platform::Variant> args = {}) {
    platform::DispId id = platform::kDispIdUnknown;
    platform::Variant result;
    if (object_->GetIDsOfNames(member, &id) != platform::S_OK) return -9999;
    if (object_->Invoke(id, args, &result) != platform::S_OK || result.AsLong() == nullptr) return -9999;
    return *result.AsLong();
  }
  int32_t Open(const std::string& name = "Dev1") {
    return Call("OpenService", {platform::Variant::String("CashChanger"), platform::Variant::String(name),
                                platform::Variant::Dispatch(&control_object_)});
  }
  int32_t Get(int32_t index) { return Call("GetPropertyNumber", {platform::Variant::Long(index)}); }
  std::string GetString(int32_t index) {
    platform::DispId id = platform::kDispIdUnknown;
    object_->GetIDsOfNames("GetPropertyString", &id);
    std::vector<platform::Variant> args = {platform::Variant::Long(index)};
    platform::Variant result;
    object_->Invoke(id, args, &result);
    return result.AsString() ? *result.AsString() : "<none>";
  }
  // Sets a number property and returns the ResultCode it left.
  int32_t Set(int32_t index, int32_t value) {
    platform::DispId id = platform::kDispIdUnknown;
    object_->GetIDsOfNames("SetPropertyNumber", &id);
    std::vector<platform::Variant> args = {platform::Variant::Long(index), platform::Variant::Long(value)};
    object_->Invoke(id, args, nullptr);
    return Get(service::pidx::kResultCode);
  }
  int32_t SetString(int32_t index, const std::string& value) {
    platform::DispId id = platform::kDispIdUnknown;
    object_->GetIDsOfNames("SetPropertyString", &id);
    std::vector<platform::Variant> args = {platform::Variant::Long(index), platform::Variant::String(value)};
    object_->Invoke(id, args, nullptr);
    return Get(service::pidx::kResultCode);
  }

  // Pumps this thread's window messages until |done| or |limit_ms| pass.
  bool PumpUntil(const std::function<bool()>& done, int limit_ms = 3000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      platform::PumpMessagesFor(10);
    }
    return true;
  }
  // Pumps until a status update |status| has been fired.
  bool AwaitStatus(int32_t status, int limit_ms = 3000) {
    return PumpUntil([&] { return HasEvent("SOStatusUpdate", status); }, limit_ms);
  }
  bool HasEvent(const std::string& member, int32_t number) const {
    for (const FiredEvent& e : control_object_.events()) {
      if (e.member == member && e.number == number) return true;
    }
    return false;
  }

 private:
  RecordingControlObject control_object_;
  platform::ComPtr<platform::IDispatch> object_;
};

class SimulatedServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1);
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    drivers_.clear();
    if (simulator_) simulator_->Stop();
    ::unsetenv("OPOS_REGISTRY_DIR");
    ::unsetenv("OPOS_LOCK_DIR");
  }

  // Starts the simulated |model| and writes the key of device |name| for it.
  void StartDevice(sim::Model model = sim::Model::kKrt07, const std::string& name = "Dev1") {
    sim::EngineOptions options;
    options.model = model;
    // TakeCommands reads every command since the last take; a claim, an
    // enable with its reads and a pay-out between two takes can be more than
    // the simulator keeps by default.
    options.max_recorded_frames = 20'000;
    simulator_ = std::make_unique<sim::Simulator>(options, &ServiceDriver::MachineClock());
    ASSERT_TRUE(simulator_->Start().ok);
    key_ = config::DeviceKeyPath(name);
    Set("Port", simulator_->SlavePath());
    Set("WatchInterval", "20");
    Set("LogFolderName", dir_.prefix());
    Set("DbgLogFileName", dir_.file("trace"));
    Set("DbgLogLevel", "0");
  }
  void Set(const std::string& name, const std::string& text) {
    ASSERT_EQ(platform::RegSetString(platform::RegRoot::kLocalMachine, key_, name, text), platform::RegResult::kOk);
  }
  sim::ChangerEngine& machine() { return simulator_->Engine(); }
  ServiceDriver& NewDriver() {
    drivers_.push_back(std::make_unique<ServiceDriver>());
    return *drivers_.back();
  }
  // The command bodies the machine received since the last call, as text.
  std::vector<std::string> TakeCommands() {
    std::vector<std::string> texts;
    for (const auto& body : machine().CommandBodies()) {
      texts.emplace_back(body.begin() + (body.empty() || body[0] != 0x11 ? 0 : 1), body.end());
    }
    machine().ClearReceivedFrames();
    return texts;
  }
  static bool HasCommand(const std::vector<std::string>& commands, const std::string& text) {
    for (const auto& c : commands) {
      if (c == text) return true;
    }
    return false;
  }
  static bool HasCommandStarting(const std::vector<std::string>& commands, const std::string& prefix) {
    for (const auto& c : commands) {
      if (c.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  TempDir dir_;
  std::string key_;
  std::unique_ptr<sim::Simulator> simulator_;
  std::vector<std::unique_ptr<ServiceDriver>> drivers_;
};

}  // namespace vexokrt::testing
