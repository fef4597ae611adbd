// SPDX-License-Identifier: Apache-2.0
// The fault matrix: the service object against the simulated cash changer
// while the line, the machine, the process or the disk misbehave. Every case
// checks the result code, the events fired, how long it took, that the
// ExamLog and the registry files came through whole, and that a later claim
// works. Each test prints its cases as a table (case, result, time, intact,
// and the result of the later claim).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/changer_device.h"
#include "diag/exam_log_reader.h"
#include "link/comm_thread.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/reg_file.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "sim/control_script.h"
#include "sim/faults.h"

#include "cash_fixture.h"

namespace vexokrt::testing {
namespace {

using namespace opos;
namespace pidx = service::pidx;
using platform::Variant;

// One line of a printed table.
struct MatrixRow {
  std::string name;
  int32_t result = 0;
  int64_t ms = 0;
  std::string intact;  // "yes", or what was damaged
  int32_t later = 0;   // the result of the later claim
};

void PrintTable(const std::string& title, const std::vector<MatrixRow>& rows) {
  std::printf("\nfault matrix: %s\n", title.c_str());
  std::printf("  %-32s %6s %8s  %-6s %s\n", "case", "result", "time ms", "intact", "later claim");
  for (const MatrixRow& row : rows) {
    std::printf("  %-32s %6d %8lld  %-6s %d\n", row.name.c_str(), static_cast<int>(row.result),
                static_cast<long long>(row.ms), row.intact.c_str(), static_cast<int>(row.later));
  }
  std::fflush(stdout);
}

// Real time, for waits on another process.
int64_t NowMs() { return platform::SystemClock().NowMs(); }
// The service objects' time, which the durations of the cases are told in.
int64_t ServiceMs() { return ServiceDriver::Clock().NowMs(); }

// Pulls the machine's plug the moment it receives a command starting with a
// given text. The answer to that command is first held back far longer than
// any wait of the host (the line is first-in first-out, so nothing gets out
// behind it either); the plug is then pulled from a thread of its own, woken
// by the frame itself, which drops the held answer. So the host hears
// nothing from that command on, however the threads are scheduled.
class Unplugger {
 public:
  Unplugger(sim::ChangerEngine& machine, std::string command) : machine_(machine), command_(std::move(command)) {
    sim::Fault hold;
    hold.kind = sim::FaultKind::kDelay;
    hold.command = command_[0];
    hold.ms = 600000;
    machine_.InjectFault(hold);
    machine_.SetLineObserver([this](const sim::LineRecord& record) {
      if (record.direction != sim::LineRecord::Direction::kReceived ||
          record.kind != sim::ReceivedFrame::Kind::kCommand) {
        return;
      }
      // STX DC1 command ... ETX BCC
      const std::string raw(record.bytes.begin(), record.bytes.end());
      if (raw.size() < 2 + command_.size() || raw.compare(2, command_.size(), command_) != 0) return;
      std::lock_guard lock(mutex_);
      seen_ = true;
      cv_.notify_all();
    });
    thread_ = std::thread([this] {
      bool pull = false;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return seen_ || cancelled_; });
        pull = seen_;
      }
      // Not under |mutex_|: the observer takes it under the engine's lock.
      if (pull) machine_.SetUnplugged(true);
    });
  }
  ~Unplugger() { Finish(); }
  // Waits for the thread; true when the plug was pulled.
  bool Finish() {
    machine_.SetLineObserver(nullptr);
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  sim::ChangerEngine& machine_;
  std::string command_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool seen_ = false;
  bool cancelled_ = false;
  std::thread thread_;
};


