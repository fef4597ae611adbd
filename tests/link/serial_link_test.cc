// SPDX-License-Identifier: Apache-2.0
#include "link/serial_link.h"

#include "link/line_sequences.h"

#include <gtest/gtest.h>

#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include "link/link_test_support.h"

namespace vexokrt::link {
namespace {

using testing::CommandOf;
using testing::DataFrame;
using testing::FakeAnswer;
using testing::SteppingClock;
using testing::FakeLine;
using testing::StatusRecord;
using testing::TraceCapture;
using Bytes = std::vector<uint8_t>;

const Bytes kFrameA = {0x10, 0x02, 0x30, 0x31, 0x41, 0x03, 0x43};
const Bytes kStatusKrt02 = {0x11, 'i', '0', '0'};
const Bytes kStatusKrt07 = {0x11, 'H', '0', '0'};

class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(link_.OpenPort(), 0); }

  // Receives with |timeout| and returns the reply; |elapsed| gets the time it took.
  DeviceReply Receive(int timeout, int64_t* elapsed = nullptr, bool suppress = false, bool alternative = false) {
    DeviceReply reply;
    const int64_t start = clock_.NowMs();
    const ReceiveStatus status = link_.ReceiveAnswer(reply, timeout, suppress, alternative);
    EXPECT_EQ(status, reply.status);
    if (elapsed) *elapsed = clock_.NowMs() - start;
    return reply;
  }
  void Answer(Bytes bytes, int64_t delay = 0, int64_t byte_ms = 0) {
    line_.Arrive(FakeAnswer{std::move(bytes), delay, byte_ms});
  }

  SteppingClock clock_;
  FakeLine line_{clock_};
  TraceCapture trace_;
  SerialLink link_{trace_.log(), "COM1", "9600,E,8,1", line_.Opener(), clock_};
};

// --- sending -----------------------------------------------------------------

TEST_F(SerialLinkTest, SendFrame_WritesTheFramedCommandAndTracesIt) {
  EXPECT_EQ(link_.SendFrame(kStatusKrt02), kReplyOk);
  ASSERT_EQ(line_.writes().size(), 1u);
  EXPECT_EQ(line_.writes()[0], (Bytes{0x02, 0x11, 0x69, 0x30, 0x30, 0x03, 0x7B}));
  EXPECT_EQ(trace_.Infos(), std::vector<std::string>{" <送信データ>"});
  EXPECT_NE(trace_.Raw().find("    0000 : 02 11 69 30 30 03 7B"), std::string::npos);
}

TEST_F(SerialLinkTest, SendFrame_DropsBytesThatCameBeforeTheCommand) {
  Answer({0x06});
  clock_.SleepMs(10);
  link_.SendFrame(kStatusKrt02);
  EXPECT_EQ(Receive(100).status, kReplyTimeout);
}

TEST_F(SerialLinkTest, WriteBytes_300Bytes_GoOutAs256Then44EachTraced) {
  Bytes bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(link_.WriteBytes(bytes), kReplyOk);
  ASSERT_EQ(line_.writes().size(), 2u);
  EXPECT_EQ(line_.writes()[0].size(), 256u);
  EXPECT_EQ(line_.writes()[1].size(), 44u);
  EXPECT_EQ(line_.AllWritten(), bytes);
  EXPECT_EQ(trace_.Infos(), (std::vector<std::string>{" <送信データ>", " <送信データ>"}));
}

TEST_F(SerialLinkTest, WriteBytes_PartialAcceptance_ContinuesWhereTheDriverStopped) {
  line_.SetWriteLimit(100);
  const Bytes bytes(300, 0x41);
  EXPECT_EQ(link_.WriteBytes(bytes), kReplyOk);
  EXPECT_EQ(line_.AllWritten(), bytes);
  EXPECT_EQ(line_.writes().size(), 3u);  // each write starts at the first byte not yet taken
}

TEST_F(SerialLinkTest, WriteBytes_StalledPort_GivesUpAfterThreeEmptyWritesAndSaysSo) {
  line_.SetWriteLimit(0);
  const int64_t start = clock_.NowMs();
  EXPECT_EQ(link_.WriteBytes(Bytes(10, 0x41)), kReplyTimeout);
  EXPECT_EQ(line_.write_attempts(), 3);
  EXPECT_EQ(clock_.NowMs() - start, 300);
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>{"送信タイムアウト発生"});
  EXPECT_EQ(link_.SendFrame(kStatusKrt02), kReplyTimeout);
}

TEST_F(SerialLinkTest, WriteBytes_LostPort_GivesUpAtOnce) {
  line_.Disconnect();
  EXPECT_EQ(link_.WriteBytes(Bytes(10, 0x41)), kReplyTimeout);
  EXPECT_EQ(line_.write_attempts(), 1);
}

