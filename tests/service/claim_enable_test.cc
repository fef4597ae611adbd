// SPDX-License-Identifier: Apache-2.0
// Claim, release and enabling against the simulated cash changer, through the
// dispatch interface as the Control Object uses it.
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "device/changer_device.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/named_lock.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "sim/control_script.h"
#include "simulated_service.h"
#include "support/spin_until.h"

namespace vexokrt::service {
// Reaches the settings record, which the object only shows read-only.
struct CashChangerTestPeer {
  static config::DeviceConfig& Config(CCashChanger& so) { return so.config_; }
};
}  // namespace vexokrt::service

namespace vexokrt::testing {
namespace {

using namespace opos;
namespace pidx = service::pidx;
using platform::Variant;

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST_F(SimulatedServiceTest, Krt07Claim_BringsTheDeviceToAKnownStateAndSetsItsProperties) {
  StartDevice(sim::Model::kKrt07);
  Set("OperationMode_Initialize", "3");
  ASSERT_EQ(platform::RegSetString(platform::RegRoot::kCurrentUser, key_, "OperationMode_Initialize", "3"),
            platform::RegResult::kOk);
  Set("PauseDepositSet", "1");
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_EQ(d.GetString(pidx::kDeviceName), "");

  ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS);
  const auto commands = TakeCommands();
  EXPECT_TRUE(HasCommand(commands, "o00")) << "deposit counts";
  EXPECT_TRUE(HasCommandStarting(commands, "r0>")) << "clock to the second";
  EXPECT_TRUE(HasCommand(commands, "G013")) << "operation mode";
  EXPECT_FALSE(HasCommandStarting(commands, "Q06")) << "the exit setting waits for enabling";
  EXPECT_EQ(machine().DeviceClockText().size(), 14u);

  EXPECT_EQ(d.Get(pidx::kClaimed), 1);
  EXPECT_EQ(d.GetString(pidx::kDeviceName), "KRT07");
  EXPECT_EQ(d.GetString(pidx::kDeviceDescription), "Vexo Cash Changer KRT07");
  EXPECT_EQ(d.Get(pidx::kCapDeposit), 1);
  EXPECT_EQ(d.Get(pidx::kCapPauseDeposit), 1);
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_END);
  EXPECT_EQ(d.GetString(pidx::kDepositCodeList), "JPY");
  EXPECT_EQ(d.GetString(pidx::kDepositCounts), "1:0,5:0,10:0,50:0,100:0,500:0;1000:0,2000:0,5000:0,10000:0");
  std::string mode;
  EXPECT_EQ(platform::RegQueryString(platform::RegRoot::kCurrentUser, key_, "OperationMode_Temporary", &mode),
            platform::RegResult::kOk);
  EXPECT_EQ(mode, "3");

  // Claiming again does nothing.
  EXPECT_EQ(d.Call("Claim", {Variant::Long(0)}), OPOS_SUCCESS);
  EXPECT_TRUE(TakeCommands().empty());

  const auto records = ExamRecords(dir_.file("ExamlogS.txt"));
  ASSERT_GE(records.size(), 5u);
  EXPECT_TRUE(Contains(records, "1,3,0,0"));
  EXPECT_TRUE(Contains(records, "5,1,0,0")) << "history fetch enabled";
  EXPECT_EQ(records.back(), "1,103,0,0") << "the second claim's exit";
}

