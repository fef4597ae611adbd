// SPDX-License-Identifier: Apache-2.0
// Events from the device and from the service object's own threads reaching
// the Control Object: only on the application's thread while it pumps, in
// order, gated by FreezeEvents, the Control Object's freeze and
// DataEventEnabled; and the window's completion handlers.
#include <thread>

#include "device/changer_host.h"
#include "events/event_record.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "simulated_service.h"

namespace vexokrt::testing {
namespace {

using namespace opos;
namespace pidx = service::pidx;
using platform::Variant;

class ServiceEventsTest : public SimulatedServiceTest {
 protected:
  // Open, claimed and enabled, with data events allowed off.
  ServiceDriver& Ready(sim::Model model = sim::Model::kKrt07) {
    StartDevice(model);
    ServiceDriver& d = NewDriver();
    EXPECT_EQ(d.Open(), OPOS_SUCCESS);
    EXPECT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS);
    EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
    return d;
  }
  static std::vector<FiredEvent> StatusEvents(const ServiceDriver& d) {
    std::vector<FiredEvent> status;
    for (const FiredEvent& e : d.control_object().events()) {
      if (e.member == "SOStatusUpdate") status.push_back(e);
    }
    return status;
  }
};

FiredEvent Status(int32_t number) { return FiredEvent{"SOStatusUpdate", number, 0, ""}; }

TEST_F(ServiceEventsTest, ApplicationThatNeverPumps_GetsNothingAndTheDeviceGoesOn) {
  ServiceDriver& d = Ready();
  machine().SetJam(true);
  // The watch keeps reading the device: the jam shows in the property.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (d.Get(pidx::kDeviceStatus) != CHAN_STATUS_JAM && std::chrono::steady_clock::now() < until) {
    ASSERT_TRUE(machine().WaitForFrames(machine().FramesReceived() + 1, std::chrono::milliseconds(500)));
  }
  EXPECT_EQ(d.Get(pidx::kDeviceStatus), CHAN_STATUS_JAM);
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_JAM);
  EXPECT_TRUE(d.control_object().events().empty()) << "nothing fires without pumping";
  // A dispatch call still answers while events wait.
  EXPECT_EQ(d.Set(pidx::kCurrentExit, 1), OPOS_SUCCESS);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAM));
}

TEST_F(ServiceEventsTest, StatusUpdates_ArriveInOrderOnTheApplicationThread) {
  ServiceDriver& d = Ready();
  std::vector<std::thread::id> threads;
  d.control_object().SetOnEvent([&](const FiredEvent&) { threads.push_back(std::this_thread::get_id()); });
  sim::CashCounts low = machine().Stock();
  const sim::CashCounts full = low;
  low[4] = 2;  // 100 yen
  machine().SetStock(low);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_NEAREMPTY));
  machine().SetStock(full);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_EMPTYOK));
  machine().SetJam(true);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAM));
  machine().SetJam(false);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAMOK));
  EXPECT_EQ(StatusEvents(d), (std::vector<FiredEvent>{Status(12), Status(13), Status(31), Status(32)}));
  for (const auto& id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(ServiceEventsTest, FreezeEvents_HoldsEveryEventAndReleasesThemInOrder) {
  ServiceDriver& d = Ready();
  ASSERT_EQ(d.Set(pidx::kFreezeEvents, 1), OPOS_SUCCESS);
  d.so().QueueStatusUpdate(12);
  d.so().QueueStatusUpdate(31);
  d.so().QueueDirectIoEvent(3, 1, "r");
  EXPECT_FALSE(d.PumpUntil([&] { return !d.control_object().events().empty(); }, 200));
  ASSERT_EQ(d.Set(pidx::kFreezeEvents, 0), OPOS_SUCCESS);
  ASSERT_TRUE(d.PumpUntil([&] { return d.control_object().events().size() == 3; }));
  EXPECT_EQ(d.control_object().events(),
            (std::vector<FiredEvent>{Status(12), Status(31), FiredEvent{"SODirectIO", 3, 1, "r"}}));
}

TEST_F(ServiceEventsTest, ControlObjectFreeze_BlocksLikeFreezeEventsButIsNoProperty) {
  ServiceDriver& d = Ready();
  ASSERT_EQ(d.Call("COFreezeEvents", {Variant::Bool(true)}), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kFreezeEvents), 0);
  d.so().QueueStatusUpdate(22);
  EXPECT_FALSE(d.PumpUntil([&] { return !d.control_object().events().empty(); }, 200));
  ASSERT_EQ(d.Call("COFreezeEvents", {Variant::Bool(false)}), OPOS_SUCCESS);
  ASSERT_TRUE(d.AwaitStatus(22));
}

