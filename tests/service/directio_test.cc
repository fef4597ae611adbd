// SPDX-License-Identifier: Apache-2.0
// DirectIO against the simulated cash changer, through the dispatch
// interface: the frame's refusals and records, the readouts' texts from the
// machine's own tables, the settings pages and file, and the device actions
// with the bytes they send.
#include <atomic>
#include <fstream>

#include "config/device_config.h"
#include "cash_fixture.h"
#include "platform/registry.h"
#include "sim/control_script.h"
#include "support/exam_records.h"
#include "pause_skipping_clock.h"

namespace vexokrt::testing {
namespace {

using namespace opos;
using platform::Variant;

class DirectIoTest : public CashOperationsTest {
 protected:
  int32_t Dio(ServiceDriver& d, int32_t command, int32_t* data, std::string* text) {
    return d.Call("DirectIO", {Variant::Long(command), Variant::LongRef(data), Variant::StringRef(text)});
  }
  int32_t Dio(ServiceDriver& d, int32_t command, int32_t data = 0, std::string text = "",
              std::string* answer = nullptr) {
    const int32_t result = Dio(d, command, &data, &text);
    if (answer != nullptr) *answer = text;
    return result;
  }
  std::vector<std::string> Records() { return ExamRecords(dir_.file("ExamlogS.txt")); }
};

TEST_F(DirectIoTest, RefusalsComeBeforeAnyTrafficWithTheirRecords) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {1000, 10}}));
  struct Case {
    int32_t command;
    int32_t data;
    std::string text;
    int32_t exit;
    int32_t binary_conversion;
    int32_t result;
  };
  const Case cases[] = {
      {5, 0, "", 1, 0, OPOS_E_ILLEGAL},         {0, 0, "", 1, 0, OPOS_E_ILLEGAL},
      {-1, 0, "", 1, 0, OPOS_E_ILLEGAL},        {88, 0, "", 1, 0, OPOS_E_ILLEGAL},
      {1002, 0, "", 1, 0, OPOS_E_ILLEGAL},      {4, 0, "1:1", 1, 0, OPOS_E_ILLEGAL},  // not on a KRT07
      {2, 0, "", 1, 0, OPOS_E_ILLEGAL},         {71, 0, "", 1, 0, OPOS_E_ILLEGAL},    // nothing runs
      {85, 2, "", 1, 0, OPOS_E_ILLEGAL},        {52, 0, "", 1, 0, OPOS_E_ILLEGAL},
      {52, 5, "", 1, 0, OPOS_E_ILLEGAL},        {74, 2, "", 1, 0, OPOS_E_ILLEGAL},
      {86, 3, "", 1, 0, OPOS_E_ILLEGAL},        {73, 16, "", 1, 0, OPOS_E_ILLEGAL},
      {21, 4, "", 1, 0, OPOS_E_ILLEGAL},        {21, 2, "", 3, 0, OPOS_E_EXTENDED},
      {21, 0, "", 2, 0, OPOS_E_EXTENDED},       {9, 1000, "", 3, 0, OPOS_E_EXTENDED},
      {9, 1500, "", 2, 0, OPOS_E_EXTENDED},     {9, 1000000, "", 1, 0, OPOS_E_ILLEGAL},
      {8, 0, "", 1, 0, OPOS_E_ILLEGAL},         {8, 0, "313", 1, 1, OPOS_E_ILLEGAL},
      {8, 0, "0490", 1, 2, OPOS_E_ILLEGAL},     {26, 0, "12345", 1, 0, OPOS_E_ILLEGAL},
      {26, 0, "12a", 1, 0, OPOS_E_ILLEGAL},     {26, 2, "1", 1, 0, OPOS_E_ILLEGAL},
      {31, 0, "1:1,3:1", 1, 0, OPOS_E_ILLEGAL}, {32, 0, "1,0", 1, 0, OPOS_E_ILLEGAL},
      {32, 1000000, "1,0,0", 1, 0, OPOS_E_ILLEGAL}, {78, 0, "", 1, 0, OPOS_E_ILLEGAL},
      {78, 0, "1:1000", 1, 0, OPOS_E_ILLEGAL},  {28, 5, "", 1, 0, OPOS_E_ILLEGAL},
      {28, 4, "", 3, 0, OPOS_E_EXTENDED},       {28, 0, "100:1", 2, 0, OPOS_E_EXTENDED},
      {29, 16, "0,0,0,0,0", 1, 0, OPOS_E_ILLEGAL}, {29, 3, "0,0,0,0", 1, 0, OPOS_E_ILLEGAL},
      {73, 99, "../Krt07Setei.txt", 1, 0, OPOS_E_ILLEGAL}, {51, 2, "", 1, 0, OPOS_E_ILLEGAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("command " + std::to_string(c.command) + " pData " + std::to_string(c.data) + " \"" + c.text + "\"");
    ASSERT_EQ(d.Set(pidx::kCurrentExit, c.exit), OPOS_SUCCESS);
    ASSERT_EQ(d.Set(pidx::kBinaryConversion, c.binary_conversion), OPOS_SUCCESS);
    TakeCommands();
    EXPECT_EQ(Dio(d, c.command, c.data, c.text), c.result);
    if (c.result == OPOS_E_EXTENDED) {
      EXPECT_EQ(d.Get(pidx::kResultCodeExtended), kExtendedNotAtCurrentExit);
    }
    EXPECT_EQ(d.Get(pidx::kResultCode), c.result);
    EXPECT_TRUE(Actions(TakeCommands()).empty());
    const std::vector<std::string> records = Records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.back(), "1,107," + std::to_string(c.command) + "," + std::to_string(c.result));
  }
  ASSERT_EQ(d.Set(pidx::kBinaryConversion, 0), OPOS_SUCCESS);
  EXPECT_FALSE(d.so().device()->RejectKindReport()) << "a refused switch keeps its value";
  // The four switches take 0 or 1 and send nothing; 51 keeps DepositOption.
  ChangerDevice* device = d.so().device();
  struct Switch {
    int32_t command;
    bool (ChangerDevice::*read)() const;
  };
  for (const Switch& sw : {Switch{72, &ChangerDevice::RejectCountWatch}, Switch{77, &ChangerDevice::CassetteNotify},
                           Switch{84, &ChangerDevice::CassetteDisplayNotify},
                           Switch{85, &ChangerDevice::RejectKindReport}}) {
    EXPECT_EQ(Dio(d, sw.command, 1), OPOS_SUCCESS) << sw.command;
    EXPECT_TRUE((device->*sw.read)()) << sw.command;
    EXPECT_EQ(Dio(d, sw.command, 0), OPOS_SUCCESS) << sw.command;
    EXPECT_FALSE((device->*sw.read)()) << sw.command;
  }
  EXPECT_EQ(Dio(d, 51, 1), OPOS_SUCCESS);
  EXPECT_EQ(d.so().Deposit().Option(), 1);
  EXPECT_EQ(Dio(d, 51, 0), OPOS_SUCCESS);
  EXPECT_EQ(d.so().Deposit().Option(), 0);
  EXPECT_TRUE(Actions(TakeCommands()).empty());

  // 1001 answers DirectIoMode; a disabled device refuses without an exit record.
  int32_t mode = 7;
  std::string text;
  EXPECT_EQ(Dio(d, 1001, &mode, &text), OPOS_SUCCESS);
  EXPECT_EQ(mode, 0);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS);
  const size_t before = Records().size();
  EXPECT_EQ(Dio(d, 62), OPOS_E_DISABLED);
  const std::vector<std::string> after = Records();
  ASSERT_EQ(after.size(), before + 1);
  EXPECT_EQ(after.back(), "1,7,62,0");
}

