// SPDX-License-Identifier: Apache-2.0
#include "link/comm_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service/opos.h"
#include "support/failing_allocations.h"
#include "support/scripted_line.h"
#include "support/spin_until.h"
#include "support/temp_dir.h"

namespace vexokrt {
namespace {

constexpr int32_t kDayLong = 86400000;

using testing::Answer;
using testing::SteppingClock;
using testing::LineEvent;
using testing::ScriptedLine;

// The device layer as a recorder.
class RecordingDelegate : public CommThreadDelegate {
 public:
  void AsyncStopDone() override { Log(Delivery("async-stop-done")); }
  void ResetMailboxes() override { Log("reset-mailboxes"); }
  bool ServeMailboxes(bool) override {
    serve_calls.fetch_add(1);
    return serve_result.load();
  }
  bool AskTakeBackRetry(const std::function<bool()>&) override {
    Log("ask-retry");
    return retry_answer.load();
  }
  void DeliverPosted(const DeviceRequest& request, DeviceReply reply, bool executed) override {
    std::lock_guard<std::mutex> lock(lock_);
    posted.push_back({request.message, std::move(reply), executed});
    log.push_back(Delivery("posted"));
    changed_.notify_all();
  }
  opos::OposResult RunLogFileRequest(int32_t code) override {
    Log("log-request " + std::to_string(code));
    return code + 100;
  }
  void DeliverLogResult(const DeviceRequest&, opos::OposResult result) override {
    Log(Delivery("log-result " + std::to_string(result.code)));
  }
  void ReportPowerState(int32_t power_state) override {
    std::lock_guard<std::mutex> lock(lock_);
    power.push_back(power_state);
    changed_.notify_all();
  }
  void TakeDepositAnswer(const DeviceReply& reply, DepositRead kind) override {
    Log(kind == DepositRead::kFull ? "deposit-o " + std::to_string(reply.length())
                                   : "deposit-, " + std::to_string(reply.length()));
  }
  void TakeStatus(std::span<const uint8_t> record) override { Log("status " + std::to_string(record.size())); }
  bool TakeCounts(std::span<const uint8_t> a, std::span<const uint8_t> b) override {
    Log("counts " + std::to_string(a.size()) + "/" + std::to_string(b.size()));
    return true;
  }
  int32_t RunHistoryStep() override {
    Log("history");
    return history_result.load();
  }
  bool DepositUnderWay() override { return deposit_under_way.load(); }

  struct Posted {
    std::string message;
    DeviceReply reply;
    bool executed;
  };

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(lock_);
    return log;
  }
  std::vector<int32_t> Power() {
    std::lock_guard<std::mutex> lock(lock_);
    return power;
  }
  std::vector<Posted> Posts() {
    std::lock_guard<std::mutex> lock(lock_);
    return posted;
  }
  bool WaitUntil(const std::function<bool()>& predicate, int64_t ms = 5000) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      lock.unlock();
      const bool done = predicate();
      lock.lock();
      return done;
    });
  }

  // Set before the thread starts: deliveries made while the thread still
  // reads busy are logged with " (busy)", which no answer should carry.
  std::function<bool()> busy_probe;
  std::atomic<int> serve_calls{0};
  std::atomic<bool> serve_result{false};
  std::atomic<bool> retry_answer{false};
  std::atomic<int32_t> history_result{0};
  std::atomic<bool> deposit_under_way{false};

 private:
  std::string Delivery(std::string entry) const { return busy_probe && busy_probe() ? entry + " (busy)" : entry; }
  void Log(std::string entry) {
    std::lock_guard<std::mutex> lock(lock_);
    log.push_back(std::move(entry));
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> log;
  std::vector<int32_t> power;
  std::vector<Posted> posted;
};

std::vector<uint8_t> Bytes(const std::string& body) {
  std::vector<uint8_t> bytes(body.size() + 1, kDc1);
  std::copy(body.begin(), body.end(), bytes.begin() + 1);
  return bytes;
}

std::string Body(const std::vector<uint8_t>& command) { return std::string(command.begin() + 1, command.end()); }

// A device answering reads with records of the right lengths.
Answer ReadsAnswer(const std::vector<uint8_t>& command, ModelCode model) {
  const std::string body = Body(command);
  if (body == "H00" || body == "i00") {
    return Answer::Data(std::vector<uint8_t>(static_cast<size_t>(StatusRecordLength(model)), '0'));
  }
  if (body == "\"00") return Answer::Data(std::vector<uint8_t>(model == ModelCode::kKrt03 ? 30 : 70, '0'));
  if (body == "&00") return Answer::Data(std::vector<uint8_t>(30, '0'));
  if (body == "o00") return Answer::Data(std::vector<uint8_t>(35, '0'));
  if (body == ",00") return Answer::Data(std::vector<uint8_t>(32, '0'));
  if (body == ":00") {
    std::vector<uint8_t> name(28, ' ');
    const std::string krt07 = "KRT07A ";
    std::copy(krt07.begin(), krt07.end(), name.begin() + 20);
    return Answer::Data(name);
  }
  return Answer::Byte(kAck);
}