TEST_F(SerialLinkTest, WriteBytes_ClosedPortOrNothingToWrite_WritesNothing) {
  EXPECT_EQ(link_.WriteBytes({}), kReplyOk);
  link_.ClosePort();
  // A closed port takes nothing: that is a failed write, not a written one.
  EXPECT_EQ(link_.WriteBytes(Bytes(10, 0x41)), kReplyTimeout);
  EXPECT_EQ(line_.write_attempts(), 0);
  EXPECT_TRUE(trace_.Lines().empty());
}

// Whatever keeps a frame or an enquiry from being written, its caller hears a
// time-out at once (after the write's own give-up time at most) and no
// answer is waited for.
TEST_F(SerialLinkTest, FailedWrite_IsATimeOutAtOnceWithoutAnyReceive) {
  struct Row {
    const char* name;
    std::function<void(SerialLink&, FakeLine&)> break_line;
    int64_t write_ms;  // what the failing write itself takes
  };
  const std::vector<Row> rows = {
      {"stalled port", [](SerialLink&, FakeLine& l) { l.SetWriteLimit(0); }, 300},
      {"lost port", [](SerialLink&, FakeLine& l) { l.Disconnect(); }, 0},
      {"closed port", [](SerialLink& link, FakeLine&) { link.ClosePort(); }, 0},
  };
  struct Operation {
    const char* name;
    std::function<DeviceReply(SerialLink&, SteppingClock&)> run;
    int64_t own_ms;  // waits of the operation besides the write
  };
  const std::vector<Operation> operations = {
      {"exchange", [](SerialLink& link, SteppingClock&) { return Exchange(link, kStatusKrt07, 5000); }, 0},
      {"enquiry",
       [](SerialLink& link, SteppingClock&) {
         DeviceReply reply;
         EXPECT_EQ(link.SendEnquiry(reply, 5000, false), kReplyTimeout);
         return reply;
       },
       0},
      {"enquiry loop",
       [](SerialLink& link, SteppingClock& clock) {
         DeviceReply reply;
         reply.status = EnquireUntil(link, clock, AnswerSet{kAck}, 20000) ? kReplyOk : kReplyTimeout;
         reply.unsent = true;
         return reply;
       },
       0},
  };
  for (const Row& row : rows) {
    for (const Operation& operation : operations) {
      SCOPED_TRACE(std::string(row.name) + ", " + operation.name);
      SteppingClock clock;
      FakeLine line(clock);
      TraceCapture trace;
      SerialLink link(trace.log(), "COM1", "9600,E,8,1", line.Opener(), clock);
      ASSERT_EQ(link.OpenPort(), 0);
      line.QueueAnswer(FakeAnswer{{kAck}, 10});
      row.break_line(link, line);
      const int64_t start = clock.NowMs();
      const DeviceReply reply = operation.run(link, clock);
      EXPECT_EQ(reply.status, kReplyTimeout);
      EXPECT_TRUE(reply.unsent);
      EXPECT_EQ(clock.NowMs() - start, row.write_ms + operation.own_ms);
      for (const std::string& error : trace.Errors()) EXPECT_NE(error, "タイムアウト発生") << "nothing was received";
    }
  }
  // The follow-up reads that need a status record give up the same way.
  SteppingClock clock;
  FakeLine line(clock);
  TraceCapture trace;
  SerialLink link(trace.log(), "COM1", "9600,E,8,1", line.Opener(), clock);
  ASSERT_EQ(link.OpenPort(), 0);
  link.SetModel(7);
  line.Disconnect();
  const int64_t start = clock.NowMs();
  const ErrorNumberRead number = link.ReadErrorNumber();
  EXPECT_TRUE(number.unreadable);
  EXPECT_EQ(number.Value(), 0xFFFF);
  EXPECT_EQ(link.ReadKrt07ErrorCode(Krt07Rule::kC), 0);
  EXPECT_EQ(clock.NowMs() - start, 500) << "only the error number's own pause";
}

TEST_F(SerialLinkTest, SendEnquiry_WritesEnqAndReceivesTheAnswer) {
  line_.QueueAnswer(FakeAnswer{{0x1A}, 20});
  DeviceReply reply;
  EXPECT_EQ(link_.SendEnquiry(reply, 100, false), kReplyOk);
  EXPECT_EQ(line_.AllWritten(), Bytes{0x05});
  EXPECT_EQ(reply.answerByte, 0x1Au);
}

// --- single-byte answers and frames --------------------------------------------

TEST_F(SerialLinkTest, LoneAck_StatusZeroAnswerByteNoData) {
  Answer({0x06}, 30);
  const DeviceReply reply = Receive(100);
  EXPECT_EQ(reply.status, kReplyOk);
  EXPECT_EQ(reply.answerByte, 0x06u);
  EXPECT_EQ(reply.length(), 0);
  EXPECT_EQ(trace_.Infos(), std::vector<std::string>{" <受信データ>"});
}

