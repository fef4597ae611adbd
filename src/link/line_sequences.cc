// SPDX-License-Identifier: Apache-2.0
#include "link/line_sequences.h"

#include "link/command_set.h"

namespace vexokrt {
namespace {

constexpr int32_t kEnquiryTimeoutMs = 100;

}  // namespace

DeviceReply Exchange(LineExchange& line, std::span<const uint8_t> command, int32_t timeout_ms,
                     bool suppress_follow_ups, bool alternative_bell_rule) {
  DeviceReply reply;
  const ReceiveStatus sent = line.SendFrame(command);
  if (sent != kReplyOk) {
    // Nothing was written, so nothing is waited for.
    reply.status = sent;
    reply.unsent = true;
    return reply;
  }
  line.ReceiveAnswer(reply, timeout_ms, suppress_follow_ups, alternative_bell_rule);
  return reply;
}

bool EnquireUntil(LineExchange& line, platform::Clock& clock, AnswerSet accepted, int64_t limit_ms,
                  const AbandonCheck& abandon) {
  const int64_t start = clock.NowMs();
  do {
    if (abandon && abandon()) return false;
    DeviceReply reply;
    if (line.SendEnquiry(reply, kEnquiryTimeoutMs, false) == kReplyOk && accepted.Contains(reply.answerByte)) {
      return true;
    }
    // A line that cannot take the enquiry will not answer the next one.
    if (reply.unsent) return false;
  } while (clock.NowMs() - start < limit_ms);
  return false;
}

AnswerSet IdleAnswers(ModelCode model) {
  if (model == ModelCode::kKrt03) return AnswerSet{kAck, kDc3, kEtb};
  return AnswerSet{kAck, kLf, kEtb};
}

void TakeBackRetrySequence(LineExchange& line, platform::Clock& clock) {
  Exchange(line, TakeBackRetryCommand().bytes, 1000);
  clock.SleepMs(500);
}

void TakeBackStopSequence(LineExchange& line, platform::Clock& clock, const AbandonCheck& abandon) {
  DeviceReply reply = Exchange(line, ResetCommand().bytes, 500);
  if (reply.status == kReplyTimeout) {
    EnquireUntil(line, clock, IdleAnswers(line.Model()), 20000, abandon);
  }
}

bool Krt03TakeBackStalled(std::span<const uint8_t> status) {
  if (status.size() < 53) return false;
  const uint8_t a = status[51];
  const uint8_t b = status[52];
  return (a == '9' && b == '1') || (a == '4' && b == '1') || (a == '4' && b == 'A') ||
         (a == '4' && b == '2') || (a == '9' && b == '2');
}

}  // namespace vexokrt