TEST_F(SimulatedServiceTest, ReleaseWhileEnabled_DisablesAndLeavesTheReleasedValues) {
  StartDevice(sim::Model::kKrt77);
  Set("DefaultCurrentExit", "3");
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kCurrentExit), 3);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kPowerNotify, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDataEventEnabled, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kAsyncMode, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kBinaryConversion, 2), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kPowerState), OPOS_PS_ONLINE);

  ASSERT_EQ(d.Call("Release"), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kClaimed), 0);
  EXPECT_EQ(d.Get(pidx::kDeviceEnabled), 0);
  EXPECT_EQ(d.Get(pidx::kPowerState), OPOS_PS_UNKNOWN);
  EXPECT_EQ(d.Get(pidx::kCurrentExit), 1) << "not DefaultCurrentExit";
  EXPECT_EQ(d.Get(pidx::kDeviceExits), 7);
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_NONE);
  for (int32_t index : {pidx::kPowerNotify, pidx::kDataEventEnabled, pidx::kAsyncMode, pidx::kBinaryConversion,
                        pidx::kCapDeposit, pidx::kCapRepayDeposit, pidx::kDepositAmount}) {
    EXPECT_EQ(d.Get(index), 0) << index;
  }
  for (int32_t index : {pidx::kDeviceName, pidx::kDeviceDescription, pidx::kDepositCodeList, pidx::kDepositCounts}) {
    EXPECT_EQ(d.GetString(index), "") << index;
  }
  const std::string trace = platform::Cp932ToUtf8(ReadFileBytes(dir_.file("trace") + d.TraceDay()));
  EXPECT_NE(trace.find("Enter   : CCashChanger::DoDeviceEnabled\n"), std::string::npos);
  EXPECT_NE(trace.find("Enter   : CCashChanger::ReleaseDevice\n"), std::string::npos);
  EXPECT_EQ(d.Call("Release"), OPOS_E_ILLEGAL) << "not claimed any more";
  EXPECT_FALSE(d.so().claim_semaphore().held());
}

TEST_F(SimulatedServiceTest, CloseWhileClaimed_ReleasesFirst) {
  StartDevice();
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
  EXPECT_FALSE(d.so().claimed());
  EXPECT_FALSE(d.so().claim_semaphore().held());
  EXPECT_EQ(d.so().device(), nullptr);
  EXPECT_EQ(d.Get(pidx::kState), OPOS_S_CLOSED);
  // Another object can claim the device now, and at once.
  ServiceDriver& other = NewDriver();
  ASSERT_EQ(other.Open(), OPOS_SUCCESS);
  EXPECT_EQ(other.Call("Claim", {Variant::Long(0)}), OPOS_SUCCESS);
}

TEST_F(SimulatedServiceTest, BusyObject_RefusesEnableDisableReleaseAndClose) {
  StartDevice();
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  // The state a request in flight leaves.
  d.so().SetState(OPOS_S_BUSY);
  EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_E_BUSY) << "re-enable";
  EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_E_BUSY) << "disable";
  EXPECT_EQ(d.Call("Release"), OPOS_E_BUSY);
  EXPECT_EQ(d.Call("Close"), OPOS_E_BUSY);
  EXPECT_EQ(d.Get(pidx::kDeviceEnabled), 1);
  d.so().SetState(OPOS_S_IDLE);
  sim::ActionDurations quick = machine().Durations();
  quick.reset_ms = 50;
  machine().SetDurations(quick);
  TakeCommands();
  EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS) << "re-enable resets the device";
  EXPECT_TRUE(HasCommand(TakeCommands(), "000"));
}

TEST_F(SimulatedServiceTest, Enabling_SendsTheExitSettingOfPage2AndTheExitSelection) {
  StartDevice(sim::Model::kKrt07);
  Set("OperatingConditionSettingData1", "1");
  Set("OperatingConditionSettingData2", "7");  // not allowed: 4 is sent
  Set("OperatingConditionSettingData3", "1");
  Set("OperatingConditionSettingData4", "9");  // never sent when enabling
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_E_NOTCLAIMED);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
  TakeCommands();
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  const auto commands = TakeCommands();
  EXPECT_TRUE(HasCommand(commands, "Q06214100")) << ::testing::PrintToString(commands);
  EXPECT_TRUE(HasCommand(commands, "b0200")) << "both sides in use at exit 1";
  EXPECT_TRUE(HasCommandStarting(commands, ":00")) << "the model is read again";
  EXPECT_FALSE(HasCommand(commands, "000")) << "no reset on the first enable";
  // Disabling pauses the watch: the machine hears nothing more.
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS);
  TakeCommands();
  EXPECT_FALSE(machine().WaitForFrames(1, std::chrono::milliseconds(150)));
  EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS) << "disabling twice is fine";
}

