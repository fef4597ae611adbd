// SPDX-License-Identifier: Apache-2.0
// What the device layer adds to the device's own time:
// - one waited request through the queue, the communication thread and the
//   answer mapping, against the same exchange made directly on the line
//   (a scripted line that answers at once, and the simulator on a pty);
// - the CPU the communication thread uses while it only watches the status
//   (simulator in a child process, so the figure is the driver's alone);
// - the order in which requests from two threads reach the line.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/changer_device.h"
#include "diag/trace_log.h"
#include "link/serial_link.h"
#include "sim/simulator.h"
#include "support/fake_changer_host.h"
#include "support/scripted_line.h"

namespace vexokrt {
namespace {

using Clock = std::chrono::steady_clock;

// Per-iteration latencies, reported as median and 90th percentile in µs.
class Latencies {
 public:
  void Add(Clock::duration d) { samples_.push_back(std::chrono::duration<double, std::micro>(d).count()); }
  void Report(benchmark::State& state) {
    if (samples_.empty()) return;
    std::sort(samples_.begin(), samples_.end());
    state.counters["median_us"] = samples_[samples_.size() / 2];
    state.counters["p90_us"] = samples_[samples_.size() * 9 / 10];
  }

 private:
  std::vector<double> samples_;
};

std::unique_ptr<testing::ScriptedLine> InstantLine(testing::FakeClock& clock) {
  auto line = std::make_unique<testing::ScriptedLine>(clock, ModelCode::kKrt07);
  line->OnFrame([](const std::vector<uint8_t>&) {
    testing::Answer ack = testing::Answer::Byte(kAck);
    ack.delay_ms = 0;
    return ack;
  });
  return line;
}

// The exchange alone, directly on the scripted line.
void BM_ScriptedLine_DirectExchange(benchmark::State& state) {
  testing::FakeClock clock;
  auto line = InstantLine(clock);
  line->OpenPort();
  const DeviceCommand command = ExitSelectionCommand(true, true);
  Latencies latencies;
  for (auto _ : state) {
    const auto start = Clock::now();
    DeviceReply reply;
    line->SendFrame(command.bytes);
    line->ReceiveAnswer(reply, CommThread::kFirstAnswerMs, false, false);
    benchmark::DoNotOptimize(reply.answerByte);
    latencies.Add(Clock::now() - start);
    if (state.iterations() % 1024 == 0) line->ClearEvents();
  }
  latencies.Report(state);
}
BENCHMARK(BM_ScriptedLine_DirectExchange);

// The same exchange as a waited request: queue, hand-over to the
// communication thread and back, answer mapping.
void BM_ScriptedLine_WaitedRequest(benchmark::State& state) {
  testing::FakeClock clock;
  testing::FakeChangerHost host;
  auto line = InstantLine(clock);
  testing::ScriptedLine* raw = line.get();
  ChangerDevice device(host, host.deposit, host.switches, DeviceSettings{}, std::move(line), clock);
  device.OpenPort();
  device.SetDepositPhase(1);  // only the request's own exchange
  const DeviceCommand command = ExitSelectionCommand(true, true);
  Latencies latencies;
  for (auto _ : state) {
    const auto start = Clock::now();
    const opos::OposResult result = device.Execute(command);
    latencies.Add(Clock::now() - start);
    if (result != 0) state.SkipWithError("request failed");
    if (state.iterations() % 1024 == 0) raw->ClearEvents();
  }
  latencies.Report(state);
}
BENCHMARK(BM_ScriptedLine_WaitedRequest);

// Against the simulator on a pseudo-terminal: a status read (51-byte
// answer) directly on the line and as a waited request.
class SimulatorOnPty {
 public:
  SimulatorOnPty() {
    sim::EngineOptions options;
    options.model = sim::Model::kKrt07;
    sim_ = std::make_unique<sim::Simulator>(options);
    ok_ = sim_->Start().ok;
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return sim_->SlavePath(); }