TEST_F(ServiceEventsTest, DataEvents_WaitForDataEventEnabledAndAreOvertaken) {
  ServiceDriver& d = Ready();
  DispenseRecord counts;
  counts.slot[3] = 2;
  d.so().QueueDataEvent(counts);
  d.so().QueueStatusUpdate(21);
  d.so().QueueDataEvent(counts);
  ASSERT_TRUE(d.AwaitStatus(21)) << "the status update overtakes the data events";
  EXPECT_EQ(d.Get(pidx::kDataCount), 2) << "only data events are counted";
  ASSERT_EQ(d.Set(pidx::kDataEventEnabled, 1), OPOS_SUCCESS);
  ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }));
  EXPECT_EQ(d.Get(pidx::kDataEventEnabled), 0) << "firing a data event clears it";
  EXPECT_FALSE(d.PumpUntil([&] { return d.Get(pidx::kDataCount) == 0; }, 100)) << "one at a time";
  EXPECT_EQ(d.Get(pidx::kDataCount), 1);

  // Disabling drops data events, not status updates.
  ASSERT_EQ(d.Set(pidx::kFreezeEvents, 1), OPOS_SUCCESS);
  d.so().QueueStatusUpdate(23);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kDataCount), 0);
  ASSERT_EQ(d.Set(pidx::kFreezeEvents, 0), OPOS_SUCCESS);
  ASSERT_TRUE(d.AwaitStatus(23));
}

TEST_F(ServiceEventsTest, DirectIoQuestion_GetsTheApplicationsAnswer) {
  ServiceDriver& d = Ready();
  d.control_object().SetDirectIoAnswer([](const FiredEvent& e) { return e.text == "yes" ? 1 : 5; });
  auto yes = std::make_shared<events::AnswerSlot>();
  auto no = std::make_shared<events::AnswerSlot>();
  auto notice = std::make_shared<events::AnswerSlot>();
  d.so().events().Queue(events::EventRecord::DirectIO(1, 1, "yes", yes));
  d.so().events().Queue(events::EventRecord::DirectIO(1, 1, "no", no));
  d.so().events().Queue(events::EventRecord::DirectIO(4, 1, "yes", notice));
  ASSERT_TRUE(d.PumpUntil([&] { return d.control_object().events().size() == 3; }));
  EXPECT_EQ(yes->Value(), 1);
  EXPECT_EQ(no->Value(), 2);
  EXPECT_EQ(notice->Value(), 0) << "notifications 2 to 8 are not answered";
  EXPECT_TRUE(notice->abandoned()) << "a waiter on it is not left hanging";
}

