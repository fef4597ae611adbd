// SPDX-License-Identifier: Apache-2.0
#include "device/notifications.h"

#include <gtest/gtest.h>

#include <thread>

#include "device/status_builder.h"
#include "device/stop_mailboxes.h"
#include "support/fake_clock.h"

namespace vexokrt {
namespace {

using testing::StatusOf;
using testing::With;

const std::vector<uint8_t> kIdle = StatusOf(ModelCode::kKrt07);

// Feeds |records| and collects the events released (0: none).
template <typename Notice>
std::vector<int32_t> Feed(Notice& notice, const std::vector<std::vector<uint8_t>>& records) {
  std::vector<int32_t> events;
  for (const auto& record : records) events.push_back(notice.TakeStatus(record).value_or(0));
  return events;
}

TEST(RejectNotice, ACounterChangeIsReleasedByTheFirstRecordWithoutCounting) {
  struct Case {
    const char* name;
    bool watch;
    bool kind_report;
    std::vector<std::pair<int32_t, int32_t>> counters;  // before the records
    std::vector<std::vector<uint8_t>> records;
    std::vector<int32_t> events;
  };
  const Case cases[] = {
      {"counter p changes", true, false, {{0, 0}, {1, 0}}, {kIdle, kIdle}, {3, 0}},
      {"counter q changes", true, false, {{0, 0}, {0, 2}}, {kIdle}, {3}},
      {"back to zero: nothing", true, false, {{1, 0}, {0, 0}}, {kIdle}, {0}},
      {"primed while off: the same value later is nothing", true, false, {{4, 0}, {4, 0}}, {kIdle}, {0}},
      {"counting in either pair holds it", true, false, {{0, 0}, {1, 0}},
       {With(kIdle, 47, "31"), With(kIdle, 47, "3331"), With(kIdle, 47, "3333")}, {0, 0, 3}},
      {"kind shown and reported: 8", true, true, {{0, 0}, {1, 0}}, {With(kIdle, 46, "4")}, {8}},
      {"kind shown by byte 9", true, true, {{0, 0}, {1, 0}}, {With(kIdle, 9, "1")}, {8}},
      {"kind shown by byte 21 '8'", true, true, {{0, 0}, {1, 0}}, {With(kIdle, 21, "8")}, {8}},
      {"kind shown, not reported: 3", true, false, {{0, 0}, {1, 0}}, {With(kIdle, 46, "4")}, {3}},
      {"kind reported, not shown: 3", true, true, {{0, 0}, {1, 0}}, {kIdle}, {3}},
  };
  for (const Case& c : cases) {
    RejectNotice notice;
    notice.SetKindReport(c.kind_report);
    for (size_t i = 0; i < c.counters.size(); ++i) {
      // The first reading primes the remembered digits; the watch is on for
      // the later ones when the case says so.
      if (i == 1) notice.SetWatch(c.watch);
      notice.TakeCounters(c.counters[i].first, c.counters[i].second);
    }
    EXPECT_EQ(notice.Pending(), c.events != std::vector<int32_t>(c.events.size(), 0)) << c.name;
    EXPECT_EQ(Feed(notice, c.records), c.events) << c.name;
    EXPECT_FALSE(notice.Pending()) << c.name;
  }
}

TEST(CassetteNotice, RemovalNeedsAnIdleRecordThenTwoRecordsOutAndReturnFollowsIt) {
  const auto out = With(kIdle, 43, "8");
  const auto out_stopped = With(out, 1, "1");
  struct Case {
    const char* name;
    bool enabled;
    std::vector<std::vector<uint8_t>> records;
    std::vector<int32_t> events;
  };
  const Case cases[] = {
      {"out, out, idle", true, {kIdle, out, out, out, kIdle, kIdle}, {0, 0, 4, 0, 5, 0}},
      {"no idle record first: nothing", true, {out, out, out}, {0, 0, 0}},
      {"stopped with an error: not yet", true, {kIdle, out, out_stopped, out}, {0, 0, 0, 4}},
      {"switched off", false, {kIdle, out, out, kIdle}, {0, 0, 0, 0}},
      {"idle without a removal: nothing", true, {kIdle, kIdle}, {0, 0}},
  };
  for (const Case& c : cases) {
    CassetteNotice notice;
    notice.SetEnabled(c.enabled);
    EXPECT_EQ(Feed(notice, c.records), c.events) << c.name;
  }
}

TEST(CassetteDisplayNotice, ShownOnEntering0x92AfterAnotherValueClearedOnLeavingIt) {
  const auto shown = With(kIdle, 47, "92");
  const auto held = With(With(kIdle, 47, "33"), 43, "2");
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> records;
    std::vector<int32_t> events;
  };
  const Case cases[] = {
      {"not armed by an earlier record", {shown}, {0}},
      {"armed, shown, cleared", {kIdle, shown, shown, kIdle}, {0, 6, 0, 7}},
      {"byte 43 bit 1 holds the clear back", {kIdle, shown, held, kIdle}, {0, 6, 0, 7}},
      {"clear only after a show", {kIdle, kIdle}, {0, 0}},
  };
  for (const Case& c : cases) {
    CassetteDisplayNotice notice;
    notice.SetEnabled(true);
    EXPECT_EQ(Feed(notice, c.records), c.events) << c.name;
  }
}

TEST(StopMailboxes, AWaitedStopEndsWithTheThreadsOutcome) {
  struct Case {
    const char* name;
    int32_t outcome;
    bool operation_ends;
    StopMailboxes::WaitedStop::End end;
  };
  const Case cases[] = {
      {"refused: the answer comes back", kStopRefused, false, StopMailboxes::WaitedStop::End::kAnswered},
      {"not possible", kStopNotPossible, false, StopMailboxes::WaitedStop::End::kUnanswered},
      {"accepted, operation ends", kStopAccepted, true, StopMailboxes::WaitedStop::End::kAnswered},
  };
  testing::FakeClock clock;
  for (const Case& c : cases) {
    StopMailboxes mailboxes;
    EXPECT_FALSE(mailboxes.StopAsked());
    std::thread thread([&] {
      // The communication thread's side: serve the stop once it is asked.
      while (!mailboxes.StopAsked()) std::this_thread::yield();
      DeviceReply answer;
      answer.answerByte = kBel;
      mailboxes.Settle(c.outcome, answer, 239);
      if (c.operation_ends) mailboxes.Close();
    });
    const StopMailboxes::WaitedStop waited = mailboxes.AskAndWait(clock);
    thread.join();
    EXPECT_EQ(waited.end, c.end) << c.name;
    if (c.end == StopMailboxes::WaitedStop::End::kAnswered) {
      EXPECT_EQ(waited.reply.answerByte, kBel) << c.name;
      EXPECT_EQ(waited.code, 239) << c.name;
    }
    EXPECT_EQ(mailboxes.Value(), kStopIdle) << c.name;
  }

  // Nobody serves the stop: the asker gives up once the clock has passed the
  // acceptance time; an accepted stop whose operation never ends, once it has
  // passed the finish time. Either way the mailbox is free again.
  for (const bool accepted : {false, true}) {
    StopMailboxes mailboxes;
    StopMailboxes::WaitedStop waited;
    uint64_t seen = clock.WaitsBegun();
    std::thread asker([&] { waited = mailboxes.AskAndWait(clock); });
    ASSERT_TRUE(clock.AwaitWaitBegun(seen));
    if (accepted) {
      seen = clock.WaitsBegun();
      mailboxes.Settle(kStopAccepted, DeviceReply(), 0);
      ASSERT_TRUE(clock.AwaitWaitBegun(seen)) << "waits for the operation to end";
    }
    const int64_t limit = accepted ? StopMailboxes::kStopFinishMs : StopMailboxes::kStopAcceptMs;
    seen = clock.WaitsBegun();
    clock.Advance(limit - 1);
    EXPECT_TRUE(clock.AwaitWaitBegun(seen)) << "still waiting 1 ms before the limit";
    clock.Advance(1);
    asker.join();
    EXPECT_EQ(waited.end, StopMailboxes::WaitedStop::End::kUnanswered) << accepted;
    EXPECT_EQ(mailboxes.Value(), kStopIdle) << accepted;
  }

  StopMailboxes mailboxes;
  ASSERT_TRUE(mailboxes.AskAsync());
  EXPECT_EQ(mailboxes.Value(), kStopRequestedAsync);
  EXPECT_FALSE(mailboxes.AskAsync()) << "a stop is already open";
  EXPECT_EQ(mailboxes.AskAndWait(clock).end, StopMailboxes::WaitedStop::End::kBusy);
  EXPECT_TRUE(mailboxes.TakeCancel());
  EXPECT_FALSE(mailboxes.TakeCancel()) << "taken once";
  mailboxes.Reset();
  EXPECT_EQ(mailboxes.Value(), kStopIdle);
}

}  // namespace
}  // namespace vexokrt