// The vexokrt program as another process: its shell on a device of the
// registry, fed line by line through a pipe and read through another.
// Waits are bounded by real time, since another process keeps no test
// clock; they wait on the pipe, never by sleeping.
class ProgramProcess {
 public:
  ProgramProcess() = default;
  ~ProgramProcess() { Kill(); }
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  // Starts the program with |args|, as user |uid| and group |gid| when they
  // are given. False when it cannot be started.
  bool Start(const std::vector<std::string>& args, std::optional<uid_t> uid = {}, std::optional<gid_t> gid = {}) {
    std::vector<std::string> all = {VEXOKRT_PROGRAM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      // Only calls that are safe after fork in a threaded process.
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      if (gid && (::setgroups(0, nullptr) != 0 || ::setgid(*gid) != 0)) ::_exit(126);
      if (uid && ::setuid(*uid) != 0) ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
    return true;
  }
  void Send(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(to_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // The next output line that starts with |prefix|; nothing when none came
  // within |limit_ms| or the output ended. Lines passed over are kept in
  // output().
  std::optional<std::string> AwaitLine(const std::string& prefix, int limit_ms = 20000) {
    const int64_t until = NowMs() + limit_ms;
    for (;;) {
      for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        output_ += line + "\n";
        if (line.rfind(prefix, 0) == 0) return line;
      }
      const int64_t left = until - NowMs();
      if (left <= 0) return std::nullopt;
      pollfd p{from_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(from_, buffer, sizeof buffer);
      if (n <= 0) {
        ended_ = true;
        return std::nullopt;
      }
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }
  // SIGKILL, then collects the process.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap();
  }
  // Closes its input (the shell closes and leaves) and collects it: its
  // exit status, -1 when it had to be killed after |limit_ms|.
  int Finish(int limit_ms = 20000) {
    if (to_ >= 0) ::close(to_);
    to_ = -1;
    while (AwaitLine("\x01", limit_ms)) {
    }
    if (!ended_) {
      Kill();
      return -1;
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    CloseAll();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& output() const { return output_; }

 private:
  void Reap() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    CloseAll();
  }
  void CloseAll() {
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    to_ = from_ = -1;
  }
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string pending_;
  std::string output_;
  bool ended_ = false;
};

class FaultMatrixTest : public CashOperationsTest {
 protected:
  void TearDown() override {
    if (!rows_.empty()) PrintTable(::testing::UnitTest::GetInstance()->current_test_info()->name(), rows_);
    CashOperationsTest::TearDown();
  }

  // What is damaged among the files a fault may have hit: the ExamLog must
  // read back as a ring, both registry files must parse and still name the
  // machine's port, and no writer may have left a temporary copy behind.
  // Empty when all is whole.
  std::string Damage() {
    std::string damage;
    const diag::ExamReadResult exam = diag::ReadExamLog(LogFolder() + "ExamlogS.txt");
    if (!exam.ring) damage += "ExamLog: " + exam.error + "; ";
    for (const char* file : {"machine.reg", "user.reg"}) {
      const std::string path = RegistryFolder() + file;
      if (!std::filesystem::exists(path)) continue;
      const char* root_name = std::string_view(file) == "machine.reg" ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
      std::string text;
      platform::RegTextEncoding encoding{};
      platform::RegKeyNode root;
      if (!platform::DecodeRegText(ReadFileBytes(path), &encoding, &text) ||
          !platform::ParseRegFile(text, root_name, &root).ok) {
        damage += std::string(file) + " does not parse; ";
      }
    }
    std::string port;
    if (platform::RegQueryString(platform::RegRoot::kLocalMachine, key_, "Port", &port) != platform::RegResult::kOk ||
        port != simulator_->SlavePath()) {
      damage += "Port lost; ";
    }
    for (const auto& entry : std::filesystem::directory_iterator(RegistryFolder())) {
      if (entry.path().filename().string().find(".tmp.") != std::string::npos) {
        damage += "left " + entry.path().filename().string() + "; ";
      }
    }
    return damage;
  }

  // The records of the claims in the ExamLog, as the results they left.
  // A claim that fails with 107, leaves nothing claimed, fires no event and
  // records its result; its duration in ms.
  int64_t ClaimFails(ServiceDriver& d, int32_t* result) {
    const int64_t start = ServiceMs();
    *result = d.Call("ClaimDevice", {Variant::Long(1000)});
    const int64_t ms = ServiceMs() - start;
    EXPECT_EQ(*result, OPOS_E_NOHARDWARE);
    EXPECT_EQ(d.Get(pidx::kClaimed), 0);
    EXPECT_TRUE(d.control_object().events().empty());
    const std::vector<long> claims = ClaimResults();
    EXPECT_FALSE(claims.empty());
    if (!claims.empty()) {
      EXPECT_EQ(claims.back(), *result);
    }
    return ms;
  }
  std::vector<long> ClaimResults() {
    std::vector<long> results;
    const diag::ExamReadResult exam = diag::ReadExamLog(LogFolder() + "ExamlogS.txt");
    if (!exam.ring) return results;
    for (const diag::ExamRecord& r : exam.ring->records) {
      if (r.kind == 1 && r.code == 103) results.push_back(r.result);
    }
    return results;
  }

  // With the machine back to health, a new service object claims, enables
  // and closes. OPOS_SUCCESS, or the first result that was not.
  int32_t LaterClaim() {
    // Back to health: faults cleared, and the plug pulled and put back in,
    // which also drops an answer still held back by a fault (a claim made
    // while a late answer is still on its way fails like the one before).
    machine().ClearFaults();
    machine().SetUnplugged(true);
    machine().SetUnplugged(false);
    // A machine still busy with an answer held back for ever is switched
    // off and on, as its operator would.
    if (machine().Snapshot().action != 0) machine().PowerCycle();
    ServiceDriver& d = NewDriver();
    if (const int32_t r = d.Open(); r != OPOS_SUCCESS) return r;
    if (const int32_t r = d.Call("ClaimDevice", {Variant::Long(3000)}); r != OPOS_SUCCESS) return r;
    if (const int32_t r = d.Set(pidx::kDeviceEnabled, 1); r != OPOS_SUCCESS) return r;
    return d.Call("Close");
  }

  // The checks every case ends with; adds the row to the table.
  void Conclude(const std::string& name, int32_t result, int64_t ms) {
    const std::string damage = Damage();
    EXPECT_EQ(damage, "") << name;
    const int32_t later = LaterClaim();
    EXPECT_EQ(later, OPOS_SUCCESS) << name << ": a later claim";
    rows_.push_back({name, result, ms, damage.empty() ? "yes" : damage, later});
  }

  // Registers the service object library and the device key's class, so
  // the program's shell can create the service object of Dev1.
  void RegisterForThePrograms() {
    ProgramProcess registration;
    ASSERT_TRUE(registration.Start({"register", "--library", VEXOKRT77_LIBRARY_PATH}));
    ASSERT_EQ(registration.Finish(), 0) << registration.output();
    ProgramProcess config;
    ASSERT_TRUE(config.Start({"config", "Dev1"}));
    ASSERT_EQ(config.Finish(), 0) << config.output();
  }

  // The folders of the registry files and of the driver's logs (each ends
  // in a separator); the test's own folder unless a case moves them.
  std::string RegistryFolder() const { return registry_folder_.empty() ? dir_.prefix() : registry_folder_; }
  std::string LogFolder() const { return log_folder_.empty() ? dir_.prefix() : log_folder_; }

  std::vector<MatrixRow> rows_;
  std::string registry_folder_;
  std::string log_folder_;
};

// The steps of a claim: the first command of each letter the machine
// received, in order, cut to the command and its first two characters.
std::vector<std::string> Distinct(const std::vector<std::string>& commands) {
  std::vector<std::string> steps;
  for (const std::string& c : commands) {
    const std::string head = c.substr(0, std::min<size_t>(c.size(), 3));
    if (std::none_of(steps.begin(), steps.end(), [&](const std::string& s) { return s[0] == head[0]; })) {
      steps.push_back(head);
    }
  }
  return steps;
}

// --- the claim -------------------------------------------------------------------

TEST_F(FaultMatrixTest, UnplugAtEachStepOfAClaim_FailsWithNoHardwareInTimeAndLeavesNothingBroken) {
  StartDevice(sim::Model::kKrt07);
  std::vector<std::string> steps;
  {
    ServiceDriver& d = NewDriver();
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    TakeCommands();
    ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS);
    steps = Distinct(TakeCommands());
    ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
  }
  std::printf("claim steps: %s\n", ::testing::PrintToString(steps).c_str());
  ASSERT_GE(steps.size(), 5u);

  for (const std::string& step : steps) {
    SCOPED_TRACE("unplugged at " + step);
    ServiceDriver& d = NewDriver();
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    Unplugger unplugger(machine(), step);
    const int64_t start = ServiceMs();
    const int32_t result = d.Call("ClaimDevice", {Variant::Long(1000)});
    const int64_t ms = ServiceMs() - start;
    EXPECT_TRUE(unplugger.Finish());
    EXPECT_EQ(result, OPOS_E_NOHARDWARE);
    EXPECT_EQ(d.Get(pidx::kClaimed), 0);
    EXPECT_FALSE(d.so().claim_semaphore().held());
    EXPECT_TRUE(d.control_object().events().empty()) << "a failed claim fires nothing";
    const std::vector<long> claims = ClaimResults();
    ASSERT_FALSE(claims.empty());
    EXPECT_EQ(claims.back(), result) << "the ExamLog has the claim's result";
    // The longest path: the status read after the deposit counts finds
    // nothing and the claim goes on to wait out the clock as well.
    EXPECT_LE(ms, 8000);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    Conclude("unplug at " + step, result, ms);
  }
}

TEST_F(FaultMatrixTest, UnplugWhileEnabled_GoesOfflineInTimeAndComesBackWhenPluggedIn) {
  StartDevice(sim::Model::kKrt07);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kPowerNotify, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  ASSERT_TRUE(d.AwaitStatus(OPOS_PS_ONLINE));
  machine().SetUnplugged(true);
  const int64_t start = ServiceMs();
  ASSERT_TRUE(d.AwaitStatus(OPOS_PS_OFF_OFFLINE, 15000));
  const int64_t ms = ServiceMs() - start;
  EXPECT_EQ(d.Get(pidx::kPowerState), OPOS_PS_OFF_OFFLINE);
  // A call that needs the silent machine.
  const int64_t call_start = ServiceMs();
  std::string counts;
  bool discrepancy = false;
  const int32_t result = ReadCounts(d, &counts, &discrepancy);
  const int64_t call_ms = ServiceMs() - call_start;
  EXPECT_EQ(result, OPOS_E_NOHARDWARE) << "no counts from a machine that is offline";
  EXPECT_LE(call_ms, 1000) << "refused at once";

  machine().SetUnplugged(false);
  const auto online = [&] {
    const auto& events = d.control_object().events();
    return std::count_if(events.begin(), events.end(), [](const FiredEvent& e) {
             return e.member == "SOStatusUpdate" && e.number == OPOS_PS_ONLINE;
           }) >= 2;
  };
  EXPECT_TRUE(d.PumpUntil(online, 15000)) << "online again once plugged in";
  EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
  Conclude("unplug while enabled", result, ms);
}

// Each kind of damaged answer frame, aimed at the deposit-count read of a
// claim: the read fails (the claim with it, at once), and the stray bytes
// do not spoil the line for the next claim.
TEST_F(FaultMatrixTest, GarbledAnswerFrames_FailTheClaimAtOnceAndSpoilNothingAfter) {
  StartDevice(sim::Model::kKrt07);
  const struct {
    const char* name;
    sim::FaultKind kind;
  } kinds[] = {{"wrong BCC", sim::FaultKind::kCorruptBcc},
               {"wrong first byte", sim::FaultKind::kWrongFirstByte},
               {"truncated frame", sim::FaultKind::kTruncatedFrame},
               {"overlong frame", sim::FaultKind::kOverlongFrame}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    ServiceDriver& d = NewDriver();
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    machine().InjectFault(sim::Fault{kind.kind, 1, 'o', 0});
    int32_t result = 0;
    const int64_t ms = ClaimFails(d, &result);
    // No wait beyond the 50 ms of silence that ends a frame.
    EXPECT_LE(ms, 1000);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    Conclude(kind.name, result, ms);
  }
}

// Answers held back past every wait of a claim: late, or SUB for ever.
TEST_F(FaultMatrixTest, SubAndDelaysBeyondTheTimeOutsOfAClaim_FailItInTime) {
  StartDevice(sim::Model::kKrt07);
  // Each with the longest the claim may take: the waits of the steps it
  // goes through before giving up, with room for a slow machine.
  const struct {
    const char* name;
    const char* line;
    int64_t bound_ms;
  } faults[] = {{"model read 2.5 s late", "fault delay 2500 next cmd :", 2500},
                {"deposit counts 2.5 s late", "fault delay 2500 next cmd o", 3000},
                {"SUB for ever to the clock", "fault sub 600000 next cmd r", 3000},
                {"SUB for ever to the mode", "fault sub 600000 next cmd G", 2000}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    ServiceDriver& d = NewDriver();
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    ASSERT_TRUE(sim::ExecuteControlLine(machine(), fault.line).ok) << fault.line;
    int32_t result = 0;
    const int64_t ms = ClaimFails(d, &result);
    EXPECT_LE(ms, fault.bound_ms);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    Conclude(fault.name, result, ms);
  }
}

// The claim of a process killed with SIGKILL is given back by the system:
// another process claims at once.
TEST_F(FaultMatrixTest, ClaimantKilled_AnotherProcessClaimsAtOnce) {
  StartDevice(sim::Model::kKrt07);
  RegisterForThePrograms();
  ProgramProcess claimant;
  ASSERT_TRUE(claimant.Start({"shell", "Dev1"}));
  claimant.Send("ClaimDevice 3000");
  const std::optional<std::string> claimed = claimant.AwaitLine("result ClaimDevice");
  ASSERT_EQ(claimed.value_or(claimant.output()), "result ClaimDevice 0 OPOS_SUCCESS");

  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("ClaimDevice", {Variant::Long(0)}), OPOS_E_TIMEOUT) << "the other process holds it";
  claimant.Kill();
  const int64_t start = ServiceMs();
  const int32_t result = d.Call("ClaimDevice", {Variant::Long(5000)});
  const int64_t ms = ServiceMs() - start;
  EXPECT_EQ(result, OPOS_SUCCESS);
  EXPECT_LE(ms, 2000) << "given back by the kill, not by the time-out";
  EXPECT_TRUE(d.control_object().events().empty());
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
  Conclude("kill -9 of the claimant", result, ms);
}

// A process killed while it updates the firmware leaves the machine part
// way through the download, at 115 200 bit/s: the next claim finds it
// there, brings it back to 9600 bit/s and goes on.
TEST_F(FaultMatrixTest, FirmwareUpdaterKilledPartWay_TheNextClaimBringsTheLineBack) {
  StartDevice(sim::Model::kKrt07);
  Set("UposVersion", "1.14");
  Set("Service", dir_.prefix());
  machine().SetProgramVersion("01C01");
  std::ofstream(dir_.file("KRT07CntCoin01C05.fil"), std::ios::binary) << std::string(256 * 400, '\x5a');
  RegisterForThePrograms();
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);

  ProgramProcess updater;
  ASSERT_TRUE(updater.Start({"shell", "Dev1"}));
  updater.Send("ClaimDevice 3000");
  ASSERT_EQ(updater.AwaitLine("result ClaimDevice").value_or(updater.output()), "result ClaimDevice 0 OPOS_SUCCESS");
  updater.Send("set DeviceEnabled 1");
  updater.Send("UpdateFirmware KRT07CntCoin01C05.fil");
  ASSERT_EQ(updater.AwaitLine("result UpdateFirmware").value_or(updater.output()),
            "result UpdateFirmware 0 OPOS_SUCCESS");
  ASSERT_TRUE(d.PumpUntil([&] { return machine().Download(1).blocks >= 10; }, 20000)) << updater.output();
  updater.Kill();
  EXPECT_FALSE(machine().Download(1).finished);

  const int64_t start = ServiceMs();
  const int32_t result = d.Call("ClaimDevice", {Variant::Long(5000)});
  const int64_t ms = ServiceMs() - start;
  ASSERT_EQ(result, OPOS_SUCCESS);
  ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
  std::string counts;
  bool discrepancy = false;
  EXPECT_EQ(ReadCounts(d, &counts, &discrepancy), OPOS_SUCCESS);
  const std::string traced = platform::Cp932ToUtf8(ReadFileBytes(d.so().trace_log().FileName()));
  EXPECT_NE(traced.find("接続機器が 115200bps のままでした。9600bps に戻します。"), std::string::npos)
      << "the claim found the line left fast";
  EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
  Conclude("kill -9 during a firmware update", result, ms);
}

// Two users claiming through one lock folder: each excludes the other, and
// each gets the device once the other lets go.
TEST_F(FaultMatrixTest, TwoUsersClaimingTheSameLockFolder_ExcludeEachOther) {
  if (::geteuid() != 0) GTEST_SKIP() << "two users: needs root to run the other claimant as user nobody";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "two users: there is no user nobody";
  const uid_t other_uid = nobody->pw_uid;
  const gid_t other_gid = nobody->pw_gid;
  StartDevice(sim::Model::kKrt07);
  RegisterForThePrograms();
  // The other user reaches the port, the registry and the log folder.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(simulator_->SlavePath().c_str(), 0666), 0);

  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS) << "root claims first";
  ProgramProcess other;
  ASSERT_TRUE(other.Start({"shell", "Dev1"}, other_uid, other_gid));
  other.Send("ClaimDevice 0");
  EXPECT_EQ(other.AwaitLine("result ClaimDevice").value_or(other.output()), "result ClaimDevice 112 OPOS_E_TIMEOUT")
      << "the other user is excluded: neither let in nor refused for want of a lock";
  ASSERT_EQ(d.Call("Release"), OPOS_SUCCESS);

