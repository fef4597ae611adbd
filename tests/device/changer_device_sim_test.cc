// SPDX-License-Identifier: Apache-2.0
// The device layer over the real serial link against the simulated cash
// changer on a pseudo-terminal, in real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "device/changer_device.h"
#include "diag/trace_log.h"
#include "link/serial_link.h"
#include "service/opos.h"
#include "sim/simulator.h"
#include "support/fake_changer_host.h"

namespace vexokrt {
namespace {

using testing::FakeChangerHost;

class DeviceOnSimulatorTest : public ::testing::Test {
 protected:
  void Start(sim::Model model, DeviceSettings settings = {}) {
    sim::EngineOptions options;
    options.model = model;
    options.durations.dispense_ms = 800;  // longer than the first 500 ms: answered by polling
    sim_ = std::make_unique<sim::Simulator>(options);
    const sim::StartResult started = sim_->Start();
    ASSERT_TRUE(started.ok) << started.error;
    device_ = std::make_unique<ChangerDevice>(host_, host_.deposit, host_.switches, settings, MakeSerialLine(trace_, sim_->SlavePath(), "9600,E,8,1"));
    ASSERT_EQ(device_->OpenPort(), 0);
    ASSERT_TRUE(device_->DetectModel().ready());
  }

  static DeviceSettings Watching(int32_t interval_ms) {
    DeviceSettings settings;
    settings.watch_interval_ms = interval_ms;
    return settings;
  }

  int Enquiries() {
    const auto frames = sim_->Engine().ReceivedFrames();
    return static_cast<int>(std::count_if(frames.begin(), frames.end(), [](const sim::ReceivedFrame& f) {
      return f.kind == sim::ReceivedFrame::Kind::kEnquiry;
    }));
  }

