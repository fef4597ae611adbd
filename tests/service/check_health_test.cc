// SPDX-License-Identifier: Apache-2.0
// CheckHealth against the simulated cash changer, through the dispatch
// interface: the communication and operation tests with their texts, the
// refusals, and the maintenance dialog driven by a scripted presenter, its
// buttons checked by what the machine received and what it holds.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/changer_device.h"
#include "link/comm_thread.h"
#include "platform/modal_dialog.h"
#include "resources/health_dialog_resource.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "sim/control_script.h"
#include "simulated_service.h"
#include "support/exam_records.h"

namespace vexokrt::testing {
namespace {

using namespace opos;
namespace pidx = service::pidx;
using platform::Variant;
using namespace resources;

constexpr char kInternalNoAnswer[] = "Internal(通信テスト)：応答がありません";
constexpr char kInternalAnswered[] = "Internal(通信テスト)：応答を正常に受信しました";
constexpr char kExternalNoAnswer[] = "External(動作テスト)：応答がありません";
constexpr char kExternalAnswered[] =
    "External(動作テスト)：応答を正常に受信しました。動作していることを確認してください。";
constexpr char kDialogNoAnswer[] = "機器からの応答がありません";
constexpr char kDialogNormal[] = "正常応答を受信しました";
constexpr char kDialogAbnormal[] = "異常応答を受信しました";

// What the dialog showed at one Show: the count fields (10000 yen first),
// the status fields and the result line.
struct Snapshot {
  std::vector<std::string> counts;
  std::vector<std::string> status;
  std::string result;
  bool history_fetch = true;
};

// Presses |commands| in order (kDialogCancel once they are used up), running
// |before| ahead of each, and keeps what every Show displayed.
class ScriptedPresenter final : public platform::DialogPresenter {
 public:
  ScriptedPresenter(std::vector<int> commands, std::function<bool()> history_fetch)
      : commands_(std::move(commands)), history_fetch_(std::move(history_fetch)) {
    previous_ = platform::SetDialogPresenter(this);
  }
  ~ScriptedPresenter() override { platform::SetDialogPresenter(previous_); }

  void Show(const platform::ModalDialog& dialog) override {
    Snapshot s;
    for (int id : kIdcCounts) s.counts.push_back(dialog.ControlText(id));
    for (int id : kIdcStatus) s.status.push_back(dialog.ControlText(id));
    s.result = dialog.ControlText(kIdcResultLine);
    s.history_fetch = history_fetch_();
    snapshots.push_back(s);
  }
  int WaitForCommand(const platform::ModalDialog&) override {
    if (next_ >= commands_.size()) return platform::kDialogCancel;
    if (before) before(next_);
    return commands_[next_++];
  }
  void Closed(const platform::ModalDialog&) override { ++closed; }

  std::function<void(size_t step)> before;
  std::vector<Snapshot> snapshots;
  int closed = 0;

