// SPDX-License-Identifier: Apache-2.0
// The device answers only on its own line settings, names itself, and moves
// to other speeds and to communication mode A on command.
#include <gtest/gtest.h>

#include "sim/line_settings.h"
#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;
using testing::TextOf;

const LineSettings k2400Seven{2400, Parity::kEven, 7, 1};
const LineSettings k9600Seven{9600, Parity::kEven, 7, 1};
const LineSettings k9600Eight{9600, Parity::kEven, 8, 1};
const LineSettings k115200Eight{115200, Parity::kEven, 8, 1};

std::string NameIn(const ParsedAnswer& a) {
  if (a.kind != ParsedAnswer::Kind::kData || a.data.size() != 28) return "<no name answer>";
  return std::string(a.data.begin() + 20, a.data.begin() + 27);
}

TEST(LineSettings, ParseAndFormat_RoundTrip) {
  std::optional<LineSettings> s = ParseLineSettings("115200,E,8,1");
  ASSERT_TRUE(s);
  EXPECT_EQ(*s, k115200Eight);
  EXPECT_EQ(FormatLineSettings(k2400Seven), "2400,E,7,1");
  EXPECT_FALSE(ParseLineSettings("9600,X,8,1"));
  EXPECT_FALSE(ParseLineSettings("9600,E,9,1"));
  EXPECT_FALSE(ParseLineSettings("9600,E,8"));
}

TEST(LineSettings, SpeedOnlyCheck_IgnoresTheCharacterFormat) {
  LineSettings pty_report{9600, Parity::kNone, 8, 1};
  EXPECT_TRUE(LineMatches(pty_report, k9600Seven, LineCheck::kSpeedOnly));
  EXPECT_FALSE(LineMatches(pty_report, k9600Seven, LineCheck::kAll));
  EXPECT_FALSE(LineMatches(k2400Seven, k9600Seven, LineCheck::kSpeedOnly));
}

TEST(ModelName, EachModelAnswersItsNameAtBytes20To26) {
  struct Case {
    Model model;
    std::string name;
  };
  const std::string krt03 = std::string("KRT03") + '\x81' + '\x40';
  for (const Case& c : {Case{Model::kKrt02F, "KRT02F "}, Case{Model::kKrt02FA, "KRT02FA"}, Case{Model::kKrt03, krt03},
                        Case{Model::kKrt07, "KRT07A "}, Case{Model::kKrt77, "KRT77A "}}) {
    SCOPED_TRACE(TraitsOf(c.model).display_name);
    TestHost host(c.model);
    EXPECT_EQ(NameIn(host.Command(":00")), c.name);
  }
}

TEST(LineCheck, Krt03_IgnoresAHostOn8DataBits_AndAnswersOn7) {
  TestHost host(Model::kKrt03);
  host.settings = k9600Eight;
  EXPECT_EQ(host.Command(":00").kind, ParsedAnswer::Kind::kIncomplete);
  host.settings = k9600Seven;
  EXPECT_EQ(NameIn(host.Command(":00")).substr(0, 5), "KRT03");
  std::vector<ReceivedFrame> frames = host.engine.ReceivedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].kind, ReceivedFrame::Kind::kLineMismatch);
  EXPECT_EQ(frames[0].host_line, k9600Eight);
  EXPECT_EQ(frames[1].kind, ReceivedFrame::Kind::kCommand);
}

TEST(LineCheck, Krt07_AnswersOnlyOn9600With8DataBits) {
  TestHost host(Model::kKrt07);
  for (const LineSettings& wrong : {k9600Seven, k2400Seven, k115200Eight, LineSettings{9600, Parity::kNone, 8, 1}}) {
    host.settings = wrong;
    EXPECT_EQ(host.Command(":00").kind, ParsedAnswer::Kind::kIncomplete) << FormatLineSettings(wrong);
  }
  host.settings = k9600Eight;
  EXPECT_EQ(NameIn(host.Command(":00")), "KRT07A ");
}