// A command's own checks come before its pauses: a refused call writes only
// its entry and exit records, no history pause ("4,1,0,0") and resume
// ("5,1,0,0"). The switches and command 3 with pData 2 pause as their rows
// say, though they send nothing.
TEST_F(DirectIoTest, RefusalsPauseNothing_TheSwitchesPause) {
  struct Case {
    int32_t command;
    int32_t data;
    std::string text;
    int32_t exit = 1;
    int32_t binary_conversion = 0;
    int32_t result = OPOS_E_ILLEGAL;  // 0: allowed, and paused
  };
  struct ModelCases {
    sim::Model model;
    std::vector<Case> cases;
  };
  const ModelCases models[] = {
      {sim::Model::kKrt02F,
       {{4, 1, "100:1"}, {4, 0, ""}, {4, 0, "100:x"}, {4, 0, "100:1000"}, {8, 0, ""}, {8, 0, "313", 1, 1}}},
      {sim::Model::kKrt03, {{3, 3, ""}, {4, 4, "100:1"}, {4, 1, "100:1", 1, 2}}},
      {sim::Model::kKrt07,
       {{8, 0, "0490", 1, 2},
        {9, 1000000, ""},
        {9, 1500, "", 2, 0, OPOS_E_EXTENDED},
        {26, 2, "1"},
        {26, 0, "12345"},
        {28, 5, ""},
        {28, 0, "100:1", 2, 0, OPOS_E_EXTENDED},
        {28, 0, "100:1000"},
        {29, 16, "0,0,0,0,0"},
        {29, 3, "0,0,0,0"},
        {30, 3, ""},
        {30, 0, ""},
        {30, 1, ""},
        {31, 0, "1:x"},
        {31, 0, "100:1000"},
        {32, 0, "1,0"},
        {32, -1, "1,0,0"},
        {33, 0, ""},
        {33, 1, "a/b"},
        {73, 16, ""},
        {73, 99, "../Krt07Setei.txt"},
        {78, 0, ""},
        {78, 0, "1:1000"},
        {79, 0, "1:x"},
        {72, 2, ""},
        {72, 1, "", 1, 0, OPOS_SUCCESS},
        {77, 1, "", 1, 0, OPOS_SUCCESS},
        {84, 0, "", 1, 0, OPOS_SUCCESS},
        {85, 1, "", 1, 0, OPOS_SUCCESS}}},
  };
  for (const ModelCases& m : models) {
    ServiceDriver& d = Ready(m.model, SimCounts({{100, 10}, {1000, 10}}));
    for (const Case& c : m.cases) {
      SCOPED_TRACE("model " + std::to_string(static_cast<int>(m.model)) + " command " + std::to_string(c.command) +
                   " pData " + std::to_string(c.data) + " \"" + c.text + "\"");
      ASSERT_EQ(d.Set(pidx::kCurrentExit, c.exit), OPOS_SUCCESS);
      ASSERT_EQ(d.Set(pidx::kBinaryConversion, c.binary_conversion), OPOS_SUCCESS);
      TakeCommands();
      const size_t before = Records().size();
      EXPECT_EQ(Dio(d, c.command, c.data, c.text), c.result);
      EXPECT_TRUE(Actions(TakeCommands()).empty());
      const std::vector<std::string> records = Records();
      ASSERT_GE(records.size(), before);
      const std::string entry = "1,7," + std::to_string(c.command) + "," + std::to_string(c.data);
      const std::string exit = "1,107," + std::to_string(c.command) + "," + std::to_string(c.result);
      const std::vector<std::string> expected = c.result == OPOS_SUCCESS
                                                    ? std::vector<std::string>{entry, "4,1,0,0", "5,1,0,0", exit}
                                                    : std::vector<std::string>{entry, exit};
      EXPECT_EQ(std::vector<std::string>(records.begin() + static_cast<long>(before), records.end()), expected);
    }
    if (m.model == sim::Model::kKrt03) {
      // Command 3 with pData 2 forgets the mark of an ended deposit, inside
      // the pauses of its row; without an ended deposit it is refused first.
      const size_t before = Records().size();
      d.so().Deposit().SetStatus(CHAN_STATUS_DEPOSIT_NONE);
      EXPECT_EQ(Dio(d, 3, 2), OPOS_E_ILLEGAL);
      d.so().Deposit().SetStatus(CHAN_STATUS_DEPOSIT_END);
      EXPECT_EQ(Dio(d, 3, 2), OPOS_SUCCESS);
      EXPECT_EQ(d.so().Deposit().ActiveMark(), 0);
      const std::vector<std::string> records = Records();
      EXPECT_EQ(std::vector<std::string>(records.begin() + static_cast<long>(before), records.end()),
                (std::vector<std::string>{"1,7,3,2", "1,107,3,106", "1,7,3,2", "4,1,0,0", "5,1,0,0", "1,107,3,0"}));
    }
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(DirectIoTest, ModelChecksOnTheOlderModels) {
  // KRT02: command 21 is refused by the model check, without history pause
  // records; command 12 at exit 3 writes no exit record; 2 at exit 3 is 111.
  ServiceDriver& d = Ready(sim::Model::kKrt02F, SimCounts({{100, 10}, {1000, 10}}));
  const size_t start = Records().size();
  EXPECT_EQ(Dio(d, 21), OPOS_E_ILLEGAL);
  std::vector<std::string> records = Records();
  EXPECT_EQ(std::vector<std::string>(records.begin() + static_cast<long>(start), records.end()),
            (std::vector<std::string>{"1,7,21,0", "1,107,21,106"}));
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 3), OPOS_SUCCESS);
  EXPECT_EQ(Dio(d, 12), OPOS_E_ILLEGAL);
  EXPECT_EQ(Records().back(), "1,7,12,0");
  EXPECT_EQ(Dio(d, 2), OPOS_E_FAILURE);
  EXPECT_EQ(Records().back(), "1,107,2,111");
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 1), OPOS_SUCCESS);

  // Command 11 reads the kept status; 10 sends "l02" with the page.
  int32_t flags = -1;
  std::string unused;
  EXPECT_EQ(Dio(d, 11, &flags, &unused), OPOS_SUCCESS);
  const std::vector<uint8_t> status = d.so().device()->KeptStatus();
  ASSERT_GT(status.size(), 7u);
  EXPECT_EQ(flags, status[7] & 0x0F);
  TakeCommands();
  std::string page;
  EXPECT_EQ(Dio(d, 10, 3, "", &page), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"l0203"});
  EXPECT_EQ(page.size(), 32u);
  EXPECT_EQ(page.find_first_of(":;<=>?"), std::string::npos);
}

