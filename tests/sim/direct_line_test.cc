// SPDX-License-Identifier: Apache-2.0
// The in-process line on the real clock: reads wait for the device and are
// woken by it, whether an answer falls due or another thread acts on the machine.
#include "sim/direct_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sim/frame_codec.h"
#include "support/spin_until.h"

namespace vexokrt::sim {
namespace {

using Clock = std::chrono::steady_clock;
const LineSettings k9600Eight{9600, Parity::kEven, 8, 1};

std::vector<std::uint8_t> Frame(std::string_view text) {
  std::vector<std::uint8_t> body{kDc1};
  body.insert(body.end(), text.begin(), text.end());
  return EncodeHostFrame(body);
}

TEST(DirectLineRealTime, Read_TimesOutWhenTheDeviceIsQuiet) {
  ChangerEngine engine(EngineOptions{});
  DirectLine line(engine);
  auto start = Clock::now();
  DirectLine::ReadResult r = line.Read(10, 30);
  EXPECT_EQ(r.status, DirectLine::ReadResult::Status::kTimeout);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

TEST(DirectLineRealTime, Read_WakesWhenADelayedAnswerFallsDue) {
  ChangerEngine engine(EngineOptions{});
  engine.InjectFault(Fault{FaultKind::kDelay, 1, 0, 40});
  DirectLine line(engine);
  line.Write(Frame("b0211"), k9600Eight);
  auto start = Clock::now();
  DirectLine::ReadResult r = line.Read(10, 2000);
  ASSERT_EQ(r.status, DirectLine::ReadResult::Status::kData);
  EXPECT_EQ(r.bytes, std::vector<std::uint8_t>{kAck});
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(35));
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
}

TEST(DirectLineRealTime, Read_WakesWhenAnotherThreadMakesTheDeviceSpeak) {
  ChangerEngine engine(EngineOptions{});
  DirectLine line(engine);
  line.Write(Frame("F045000"), k9600Eight);
  ASSERT_EQ(line.Read(10, 1000).bytes, std::vector<std::uint8_t>{kAck});
  std::thread operator_thread([&engine, &line] {
    // The device speaks once the host's read is waiting for it.
    ASSERT_TRUE(vexokrt::testing::SpinUntil([&line] { return line.ReadWaiting(); }));
    engine.HoldBillIntake();
  });
  auto start = Clock::now();
  DirectLine::ReadResult r = line.Read(10, 5000);
  operator_thread.join();
  EXPECT_EQ(r.bytes, std::vector<std::uint8_t>{kDc1});
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
}

TEST(DirectLineVirtualTime, Purge_DropsWhatArrivedButNotWhatIsStillComing) {
  EngineOptions options;
  options.answer_latency_ms = 50;
  ManualSimClock clock;
  ChangerEngine engine(options, &clock);
  DirectLine line(engine, clock);
  line.Write(Frame("H00"), k9600Eight);
  line.Purge();  // nothing has arrived yet
  DirectLine::ReadResult r = line.Read(100, 2000);
  EXPECT_EQ(r.status, DirectLine::ReadResult::Status::kData);
  EXPECT_EQ(clock.NowUs(), 50'000);  // the read moved the clock to the answer
  line.Write(std::vector<std::uint8_t>{kEnq}, k9600Eight);
  clock.AdvanceMs(60);
  line.Purge();
  EXPECT_EQ(line.Read(10, 100).status, DirectLine::ReadResult::Status::kTimeout);
  EXPECT_EQ(clock.NowUs(), 210'000);
}

}  // namespace
}  // namespace vexokrt::sim
