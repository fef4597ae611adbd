// SPDX-License-Identifier: Apache-2.0
// Watching the engine from outside (what the control panel uses): the line
// observer sees every frame in and every answer out, in line order, without
// changing what the host gets; the snapshot agrees with the status record.
#include <gtest/gtest.h>

#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;

using Dir = LineRecord::Direction;

TEST(LineObserver, SeesFramesAndAnswersInLineOrder) {
  TestHost host(Model::kKrt07);
  std::vector<LineRecord> seen;
  host.engine.SetLineObserver([&](const LineRecord& r) { seen.push_back(r); });

  ASSERT_EQ(host.Command("H00").kind, ParsedAnswer::Kind::kData);
  host.engine.InjectFault(Fault{FaultKind::kDrop, 1, kEnquiryTarget, 0});
  EXPECT_EQ(host.Enq().kind, ParsedAnswer::Kind::kIncomplete);  // the fault swallowed the ACK
  host.SendRaw({'x'});
  host.engine.SetUnplugged(true);
  host.Send("H00");
  host.engine.SetUnplugged(false);
  host.engine.SetLineObserver({});
  EXPECT_TRUE(IsControl(host.Enq(), kAck));  // nobody watches any more

  struct Expected {
    Dir direction;
    ReceivedFrame::Kind kind;
    std::vector<std::uint8_t> bytes;  // empty: not compared
    char answers;
    const char* detail;
  };
  const std::vector<std::uint8_t> status_frame = EncodeHostFrame(TestHost::Body("H00"));
  const Expected expected[] = {
      {Dir::kReceived, ReceivedFrame::Kind::kCommand, status_frame, 0, ""},
      {Dir::kSent, {}, {}, 'H', ""},
      {Dir::kReceived, ReceivedFrame::Kind::kEnquiry, {kEnq}, 0, ""},
      {Dir::kSent, {}, {kAck}, static_cast<char>(kEnq), "dropped by a fault"},
      {Dir::kReceived, ReceivedFrame::Kind::kNoise, {'x'}, 0, ""},
      {Dir::kReceived, ReceivedFrame::Kind::kCommand, status_frame, 0, "ignored: unplugged"},
  };
  ASSERT_EQ(seen.size(), std::size(expected));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    const LineRecord& r = seen[i];
    EXPECT_EQ(r.direction, expected[i].direction);
    EXPECT_EQ(r.detail, expected[i].detail);
    if (!expected[i].bytes.empty()) {
      EXPECT_EQ(r.bytes, expected[i].bytes);
    }
    if (r.direction == Dir::kReceived) {
      EXPECT_EQ(r.kind, expected[i].kind);
    } else {
      EXPECT_EQ(r.answers, expected[i].answers);
    }
  }
  // The status answer went out as a data frame carrying the whole record.
  EXPECT_EQ(seen[1].bytes.size(), 51u + 6u);
  EXPECT_EQ(seen[1].bytes[0], kDle);
}

TEST(EngineSnapshot, AgreesWithTheStatusRecordAndTheReadOuts) {
  TestHost host(Model::kKrt07);
  host.engine.SetJam(true, 0x0123);
  host.engine.SetCassetteRemoved(true);
  host.engine.SetBillBoxLimits(40, 60);
  host.engine.SetThresholds(8, Thresholds{1, 2, 3, 4});
  host.engine.SetAutoTake(false);
  EngineSnapshot jammed = host.engine.Snapshot();
  EXPECT_EQ(jammed.model, Model::kKrt07);
  EXPECT_TRUE(jammed.jammed);
  EXPECT_EQ(jammed.error_number, 0x0123);
  EXPECT_TRUE(jammed.cassette_removed);
  EXPECT_FALSE(jammed.auto_take);
  EXPECT_EQ(jammed.status, host.Status());
  EXPECT_EQ(jammed.status[1], '1');
  EXPECT_EQ(jammed.status[43] & 0x08, 0x08);
  EXPECT_EQ(jammed.bill_box_near_full, 40);
  EXPECT_EQ(jammed.bill_box_full, 60);
  EXPECT_EQ(jammed.thresholds[8], (Thresholds{1, 2, 3, 4}));
  EXPECT_EQ(jammed.stock, host.engine.Stock());
  EXPECT_EQ(jammed.box, host.engine.Box());
  EXPECT_EQ(jammed.line, host.engine.CurrentLine());

  host.engine.SetJam(false);
  host.engine.SetCassetteRemoved(false);
  // A deposit counting: the snapshot says when the machine will act next.
  ASSERT_TRUE(IsControl(host.Command("F040000"), kAck));
  ASSERT_EQ(host.engine.InsertCash(CashCounts{0, 0, 0, 0, 0, 0, 2, 0, 0, 0}, 1, 0).status,
            InsertResult::Status::kCounting);
  EngineSnapshot counting = host.engine.Snapshot();
  EXPECT_FALSE(counting.jammed);
  EXPECT_TRUE(counting.deposit.open);
  EXPECT_TRUE(counting.deposit.bill_counting);
  EXPECT_TRUE(counting.coin_tray);  // the rejected coin waits in the tray
  ASSERT_TRUE(counting.next_event_us.has_value());
  EXPECT_EQ(*counting.next_event_us - counting.time_us,
            static_cast<int64_t>(host.engine.Durations().counting_ms) * 1000);
  host.clock.AdvanceMs(host.engine.Durations().counting_ms);
  EngineSnapshot counted = host.engine.Snapshot();
  EXPECT_EQ(counted.deposit.counted[6], 2);
  EXPECT_EQ(counted.stock[6], jammed.stock[6] + 2);
}

}  // namespace
}  // namespace vexokrt::sim