TEST_F(DirectIoTest, ReadoutsAnswerTheMachinesTables) {
  const sim::CashCounts stock = SimCounts({{1, 9}, {5, 4}, {10, 9}, {50, 4}, {100, 9}, {500, 4}, {1000, 9}, {5000, 4}});
  ServiceDriver& d = Ready(sim::Model::kKrt07, stock);
  SetBoxAndWait(d, SimCounts({{1000, 2}, {10000, 1}}));
  std::string text;

  EXPECT_EQ(Dio(d, 1, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text, "1:0,5:0,10:0,50:0,100:0,500:0;1000:2,2000:0,5000:0,10000:1") << "command 1 answers set B";
  EXPECT_TRUE(Actions(TakeCommands()).empty());

  EXPECT_EQ(Dio(d, 52, 3, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text.substr(0, 31), "1:0,5:0,10:0,50:0,100:0,500:0;1");

  machine().SetProgramVersion("01C05");
  EXPECT_EQ(Dio(d, 62, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text.rfind(std::to_string(d.so().service_object_version()) + ",", 0), 0u) << text;
  EXPECT_NE(text.find("01C05"), std::string::npos) << text;

  // The last change of 6788 paid exactly its break-down: every sign '0'.
  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(6788)}), OPOS_SUCCESS);
  EXPECT_EQ(Dio(d, 64, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text, "1:3,5:1,10:3,50:1,100:2,500:1;1000:1,2000:0,5000:1,10000:0"
                  ";1:0,5:0,10:0,50:0,100:0,500:0;1000:0,2000:0,5000:0,10000:0");

  machine().SetCoinUnitWarning(15, 15);
  EXPECT_EQ(Dio(d, 41, 0, "", &text), OPOS_E_FAILURE);
  EXPECT_EQ(text.substr(text.size() - 4), ",1,1") << text;
  machine().SetCoinUnitWarning(0, 0);
  EXPECT_EQ(Dio(d, 41, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text.rfind("1:6,5:3,10:6,50:3,100:7,500:3,", 0), 0u) << text;

  machine().OverrideStatusByte(1, 'L');
  d.so().device()->SetStatusStale(true);
  EXPECT_EQ(Dio(d, 81, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text.substr(0, 2), "0,") << text;
  EXPECT_EQ(Dio(d, 87, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text.size(), 19u);
  EXPECT_EQ(Dio(d, 23, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text.size(), 9u);
  EXPECT_EQ(Dio(d, 80, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text, "0,0");
  EXPECT_EQ(Dio(d, 76, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(text, "0");
  // A status that cannot be read: a failure that carries 65535 in
  // ResultCodeExtended, the one without 114.
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault nak 12 cmd H").ok);
  EXPECT_EQ(Dio(d, 76, 0, "", &text), OPOS_E_FAILURE);
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault clear").ok);
  EXPECT_EQ(text, "65535");
  EXPECT_EQ(d.Get(pidx::kResultCodeExtended), 65535);

  TakeCommands();
  EXPECT_EQ(Dio(d, 83, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(Dio(d, 74, 1, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(Dio(d, 63, 0, "", &text), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), (std::vector<std::string>{"60910002:020", "u011", "Y00"}));
}

TEST_F(DirectIoTest, SettingsPagesWrittenToTheFileLoadBackUnchanged) {
  for (const sim::Model model : {sim::Model::kKrt07, sim::Model::kKrt77}) {
    SCOPED_TRACE(static_cast<int>(model));
    ServiceDriver& d = Ready(model, SimCounts({{100, 10}}), {{"Service", dir_.prefix() + "ignored-part"}});
    const std::string file = model == sim::Model::kKrt07 ? "Krt07Setei.txt" : "Krt77Setei.txt";

    // One setting, then its page read back.
    EXPECT_EQ(Dio(d, 29, 12, "0,B,1,2,F"), OPOS_SUCCESS);
    std::string text;
    EXPECT_EQ(Dio(d, 73, 12, "", &text), OPOS_SUCCESS);
    EXPECT_EQ(text, "C:0,B,1,2,F");
    EXPECT_EQ(Actions(TakeCommands()), (std::vector<std::string>{"Q06<0;12?", "W01<"}));

    // All sixteen pages to the file, then the file back to the device.
    EXPECT_EQ(Dio(d, 73, 99, ""), OPOS_SUCCESS);
    std::vector<std::string> pages;
    for (const std::string& c : Actions(TakeCommands())) pages.push_back(c);
    ASSERT_EQ(pages.size(), 16u);
    const std::string written = ReadFileBytes(dir_.file(file));
    EXPECT_NE(written.find("C:0,B,1,2,F\r\n"), std::string::npos);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 16);
    EXPECT_EQ(Dio(d, 29, 99), OPOS_SUCCESS);
    std::vector<std::string> sent = Actions(TakeCommands());
    ASSERT_EQ(sent.size(), 16u);
    for (int page = 0; page < 16; ++page) {
      const auto values = machine().SettingsPage(page);
      std::string expected = "Q06" + std::string(1, static_cast<char>('0' + page));
      for (int v : values) expected.push_back(static_cast<char>('0' + v));
      EXPECT_EQ(sent[page], expected);
    }

    // Command 86: the operation-mode bit of page 10.
    EXPECT_EQ(Dio(d, 29, 10, "3,0,0,0,0"), OPOS_SUCCESS);
    int32_t data = 2;
    EXPECT_EQ(Dio(d, 86, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(text, "0");
    EXPECT_EQ(data, 10);
    data = 5;
    EXPECT_EQ(Dio(d, 86, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(text, "1");
    EXPECT_EQ(machine().SettingsPage(10)[0], 2);
    std::string registry;
    ASSERT_EQ(platform::RegQueryString(platform::RegRoot::kCurrentUser, key_, "OperationMode_Initialize", &registry), platform::RegResult::kOk);
    EXPECT_EQ(registry, "1");

    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(DirectIoTest, DeviceActionsSendTheirArguments) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{1, 20}, {100, 20}, {1000, 20}, {5000, 4}}));
  struct Case {
    int32_t command;
    int32_t data;
    std::string text;
    int32_t binary_conversion;
    std::string sent;
  };
  TakeCommands();
  // Command 9: the amount dispense at the current exit, through its frame.
  EXPECT_EQ(Dio(d, 9, 2000), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"m06002000"});
  // DispenseChange above 10 000 yen sends the amount dispense within its
  // own frame and pause: no DirectIO records, no DirectIO trace.
  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(12000)}), OPOS_SUCCESS);
  EXPECT_EQ(Actions(TakeCommands()), std::vector<std::string>{"m06012000"});
  const std::vector<std::string> records = Records();
  const auto entry = std::find(records.begin(), records.end(), "1,10,12000,0");
  ASSERT_NE(entry, records.end());
  EXPECT_EQ(std::vector<std::string>(entry, records.end()),
            (std::vector<std::string>{"1,10,12000,0", "4,1,0,0", "5,1,0,0", "1,110,12000,0"}));
  const std::string trace = ReadFileBytes(dir_.file("trace") + d.TraceDay());
  EXPECT_EQ(trace.find("Command is 9,", trace.find("Amount is 12000")), std::string::npos);
  EXPECT_EQ(d.so().device()->LastChangeAmount(), 12000);

  // (Command 78 below sets the machine's counts: the pay-outs come first.)
  const Case cases[] = {
      {26, 1, "42", 0, "`0510042"},
      {26, 0, "3132", 1, "`0500012"},
      {25, 1, "", 0, "G011"},
      {78, 0, "1:5,100:7", 0, "S21000007000000000005000000000000000"},
      {32, 123456, "99999,9,F", 0, "?0=12345699999" "9?"},
      {8, 0, "090048048", 2, ""},
      // Command 31 reads its text as every count text: a denomination not
      // named is 0, "010:" is the 10-yen count.
      {31, 0, "1:1,5:1", 0, "/21000000000000001001000000000000000"},
      {31, 0, "010:5", 0, "/21000000000005000000000000000000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.command) + " " + c.text);
    ASSERT_EQ(d.Set(pidx::kBinaryConversion, c.binary_conversion), OPOS_SUCCESS);
    TakeCommands();
    std::string answer;
    Dio(d, c.command, c.data, c.text, &answer);
    const std::vector<std::string> sent = Actions(TakeCommands());
    if (c.command == 8) {
      // "Z00" given as decimal bytes: the version answer comes back.
      EXPECT_EQ(sent, std::vector<std::string>{"Z00"});
      EXPECT_NE(answer.find(machine().ProgramVersion()), std::string::npos) << answer;
    } else {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0], c.sent);
    }
  }
  ASSERT_EQ(d.Set(pidx::kBinaryConversion, 0), OPOS_SUCCESS);

  // Raw status read: the answer data comes back as text.
  std::string status;
  EXPECT_EQ(Dio(d, 8, 0, "H00", &status), OPOS_SUCCESS);
  EXPECT_EQ(status.size(), 51u);

  // The registry follow-up of command 25.
  std::string registry;
  ASSERT_EQ(platform::RegQueryString(platform::RegRoot::kCurrentUser, key_, "OperationMode_Temporary", &registry), platform::RegResult::kOk);
  EXPECT_EQ(registry, "1");

}

// Pay-outs in a row each find the kept status stale and read it first, inside
// their own pause of the watch; the exit setting a deposit-table pay-out goes
// out with must reach the machine right before it. A watch step (or an
// earlier pay-out's pending setting) coming between would put the configured
// setting back and send the cash out through the wrong exit.
TEST_F(DirectIoTest, PayOutsInARow_NothingComesBetweenTheExitSettingAndThePayOut) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 30}, {500, 20}, {1000, 20}, {5000, 4}}));
  // Slow counts answers give a watch step every chance to come between.
  sim::Fault slow;
  slow.kind = sim::FaultKind::kDelay;
  slow.command = '"';
  slow.ms = 120;
  slow.times = 100;
  machine().InjectFault(slow);

  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(600)}), OPOS_SUCCESS);
  ASSERT_EQ(Dio(d, 9, 11000), OPOS_SUCCESS);
  ASSERT_EQ(Dio(d, 28, 0, "100:1"), OPOS_SUCCESS);
  ASSERT_EQ(Dio(d, 28, 0, "100:2"), OPOS_SUCCESS);
  const std::vector<std::string> sent = TakeCommands();
  std::string all;
  for (const std::string& c : sent) all += c + " ";
  int tables = 0;
  for (size_t i = 0; i < sent.size(); ++i) {
    if (sent[i].rfind("p22", 0) != 0) continue;
    ++tables;
    ASSERT_GT(i, 0u);
    EXPECT_EQ(sent[i - 1], "Q06200000") << all;
  }
  EXPECT_EQ(tables, 2) << all;
}