TEST_F(SerialLinkTest, DataFrame_YieldsDataAndNoAnswerByte) {
  Answer(kFrameA, 10);
  const DeviceReply reply = Receive(100);
  EXPECT_EQ(reply.status, kReplyOk);
  EXPECT_EQ(reply.answerByte, 0u);
  EXPECT_EQ(reply.data, Bytes{'A'});
  // The DLE, then the data.
  EXPECT_EQ(trace_.Infos(), (std::vector<std::string>{" <受信データ>", " <受信データ>"}));
  EXPECT_TRUE(trace_.Errors().empty());
}

TEST_F(SerialLinkTest, MalformedAnswers_StatusAndErrorLine) {
  struct Case {
    const char* name;
    Bytes bytes;
    ReceiveStatus status;
    const char* line;
  };
  Bytes bad_bcc = kFrameA;
  bad_bcc.back() = 0x44;
  Bytes no_stx = kFrameA;
  no_stx[1] = 0x04;
  Bytes no_etx = kFrameA;
  no_etx[5] = 0x02;
  Bytes too_long = kFrameA;
  too_long.push_back(0x06);
  const std::vector<Case> cases = {
      {"unknown first byte", {0x09}, kReplyFramingError, "フレーミングエラー発生"},
      {"five-byte frame", {0x10, 0x02, 0x30, 0x31, 0x41}, kReplyFramingError, "フレーミングエラー発生"},
      {"lone DLE", {0x10}, kReplyFramingError, "フレーミングエラー発生"},
      {"frame stopping short", Bytes(kFrameA.begin(), kFrameA.end() - 1), kReplyFramingError,
       "フレーミングエラー発生"},
      {"too long", too_long, kReplyFramingError, "フレーミングエラー発生"},
      {"no STX", no_stx, kReplyFramingError, "フレーミングエラー(STX未検知）発生"},
      {"no ETX", no_etx, kReplyFramingError, "フレーミングエラー(ETX未検知）発生"},
      {"bad BCC", bad_bcc, kReplyBccError, "BCCエラー発生"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceCapture trace;
    SerialLink link(trace.log(), "COM1", "9600,E,8,1", line_.Opener(), clock_);
    ASSERT_EQ(link.OpenPort(), 0);
    link.SendFrame(kStatusKrt02);
    Answer(c.bytes, 5);
    DeviceReply reply;
    EXPECT_EQ(link.ReceiveAnswer(reply, 500, false, false), c.status);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_TRUE(reply.data.empty());
    EXPECT_EQ(trace.Errors(), std::vector<std::string>{c.line});
    clock_.SleepMs(1000);
  }
}

TEST_F(SerialLinkTest, FrameEndsAtItsLastByte_NoWaitForSilence) {
  Answer(kFrameA, 10, 2);  // last byte at 10 + 6 * 2
  int64_t elapsed = 0;
  EXPECT_EQ(Receive(100, &elapsed).status, kReplyOk);
  EXPECT_EQ(elapsed, 22);
}

TEST_F(SerialLinkTest, FrameStoppingShort_EndsAfterFiftyMillisecondsOfSilence) {
  Answer(Bytes(kFrameA.begin(), kFrameA.end() - 2), 10);
  int64_t elapsed = 0;
  EXPECT_EQ(Receive(1000, &elapsed).status, kReplyFramingError);
  EXPECT_EQ(elapsed, 60);
}

TEST_F(SerialLinkTest, EveryChunking_GapsUpToFiftyMillisecondsKeepTheFrame) {
  for (size_t split = 1; split < kFrameA.size(); ++split) {
    for (const int64_t gap : {1, 49, 50}) {
      SCOPED_TRACE(::testing::Message() << "split " << split << " gap " << gap);
      Answer(Bytes(kFrameA.begin(), kFrameA.begin() + split), 5);
      Answer(Bytes(kFrameA.begin() + split, kFrameA.end()), 5 + gap);
      const DeviceReply reply = Receive(100);
      EXPECT_EQ(reply.status, kReplyOk);
      EXPECT_EQ(reply.data, Bytes{'A'});
    }
  }
}

TEST_F(SerialLinkTest, EveryChunking_AGapOfFiftyOneEndsTheFrameShort) {
  // From the frame's first byte after DLE on (a pause right after DLE is
  // another rule, below).
  for (size_t split = 2; split < kFrameA.size(); ++split) {
    SCOPED_TRACE(::testing::Message() << "split " << split);
    link_.SendFrame(kStatusKrt02);  // purges the tail of the previous case
    Answer(Bytes(kFrameA.begin(), kFrameA.begin() + split), 5);
    line_.Arrive(FakeAnswer{Bytes(kFrameA.begin() + split, kFrameA.end()), 5 + 51});
    EXPECT_EQ(Receive(100).status, kReplyFramingError);
    clock_.SleepMs(200);
  }
}

TEST_F(SerialLinkTest, PauseAfterDle_TheFirstByteMayTakeTheRestOfTheFrameTime) {
  // DLE at 5; the rest after |pause|. The frame's 2000 ms start with DLE.
  const struct {
    int64_t pause;
    ReceiveStatus status;
  } cases[] = {{51, kReplyOk}, {500, kReplyOk}, {1990, kReplyOk}, {2001, kReplyFramingError}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "pause " << c.pause);
    link_.SendFrame(kStatusKrt02);  // purges the tail of the previous case
    const size_t errors_before = trace_.Errors().size();
    Answer({kFrameA[0]}, 5);
    Answer(Bytes(kFrameA.begin() + 1, kFrameA.end()), 5 + c.pause);
    int64_t elapsed = 0;
    const DeviceReply reply = Receive(100, &elapsed);
    EXPECT_EQ(reply.status, c.status);
    if (c.status == kReplyOk) {
      EXPECT_EQ(reply.data, Bytes{'A'});
      EXPECT_EQ(elapsed, 5 + c.pause);
      EXPECT_EQ(trace_.Errors().size(), errors_before);
    } else {
      EXPECT_EQ(elapsed, 5 + 2000);
    }
    clock_.SleepMs(3000);
  }
}

