// SPDX-License-Identifier: Apache-2.0
#include "device/changer_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "device/status_builder.h"
#include "link/line_sequences.h"
#include "service/opos.h"
#include "support/exam_records.h"
#include "support/fake_changer_host.h"
#include "support/failing_allocations.h"
#include "support/scripted_line.h"
#include "support/spin_until.h"

namespace vexokrt {
namespace {

using testing::Answer;
using testing::FakeChangerHost;
using testing::SteppingClock;
using testing::LineEvent;
using testing::ScriptedLine;
using testing::StatusOf;
using testing::With;
using testing::WithBillBit;
using testing::WithCoinBit;

std::string Body(const std::vector<uint8_t>& command) { return std::string(command.begin() + 1, command.end()); }

std::vector<uint8_t> Text(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// What the scripted device answers: records it keeps, and answers by
// command prefix (the longest matching prefix wins; ACK otherwise).
class DeviceImage {
 public:
  explicit DeviceImage(ModelCode model)
      : status_(StatusOf(model)), counts_(model == ModelCode::kKrt03 ? 30 : 70, '0'), deposit_(35, '0'),
        returned_(30, '0') {}

  void SetStatus(std::vector<uint8_t> status) {
    std::lock_guard<std::mutex> lock(lock_);
    status_ = std::move(status);
  }
  void SetDeposit(std::vector<uint8_t> deposit) {
    std::lock_guard<std::mutex> lock(lock_);
    deposit_ = std::move(deposit);
  }
  void SetCounts(std::vector<uint8_t> counts) {
    std::lock_guard<std::mutex> lock(lock_);
    counts_ = std::move(counts);
  }
  void SetReturned(std::vector<uint8_t> returned) {
    std::lock_guard<std::mutex> lock(lock_);
    returned_ = std::move(returned);
  }
  void On(const std::string& prefix, std::function<Answer()> answer) {
    std::lock_guard<std::mutex> lock(lock_);
    answers_[prefix] = std::move(answer);
  }
  void On(const std::string& prefix, Answer answer) {
    On(prefix, [answer] { return answer; });
  }

  Answer Respond(const std::vector<uint8_t>& command) {
    const std::string body = Body(command);
    std::function<Answer()> chosen;
    {
      std::lock_guard<std::mutex> lock(lock_);
      size_t best = 0;
      for (const auto& [prefix, answer] : answers_) {
        if (body.rfind(prefix, 0) == 0 && prefix.size() >= best) {
          best = prefix.size();
          chosen = answer;
        }
      }
      if (!chosen) {
        if (body == "H00" || body == "i00") return Answer::Data(status_);
        if (body == "\"00" || body == "&00") return Answer::Data(counts_);
        if (body == "o00") return Answer::Data(deposit_);
        if (body == ",00") return Answer::Data(std::vector<uint8_t>(deposit_.begin(), deposit_.begin() + 32));
        if (body == ".00") return Answer::Data(returned_);
        return Answer::Byte(kAck);
      }
    }
    return chosen();
  }

 private:
  std::mutex lock_;
  std::vector<uint8_t> status_;
  std::vector<uint8_t> counts_;
  std::vector<uint8_t> deposit_;
  std::vector<uint8_t> returned_;
  std::map<std::string, std::function<Answer()>> answers_;
};

DeviceSettings FastSettings() {
  DeviceSettings settings;
  settings.watch_interval_ms = 1;
  return settings;
}

class ChangerDeviceTest : public ::testing::Test {
 protected:
  void Make(ModelCode model = ModelCode::kKrt07, DeviceSettings settings = FastSettings(), bool open = true) {
    image_ = std::make_unique<DeviceImage>(model);
    auto line = std::make_unique<ScriptedLine>(clock_, model);
    line_ = line.get();
    DeviceImage* image = image_.get();
    line_->OnFrame([image](const std::vector<uint8_t>& command) { return image->Respond(command); });
    device_ = std::make_unique<ChangerDevice>(host_, host_.deposit, host_.switches, settings, std::move(line), clock_);
    if (open) {
      ASSERT_EQ(device_->OpenPort(), 0);
    }
  }

  // Feeds a status record as the watch would (the watch itself stays paused).
  void Status(const std::vector<uint8_t>& record) { device_->InterpretStatusRecord(record); }

  SteppingClock clock_;
  FakeChangerHost host_;
  std::unique_ptr<DeviceImage> image_;
  ScriptedLine* line_ = nullptr;
  std::unique_ptr<ChangerDevice> device_;
};

// --- Requests and answer mapping ----------------------------------------------

TEST_F(ChangerDeviceTest, CancelWithErrorNumberBecomesExtendedCode) {
  Make();
  Answer can = Answer::Byte(kCan);
  can.cancel_detail = 0x1234;
  std::atomic<bool> busy_while_sent{false};
  image_->On("b02", [&] {
    busy_while_sent = device_->Busy();
    return can;
  });
  EXPECT_FALSE(device_->Busy());
  EXPECT_EQ(device_->Execute(ExitSelectionCommand(true, true)), opos::OposResult::Extended(4660));
  EXPECT_TRUE(busy_while_sent) << "busy while the request runs";
  EXPECT_FALSE(device_->Busy()) << "idle once it is answered";
}

TEST_F(ChangerDeviceTest, EmOnKrt07IsNotPossibleNow) {
  Make(ModelCode::kKrt07);
  image_->On("!06", Answer::Byte(kEm));
  EXPECT_EQ(device_->Execute(ChangeCommand(ModelCode::kKrt07, 1500, 60000).command), opos::OposResult::Extended(201));

  image_->On("b02", Answer::Byte(kEm));
  EXPECT_EQ(device_->Execute(ExitSelectionCommand(true, false)), opos::OposResult::Extended(201))
      << "the Plain rule sees the follow-up code of EM";
}

TEST_F(ChangerDeviceTest, WaitedChangeSucceedsAfterSubPolling) {
  Make(ModelCode::kKrt07);
  std::atomic<int> enquiries{0};
  image_->On("!06", Answer::Silence());
  line_->OnEnquiry([&] { return Answer::Byte(enquiries.fetch_add(1) < 5 ? kSub : kAck); });
  device_->SetDepositPhase(1);
  EXPECT_EQ(device_->Execute(ChangeCommand(ModelCode::kKrt07, 1500, 86400000).command), opos::OPOS_SUCCESS);
  EXPECT_EQ(line_->Commands().front(), "!06001500");
  EXPECT_EQ(enquiries.load(), 6);
}

// A command the port does not take gives what a silent device gives, at
// once: OPOS_E_NOHARDWARE by every rule, and no time spent waiting.
TEST_F(ChangerDeviceTest, CommandThatCannotBeWritten_IsNoHardwareAtOnce) {
  Make();
  device_->SetDepositPhase(1);
  line_->SetWriteFails(true);
  const std::vector<DeviceCommand> commands = {
      ExitSelectionCommand(true, true),
      ChangeCommand(ModelCode::kKrt07, 1500, 86400000).command,
      StatusCommand(ModelCode::kKrt07),
      OperatingConditionCommand(2, {5, 5, 0, 0, 0}).command,
      IntakeStopCommand(false),
  };
  for (const DeviceCommand& command : commands) {
    SCOPED_TRACE(std::string(command.bytes.begin() + 1, command.bytes.end()));
    line_->ClearEvents();
    const int64_t start = clock_.NowMs();
    EXPECT_EQ(device_->Execute(command), opos::OPOS_E_NOHARDWARE);
    EXPECT_EQ(clock_.NowMs() - start, 0);
    EXPECT_EQ(line_->Count(LineEvent::Kind::kReceive) + line_->Count(LineEvent::Kind::kEnquiry), 0);
  }
}

TEST_F(ChangerDeviceTest, ThreadThatCannotStart_OpenFailsWithThePortClosedAgain) {
  Make(ModelCode::kKrt07, FastSettings(), /*open=*/false);
  line_->ReserveEvents(16);
  int opened;
  {
    testing::FailingAllocations no_memory;
    opened = device_->OpenPort();
  }
  EXPECT_EQ(opened, 1);
  EXPECT_FALSE(device_->PortOpen());
  EXPECT_EQ(line_->TraceErrors(), std::vector<std::string>{"通信用スレッドの生成に失敗しました。"});
  std::vector<LineEvent::Kind> kinds;
  for (const LineEvent& e : line_->Events()) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<LineEvent::Kind>{LineEvent::Kind::kOpen, LineEvent::Kind::kClose}));
  EXPECT_EQ(device_->OpenPort(), 0) << "a later open starts the thread";
}

TEST_F(ChangerDeviceTest, WaiterWithThePortClosedEndsAfterTheIdleGuard) {
  Make(ModelCode::kKrt07, FastSettings(), /*open=*/false);
  const int64_t start = clock_.NowMs();
  const DeviceReply reply = device_->SendCommand(ExitSelectionCommand(true, true).bytes, WaitStyle::kBusy, 4000);
  EXPECT_EQ(reply.status, kReplyNotQueued);
  EXPECT_EQ(reply.cancelled, 0);
  EXPECT_GE(clock_.NowMs() - start, ChangerDevice::kIdleGuardMs);
  EXPECT_EQ(device_->Execute(ExitSelectionCommand(true, true)), opos::OPOS_E_FAILURE);
  EXPECT_TRUE(line_->Commands().empty());
  EXPECT_FALSE(device_->Busy()) << "nothing queued, nothing busy";
  EXPECT_EQ(device_->ExecuteAsync(ExitSelectionCommand(true, true)), opos::OPOS_E_NOHARDWARE);
}

TEST_F(ChangerDeviceTest, AsyncCompletionIsPostedWithItsParameter) {
  Make(ModelCode::kKrt07);
  host_.SetBusyProbe([this] { return device_->Busy(); });
  device_->SetDepositPhase(1);
  ASSERT_EQ(device_->ExecuteAsync(ChangeCommand(ModelCode::kKrt07, 1500, 60000).command, /*notify=*/true),
            opos::OPOS_SUCCESS);
  ASSERT_TRUE(host_.WaitForPosts(1));
  const auto posts = host_.Posts();
  EXPECT_EQ(posts[0].message, kMsgAsyncMethodCallComplete);
  const auto* completion = std::get_if<AsyncCompletion>(&posts[0].payload);
  ASSERT_NE(completion, nullptr);
  EXPECT_EQ(completion->parameter, kNotifyParameter);
  EXPECT_EQ(completion->reply.answerByte, kAck);
  EXPECT_FALSE(posts[0].busy_when_posted) << "idle before the post";
}

TEST_F(ChangerDeviceTest, AsyncTakeBackPostsTheReturnedCounts) {
  Make(ModelCode::kKrt02);
  device_->SetDepositPhase(1);
  // Returned: 500 x1, 100 x2, 1 x6, 10000 x7, 1000 x9 (device order fields).
  image_->SetReturned(Text("001002000000000006007000000009"));
  CashCounts all;
  all.fill(cash::kAllPieces);
  ASSERT_EQ(device_->TakeBack(all), opos::OPOS_SUCCESS);
  ASSERT_TRUE(host_.WaitForPosts(1));
  const auto posts = host_.Posts();
  EXPECT_EQ(posts[0].message, kMsgTakeBackComplete);
  const auto* completion = std::get_if<TakeBackCompletion>(&posts[0].payload);
  ASSERT_NE(completion, nullptr);
  EXPECT_EQ(completion->counts, "1:6,5:0,10:0,50:0,100:2,500:1;1000:9,2000:0,5000:0,10000:7");
  EXPECT_EQ(line_->Commands().front(), "-1>" + std::string(30, '?'));
  EXPECT_EQ(line_->CountCommand(".00"), 1);
}

TEST_F(ChangerDeviceTest, ClosingThePortAnswersAQueuedAsyncTakeBackWithoutReadingCounts) {
  Make(ModelCode::kKrt02);
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  image_->On("b02", [gate] {
    gate.wait();
    return Answer::Byte(kAck);
  });
  std::thread busy([&] { device_->Execute(ExitSelectionCommand(true, true)); });
  ASSERT_TRUE(line_->WaitForCommand("b02"));
  CashCounts all;
  all.fill(cash::kAllPieces);
  ASSERT_EQ(device_->TakeBack(all), opos::OPOS_SUCCESS);
  std::thread closer([&] { device_->ClosePort(); });
  // The stop must be asked for while the first request still runs, so that
  // the queued take-back is answered without running.
  ASSERT_TRUE(testing::SpinUntil([&] { return device_->ThreadStopRequested(); }));
  release.set_value();
  closer.join();
  busy.join();
  ASSERT_TRUE(host_.WaitForPosts(1));
  const auto posts = host_.Posts();
  const auto* completion = std::get_if<TakeBackCompletion>(&posts[0].payload);
  ASSERT_NE(completion, nullptr);
  EXPECT_EQ(completion->reply.status, kReplyTimeout);
  EXPECT_TRUE(completion->counts.empty());
  EXPECT_EQ(line_->CountCommand("-1>"), 0) << "the queued take-back never ran";
  EXPECT_EQ(line_->CountCommand(".00"), 0);
}

// --- Status interpretation ---------------------------------------------------------

TEST_F(ChangerDeviceTest, JamEmptyAndFullStatusUpdates) {
  Make(ModelCode::kKrt07);
  const auto normal = StatusOf(ModelCode::kKrt07);
  Status(normal);
  EXPECT_TRUE(host_.StatusUpdates().empty());

  Status(With(normal, 1, "1"));
  EXPECT_EQ(device_->DeviceStatus(), opos::CHAN_STATUS_JAM);
  Status(normal);
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{31, 32}));

  host_.ClearRecords();
  const auto empty = WithCoinBit(normal, kEmptyGroup);
  const auto near_empty = WithCoinBit(normal, kNearEmptyGroup);
  Status(empty);
  EXPECT_EQ(device_->DeviceStatus(), opos::CHAN_STATUS_EMPTY);
  Status(WithCoinBit(empty, kNearEmptyGroup));  // empty unchanged: nothing
  Status(near_empty);                           // empty ends, near empty stays
  EXPECT_EQ(device_->DeviceStatus(), opos::CHAN_STATUS_NEAREMPTY);
  Status(normal);
  Status(near_empty);
  Status(empty);
  Status(normal);
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{11, 12, 13, 12, 11, 13}));

  host_.ClearRecords();
  const auto full = WithBillBit(normal, kFullGroup);
  const auto near_full = With(normal, 21, "4");
  Status(full);
  EXPECT_EQ(device_->FullStatus(), opos::CHAN_STATUS_FULL);
  Status(near_full);
  EXPECT_EQ(device_->FullStatus(), opos::CHAN_STATUS_NEARFULL);
  Status(normal);
  Status(near_full);
  Status(normal);
  Status(With(normal, 21, "8"));
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{21, 22, 23, 22, 23, 21}));
}