// The coin state ("[00") refused by the machine is a failure of command 41
// (111 and the failure text), not the error code the follow-up read of a BEL
// brings; the same refusal inside command 42's wait leaves 42 its own result.
// Neither touches ResultCodeExtended without a 114.
TEST_F(DirectIoTest, CoinStateRefused_AFailureThatLeavesResultCodeExtended) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {1000, 10}}));
  struct Case {
    int32_t command;
    sim::FaultKind refusal;
    int32_t result;
  };
  const Case cases[] = {
      {41, sim::FaultKind::kAnswerBel, OPOS_E_FAILURE},
      {41, sim::FaultKind::kAnswerNak, OPOS_E_FAILURE},
      {42, sim::FaultKind::kAnswerBel, OPOS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("command " + std::to_string(c.command) + " refusal " + std::to_string(static_cast<int>(c.refusal)));
    sim::Fault refuse;
    refuse.kind = c.refusal;
    refuse.command = '[';
    machine().InjectFault(refuse);
    std::string text;
    EXPECT_EQ(Dio(d, c.command, 0, "", &text), c.result);
    EXPECT_EQ(d.Get(pidx::kResultCodeExtended), 0);
    const std::string failure = "1:0,5:0,10:0,50:0,100:0,500:0,0,0,1";
    ASSERT_GE(text.size(), failure.size());
    EXPECT_EQ(text.substr(text.size() - failure.size()), failure) << text;
    EXPECT_TRUE(HasCommand(TakeCommands(), "[00"));
  }
}

