// SPDX-License-Identifier: Apache-2.0
// The link against the simulated cash changer: over a pseudo-terminal in real
// time, and over the in-process line in virtual time where the character size
// must matter (a pseudo-terminal carries only the speed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/link_test_support.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "sim/changer_engine.h"
#include "sim/direct_line.h"
#include "sim/simulator.h"

namespace vexokrt::link {
namespace {

using testing::TraceCapture;
using testing::kRead96008;
using testing::kReopen24007;
using testing::kRead24007;
using testing::kReopen96007;
using testing::kRead96007;
using testing::kFoundA;
using testing::kFoundB;
using testing::kSpeedChange;
using testing::kModeAChanged;
using Bytes = std::vector<uint8_t>;

const Bytes kStatusKrt07 = {0x11, 'H', '0', '0'};
const Bytes kStatusOther = {0x11, 'i', '0', '0'};
const Bytes kCounts = {0x11, 0x22, '0', '0'};
const Bytes kModeA = {0x11, 0x7F, '0', '1', '0'};


std::vector<std::string> StepsOf(const TraceCapture& trace) {
  std::vector<std::string> steps;
  for (const std::string& line : trace.Infos()) {
    if (line.rfind(" <", 0) != 0) steps.push_back(line);
  }
  return steps;
}

Bytes StatusCommandFor(ModelCode model) { return IsKrt07Family(model) ? kStatusKrt07 : kStatusOther; }

// --- over a pseudo-terminal ---------------------------------------------------------

class PtySimTest : public ::testing::Test {
 protected:
  void StartSim(sim::Model model) {
    sim::EngineOptions options;
    options.model = model;
    sim_ = std::make_unique<sim::Simulator>(options);
    const sim::StartResult started = sim_->Start();
    ASSERT_TRUE(started.ok) << started.error;
    link_ = std::make_unique<SerialLink>(trace_.log(), sim_->SlavePath(), "9600,E,8,1");
    ASSERT_EQ(link_->OpenPort(), 0);
  }
  ReceiveStatus Exchange(const Bytes& command, DeviceReply& reply, int timeout = 1000) {
    link_->SendFrame(command);
    return link_->ReceiveAnswer(reply, timeout, false, false);
  }

  TraceCapture trace_;
  std::unique_ptr<sim::Simulator> sim_;
  std::unique_ptr<SerialLink> link_;
};

TEST_F(PtySimTest, EveryModel_DetectedAndItsStatusRead) {
  struct Case {
    sim::Model model;
    ModelCode code;
    const char* line;
  };
  for (const Case& c : std::vector<Case>{{sim::Model::kKrt02F, ModelCode::kKrt02, "9600,E,7,1"},
                                         {sim::Model::kKrt02FA, ModelCode::kKrt02, "9600,E,7,1"},
                                         {sim::Model::kKrt03, ModelCode::kKrt03, "9600,E,7,1"},
                                         {sim::Model::kKrt07, ModelCode::kKrt07, "9600,E,8,1"},
                                         {sim::Model::kKrt77, ModelCode::kKrt77, "9600,E,8,1"}}) {
    SCOPED_TRACE(c.line);
    link_.reset();
    StartSim(c.model);
    EXPECT_TRUE(link_->DetectModel().ready());
    EXPECT_EQ(link_->Model(), c.code);
    EXPECT_EQ(link_->LineDefinition(), c.line);
    DeviceReply status;
    EXPECT_EQ(Exchange(StatusCommandFor(c.code), status), kReplyOk);
    EXPECT_EQ(status.length(), StatusRecordLength(c.code));
  }
}

TEST_F(PtySimTest, Krt02ModeBAt2400_ReachesModeAAt9600WithItsTraceLinesInOrder) {
  StartSim(sim::Model::kKrt02F);
  EXPECT_TRUE(link_->DetectModel().ready());
  EXPECT_EQ(link_->Model(), ModelCode::kKrt02);
  EXPECT_EQ(link_->LineDefinition(), "9600,E,7,1");
  EXPECT_EQ(StepsOf(trace_), (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kFoundB, kSpeedChange,
                                                       kReopen96007, kModeAChanged}));
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>{"タイムアウト発生"});
  EXPECT_TRUE(sim_->Engine().ModeA());
  EXPECT_EQ(sim_->Engine().CurrentLine().baud, 9600);
  EXPECT_EQ(sim_->Engine().CurrentLine().data_bits, 7);
}