TEST_F(ChangerDeviceTest, OnlyTheSidesOfTheCurrentExitCount) {
  Make(ModelCode::kKrt07);
  host_.SetCurrentExit(3);
  const auto normal = StatusOf(ModelCode::kKrt07);
  Status(normal);
  Status(WithBillBit(normal, kEmptyGroup));
  Status(WithBillBit(normal, kFullGroup));
  EXPECT_TRUE(host_.StatusUpdates().empty());
  Status(WithCoinBit(normal, kEmptyGroup));
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{11}));
}

TEST_F(ChangerDeviceTest, JamUpdatesNeedEventsAllowed) {
  DeviceSettings settings = FastSettings();
  settings.claim_non_event = 1;
  Make(ModelCode::kKrt07, settings);
  host_.SetDeviceEnabled(false);
  const auto normal = StatusOf(ModelCode::kKrt07);
  Status(With(normal, 1, "1"));
  EXPECT_TRUE(device_->Jammed());
  EXPECT_TRUE(host_.StatusUpdates().empty()) << "claimed, not enabled, ClaimNonEvent 1";
  host_.SetDeviceEnabled(true);
  // The jam the application never heard of is told once events are allowed.
  Status(With(normal, 1, "1"));
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{31}));

  // Forgetting the status record (enabling) does not tell the same jam
  // twice; its end is told once.
  device_->ForgetStatus();
  EXPECT_FALSE(device_->StatusKept());
  EXPECT_TRUE(device_->Jammed());
  host_.ClearRecords();
  Status(With(normal, 1, "1"));
  EXPECT_TRUE(host_.StatusUpdates().empty());
  Status(normal);
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{32}));
}