TEST_F(DirectIoTest, SwitchedOnNotificationsReachTheApplication) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}}));
  EXPECT_EQ(Dio(d, 77, 1), OPOS_SUCCESS);
  EXPECT_TRUE(d.so().device()->CassetteNotify());
  // The rule needs a status with the cassette in after the switch.
  ChangerDevice& thread = *d.so().device();
  thread.SetStatusStale(true);
  ASSERT_TRUE(d.PumpUntil([&] { return !thread.StatusStale(); }));
  machine().SetCassetteRemoved(true);
  EXPECT_TRUE(d.PumpUntil([&] { return d.HasEvent("SODirectIO", 4); }));
  machine().SetCassetteRemoved(false);
  EXPECT_TRUE(d.PumpUntil([&] { return d.HasEvent("SODirectIO", 5); }));
  EXPECT_EQ(Dio(d, 77, 0), OPOS_SUCCESS);
  EXPECT_FALSE(d.so().device()->CassetteNotify());
}

// Every command that talks to the machine sends what its row says, on each
// model family, with the history and watch resumed afterwards.
TEST_F(DirectIoTest, EachCommandSendsItsBytes) {
  struct Case {
    sim::Model model;
    int32_t command;
    int32_t data;
    std::string text;
    int32_t result;
    std::vector<std::string> sent;  // prefixes of the actions, in order
  };
  const std::string full = "1:1,5:1,10:1,50:1,100:1,500:1;1000:1,2000:0,5000:1,10000:0";
  const Case cases[] = {
      {sim::Model::kKrt07, 21, 0, "", OPOS_SUCCESS, {"f010"}},
      {sim::Model::kKrt07, 22, 3, "", OPOS_SUCCESS, {"f013"}},
      {sim::Model::kKrt07, 42, 0, "", OPOS_SUCCESS, {"\\00", "f010"}},
      {sim::Model::kKrt07, 43, 0, "", OPOS_SUCCESS, {"\\00"}},
      {sim::Model::kKrt07, 24, 0, "", OPOS_SUCCESS, {"r0>"}},
      {sim::Model::kKrt07, 27, 1, "", OPOS_SUCCESS, {"F04"}},
      {sim::Model::kKrt07, 53, 2, "", OPOS_SUCCESS, {"^012"}},
      {sim::Model::kKrt07, 75, 0, "", OPOS_SUCCESS, {"000"}},
      {sim::Model::kKrt07, 79, 0, "1:2", OPOS_SUCCESS, {"T21000000000000000002000000000000000"}},
      {sim::Model::kKrt07, 82, 0, "", OPOS_SUCCESS, {"60910002<020"}},
      {sim::Model::kKrt07, 31, 0, full, OPOS_SUCCESS, {"/21001001001001001001000001000001000"}},
      {sim::Model::kKrt07, 28, 0, "100:2", OPOS_SUCCESS, {"Q062", "p22"}},
      {sim::Model::kKrt07, 30, 1, "", OPOS_E_ILLEGAL, {}},  // no deposit under way
      {sim::Model::kKrt07, 61, 1, "", -1, {}},              // the log files of request 1
      {sim::Model::kKrt02F, 13, 0, "", OPOS_SUCCESS, {"%0<"}},
      {sim::Model::kKrt02F, 4, 0, "100:1", OPOS_SUCCESS, {"-1>"}},
      {sim::Model::kKrt02F, 12, 0, "", OPOS_SUCCESS, {"e00"}},
      {sim::Model::kKrt02F, 2, 0, "", OPOS_SUCCESS, {"e00"}},
      {sim::Model::kKrt03, 3, 1, "", OPOS_SUCCESS, {">0220"}},
      {sim::Model::kKrt03, 3, 0, "", OPOS_SUCCESS, {">0200"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("model " + std::to_string(static_cast<int>(c.model)) + " command " + std::to_string(c.command));
    ServiceDriver& d = Ready(c.model, SimCounts({{1, 20}, {100, 20}, {1000, 20}, {5000, 4}}));
    std::string answer;
    const int32_t result = Dio(d, c.command, c.data, c.text, &answer);
    if (c.result >= 0) {
      EXPECT_EQ(result, c.result) << answer;
    }
    // Queued commands (the KRT02 take-back) may still be on their way.
    std::vector<std::string> sent;
    d.PumpUntil([&] {
      for (const std::string& command : Actions(TakeCommands())) sent.push_back(command);
      return sent.size() >= c.sent.size();
    });
    ASSERT_GE(sent.size(), c.sent.size());
    for (size_t i = 0; i < c.sent.size(); ++i) EXPECT_EQ(sent[i].rfind(c.sent[i], 0), 0u) << sent[i];
    if (c.command == 61) {
      EXPECT_TRUE(HasCommandStarting(sent, "6") || HasCommandStarting(sent, "s")) << "a memory read";
    }
    if (c.command == 42) {
      EXPECT_EQ(std::count(answer.begin(), answer.end(), '/'), 2) << answer;
    }
    if (c.command == 12) {
      EXPECT_EQ(std::count(answer.begin(), answer.end(), '/'), 1) << answer;
    }
    if (c.command == 3 && c.data == 1) {
      int32_t mode = 0;
      std::string unused;
      EXPECT_EQ(Dio(d, 1001, &mode, &unused), OPOS_SUCCESS);
      EXPECT_EQ(mode, 1);
      // Enabling again starts from DirectIoMode 0.
      ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS);
      ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
      EXPECT_EQ(Dio(d, 1001, &mode, &unused), OPOS_SUCCESS);
      EXPECT_EQ(mode, 0);
    }
    EXPECT_TRUE(d.so().device()->HistoryFetchEnabled());
    EXPECT_TRUE(d.PumpUntil([&] { return d.Get(pidx::kState) == OPOS_S_IDLE; }, 10000));
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(DirectIoTest, StopRequestReachesTheRunningPayOutAndOthersWait) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 50}, {1000, 20}}));
  sim::ActionDurations durations = machine().Durations();
  durations.dispense_ms = 3000;
  machine().SetDurations(durations);
  ASSERT_EQ(d.Set(pidx::kAsyncMode, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(5000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Get(pidx::kState), OPOS_S_BUSY);
  EXPECT_EQ(Dio(d, 52, 1), OPOS_E_BUSY);
  EXPECT_EQ(Records().back(), "1,107,52,113");
  // Asynchronous mode: the stop is handed over and answered at once.
  EXPECT_EQ(Dio(d, 71), OPOS_SUCCESS);
  EXPECT_TRUE(d.PumpUntil([&] { return d.Get(pidx::kState) == OPOS_S_IDLE; }, 10000));
  EXPECT_TRUE(HasCommand(TakeCommands(), "V00"));
  EXPECT_TRUE(d.PumpUntil([&] { return d.so().device()->StopMailbox() == 0; })) << "the mailbox is free again";

  // The stopped pay-out is one asynchronous operation: one status update 91,
  // once AsyncResultCode tells that it did not pay in full.
  const std::vector<FiredEvent>& events = d.control_object().events();
  const auto last_91 = [&] {
    for (size_t i = events.size(); i-- > 0;) {
      if (events[i].member == "SOStatusUpdate" && events[i].number == CHAN_STATUS_ASYNC) return static_cast<int>(i);
    }
    return -1;
  };
  const auto event_20 = [&] {
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i].member == "SODirectIO" && events[i].number == service::kPayoutEndedEarlyEvent) {
        return static_cast<int>(i);
      }
    }
    return -1;
  };
  ASSERT_TRUE(d.PumpUntil([&] { return event_20() >= 0 && last_91() > event_20(); }, 10000));
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const FiredEvent& e) { return e.member == "SOStatusUpdate" && e.number == CHAN_STATUS_ASYNC; }),
            1);
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_E_FAILURE);
  EXPECT_GE(events[event_20()].data, 0) << "the machine has stopped: the part paid is known";
  EXPECT_LT(events[event_20()].data, 5000);
}