TEST_F(PtySimTest, Krt02ModeAAt9600_NoModeChange) {
  StartSim(sim::Model::kKrt02FA);
  EXPECT_TRUE(link_->DetectModel().ready());
  // A pseudo-terminal only carries the speed, so the device already answers
  // the read with 8 data bits; only the read with 7 decides.
  EXPECT_EQ(StepsOf(trace_),
            (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kReopen96007, kRead96007, kFoundA}));
  for (const Bytes& body : sim_->Engine().CommandBodies()) EXPECT_NE(body, kModeA);
}

TEST_F(PtySimTest, NoDevice_MinusHundredAndModelUnknown) {
  StartSim(sim::Model::kKrt07);
  sim_->Engine().SetUnplugged(true);
  link_->SetModel(7);
  const int64_t start = platform::TickMs();
  EXPECT_EQ(link_->DetectModel().outcome, ModelDetection::Outcome::kFailed);
  const int64_t elapsed = platform::TickMs() - start;
  EXPECT_EQ(link_->Model(), ModelCode::kUnknown);
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>(4, "タイムアウト発生"));
  EXPECT_GE(elapsed, 2000);
  EXPECT_LT(elapsed, 3000);  // four 500 ms reads (the last at 115200 bit/s), not port reads of 2000 ms
}

// A program download killed at 115200 bit/s leaves the machine there; the
// next claimant's detection finds it there, switches it back with "}012"
// and reads it again at 9600 bit/s, so the line is the usual one again.
TEST_F(PtySimTest, Krt07LeftAt115200_NextDetectionSwitchesItBack) {
  StartSim(sim::Model::kKrt07);
  ASSERT_EQ(link_->SwitchLineSpeed(LineSpeed::kFast), SpeedSwitch::kSwitched);
  ASSERT_EQ(sim_->Engine().CurrentLine().baud, 115200);
  // The claimant is gone; the next one opens the port as configured.
  link_.reset();
  TraceCapture trace;
  link_ = std::make_unique<SerialLink>(trace.log(), sim_->SlavePath(), "9600,E,8,1");
  ASSERT_EQ(link_->OpenPort(), 0);
  sim_->Engine().ClearReceivedFrames();

  EXPECT_TRUE(link_->DetectModel().ready());

  EXPECT_EQ(link_->Model(), ModelCode::kKrt07);
  EXPECT_EQ(link_->LineDefinition(), "9600,E,8,1");
  EXPECT_EQ(sim_->Engine().CurrentLine().baud, 9600);
  const std::vector<std::string> steps = StepsOf(trace);
  ASSERT_GE(steps.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(steps.end() - 4, steps.end()),
            (std::vector<std::string>{testing::kLeftAtFastLine, testing::kReopen96008, kRead96008,
                                      "接続機器を KRT07 で特定しました。"}));
  const std::vector<Bytes> bodies = sim_->Engine().CommandBodies();
  EXPECT_NE(std::find(bodies.begin(), bodies.end(), Bytes{0x11, '}', '0', '1', '2'}), bodies.end());
  DeviceReply status;
  EXPECT_EQ(Exchange(kStatusKrt07, status), kReplyOk);
  EXPECT_EQ(status.length(), 51);
  link_.reset();  // before its trace goes
}

TEST_F(PtySimTest, NakToTheModeChange_IsTheResult) {
  StartSim(sim::Model::kKrt02F);
  sim_->Engine().InjectFault(sim::Fault{sim::FaultKind::kAnswerNak, 1, 0x7F, 0});
  const ModelDetection detection = link_->DetectModel();
  EXPECT_EQ(detection.outcome, ModelDetection::Outcome::kModeChangeRefused);
  EXPECT_EQ(detection.refused_answer, 0x15);
  EXPECT_EQ(trace_.Errors().back(), "接続機器を KRT02 (A通信モード)に変更に失敗しました。");
  EXPECT_FALSE(sim_->Engine().ModeA());
}