class CommThreadTest : public ::testing::Test {
 protected:
  // The owner's order: the thread stops before the port closes.
  void TearDown() override {
    if (thread_) thread_->Stop();
    line_.ClosePort();
  }

  // The owner's order: the port opens, then the thread starts.
  void Make(CommThread::Settings settings = {1, 0}) {
    thread_ = std::make_unique<CommThread>(line_, delegate_, settings, clock_);
    delegate_.busy_probe = [thread = thread_.get()] { return thread->Busy(); };
    ASSERT_EQ(line_.OpenPort(), 0);
    ASSERT_EQ(thread_->Start(), ThreadStart::kRunning);
  }

  std::shared_ptr<WaitSlot> Send(const std::string& body, WaitStyle style, int32_t timeout_ms,
                                 int32_t delay_after_ms = 0) {
    auto slot = std::make_shared<WaitSlot>();
    auto request = std::make_unique<DeviceRequest>();
    request->command = Bytes(body);
    request->slot = slot;
    request->wait_style = style;
    request->timeout_ms = timeout_ms;
    request->delay_after_ms = delay_after_ms;
    EXPECT_TRUE(thread_->Enqueue(std::move(request)));
    return slot;
  }

  std::vector<LineEvent> Receives() {
    std::vector<LineEvent> receives;
    for (const LineEvent& e : line_.Events()) {
      if (e.kind == LineEvent::Kind::kReceive) receives.push_back(e);
    }
    return receives;
  }

  SteppingClock clock_;
  ScriptedLine line_{clock_, ModelCode::kKrt07};
  RecordingDelegate delegate_;
  std::unique_ptr<CommThread> thread_;
};

TEST_F(CommThreadTest, RequestsFromTwoThreadsRunInSendingOrder) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  line_.OnFrame([gate](const std::vector<uint8_t>& command) {
    const std::string body = Body(command);
    if (body == "X01") {
      gate.wait();
      return Answer::Byte(kAck);
    }
    return Answer::Byte(body == "Y02" ? kLf : kEtb);
  });
  Make();
  thread_->SetDepositPhase(1);  // no status and counts reads after each request

  auto first = Send("X01", WaitStyle::kNone, 1000);
  ASSERT_TRUE(line_.WaitForCommand("X01"));
  std::shared_ptr<WaitSlot> second;
  std::shared_ptr<WaitSlot> third;
  std::thread a([&] { second = Send("Y02", WaitStyle::kNone, 1000); });
  a.join();
  std::thread b([&] { third = Send("Z03", WaitStyle::kNone, 1000); });
  b.join();
  EXPECT_EQ(thread_->QueuedCount(), 2u);
  release.set_value();

  EXPECT_EQ(first->Wait().answerByte, kAck);
  EXPECT_EQ(second->Wait().answerByte, kLf);
  EXPECT_EQ(third->Wait().answerByte, kEtb);
  EXPECT_EQ(line_.Commands(), (std::vector<std::string>{"X01", "Y02", "Z03"}));
}

TEST_F(CommThreadTest, BusyRequestAnsweredSubForeverEndsNearItsTimeout) {
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Silence(); });
  line_.OnEnquiry([] {
    Answer sub = Answer::Byte(kSub);
    sub.delay_ms = 100;
    return sub;
  });
  Make();
  thread_->SetDepositPhase(1);
  const int64_t start = clock_.NowMs();
  const DeviceReply reply = Send("!06001500", WaitStyle::kBusy, 60000)->Wait();
  const int64_t elapsed = clock_.NowMs() - start;

  EXPECT_EQ(reply.status, kReplyTimeout);
  EXPECT_GE(elapsed, 60000);
  EXPECT_LT(elapsed, 60000 + 250) << "one enquiry past the time-out at most";
  const int enquiries = line_.Count(LineEvent::Kind::kEnquiry);
  EXPECT_GT(enquiries, 500);
  EXPECT_EQ(delegate_.serve_calls.load(), enquiries) << "the in-wait check runs on every pass";
  for (const LineEvent& e : line_.Events()) {
    if (e.kind == LineEvent::Kind::kEnquiry) {
      ASSERT_TRUE(e.suppress) << "pay-out enquiries make no follow-up reads";
    }
  }
}

