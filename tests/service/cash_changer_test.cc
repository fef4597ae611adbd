// SPDX-License-Identifier: Apache-2.0
#include "service/cash_changer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <fstream>

#include "config/device_config.h"
#include "device/changer_device.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "service/opos.h"
#include "support/exam_records.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "fake_control_object.h"

namespace vexokrt::service {
namespace {

using namespace opos;
using platform::RegResult;
using platform::RegRoot;
using testing::DatedSystemClock;
using testing::FakeControlObject;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::TestStartDate;

class CashChangerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1);
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    ASSERT_EQ(platform::RegCreateKey(RegRoot::kLocalMachine, key_), RegResult::kOk);
    // Without a folder the ExamLog would land in the working folder.
    Set("LogFolderName", dir_.prefix());
    // No device: a claim fails at the port, at once.
    Set("Port", dir_.file("no-such-port"));
  }
  void TearDown() override {
    so_.reset();
    ::unsetenv("OPOS_REGISTRY_DIR");
    ::unsetenv("OPOS_LOCK_DIR");
  }

  void Set(const std::string& name, const std::string& text) {
    ASSERT_EQ(platform::RegSetString(RegRoot::kLocalMachine, key_, name, text), RegResult::kOk);
  }
  // Trace at |level| into "<dir>/traceDD", ExamLog into the folder.
  void EnableLogs(const std::string& level = "0") {
    Set("DbgLogFileName", dir_.file("trace"));
    Set("DbgLogLevel", level);
    Set("LogFolderName", dir_.prefix());
  }
  // The day of the month in the trace file's name, from the object's clock.
  std::string Day() const {
    char day[8];
    std::snprintf(day, sizeof day, "%02d", clock_.LocalTimeNow().tm.tm_mday);
    return day;
  }
  std::string TracePath() const { return dir_.file("trace") + Day(); }
  std::string TraceText() const { return platform::Cp932ToUtf8(ReadFileBytes(TracePath())); }
  // The records of the ExamLog without their time stamps, oldest first (as
  // long as the ring has not wrapped).
  std::vector<std::string> ExamRecords() const { return vexokrt::testing::ExamRecords(dir_.file("ExamlogS.txt")); }
  int32_t Open(const std::string& name = "Dev1") { return so_->OpenService("CashChanger", name, &control_object_); }

  TempDir dir_;
  std::string key_ = config::DeviceKeyPath("Dev1");
  FakeControlObject control_object_;
  // Real time with a date of the test's own; declared first, so it outlives
  // the object.
  mutable DatedSystemClock clock_;
  std::unique_ptr<CCashChanger> so_ = [this] {
    auto so = std::make_unique<CCashChanger>();
    so->SetClock(clock_);
    return so;
  }();
};

TEST_F(CashChangerTest, ConstructionGivesTheClosedInitialValues) {
  EXPECT_EQ(so_->State(), OPOS_S_CLOSED);
  EXPECT_EQ(so_->result_code(), OPOS_E_CLOSED);
  EXPECT_EQ(so_->result_code_extended(), 0);
  EXPECT_EQ(so_->GetOpenResult(), 0);
  EXPECT_EQ(so_->service_object_description(), "Vexo Cash Changer KRT 77/07/02 Service Object");
  EXPECT_EQ(so_->service_object_version(), 1006312);
  EXPECT_FALSE(so_->trace_log().IsOn());
  EXPECT_EQ(so_->exam_log().FileName(), "");
  EXPECT_EQ(so_->window_handle(), 0u);
}

