// SPDX-License-Identifier: Apache-2.0
// The service object at work against the simulator on a pseudo-terminal:
// how long an event takes from being queued to the Control Object's handler
// while the application pumps, and what a claimed, enabled, idle service
// object costs in CPU.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/device_config.h"
#include "platform/com.h"
#include "platform/message_window.h"
#include "platform/registry.h"
#include "service/cash_changer_dispatch.h"
#include "service/properties.h"
#include "sim/simulator.h"

namespace vexokrt {
namespace {

using Clock = std::chrono::steady_clock;

// Counts status updates; the benchmark waits for them.
class CountingControlObject final : public platform::IDispatch {
 public:
  platform::HRESULT QueryInterface(const platform::Guid&, void** object) override {
    *object = this;
    return platform::S_OK;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  platform::HRESULT GetIDsOfNames(std::string_view name, platform::DispId* id) override {
    *id = name == "SOStatusUpdate" ? 2 : name == "SOData" ? 3 : 1;
    return platform::S_OK;
  }
  platform::HRESULT Invoke(platform::DispId id, std::span<platform::Variant>, platform::Variant*) override {
    if (id == 2) {
      ++status_updates;
      last = Clock::now();
    }
    return platform::S_OK;
  }
  int status_updates = 0;
  Clock::time_point last;
};

// A claimed, enabled service object on a simulated KRT07 with the default
// watch interval.
class Rig {
 public:
  Rig() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexokrt-bench-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    ::setenv("OPOS_REGISTRY_DIR", dir_.c_str(), 1);
    ::setenv("OPOS_LOCK_DIR", dir_.c_str(), 1);
    simulator_ = std::make_unique<sim::Simulator>(sim::EngineOptions{});
    ok_ = simulator_->Start().ok;
    const std::string key = config::DeviceKeyPath("Bench");
    platform::RegSetString(platform::RegRoot::kLocalMachine, key, "Port", simulator_->SlavePath());
    platform::RegSetString(platform::RegRoot::kLocalMachine, key, "LogFolderName", dir_ + "/");
    object_ = platform::ComPtr<platform::IDispatch>::Adopt(service::CashChangerDispatch::Create());
    ok_ = ok_ && so().OpenService("CashChanger", "Bench", &control_object_) == 0 && so().Claim(2000) == 0;
    so().SetPropertyNumber(service::pidx::kDeviceEnabled, 1);
    ok_ = ok_ && so().result_code() == 0;
  }
  ~Rig() {
    if (object_) so().Close();
    object_.Reset();
    simulator_->Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool ok() const { return ok_; }
  service::CCashChanger& so() { return static_cast<service::CashChangerDispatch*>(object_.get())->object(); }
  CountingControlObject& control_object() { return control_object_; }

 private:
  std::string dir_;
  std::unique_ptr<sim::Simulator> simulator_;
  CountingControlObject control_object_;
  platform::ComPtr<platform::IDispatch> object_;
  bool ok_ = false;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// From queueing a status update to the Control Object's handler, with the
// application thread waiting in its message pump.
void BM_EventDeliveryLatency(benchmark::State& state) {
  Rig rig;
  if (!rig.ok()) return state.SkipWithError("no simulated device");
  platform::PumpMessagesFor(50);
  std::vector<double> micros;
  for (auto _ : state) {
    const int before = rig.control_object().status_updates;
    const auto queued = Clock::now();
    rig.so().QueueStatusUpdate(12);
    while (rig.control_object().status_updates == before) platform::PumpMessagesFor(100);
    const double us = std::chrono::duration<double, std::micro>(rig.control_object().last - queued).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  state.counters["median_us"] = Percentile(micros, 0.5);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.counters["max_us"] = Percentile(micros, 1.0);
}
BENCHMARK(BM_EventDeliveryLatency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A claimed, enabled, idle service object for 10 s of wall time: the status
// watch every 500 ms, the event thread and the pumping application asleep in
// between. The whole process is measured, the simulator included.
void BM_IdleEnabledCpu(benchmark::State& state) {
  Rig rig;
  if (!rig.ok()) return state.SkipWithError("no simulated device");
  for (auto _ : state) {
    const double cpu_before = CpuSeconds();
    const auto start = Clock::now();
    const auto until = start + std::chrono::seconds(10);
    for (auto now = start; now < until; now = Clock::now()) {
      platform::PumpMessagesFor(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["cpu_percent_of_one_core"] = 100.0 * (CpuSeconds() - cpu_before) / wall;
  }
}
BENCHMARK(BM_IdleEnabledCpu)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vexokrt

BENCHMARK_MAIN();