TEST_F(ChangerDeviceTest, WaitedTakeBackHoldsTheJamForFiveSeconds) {
  Make(ModelCode::kKrt02);
  host_.SetDioReadExchange(1);
  const auto stopped = With(StatusOf(ModelCode::kKrt02), 1, "1");
  image_->SetStatus(stopped);  // the device shows its error stop while taking back
  CashCounts all;
  all.fill(cash::kAllPieces);
  ASSERT_EQ(device_->TakeBack(all), opos::OPOS_SUCCESS);
  EXPECT_GE(line_->CountCommand("i00"), 1) << "the status read after the request ran during the hold";
  EXPECT_FALSE(device_->Jammed());

  clock_.Advance(ChangerDevice::kJamHoldMs);
  Status(stopped);
  EXPECT_FALSE(device_->Jammed()) << "exactly 5 s after: still held";
  clock_.Advance(1);
  Status(stopped);
  EXPECT_TRUE(device_->Jammed());
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{31}));

  // BEL while jammed is a plain failure, not "not possible now".
  image_->On("-1>", Answer::Byte(kBel));
  EXPECT_EQ(device_->TakeBack(all), opos::OPOS_E_FAILURE);
}

TEST_F(ChangerDeviceTest, KeptStatusDrivesTheChecksBeforeActions) {
  Make(ModelCode::kKrt07);
  EXPECT_EQ(device_->CheckBeforeDispense(), opos::OPOS_SUCCESS) << "nothing kept yet";
  Status(With(StatusOf(ModelCode::kKrt07), 43, "4"));
  EXPECT_EQ(device_->CheckBeforeDispense(), opos::OposResult::Extended(235));
  Status(With(StatusOf(ModelCode::kKrt07), 43, "8"));
  EXPECT_EQ(device_->CheckBeforeDeposit(), opos::OposResult::Extended(236));
}

// --- Notifications -------------------------------------------------------------------

std::vector<uint8_t> DepositAnswer(char p, char q) {
  std::vector<uint8_t> answer(35, '0');
  answer[33] = static_cast<uint8_t>(p);
  answer[34] = static_cast<uint8_t>(q);
  return answer;
}

TEST_F(ChangerDeviceTest, RejectWaitsWhileTheUnitCounts) {
  Make(ModelCode::kKrt07);
  device_->SetRejectCountWatch(true);
  image_->SetDeposit(DepositAnswer('0', '0'));
  ASSERT_EQ(device_->ReadDepositCounts(), opos::OPOS_SUCCESS);
  EXPECT_FALSE(device_->RejectPending());
  image_->SetDeposit(DepositAnswer('1', '0'));
  ASSERT_EQ(device_->ReadDepositCounts(), opos::OPOS_SUCCESS);
  EXPECT_TRUE(device_->RejectPending());

  const auto normal = StatusOf(ModelCode::kKrt07);
  Status(With(normal, 47, "31"));
  EXPECT_TRUE(device_->RejectPending()) << "d[47]d[48] = \"31\" keeps it for a later read";
  EXPECT_TRUE(host_.Notices(kMsgHappenReject).empty());
  Status(With(normal, 47, "3331"));
  EXPECT_TRUE(device_->RejectPending());
  Status(With(normal, 47, "3333"));
  EXPECT_FALSE(device_->RejectPending());
  EXPECT_EQ(host_.Notices(kMsgHappenReject), (std::vector<int32_t>{3}));

  // Same digits again: no new reject. A new digit with the kind shown: 8.
  ASSERT_EQ(device_->ReadDepositCounts(), opos::OPOS_SUCCESS);
  EXPECT_FALSE(device_->RejectPending());
  device_->SetRejectKindReport(true);
  image_->SetDeposit(DepositAnswer('1', '2'));
  ASSERT_EQ(device_->ReadDepositCounts(), opos::OPOS_SUCCESS);
  Status(With(normal, 46, "4"));  // bit 2 of byte 46
  EXPECT_EQ(host_.Notices(kMsgHappenReject), (std::vector<int32_t>{3, 8}));
}

TEST_F(ChangerDeviceTest, RejectDigitsArePrimedEvenWhileTheSwitchIsOff) {
  Make(ModelCode::kKrt07);
  image_->SetDeposit(DepositAnswer('4', '0'));
  ASSERT_EQ(device_->ReadDepositCounts(), opos::OPOS_SUCCESS);
  device_->SetRejectCountWatch(true);
  ASSERT_EQ(device_->ReadDepositCounts(), opos::OPOS_SUCCESS);
  EXPECT_FALSE(device_->RejectPending()) << "the counter did not change since it was primed";
}