TEST_F(CommThreadTest, BusyRequestEndsWithTheFirstAnswerThatIsNotSub) {
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Silence(); });
  const int64_t start = clock_.NowMs();
  line_.OnEnquiry([this, start] {
    Answer a = Answer::Byte(clock_.NowMs() - start < 30000 ? kSub : kAck);
    a.delay_ms = 100;
    return a;
  });
  Make();
  thread_->SetDepositPhase(1);
  const DeviceReply reply = Send("e00", WaitStyle::kBusy, kDayLong)->Wait();
  EXPECT_EQ(reply.status, kReplyOk);
  EXPECT_EQ(reply.answerByte, kAck);
  EXPECT_GE(clock_.NowMs() - start, 30000);
  EXPECT_LT(clock_.NowMs() - start, 31000);
  for (const LineEvent& e : line_.Events()) {
    if (e.kind == LineEvent::Kind::kEnquiry) {
      ASSERT_FALSE(e.suppress);
    }
  }
}

TEST_F(CommThreadTest, ProgressPollsWhileDc4OrLfAndEndsOnAck) {
  std::vector<uint8_t> answers = {kDc4, kLf, kDc4, kLf, kAck};
  std::atomic<size_t> next{0};
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Silence(); });
  line_.OnEnquiry([&] { return Answer::Byte(answers[std::min(next.fetch_add(1), answers.size() - 1)]); });
  Make();
  thread_->SetDepositPhase(1);
  const DeviceReply reply = Send("I02><", WaitStyle::kProgress, 60000)->Wait();
  EXPECT_EQ(reply.answerByte, kAck);
  EXPECT_EQ(line_.Count(LineEvent::Kind::kEnquiry), 5);

  // Busy ends at DC4, which only Progress treats as "still working".
  next = 0;
  line_.ClearEvents();
  EXPECT_EQ(Send("e00", WaitStyle::kBusy, 60000)->Wait().answerByte, kDc4);
  EXPECT_EQ(line_.Count(LineEvent::Kind::kEnquiry), 1);
}

TEST_F(CommThreadTest, NoneStyleReadsOnceMoreForTheRestOfTheTimeout) {
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Silence(); });
  Make();
  thread_->SetDepositPhase(1);
  for (const auto& [timeout, rest] : {std::pair{1000, 500}, std::pair{500, 0}, std::pair{300, 0}}) {
    line_.ClearEvents();
    EXPECT_EQ(Send("+00", WaitStyle::kNone, timeout)->Wait().status, kReplyTimeout);
    const std::vector<LineEvent> receives = Receives();
    ASSERT_EQ(receives.size(), 2u) << timeout;
    EXPECT_EQ(receives[0].timeout_ms, 500);
    EXPECT_EQ(receives[1].timeout_ms, rest) << timeout;
    EXPECT_EQ(line_.Count(LineEvent::Kind::kEnquiry), 0);
  }
}

TEST_F(CommThreadTest, StopEndsALongWaitAndAnswersQueuedRequestsWithoutRunningThem) {
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Silence(); });
  // The first enquiry holds the running request until both others are
  // queued, so the polling loop does not spin meanwhile.
  std::promise<void> queued;
  std::shared_future<void> both_queued = queued.get_future().share();
  line_.OnEnquiry([both_queued] {
    both_queued.wait();
    return Answer::Byte(kSub);
  });
  Make();
  thread_->SetDepositPhase(1);
  auto running = Send("n21000", WaitStyle::kBusy, kDayLong);
  ASSERT_TRUE(line_.WaitUntil([](const std::vector<LineEvent>& events) {
    return std::any_of(events.begin(), events.end(),
                       [](const LineEvent& e) { return e.kind == LineEvent::Kind::kEnquiry; });
  }));
  auto queued_payout = Send("!06001000", WaitStyle::kBusy, kDayLong);
  auto queued_read = Send("+00", WaitStyle::kNone, 1000);
  queued.set_value();

  const auto before = std::chrono::steady_clock::now();
  thread_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_FALSE(thread_->Running());

  EXPECT_EQ(running->Wait().status, kReplyTimeout);
  EXPECT_EQ(queued_payout->Wait().status, kReplyTimeout);
  EXPECT_EQ(queued_read->Wait().status, kReplyTimeout);
  EXPECT_EQ(line_.CountCommand("!06"), 0) << "a queued pay-out must not run at shutdown";
  EXPECT_EQ(line_.CountCommand("+00"), 0);
  EXPECT_FALSE(thread_->Enqueue(std::make_unique<DeviceRequest>())) << "a stopped thread takes nothing";
}