TEST_F(SerialLinkTest, StatusFrame_ByteByByteAtLineSpeed) {
  const Bytes frame = DataFrame(StatusRecord(51, {}));
  Answer(frame, 20, 1);  // about 9600 bit/s
  int64_t elapsed = 0;
  const DeviceReply reply = Receive(1000, &elapsed);
  EXPECT_EQ(reply.status, kReplyOk);
  EXPECT_EQ(reply.length(), 51);
  EXPECT_EQ(elapsed, 20 + static_cast<int64_t>(frame.size()) - 1);
}

TEST_F(SerialLinkTest, BytesAlreadyBehindACompleteFrame_AreAFramingError) {
  Bytes with_tail = kFrameA;
  with_tail.push_back(0x41);
  Answer(with_tail, 5);
  EXPECT_EQ(Receive(100).status, kReplyFramingError);
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>{"フレーミングエラー発生"});
}

TEST_F(SerialLinkTest, BytesComingLaterThanTheFrame_DoNotSpoilIt) {
  Answer(kFrameA, 5);
  Answer({0x41}, 10);
  EXPECT_EQ(Receive(100).status, kReplyOk);
}

// --- time-outs -------------------------------------------------------------------

TEST_F(SerialLinkTest, Timeout_AnswerAtTheLastMomentIsTakenOneLaterIsNot) {
  Answer({0x06}, 100);
  EXPECT_EQ(Receive(100).status, kReplyOk);

  link_.SendFrame(kStatusKrt02);
  Answer({0x06}, 101);
  int64_t elapsed = 0;
  const DeviceReply reply = Receive(100, &elapsed);
  EXPECT_EQ(reply.status, kReplyTimeout);
  EXPECT_EQ(elapsed, 100);
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>{"タイムアウト発生"});
}

TEST_F(SerialLinkTest, Timeout_ShortTimeoutDoesNotWaitAWholePortRead) {
  int64_t elapsed = 0;
  EXPECT_EQ(Receive(100, &elapsed).status, kReplyTimeout);
  EXPECT_EQ(elapsed, 100);
}

TEST_F(SerialLinkTest, Timeout_LongerThanOnePortRead_KeepsWaiting) {
  Answer({0x06}, 4500);
  EXPECT_EQ(Receive(5000).status, kReplyOk);
  int64_t elapsed = 0;
  EXPECT_EQ(Receive(5000, &elapsed).status, kReplyTimeout);
  EXPECT_EQ(elapsed, 5000);
}

TEST_F(SerialLinkTest, Timeout_ZeroOnlyTakesWhatHasArrived) {
  int64_t elapsed = 0;
  EXPECT_EQ(Receive(0, &elapsed).status, kReplyTimeout);
  EXPECT_EQ(elapsed, 0);
  Answer({0x06});
  EXPECT_EQ(Receive(0).status, kReplyOk);
}

TEST_F(SerialLinkTest, LostDevice_TimesOutAfterTheCallersTimeout) {
  line_.Disconnect();
  int64_t elapsed = 0;
  EXPECT_EQ(Receive(300, &elapsed).status, kReplyTimeout);
  EXPECT_EQ(elapsed, 300);
}