TEST_F(ChangerDeviceTest, CassetteNotifications) {
  Make(ModelCode::kKrt07);
  device_->SetCassetteNotify(true);
  const auto idle = StatusOf(ModelCode::kKrt07);
  const auto out = With(idle, 43, "8");
  Status(idle);
  Status(out);
  EXPECT_TRUE(host_.Notices(kMsgHappenCaset).empty());
  Status(out);
  EXPECT_EQ(host_.Notices(kMsgHappenCaset), (std::vector<int32_t>{4}));
  Status(out);
  Status(idle);
  EXPECT_EQ(host_.Notices(kMsgHappenCaset), (std::vector<int32_t>{4, 5}));
  Status(idle);
  EXPECT_EQ(host_.Notices(kMsgHappenCaset).size(), 2u);

  device_->SetCassetteDisplayNotify(true);
  Status(With(idle, 47, "92"));
  EXPECT_TRUE(host_.Notices(kMsgHappenCasetDsp).empty()) << "not armed by an earlier status yet";
  Status(idle);
  Status(With(idle, 47, "92"));
  EXPECT_EQ(host_.Notices(kMsgHappenCasetDsp), (std::vector<int32_t>{6}));
  Status(With(With(idle, 47, "33"), 43, "2"));
  EXPECT_EQ(host_.Notices(kMsgHappenCasetDsp).size(), 1u) << "byte 43 bit 1 holds notification 7 back";
  Status(idle);
  EXPECT_EQ(host_.Notices(kMsgHappenCasetDsp), (std::vector<int32_t>{6, 7}));
}

TEST_F(ChangerDeviceTest, NotificationsStaySilentOnOtherModels) {
  Make(ModelCode::kKrt02);
  device_->SetCassetteNotify(true);
  device_->SetCassetteDisplayNotify(true);
  const auto idle = StatusOf(ModelCode::kKrt02);
  for (int i = 0; i < 3; ++i) Status(With(idle, 43, "8"));
  Status(idle);
  EXPECT_TRUE(host_.Posts().empty());
}

// --- Deposit progress and power ------------------------------------------------------

TEST_F(ChangerDeviceTest, DepositProgressSwitchesDepositStatusAndReportsChangedCounts) {
  Make(ModelCode::kKrt07);
  host_.SetDepositStatus(opos::CHAN_STATUS_DEPOSIT_START);
  const auto normal = StatusOf(ModelCode::kKrt07);
  Status(With(normal, 47, "3133"));
  EXPECT_EQ(host_.DepositStatus(), opos::CHAN_STATUS_DEPOSIT_COUNT);
  EXPECT_EQ(line_->CountCommand("o00"), 0);

  // 1000-yen bill x2 counted (last field of the device order).
  image_->SetDeposit(Text("000000000000000000000000000002" "00000"));
  Status(With(normal, 47, "3333"));
  EXPECT_EQ(host_.DepositStatus(), opos::CHAN_STATUS_DEPOSIT_START);
  EXPECT_EQ(line_->CountCommand("o00"), 1);
  const auto events = host_.DataEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].slot[3], 2);
  EXPECT_FALSE(device_->DepositCountsChanged());
  EXPECT_TRUE(device_->CountingTookPlace());

  // Counting again with the same counts: read, but nothing new to report.
  Status(With(normal, 47, "<1"));
  Status(normal);
  EXPECT_EQ(line_->CountCommand("o00"), 2);
  EXPECT_EQ(host_.DataEvents().size(), 1u);

  // No deposit under way: DepositStatus is left alone.
  host_.SetDepositStatus(opos::CHAN_STATUS_DEPOSIT_END);
  Status(With(normal, 47, "31"));
  EXPECT_EQ(host_.DepositStatus(), opos::CHAN_STATUS_DEPOSIT_END);
}

TEST_F(ChangerDeviceTest, DepositEventSettingRereadsAtEveryStatus) {
  DeviceSettings settings = FastSettings();
  settings.deposit_evt_set = 1;
  Make(ModelCode::kKrt07, settings);
  host_.SetDepositStatus(opos::CHAN_STATUS_DEPOSIT_START);
  for (int i = 0; i < 3; ++i) Status(StatusOf(ModelCode::kKrt07));
  EXPECT_EQ(line_->CountCommand("o00"), 3);
}

TEST_F(ChangerDeviceTest, PowerStateSetterAndItsSideEffects) {
  Make(ModelCode::kKrt07);
  host_.SetPowerNotify(1);
  host_.SetOperationModeTemporary(1);
  device_->SetPowerState(opos::OPOS_PS_ONLINE);  // from 2000: no side effects
  EXPECT_TRUE(line_->Commands().empty());
  device_->SetPowerState(opos::OPOS_PS_ONLINE);  // equal: nothing
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{2001}));

  line_->OnEnquiry([] { return Answer::Byte(kAck); });
  device_->SetPowerState(opos::OPOS_PS_OFF_OFFLINE);
  EXPECT_TRUE(line_->Commands().empty()) << "nothing is sent to a device that went offline";
  EXPECT_EQ(line_->Count(LineEvent::Kind::kEnquiry), 0);

  // Back online during an unfixed deposit: the deposit unit is restarted.
  line_->ClearEvents();
  host_.SetDepositStatus(opos::CHAN_STATUS_DEPOSIT_START);
  host_.SetDepositOption(0);
  device_->SetPowerState(opos::OPOS_PS_ONLINE);
  EXPECT_EQ(line_->Commands(), (std::vector<std::string>{"o00", "F044000", "F044000", "G011"}));
  EXPECT_FALSE(host_.deposit.CountsText().empty());
  EXPECT_EQ(host_.StatusUpdates(), (std::vector<int32_t>{2001, 2004, 2001}));

  // Disabling stores without notification or traffic.
  line_->ClearEvents();
  device_->StorePowerState(opos::OPOS_PS_UNKNOWN);
  EXPECT_EQ(device_->PowerState(), opos::OPOS_PS_UNKNOWN);
  EXPECT_TRUE(line_->Commands().empty());
  EXPECT_EQ(host_.StatusUpdates().size(), 3u);
}

TEST_F(ChangerDeviceTest, Krt03ComingOnlineLeavesDirectIoMode) {
  Make(ModelCode::kKrt03);
  host_.SetDirectIoMode(1);
  device_->SetPowerState(opos::OPOS_PS_OFF_OFFLINE);
  EXPECT_EQ(host_.DirectIoMode(), 1) << "the first report comes from 2000";
  device_->SetPowerState(opos::OPOS_PS_ONLINE);
  EXPECT_EQ(host_.DirectIoMode(), 0);
  EXPECT_TRUE(line_->Commands().empty());
}

TEST_F(ChangerDeviceTest, JamClearedDuringADepositRestartsTheUnit) {
  Make(ModelCode::kKrt07);
  line_->OnEnquiry([] { return Answer::Byte(kEtb); });
  host_.SetDepositStatus(opos::CHAN_STATUS_DEPOSIT_START);
  host_.SetDepositFixed(true);
  host_.SetDepositOption(1);
  const auto normal = StatusOf(ModelCode::kKrt07);
  Status(With(normal, 1, "1"));
  line_->ClearEvents();
  image_->On("F04", Answer::Byte(kNak));
  Status(normal);
  EXPECT_EQ(line_->Commands(), (std::vector<std::string>{"o00", "F042000"})) << "b = 1 (fixed), c = 0";

  // A KRT07 tries a failed restart again at the next status.
  image_->On("F04", Answer::Byte(kAck));
  line_->ClearEvents();
  Status(normal);
  EXPECT_EQ(line_->Commands(), (std::vector<std::string>{"o00", "F042000", "F042000"}));
  line_->ClearEvents();
  Status(normal);
  EXPECT_TRUE(line_->Commands().empty()) << "restarted: nothing more";
}