TEST_F(CashChangerTest, OpenServiceReadsTheKeyCreatesTheWindowAndLooksUpTheEvents) {
  Set("Port", "/dev/ttyS3");
  EXPECT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->State(), OPOS_S_IDLE);
  EXPECT_EQ(so_->GetOpenResult(), 0);
  EXPECT_EQ(so_->result_code(), OPOS_SUCCESS);
  EXPECT_EQ(so_->device_name(), "Dev1");
  EXPECT_EQ(so_->config().port, "/dev/ttyS3");
  EXPECT_NE(so_->window_handle(), 0u);
  EXPECT_EQ(so_->control_object(), &control_object_);
  EXPECT_EQ(control_object_.refs(), 0) << "attached without a reference";
  EXPECT_EQ(control_object_.asked(), (std::vector<std::string>{"SODirectIO", "SOStatusUpdate", "SOData"}));
  EXPECT_EQ(so_->event_ids().direct_io, 100);
  EXPECT_EQ(so_->event_ids().status_update, 101);
  EXPECT_EQ(so_->event_ids().data, 102);

  EXPECT_EQ(so_->Close(), OPOS_SUCCESS);
  EXPECT_EQ(so_->State(), OPOS_S_CLOSED);
  EXPECT_EQ(so_->window_handle(), 0u);
  EXPECT_EQ(so_->control_object(), nullptr);
}

TEST_F(CashChangerTest, TheHiddenWindowBelongsToTheThreadThatOpened) {
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  const platform::MessageId message = platform::RegisterMessageName("Test.CashChanger.Probe");
  int disposed = 0;
  std::thread([&] {
    EXPECT_EQ(platform::PostMessage(so_->window_handle(), message, 0, 0, [&](uintptr_t, intptr_t) { ++disposed; }),
              platform::PostResult::kPosted);
    EXPECT_EQ(platform::PumpMessages(), 0);
  }).join();
  EXPECT_EQ(platform::PumpMessages(), 1) << "queued for the opening thread";
  EXPECT_EQ(disposed, 1) << "no handler: the payload is disposed, not leaked";
}

TEST_F(CashChangerTest, UnknownDeviceNameGives104AndOpenResult302) {
  EXPECT_EQ(Open("NoSuchDevice"), OPOS_E_NOSERVICE);
  EXPECT_EQ(so_->GetOpenResult(), OPOS_OR_REGBADNAME);
  EXPECT_EQ(so_->result_code(), OPOS_E_NOSERVICE);
  EXPECT_EQ(so_->State(), OPOS_S_CLOSED);
  EXPECT_EQ(so_->window_handle(), 0u);
  EXPECT_TRUE(control_object_.asked().empty()) << "nothing created";
}

TEST_F(CashChangerTest, UnparsableMachineFileReadsAsNoDevice) {
  std::ofstream(dir_.file("machine.reg")) << "\x01\x02 not a registry file";
  EXPECT_EQ(Open(), OPOS_E_NOSERVICE);
  EXPECT_EQ(so_->GetOpenResult(), OPOS_OR_REGBADNAME);
}

TEST_F(CashChangerTest, UnparsableUserFileIsTracedAndTheOpenGoesOnWithDefaults) {
  EnableLogs();
  std::ofstream(dir_.file("user.reg")) << "garbage";
  EXPECT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->config().operation_mode_initialize, 0);
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("Err::Error   : registry file " + dir_.file("user.reg")), std::string::npos) << trace;
}

TEST_F(CashChangerTest, ControlObjectWithoutAnEventMemberGives104And305AndLeavesNothing) {
  FakeControlObject lacking({"SODirectIO", "SOStatusUpdate"});
  EXPECT_EQ(so_->OpenService("CashChanger", "Dev1", &lacking), OPOS_E_NOSERVICE);
  EXPECT_EQ(so_->GetOpenResult(), OPOS_OR_BADIF);
  EXPECT_EQ(so_->State(), OPOS_S_CLOSED);
  EXPECT_EQ(so_->control_object(), nullptr) << "detached";
  EXPECT_EQ(so_->window_handle(), 0u) << "the window of the failed open is gone";
  EXPECT_EQ(so_->device(), nullptr) << "and so is its device layer";

  EXPECT_EQ(so_->OpenService("CashChanger", "Dev1", nullptr), OPOS_E_NOSERVICE) << "no Control Object at all";
  EXPECT_EQ(so_->GetOpenResult(), OPOS_OR_BADIF);

  EXPECT_EQ(Open(), OPOS_SUCCESS) << "a later open starts clean";
  EXPECT_EQ(so_->GetOpenResult(), 0);
}