  const int64_t start = NowMs();
  other.Send("ClaimDevice 3000");
  const std::string claimed = other.AwaitLine("result ClaimDevice").value_or(other.output());
  const int64_t ms = NowMs() - start;
  EXPECT_EQ(claimed, "result ClaimDevice 0 OPOS_SUCCESS") << "the other user claims once root let go";
  EXPECT_EQ(d.Call("ClaimDevice", {Variant::Long(0)}), OPOS_E_TIMEOUT) << "now root is excluded";
  EXPECT_EQ(other.Finish(), 0) << other.output();
  EXPECT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS) << "the other user's close let go";
  EXPECT_TRUE(d.control_object().events().empty());
  EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
  Conclude("two users, one lock folder", std::atoi(claimed.substr(claimed.rfind(' ') + 1).c_str()), ms);
}

// Mounts a small file system of this process's own at |folder|: as root in
// a mount namespace of its own, otherwise in a user namespace as well. Must
// run before the test starts a thread. Empty, or why it could not.
std::string MountSmallFileSystem(const std::string& folder, const char* size) {
  if (::geteuid() == 0) {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
  } else {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    const auto write = [](const char* path, const std::string& text) {
      std::ofstream out(path);
      out << text;
      return static_cast<bool>(out.flush());
    };
    if (!write("/proc/self/setgroups", "deny") ||
        !write("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
        !write("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n")) {
      return "cannot map the user into its namespace";
    }
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("private mounts: ") + std::strerror(errno);
  }
  const std::string options = std::string("size=") + size + ",mode=0777";
  if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    return std::string("mount tmpfs: ") + std::strerror(errno);
  }
  return {};
}