TEST_F(CommThreadTest, DiscardAnswersWaitersAtOnce) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  line_.OnFrame([gate](const std::vector<uint8_t>& command) {
    if (Body(command) == "X01") gate.wait();
    return Answer::Byte(kAck);
  });
  Make();
  thread_->SetDepositPhase(1);
  auto running = Send("X01", WaitStyle::kNone, 1000);
  ASSERT_TRUE(line_.WaitForCommand("X01"));
  auto discarded = Send("Y02", WaitStyle::kNone, 1000);

  thread_->DiscardQueued();
  EXPECT_TRUE(discarded->Done()) << "answered before the running request ends";
  EXPECT_EQ(discarded->Wait().status, kReplyTimeout);
  EXPECT_TRUE(thread_->Busy()) << "the running request keeps the thread busy";
  release.set_value();
  EXPECT_EQ(running->Wait().answerByte, kAck);
  EXPECT_FALSE(thread_->Busy()) << "idle before the answer is delivered";
  EXPECT_EQ(line_.CountCommand("Y02"), 0);
}

// A command the port does not take is answered as a silent device's, at
// once, whatever the wait it asked for: nothing is received or enquired for
// it, and no time passes waiting.
TEST_F(CommThreadTest, CommandThatCannotBeWritten_IsATimeOutAtOnceInEveryWaitStyle) {
  Make();
  line_.SetWriteFails(true);
  for (const WaitStyle style :
       {WaitStyle::kNone, WaitStyle::kBusy, WaitStyle::kProgress, WaitStyle::kTakeBack, WaitStyle::kDispense}) {
    SCOPED_TRACE(static_cast<int>(style));
    line_.ClearEvents();
    const int64_t start = clock_.NowMs();
    const DeviceReply reply = Send("n21", style, 600000)->Wait();
    EXPECT_EQ(reply.status, kReplyTimeout);
    EXPECT_TRUE(reply.unsent);
    EXPECT_EQ(clock_.NowMs() - start, 0);
    EXPECT_EQ(line_.Count(LineEvent::Kind::kReceive), 0);
    EXPECT_EQ(line_.Count(LineEvent::Kind::kEnquiry), 0);
    EXPECT_EQ(line_.CountCommand("n21"), 1);
  }
}

TEST_F(CommThreadTest, ThreadThatCannotBeCreated_StartSaysSoAndNothingIsQueued) {
  thread_ = std::make_unique<CommThread>(line_, delegate_, CommThread::Settings{1, 0}, clock_);
  ASSERT_EQ(line_.OpenPort(), 0);
  ThreadStart started;
  {
    testing::FailingAllocations no_memory;
    started = thread_->Start();
  }
  EXPECT_EQ(started, ThreadStart::kFailed);
  EXPECT_FALSE(thread_->Running());
  auto request = std::make_unique<DeviceRequest>();
  request->command = Bytes("+00");
  EXPECT_FALSE(thread_->Enqueue(std::move(request)));
  EXPECT_EQ(thread_->Start(), ThreadStart::kRunning) << "a later start works";
}

// Nothing that the thread's work throws reaches the host program: a job
// that throws ends as failed and the thread goes on; a request that throws
// is answered, the thread stops, and whatever comes after is refused
// rather than left waiting.
TEST_F(CommThreadTest, WhatEscapesTheWorkIsAnsweredAndNeverEndsTheProgram) {
  Make();
  EXPECT_EQ(thread_->RunJob([] { throw std::runtime_error("a broken job"); }), JobEnd::kFailed);
  bool ran = false;
  EXPECT_EQ(thread_->RunJob([&] { ran = true; }), JobEnd::kRan);
  EXPECT_TRUE(ran) << "the next job runs";

  line_.OnFrame([](const std::vector<uint8_t>&) -> Answer { throw std::runtime_error("a broken line"); });
  const DeviceReply reply = Send("+00", WaitStyle::kNone, 1000)->Wait();
  EXPECT_NE(reply.status, kReplyOk) << "the request that threw is answered";
  ASSERT_TRUE(testing::SpinUntil([&] { return !thread_->Running(); })) << "and the thread has stopped";
  EXPECT_EQ(thread_->RunJob([] {}), JobEnd::kNotQueued);
  auto later = std::make_unique<DeviceRequest>();
  later->command = Bytes("+00");
  EXPECT_FALSE(thread_->Enqueue(std::move(later)));
}

TEST_F(CommThreadTest, NothingIsQueuedWhileThePortIsClosed) {
  Make();
  line_.ClosePort();
  EXPECT_TRUE(thread_->Running()) << "the line never stops the thread";
  auto request = std::make_unique<DeviceRequest>();
  request->command = Bytes("+00");
  EXPECT_FALSE(thread_->Enqueue(std::move(request)));
  EXPECT_FALSE(thread_->Busy()) << "nothing queued, nothing busy";
}