 private:
  std::vector<int> commands_;
  size_t next_ = 0;
  std::function<bool()> history_fetch_;
  platform::DialogPresenter* previous_ = nullptr;
};

const std::vector<std::string> kEmpty10(10, "");
const std::vector<std::string> kEmpty4(4, "");

class CheckHealthTest : public SimulatedServiceTest {
 protected:
  ServiceDriver& Ready(sim::Model model) {
    StartDevice(model);
    sim::ActionDurations durations = machine().Durations();
    durations.reset_ms = 300;
    durations.take_back_ms = 300;
    machine().SetDurations(durations);
    ServiceDriver& d = NewDriver();
    EXPECT_EQ(d.Open(), OPOS_SUCCESS);
    EXPECT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
    EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
    TakeCommands();
    return d;
  }
  int32_t CheckHealth(ServiceDriver& d, int32_t level) { return d.Call("CheckHealth", {Variant::Long(level)}); }
  std::string Text(ServiceDriver& d) { return d.GetString(pidx::kCheckHealthText); }
  bool HistoryFetch(ServiceDriver& d) { return d.so().device()->HistoryFetchEnabled(); }
  // The ExamLog records from the last CheckHealth entry with |level| on.
  std::vector<std::string> RecordsOfLastCall(int32_t level) {
    const std::vector<std::string> all = ExamRecords(dir_.file("ExamlogS.txt"));
    const std::string entry = "1,5," + std::to_string(level) + ",0";
    std::vector<std::string> tail;
    for (const std::string& r : all) {
      if (r == entry) tail.clear();
      tail.push_back(r);
    }
    return tail;
  }
  // The commands other than the watch's own reads.
  std::vector<std::string> Actions() {
    std::vector<std::string> actions;
    for (const std::string& c : TakeCommands()) {
      if (c == "H00" || c == "i00" || c == "\"00" || c == "&00" || c == "o00" || c == ",00") continue;
      actions.push_back(c);
    }
    return actions;
  }
  // The status bytes 1-5 the dialog shows, as the machine reports them now.
  std::vector<std::string> MachineStatusFields() {
    const std::vector<uint8_t> s = machine().StatusRecord();
    char buffer[16];
    std::vector<std::string> fields;
    for (int i = 1; i <= 3; ++i) {
      std::snprintf(buffer, sizeof buffer, "%02X", s[static_cast<size_t>(i)]);
      fields.emplace_back(buffer);
    }
    std::snprintf(buffer, sizeof buffer, "%02X %02X", s[4], s[5]);
    fields.emplace_back(buffer);
    return fields;
  }
};

// Levels 1 and 2: result 0 whatever the device does; the outcome is the text.
// The history fetch is off for the call and on again after it, with its
// records around the call's own.
TEST_F(CheckHealthTest, LevelsOneAndTwo_LeaveTheirTextAndResultZero) {
  struct Row {
    sim::Model model;
    int32_t level;
    bool unplugged;
    const char* command;  // the action the machine must have received, or ""
    const char* text;
  };
  const Row rows[] = {
      {sim::Model::kKrt07, 1, false, "", kInternalAnswered},
      {sim::Model::kKrt03, 1, false, "", kInternalAnswered},  // 53-byte status
      {sim::Model::kKrt07, 1, true, "", kInternalNoAnswer},
      {sim::Model::kKrt07, 2, false, "000", kExternalAnswered},
      {sim::Model::kKrt07, 2, true, "000", kExternalNoAnswer},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("level " + std::to_string(row.level) + (row.unplugged ? " unplugged" : "") + " model " +
                 std::to_string(static_cast<int>(row.model)));
    TearDown();
    SetUp();
    ServiceDriver& d = Ready(row.model);
    if (row.unplugged) machine().SetUnplugged(true);
    EXPECT_EQ(CheckHealth(d, row.level), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kResultCode), OPOS_SUCCESS);
    EXPECT_EQ(Text(d), row.text);
    const std::vector<std::string> actions = Actions();
    if (*row.command != '\0') {
      EXPECT_TRUE(HasCommand(actions, row.command)) << ::testing::PrintToString(actions);
    } else {
      EXPECT_TRUE(actions.empty()) << ::testing::PrintToString(actions);
    }
    EXPECT_TRUE(HistoryFetch(d));
    const std::string level = std::to_string(row.level);
    EXPECT_EQ(RecordsOfLastCall(row.level),
              (std::vector<std::string>{"1,5," + level + ",0", "4,1,0,0", "1,105," + level + ",0", "5,1,0,0"}));
    machine().SetUnplugged(false);
  }
}

// Levels outside 1..3, level 3 on a KRT03 and level 3 without a presenter:
// 106, nothing sent, the text of the last check kept, the history fetch on
// again.
TEST_F(CheckHealthTest, RefusedLevels_Answer106AndSendNothing) {
  struct Row {
    sim::Model model;
    std::vector<int32_t> levels;
    bool presenter;
  };
  const Row rows[] = {
      {sim::Model::kKrt07, {0, 4, -1}, true},
      {sim::Model::kKrt03, {3}, true},
      {sim::Model::kKrt07, {3}, false},
  };
  for (const Row& row : rows) {
    TearDown();
    SetUp();
    ServiceDriver& d = Ready(row.model);
    ASSERT_EQ(CheckHealth(d, 1), OPOS_SUCCESS);
    ASSERT_EQ(Text(d), kInternalAnswered);
    TakeCommands();
    std::optional<ScriptedPresenter> presenter;
    if (row.presenter) presenter.emplace(std::vector<int>{kIdcEnd}, [] { return true; });
    for (int32_t level : row.levels) {
      SCOPED_TRACE("level " + std::to_string(level) + " model " + std::to_string(static_cast<int>(row.model)) +
                   (row.presenter ? "" : " without presenter"));
      EXPECT_EQ(CheckHealth(d, level), OPOS_E_ILLEGAL);
      EXPECT_EQ(Text(d), kInternalAnswered);
      EXPECT_TRUE(Actions().empty());
      EXPECT_TRUE(HistoryFetch(d));
      const std::string l = std::to_string(level);
      EXPECT_EQ(RecordsOfLastCall(level),
                (std::vector<std::string>{"1,5," + l + ",0", "4,1,0,0", "1,105," + l + ",106", "5,1,0,0"}));
    }
    if (presenter) {
      EXPECT_TRUE(presenter->snapshots.empty()) << "no dialog shown";
    }
  }
}

// The dialog on a KRT07 after a deposit of 1000 + 3 x 100 yen: reading shows
// the kept counts and the machine's status bytes; clearing sends "+00" and
// reads zeros; collecting all sends "p22" with every denomination into the
// collection box and empties the fields; "終了" closes it with an empty
// CheckHealthText. The history fetch stays off while it is open.
TEST_F(CheckHealthTest, Dialog_ButtonsSendTheirCommandsAndFillTheFields) {
  ServiceDriver& d = Ready(sim::Model::kKrt07);
  sim::CashCounts stock{};
  stock[4] = 10;  // 100 yen
  stock[6] = 5;   // 1000 yen
  machine().SetStock(stock);
  machine().SetBox(sim::CashCounts{});
  ASSERT_EQ(d.Set(pidx::kDataEventEnabled, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  sim::CashCounts inserted{};
  inserted[4] = 3;
  inserted[6] = 1;
  ASSERT_EQ(machine().InsertCash(inserted).status, sim::InsertResult::Status::kCounting);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
  ASSERT_EQ(CheckHealth(d, 1), OPOS_SUCCESS);
  // Status bytes that tell the fields apart.
  machine().OverrideStatusByte(2, '7');
  machine().OverrideStatusByte(4, '1');
  machine().OverrideStatusByte(5, '9');
  TakeCommands();

  ScriptedPresenter presenter({kIdcReadCounts, kIdcClearCounts, kIdcCollectAll, kIdcEnd},
                              [&] { return HistoryFetch(d); });
  std::vector<std::vector<std::string>> actions;
  presenter.before = [&](size_t) { actions.push_back(Actions()); };
  ASSERT_EQ(CheckHealth(d, 3), OPOS_SUCCESS);
  actions.push_back(Actions());
  EXPECT_EQ(Text(d), "");
  EXPECT_EQ(presenter.closed, 1);
  EXPECT_TRUE(HistoryFetch(d));

  ASSERT_EQ(presenter.snapshots.size(), 4u);
  const std::vector<std::string> status = MachineStatusFields();
  EXPECT_EQ(status[1], "37");
  EXPECT_EQ(status[3], "31 39");
  struct Expected {
    const char* after;
    std::vector<std::string> counts;
    std::vector<std::string> status;
    std::string result;
    std::vector<std::string> sent;  // besides the reads, by the button
  };
  const Expected expected[] = {
      {"opening", kEmpty10, kEmpty4, "", {}},
      {"入金枚数取得", {"0", "0", "0", "1", "0", "3", "0", "0", "0", "0"}, status, kDialogNormal, {}},
      {"入金枚数クリア", {"0", "0", "0", "0", "0", "0", "0", "0", "0", "0"}, status, kDialogNormal, {"+00"}},
      {"全回収", kEmpty10, kEmpty4, kDialogNormal, {"p22" + std::string(30, '?') + "0004"}},
  };
  ASSERT_EQ(actions.size(), 5u);
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(std::string("after ") + expected[i].after);
    const Snapshot& s = presenter.snapshots[i];
    EXPECT_EQ(s.counts, expected[i].counts);
    EXPECT_EQ(s.status, expected[i].status);
    EXPECT_EQ(s.result, expected[i].result);
    EXPECT_FALSE(s.history_fetch);
    if (i > 0) {
      EXPECT_EQ(actions[i], expected[i].sent);
    }
  }
  EXPECT_TRUE(actions[0].empty());
  EXPECT_TRUE(actions[4].empty()) << "終了 sends nothing";
  // Everything went into the collection box.
  EXPECT_EQ(machine().Stock(), sim::CashCounts{});
  sim::CashCounts box{};
  box[4] = 13;
  box[6] = 6;
  EXPECT_EQ(machine().Box(), box);
}

// A refused or unanswered command: the result line says which, and the
// fields are emptied (the counts of a read stay, its status bytes do not).
TEST_F(CheckHealthTest, Dialog_FailedCommandsShowTheirOutcomeAndEmptyTheFields) {
  ServiceDriver& d = Ready(sim::Model::kKrt07);
  struct Row {
    const char* fault;  // a simulator control line before the button
    int button;
    std::string result;
    std::vector<std::string> counts;
  };
  const std::vector<std::string> zeros(10, "0");
  const Row rows[] = {
      {"fault nak next cmd +", kIdcClearCounts, kDialogAbnormal, kEmpty10},
      {"unplug", kIdcClearCounts, kDialogNoAnswer, kEmpty10},
      {"unplug", kIdcReadCounts, kDialogNoAnswer, zeros},
      {"unplug", kIdcCollectAll, kDialogNoAnswer, kEmpty10},
  };
  std::vector<int> buttons;
  for (const Row& row : rows) {
    buttons.push_back(kIdcReadCounts);  // fills the fields first
    buttons.push_back(row.button);
  }
  ScriptedPresenter presenter(buttons, [] { return false; });
  presenter.before = [&](size_t step) {
    if (step % 2 == 0) {
      ASSERT_TRUE(sim::ExecuteControlLine(machine(), "plug").ok);
      ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault clear").ok);
    } else {
      ASSERT_TRUE(sim::ExecuteControlLine(machine(), rows[step / 2].fault).ok);
    }
  };
  ASSERT_EQ(CheckHealth(d, 3), OPOS_SUCCESS);
  ASSERT_EQ(presenter.snapshots.size(), 1 + buttons.size());
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(std::string(rows[i].fault) + " then button " + std::to_string(rows[i].button));
    const Snapshot& filled = presenter.snapshots[1 + 2 * i];
    EXPECT_EQ(filled.result, kDialogNormal);
    EXPECT_NE(filled.status, kEmpty4);
    const Snapshot& after = presenter.snapshots[2 + 2 * i];
    EXPECT_EQ(after.result, rows[i].result);
    EXPECT_EQ(after.counts, rows[i].counts);
    EXPECT_EQ(after.status, kEmpty4);
  }
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "plug").ok);
}

}  // namespace
}  // namespace vexokrt::testing