TEST_F(SerialLinkTest, LostInTheMiddleOfAFrame_IsAFramingError) {
  Answer({0x10, 0x02, 0x30}, 5);
  clock_.SleepMs(5);
  line_.Disconnect();
  EXPECT_EQ(Receive(300).status, kReplyFramingError);
}

TEST_F(SerialLinkTest, ClosedPort_TimesOut) {
  link_.ClosePort();
  int64_t elapsed = 0;
  EXPECT_EQ(Receive(200, &elapsed).status, kReplyTimeout);
  EXPECT_EQ(elapsed, 200);
}

// --- parity errors ------------------------------------------------------------------

TEST_F(SerialLinkTest, ParityError_OnASingleByteAnswer) {
  line_.Arrive(FakeAnswer{{0x06}, 5, 0, 0});
  EXPECT_EQ(Receive(100).status, kReplyParityError);
  EXPECT_EQ(trace_.Errors(), std::vector<std::string>{"パリティエラー発生"});
}

TEST_F(SerialLinkTest, ParityError_InsideAFrame) {
  line_.Arrive(FakeAnswer{kFrameA, 5, 0, 4});
  const DeviceReply reply = Receive(100);
  EXPECT_EQ(reply.status, kReplyParityError);
  EXPECT_TRUE(reply.data.empty());
}

TEST_F(SerialLinkTest, ParityError_WithoutAnyByte) {
  line_.ArriveLineError(20);
  EXPECT_EQ(Receive(500).status, kReplyParityError);
}

TEST_F(SerialLinkTest, ParityError_ClearedBySendFrame) {
  line_.ArriveLineError(0);
  clock_.SleepMs(1);
  link_.SendFrame(kStatusKrt02);
  Answer({0x06}, 5);
  EXPECT_EQ(Receive(100).status, kReplyOk);
}

// --- a randomized exchange ------------------------------------------------------------

// Valid and damaged frames, delivered in random pieces with gaps under the
// 50 ms silence, always give the verdict of the complete bytes.
TEST_F(SerialLinkTest, RandomPiecesOfFrames_GiveTheVerdictOfTheWholeFrame) {
  std::mt19937 random(7);
  for (int iteration = 0; iteration < 300; ++iteration) {
    Bytes data(random() % 60);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    Bytes frame = DataFrame(data);
    ReceiveStatus expected = kReplyOk;
    switch (random() % 4) {
      case 0:
        break;
      case 1:
        frame.back() ^= 0x01;
        expected = kReplyBccError;
        break;
      case 2:
        frame.resize(frame.size() - 1 - random() % 3);
        expected = kReplyFramingError;
        break;
      case 3:
        frame.push_back(static_cast<uint8_t>(random()));
        expected = kReplyFramingError;
        break;
    }
    link_.SendFrame(kStatusKrt02);
    size_t at = 0;
    int64_t delay = 1 + random() % 30;
    while (at < frame.size()) {
      const size_t piece = std::min(frame.size() - at, static_cast<size_t>(1 + random() % 20));
      // Pieces follow each other directly so a tail arrives with its frame.
      line_.Arrive(FakeAnswer{Bytes(frame.begin() + at, frame.begin() + at + piece), delay});
      at += piece;
      delay = 0;
    }
    const DeviceReply reply = Receive(200);
    ASSERT_EQ(reply.status, expected) << "iteration " << iteration;
    if (expected == kReplyOk) {
      ASSERT_EQ(reply.data, data);
    }
    clock_.SleepMs(100);
  }
}

// --- follow-up reads -------------------------------------------------------------------

class FollowUpTest : public SerialLinkTest {
 protected:
  // Answers every status command with |record| (as a data frame) after 10 ms.
  void AnswerStatusWith(const std::vector<Bytes>& records) {
    records_ = records;
    line_.SetResponder([this](FakeLine& line, const Bytes& written) {
      const Bytes command = CommandOf(written);
      commands_.push_back(command);
      if ((command == kStatusKrt02 || command == kStatusKrt07) && !records_.empty()) {
        line.Arrive(FakeAnswer{DataFrame(records_.front()), 10});
        if (records_.size() > 1) records_.erase(records_.begin());
      }
    });
  }
  DeviceReply AnswerWith(uint8_t byte, bool suppress = false, bool alternative = false) {
    Answer({byte}, 5);
    return Receive(100, nullptr, suppress, alternative);
  }

  std::vector<Bytes> records_;
  std::vector<Bytes> commands_;
};