TEST_F(CommThreadTest, AfterEachRequestStateGoesIdleThenStatusAndCountsAreReadBeforeDelivery) {
  constexpr ModelCode model = ModelCode::kKrt07;
  line_.OnFrame([](const std::vector<uint8_t>& command) { return ReadsAnswer(command, model); });
  Make();
  auto request = std::make_unique<DeviceRequest>();
  request->command = Bytes("+00");
  request->delivery = Delivery::kPost;
  request->message = "done";
  request->timeout_ms = 1000;
  ASSERT_TRUE(thread_->Enqueue(std::move(request)));
  ASSERT_TRUE(delegate_.WaitUntil([&] { return !delegate_.Posts().empty(); }));
  EXPECT_EQ(line_.Commands(), (std::vector<std::string>{"+00", "H00", "\"00"}));
  EXPECT_EQ(delegate_.Log(), (std::vector<std::string>{"reset-mailboxes", "status 51", "counts 70/0", "posted"}));
  EXPECT_TRUE(delegate_.Posts()[0].executed);
  EXPECT_EQ(delegate_.Posts()[0].reply.answerByte, kAck);

  // During a deposit phase nothing is read after the request.
  thread_->SetDepositPhase(1);
  line_.ClearEvents();
  EXPECT_EQ(Send("+00", WaitStyle::kNone, 1000)->Wait().answerByte, kAck);
  EXPECT_EQ(line_.Commands(), (std::vector<std::string>{"+00"}));
}

TEST_F(CommThreadTest, DepositTableCommandReadsTheStatusAfterEveryAnswer) {
  constexpr ModelCode model = ModelCode::kKrt07;
  std::atomic<int> enquiries{0};
  line_.OnEnquiry([&] { return Answer::Byte(enquiries.fetch_add(1) < 2 ? kSub : kAck); });
  Make();
  thread_->SetDepositPhase(1);
  line_.OnFrame([](const std::vector<uint8_t>& command) {
    if (Body(command).rfind("p22", 0) == 0) return Answer::Silence();
    return ReadsAnswer(command, model);
  });
  EXPECT_EQ(Send("p22" + std::string(34, '0'), WaitStyle::kTakeBack, 50000)->Wait().answerByte, kAck);
  // p22, then a status read after the first answer and after each of the
  // three enquiries.
  EXPECT_EQ(line_.CountCommand("H00"), 4);
  EXPECT_EQ(line_.Count(LineEvent::Kind::kEnquiry), 3);
}

TEST_F(CommThreadTest, DelayAfterIsSpentBeforeTheStateGoesIdle) {
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Byte(kAck); });
  Make();
  thread_->SetDepositPhase(1);
  const int64_t start = clock_.NowMs();
  Send("=0220", WaitStyle::kNone, 2000, /*delay_after_ms=*/200)->Wait();
  EXPECT_GE(clock_.NowMs() - start, 200);
}

TEST_F(CommThreadTest, LogRequestRunsItsRetrievalOnly) {
  Make();
  auto request = std::make_unique<DeviceRequest>();
  request->delivery = Delivery::kPost;
  request->log_request_code = 5;
  ASSERT_TRUE(thread_->Enqueue(std::move(request)));
  ASSERT_TRUE(delegate_.WaitUntil([&] {
    const auto log = delegate_.Log();
    return !log.empty() && log.back() == "log-result 105";
  }));
  EXPECT_EQ(delegate_.Log(), (std::vector<std::string>{"log-request 5", "log-result 105"}));
  EXPECT_TRUE(line_.Commands().empty());
}