TEST_F(CashChangerTest, WindowThatCannotBeCreatedGives111And304WithItsErrorLine) {
  EnableLogs();
  platform::MessageWindow::FailNextCreations(1);
  EXPECT_EQ(Open(), OPOS_E_FAILURE);
  EXPECT_EQ(so_->GetOpenResult(), OPOS_OR_CREATE);
  EXPECT_EQ(so_->result_code(), OPOS_E_FAILURE);
  EXPECT_EQ(so_->State(), OPOS_S_CLOSED);
  EXPECT_EQ(so_->control_object(), nullptr);
  const std::string trace = TraceText();
  EXPECT_NE(trace.find(":Err::Error   : ウインドウの生成で失敗\n"), std::string::npos) << trace;
  EXPECT_NE(ReadFileBytes(TracePath()).find(platform::Utf8ToCp932("ウインドウの生成で失敗")), std::string::npos)
      << "written in the system code page";
  EXPECT_EQ(ExamRecords().back(), "1,101,0,111");
}

TEST_F(CashChangerTest, SecondOpenWhileOpenIsRefusedAndChangesNothing) {
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  const platform::WindowHandle window = so_->window_handle();
  EXPECT_EQ(Open(), OPOS_E_ILLEGAL);
  EXPECT_EQ(so_->State(), OPOS_S_IDLE);
  EXPECT_EQ(so_->window_handle(), window);
  EXPECT_EQ(so_->GetOpenResult(), 0);
}

TEST_F(CashChangerTest, DefaultCurrentExitOutside1To7Gives1) {
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int32_t>>{
           {"0", 1}, {"8", 1}, {"7", 7}, {"3", 3}, {"-2", 1}, {"x", 1}}) {
    Set("DefaultCurrentExit", text);
    ASSERT_EQ(Open(), OPOS_SUCCESS);
    EXPECT_EQ(so_->GetPropertyNumber(13004), expected);
    ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
  }
}

TEST_F(CashChangerTest, TraceOfASuccessfulOpenAndClose) {
  EnableLogs("0");
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
  const std::string trace = TraceText();
  const std::vector<std::string> expected = {
      ":Inf::Enter   : CCashChanger::OpenService\n",
      ":Inf::Enter   :   Param:   DeviceName is Dev1\n",
      ":Inf::Result  :   ResultCode is 0\n",
      ":Inf::Exit    : CCashChanger::OpenService\n",
      ":Inf::Enter   : CCashChanger::Close\n",
      ":Inf::Result  :   ResultCode is 0\n",
      ":Inf::Exit    : CCashChanger::Close\n",
  };
  size_t at = 0;
  for (const auto& line : expected) {
    at = trace.find(line, at);
    ASSERT_NE(at, std::string::npos) << "missing in order: " << line << "\n" << trace;
  }
  EXPECT_EQ(so_->trace_log().FileName(), TracePath());
}

TEST_F(CashChangerTest, FailuresAreTracedAsTwoErrorLinesAndOnlyErrorsAtLevel1) {
  EnableLogs("1");
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->CheckHealth(1), OPOS_E_NOTCLAIMED);
  const std::string trace = TraceText();
  EXPECT_EQ(trace.find(":Inf:"), std::string::npos) << trace;
  EXPECT_NE(trace.find(":Err::Error   :   ResultCode is 103\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(":Err::Error   : CCashChanger::CheckHealth\n"), std::string::npos) << trace;
  EXPECT_EQ(so_->result_code(), OPOS_E_NOTCLAIMED);
}

TEST_F(CashChangerTest, TraceIsOffForLevelMinusOneOtherLevelsOrNoFileName) {
  for (const std::string level : {"-1", "2", "5"}) {
    EnableLogs(level);
    ASSERT_EQ(Open(), OPOS_SUCCESS);
    EXPECT_EQ(so_->CheckHealth(1), OPOS_E_NOTCLAIMED);
    ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(TracePath())) << level;
  }
  Set("DbgLogLevel", "0");
  Set("DbgLogFileName", "");
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(TracePath()));
  EXPECT_EQ(so_->trace_log().FileName(), "");
}