TEST_F(PtySimTest, MalformedAnswers_StatusAndErrorLine) {
  StartSim(sim::Model::kKrt07);
  ASSERT_TRUE(link_->DetectModel().ready());
  struct Case {
    sim::FaultKind fault;
    ReceiveStatus status;
    const char* line;
  };
  for (const Case& c : std::vector<Case>{{sim::FaultKind::kCorruptBcc, kReplyBccError, "BCCエラー発生"},
                                         {sim::FaultKind::kWrongFirstByte, kReplyFramingError, "フレーミングエラー発生"},
                                         {sim::FaultKind::kTruncatedFrame, kReplyFramingError, "フレーミングエラー発生"},
                                         {sim::FaultKind::kOverlongFrame, kReplyFramingError, "フレーミングエラー発生"},
                                         {sim::FaultKind::kDrop, kReplyTimeout, "タイムアウト発生"}}) {
    SCOPED_TRACE(c.line);
    sim_->Engine().InjectFault(sim::Fault{c.fault, 1, 'H', 0});
    DeviceReply reply;
    EXPECT_EQ(Exchange(kStatusKrt07, reply, 300), c.status);
    EXPECT_TRUE(reply.data.empty());
    EXPECT_EQ(trace_.Errors().back(), c.line);
    // The line is usable again at once.
    EXPECT_EQ(Exchange(kStatusKrt07, reply), kReplyOk);
    EXPECT_EQ(reply.length(), 51);
  }
}

// Data answers the link must decode: the status (51 bytes), the counts (70)
// and the longest memory read (255), with their length and, where the device
// shows it directly, their content.
struct DataRead {
  Bytes command;
  size_t length;
  std::function<Bytes(sim::ChangerEngine&)> content;  // empty: compared between the two forms only
};
std::vector<DataRead> DataReads() {
  const Bytes memory = {0x11, 's', '0', '9', '1', '0', '0', '0', '2', '0', '0', '?', '?'};  // 255 bytes at 0x1000200
  return {{kStatusKrt07, 51, [](sim::ChangerEngine& e) { return e.StatusRecord(); }},
          {kCounts, 70, nullptr},
          {memory, 255, [](sim::ChangerEngine& e) { return e.ReadMemory(0x1000200, 255); }}};
}

TEST_F(PtySimTest, DataAnswersInBothLengthForms_DecodedAlike) {
  StartSim(sim::Model::kKrt07);
  ASSERT_TRUE(link_->DetectModel().ready());
  std::map<uint8_t, Bytes> nibble_form;
  for (bool binary : {false, true}) {
    sim_->Engine().SetBinaryLength(binary);
    for (const DataRead& read : DataReads()) {
      SCOPED_TRACE(std::string(binary ? "binary " : "nibbles ") + static_cast<char>(read.command[1]));
      DeviceReply reply;
      ASSERT_EQ(Exchange(read.command, reply), kReplyOk);
      EXPECT_EQ(reply.length(), static_cast<int32_t>(read.length));
      if (read.content) {
        EXPECT_EQ(reply.data, read.content(sim_->Engine()));
      }
      if (binary) {
        EXPECT_EQ(reply.data, nibble_form[read.command[1]]);
      } else {
        nibble_form[read.command[1]] = reply.data;
      }
    }
  }
  EXPECT_TRUE(trace_.Errors().empty());
}

TEST_F(PtySimTest, CanOnAJammedKrt07_CarriesTheDeviceErrorNumber) {
  StartSim(sim::Model::kKrt07);
  ASSERT_TRUE(link_->DetectModel().ready());
  sim_->Engine().SetJam(true, 0x0521);
  sim_->Engine().InjectFault(sim::Fault{sim::FaultKind::kAnswerCan, 1, 0x22, 0});
  DeviceReply reply;
  EXPECT_EQ(Exchange(kCounts, reply), kReplyOk);
  EXPECT_EQ(reply.answerByte, 0x18u);
  EXPECT_EQ(reply.cancelled, 1);
  EXPECT_EQ(reply.cancelDetail, 0x0521);
}

TEST_F(PtySimTest, DeviceDisappearsWhileOpen_TimeOutsAndNoCrash) {
  StartSim(sim::Model::kKrt07);
  ASSERT_TRUE(link_->DetectModel().ready());
  sim_->Stop();
  DeviceReply reply;
  const int64_t start = platform::TickMs();
  EXPECT_EQ(Exchange(kStatusKrt07, reply, 300), kReplyTimeout);
  EXPECT_GE(platform::TickMs() - start, 300);
  EXPECT_EQ(link_->SendEnquiry(reply, 100, false), kReplyTimeout);
  // Detection has nothing to reopen any more.
  EXPECT_EQ(link_->DetectModel().outcome, ModelDetection::Outcome::kFailed);
  // The failed open, then why: the pseudo-terminal is gone.
  const std::vector<std::string> errors = trace_.Errors();
  ASSERT_GE(errors.size(), 2u);
  EXPECT_EQ(errors[errors.size() - 2], "シリアルポートオープンに失敗しました。");
  EXPECT_NE(errors.back().find(std::strerror(ENOENT)), std::string::npos) << errors.back();
  EXPECT_EQ(link_->ClosePort(), 0);
}

