// SPDX-License-Identifier: Apache-2.0
// The simulator end to end over a real pseudo-terminal.
#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "sim/frame_codec.h"

namespace vexokrt::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

class PtyHost {
 public:
  explicit PtyHost(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~PtyHost() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  void SetLine(speed_t speed, bool seven_bits) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cflag &= ~CSIZE;
    t.c_cflag |= (seven_bits ? CS7 : CS8) | PARENB | CLOCAL | CREAD;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }

  void SendEnq() {
    const std::uint8_t enq = kEnq;
    ASSERT_EQ(write(fd_, &enq, 1), 1);
  }

  void Send(const std::string& text) {
    Bytes body{kDc1};
    body.insert(body.end(), text.begin(), text.end());
    Bytes frame = EncodeHostFrame(body);
    ASSERT_EQ(write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }

  // Reads until one whole answer is there or |timeout_ms| passes.
  ParsedAnswer Receive(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      ParsedAnswer answer = ParseAnswer(pending_);
      if (answer.kind != ParsedAnswer::Kind::kIncomplete) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(answer.consumed));
        return answer;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return answer;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buf[512];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) pending_.insert(pending_.end(), buf, buf + n);
    }
  }

 private:
  int fd_;
  Bytes pending_;
};

EngineOptions Krt77() {
  EngineOptions options;
  options.model = Model::kKrt77;
  return options;
}

TEST(Simulator, StartPublishesASlaveAndStopClosesIt) {
  Simulator sim(Krt77());
  EXPECT_TRUE(sim.SlavePath().empty());
  StartResult started = sim.Start();
  ASSERT_TRUE(started.ok) << started.error;
  EXPECT_TRUE(sim.SlavePath().starts_with("/dev/pts/"));
  EXPECT_FALSE(sim.Start().ok);
  sim.Stop();
  EXPECT_TRUE(sim.SlavePath().empty());
  sim.Stop();
}

TEST(Simulator, AnswersTheStatusReadOnTheMatchingSpeed) {
  Simulator sim(Krt77());
  ASSERT_TRUE(sim.Start().ok);
  PtyHost host(sim.SlavePath());
  ASSERT_TRUE(host.ok());
  host.SetLine(B9600, false);
  host.Send("H00");
  ParsedAnswer a = host.Receive(2000);
  ASSERT_EQ(a.kind, ParsedAnswer::Kind::kData);
  EXPECT_EQ(a.data.size(), 51u);
  std::vector<ReceivedFrame> frames = sim.Engine().ReceivedFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].host_line.baud, 9600);
}

TEST(Simulator, WrongSpeed_IsNoiseAndGetsNoAnswer) {
  Simulator sim(Krt77());
  ASSERT_TRUE(sim.Start().ok);
  PtyHost host(sim.SlavePath());
  host.SetLine(B2400, true);
  host.Send(":00");
  ASSERT_TRUE(sim.Engine().WaitForFrames(1, std::chrono::seconds(2)));
  EXPECT_EQ(sim.Engine().ReceivedFrames()[0].kind, ReceivedFrame::Kind::kLineMismatch);
  EXPECT_EQ(host.Receive(100).kind, ParsedAnswer::Kind::kIncomplete);
}

TEST(Simulator, OverAPty_OnlyTheSpeedIsCompared) {
  // A KRT03 listens on 9600,E,7,1; a host on 9600,E,8,1 reaches it over a pty
  // because the pty reports 8 data bits whatever the host set.
  EngineOptions options;
  options.model = Model::kKrt03;
  Simulator sim(options);
  ASSERT_TRUE(sim.Start().ok);
  PtyHost host(sim.SlavePath());
  host.SetLine(B9600, false);
  host.Send(":00");
  ParsedAnswer a = host.Receive(2000);
  ASSERT_EQ(a.kind, ParsedAnswer::Kind::kData);
  EXPECT_EQ(a.data.size(), 28u);
}

TEST(Simulator, SpeedChange_ThenTheHostFollows) {
  Simulator sim(Krt77());
  ASSERT_TRUE(sim.Start().ok);
  PtyHost host(sim.SlavePath());
  host.SetLine(B9600, false);
  host.Send("}016");
  ParsedAnswer ack = host.Receive(2000);
  ASSERT_EQ(ack.kind, ParsedAnswer::Kind::kControl);
  EXPECT_EQ(ack.control, kAck);
  host.Send("H00");
  ASSERT_TRUE(sim.Engine().WaitForFrames(2, std::chrono::seconds(2)));
  EXPECT_EQ(host.Receive(100).kind, ParsedAnswer::Kind::kIncomplete);
  host.SetLine(B115200, false);
  host.Send("H00");
  EXPECT_EQ(host.Receive(2000).data.size(), 51u);
}

TEST(Simulator, HostReopeningThePort_KeepsWorking) {
  Simulator sim(Krt77());
  ASSERT_TRUE(sim.Start().ok);
  {
    PtyHost first(sim.SlavePath());
    first.SetLine(B9600, false);
    first.Send(":00");
    EXPECT_EQ(first.Receive(2000).kind, ParsedAnswer::Kind::kData);
  }
  PtyHost second(sim.SlavePath());
  second.SetLine(B9600, false);
  second.Send(":00");
  EXPECT_EQ(second.Receive(2000).kind, ParsedAnswer::Kind::kData);
}

TEST(Simulator, WireTiming_PacesTheAnswerAtTheLineSpeed) {
  EngineOptions options = Krt77();
  options.wire_timing = true;
  Simulator sim(options);
  ASSERT_TRUE(sim.Start().ok);
  PtyHost host(sim.SlavePath());
  host.SetLine(B9600, false);
  auto start = std::chrono::steady_clock::now();
  host.Send("H00");
  ParsedAnswer a = host.Receive(3000);
  auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(a.kind, ParsedAnswer::Kind::kData);
  // 57 bytes of 11 bits at 9600 bit/s take 65 ms.
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 64);
}

TEST(Simulator, LongAction_SubOverThePtyThenTheAnswer) {
  EngineOptions options = Krt77();
  options.durations.dispense_ms = 400;
  Simulator sim(options);
  ASSERT_TRUE(sim.Start().ok);
  PtyHost host(sim.SlavePath());
  host.SetLine(B9600, false);
  host.Send("!06000100");
  host.SendEnq();
  ParsedAnswer busy = host.Receive(2000);
  ASSERT_EQ(busy.kind, ParsedAnswer::Kind::kControl);
  EXPECT_EQ(busy.control, kSub);
  // A quiet host hears nothing, even well after the pay-out is done ...
  EXPECT_EQ(host.Receive(800).kind, ParsedAnswer::Kind::kIncomplete);
  // ... until it asks.
  host.SendEnq();
  ParsedAnswer a = host.Receive(2000);
  ASSERT_EQ(a.kind, ParsedAnswer::Kind::kControl);
  EXPECT_EQ(a.control, kAck);
}

}  // namespace
}  // namespace vexokrt::sim