// Sets the modification time of |path| to |seconds_ago| before the test
// clocks' date (a local time, as the file's date is read).
void Age(const std::string& path, long seconds_ago) {
  std::tm date = TestStartDate();
  timeval times[2] = {};
  times[0].tv_sec = std::mktime(&date) - seconds_ago;
  times[1] = times[0];
  ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

TEST_F(CashChangerTest, TraceFileOfTheSameDayInAnotherMonthIsStartedAfresh) {
  EnableLogs("0");
  std::ofstream(TracePath()) << "from this month\n";
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
  EXPECT_EQ(TraceText().rfind("from this month\n", 0), 0u) << "this month's file is appended to";

  // Forty days back always lies in another month.
  std::ofstream(TracePath()) << "2011:06:01:09:15:42: 37:Inf::Info    : from last month\n";
  Age(TracePath(), 40L * 24 * 3600);
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
  std::string trace = TraceText();
  EXPECT_EQ(trace.find("from last month"), std::string::npos);
  EXPECT_NE(trace.find("CCashChanger::OpenService"), std::string::npos);

  // The same month of last year is just as old.
  std::ofstream(TracePath()) << "2011:06:01:09:15:42: 37:Inf::Info    : from last year\n";
  Age(TracePath(), 366L * 24 * 3600);
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(TraceText().find("from last year"), std::string::npos);
}

TEST_F(CashChangerTest, OldDayFileIsKeptWhenItIsNotATraceOrTracingIsOff) {
  const std::string old_trace = "2011:06:01:09:15:42: 37:Inf::Info    : from last month\n";
  struct Case {
    const char* what;
    std::string level;
    std::string content;
  };
  const Case cases[] = {
      {"tracing off, our old trace", "-1", old_trace},
      {"tracing on, someone's file", "0", "the shopping list\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EnableLogs(c.level);
    std::ofstream(TracePath(), std::ios::binary) << c.content;
    Age(TracePath(), 40L * 24 * 3600);
    ASSERT_EQ(Open(), OPOS_SUCCESS);
    ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
    EXPECT_EQ(ReadFileBytes(TracePath()).rfind(c.content, 0), 0u) << "the file was deleted";
  }
}

TEST_F(CashChangerTest, LogFolderNameWithoutSeparator_KeepsTheExamLogInsideTheFolder) {
  Set("LogFolderName", dir_.path().string());
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
  EXPECT_FALSE(ExamRecords().empty()) << "no ExamLog in the folder";
  EXPECT_FALSE(std::filesystem::exists(dir_.path().string() + "ExamlogS.txt")) << "an ExamLog beside the folder";
}

// No LogFolderName switches the ExamLog off: nothing is written into the
// working folder, and the calls still work.
TEST_F(CashChangerTest, EmptyLogFolderName_SwitchesTheExamLogOff) {
  const std::string work = dir_.file("work");
  ASSERT_TRUE(std::filesystem::create_directory(work));
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(work);
  Set("LogFolderName", "");
  EXPECT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->exam_log().FileName(), "");
  EXPECT_EQ(so_->DispenseChange(10), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->Close(), OPOS_SUCCESS);
  std::filesystem::current_path(previous);
  EXPECT_FALSE(std::filesystem::exists(work + "/ExamlogS.txt")) << "an ExamLog in the working folder";
}

TEST_F(CashChangerTest, ExamLogRecordsOfOpenCloseAndRefusedCalls) {
  EnableLogs("-1");
  Set("ExmLogFileName", dir_.file("elsewhere.txt"));
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->exam_log().FileName(), dir_.prefix() + "ExamlogS.txt");
  EXPECT_EQ(so_->exam_log().SizeLimit(), 358400);
  int32_t data = 5;
  std::string text = "abc";
  EXPECT_EQ(so_->DirectIO(21, &data, &text), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->DispenseChange(1500), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->CheckHealth(2), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->Release(), OPOS_E_ILLEGAL);
  ASSERT_EQ(so_->Close(), OPOS_SUCCESS);
  EXPECT_EQ(ExamRecords(), (std::vector<std::string>{
                               "1,1,0,0", "1,101,0,0",                 // OpenService
                               "1,7,21,5", "1,107,21,103",             // DirectIO
                               "1,10,1500,0", "1,110,1500,103",        // DispenseChange
                               "1,5,2,0", "1,105,2,103",               // CheckHealth
                               "1,4,0,0", "1,104,0,106",               // Release while not claimed
                               "1,2,0,0", "1,102,0,0",                 // Close
                           }));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("elsewhere.txt"))) << "ExmLogFileName has no effect";
}