// Every enable, first or again, marks the settings as in use.
TEST_F(SimulatedServiceTest, EveryEnable_SetsTheWorkingFlagOfTheSettings) {
  StartDevice(sim::Model::kKrt07);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
  int32_t& flag = service::CashChangerTestPeer::Config(d.so()).working_flag;
  for (const char* step : {"first enable", "enable again"}) {
    flag = 0;
    ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS) << step;
    EXPECT_EQ(d.so().config().working_flag, 1) << step;
  }
}

TEST_F(SimulatedServiceTest, SettersCheckClaimEnableAndRange) {
  StartDevice(sim::Model::kKrt07);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  // Before the claim.
  EXPECT_EQ(d.Set(pidx::kFreezeEvents, 1), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(d.Get(pidx::kFreezeEvents), 0);
  EXPECT_EQ(d.Set(pidx::kPowerNotify, 1), OPOS_E_NOTCLAIMED);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
  // Claimed, not enabled.
  EXPECT_EQ(d.Set(pidx::kDataEventEnabled, 1), OPOS_E_DISABLED);
  EXPECT_EQ(d.Set(pidx::kAsyncMode, 1), OPOS_E_DISABLED);
  EXPECT_EQ(d.Set(pidx::kBinaryConversion, 1), OPOS_E_DISABLED);
  EXPECT_EQ(d.SetString(pidx::kCurrencyCode, "JPY"), OPOS_E_DISABLED);
  EXPECT_EQ(d.Set(pidx::kCurrentExit, 2), OPOS_E_DISABLED);
  EXPECT_EQ(d.Set(pidx::kPowerNotify, 2), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.Set(pidx::kPowerNotify, 1), OPOS_SUCCESS);
  EXPECT_EQ(d.Set(pidx::kFreezeEvents, 5), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kFreezeEvents), 1);
  EXPECT_EQ(d.Set(pidx::kFreezeEvents, 0), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  // Enabled.
  EXPECT_EQ(d.Set(pidx::kPowerNotify, 0), OPOS_E_ILLEGAL) << "not while enabled";
  EXPECT_EQ(d.Get(pidx::kPowerNotify), 1);
  EXPECT_EQ(d.Set(pidx::kBinaryConversion, 3), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.Set(pidx::kBinaryConversion, -1), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.Get(pidx::kBinaryConversion), 0);
  EXPECT_EQ(d.Set(pidx::kBinaryConversion, 2), OPOS_SUCCESS);
  EXPECT_EQ(d.SetString(pidx::kCurrencyCode, "jpy"), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.SetString(pidx::kCurrencyCode, "JPY "), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.SetString(pidx::kCurrencyCode, "JPY"), OPOS_SUCCESS);
  EXPECT_EQ(d.Set(pidx::kAsyncMode, 7), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kAsyncMode), 1);
  // Unknown and read-only indexes are ignored and leave ResultCode alone.
  EXPECT_EQ(d.Set(pidx::kDeviceExits, 3), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kDeviceExits), 7);
  EXPECT_EQ(d.Get(99999), 0);
  EXPECT_EQ(d.GetString(99999), "");
}