TEST_F(CommThreadTest, Krt03TakeBackStallAsksTheApplication) {
  line_.SetModel(ModelCode::kKrt03);
  std::atomic<int> subs{0};
  line_.OnFrame([](const std::vector<uint8_t>& command) {
    const std::string body = Body(command);
    if (body == "i00") {
      std::vector<uint8_t> status(53, '0');
      status[51] = '4';
      status[52] = 'A';
      return Answer::Data(status);
    }
    if (body.rfind("-1?", 0) == 0 || body.rfind("$14", 0) == 0) return Answer::Silence();
    return Answer::Byte(kAck);
  });
  line_.OnEnquiry([&] { return Answer::Byte(subs.fetch_add(1) < 1 ? kSub : kAck); });
  Make();
  thread_->SetDepositPhase(1);

  delegate_.retry_answer = true;
  EXPECT_EQ(Send("-1?" + std::string(31, '0'), WaitStyle::kTakeBack, 50000)->Wait().answerByte, kAck);
  EXPECT_EQ(line_.CountCommand("E010"), 1);
  auto log = delegate_.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "ask-retry"), 1);

  // Not retried: the device is told to stop.
  subs = 0;
  delegate_.retry_answer = false;
  line_.ClearEvents();
  EXPECT_EQ(Send("-1?" + std::string(31, '0'), WaitStyle::kTakeBack, 50000)->Wait().answerByte, kAck);
  EXPECT_EQ(line_.CountCommand("000"), 1);
  EXPECT_EQ(line_.CountCommand("E010"), 0);

  // A dispense retries without asking.
  subs = 0;
  line_.ClearEvents();
  EXPECT_EQ(Send("$14" + std::string(20, '0'), WaitStyle::kDispense, 50000)->Wait().answerByte, kAck);
  EXPECT_EQ(line_.CountCommand("E010"), 1);
  log = delegate_.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "ask-retry"), 2);
}

TEST_F(CommThreadTest, AsyncStopAcknowledgedDuringTheWaitIsReportedAfterTheRequest) {
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Silence(); });
  std::atomic<int> enquiries{0};
  line_.OnEnquiry([&] { return Answer::Byte(enquiries.fetch_add(1) < 3 ? kSub : kBel); });
  Make();
  thread_->SetDepositPhase(1);
  delegate_.serve_result = true;
  EXPECT_EQ(Send("!06001000", WaitStyle::kBusy, 60000)->Wait().answerByte, kBel);
  const auto log = delegate_.Log();
  EXPECT_EQ(log, (std::vector<std::string>{"async-stop-done", "reset-mailboxes"}));
}

class CommThreadWatchTest : public CommThreadTest {
 protected:
  // Lets the watch run on the test clock: whenever the thread comes to rest
  // in its idle wait, moves the clock past the watch interval, until |done|
  // holds.
  bool WatchUntil(const std::function<bool()>& done) {
    return clock_.RunUntil(done, CommThread::Settings{}.watch_interval_ms);
  }
  void Plug(ModelCode model) {
    line_.SetModel(model);
    line_.OnFrame([model](const std::vector<uint8_t>& command) { return ReadsAnswer(command, model); });
  }
};

TEST_F(CommThreadWatchTest, FourFailedStepsReportOfflineAndTheNextGoodStepOnline) {
  Plug(ModelCode::kKrt07);
  Make({1, 0});
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] { return !delegate_.Power().empty(); }));
  EXPECT_EQ(delegate_.Power().front(), opos::OPOS_PS_ONLINE);

  thread_->PauseWatch();
  line_.SetUnplugged(true);
  line_.ClearEvents();
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] {
    const auto power = delegate_.Power();
    return power.back() == opos::OPOS_PS_OFF_OFFLINE;
  }));
  thread_->PauseWatch();
  // Four failed steps (one status read each on a KRT07 outside a deposit),
  // then the model check.
  std::vector<std::string> commands = line_.Commands();
  ASSERT_GE(commands.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 5),
            (std::vector<std::string>{"H00", "H00", "H00", "H00", ":00"}));
  EXPECT_GE(thread_->WatchErrorCount(), 4);

  // Back on the line: the model check succeeds, then a whole good step
  // reports online.
  const size_t offline_reports = delegate_.Power().size();
  line_.SetUnplugged(false);
  line_.ClearEvents();
  thread_->ResumeWatch(thread_->WatchErrorCount());
  ASSERT_TRUE(WatchUntil([&] { return delegate_.Power().back() == opos::OPOS_PS_ONLINE; }));
  thread_->PauseWatch();
  const auto power = delegate_.Power();
  const auto first_online = std::find(power.begin() + static_cast<long>(offline_reports), power.end(),
                                       opos::OPOS_PS_ONLINE);
  ASSERT_NE(first_online, power.end());
  EXPECT_EQ(*(first_online - 1), opos::OPOS_PS_OFF_OFFLINE);
  commands = line_.Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
            (std::vector<std::string>{":00", "H00", "\"00"}));
  EXPECT_EQ(thread_->WatchErrorCount(), 0);
}