TEST_F(CashChangerTest, ExamLogStaysWithinExmLogMaxSize) {
  EnableLogs("-1");
  Set("ExmLogMaxSize", "300");
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  for (int i = 0; i < 40; ++i) so_->DispenseChange(i);
  const size_t size = ReadFileBytes(dir_.file("ExamlogS.txt")).size();
  EXPECT_LE(size, 300u + 40u) << "the limit plus at most one record";
}

TEST_F(CashChangerTest, MissingLogFolderSkipsTheLogsAndTheCallsStillWork) {
  Set("DbgLogFileName", dir_.file("missing/trace"));
  Set("DbgLogLevel", "0");
  Set("LogFolderName", dir_.file("missing") + "/");
  EXPECT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->CheckHealth(1), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->Close(), OPOS_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));
}

TEST_F(CashChangerTest, ReadOnlyLogFolderSkipsTheLogsAndTheCallsStillWork) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string folder = dir_.file("ro");
  ASSERT_EQ(::mkdir(folder.c_str(), 0555), 0);
  Set("DbgLogFileName", folder + "/trace");
  Set("DbgLogLevel", "0");
  Set("LogFolderName", folder + "/");
  EXPECT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->Close(), OPOS_SUCCESS);
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST_F(CashChangerTest, LogFolderThatIsAFileSkipsTheLogsAndTheCallsStillWork) {
  const std::string file = dir_.file("plain-file");
  std::ofstream(file) << "not a folder";
  Set("DbgLogFileName", file + "/trace");
  Set("DbgLogLevel", "0");
  Set("LogFolderName", file + "/");
  EXPECT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->DispenseChange(10), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->Close(), OPOS_SUCCESS);
  EXPECT_EQ(ReadFileBytes(file), "not a folder");
}

TEST_F(CashChangerTest, CloseWhileBusyGives113AndChangesNothing) {
  EnableLogs("-1");
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  so_->SetState(OPOS_S_BUSY);
  EXPECT_EQ(so_->Close(), OPOS_E_BUSY);
  EXPECT_EQ(so_->State(), OPOS_S_BUSY);
  EXPECT_NE(so_->window_handle(), 0u);
  EXPECT_EQ(so_->control_object(), &control_object_);
  const std::vector<std::string> records = ExamRecords();
  EXPECT_EQ(std::vector<std::string>(records.end() - 2, records.end()),
            (std::vector<std::string>{"1,2,0,0", "1,102,0,113"}));
  so_->SetState(OPOS_S_IDLE);
  EXPECT_EQ(so_->Close(), OPOS_SUCCESS);
}

