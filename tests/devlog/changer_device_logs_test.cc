// SPDX-License-Identifier: Apache-2.0
// The device logs hooked into the device layer and its communication thread,
// with the simulated changer on the line: the history step inside the watch,
// log-file requests through the queue, the trading log in both modes.
#include "devlog/changer_device_logs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "devlog/operation_history.h"
#include "devlog_fakes.h"
#include "service/opos.h"
#include "sim/changer_engine.h"
#include "sim/direct_line.h"
#include "sim_port.h"
#include "support/fake_changer_host.h"

namespace vexokrt::devlog {
namespace {

using testing::DevlogEnvironment;
using vexokrt::testing::ReadFileBytes;
namespace fs = std::filesystem;

class ChangerDeviceLogsTest : public ::testing::Test {
 protected:
  ChangerDeviceLogsTest()
      : engine_(Options(), &sim_clock_),
        line_(engine_, sim_clock_),
        clock_(sim_clock_) {}

  void SetUp() override {
    DeviceSettings settings;
    settings.watch_interval_ms = 5;  // real time between idle passes
    auto link = std::make_unique<link::SerialLink>(
        link_trace_, "sim", "9600,E,8,1",
        [this](const std::string&) { return std::make_unique<testing::SimSerialPort>(line_); }, clock_);
    device_ = std::make_unique<ChangerDevice>(host_, host_.deposit, host_.switches, settings, std::move(link), clock_);
    ASSERT_EQ(device_->OpenPort(), 0);
    ASSERT_TRUE(device_->DetectModel().ready());
    ASSERT_EQ(device_->Model(), ModelCode::kKrt77);
    DeviceLogSettings log_settings = env_.Settings();
    log_settings.operation_history = "%y%m%d.csv";
    log_settings.trading_log = "%Y%m%d%H%M%S.txt";
    logs_ = std::make_unique<ChangerDeviceLogs>(*device_, env_.Context(log_settings));
  }
  void TearDown() override {
    device_->ClosePort();
    logs_.reset();
    device_.reset();
  }

  static sim::EngineOptions Options() {
    sim::EngineOptions options;
    options.model = sim::Model::kKrt77;
    return options;
  }

  sim::ManualSimClock sim_clock_;
  sim::ChangerEngine engine_;
  sim::DirectLine line_;
  testing::SimTimeClock clock_;
  diag::TraceLog link_trace_;
  vexokrt::testing::FakeChangerHost host_;
  DevlogEnvironment env_;
  std::unique_ptr<ChangerDevice> device_;
  std::unique_ptr<ChangerDeviceLogs> logs_;
};

std::vector<uint8_t> Record(uint8_t day, uint8_t tag) {
  std::vector<uint8_t> record(84, 0);
  const uint8_t head[] = {0x07, day, 0x10, 0x20, 0x30, 103};
  std::copy(std::begin(head), std::end(head), record.begin());
  record[83] = tag;
  return record;
}

TEST_F(ChangerDeviceLogsTest, WatchStep_RunsTheHistoryStepWhileFetchingIsEnabled) {
  engine_.SetHistoryPointer({40, 1});
  env_.values.dwords["StoringPointer"] = 40;
  env_.values.dwords["OverwriteTimes"] = 1;
  engine_.AppendHistoryRecord(Record(0x15, 0xA1));
  engine_.AppendHistoryRecord(Record(0x16, 0xB2));

  device_->SetHistoryFetchEnabled(true);
  device_->StartWatch(0);
  EXPECT_TRUE(env_.values.WaitForDword("StoringPointer", 42));
  device_->StopWatch();
  EXPECT_EQ(ReadFileBytes(env_.path("110715.csv")), FormatHistoryLine(Record(0x15, 0xA1)) + "\r\n");
  EXPECT_EQ(ReadFileBytes(env_.path("110716.csv")), FormatHistoryLine(Record(0x16, 0xB2)) + "\r\n");

  // With fetching disabled the watch leaves the history alone.
  device_->SetHistoryFetchEnabled(false);
  engine_.AppendHistoryRecord(Record(0x17, 0xC3));
  engine_.ClearReceivedFrames();
  device_->StartWatch(0);
  ASSERT_TRUE(engine_.WaitForFrames(6, std::chrono::milliseconds(5000)));  // a few watch passes
  device_->StopWatch();
  for (const auto& body : engine_.CommandBodies()) EXPECT_NE(body.at(1), 's');
  EXPECT_FALSE(fs::exists(env_.path("110717.csv")));
}

TEST_F(ChangerDeviceLogsTest, LogRequest_RunsOnTheThreadAndPostsItsResult) {
  ASSERT_TRUE(device_->SendLogRequest(0, 3000, 77));
  ASSERT_TRUE(host_.WaitForPosts(1));
  const auto posts = host_.Posts();
  EXPECT_EQ(posts[0].message, kMsgOutputLogComplete);
  const auto* done = std::get_if<LogOutputCompletion>(&posts[0].payload);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->result, opos::OPOS_SUCCESS);
  EXPECT_EQ(done->parameter, 77);
  EXPECT_EQ(fs::file_size(env_.path("CoinLog00.bin")), 1024u);

  // A refused block: the extended code comes with the posted result.
  engine_.InjectFault({sim::FaultKind::kAnswerBel, 1, 's', 0});
  ASSERT_TRUE(device_->SendLogRequest(1, 3000, 0));
  ASSERT_TRUE(host_.WaitForPosts(2));
  const auto after_refusal = host_.Posts();
  const auto* refused = std::get_if<LogOutputCompletion>(&after_refusal[1].payload);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->result, opos::OPOS_E_EXTENDED);
  EXPECT_GE(refused->result.extended, 231);
  EXPECT_FALSE(fs::exists(env_.path("CoinLog01.bin")));

  ASSERT_TRUE(device_->SendLogRequest(50, 3000, 0));
  ASSERT_TRUE(host_.WaitForPosts(3));
  EXPECT_EQ(std::get<LogOutputCompletion>(host_.Posts()[2].payload).result, opos::OPOS_E_ILLEGAL);
}

TEST_F(ChangerDeviceLogsTest, TradingLog_QueuedAndDirectModes) {
  engine_.SetTradingCounter(4, 300);
  engine_.ClearReceivedFrames();
  // Counts the frames the machine receives while the device reads busy,
  // which only a queued request makes it.
  std::atomic<int> busy_frames{0};
  engine_.SetLineObserver([&](const sim::LineRecord& record) {
    if (record.direction == sim::LineRecord::Direction::kReceived && device_->Busy()) busy_frames.fetch_add(1);
  });
  ASSERT_EQ(logs_->RetrieveTradingLog(0), 0);  // through the queue, thread running
  EXPECT_NE(ReadFileBytes(env_.path("20110715093000.txt")).find("300\r\n"), std::string::npos);
  EXPECT_GE(busy_frames.load(), 5) << "each of the five reads went through the queue";

  env_.now.tm_sec = 1;
  device_->StopWatch();
  busy_frames = 0;
  ASSERT_EQ(logs_->RetrieveTradingLog(1), 0);  // straight to the line
  engine_.SetLineObserver(nullptr);
  EXPECT_EQ(busy_frames.load(), 0);
  EXPECT_TRUE(fs::exists(env_.path("20110715093001.txt")));
  EXPECT_FALSE(fs::exists(env_.path("20110715093000.txt")));
}

}  // namespace
}  // namespace vexokrt::devlog
