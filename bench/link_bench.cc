// SPDX-License-Identifier: Apache-2.0
// What the link adds to the wire time of one exchange: a status read ("H00"
// and its 51-byte answer) over a pseudo-terminal, with the simulator pacing
// its answer at 9600 bit/s (11 bits a byte).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "diag/trace_log.h"
#include "link/serial_link.h"
#include "sim/simulator.h"

namespace {

using namespace vexokrt;

// The answer: DLE STX L1 L2, 51 data bytes, ETX BCC.
constexpr int kAnswerBytes = 57;
constexpr int kCommandBytes = 7;
constexpr double kByteUs = (11'000'000 + 9600 - 1) / 9600;  // as the simulator paces

void BM_StatusExchangeAt9600(benchmark::State& state) {
  const bool traced = state.range(0) != 0;
  sim::EngineOptions options;
  options.model = sim::Model::kKrt07;
  options.wire_timing = true;
  sim::Simulator simulator(options);
  if (!simulator.Start().ok) {
    state.SkipWithError("simulator did not start");
    return;
  }
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("vexokrt-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  ::setenv("OPOS_LOCK_DIR", folder.c_str(), 1);
  diag::TraceLog trace;
  if (traced) {
    trace.SetFileName((folder / "trace").string());
    trace.SetLevel(diag::kLevelInfo);
  }
  link::SerialLink serial(trace, simulator.SlavePath(), "9600,E,8,1");
  serial.OpenPort();
  serial.SetModel(7);
  const uint8_t command[] = {kDc1, 'H', '0', '0'};

  double total_ms = 0;
  int64_t exchanges = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    serial.SendFrame(command);
    DeviceReply reply;
    const ReceiveStatus status = serial.ReceiveAnswer(reply, 1000, false, false);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (status != kReplyOk || reply.length() != 51) {
      state.SkipWithError("status read failed");
      break;
    }
    state.SetIterationTime(took.count());
    total_ms += took.count() * 1000;
    ++exchanges;
  }
  serial.ClosePort();
  std::filesystem::remove_all(folder);
  if (exchanges == 0) return;
  const double answer_wire_ms = kAnswerBytes * kByteUs / 1000;
  const double exchange_ms = total_ms / static_cast<double>(exchanges);
  state.counters["exchange_ms"] = exchange_ms;
  // The simulator paces only its answer; the command crosses a
  // pseudo-terminal at once. On a real line it would add this much.
  state.counters["answer_wire_ms"] = answer_wire_ms;
  state.counters["command_wire_ms"] = kCommandBytes * kByteUs / 1000;
  state.counters["ratio"] = exchange_ms / answer_wire_ms;
}

BENCHMARK(BM_StatusExchangeAt9600)
    ->ArgName("traced")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