TEST_F(SimulatedServiceTest, CurrentExit_ListsFollowTheExitAndTheDeviceHearsOfIt) {
  StartDevice(sim::Model::kKrt07);
  Set("DispenseCashExit", "1");
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  TakeCommands();
  EXPECT_EQ(d.Set(pidx::kCurrentExit, 0), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.Set(pidx::kCurrentExit, 8), OPOS_E_ILLEGAL);
  // The watch keeps reading status and counts meanwhile; nothing else goes out.
  for (const std::string& command : TakeCommands()) {
    EXPECT_TRUE(command == "H00" || command == "\"00") << "refused values send nothing: " << command;
  }

  ASSERT_EQ(d.Set(pidx::kCurrentExit, 3), OPOS_SUCCESS);
  auto commands = TakeCommands();
  EXPECT_TRUE(HasCommand(commands, "b0210")) << "coins only";
  EXPECT_TRUE(HasCommand(commands, "Q06204000")) << ::testing::PrintToString(commands);
  EXPECT_EQ(d.GetString(pidx::kExitCashList), "1,5,10,50,100,500");
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 2), OPOS_SUCCESS);
  EXPECT_EQ(d.GetString(pidx::kExitCashList), ";1000,2000,5000,10000");
  EXPECT_EQ(d.GetString(pidx::kDepositCashList), ";1000,2000,5000,10000");
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 5), OPOS_SUCCESS);
  commands = TakeCommands();
  EXPECT_TRUE(HasCommand(commands, "Q06255000")) << "DispenseCashExit set: 5, 5, 0, 0, 0";
  EXPECT_EQ(d.Get(pidx::kCurrentExit), 5);
  ASSERT_EQ(d.Set(pidx::kCurrentExit, 5), OPOS_SUCCESS);
  EXPECT_FALSE(HasCommandStarting(TakeCommands(), "b02")) << "the same exit again sends no selection";
}

TEST_F(SimulatedServiceTest, CurrentExitAbove3_IsRefusedOnAKrt02AndWithDefaultExit3) {
  StartDevice(sim::Model::kKrt02FA);
  Set("DefaultCurrentExit", "1");
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(2000)}), OPOS_SUCCESS);
  EXPECT_EQ(d.GetString(pidx::kDeviceName), "KRT02");
  EXPECT_EQ(d.Get(pidx::kCapDeposit), 0);
  EXPECT_EQ(d.Get(pidx::kDepositStatus), CHAN_STATUS_DEPOSIT_NONE);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  EXPECT_EQ(d.Set(pidx::kCurrentExit, 5), OPOS_E_ILLEGAL);
  EXPECT_EQ(d.Get(pidx::kCurrentExit), 1);
  EXPECT_EQ(d.Set(pidx::kCurrentExit, 2), OPOS_SUCCESS);
  EXPECT_EQ(d.Get(pidx::kCurrentExit), 2);
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);

  Set("DefaultCurrentExit", "3");
  ServiceDriver& fixed = NewDriver();
  ASSERT_EQ(fixed.Open(), OPOS_SUCCESS);
  ASSERT_EQ(fixed.Call("Claim", {Variant::Long(2000)}), OPOS_SUCCESS);
  ASSERT_EQ(fixed.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  EXPECT_EQ(fixed.Set(pidx::kCurrentExit, 1), OPOS_E_ILLEGAL);
  EXPECT_EQ(fixed.Set(pidx::kCurrentExit, 3), OPOS_SUCCESS);
}

TEST_F(SimulatedServiceTest, NoDeviceAnswering_FailsTheClaimUnlessClaimPassSettingSaysOtherwise) {
  StartDevice(sim::Model::kKrt07);
  machine().SetUnplugged(true);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("Claim", {Variant::Long(0)}), OPOS_E_NOHARDWARE);
  EXPECT_FALSE(d.so().claim_semaphore().held()) << "undone: port, delivery, semaphore";
  EXPECT_EQ(d.Get(pidx::kClaimed), 0);
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);

  Set("ClaimPassSetting", "1");
  ServiceDriver& pass = NewDriver();
  ASSERT_EQ(pass.Open(), OPOS_SUCCESS);
  EXPECT_EQ(pass.Call("Claim", {Variant::Long(0)}), OPOS_SUCCESS);
  EXPECT_EQ(pass.GetString(pidx::kDeviceName), "KRT07");
  EXPECT_EQ(pass.Get(pidx::kCapDeposit), 1);
}

