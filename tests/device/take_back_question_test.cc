// SPDX-License-Identifier: Apache-2.0
#include "device/take_back_question.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "support/fake_changer_host.h"
#include "support/fake_clock.h"
#include "support/scripted_line.h"

namespace vexokrt {
namespace {

using Decision = TakeBackQuestion::Decision;
using testing::FakeChangerHost;
using testing::Answer;
using testing::FakeClock;
using testing::ScriptedLine;
using testing::SteppingClock;

constexpr int64_t kTimeoutMs = 5000;

std::shared_ptr<events::AnswerSlot> LastSlot(FakeChangerHost& host) {
  const auto posts = host.Posts();
  if (posts.empty()) return nullptr;
  return std::get<DirectIoNotice>(posts.back().payload).answer;
}

// One question: asked once, decided once, by what is in its slot, the time
// and whether the one who looks gives it up; the decision carried out on the
// line once.
TEST(TakeBackQuestionTest, DecidesOnceWithoutWaiting) {
  struct Case {
    const char* name;
    std::function<void(events::AnswerSlot&, SteppingClock&)> before;
    bool give_up;
    Decision decision;
  };
  const auto nothing = [](events::AnswerSlot&, SteppingClock&) {};
  const Case cases[] = {
      {"unanswered", nothing, false, Decision::kPending},
      {"unanswered just before the time-out",
       [](events::AnswerSlot&, SteppingClock& clock) { clock.Advance(kTimeoutMs - 1); }, false, Decision::kPending},
      {"unanswered at the time-out", [](events::AnswerSlot&, SteppingClock& clock) { clock.Advance(kTimeoutMs); }, false,
       Decision::kStop},
      {"unanswered, given up", nothing, true, Decision::kStop},
      {"answered 1", [](events::AnswerSlot& slot, SteppingClock&) { slot.Answer(1); }, false, Decision::kRetry},
      {"answered 2", [](events::AnswerSlot& slot, SteppingClock&) { slot.Answer(2); }, false, Decision::kStop},
      {"answered 1, looked at after the time-out",
       [](events::AnswerSlot& slot, SteppingClock& clock) {
         slot.Answer(1);
         clock.Advance(2 * kTimeoutMs);
       },
       false, Decision::kRetry},
      {"answered 1, then given up", [](events::AnswerSlot& slot, SteppingClock&) { slot.Answer(1); }, true,
       Decision::kRetry},
      {"never to be answered", [](events::AnswerSlot& slot, SteppingClock&) { slot.Abandon(); }, false, Decision::kStop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeChangerHost host;
    SteppingClock clock;
    ScriptedLine line(clock, ModelCode::kKrt03);
    line.OnFrame([](const std::vector<uint8_t>&) { return Answer::Byte(kAck); });
    host.SetDirectIoMode(1);
    TakeBackQuestion question(host, host.switches, line, clock, kTimeoutMs);
    EXPECT_FALSE(question.Settle(false, {})) << "nothing asked";
    ASSERT_TRUE(question.Ask());
    EXPECT_FALSE(question.Ask()) << "open: no second question";
    ASSERT_EQ(host.Notices(kMsgQueryTakeBackRetry), (std::vector<int32_t>{1}));
    const auto slot = LastSlot(host);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(std::get<DirectIoNotice>(host.Posts()[0].payload).data, 1);

    c.before(*slot, clock);
    const int64_t before = clock.NowMs();
    EXPECT_EQ(question.Settle(c.give_up, [] { return true; }), c.decision == Decision::kPending);
    if (c.decision == Decision::kPending) {
      EXPECT_TRUE(question.Open());
      EXPECT_TRUE(line.Commands().empty());
      EXPECT_EQ(clock.NowMs(), before) << "nothing waited for";
      continue;
    }
    const bool retry = c.decision == Decision::kRetry;
    EXPECT_EQ(line.Commands(), (std::vector<std::string>{retry ? "E010" : "000"}));
    EXPECT_EQ(host.DirectIoMode(), retry ? 1 : 0);
    EXPECT_FALSE(question.Open());
    EXPECT_EQ(question.Decide(true), Decision::kNone) << "handed out once";
    slot->Answer(1);
    EXPECT_EQ(question.Decide(false), Decision::kNone) << "a late answer is not looked at";
    // The next stall is a new question.
    EXPECT_TRUE(question.Ask());
    EXPECT_EQ(host.Notices(kMsgQueryTakeBackRetry).size(), 2u);
    EXPECT_NE(LastSlot(host), slot);
  }
}

// The request path's question waits for its answer on the clock, in slices,
// and gives up at the time-out or when told to.
TEST(TakeBackQuestionTest, RequestPathWaitsForItsOwnAnswer) {
  {
    FakeChangerHost host;
    FakeClock clock;
    ScriptedLine line(clock, ModelCode::kKrt03);
    TakeBackQuestion question(host, host.switches, line, clock, kTimeoutMs);
    host.AnswerQuestionsWith(1);
    EXPECT_TRUE(question.AskAndWait({}));
    host.AnswerQuestionsWith(2);
    EXPECT_FALSE(question.AskAndWait({}));
    EXPECT_FALSE(question.Open()) << "not the status path's question";
  }
  {
    FakeChangerHost host;
    FakeClock clock;
    ScriptedLine line(clock, ModelCode::kKrt03);
    TakeBackQuestion question(host, host.switches, line, clock, kTimeoutMs);
    std::future<bool> asked = std::async(std::launch::async, [&] { return question.AskAndWait({}); });
    // Unanswered: each slice of 100 ms ends when the clock moves past it;
    // until the last one has, the question still waits.
    uint64_t seen = 0;
    for (int64_t slice = 0; slice < kTimeoutMs / 100; ++slice) {
      ASSERT_TRUE(clock.AwaitWaitBegun(seen));
      ASSERT_EQ(asked.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "slice " << slice;
      seen = clock.WaitsBegun();
      clock.Advance(100);
    }
    EXPECT_FALSE(asked.get());
  }
  {
    FakeChangerHost host;
    FakeClock clock;
    ScriptedLine line(clock, ModelCode::kKrt03);
    TakeBackQuestion question(host, host.switches, line, clock, kTimeoutMs);
    std::atomic<bool> stop{false};
    std::future<bool> asked = std::async(std::launch::async, [&] { return question.AskAndWait([&] { return stop.load(); }); });
    ASSERT_TRUE(clock.AwaitWaiters(1));
    stop = true;
    clock.Advance(100);
    EXPECT_FALSE(asked.get());
    EXPECT_LT(clock.NowMs() - 1000000, kTimeoutMs) << "given up at the first look";
  }
}

}  // namespace
}  // namespace vexokrt