TEST_F(ChangerDeviceTest, Krt03RestartStartsTheIntake) {
  Make(ModelCode::kKrt03);
  line_->OnEnquiry([] { return Answer::Byte(kDc3); });
  host_.SetDepositActiveMark(1);
  EXPECT_TRUE(device_->RestartDeposit());
  EXPECT_EQ(line_->Commands(), (std::vector<std::string>{"o00", "=0220"}));

  line_->OnEnquiry([] { return Answer::Byte(kSub); });
  line_->ClearEvents();
  const int64_t start = clock_.NowMs();
  EXPECT_FALSE(device_->RestartDeposit()) << "the device never became ready";
  EXPECT_GE(clock_.NowMs() - start, 2000);
  EXPECT_EQ(line_->CountCommand("=02"), 0);
}

// --- Direct procedures --------------------------------------------------------------

TEST_F(ChangerDeviceTest, WaitForClear) {
  Make(ModelCode::kKrt07);
  const auto handling = With(StatusOf(ModelCode::kKrt07), 7, "4");
  Status(handling);
  std::atomic<int> reads{0};
  image_->On("H00", [&] {
    return Answer::Data(reads.fetch_add(1) < 2 ? handling : StatusOf(ModelCode::kKrt07));
  });
  EXPECT_EQ(device_->WaitForClear(60000), opos::OPOS_SUCCESS);
  EXPECT_EQ(reads.load(), 3);
  EXPECT_FALSE(device_->CashBeingHandledKept());
  EXPECT_TRUE(device_->HandlingMarkByte7());

  image_->On("H00", [&] { return Answer::Data(With(StatusOf(ModelCode::kKrt07), 8, "4")); });
  EXPECT_EQ(device_->WaitForClear(100), opos::OPOS_SUCCESS) << "the limit ends it";
  EXPECT_TRUE(device_->CashBeingHandledKept()) << "the caller sees the cash still there";

  image_->On("H00", Answer::Silence());
  EXPECT_EQ(device_->WaitForClear(60000), opos::OPOS_E_TIMEOUT);
  image_->On("H00", Answer::Data(std::vector<uint8_t>(44, '0')));
  EXPECT_EQ(device_->WaitForClear(60000), opos::OPOS_E_FAILURE);
}

TEST_F(ChangerDeviceTest, ReadyWait) {
  Make(ModelCode::kKrt07);
  std::atomic<int> reads{0};
  const auto idle = With(StatusOf(ModelCode::kKrt07), 47, "3333");
  image_->On("H00", [&] { return Answer::Data(reads.fetch_add(1) < 2 ? With(idle, 49, "31") : idle); });
  bool waiting = false;
  EXPECT_EQ(device_->ReadyWait(&waiting), opos::OPOS_SUCCESS);
  EXPECT_TRUE(waiting);
  image_->On("H00", Answer::Data(With(idle, 47, "30")));
  EXPECT_EQ(device_->ReadyWait(), opos::OPOS_E_FAILURE);
  image_->On("H00", Answer::Silence());
  EXPECT_EQ(device_->ReadyWait(), opos::OPOS_E_TIMEOUT);
}

// --- Counts -----------------------------------------------------------------------------

TEST_F(ChangerDeviceTest, CountsAnswerLayouts) {
  Make(ModelCode::kKrt07);
  // Bills A: 2000 10000 5000 1000; bills B; coins A: 500..1; byte 42; coins B at 52.
  std::string answer = "001002003004" "011012013014" "021022023024025026" "7" "000000000" "031032033034035036";
  ASSERT_EQ(answer.size(), 70u);
  image_->SetCounts(Text(answer));
  ASSERT_EQ(device_->ReadCountsNow(), kReplyOk);
  EXPECT_EQ(device_->CountsA(), (CashCounts{2, 3, 1, 4, 21, 22, 23, 24, 25, 26}));
  EXPECT_EQ(device_->CountsB(), (CashCounts{12, 13, 11, 14, 31, 32, 33, 34, 35, 36}));
  EXPECT_EQ(device_->Discrepancy(), 1);
  EXPECT_EQ(device_->SecondFlag(), 1);

  // Garbage keeps the counts that were there.
  image_->SetCounts(Text(std::string(69, 'x') + "0"));
  ASSERT_EQ(device_->ReadCountsNow(), kReplyOk);
  EXPECT_EQ(device_->CountsA()[0], 2);
}