// True while a thread of this process waits for the flock on |path|: the
// kernel lists a blocked lock request in /proc/locks with "->", the waiting
// process and the file's inode.
bool FlockWaiterOn(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  const std::string inode = ":" + std::to_string(info.st_ino) + " ";
  const std::string pid = " " + std::to_string(::getpid()) + " ";
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
        line.find(inode) != std::string::npos && line.find(pid) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST_F(SimulatedServiceTest, SecondClaimInTheProcess_WaitsTimesOutOrGetsTheDeviceWhenReleased) {
  StartDevice(sim::Model::kKrt07);
  ServiceDriver& holder = NewDriver();
  ServiceDriver& other = NewDriver();
  ASSERT_EQ(holder.Open(), OPOS_SUCCESS);
  ASSERT_EQ(other.Open(), OPOS_SUCCESS);
  ASSERT_EQ(holder.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS);

  EXPECT_EQ(other.Call("Claim", {Variant::Long(0)}), OPOS_E_TIMEOUT);
  const int64_t start = ServiceDriver::Clock().NowMs();
  EXPECT_EQ(other.Call("Claim", {Variant::Long(150)}), OPOS_E_TIMEOUT);
  // It waited (the semaphore's own clock may round the limit a little).
  EXPECT_GE(ServiceDriver::Clock().NowMs() - start, 140);
  EXPECT_EQ(other.Get(pidx::kClaimed), 0);

  // A claim without limit succeeds once the holder lets go (the holder's
  // application releases on a thread of its own here).
  int32_t released = -1;
  std::thread releaser([&] {
    // Released only once the other claim waits for the system-wide lock.
    const std::string lock_file = platform::LockFolder() + "/" + service::kClaimSemaphoreName + ".lock";
    if (!testing::SpinUntil([&] { return FlockWaiterOn(lock_file); })) ADD_FAILURE() << "the claim never waited";
    released = holder.Call("Release");
  });
  EXPECT_EQ(other.Call("Claim", {Variant::Long(-1)}), OPOS_SUCCESS);
  releaser.join();
  EXPECT_EQ(released, OPOS_SUCCESS);
  EXPECT_EQ(other.Get(pidx::kClaimed), 1);
}

TEST_F(SimulatedServiceTest, ClaimHeldByAnotherProcess_TimesOutAndSucceedsOnceTheHolderIsKilled) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The other process holds the system-wide claim semaphore until killed.
    platform::NamedSemaphore semaphore(service::kClaimSemaphoreName);
    const char byte = semaphore.Acquire(-1) ? 'y' : 'n';
    (void)!::write(ready[1], &byte, 1);
    for (;;) ::pause();
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  StartDevice(sim::Model::kKrt07);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("Claim", {Variant::Long(0)}), OPOS_E_TIMEOUT);
  EXPECT_EQ(d.Call("Claim", {Variant::Long(100)}), OPOS_E_TIMEOUT);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(d.Call("Claim", {Variant::Long(2000)}), OPOS_SUCCESS) << "a killed holder gives the semaphore back";
}

TEST_F(SimulatedServiceTest, ClaimLockThatCannotBeTaken_FailsTheClaimAndSaysWhy) {
  StartDevice(sim::Model::kKrt07);
  // The lock folder is gone, so no process could ever exclude another.
  ::setenv("OPOS_LOCK_DIR", dir_.file("no-such-folder").c_str(), 1);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("ClaimDevice", {Variant::Long(0)}), OPOS_E_FAILURE);
  EXPECT_EQ(d.Get(pidx::kClaimed), 0);
  EXPECT_TRUE(TakeCommands().empty()) << "nothing may be sent without the claim lock";
  const std::string trace = platform::Cp932ToUtf8(ReadFileBytes(d.so().trace_log().FileName()));
  EXPECT_NE(trace.find("Err::Error   :   claim lock cannot be taken: lock file " + dir_.file("no-such-folder")),
            std::string::npos)
      << trace;
  ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
  EXPECT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS) << "the lock folder is back";
}