// Fills the file system of |folder| to the last byte; the filler's path.
std::string FillUp(const std::string& folder) {
  const std::string path = folder + "filler";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const std::string block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  while (::write(fd, block.data(), 1) > 0) {
  }
  ::close(fd);
  return path;
}

// The trading logs in |folder| with their sizes.
std::vector<std::pair<std::string, uintmax_t>> TradingLogs(const std::string& folder) {
  std::vector<std::pair<std::string, uintmax_t>> logs;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind("Trading", 0) == 0) {
      logs.emplace_back(entry.path().filename().string(), entry.file_size());
    }
  }
  return logs;
}

// A full disk under the logs and the registry: what cannot be written
// fails and says so, nothing written before is lost or torn, and the claim
// works again once there is room.
TEST_F(FaultMatrixTest, FullDisk_LosesAndTearsNothingAndClaimsAgainOnceThereIsRoom) {
  const std::string small = dir_.file("small");
  ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
  if (const std::string why = MountSmallFileSystem(small, "1m"); !why.empty()) {
    GTEST_SKIP() << "full disk: no small file system could be mounted here (" << why << ")";
  }
  registry_folder_ = log_folder_ = small + "/";
  ::setenv("OPOS_REGISTRY_DIR", small.c_str(), 1);
  StartDevice(sim::Model::kKrt07);
  Set("LogFolderName", log_folder_);
  Set("DbgLogFileName", log_folder_ + "trace");
  Set("TradingLog", "Trading%y%m%d%H%M%S.txt");
  {
    ServiceDriver& d = NewDriver();
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(1000)}), OPOS_SUCCESS);
    ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
  }
  const auto logs_before = TradingLogs(log_folder_);
  ASSERT_EQ(logs_before.size(), 1u);
  ASSERT_GT(logs_before[0].second, 0u);
  const std::string trading_log = ReadFileBytes(log_folder_ + logs_before[0].first);
  // The claim will have to store a changed operation mode.
  ASSERT_EQ(platform::RegSetString(platform::RegRoot::kCurrentUser, key_, "OperationMode_Temporary", "2"),
            platform::RegResult::kOk);
  const std::string user_reg = ReadFileBytes(log_folder_ + "user.reg");
  const std::string machine_reg = ReadFileBytes(log_folder_ + "machine.reg");

  const std::string filler = FillUp(log_folder_);
  ServiceDriver& d = NewDriver();
  ASSERT_EQ(d.Open(), OPOS_SUCCESS);
  const int64_t start = ServiceMs();
  const int32_t result = d.Call("ClaimDevice", {Variant::Long(1000)});
  const int64_t ms = ServiceMs() - start;
  EXPECT_EQ(result, OPOS_E_NOHARDWARE) << "the operation mode could not be stored";
  EXPECT_LE(ms, 3000);
  EXPECT_TRUE(d.control_object().events().empty());
  // The retrieval may write the same log again under a later second's name
  // (it deletes the previous file only after the new one is complete): one
  // log is left, whole, and no empty one.
  const auto logs_after = TradingLogs(log_folder_);
  ASSERT_EQ(logs_after.size(), 1u) << "one trading log, no empty one beside it";
  EXPECT_EQ(ReadFileBytes(log_folder_ + logs_after[0].first), trading_log)
      << "the previous trading log's content stays whole";
  EXPECT_EQ(ReadFileBytes(log_folder_ + "user.reg"), user_reg);
  EXPECT_EQ(ReadFileBytes(log_folder_ + "machine.reg"), machine_reg);
  EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);

  ASSERT_EQ(::unlink(filler.c_str()), 0);
  Conclude("full disk", result, ms);
  ::umount2(small.c_str(), MNT_DETACH);
}