// --- over the in-process line, in virtual time -------------------------------------------

// A port on the simulator's in-process line: it hands the device the full
// line settings, so a device on 7 data bits does not hear a host on 8.
class DirectPort final : public platform::SerialPort {
 public:
  DirectPort(sim::DirectLine& line, sim::LineSettings& host, Bytes* received = nullptr)
      : line_(line), host_(host), received_(received) {}
  bool Configure(std::string_view definition) override {
    const auto settings = sim::ParseLineSettings(definition);
    if (settings) host_ = *settings;
    return settings.has_value();
  }
  void Purge(platform::PurgeScope) override { line_.Purge(); }
  bool TakeReceiveError() override { return false; }
  platform::IoResult ReadSome(uint8_t* buffer, size_t capacity, int64_t wait_ms) override {
    const sim::DirectLine::ReadResult r = line_.Read(capacity, static_cast<int>(wait_ms));
    std::copy(r.bytes.begin(), r.bytes.end(), buffer);
    if (received_ != nullptr) received_->insert(received_->end(), r.bytes.begin(), r.bytes.end());
    return {r.bytes.size(), r.bytes.empty() ? platform::IoStatus::kTimeout : platform::IoStatus::kOk};
  }
  platform::IoResult WriteSome(const uint8_t* bytes, size_t count, int64_t) override {
    line_.Write(std::span(bytes, count), host_);
    return {count, platform::IoStatus::kOk};
  }

 private:
  sim::DirectLine& line_;
  sim::LineSettings& host_;
  Bytes* received_;  // every byte read, when given
};

// The link's clock, driven by the simulator's virtual clock.
class VirtualClock final : public platform::Clock {
 public:
  explicit VirtualClock(sim::ManualSimClock& clock) : clock_(clock) {}
  int64_t NowMs() override { return clock_.NowUs() / 1000; }
  void SleepMs(int64_t ms) override { clock_.AdvanceMs(ms); }
  platform::LocalTime LocalTimeNow() override { return vexokrt::testing::DateAfter(vexokrt::testing::TestStartDate(), NowMs()); }
  // The link runs on the test's thread: nothing else could notify.
  void WaitStep(std::condition_variable&, std::unique_lock<std::mutex>&, int64_t deadline_ms) override {
    if (deadline_ms > NowMs()) SleepMs(deadline_ms - NowMs());
  }

 private:
  sim::ManualSimClock& clock_;
};

class DirectSimTest : public ::testing::Test {
 protected:
  void Start(sim::Model model, bool wire_timing = true) {
    sim::EngineOptions options;
    options.model = model;
    options.wire_timing = wire_timing;
    engine_ = std::make_unique<sim::ChangerEngine>(options, &sim_clock_);
    line_ = std::make_unique<sim::DirectLine>(*engine_, sim_clock_);
    link_ = std::make_unique<SerialLink>(
        trace_.log(), "COM1", "9600,E,8,1",
        [this](const std::string&) { return std::make_unique<DirectPort>(*line_, host_, &received_); }, clock_);
    ASSERT_EQ(link_->OpenPort(), 0);
  }

  TraceCapture trace_;
  sim::ManualSimClock sim_clock_;
  VirtualClock clock_{sim_clock_};
  sim::LineSettings host_;
  Bytes received_;
  std::unique_ptr<sim::ChangerEngine> engine_;
  std::unique_ptr<sim::DirectLine> line_;
  std::unique_ptr<SerialLink> link_;
};

TEST_F(DirectSimTest, Krt02ModeAAt9600_NoAnswerWithEightDataBitsOrAt2400) {
  Start(sim::Model::kKrt02FA);
  EXPECT_TRUE(link_->DetectModel().ready());
  EXPECT_EQ(StepsOf(trace_),
            (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kReopen96007, kRead96007, kFoundA}));
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>(2, "タイムアウト発生"));
  EXPECT_EQ(engine_->CommandBodies().size(), 1u);
}

TEST_F(DirectSimTest, Krt77OnItsConfiguredLine_NeverReopened) {
  Start(sim::Model::kKrt77);
  EXPECT_TRUE(link_->DetectModel().ready());
  EXPECT_EQ(link_->Model(), ModelCode::kKrt77);
  EXPECT_EQ(StepsOf(trace_), (std::vector<std::string>{kRead96008, "接続機器を KRT77 で特定しました。"}));
}