TEST_F(SimulatedServiceTest, RefusedDepositCountRead_FailsTheClaimByItsOwnResult) {
  StartDevice(sim::Model::kKrt07);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault nak next cmd o").ok);
  EXPECT_EQ(d.Call("Claim", {Variant::Long(0)}), OPOS_E_NOHARDWARE);
  EXPECT_FALSE(d.so().claim_semaphore().held());
  EXPECT_FALSE(HasCommandStarting(TakeCommands(), "r0>")) << "the claim stops at the failed read";
  // With ClaimPassSetting the claim goes on past it.
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
  Set("ClaimPassSetting", "2");
  ServiceDriver& pass = NewDriver();
  ASSERT_EQ(pass.Open(), OPOS_SUCCESS);
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault nak next cmd o").ok);
  EXPECT_EQ(pass.Call("Claim", {Variant::Long(0)}), OPOS_SUCCESS);
  EXPECT_TRUE(HasCommandStarting(TakeCommands(), "r0>"));
  EXPECT_EQ(pass.GetString(pidx::kDeviceName), "KRT07") << "the detected model decides";
}

TEST_F(SimulatedServiceTest, RefusedClock_Gives114WithClaimNonEventAnd107Otherwise) {
  StartDevice(sim::Model::kKrt77);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault nak next cmd r").ok);
  EXPECT_EQ(d.Call("Claim", {Variant::Long(0)}), OPOS_E_NOHARDWARE);
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
  Set("ClaimNonEvent", "1");
  ServiceDriver& quiet = NewDriver();
  ASSERT_EQ(quiet.Open(), OPOS_SUCCESS);
  ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault nak next cmd r").ok);
  EXPECT_EQ(quiet.Call("Claim", {Variant::Long(0)}), OPOS_E_EXTENDED);
  EXPECT_EQ(quiet.Get(pidx::kResultCodeExtended), 0) << "left as it was";
  EXPECT_EQ(quiet.Get(pidx::kClaimed), 0);
  EXPECT_FALSE(quiet.so().claim_semaphore().held());
}

// A local time that tells when it was read: 2026-01-01 10:00:00 plus one
// second for every command the machine has received so far.
class CommandCountingClock final : public platform::Clock {
 public:
  explicit CommandCountingClock(sim::ChangerEngine& machine) : machine_(machine) {}
  int64_t NowMs() override { return platform::SystemClock().NowMs(); }
  void SleepMs(int64_t ms) override { platform::SystemClock().SleepMs(ms); }
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    platform::SystemClock().WaitStep(cv, lock, deadline_ms);
  }
  platform::LocalTime LocalTimeNow() override { return At(static_cast<int>(machine_.CommandBodies().size())); }
  static platform::LocalTime At(int seconds) {
    platform::LocalTime t;
    t.tm.tm_year = 2026 - 1900;
    t.tm.tm_mday = 1;
    t.tm.tm_hour = 10;
    t.tm.tm_min = seconds / 60;
    t.tm.tm_sec = seconds % 60;
    return t;
  }

 private:
  sim::ChangerEngine& machine_;
};

TEST_F(SimulatedServiceTest, ClaimClock_IsTheTimeWhenTheClockCommandIsSentAfterEndingAnOpenDeposit) {
  StartDevice(sim::Model::kKrt07);
  machine().OverrideStatusByte(47, '3');  // a deposit waiting to be ended
  machine().OverrideStatusByte(48, '0');
  CommandCountingClock clock(machine());
  ServiceDriver& d = NewDriver();
  d.so().SetClock(clock);
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("Claim", {Variant::Long(0)}), OPOS_SUCCESS);

  const std::vector<std::string> commands = TakeCommands();
  size_t end_deposit = commands.size();
  size_t set_clock = commands.size();
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i].rfind("I02", 0) == 0 && end_deposit == commands.size()) end_deposit = i;
    if (commands[i].rfind("r0>", 0) == 0 && set_clock == commands.size()) set_clock = i;
  }
  ASSERT_LT(end_deposit, set_clock) << "the deposit is ended before the clock is set";
  const platform::LocalTime clock_at = CommandCountingClock::At(static_cast<int>(set_clock));
  char expected[16];
  std::strftime(expected, sizeof expected, "%Y%m%d%H%M%S", &clock_at.tm);
  EXPECT_EQ(commands[set_clock], std::string("r0>") + expected);
  EXPECT_EQ(machine().DeviceClockText(), expected);
  ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
}