// --- the cash operations -----------------------------------------------------------

TEST_F(FaultMatrixTest, CashOperationFaults_EndInTimeAndReportThePartPaid) {
  const sim::CashCounts stock = SimCounts({{100, 10}, {500, 10}, {1000, 10}});

  {
    SCOPED_TRACE("pay-out jammed part-way");
    ServiceDriver& d = Ready(sim::Model::kKrt07, stock);
    ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault jam-payout 2").ok);
    const int64_t start = ServiceMs();
    const int32_t result = d.Call("DispenseChange", {Variant::Long(1800)});
    const int64_t ms = ServiceMs() - start;
    EXPECT_EQ(result, OPOS_E_FAILURE);
    ASSERT_TRUE(d.PumpUntil([&] { return DirectIoEvent(d, service::kPayoutEndedEarlyEvent) != nullptr; }));
    EXPECT_EQ(DirectIoEvent(d, service::kPayoutEndedEarlyEvent)->data, 1500) << "1000 and 500 were out";
    EXPECT_TRUE(d.AwaitStatus(CHAN_STATUS_JAM));
    EXPECT_LE(ms, 5000);
    machine().SetJam(false);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    Conclude("pay-out jammed part-way", result, ms);
  }
  {
    SCOPED_TRACE("unplugged during a pay-out");
    ServiceDriver& d = Ready(sim::Model::kKrt07, stock);
    Unplugger unplugger(machine(), "!");
    const int64_t start = ServiceMs();
    const int32_t result = d.Call("DispenseChange", {Variant::Long(1500)});
    const int64_t ms = ServiceMs() - start;
    EXPECT_TRUE(unplugger.Finish());
    EXPECT_EQ(result, OPOS_E_NOHARDWARE);
    ASSERT_TRUE(d.PumpUntil([&] { return DirectIoEvent(d, service::kPayoutEndedEarlyEvent) != nullptr; }));
    EXPECT_EQ(DirectIoEvent(d, service::kPayoutEndedEarlyEvent)->data, -1) << "the part paid is unknown";
    EXPECT_LE(ms, 15000);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    Conclude("unplugged during a pay-out", result, ms);
  }
  {
    SCOPED_TRACE("SUB for ever to a pay-out");
    ServiceDriver& d = Ready(sim::Model::kKrt07, stock, {{"DispenseChangeTimeout", "3000"}});
    ASSERT_TRUE(sim::ExecuteControlLine(machine(), "fault sub 600000 next cmd !").ok);
    const int64_t start = ServiceMs();
    const int32_t result = d.Call("DispenseChange", {Variant::Long(1500)});
    const int64_t ms = ServiceMs() - start;
    EXPECT_EQ(result, OPOS_E_NOHARDWARE);
    EXPECT_LE(ms, 6000) << "DispenseChangeTimeout 3000";
    ASSERT_TRUE(d.PumpUntil([&] { return DirectIoEvent(d, service::kPayoutEndedEarlyEvent) != nullptr; }))
        << "a pay-out that never ended is no success either";
    EXPECT_EQ(DirectIoEvent(d, service::kPayoutEndedEarlyEvent)->data, -1)
        << "the machine is still at it: what its counts show is no part paid";
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    Conclude("SUB for ever to a pay-out", result, ms);
  }
  {
    SCOPED_TRACE("unplugged during a deposit");
    ServiceDriver& d = Ready(sim::Model::kKrt07, stock);
    ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 0), OPOS_SUCCESS);
    ASSERT_EQ(d.Set(pidx::kPowerNotify, 1), OPOS_SUCCESS);
    ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
    ASSERT_EQ(d.Set(pidx::kDataEventEnabled, 1), OPOS_SUCCESS);
    ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
    ASSERT_EQ(machine().InsertCash(SimCounts({{1000, 2}})).status, sim::InsertResult::Status::kCounting);
    ASSERT_TRUE(d.PumpUntil([&] { return d.HasEvent("SOData", 0); }, 5000));
    machine().SetUnplugged(true);
    const int64_t start = ServiceMs();
    EXPECT_TRUE(d.AwaitStatus(OPOS_PS_OFF_OFFLINE, 15000));
    // The silent machine cannot fix the amount: never a success.
    const int32_t result = d.Call("FixDeposit");
    const int64_t ms = ServiceMs() - start;
    EXPECT_EQ(result, OPOS_E_NOHARDWARE);
    EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_E_ILLEGAL) << "not fixed";
    EXPECT_LE(ms, 12000) << "going offline, then the intake close and the count read wait their time-outs";
    // Plugged in again, the same deposit is fixed and ended with its cash.
    machine().SetUnplugged(false);
    EXPECT_TRUE(d.PumpUntil([&] { return d.so().device()->PowerState() == OPOS_PS_ONLINE; }, 15000));
    EXPECT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kDepositAmount), 2000);
    EXPECT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
    EXPECT_EQ(d.Call("Close"), OPOS_SUCCESS);
    Conclude("unplugged during a deposit", result, ms);
  }
}

}  // namespace
}  // namespace vexokrt::testing
