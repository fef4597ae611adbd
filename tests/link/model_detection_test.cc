// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <string>
#include <vector>

#include "link/link_test_support.h"
#include "link/serial_link.h"

namespace vexokrt::link {
namespace {

using testing::CommandOf;
using testing::DataFrame;
using testing::FakeAnswer;
using testing::SteppingClock;
using testing::FakeLine;
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
using testing::kModeAFailed;
using testing::kReopen1152008;
using testing::kRead1152008;
using testing::kLeftAtFastLine;
using testing::kFastLineNotLeft;
using testing::kReopen96008;
using Bytes = std::vector<uint8_t>;

const Bytes kNameCommand = {0x11, ':', '0', '0'};
const Bytes kSpeed9600 = {0x11, '}', '0', '1', '2'};
const Bytes kSpeed115200 = {0x11, '}', '0', '1', '6'};
const Bytes kModeA = {0x11, 0x7F, '0', '1', '0'};


// A device that answers only on its own line settings, as a real one whose
// speed or character size differs from the host's hears only noise.
struct ScriptedDevice {
  ScriptedDevice(std::string name_, std::vector<std::string> lines_, Bytes speed = {0x06}, Bytes mode_a = {0x06})
      : name(std::move(name_)), lines(std::move(lines_)), speed_answer(std::move(speed)), mode_a_answer(std::move(mode_a)) {}

  std::string name;                 // seven bytes
  std::vector<std::string> lines;   // definitions it answers on
  Bytes speed_answer;               // answer to a speed change
  Bytes mode_a_answer;              // answer to the mode-A change (empty: none)
  std::vector<Bytes> commands;      // what it heard, in order

  void Install(FakeLine& line) {
    line.SetResponder([this](FakeLine& l, const Bytes& written) {
      const Bytes command = CommandOf(written);
      if (std::find(lines.begin(), lines.end(), l.definition()) == lines.end()) return;
      commands.push_back(command);
      if (command == kNameCommand) {
        Bytes data(28, '0');
        std::copy(name.begin(), name.end(), data.begin() + 20);
        data[27] = 0x00;
        l.Arrive(FakeAnswer{DataFrame(data), 15});
      } else if (command == kSpeed9600 || command == kSpeed115200) {
        l.Arrive(FakeAnswer{speed_answer, 10});
        if (speed_answer == Bytes{0x06}) {
          // Same framing, new speed.
          const std::string rest = lines.front().substr(lines.front().find(','));
          lines = {(command == kSpeed9600 ? "9600" : "115200") + rest};
        }
      } else if (command == kModeA) {
        if (!mode_a_answer.empty()) l.Arrive(FakeAnswer{mode_a_answer, 10});
        if (mode_a_answer == Bytes{0x06}) name = "KRT02FA";
      }
    });
  }
};

// A detection's outcome as text: "ready", "failed", "abandoned" or
// "refused 0x15".
std::string Outcome(const ModelDetection& detection) {
  switch (detection.outcome) {
    case ModelDetection::Outcome::kReady:
      return "ready";
    case ModelDetection::Outcome::kFailed:
      return "failed";
    case ModelDetection::Outcome::kAbandoned:
      return "abandoned";
    case ModelDetection::Outcome::kModeChangeRefused: {
      char text[16];
      std::snprintf(text, sizeof(text), "refused 0x%02X", detection.refused_answer);
      return text;
    }
  }
  return "?";
}

class DetectModelTest : public ::testing::Test {
 protected:
  // Detection from the configured "9600,E,8,1", as Outcome text.
  std::string Detect(ScriptedDevice& device) {
    device.Install(line_);
    EXPECT_EQ(link_.OpenPort(), 0);
    return Outcome(link_.DetectModel());
  }
  // The Info lines without the traffic dumps.
  std::vector<std::string> Steps() {
    std::vector<std::string> steps;
    for (const std::string& line : trace_.Infos()) {
      if (line.rfind(" <", 0) != 0) steps.push_back(line);
    }
    return steps;
  }