TEST_F(SimulatedServiceTest, ClaimWithADepositUnitCountingForever_FailsAfterEndDepositTimeout) {
  StartDevice(sim::Model::kKrt07);
  Set("EndDepositTimeout", "300");
  machine().OverrideStatusByte(47, '3');  // a deposit waiting to be ended...
  machine().OverrideStatusByte(48, '0');
  machine().OverrideStatusByte(49, '3');  // ...while the unit keeps counting
  machine().OverrideStatusByte(50, '1');
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  const int64_t start = ServiceDriver::Clock().NowMs();
  EXPECT_EQ(d.Call("Claim", {Variant::Long(0)}), OPOS_E_NOHARDWARE);
  const int64_t took = ServiceDriver::Clock().NowMs() - start;
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 10000);
  EXPECT_EQ(d.Get(pidx::kClaimed), 0);
  EXPECT_FALSE(d.so().claim_semaphore().held());
  const std::vector<std::string> commands = TakeCommands();
  EXPECT_FALSE(HasCommandStarting(commands, "I02")) << "no end of deposit for a unit still counting";
  EXPECT_FALSE(HasCommandStarting(commands, "r0>")) << "the claim stops at the stuck unit";
}

// A jam found at the claim and still there once the device is enabled
// reaches the application once, whether the claim may report it
// (ClaimNonEvent 0) or only enabling may (1); its end once too.
TEST_F(SimulatedServiceTest, JamPresentAtClaimAndAtEnabling_IsReportedOnce) {
  for (const char* quiet : {"0", "1"}) {
    SCOPED_TRACE(std::string("ClaimNonEvent ") + quiet);
    StartDevice(sim::Model::kKrt07);
    Set("ClaimNonEvent", quiet);
    machine().SetJam(true);
    ServiceDriver& d = NewDriver();
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
    d.Set(pidx::kDeviceEnabled, 1);  // the jammed machine may refuse the exit setting: 107
    ASSERT_EQ(d.Get(pidx::kDeviceEnabled), 1);
    // Whole watch steps after enabling: whatever they report is queued before
    // the end of the jam, and events are delivered in order.
    machine().ClearReceivedFrames();
    ASSERT_TRUE(d.PumpUntil([&] {
      const auto bodies = machine().CommandBodies();
      return std::count_if(bodies.begin(), bodies.end(), [](const auto& b) {
               return std::string(b.begin() + 1, b.end()) == "\"00";
             }) >= 2;
    }));
    machine().SetJam(false);
    ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_JAMOK));
    const auto updates = [&](int32_t status) {
      const auto& events = d.control_object().events();
      return std::count_if(events.begin(), events.end(),
                           [&](const FiredEvent& e) { return e.member == "SOStatusUpdate" && e.number == status; });
    };
    EXPECT_EQ(updates(CHAN_STATUS_JAM), 1);
    EXPECT_EQ(updates(CHAN_STATUS_JAMOK), 1);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    TearDown();
    SetUp();
  }
}

TEST_F(SimulatedServiceTest, FailedOpen_LeavesNothingBehindForClose) {
  StartDevice();
  ServiceDriver& d = NewDriver();
  platform::MessageWindow::FailNextCreations(1);
  EXPECT_EQ(d.Open(), OPOS_E_FAILURE);
  EXPECT_EQ(d.Call("GetOpenResult"), OPOS_OR_CREATE);
  EXPECT_EQ(d.so().device(), nullptr) << "the device layer of the failed open is gone";
  EXPECT_EQ(d.so().window_handle(), 0u);
  EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_NE(d.so().device(), nullptr);
  EXPECT_EQ(d.Call("Claim", {Variant::Long(1000)}), OPOS_SUCCESS);
}

}  // namespace
}  // namespace vexokrt::testing