TEST(LineCheck, Krt02F_ModeB_DetectionPath_EndsOn9600InModeA) {
  // The steps a host takes to find a KRT02 in mode B that powered up at 2400.
  TestHost host(Model::kKrt02F);
  host.settings = k9600Eight;
  EXPECT_EQ(host.Command(":00").kind, ParsedAnswer::Kind::kIncomplete);
  host.settings = k2400Seven;
  EXPECT_EQ(NameIn(host.Command(":00")), "KRT02F ");
  // Mode B knows nothing but identification and leaving mode B.
  EXPECT_TRUE(IsControl(host.Command("i00"), kNak));
  EXPECT_TRUE(IsControl(host.Command("}012"), kAck));
  EXPECT_EQ(host.engine.CurrentLine(), k9600Seven);
  EXPECT_EQ(host.Command(":00").kind, ParsedAnswer::Kind::kIncomplete);  // still on 2400
  host.settings = k9600Seven;
  EXPECT_EQ(NameIn(host.Command(":00")), "KRT02F ");
  EXPECT_TRUE(IsControl(host.Command(std::string("\x7F") + "010"), kAck));
  EXPECT_TRUE(host.engine.ModeA());
  EXPECT_EQ(NameIn(host.Command(":00")), "KRT02FA");
  EXPECT_EQ(host.Status().size(), 44u);
}

TEST(LineCheck, Krt02FA_StartsOn9600SevenBitsInModeA) {
  TestHost host(Model::kKrt02FA);
  EXPECT_EQ(host.engine.CurrentLine(), k9600Seven);
  EXPECT_TRUE(host.engine.ModeA());
  host.settings = k2400Seven;
  EXPECT_EQ(host.Command(":00").kind, ParsedAnswer::Kind::kIncomplete);
}

TEST(SpeedChange, Krt77_To115200AndBack) {
  TestHost host(Model::kKrt77);
  EXPECT_TRUE(IsControl(host.Command("}016"), kAck));
  EXPECT_EQ(host.engine.CurrentLine(), k115200Eight);
  EXPECT_EQ(host.Command("H00").kind, ParsedAnswer::Kind::kIncomplete);
  host.settings = k115200Eight;
  EXPECT_EQ(host.Command("H00").data.size(), 51u);
  EXPECT_TRUE(IsControl(host.Command("}012"), kAck));
  host.settings = k9600Eight;
  EXPECT_EQ(host.Command("H00").data.size(), 51u);
}

TEST(SpeedChange, OlderModelsRefuse115200AndTheModeChangeIsKrt02Only) {
  TestHost krt03(Model::kKrt03);
  EXPECT_TRUE(IsControl(krt03.Command("}016"), kNak));
  EXPECT_TRUE(IsControl(krt03.Command(std::string("\x7F") + "010"), kNak));
  TestHost krt07(Model::kKrt07);
  EXPECT_TRUE(IsControl(krt07.Command(std::string("\x7F") + "010"), kNak));
}

TEST(PowerCycle, BringsTheLineBackToItsPowerOnSettings) {
  TestHost host(Model::kKrt02F);
  host.settings = k2400Seven;
  host.Command("}012");
  host.settings = k9600Seven;
  host.Command(std::string("\x7F") + "010");
  host.engine.PowerCycle();
  EXPECT_EQ(host.engine.CurrentLine(), k2400Seven);
  EXPECT_FALSE(host.engine.ModeA());
}

TEST(Commands, UnknownLettersAndOtherModelsCommands_GetNak) {
  TestHost krt07(Model::kKrt07);
  EXPECT_TRUE(IsControl(krt07.Command("j00"), kNak));
  EXPECT_TRUE(IsControl(krt07.Command("i00"), kNak));   // the older status read
  EXPECT_TRUE(IsControl(krt07.Command("H01x"), kNak));  // data where none belongs
  TestHost krt03(Model::kKrt03);
  EXPECT_TRUE(IsControl(krt03.Command("H00"), kNak));
  EXPECT_TRUE(IsControl(krt03.Command("n21" + std::string(30, '0') + "000"), kNak));
}