TEST_F(DirectIoTest, ProgramDownloadReachesTheMachineBlockByBlock) {
  StartDevice(sim::Model::kKrt07);
  Set("Service", dir_.prefix());
  machine().SetProgramVersion("01C01");
  std::string program(513, '\0');
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 7 + 3);
  std::ofstream(dir_.file("KRT07CntCoinV2.fil"), std::ios::binary) << program;

  PauseSkippingClock clock;
  ServiceDriver& d = NewDriver();
  d.so().SetClock(clock);
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);

  // A name that would leave the folder is refused before anything is sent.
  TakeCommands();
  EXPECT_EQ(Dio(d, 33, 1, "/../V2"), OPOS_E_ILLEGAL);
  EXPECT_TRUE(Actions(TakeCommands()).empty());

  EXPECT_EQ(Dio(d, 33, 1, "V2"), OPOS_SUCCESS);
  const sim::DownloadRecord coin = machine().Download(1);
  EXPECT_TRUE(coin.finished);
  EXPECT_EQ(coin.blocks, 2) << "a start frame and two data frames (serials 0 and 1)";
  EXPECT_EQ(std::string(coin.bytes.begin(), coin.bytes.end()), program);
  // The line is back at its own speed: the status watch goes on.
  d.so().device()->SetStatusStale(true);
  EXPECT_TRUE(d.PumpUntil([&] { return !d.so().device()->StatusStale(); }));
  // The communication thread waits on this test's clock: it stops before
  // the clock goes.
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
}

}  // namespace
}  // namespace vexokrt::testing