  SteppingClock clock_;
  FakeLine line_{clock_};
  TraceCapture trace_;
  SerialLink link_{trace_.log(), "COM1", "9600,E,8,1", line_.Opener(), clock_};
};

TEST_F(DetectModelTest, Krt77OnItsConfiguredLine_FoundByTheFirstReadWithoutReopening) {
  ScriptedDevice device{"KRT77A ", {"9600,E,8,1"}};
  EXPECT_EQ(Detect(device), "ready");
  EXPECT_EQ(link_.Model(), ModelCode::kKrt77);
  EXPECT_EQ(line_.opens(), 1);
  EXPECT_EQ(link_.LineDefinition(), "9600,E,8,1");
  EXPECT_EQ(Steps(), (std::vector<std::string>{kRead96008, "接続機器を KRT77 で特定しました。"}));
  EXPECT_TRUE(trace_.Errors().empty());
}

TEST_F(DetectModelTest, Krt07OnItsConfiguredLine) {
  ScriptedDevice device{"KRT07A ", {"9600,E,8,1"}};
  EXPECT_EQ(Detect(device), "ready");
  EXPECT_EQ(link_.Model(), ModelCode::kKrt07);
  EXPECT_EQ(Steps(), (std::vector<std::string>{kRead96008, "接続機器を KRT07 で特定しました。"}));
}

TEST_F(DetectModelTest, Krt02ModeBAt2400_SpeedChangeThenModeA) {
  ScriptedDevice device{"KRT02F ", {"2400,E,7,1"}};
  EXPECT_EQ(Detect(device), "ready");
  EXPECT_EQ(link_.Model(), ModelCode::kKrt02);
  EXPECT_EQ(link_.LineDefinition(), "9600,E,7,1");
  EXPECT_EQ(line_.definitions(), (std::vector<std::string>{"9600,E,8,1", "2400,E,7,1", "9600,E,7,1"}));
  EXPECT_EQ(Steps(), (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kFoundB, kSpeedChange,
                                               kReopen96007, kModeAChanged}));
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>{"タイムアウト発生"});
  EXPECT_EQ(device.commands, (std::vector<Bytes>{kNameCommand, kSpeed9600, kModeA}));
  EXPECT_EQ(device.name, "KRT02FA");
}

TEST_F(DetectModelTest, Krt02ModeAAlreadyAt9600_NoModeChange) {
  ScriptedDevice device{"KRT02FA", {"9600,E,7,1"}};
  EXPECT_EQ(Detect(device), "ready");
  EXPECT_EQ(link_.Model(), ModelCode::kKrt02);
  EXPECT_EQ(link_.LineDefinition(), "9600,E,7,1");
  EXPECT_EQ(Steps(),
            (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kReopen96007, kRead96007, kFoundA}));
  EXPECT_EQ(device.commands, std::vector<Bytes>{kNameCommand});
}

TEST_F(DetectModelTest, Krt02ModeBAt9600_ModeChangeOnly) {
  ScriptedDevice device{"KRT02F ", {"9600,E,7,1"}};
  EXPECT_EQ(Detect(device), "ready");
  EXPECT_EQ(Steps(), (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kReopen96007, kRead96007,
                                               kFoundB, kModeAChanged}));
  EXPECT_EQ(device.commands, (std::vector<Bytes>{kNameCommand, kModeA}));
}

TEST_F(DetectModelTest, ModeChangeAnsweredWithNak_ResultIsTheNak) {
  ScriptedDevice device{"KRT02F ", {"2400,E,7,1"}, {0x06}, {0x15}};
  EXPECT_EQ(Detect(device), "refused 0x15");
  EXPECT_EQ(link_.Model(), ModelCode::kKrt02);
  EXPECT_EQ(trace_.Errors(), (std::vector<std::string>{"タイムアウト発生", kModeAFailed}));
  EXPECT_EQ(Steps().back(), kReopen96007);
}

TEST_F(DetectModelTest, ModeChangeNotAnswered_Fails) {
  ScriptedDevice device{"KRT02F ", {"9600,E,7,1"}, {0x06}, {}};
  EXPECT_EQ(Detect(device), "failed");
  EXPECT_EQ(trace_.Errors().back(), kModeAFailed);
}