TEST_F(ChangerDeviceTest, Krt03CountsComeInTwoAnswers) {
  Make(ModelCode::kKrt03);
  image_->On("\"00", Answer::Data(Text("001002003004005006007008009010")));
  image_->On("&00", Answer::Data(Text("101102103104105106107108109110")));
  ASSERT_EQ(device_->ReadCountsNow(), kReplyOk);
  EXPECT_EQ(device_->CountsA(), (CashCounts{7, 8, 9, 10, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(device_->CountsB(), (CashCounts{107, 108, 109, 110, 101, 102, 103, 104, 105, 106}));
  EXPECT_EQ(device_->Discrepancy(), 0);
}

// --- Stopping a running operation --------------------------------------------------------

class StopTest : public ChangerDeviceTest {
 protected:
  void SetUp() override {
    Make(ModelCode::kKrt07);
    device_->SetDepositPhase(1);
    image_->On("m06", Answer::Silence());
    image_->On("H00", Answer::Data(With(StatusOf(ModelCode::kKrt07), 1, ";")));
    // The first enquiry holds the running request until the test lets it go
    // on (Proceed), so the polling loop does not spin while the test sets up.
    line_->OnEnquiry([this] {
      first_enquiry_.wait();
      return Answer::Byte(stop_answered_.load() ? kAck : kSub);
    });
  }
  void TearDown() override { Proceed(); }
  // Waits for the first enquiry of the running request and lets it go on.
  void Proceed() {
    if (proceeded_) return;
    proceeded_ = true;
    proceed_.set_value();
  }
  bool WaitForFirstEnquiry() {
    return line_->WaitUntil([](const std::vector<LineEvent>& events) {
      return std::any_of(events.begin(), events.end(),
                         [](const LineEvent& e) { return e.kind == LineEvent::Kind::kEnquiry; });
    });
  }
  std::atomic<bool> stop_answered_{false};
  std::promise<void> proceed_;
  std::shared_future<void> first_enquiry_ = proceed_.get_future().share();
  bool proceeded_ = false;
};

TEST_F(StopTest, WaitedStopAcceptedByTheDevice) {
  image_->On("V00", [this] {
    stop_answered_ = true;
    return Answer::Byte(kAck);
  });
  EXPECT_EQ(device_->RequestStop(false), opos::OPOS_E_ILLEGAL) << "nothing runs";
  std::future<opos::OposResult> dispense = std::async(std::launch::async, [this] {
    return device_->Execute(AmountDispenseCommand(ModelCode::kKrt07, 20000, 86400000).command);
  });
  ASSERT_TRUE(WaitForFirstEnquiry());
  Proceed();
  EXPECT_EQ(device_->RequestStop(false), opos::OPOS_SUCCESS);
  EXPECT_EQ(dispense.get(), opos::OPOS_SUCCESS);
  EXPECT_EQ(device_->StopMailbox(), kStopIdle);
  EXPECT_EQ(line_->CountCommand("V00"), 1);
}

TEST_F(StopTest, WaitedStopRefusedWithBell) {
  line_->SetKrt07Code(239);
  image_->On("V00", [this] {
    stop_answered_ = true;
    return Answer::Byte(kBel);
  });
  std::future<opos::OposResult> dispense = std::async(std::launch::async, [this] {
    return device_->Execute(AmountDispenseCommand(ModelCode::kKrt07, 20000, 86400000).command);
  });
  ASSERT_TRUE(WaitForFirstEnquiry());
  Proceed();
  EXPECT_EQ(device_->RequestStop(false), opos::OposResult::Extended(239));
  dispense.get();
}

TEST_F(StopTest, AsyncStopReportsThroughAsyncResultCode) {
  image_->On("V00", [this] {
    stop_answered_ = true;
    return Answer::Byte(kAck);
  });
  ASSERT_EQ(device_->ExecuteAsync(AmountDispenseCommand(ModelCode::kKrt07, 20000, 86400000).command),
            opos::OPOS_SUCCESS);
  ASSERT_EQ(device_->RequestStop(true), opos::OPOS_SUCCESS);
  EXPECT_EQ(device_->RequestStop(true), opos::OPOS_E_ILLEGAL) << "a stop is already open";
  Proceed();
  ASSERT_TRUE(host_.WaitForPosts(1));
  // The stopped pay-out reports its end itself, through its completion: the
  // stop adds no status update 91 and no AsyncResultCode of its own.
  const auto updates = host_.StatusUpdates();
  EXPECT_EQ(std::count(updates.begin(), updates.end(), opos::CHAN_STATUS_ASYNC), 0);
  const auto posts = host_.Posts();
  ASSERT_EQ(posts.size(), 1u) << "no stop outcome of its own";
  const auto* completion = std::get_if<AsyncCompletion>(&posts[0].payload);
  EXPECT_NE(completion, nullptr) << "the pay-out's completion";
  EXPECT_EQ(device_->StopMailbox(), kStopIdle) << "reset after the request";
}

// --- Take-back question (KRT03) ------------------------------------------------------------

TEST_F(ChangerDeviceTest, ClosePortStopsTheThreadWhileATakeBackQuestionIsOpen) {
  DeviceSettings settings = FastSettings();
  settings.take_back_timeout_ms = 600000;
  Make(ModelCode::kKrt03, settings);
  device_->SetDepositPhase(1);
  std::vector<uint8_t> stalled = StatusOf(ModelCode::kKrt03);
  stalled[51] = '9';
  stalled[52] = '1';
  image_->On("i00", Answer::Data(stalled));
  image_->On("-1?", Answer::Silence());
  line_->OnEnquiry([] { return Answer::Byte(kSub); });
  const BuiltCommand take_back = TakeBackKrt03Command({}, 0);
  ASSERT_EQ(device_->ExecuteAsync(take_back.command), opos::OPOS_SUCCESS);
  ASSERT_TRUE(host_.WaitUntil([&] { return !host_.Notices(kMsgQueryTakeBackRetry).empty(); }));

  // The question waits for its answer in slices of the device's clock and
  // looks for a stop between them: once the stop is asked for, one slice
  // later the thread gives the question up and ends.
  std::thread closer([&] { device_->ClosePort(); });
  ASSERT_TRUE(testing::SpinUntil([&] { return device_->ThreadStopRequested(); }));
  ASSERT_TRUE(clock_.AwaitWaiters(1)) << "the question's wait";
  clock_.Advance(1000);
  closer.join();
  EXPECT_FALSE(device_->ThreadRunning());
  ASSERT_TRUE(host_.WaitForPosts(2));
  const auto posts = host_.Posts();
  const auto* completion = std::get_if<TakeBackCompletion>(&posts[1].payload);
  ASSERT_NE(completion, nullptr);
  EXPECT_EQ(completion->reply.status, kReplyTimeout);
  EXPECT_EQ(line_->CountCommand("E010"), 0) << "an unanswered question is no retry";
}

// A KRT03 in DirectIoMode 1 that holds a take-back it cannot finish: the
// status interpretation asks the application once and returns at once; the
// decision is carried out later, exactly once, before any other traffic, by
// whoever comes to it first.
TEST_F(ChangerDeviceTest, Krt03DirectIoModeStallIsAskedOnceAndDecidedLater) {
  constexpr int64_t kQuestionTimeMs = 10000;
  enum class Decider { kWatch, kPause, kClose };
  struct Case {
    const char* name;
    std::function<void(ChangerDevice&, events::AnswerSlot&, SteppingClock&)> meanwhile;  // before the decision
    Decider decider;
    bool retry;  // E010 and DirectIoMode kept, else "000" and DirectIoMode 0
  };
  const Case cases[] = {
      {"answered yes", [](ChangerDevice&, events::AnswerSlot& slot, SteppingClock&) { slot.Answer(1); }, Decider::kWatch, true},
      {"answered no", [](ChangerDevice&, events::AnswerSlot& slot, SteppingClock&) { slot.Answer(2); }, Decider::kWatch, false},
      {"unanswered until the time-out",
       [](ChangerDevice&, events::AnswerSlot&, SteppingClock& clock) { clock.Advance(kQuestionTimeMs); }, Decider::kWatch, false},
      {"event dropped unanswered", [](ChangerDevice&, events::AnswerSlot& slot, SteppingClock&) { slot.Abandon(); },
       Decider::kWatch, false},
      {"unanswered when the watch is paused", [](ChangerDevice&, events::AnswerSlot&, SteppingClock&) {}, Decider::kPause, false},
      {"unanswered when the port closes", [](ChangerDevice&, events::AnswerSlot&, SteppingClock&) {}, Decider::kClose, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSettings settings = FastSettings();
    settings.take_back_timeout_ms = kQuestionTimeMs;
    host_.ClearRecords();
    Make(ModelCode::kKrt03, settings);
    host_.SetDirectIoMode(1);
    const std::vector<uint8_t> normal = StatusOf(ModelCode::kKrt03);
    std::vector<uint8_t> waiting = normal;
    waiting[51] = '<';
    waiting[52] = '2';
    image_->SetStatus(waiting);
    // Either sequence ends the device's wait.
    DeviceImage* image = image_.get();
    for (const char* command : {"E010", "000"}) {
      image_->On(command, [image, normal] {
        image->SetStatus(normal);
        return Answer::Byte(kAck);
      });
    }
    // Lets the resting thread make |passes| passes: each move of the clock
    // past the watch interval wakes it, and it is resting again when a new
    // wait on the clock has begun.
    const auto let_watch_pass = [this](int passes) {
      for (int i = 0; i < passes; ++i) {
        const uint64_t seen = clock_.WaitsBegun();
        clock_.Advance(FastSettings().watch_interval_ms);
        if (!clock_.AwaitWaitBegun(seen)) return false;
      }
      return true;
    };
    ASSERT_TRUE(clock_.AwaitWaiters(1)) << "the new thread rests";

    // Asked on a clock that moves only when the test moves it: the status
    // step returns with the question open, nothing sent.
    const int64_t asked_at = clock_.NowMs();
    Status(waiting);
    Status(waiting);
    EXPECT_EQ(clock_.NowMs(), asked_at);
    EXPECT_EQ(host_.Notices(kMsgQueryTakeBackRetry), (std::vector<int32_t>{1})) << "one question while open";
    EXPECT_TRUE(line_->Commands().empty());
    const auto posts = host_.Posts();
    ASSERT_EQ(posts.size(), 1u);
    const std::shared_ptr<events::AnswerSlot> slot = std::get<DirectIoNotice>(posts[0].payload).answer;
    ASSERT_NE(slot, nullptr);

    // While it is open the watch leaves its steps out and asks nothing more.
    device_->StartWatch(0);
    ASSERT_TRUE(let_watch_pass(3));
    EXPECT_TRUE(line_->Commands().empty());
    EXPECT_EQ(host_.DirectIoMode(), 1);

    c.meanwhile(*device_, *slot, clock_);
    switch (c.decider) {
      case Decider::kWatch:
        ASSERT_TRUE(let_watch_pass(1));
        break;
      case Decider::kPause:
        device_->StopWatch();
        EXPECT_EQ(line_->Commands(), (std::vector<std::string>{"000"})) << "done when PauseWatch returns";
        device_->StartWatch(0);
        break;
      case Decider::kClose:
        device_->ClosePort();
        EXPECT_EQ(line_->Commands(), (std::vector<std::string>{"000"})) << "told to stop before the port closed";
        slot->Answer(1);  // too late: the question has ended
        ASSERT_EQ(device_->OpenPort(), 0);
        ASSERT_TRUE(clock_.AwaitWaiters(1)) << "the new thread rests";
        device_->StartWatch(0);
        break;
    }
    // The watch goes on (reading the device after the sequence); the
    // decision is not carried out again and nothing more is asked.
    ASSERT_TRUE(let_watch_pass(3));
    const std::vector<std::string> commands = line_->Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[0], c.retry ? "E010" : "000") << "before any other traffic";
    EXPECT_EQ(line_->CountCommand("E010"), c.retry ? 1 : 0);
    EXPECT_EQ(line_->CountCommand("000"), c.retry ? 0 : 1);
    EXPECT_GT(line_->CountCommand("i00"), 0) << "the watch reads the status again";
    EXPECT_EQ(host_.DirectIoMode(), c.retry ? 1 : 0);
    EXPECT_EQ(host_.Notices(kMsgQueryTakeBackRetry).size(), 1u);
    device_.reset();
  }
}

// A pause that comes while a request runs does not use the line the request
// holds: the open question is left to the thread's next watch pass.
TEST_F(ChangerDeviceTest, Krt03QuestionOpenWhenARequestRunsIsNotSettledByAPause) {
  Make(ModelCode::kKrt03);
  host_.SetDirectIoMode(1);
  std::vector<uint8_t> waiting = StatusOf(ModelCode::kKrt03);
  waiting[51] = '<';
  waiting[52] = '2';
  Status(waiting);
  const auto posts = host_.Posts();
  ASSERT_EQ(posts.size(), 1u);
  const std::shared_ptr<events::AnswerSlot> slot = std::get<DirectIoNotice>(posts[0].payload).answer;
  ASSERT_NE(slot, nullptr);

  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  image_->On("b02", [gate] {
    gate.wait();
    return Answer::Byte(kAck);
  });
  std::future<opos::OposResult> running =
      std::async(std::launch::async, [this] { return device_->Execute(ExitSelectionCommand(true, true)); });
  ASSERT_TRUE(line_->WaitForCommand("b02"));
  device_->StopWatch();
  EXPECT_EQ(line_->CountCommand("000"), 0) << "the line is the running request's";
  release.set_value();
  EXPECT_EQ(running.get(), opos::OPOS_SUCCESS);
  EXPECT_EQ(host_.DirectIoMode(), 1) << "the question is still open";

  slot->Answer(2);
  device_->StartWatch(0);
  // The mode ends once the device has taken the stop, after the command.
  ASSERT_TRUE(clock_.RunUntil([this] { return line_->CountCommand("000") > 0 && host_.DirectIoMode() == 0; },
                              FastSettings().watch_interval_ms));
  EXPECT_EQ(line_->CountCommand("000"), 1) << "the next watch pass tells the device to stop";
}

// --- Locks and waits ---------------------------------------------------------------------

TEST_F(ChangerDeviceTest, PausingTheWatchEndsTheOperationModeEnquiriesOfAStep) {
  Make(ModelCode::kKrt07);
  host_.SetOperationModeTemporary(1);
  // The device answers every enquiry at once with "not ready": the fake
  // time stands still, as if a Disable came within the loop's 20 s. It
  // becomes ready only when the test lets it.
  std::atomic<bool> released{false};
  line_->OnEnquiry([&] {
    Answer answer = Answer::Byte(released.load() ? kAck : kSub);
    answer.delay_ms = 0;
    return answer;
  });
  device_->SetPowerState(opos::OPOS_PS_OFF_OFFLINE);  // from 2000: nothing sent
  device_->StartWatch(0);                            // the step reports online: the mode is resent
  // The watch runs on the test clock: it moves past the watch interval
  // whenever the device's thread rests, until the enquiries have begun.
  ASSERT_TRUE(clock_.RunUntil(
      [this] {
        const std::vector<LineEvent> events = line_->Events();
        return std::any_of(events.begin(), events.end(),
                           [](const LineEvent& e) { return e.kind == LineEvent::Kind::kEnquiry; });
      },
      FastSettings().watch_interval_ms));
  std::future<void> pause = std::async(std::launch::async, [this] { device_->StopWatch(); });
  const bool paused = pause.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  released = true;
  pause.get();
  EXPECT_TRUE(paused) << "PauseWatch waited for the enquiry loop";
  EXPECT_EQ(line_->CountCommand("G011"), 1) << "the mode is sent when the wait ends, as after its limit";
}

// A PauseWatch (Disable, Release, Close, an operation) waits for the watch
// step under way. Each row holds a step at the first exchange of one of its
// long paths until a pause waits (or, in the run without a pause, at once),
// then lets the device answer. With a pause waiting the step ends once that
// exchange is done: the pause waits for it alone, in fake time. Without a
// pause the path runs to its end as it always did, and its length is what
// a pause had to wait for before.
TEST(WatchPauseTest, APauseWaitsOnlyForTheExchangeUnderWay) {
  struct Row {
    const char* path;
    DeviceSettings settings;
    int32_t error_count;  // the step's start, through ResumeWatch
    std::string gate;     // the path's first command, held
    Answer answer;        // the device's answer to it (and to its repeats)
    std::vector<std::string> whole;  // commands from the gate on, without a pause
    int64_t whole_ms;                // fake time from the gate on, without a pause
    int64_t cut_ms;                  // the same with a pause: the gate's exchange
    int32_t cut_error_count;         // the error count after the step with a pause
  };
  DeviceSettings negotiating = FastSettings();
  negotiating.auto_negotiation = 1;
  std::vector<uint8_t> name(28, ' ');
  const std::string krt07 = "KRT07A ";
  std::copy(krt07.begin(), krt07.end(), name.begin() + 20);
  Answer status = Answer::Data(StatusOf(ModelCode::kKrt07));
  Answer silence = Answer::Silence();
  const std::vector<Row> rows = {
      // Three model reads at 500 ms that nothing answers.
      {"recovery detection", negotiating, 1, ":00", silence, {":00", ":00", ":00"}, 1500, 500, 1},
      // A pending exit setting, the counts, the history step (a 3000 ms
      // record read left unanswered) and the operation mode resent as the
      // device is reported back.
      {"reads after the status", FastSettings(), 0, "H00", status, {"H00", "Q062", "\"00", "s09", "G011"}, 3005, 1, 0},
      {"history step", FastSettings(), 0, "s09", silence, {"s09", "G011"}, 3002, 3000, 0},
      {"model-name check", FastSettings(), 4, ":00", Answer::Data(name), {":00"}, 1, 1, 0},
  };
  for (const Row& row : rows) {
    for (const bool pausing : {true, false}) {
      SCOPED_TRACE(std::string(row.path) + (pausing ? ", pause waiting" : ", no pause"));
      SteppingClock clock;
      FakeChangerHost host;
      testing::TempDir dir;
      diag::ExamLog exam;
      exam.SetClock(clock);
      exam.SetFileName(dir.file("ExamlogS.txt"));
      DeviceImage image(ModelCode::kKrt07);
      auto owned_line = std::make_unique<ScriptedLine>(clock, ModelCode::kKrt07);
      ScriptedLine& line = *owned_line;
      line.OnFrame([&image](const std::vector<uint8_t>& command) { return image.Respond(command); });
      line.OnEnquiry([] { return Answer::Byte(kAck); });
      line.SetDetectionReads(3);
      ChangerDevice device(host, host.deposit, host.switches, row.settings, std::move(owned_line), clock, &exam);
      ASSERT_EQ(device.OpenPort(), 0);

      image.On("s09", Answer::Silence());
      std::atomic<bool> at_gate{false};
      std::promise<void> opened;
      std::shared_future<void> open = opened.get_future().share();
      image.On(row.gate, [&at_gate, open, answer = row.answer] {
        if (!at_gate.exchange(true)) open.wait();
        return answer;
      });
      host.SetOperationModeTemporary(1);
      device.SetPowerState(opos::OPOS_PS_OFF_OFFLINE);  // coming back resends the mode
      device.SetExitSettingValues({0, 0, 0, 0, 0});
      device.SetExitSettingPending(true);
      device.SetHistoryFetchEnabled(true);
      device.SetHistoryStep([&device] {
        static const std::vector<uint8_t> record_read = {0x11, 's', '0', '9', '1', '0', '0', '5', '6', '0', '4', '5', '4'};
        device.ExchangeNow(record_read, 3000);
        return 0;
      });

      // The clock moves on whenever the thread rests in its idle wait, until
      // a step, running on the fake line's time, is held at the gate.
      device.StartWatch(row.error_count);
      ASSERT_TRUE(testing::SpinUntil([&] {
        if (at_gate.load()) return true;
        if (clock.Waiters() > 0) clock.Advance(FastSettings().watch_interval_ms);
        return false;
      }));
      const size_t before_gate = line.Commands().size() - 1;

      std::future<void> pause;
      if (pausing) {
        pause = std::async(std::launch::async, [&device] { device.StopWatch(); });
        ASSERT_TRUE(testing::SpinUntil([&] { return device.WatchPauseWaiting(); }));
      }
      const int64_t start = clock.NowMs();
      opened.set_value();
      if (pausing) {
        ASSERT_EQ(pause.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "PauseWatch still waits";
      } else {
        // The step is over when the thread rests in its idle wait again.
        ASSERT_TRUE(testing::SpinUntil([&] { return clock.Waiters() > 0; }));
      }
      const int64_t waited = clock.NowMs() - start;
      if (!pausing) device.StopWatch();

      const std::vector<std::string> all = line.Commands();
      // Each command as far as the row names it (without its parameters).
      const std::vector<std::string>& named = pausing ? std::vector<std::string>{row.gate} : row.whole;
      std::vector<std::string> made;
      for (size_t i = before_gate; i < all.size(); ++i) {
        const size_t k = i - before_gate;
        made.push_back(k < named.size() ? all[i].substr(0, named[k].size()) : all[i]);
      }
      const bool recovery = row.settings.auto_negotiation != 0;
      const std::vector<std::string> records = testing::ExamRecords(dir.file("ExamlogS.txt"));
      if (pausing) {
        EXPECT_EQ(waited, row.cut_ms);
        EXPECT_EQ(made, named);
        // Unfinished: nothing of the step's outcome is recorded, so a later
        // step starts the path again (the model-name check, one exchange,
        // is not cut).
        EXPECT_EQ(device.WatchErrorCount(), row.cut_error_count);
        EXPECT_EQ(device.Recovering(), recovery);
        EXPECT_EQ(device.PowerState(), opos::OPOS_PS_OFF_OFFLINE);
        EXPECT_TRUE(device.ExitSettingPending() || row.gate != "H00");
        EXPECT_EQ(records, (recovery ? std::vector<std::string>{"7,3,0,0"} : std::vector<std::string>{}));
      } else {
        EXPECT_EQ(waited, row.whole_ms);
        EXPECT_EQ(made, named);
        EXPECT_EQ(device.WatchErrorCount(), 0);
        EXPECT_FALSE(device.Recovering());
        EXPECT_EQ(records, (recovery ? std::vector<std::string>{"7,3,0,0", "7,1,0,0"} : std::vector<std::string>{}));
        if (row.error_count == 0) {
          EXPECT_EQ(device.PowerState(), opos::OPOS_PS_ONLINE);
          EXPECT_FALSE(device.ExitSettingPending());
        }
      }
      device.ClosePort();
    }
  }
}

// --- Offline and back, through the host --------------------------------------------------

TEST_F(ChangerDeviceTest, UnpluggedDeviceGoesOfflineAndComesBack) {
  Make(ModelCode::kKrt07);
  image_->On(":00", [] {
    std::vector<uint8_t> name(28, ' ');
    const std::string text = "KRT07A ";
    std::copy(text.begin(), text.end(), name.begin() + 20);
    return Answer::Data(name);
  });
  host_.SetPowerNotify(1);
  line_->OnEnquiry([] { return Answer::Byte(kAck); });
  // The watch runs on the test clock: whenever the device's thread rests,
  // the clock moves past the watch interval.
  const auto reported = [this](int32_t value) {
    return clock_.RunUntil(
        [&] {
          const std::vector<int32_t> updates = host_.StatusUpdates();
          return std::find(updates.begin(), updates.end(), value) != updates.end();
        },
        FastSettings().watch_interval_ms);
  };
  device_->StartWatch(0);
  ASSERT_TRUE(reported(opos::OPOS_PS_ONLINE));
  line_->SetUnplugged(true);
  ASSERT_TRUE(reported(opos::OPOS_PS_OFF_OFFLINE));
  line_->SetUnplugged(false);
  host_.ClearRecords();
  ASSERT_TRUE(reported(opos::OPOS_PS_ONLINE));
  device_->StopWatch();
  EXPECT_EQ(device_->PowerState(), opos::OPOS_PS_ONLINE);
}

}  // namespace
}  // namespace vexokrt