TEST_F(CommThreadWatchTest, AutoNegotiationReopensAndDetectsAfterTheFirstFailure) {
  Plug(ModelCode::kKrt07);
  testing::TempDir dir;
  diag::ExamLog exam;
  exam.SetFileName(dir.file("ExamlogS.txt"));
  thread_ = std::make_unique<CommThread>(line_, delegate_, CommThread::Settings{1, 1}, clock_, &exam);
  ASSERT_EQ(line_.OpenPort(), 0);
  ASSERT_EQ(thread_->Start(), ThreadStart::kRunning);
  line_.SetUnplugged(true);
  line_.ClearEvents();
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] { return !delegate_.Power().empty(); }));
  ASSERT_TRUE(WatchUntil([&] {
    for (const LineEvent& e : line_.Events()) {
      if (e.kind == LineEvent::Kind::kDetect) return true;
    }
    return false;
  }));
  EXPECT_EQ(delegate_.Power().front(), opos::OPOS_PS_OFF_OFFLINE) << "reported at once";
  EXPECT_TRUE(thread_->Recovering());
  EXPECT_TRUE(thread_->Running()) << "closing the port on the thread does not stop it";
  std::vector<LineEvent::Kind> kinds;
  for (const LineEvent& e : line_.Events()) {
    if (e.kind != LineEvent::Kind::kFrame && e.kind != LineEvent::Kind::kReceive) kinds.push_back(e.kind);
  }
  ASSERT_GE(kinds.size(), 3u);
  EXPECT_EQ(kinds[0], LineEvent::Kind::kClose);
  EXPECT_EQ(kinds[1], LineEvent::Kind::kOpen);
  EXPECT_EQ(kinds[2], LineEvent::Kind::kDetect);

  line_.SetUnplugged(false);
  ASSERT_TRUE(WatchUntil([&] { return delegate_.Power().back() == opos::OPOS_PS_ONLINE; }));
  EXPECT_FALSE(thread_->Recovering());
  thread_->PauseWatch();
  // Re-opened (7,3), detection failed (7,2) while unplugged, then succeeded (7,1).
  const std::string records = testing::ReadFileBytes(dir.file("ExamlogS.txt"));
  const size_t reopened = records.find(",7,3,0,0");
  const size_t failed = records.find(",7,2,0,0");
  const size_t recovered = records.find(",7,1,0,0");
  ASSERT_NE(reopened, std::string::npos);
  ASSERT_NE(failed, std::string::npos);
  ASSERT_NE(recovered, std::string::npos);
  EXPECT_LT(reopened, failed);
  EXPECT_LT(failed, recovered);
}

TEST_F(CommThreadWatchTest, WatchStepReadsByModelAndPhase) {
  Plug(ModelCode::kKrt07);
  Make();
  // Direct calls: the thread is paused and idle.
  thread_->SetDepositPhase(2);
  delegate_.deposit_under_way = true;
  line_.ClearEvents();
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] { return !delegate_.Power().empty(); }));
  thread_->PauseWatch();
  std::vector<std::string> commands = line_.Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "o00") << "KRT07 in a deposit phase reads the full deposit answer";
  EXPECT_EQ(commands[1], "H00");
  EXPECT_EQ(line_.CountCommand("\"00"), 0) << "no counts read during a deposit phase";
  auto log = delegate_.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "history"), 0) << "no history step while a deposit is open";

  // KRT02 outside a deposit: the short deposit read, status, counts, history.
  Plug(ModelCode::kKrt02);
  thread_->SetDepositPhase(0);
  delegate_.deposit_under_way = false;
  thread_->SetHistoryFetchEnabled(true);
  line_.ClearEvents();
  const size_t reports = delegate_.Power().size();
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] { return delegate_.Power().size() > reports; }));
  thread_->PauseWatch();
  commands = line_.Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
            (std::vector<std::string>{",00", "i00", "\"00"}));
  log = delegate_.Log();
  EXPECT_GE(std::count(log.begin(), log.end(), "history"), 1);
}

TEST_F(CommThreadWatchTest, FailedHistoryStepFailsTheWatchStep) {
  Plug(ModelCode::kKrt07);
  Make();
  thread_->SetHistoryFetchEnabled(true);
  delegate_.history_result = -10;  // "nothing to fetch" is fine
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] { return !delegate_.Power().empty(); }));
  thread_->PauseWatch();
  EXPECT_EQ(thread_->WatchErrorCount(), 0);
  delegate_.history_result = 3;
  const size_t reports = delegate_.Power().size();
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] { return delegate_.Power().back() == opos::OPOS_PS_OFF_OFFLINE; }));
  thread_->PauseWatch();
  for (size_t i = reports; i < delegate_.Power().size(); ++i) {
    EXPECT_NE(delegate_.Power()[i], opos::OPOS_PS_ONLINE);
  }
}