 private:
  std::unique_ptr<sim::Simulator> sim_;
  bool ok_ = false;
};

void BM_Simulator_DirectStatusExchange(benchmark::State& state) {
  SimulatorOnPty sim;
  if (!sim.ok()) return state.SkipWithError("no pty");
  diag::TraceLog trace;
  std::unique_ptr<LineExchange> line = MakeSerialLine(trace, sim.path(), "9600,E,8,1");
  if (line->OpenPort() != 0 || !line->DetectModel().ready()) return state.SkipWithError("no device");
  const DeviceCommand status = StatusCommand(ModelCode::kKrt07);
  Latencies latencies;
  for (auto _ : state) {
    const auto start = Clock::now();
    DeviceReply reply;
    line->SendFrame(status.bytes);
    line->ReceiveAnswer(reply, CommThread::kFirstAnswerMs, false, false);
    latencies.Add(Clock::now() - start);
    if (reply.length() != 51) state.SkipWithError("bad status");
  }
  latencies.Report(state);
}
BENCHMARK(BM_Simulator_DirectStatusExchange)->Iterations(2000);

void BM_Simulator_WaitedStatusRequest(benchmark::State& state) {
  SimulatorOnPty sim;
  if (!sim.ok()) return state.SkipWithError("no pty");
  diag::TraceLog trace;
  testing::FakeChangerHost host;
  ChangerDevice device(host, host.deposit, host.switches, DeviceSettings{}, MakeSerialLine(trace, sim.path(), "9600,E,8,1"));
  if (device.OpenPort() != 0 || !device.DetectModel().ready()) return state.SkipWithError("no device");
  device.SetDepositPhase(1);
  const DeviceCommand status = StatusCommand(ModelCode::kKrt07);
  Latencies latencies;
  for (auto _ : state) {
    const auto start = Clock::now();
    DeviceReply reply;
    const opos::OposResult result = device.Execute(status, &reply);
    latencies.Add(Clock::now() - start);
    if (result != 0 || reply.length() != 51) state.SkipWithError("bad status");
  }
  latencies.Report(state);
}
BENCHMARK(BM_Simulator_WaitedStatusRequest)->Iterations(2000);

// CPU of the communication thread over |seconds| of idle watching at a
// 500 ms WatchInterval. The simulator runs in a child process so that
// getrusage of this process counts the driver only (the main thread sleeps).
void BM_IdleWatchCpu(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  int to_child[2];
  int from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) return state.SkipWithError("pipe");
  const pid_t child = fork();
  if (child < 0) return state.SkipWithError("fork");
  if (child == 0) {
    close(to_child[1]);
    close(from_child[0]);
    sim::EngineOptions options;
    options.model = sim::Model::kKrt07;
    sim::Simulator simulator(options);
    const bool ok = simulator.Start().ok;
    const std::string path = ok ? simulator.SlavePath() + "\n" : std::string("\n");
    (void)!write(from_child[1], path.data(), path.size());
    char byte;
    while (read(to_child[0], &byte, 1) > 0) {
    }
    simulator.Stop();
    _exit(0);
  }
  close(to_child[0]);
  close(from_child[1]);
  std::string path;
  char c;
  while (read(from_child[0], &c, 1) == 1 && c != '\n') path.push_back(c);

  double cpu_percent = 0;
  double steps = 0;
  for (auto _ : state) {
    if (path.empty()) {
      state.SkipWithError("simulator did not start");
      break;
    }
    diag::TraceLog trace;
    testing::FakeChangerHost host;
    DeviceSettings settings;
    settings.watch_interval_ms = 500;
    ChangerDevice device(host, host.deposit, host.switches, settings, MakeSerialLine(trace, path, "9600,E,8,1"));
    if (device.OpenPort() != 0 || !device.DetectModel().ready()) {
      state.SkipWithError("no device");
      break;
    }
    std::atomic<int> history_steps{0};
    device.SetHistoryStep([&] {
      history_steps.fetch_add(1);
      return 0;
    });
    device.SetHistoryFetchEnabled(true);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    device.StartWatch(0);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    device.StopWatch();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const auto us = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    const double cpu_us = us(after.ru_utime) - us(before.ru_utime) + us(after.ru_stime) - us(before.ru_stime);
    cpu_percent = 100.0 * cpu_us / (seconds * 1e6);
    steps = history_steps.load();
  }
  close(to_child[1]);
  waitpid(child, nullptr, 0);
  close(from_child[0]);
  state.counters["cpu_percent_of_one_core"] = cpu_percent;
  state.counters["watch_steps"] = steps;
}
BENCHMARK(BM_IdleWatchCpu)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

// Two threads send requests as fast as they can; every request reaches the
// line once, and each thread's requests in the order it sent them.
void BM_TwoThreadsKeepSendingOrder(benchmark::State& state) {
  constexpr int kPerThread = 2000;
  bool all_in_order = true;
  for (auto _ : state) {
    testing::FakeClock clock;
    testing::FakeChangerHost host;
    auto line = InstantLine(clock);
    testing::ScriptedLine* raw = line.get();
    ChangerDevice device(host, host.deposit, host.switches, DeviceSettings{}, std::move(line), clock);
    device.OpenPort();
    device.SetDepositPhase(1);
    const auto sender = [&](char who) {
      for (int i = 0; i < kPerThread; ++i) {
        char text[16];
        const int length = std::snprintf(text, sizeof(text), "%c%d", who, i);
        const std::string body(text, static_cast<size_t>(length));
        std::vector<uint8_t> command(body.size() + 1, kDc1);
        std::copy(body.begin(), body.end(), command.begin() + 1);
        device.SendCommand(command, WaitStyle::kNone, 1000);
      }
    };
    std::thread a(sender, 'A');
    std::thread b(sender, 'B');
    a.join();
    b.join();
    std::map<char, std::vector<std::string>> sent;
    for (const std::string& body : raw->Commands()) sent[body.at(0)].push_back(body);
    for (const char who : {'A', 'B'}) {
      std::vector<std::string> expected;
      for (int i = 0; i < kPerThread; ++i) expected.push_back(who + std::to_string(i));
      all_in_order = all_in_order && sent[who] == expected;
    }
  }
  state.counters["in_sending_order"] = all_in_order ? 1 : 0;
  if (!all_in_order) state.SkipWithError("requests left the queue out of order");
}
BENCHMARK(BM_TwoThreadsKeepSendingOrder)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vexokrt

BENCHMARK_MAIN();