  diag::TraceLog trace_;
  FakeChangerHost host_;
  std::unique_ptr<sim::Simulator> sim_;
  std::unique_ptr<ChangerDevice> device_;
};

TEST_F(DeviceOnSimulatorTest, Krt07WaitedChangeSucceedsAfterSubPolling) {
  Start(sim::Model::kKrt07);
  ASSERT_EQ(device_->Model(), ModelCode::kKrt07);
  sim_->Engine().ClearReceivedFrames();
  device_->StopWatch();
  device_->SetDepositPhase(1);
  const BuiltCommand change = ChangeCommand(device_->Model(), 1500, 86400000);
  ASSERT_TRUE(change.ok());
  EXPECT_EQ(device_->Execute(change.command), opos::OPOS_SUCCESS);
  const auto bodies = sim_->Engine().CommandBodies();
  ASSERT_FALSE(bodies.empty());
  EXPECT_EQ(std::string(bodies[0].begin() + 1, bodies[0].end()), "!06001500");
  EXPECT_GT(Enquiries(), 0) << "the device was polled while it answered SUB";
  EXPECT_FALSE(device_->Busy());
}

TEST_F(DeviceOnSimulatorTest, PayoutWaitedWithoutEnquiries_NeverHearsTheEnd) {
  // The device ends a long action only when asked: a pay-out queued with the
  // plain wait style (read again, no ENQ) gets no answer at all, while the
  // same pay-out with enquiry polling completes.
  struct Case {
    WaitStyle style;
    int32_t result;
    bool polled;
  };
  Start(sim::Model::kKrt07);
  device_->StopWatch();
  device_->SetDepositPhase(1);
  for (const Case& c : {Case{WaitStyle::kNone, opos::OPOS_E_NOHARDWARE, false},
                        Case{WaitStyle::kBusy, opos::OPOS_SUCCESS, true}}) {
    SCOPED_TRACE(static_cast<int>(c.style));
    sim_->Engine().ClearReceivedFrames();
    BuiltCommand change = ChangeCommand(device_->Model(), 1500, 2500);  // well past the 800 ms pay-out
    ASSERT_TRUE(change.ok());
    ASSERT_EQ(change.command.style, WaitStyle::kBusy);
    change.command.style = c.style;
    EXPECT_EQ(device_->Execute(change.command), c.result);
    EXPECT_EQ(Enquiries() > 0, c.polled);
  }
}

TEST_F(DeviceOnSimulatorTest, JamIsReportedOnTheNextWatchStepAndItsEndToo) {
  Start(sim::Model::kKrt07, Watching(20));
  host_.SetPowerNotify(1);
  device_->StartWatch(0);
  ASSERT_TRUE(host_.WaitForStatusUpdate(opos::OPOS_PS_ONLINE));
  ASSERT_TRUE(device_->StatusKept());
  host_.ClearRecords();
  sim_->Engine().SetJam(true);
  ASSERT_TRUE(host_.WaitForStatusUpdate(opos::CHAN_STATUS_JAM));
  EXPECT_EQ(device_->DeviceStatus(), opos::CHAN_STATUS_JAM);
  sim_->Engine().SetJam(false);
  ASSERT_TRUE(host_.WaitForStatusUpdate(opos::CHAN_STATUS_JAMOK));
  device_->StopWatch();
  const auto updates = host_.StatusUpdates();
  EXPECT_EQ(std::count(updates.begin(), updates.end(), opos::CHAN_STATUS_JAM), 1);
  EXPECT_NE(device_->DeviceStatus(), opos::CHAN_STATUS_JAM);
}

TEST_F(DeviceOnSimulatorTest, UnpluggedGoesOfflineAfterFourFailedStepsAndReplugComesBack) {
  Start(sim::Model::kKrt07, Watching(20));
  host_.SetPowerNotify(1);
  device_->StartWatch(0);
  ASSERT_TRUE(host_.WaitForStatusUpdate(opos::OPOS_PS_ONLINE));
  sim_->Engine().SetUnplugged(true);
  ASSERT_TRUE(host_.WaitForStatusUpdate(opos::OPOS_PS_OFF_OFFLINE, 15000));
  EXPECT_GE(device_->WatchErrorCount(), 4);
  host_.ClearRecords();
  sim_->Engine().SetUnplugged(false);
  ASSERT_TRUE(host_.WaitForStatusUpdate(opos::OPOS_PS_ONLINE, 15000));
  device_->StopWatch();
  EXPECT_EQ(device_->PowerState(), opos::OPOS_PS_ONLINE);
  EXPECT_EQ(device_->WatchErrorCount(), 0);
}

TEST_F(DeviceOnSimulatorTest, CancelCarriesTheDeviceErrorNumber) {
  Start(sim::Model::kKrt07);
  device_->StopWatch();
  device_->SetDepositPhase(1);
  sim_->Engine().SetJam(true, 0x1234);
  sim_->Engine().InjectFault(sim::Fault{sim::FaultKind::kAnswerCan, 1, 'b', 0});
  EXPECT_EQ(device_->Execute(ExitSelectionCommand(true, true)), opos::OposResult::Extended(4660));
}

TEST_F(DeviceOnSimulatorTest, EmOnKrt07IsNotPossibleNow) {
  Start(sim::Model::kKrt07);
  device_->StopWatch();
  device_->SetDepositPhase(1);
  sim_->Engine().InjectFault(sim::Fault{sim::FaultKind::kAnswerEm, 1, '!', 0});
  EXPECT_EQ(device_->Execute(ChangeCommand(ModelCode::kKrt07, 1500, 60000).command), opos::OposResult::Extended(201));
}

TEST_F(DeviceOnSimulatorTest, GarbledStatusAnswersAreSingleFailures) {
  Start(sim::Model::kKrt07, Watching(20));
  host_.SetPowerNotify(1);
  device_->StartWatch(0);
  ASSERT_TRUE(host_.WaitForStatusUpdate(opos::OPOS_PS_ONLINE));
  sim_->Engine().InjectFault(sim::Fault{sim::FaultKind::kCorruptBcc, 1, 'H', 0});
  sim_->Engine().InjectFault(sim::Fault{sim::FaultKind::kWrongFirstByte, 1, 'H', 0});
  sim_->Engine().InjectFault(sim::Fault{sim::FaultKind::kTruncatedFrame, 1, 'H', 0});
  sim_->Engine().ClearReceivedFrames();
  // Enough steps for the three faults and good steps after them.
  ASSERT_TRUE(sim_->Engine().WaitForFrames(12, std::chrono::seconds(10)));
  device_->StopWatch();
  const auto updates = host_.StatusUpdates();
  EXPECT_EQ(std::count(updates.begin(), updates.end(), opos::OPOS_PS_OFF_OFFLINE), 0);
  EXPECT_EQ(device_->PowerState(), opos::OPOS_PS_ONLINE);
  EXPECT_LT(device_->WatchErrorCount(), 4);
}

}  // namespace
}  // namespace vexokrt