TEST(Commands, EachModelAnswersOnlyItsOwnFamilysCommands) {
  // Which models a command belongs to: each is refused with NAK by every other
  // model, and answered (not NAK) by its own, here in a well-formed example.
  enum : unsigned { k02 = 1, k03 = 2, k07 = 4, k77 = 8, kNewer = k07 | k77, kOlder = k02 | k03, kAll = 15 };
  struct Case {
    std::string command;
    unsigned models;
  };
  const std::string zeros30(30, '0');
  const std::vector<Case> cases = {
      {"H00", kNewer},
      {"i00", kOlder},
      {"\"00", kAll},
      {"&00", k03},
      {"o00", kAll},
      {",00", kOlder},
      {".00", kAll},
      {":00", kAll},
      {"$14" + std::string(20, '0'), kOlder},
      {"n21" + zeros30 + "000", kNewer},
      {"!0500000", kOlder},
      {"!06000000", kNewer},
      {"m06000000", kAll},
      {"000", kAll},
      {"b0211", kAll},
      {"Q06200000", kNewer},
      {"W012", kNewer},
      {"+00", kAll},
      {">0220", k03},
      {"=0220", k03},
      {"e00", k02},
      {"f010", kNewer},
      {"-1>" + zeros30, k02},
      {"-1?" + zeros30 + "0", k03},
      {"p22" + zeros30 + "0008", kNewer},
      {"/21" + zeros30 + "000", kNewer},
      {"?0=" "000100" "00042" "00", kNewer},
      {"S21" + zeros30 + "000", kNewer},
      {"T21" + zeros30 + "000", kNewer},
      {"l0201", k02},
      {"%0<201107151230", kOlder},
      {"r0>20110715123000", kNewer},
      {"F045000", k02 | kNewer},
      {"I02><", k02 | kNewer},
      {"G011", kNewer},
      {"`0511234", kNewer},
      {"E010", k03},
      {"Z00", kNewer},
      {"Y00", kNewer},
      {"q00", kNewer},
      {"[00", kNewer},
      {"]00", kNewer},
      {"u010", kNewer},
      {"^011", kNewer},
  };
  const std::pair<Model, unsigned> models[] = {
      {Model::kKrt02FA, k02}, {Model::kKrt03, k03}, {Model::kKrt07, k07}, {Model::kKrt77, k77}};
  for (const Case& c : cases) {
    for (const auto& [model, bit] : models) {
      SCOPED_TRACE(c.command + " on " + std::string(TraitsOf(model).display_name));
      TestHost host(model);
      ParsedAnswer answer = host.Command(c.command);
      if ((c.models & bit) != 0) {
        EXPECT_FALSE(IsControl(answer, kNak));
      } else {
        EXPECT_TRUE(IsControl(answer, kNak));
      }
    }
  }
}

TEST(Commands, StopCommand_OnlyTheNewerModelsStopAnAction) {
  // "V00" ends a running pay-out on KRT07/KRT77; the older models do not know it.
  for (Model model : {Model::kKrt02FA, Model::kKrt07}) {
    SCOPED_TRACE(std::string(TraitsOf(model).display_name));
    TestHost host(model);
    host.Send(model == Model::kKrt07 ? "!06001000" : "!0501000");
    host.clock.AdvanceMs(100);
    EXPECT_TRUE(IsControl(host.Command("V00"), model == Model::kKrt07 ? kAck : kNak));
  }
}

TEST(Frames, RecordHoldsTheExactBytesInOrder) {
  TestHost host(Model::kKrt07);
  host.Command("H00");
  host.Enq();
  std::vector<ReceivedFrame> frames = host.engine.ReceivedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].raw, (std::vector<std::uint8_t>{0x02, 0x11, 'H', '0', '0', 0x03, 0x11 ^ 'H' ^ '0' ^ '0' ^ 0x03}));
  EXPECT_EQ(TextOf(frames[0].body), "\x11H00");
  EXPECT_EQ(frames[1].kind, ReceivedFrame::Kind::kEnquiry);
  EXPECT_EQ(host.engine.CommandBodies().size(), 1u);
  host.engine.ClearReceivedFrames();
  EXPECT_TRUE(host.engine.ReceivedFrames().empty());
}

TEST(Frames, BadBcc_IsRecordedAndAnsweredNak) {
  TestHost host(Model::kKrt07);
  std::vector<std::uint8_t> frame = EncodeHostFrame(TestHost::Body("H00"));
  frame.back() ^= 0x01;
  host.SendRaw(frame);
  EXPECT_TRUE(IsControl(host.Receive(), kNak));
  EXPECT_EQ(host.engine.ReceivedFrames().back().kind, ReceivedFrame::Kind::kBadFrame);
}

TEST(Frames, PartialFrame_IsAbandonedAfterAPause) {
  TestHost host(Model::kKrt07);
  std::vector<std::uint8_t> frame = EncodeHostFrame(TestHost::Body("H00"));
  host.SendRaw({frame.begin(), frame.begin() + 3});
  host.clock.AdvanceMs(300);
  host.SendRaw(frame);
  EXPECT_EQ(host.Receive().data.size(), 51u);
  std::vector<ReceivedFrame> frames = host.engine.ReceivedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].detail, "incomplete frame");
}

}  // namespace
}  // namespace vexokrt::sim