TEST_F(FollowUpTest, CanOnKrt02_ReadsTheErrorNumberFromTheLowBitsOfBytesThreeToSix) {
  link_.SetModel(2);
  AnswerStatusWith({StatusRecord(44, {{1, '1'}, {3, '0'}, {4, '1'}, {5, '2'}, {6, 'A'}})});
  const int64_t start = clock_.NowMs();
  const DeviceReply reply = AnswerWith(0x18);
  EXPECT_EQ(reply.status, kReplyOk);
  EXPECT_EQ(reply.cancelled, 1);
  EXPECT_EQ(reply.cancelDetail, 0x0121);
  EXPECT_EQ(commands_, std::vector<Bytes>{kStatusKrt02});
  // 5 ms to the CAN, 500 ms before the read, 10 ms to its answer.
  EXPECT_EQ(clock_.NowMs() - start, 515);
}

TEST_F(FollowUpTest, CanOnKrt07_ZeroTwiceThenRuleC) {
  link_.SetModel(7);
  AnswerStatusWith({StatusRecord(51, {{7, '1'}})});  // not stopped: error number 0; a bit 0 → 232
  const DeviceReply reply = AnswerWith(0x18);
  EXPECT_EQ(reply.cancelled, 1);
  EXPECT_EQ(reply.cancelDetail, 232);
  EXPECT_EQ(commands_.size(), 3u);
  for (const Bytes& c : commands_) EXPECT_EQ(c, kStatusKrt07);
}

TEST_F(FollowUpTest, CanOnKrt02_SecondReadUsedWhenTheFirstGaveZero) {
  link_.SetModel(2);
  AnswerStatusWith({StatusRecord(44, {}), StatusRecord(44, {{1, '1'}, {6, '7'}})});
  EXPECT_EQ(AnswerWith(0x18).cancelDetail, 7);
  EXPECT_EQ(commands_.size(), 2u);
}

TEST_F(FollowUpTest, CanWithUnreadableStatus_GivesFfff) {
  link_.SetModel(2);
  AnswerStatusWith({StatusRecord(43, {})});  // wrong length
  EXPECT_EQ(AnswerWith(0x18).cancelDetail, 0xFFFF);
  commands_.clear();
  line_.SetResponder({});
  EXPECT_EQ(AnswerWith(0x18).cancelDetail, 0xFFFF);  // no answer at all
}

TEST_F(FollowUpTest, Suppressed_NoTrafficAndNothingSet) {
  link_.SetModel(7);
  AnswerStatusWith({StatusRecord(51, {{1, '1'}})});
  for (const uint8_t byte : {0x07, 0x13, 0x18}) {
    const DeviceReply reply = AnswerWith(byte, true);
    EXPECT_EQ(reply.cancelled, 0);
    EXPECT_EQ(reply.errorFlag, 0);
    EXPECT_EQ(reply.errorCode, 0);
  }
  EXPECT_TRUE(commands_.empty());
}

TEST_F(FollowUpTest, BelOnUnknownModelOrKrt02_NoTraffic) {
  AnswerStatusWith({StatusRecord(44, {{1, '1'}})});
  for (const int model : {0, 2}) {
    link_.SetModel(model);
    const DeviceReply reply = AnswerWith(0x07);
    EXPECT_EQ(reply.errorCode, 0);
    EXPECT_EQ(reply.errorFlag, 0);
  }
  EXPECT_TRUE(commands_.empty());
}

TEST_F(FollowUpTest, EmOnKrt07Family_201EvenSuppressed_OtherModelsNothing) {
  for (const int model : {7, 77}) {
    link_.SetModel(model);
    for (const bool suppress : {false, true}) {
      const DeviceReply reply = AnswerWith(0x19, suppress);
      EXPECT_EQ(reply.errorFlag, 1);
      EXPECT_EQ(reply.errorCode, 201);
    }
  }
  link_.SetModel(3);
  EXPECT_EQ(AnswerWith(0x19).errorFlag, 0);
}