TEST_F(ServiceEventsTest, HandlersMayCallBackIntoTheServiceObject) {
  ServiceDriver& d = Ready();
  std::vector<int32_t> seen;
  d.control_object().SetOnEvent([&](const FiredEvent&) {
    seen.push_back(d.Get(pidx::kDeviceStatus));
    d.Set(pidx::kFreezeEvents, 1);  // the next event waits
  });
  d.so().QueueStatusUpdate(12);
  d.so().QueueStatusUpdate(13);
  ASSERT_TRUE(d.AwaitStatus(12));
  EXPECT_FALSE(d.PumpUntil([&] { return d.HasEvent("SOStatusUpdate", 13); }, 150));
  d.control_object().SetOnEvent({});
  ASSERT_EQ(d.Set(pidx::kFreezeEvents, 0), OPOS_SUCCESS);
  ASSERT_TRUE(d.AwaitStatus(13));
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(ServiceEventsTest, AsynchronousCompletion_SetsAsyncResultsAndReports91) {
  ServiceDriver& d = Ready(sim::Model::kKrt07);
  const auto complete = [&](DeviceReply reply) {
    d.control_object().Clear();
    d.so().PostToWindow(kMsgAsyncMethodCallComplete, AsyncCompletion{std::move(reply), 0});
    return d.AwaitStatus(CHAN_STATUS_ASYNC);
  };
  DeviceReply em;
  em.answerByte = kEm;
  ASSERT_TRUE(complete(em));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_E_EXTENDED);
  EXPECT_EQ(d.Get(pidx::kAsyncResultCodeExtended), 201);
  DeviceReply timeout;
  timeout.status = kReplyTimeout;
  ASSERT_TRUE(complete(timeout));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_E_NOHARDWARE);
  DeviceReply dc3;
  dc3.answerByte = kDc3;
  ASSERT_TRUE(complete(dc3));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_SUCCESS);
  DeviceReply cancelled;
  cancelled.answerByte = kCan;
  cancelled.cancelled = 1;
  cancelled.cancelDetail = 0x1234;
  ASSERT_TRUE(complete(cancelled));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_E_EXTENDED);
  EXPECT_EQ(d.Get(pidx::kAsyncResultCodeExtended), 0x1234);

  // Take-back: DC4 is no success there, and EM has no case of its own.
  d.control_object().Clear();
  DeviceReply dc4;
  dc4.answerByte = kDc4;
  d.so().PostToWindow(kMsgTakeBackComplete, TakeBackCompletion{dc4, "1:0"});
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_ASYNC));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_E_FAILURE);

  d.control_object().Clear();
  d.so().PostToWindow(kMsgOutputLogComplete, LogOutputCompletion{OPOS_E_TIMEOUT, 0});
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_ASYNC));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_E_TIMEOUT);
}

TEST_F(ServiceEventsTest, Krt02AsynchronousAnswers_FollowTheirOwnTable) {
  ServiceDriver& d = Ready(sim::Model::kKrt02FA);
  DeviceReply dc3;
  dc3.answerByte = kDc3;
  d.so().PostToWindow(kMsgAsyncMethodCallComplete, AsyncCompletion{dc3, 0});
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_ASYNC));
  EXPECT_EQ(d.Get(pidx::kAsyncResultCode), OPOS_E_FAILURE);
}

TEST_F(ServiceEventsTest, Notifications_AreQueuedAsDirectIoEvents) {
  ServiceDriver& d = Ready();
  d.so().PostToWindow(kMsgHappenReject, DirectIoNotice{3, 1, "", nullptr});
  d.so().PostToWindow(kMsgHappenCaset, DirectIoNotice{4, 1, "", nullptr});
  ASSERT_TRUE(d.PumpUntil([&] { return d.control_object().events().size() >= 2; }));
  EXPECT_EQ(d.control_object().events()[0], (FiredEvent{"SODirectIO", 3, 1, ""}));
  EXPECT_EQ(d.control_object().events()[1], (FiredEvent{"SODirectIO", 4, 1, ""}));

  // The device layer's take-back question is answered through the same slot
  // it waits on.
  auto retry = std::make_shared<events::AnswerSlot>();
  d.so().PostToWindow(kMsgQueryTakeBackRetry, DirectIoNotice{1, 1, "", retry});
  EXPECT_EQ(retry->Value(), 0) << "not before the application pumps";
  ASSERT_TRUE(d.PumpUntil([&] { return retry->Value() != 0; }));
  EXPECT_EQ(retry->Value(), 1) << "the handler left pData at 1";
}

TEST_F(ServiceEventsTest, PowerNotify_ReportsOnlineAtEnableAndStateFollowsTheSetting) {
  StartDevice();
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kPowerState), OPOS_PS_UNKNOWN) << "PowerNotify 0: whatever the device reports";
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kPowerNotify, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kPowerState), OPOS_PS_ONLINE);
  ASSERT_TRUE(d.AwaitStatus(OPOS_PS_ONLINE));
}

}  // namespace
}  // namespace vexokrt::testing