TEST_F(CommThreadWatchTest, Krt03CountsReadNeverClearsCountsStale) {
  Plug(ModelCode::kKrt03);
  thread_ = std::make_unique<CommThread>(line_, delegate_, CommThread::Settings{}, clock_);
  line_.OpenPort();
  thread_->SetCountsStale(true);
  EXPECT_EQ(thread_->CountsRead(), kReplyOk);
  EXPECT_TRUE(thread_->CountsStale());
  EXPECT_EQ(line_.Commands(), (std::vector<std::string>{"\"00", "&00"}));
  EXPECT_EQ(delegate_.Log(), (std::vector<std::string>{"counts 30/30"}));

  Plug(ModelCode::kKrt07);
  EXPECT_EQ(thread_->CountsRead(), kReplyOk);
  EXPECT_FALSE(thread_->CountsStale());

  // A wrong length is ignored and is no failure.
  thread_->SetCountsStale(true);
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Data(std::vector<uint8_t>(69, '0')); });
  EXPECT_EQ(thread_->CountsRead(), kReplyOk);
  EXPECT_TRUE(thread_->CountsStale());
}

TEST_F(CommThreadWatchTest, ExitSettingIsSentAfterAStatusThatAllowsIt) {
  std::atomic<uint8_t> byte1{'2'};
  std::atomic<bool> q_silent{false};
  line_.OnFrame([&](const std::vector<uint8_t>& command) {
    const std::string body = Body(command);
    if (body == "H00") {
      std::vector<uint8_t> status(51, '0');
      status[1] = byte1.load();
      return Answer::Data(status);
    }
    if (body.rfind("Q06", 0) == 0) return q_silent ? Answer::Silence() : Answer::Byte(kAck);
    return Answer::Byte(kAck);
  });
  thread_ = std::make_unique<CommThread>(line_, delegate_, CommThread::Settings{}, clock_);
  line_.OpenPort();
  thread_->SetExitSettingValues({5, 5, 0, 0, 12});
  thread_->SetExitSettingPending(true);
  thread_->SetStatusStale(true);

  EXPECT_EQ(thread_->StatusRead(), kReplyOk);
  EXPECT_EQ(line_.CountCommand("Q06"), 0) << "byte 1 '2' does not allow it";
  EXPECT_FALSE(thread_->StatusStale());

  byte1 = '1';
  q_silent = true;
  thread_->SetStatusStale(true);
  EXPECT_EQ(thread_->StatusRead(), kReplyTimeout);
  EXPECT_TRUE(thread_->ExitSettingPending());
  EXPECT_TRUE(thread_->StatusStale());

  byte1 = '0';
  q_silent = false;
  line_.ClearEvents();
  EXPECT_EQ(thread_->StatusRead(), kReplyOk);
  EXPECT_EQ(line_.Commands(), (std::vector<std::string>{"H00", "Q0625500<"}));
  EXPECT_FALSE(thread_->ExitSettingPending());
  EXPECT_FALSE(thread_->StatusStale());
}

TEST_F(CommThreadWatchTest, StatusOfTheWrongLengthIsIgnored) {
  line_.OnFrame([](const std::vector<uint8_t>&) { return Answer::Data(std::vector<uint8_t>(44, '0')); });
  thread_ = std::make_unique<CommThread>(line_, delegate_, CommThread::Settings{}, clock_);
  line_.OpenPort();
  thread_->SetStatusStale(true);
  EXPECT_EQ(thread_->StatusRead(), kReplyOk);
  EXPECT_TRUE(thread_->StatusStale());
  EXPECT_TRUE(delegate_.Log().empty());
  line_.SetModel(ModelCode::kUnknown);
  EXPECT_EQ(thread_->StatusRead(), kReplyOk);
  EXPECT_TRUE(delegate_.Log().empty()) << "no length is accepted while the model is unknown";
}

TEST_F(CommThreadWatchTest, PauseWatchWaitsForARunningStep) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  line_.OnFrame([gate](const std::vector<uint8_t>& command) {
    if (Body(command) == "H00") gate.wait();
    return ReadsAnswer(command, ModelCode::kKrt07);
  });
  Make();
  thread_->ResumeWatch(0);
  ASSERT_TRUE(WatchUntil([&] { return line_.WaitForCommand("H00", 1, 0); }));
  std::atomic<bool> paused{false};
  std::promise<void> pausing;
  std::thread pauser([&] {
    pausing.set_value();
    thread_->PauseWatch();
    paused = true;
  });
  pausing.get_future().wait();
  // Real time on purpose: that PauseWatch keeps blocking while the step runs
  // can only be seen by giving it time to return wrongly; nothing else is
  // ordered by this pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(paused.load()) << "the step is still running";
  release.set_value();
  pauser.join();
  EXPECT_TRUE(paused.load());
  EXPECT_FALSE(thread_->WatchEnabled());
}

}  // namespace
}  // namespace vexokrt