TEST_F(FollowUpTest, BelOnKrt03_CodeTableInItsOrder) {
  link_.SetModel(3);
  struct Row {
    testing::ByteChanges bytes;
    int code;
  };
  // Each row also carries the conditions of the rows below it, so the order counts.
  const std::vector<Row> rows = {
      {{{47, 0x02 | 0x04}, {45, 0x02 | 0x04}, {43, 0x04}, {21, 0x08}}, 207},
      {{{45, 0x02 | 0x04}, {47, 0x04}, {43, 0x04}, {21, 0x08}}, 202},
      {{{47, 0x04}, {43, 0x04}, {21, 0x08}, {45, 0x04}}, 206},
      {{{43, 0x04}, {21, 0x08}, {45, 0x04}}, 205},
      {{{21, 0x08}, {45, 0x04}}, 204},
      {{{45, 0x04}}, 203},
      {{{47, 0x01}, {45, 0x01}}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    AnswerStatusWith({StatusRecord(53, row.bytes)});
    const DeviceReply reply = AnswerWith(0x07);
    EXPECT_EQ(reply.errorCode, row.code);
    EXPECT_EQ(reply.errorFlag, row.code != 0 ? 1 : 0);
  }
  EXPECT_EQ(commands_.back(), kStatusKrt02);  // 'i00'
}

TEST_F(FollowUpTest, Krt07Rules_OrderOfTheirRows) {
  link_.SetModel(77);
  struct Row {
    const char* name;
    testing::ByteChanges bytes;
    int rule_a, rule_b, rule_c;
  };
  const std::vector<Row> rows = {
      {"stopped, with 232 and 234", {{1, '1'}, {7, '1'}, {44, '4'}}, 234, 238, 238},
      {"232 and 234", {{8, '2'}, {44, '4'}}, 234, 234, 232},
      {"232 and 233", {{7, '5'}}, 0, 233, 232},
      {"241 and 235", {{7, '8'}, {43, 0x34}}, 241, 241, 241},
      {"235 and 236", {{43, 0x3C}}, 235, 235, 235},
      {"236", {{43, 0x38}}, 236, 236, 236},
      {"239 from byte 45", {{45, '1'}}, 239, 239, 239},
      {"234 from byte 45", {{45, 0x34}}, 234, 234, 234},
      {"233 from byte 8", {{8, '4'}}, 0, 233, 233},
      {"nothing", {}, 0, 231, 231},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    AnswerStatusWith({StatusRecord(51, row.bytes)});
    EXPECT_EQ(link_.ReadKrt07ErrorCode(Krt07Rule::kA), row.rule_a);
    EXPECT_EQ(link_.ReadKrt07ErrorCode(Krt07Rule::kB), row.rule_b);
    EXPECT_EQ(link_.ReadKrt07ErrorCode(Krt07Rule::kC), row.rule_c);
    // BEL picks rule B with the alternative rule, C otherwise; DC3 rule A.
    EXPECT_EQ(AnswerWith(0x07, false, true).errorCode, row.rule_b);
    EXPECT_EQ(AnswerWith(0x07).errorCode, row.rule_c);
    const DeviceReply dc3 = AnswerWith(0x13);
    EXPECT_EQ(dc3.errorCode, row.rule_a);
    EXPECT_EQ(dc3.errorFlag, row.rule_a != 0 ? 1 : 0);
  }
}

TEST_F(FollowUpTest, Krt07ErrorCode_UnreadableStatusOrOtherModel_IsZero) {
  link_.SetModel(7);
  AnswerStatusWith({StatusRecord(44, {{1, '1'}})});
  EXPECT_EQ(link_.ReadKrt07ErrorCode(Krt07Rule::kC), 0);
  link_.SetModel(3);
  commands_.clear();
  EXPECT_EQ(link_.ReadKrt07ErrorCode(Krt07Rule::kC), 0);
  EXPECT_EQ(link_.ReadKrt03ErrorCode(), 0);  // 44 bytes is no KRT03 status
  link_.SetModel(2);
  EXPECT_EQ(link_.ReadKrt03ErrorCode(), 0);
  EXPECT_EQ(commands_.size(), 1u);
}

TEST_F(FollowUpTest, Dc3OnKrt03_NoFollowUp) {
  link_.SetModel(3);
  AnswerStatusWith({StatusRecord(53, {{43, 0x3C}})});
  EXPECT_EQ(AnswerWith(0x13).errorFlag, 0);
  EXPECT_TRUE(commands_.empty());
}

// --- opening, closing, the model ------------------------------------------------------------

TEST(SerialLinkOpen, OpenConfiguresTheLineOnce) {
  SteppingClock clock;
  FakeLine line(clock);
  TraceCapture trace;
  SerialLink link(trace.log(), "COM3", "2400,E,7,1", line.Opener(), clock);
  EXPECT_EQ(link.OpenPort(), 0);
  EXPECT_EQ(link.OpenPort(), 0);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(line.opens(), 1);
  EXPECT_EQ(line.definitions(), std::vector<std::string>{"2400,E,7,1"});
  EXPECT_EQ(link.LineDefinition(), "2400,E,7,1");

  EXPECT_EQ(link.ReopenPort("9600,E,7,1"), 0);
  EXPECT_EQ(line.definition(), "9600,E,7,1");
  EXPECT_EQ(line.opens(), 2);
  EXPECT_TRUE(line.is_open());

  EXPECT_EQ(link.ClosePort(), 0);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(line.is_open());
  EXPECT_TRUE(trace.Lines().empty());
}

TEST(SerialLinkOpen, PortThatCannotBeOpened_ErrorLineAndOne) {
  SteppingClock clock;
  FakeLine line(clock);
  TraceCapture trace;
  SerialLink link(trace.log(), "COM1", "9600,E,8,1", line.Opener(), clock);
  line.SetOpenFails(true);
  EXPECT_EQ(link.OpenPort(), 1);
  EXPECT_EQ(link.ReopenPort("9600,E,7,1"), 1);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(trace.Errors(),
            (std::vector<std::string>{"シリアルポートオープンに失敗しました。", "シリアルポートオープンに失敗しました。"}));
}

// Settings the driver refuses would leave the line on the old speed and
// framing: the open fails, names the definition and the driver's reason, and
// leaves the port closed.
TEST(SerialLinkOpen, SettingsTheDriverRefuses_FailTheOpenNamingThem) {
  SteppingClock clock;
  FakeLine line(clock);
  TraceCapture trace;
  SerialLink link(trace.log(), "COM1", "9600,E,8,1", line.Opener(), clock);
  line.SetConfigureRefused(EIO);
  EXPECT_EQ(link.OpenPort(), 1);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(line.is_open());
  EXPECT_EQ(trace.Errors(), (std::vector<std::string>{"シリアルポートオープンに失敗しました。",
                                                      "回線設定を適用できません = 9600,E,8,1",
                                                      std::string("COM1: ") + std::strerror(EIO)}));
  line.SetConfigureRefused(0);
  EXPECT_EQ(link.OpenPort(), 0);
  link.ClosePort();
}

TEST(SerialLinkOpen, RealPortThatDoesNotExist_ErrorLine) {
  TraceCapture trace;
  SerialLink link(trace.log(), "/nonexistent/tty", "9600,E,8,1");
  EXPECT_EQ(link.OpenPort(), 1);
  EXPECT_EQ(trace.Errors(), (std::vector<std::string>{"シリアルポートオープンに失敗しました。",
                                                      std::string("/nonexistent/tty: ") + std::strerror(ENOENT)}));
}

// A real port that cannot be used fails the open with the fixed Error line and
// a second one naming why: the errno text of the open, or the line definition
// the terminal could not take (the port must not stay on its old speed).
TEST(SerialLinkOpen, RealPortThatCannotBeUsed_FailsNamingTheReason) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string pty = ::ptsname(master);
  testing::TempDir dir;
  const std::string plain_file = dir.file("plain");
  const std::string locked_file = dir.file("locked");
  std::ofstream(plain_file) << "x";
  std::ofstream(locked_file) << "x";
  ::chmod(locked_file.c_str(), 0);
  const bool root = ::geteuid() == 0;  // root opens files without access rights

  const struct {
    std::string port;
    std::string definition;
    std::string reason;  // "" when the open succeeds
    bool skip;
  } cases[] = {
      {pty, "9600,E,8,1", "", false},
      {pty, "115200,E,8,1", "", false},
      // Again, so only the parity differs from what the pseudo-terminal holds: it
      // keeps its own framing, and that is no failure.
      {pty, "115200,E,8,1", "", false},
      {pty, "9601,E,8,1", "回線設定を適用できません = 9601,E,8,1", false},
      {pty, "14400,E,8,1", "回線設定を適用できません = 14400,E,8,1", false},
      {pty, "fast", "回線設定を適用できません = fast", false},
      {dir.file("missing"), "9600,E,8,1", dir.file("missing") + ": " + std::strerror(ENOENT), false},
      {plain_file, "9600,E,8,1", plain_file + ": " + std::strerror(ENOTTY), false},
      {locked_file, "9600,E,8,1", locked_file + ": " + std::strerror(EACCES), root},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port + " " + c.definition);
    if (c.skip) continue;
    TraceCapture trace;
    SerialLink link(trace.log(), c.port, c.definition);
    if (c.reason.empty()) {
      EXPECT_EQ(link.OpenPort(), 0);
      EXPECT_TRUE(link.IsOpen());
      EXPECT_TRUE(trace.Errors().empty());
    } else {
      EXPECT_EQ(link.OpenPort(), 1);
      EXPECT_FALSE(link.IsOpen());
      EXPECT_EQ(trace.Errors(), (std::vector<std::string>{"シリアルポートオープンに失敗しました。", c.reason}));
    }
    link.ClosePort();
  }
  ::close(master);
}

TEST(SerialLinkModel, OnlyKnownModelCodesAreAccepted) {
  TraceCapture trace;
  SerialLink link(trace.log(), "COM1", "9600,E,8,1");
  EXPECT_EQ(link.Model(), ModelCode::kUnknown);
  for (const int code : {2, 3, 7, 77, 0}) {
    link.SetModel(77);
    link.SetModel(code);
    EXPECT_EQ(static_cast<int>(link.Model()), code);
  }
  for (const int code : {1, 4, 8, 76, 78, -1, 255}) {
    link.SetModel(7);
    link.SetModel(code);
    EXPECT_EQ(link.Model(), ModelCode::kKrt07) << code;
  }
}

}  // namespace
}  // namespace vexokrt::link