TEST_F(DirectSimTest, Krt02ModeBAt2400_AtLineSpeed) {
  Start(sim::Model::kKrt02F);
  const int64_t start = clock_.NowMs();
  EXPECT_TRUE(link_->DetectModel().ready());
  EXPECT_EQ(StepsOf(trace_), (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kFoundB, kSpeedChange,
                                                       kReopen96007, kModeAChanged}));
  EXPECT_TRUE(engine_->ModeA());
  // One time-out of 500 ms, the rest is wire time; well under a second more.
  EXPECT_LT(clock_.NowMs() - start, 1500);
}

TEST_F(DirectSimTest, Krt03_DecidedAt9600WithSevenDataBits) {
  Start(sim::Model::kKrt03);
  EXPECT_TRUE(link_->DetectModel().ready());
  EXPECT_EQ(link_->Model(), ModelCode::kKrt03);
  EXPECT_EQ(StepsOf(trace_).back(), "接続機器を KRT03 で特定しました。");
}

TEST_F(DirectSimTest, SwitchLineSpeed_StatusReadOnBothSpeeds) {
  Start(sim::Model::kKrt07);
  ASSERT_TRUE(link_->DetectModel().ready());
  ASSERT_EQ(link_->SwitchLineSpeed(LineSpeed::kFast), SpeedSwitch::kSwitched);
  EXPECT_EQ(link_->LineDefinition(), "115200,E,8,1");
  DeviceReply reply;
  link_->SendFrame(kStatusKrt07);
  EXPECT_EQ(link_->ReceiveAnswer(reply, 1000, false, false), kReplyOk);
  EXPECT_EQ(reply.length(), 51);
  ASSERT_EQ(link_->SwitchLineSpeed(LineSpeed::kNormal), SpeedSwitch::kSwitched);
  link_->SendFrame(kStatusKrt07);
  EXPECT_EQ(link_->ReceiveAnswer(reply, 1000, false, false), kReplyOk);
  EXPECT_EQ(reply.length(), 51);
}

TEST_F(DirectSimTest, DataAnswersInBothLengthForms_OnTheWireAndDecoded) {
  Start(sim::Model::kKrt77);
  ASSERT_TRUE(link_->DetectModel().ready());
  std::map<uint8_t, Bytes> nibble_form;
  for (bool binary : {false, true}) {
    engine_->SetBinaryLength(binary);
    for (const DataRead& read : DataReads()) {
      SCOPED_TRACE(std::string(binary ? "binary " : "nibbles ") + static_cast<char>(read.command[1]));
      received_.clear();
      DeviceReply reply;
      link_->SendFrame(read.command);
      ASSERT_EQ(link_->ReceiveAnswer(reply, 1000, false, false), kReplyOk);
      const size_t n = read.length;
      ASSERT_EQ(received_.size(), n + 6);
      // The length as the device put it on the line: 0x00 and the length, or two nibble characters.
      const Bytes length = binary ? Bytes{0x00, static_cast<uint8_t>(n)}
                                  : Bytes{static_cast<uint8_t>('0' + (n >> 4)), static_cast<uint8_t>('0' + (n & 15))};
      EXPECT_EQ(Bytes(received_.begin() + 2, received_.begin() + 4), length);
      EXPECT_EQ(reply.length(), static_cast<int32_t>(n));
      EXPECT_EQ(reply.answerByte, 0u);
      if (read.content) {
        EXPECT_EQ(reply.data, read.content(*engine_));
      }
      if (binary) {
        EXPECT_EQ(reply.data, nibble_form[read.command[1]]);
      } else {
        nibble_form[read.command[1]] = reply.data;
      }
    }
  }
  EXPECT_TRUE(trace_.Errors().empty());
}

TEST_F(DirectSimTest, StatusExchangeAt9600_TakesItsWireTimeAndNothingMore) {
  Start(sim::Model::kKrt07);
  ASSERT_TRUE(link_->DetectModel().ready());
  DeviceReply reply;
  const int64_t start_us = sim_clock_.NowUs();
  link_->SendFrame(kStatusKrt07);
  ASSERT_EQ(link_->ReceiveAnswer(reply, 1000, false, false), kReplyOk);
  // 57 answer bytes of 11 bits at 9600 bit/s; no silence awaited after them.
  const int64_t wire_us = 57 * ((11'000'000 + 9600 - 1) / 9600);
  EXPECT_LE(sim_clock_.NowUs() - start_us, wire_us + 1000);
}

}  // namespace
}  // namespace vexokrt::link