TEST_F(DetectModelTest, ModeChangeAnsweredWithADataFrame_IsAFailureNotZero) {
  ScriptedDevice device{"KRT02F ", {"9600,E,7,1"}, {0x06}, DataFrame({'0'})};
  EXPECT_EQ(Detect(device), "failed");
  EXPECT_EQ(trace_.Errors().back(), kModeAFailed);
}

TEST_F(DetectModelTest, SpeedChangeRefused_Fails) {
  ScriptedDevice device{"KRT02F ", {"2400,E,7,1"}, {0x15}};
  EXPECT_EQ(Detect(device), "failed");
  EXPECT_EQ(link_.LineDefinition(), "2400,E,7,1");
  EXPECT_EQ(Steps().back(), kSpeedChange);
}

TEST_F(DetectModelTest, NoDevice_FourReadsTimeOutAndModelStaysUnknown) {
  ScriptedDevice device{"KRT77A ", {}};
  link_.SetModel(7);
  const int64_t start = clock_.NowMs();
  EXPECT_EQ(Detect(device), "failed");
  EXPECT_EQ(clock_.NowMs() - start, 4 * 500);
  EXPECT_EQ(link_.Model(), ModelCode::kUnknown);
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>(4, "タイムアウト発生"));
  EXPECT_EQ(Steps(), (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kReopen96007, kRead96007,
                                               kReopen1152008, kRead1152008}));
  EXPECT_EQ(line_.writes().size(), 4u);
  EXPECT_EQ(link_.LineDefinition(), "115200,E,8,1") << "the port stays on the last settings tried";
}

// A KRT07/KRT77 that a download left at 115200 bit/s (the process was killed
// before it switched back) answers on none of the usual lines. The detection
// looks for it there last, switches it back to 9600 bit/s and says so; every
// earlier line of the detection stays as it was.
TEST_F(DetectModelTest, LeftAt115200_SwitchedBackTo9600AndDetectedThere) {
  const std::vector<std::string> usual = {kRead96008, kReopen24007, kRead24007, kReopen96007, kRead96007,
                                          kReopen1152008, kRead1152008};
  struct Case {
    const char* label;
    ScriptedDevice device;
    std::string outcome;
    ModelCode model;
    std::string definition;
    std::vector<std::string> more_steps;  // after the usual ones
    std::vector<Bytes> heard;
    std::vector<std::string> errors;  // after the time-outs of the three usual reads
  };
  std::vector<Case> cases;
  cases.push_back({"KRT07", ScriptedDevice{"KRT07A ", {"115200,E,8,1"}}, "ready", ModelCode::kKrt07, "9600,E,8,1",
                   {kLeftAtFastLine, kReopen96008, kRead96008, "接続機器を KRT07 で特定しました。"},
                   {kNameCommand, kSpeed9600, kNameCommand}, {}});
  cases.push_back({"KRT77", ScriptedDevice{"KRT77A ", {"115200,E,8,1"}}, "ready", ModelCode::kKrt77, "9600,E,8,1",
                   {kLeftAtFastLine, kReopen96008, kRead96008, "接続機器を KRT77 で特定しました。"},
                   {kNameCommand, kSpeed9600, kNameCommand}, {}});
  cases.push_back({"speed change refused", ScriptedDevice{"KRT07A ", {"115200,E,8,1"}, {0x15}}, "failed",
                   ModelCode::kKrt07, "115200,E,8,1", {kLeftAtFastLine}, {kNameCommand, kSpeed9600},
                   {kFastLineNotLeft}});
  cases.push_back({"a KRT02 is no KRT07", ScriptedDevice{"KRT02F ", {"115200,E,8,1"}}, "failed", ModelCode::kKrt02,
                   "115200,E,8,1", {}, {kNameCommand}, {}});
  for (Case& c : cases) {
    SCOPED_TRACE(c.label);
    SteppingClock clock;
    FakeLine line{clock};
    TraceCapture trace;
    SerialLink link{trace.log(), "COM1", "9600,E,8,1", line.Opener(), clock};
    c.device.Install(line);
    ASSERT_EQ(link.OpenPort(), 0);
    EXPECT_EQ(Outcome(link.DetectModel()), c.outcome);
    EXPECT_EQ(link.Model(), c.model);
    EXPECT_EQ(link.LineDefinition(), c.definition);
    std::vector<std::string> steps;
    for (const std::string& info : trace.Infos()) {
      if (info.rfind(" <", 0) != 0) steps.push_back(info);
    }
    std::vector<std::string> expected = usual;
    expected.insert(expected.end(), c.more_steps.begin(), c.more_steps.end());
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(c.device.commands, c.heard);
    std::vector<std::string> errors(3, "タイムアウト発生");
    errors.insert(errors.end(), c.errors.begin(), c.errors.end());
    EXPECT_EQ(trace.Errors(), errors);
  }
}