TEST_F(CashChangerTest, MembersOfLaterStepsAnswerAsTheStateRequires) {
  std::string text;
  bool discrepancy = false;
  int32_t data = 0;
  // Closed.
  EXPECT_EQ(so_->Claim(0), OPOS_E_CLOSED);
  EXPECT_EQ(so_->DispenseCash("1:1"), OPOS_E_CLOSED);
  EXPECT_EQ(so_->ReadCashCounts(&text, &discrepancy), OPOS_E_CLOSED);
  EXPECT_EQ(so_->Release(), OPOS_E_ILLEGAL);

  EnableLogs("0");
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->CheckHealth(1), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->DirectIO(1, &data, &text), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->DispenseCash("1:1"), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->DispenseChange(100), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->ReadCashCounts(&text, &discrepancy), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->ClearInput(), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->BeginDeposit(), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->EndDeposit(1), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->FixDeposit(), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->PauseDeposit(11), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->Release(), OPOS_E_ILLEGAL);
  EXPECT_EQ(so_->ReleaseDevice(), OPOS_E_ILLEGAL);
  for (int32_t index : {2, 3, 4, 11, 13, 13001, 13004}) {
    so_->SetPropertyNumber(index, 1);
    EXPECT_EQ(so_->result_code(), OPOS_E_NOTCLAIMED) << index;
  }
  so_->SetPropertyString(1013002, "JPY");
  EXPECT_EQ(so_->result_code(), OPOS_E_NOTCLAIMED);

  // Without a port the claim fails and leaves nothing claimed.
  EXPECT_EQ(so_->ClaimDevice(1000), OPOS_E_NOHARDWARE);
  EXPECT_FALSE(so_->claimed());
  EXPECT_FALSE(so_->claim_semaphore().held());
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("Enter   : CCashChanger::ClaimDevice\n"), std::string::npos);
  EXPECT_NE(trace.find("Enter   :   Param:   Timeout is 1000\n"), std::string::npos);
  EXPECT_NE(trace.find(":Err::Error   :   ResultCode is 107\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Enter   :   Param:   Number is 1\n"), std::string::npos);
  EXPECT_NE(trace.find("Enter   : CCashChanger::DoCurrencyCode\n"), std::string::npos);
  EXPECT_NE(trace.find("Enter   :   Param:   String is JPY\n"), std::string::npos);
  EXPECT_NE(trace.find("Enter   :   Param:   Command is 1, pData is 0, pString is \n"), std::string::npos);
  EXPECT_NE(trace.find("Enter   :   Param:   CashCounts is 1:1\n"), std::string::npos);
}

TEST_F(CashChangerTest, COFreezeEventsLeavesResultCodeAlone) {
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->CheckHealth(1), OPOS_E_NOTCLAIMED);
  EXPECT_EQ(so_->COFreezeEvents(true), OPOS_SUCCESS);
  EXPECT_EQ(so_->result_code(), OPOS_E_NOTCLAIMED);
}

TEST_F(CashChangerTest, PropertiesOfThisStepAreReadWithTheirTraceLine) {
  EnableLogs("0");
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  EXPECT_EQ(so_->GetPropertyNumber(9), OPOS_S_IDLE);
  EXPECT_EQ(so_->GetPropertyNumber(8), 1006312);
  EXPECT_EQ(so_->GetPropertyNumber(6), OPOS_SUCCESS);
  EXPECT_EQ(so_->GetPropertyNumber(1), 0);
  EXPECT_EQ(so_->GetPropertyString(1000004), "Vexo Cash Changer KRT 77/07/02 Service Object");
  const std::string trace = TraceText();
  EXPECT_NE(trace.find(":Inf::Prop Get:   State is 2\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(":Inf::Prop Get:   ServiceObjectDescription is Vexo Cash Changer KRT 77/07/02 Service Object\n"),
            std::string::npos);
}

TEST_F(CashChangerTest, ObjectsHoldTheModuleWhileTheyLive) {
  const long before = ModuleLockCount();
  {
    CCashChanger another;
    EXPECT_EQ(ModuleLockCount(), before + 1);
  }
  EXPECT_EQ(ModuleLockCount(), before);
}

TEST_F(CashChangerTest, DestroyingAnOpenObjectWithoutCloseLeavesNoWindow) {
  ASSERT_EQ(Open(), OPOS_SUCCESS);
  const platform::WindowHandle window = so_->window_handle();
  so_.reset();
  EXPECT_EQ(platform::PostMessage(window, platform::RegisterMessageName("Test.CashChanger.Gone"), 0, 0),
            platform::PostResult::kNoWindow);
}

}  // namespace
}  // namespace vexokrt::service