TEST_F(DetectModelTest, Krt03AnsweringAt2400_OnlyTheReadAt9600Decides) {
  ScriptedDevice device{"KRT03\x81\x40", {"2400,E,7,1", "9600,E,7,1"}};
  EXPECT_EQ(Detect(device), "ready");
  EXPECT_EQ(link_.Model(), ModelCode::kKrt03);
  EXPECT_EQ(device.commands, (std::vector<Bytes>{kNameCommand, kNameCommand}));
  EXPECT_EQ(Steps(), (std::vector<std::string>{kRead96008, kReopen24007, kRead24007, kReopen96007, kRead96007,
                                               "接続機器を KRT03 で特定しました。"}));
  EXPECT_EQ(link_.LineDefinition(), "9600,E,7,1");
}

TEST_F(DetectModelTest, ReopenFails_FailsWithThePortClosed) {
  ScriptedDevice device{"KRT02F ", {"2400,E,7,1"}};
  device.Install(line_);
  ASSERT_EQ(link_.OpenPort(), 0);
  line_.SetOpenFails(true);
  EXPECT_EQ(link_.DetectModel().outcome, ModelDetection::Outcome::kFailed);
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_EQ(trace_.Errors().back(), "シリアルポートオープンに失敗しました。");
}

TEST_F(DetectModelTest, ReadModelName_ResultsAndModels) {
  struct Case {
    std::string name;
    Krt02Mode mode;
    ModelCode model;
  };
  const std::vector<Case> cases = {
      {"KRT02FA", Krt02Mode::kA, ModelCode::kKrt02},         {"KRT02F ", Krt02Mode::kB, ModelCode::kKrt02},
      {"KRT03\x81\x40", Krt02Mode::kNone, ModelCode::kKrt03}, {"KRT07A ", Krt02Mode::kNone, ModelCode::kKrt07},
      {"KRT77A ", Krt02Mode::kNone, ModelCode::kKrt77},      {"KRT03  ", Krt02Mode::kNone, ModelCode::kUnknown},
      {"KRT02FB", Krt02Mode::kNone, ModelCode::kUnknown},    {"krt77a ", Krt02Mode::kNone, ModelCode::kUnknown},
  };
  ASSERT_EQ(link_.OpenPort(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device{c.name, {"9600,E,8,1"}};
    device.Install(line_);
    link_.SetModel(7);
    const ModelNameRead read = link_.ReadModelName();
    EXPECT_EQ(read.status, kReplyOk);
    EXPECT_EQ(read.name.mode, c.mode);
    EXPECT_EQ(read.name.model, c.model);
    EXPECT_EQ(link_.Model(), c.model);
  }
  // A single-byte answer is no name; no answer gives the time-out status.
  line_.SetResponder([](FakeLine& l, const Bytes&) { l.Arrive(FakeAnswer{{0x15}, 5}); });
  link_.SetModel(7);
  EXPECT_EQ(link_.ReadModelName().status, kReplyOk);
  EXPECT_EQ(link_.Model(), ModelCode::kUnknown);
  line_.SetResponder({});
  link_.SetModel(7);
  EXPECT_EQ(link_.ReadModelName().status, kReplyTimeout);
  EXPECT_EQ(link_.Model(), ModelCode::kUnknown);
}

TEST_F(DetectModelTest, SwitchLineSpeed_UpAndBack) {
  ScriptedDevice device{"KRT07A ", {"9600,E,8,1"}};
  device.Install(line_);
  ASSERT_EQ(link_.OpenPort(), 0);
  EXPECT_EQ(link_.SwitchLineSpeed(LineSpeed::kFast), SpeedSwitch::kSwitched);
  EXPECT_EQ(link_.LineDefinition(), "115200,E,8,1");
  EXPECT_EQ(link_.SwitchLineSpeed(LineSpeed::kNormal), SpeedSwitch::kSwitched);
  EXPECT_EQ(link_.LineDefinition(), "9600,E,8,1");
  EXPECT_EQ(Steps(), (std::vector<std::string>{"115200bps, ST1. data8, PE1, SP1 でシリアルポートを再オープン実行",
                                               "9600bps, ST1. data8, PE1, SP1 でシリアルポートを再オープン実行"}));
  EXPECT_EQ(device.commands, (std::vector<Bytes>{kSpeed115200, kSpeed9600}));
}

TEST_F(DetectModelTest, SwitchLineSpeed_NoAck) {
  ScriptedDevice device{"KRT07A ", {"9600,E,8,1"}, {0x15}};
  device.Install(line_);
  ASSERT_EQ(link_.OpenPort(), 0);
  EXPECT_EQ(link_.SwitchLineSpeed(LineSpeed::kFast), SpeedSwitch::kRefused);
  EXPECT_EQ(link_.LineDefinition(), "9600,E,8,1");
  EXPECT_EQ(line_.opens(), 1);
}

// A detection whose caller asks it to give up (a pause of the status watch
// waits for it) ends before its next attempt: the attempt under way is the
// last exchange made, and the port stays where that attempt left it. Each
// row lets the detection make |exchanges| exchanges of a KRT02 in mode B at
// 2400 bit/s, the longest detection there is (name at 9600/8 unanswered,
// name at 2400/7, speed change, mode-A change).
TEST_F(DetectModelTest, AbandonedDetection_EndsBeforeItsNextExchange) {
  struct Row {
    size_t exchanges;
    std::vector<std::string> steps;
    std::string definition;
    std::vector<Bytes> heard;
  };
  const std::vector<Row> rows = {
      {0, {}, "9600,E,8,1", {}},
      {1, {kRead96008}, "9600,E,8,1", {}},
      {2, {kRead96008, kReopen24007, kRead24007, kFoundB}, "2400,E,7,1", {kNameCommand}},
      // The port follows an accepted speed change before the detection ends.
      {3, {kRead96008, kReopen24007, kRead24007, kFoundB, kSpeedChange, kReopen96007}, "9600,E,7,1",
       {kNameCommand, kSpeed9600}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("after " + std::to_string(row.exchanges) + " exchanges");
    SteppingClock clock;
    FakeLine line{clock};
    TraceCapture trace;
    SerialLink link{trace.log(), "COM1", "9600,E,8,1", line.Opener(), clock};
    ScriptedDevice device{"KRT02F ", {"2400,E,7,1"}};
    device.Install(line);
    ASSERT_EQ(link.OpenPort(), 0);
    int checks = 0;
    const ModelDetection detection = link.DetectModel([&] {
      ++checks;
      return line.writes().size() >= row.exchanges;
    });
    EXPECT_EQ(Outcome(detection), "abandoned");
    EXPECT_EQ(line.writes().size(), row.exchanges);
    EXPECT_EQ(checks, static_cast<int>(row.exchanges) + 1) << "looked at once before every attempt";
    std::vector<std::string> steps;
    for (const std::string& info : trace.Infos()) {
      if (info.rfind(" <", 0) != 0) steps.push_back(info);
    }
    EXPECT_EQ(steps, row.steps);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(link.LineDefinition(), row.definition);
    EXPECT_EQ(device.commands, row.heard);
    EXPECT_EQ(detection.reopened, row.exchanges >= 2);
  }
}

}  // namespace
}  // namespace vexokrt::link
