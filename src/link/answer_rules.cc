// SPDX-License-Identifier: Apache-2.0
#include "link/answer_rules.h"

#include "opos/opos.h"

namespace vexokrt {
namespace {

MappedResult Success() { return {opos::OPOS_SUCCESS, 0}; }
MappedResult Failure() { return {opos::OPOS_E_FAILURE, 0}; }
MappedResult ExtendedOrFailure(int32_t code) {
  return code != 0 ? MappedResult{opos::OPOS_E_EXTENDED, code} : Failure();
}

MappedResult Apply(AnswerAction action, const DeviceReply& reply, LineExchange& line, bool jammed) {
  switch (action) {
    case AnswerAction::kSuccess:
      return Success();
    case AnswerAction::kFailure:
      return Failure();
    case AnswerAction::kReplyErrorCode:
      return ExtendedOrFailure(reply.errorCode);
    case AnswerAction::kReadRuleA:
      return ExtendedOrFailure(line.ReadKrt07ErrorCode(Krt07Rule::kA));
    case AnswerAction::kReadRuleC:
      return ExtendedOrFailure(line.ReadKrt07ErrorCode(Krt07Rule::kC));
    case AnswerAction::kDeviceErrorNumber:
      return ExtendedOrFailure(line.ReadErrorNumber().Value());
    case AnswerAction::kNotPossibleNow:
      return {opos::OPOS_E_EXTENDED, opos::kExtendedNotPossibleNow};
    case AnswerAction::kNotPossibleUnlessJammed:
      return jammed ? Failure() : MappedResult{opos::OPOS_E_EXTENDED, opos::kExtendedNotPossibleNow};
    case AnswerAction::kCancelDetailOrSuccess:
      return reply.cancelDetail != 0 ? MappedResult{opos::OPOS_E_EXTENDED, reply.cancelDetail} : Success();
  }
  return Failure();
}

MappedResult MapPlain(const DeviceReply& reply, const AnswerRule& rule) {
  if (reply.cancelled != 0) return ExtendedOrFailure(reply.cancelDetail);
  if (reply.errorFlag == 1) return {opos::OPOS_E_EXTENDED, reply.errorCode};
  return rule.done.Contains(reply.answerByte) ? Success() : Failure();
}

MappedResult MapAction(const DeviceReply& reply, const AnswerRule& rule, LineExchange& line) {
  const uint32_t answer = reply.answerByte;
  if (rule.done.Contains(answer)) return Success();
  if (answer == kEm) return {opos::OPOS_E_EXTENDED, opos::kExtendedNotPossibleNow};
  if (rule.short_form) return Failure();
  if (answer == kBel) return ExtendedOrFailure(reply.errorCode);
  if (answer == kNak && rule.nak_fails) return Failure();
  return ExtendedOrFailure(line.ReadErrorNumber().Value());
}

MappedResult MapTable(const DeviceReply& reply, const AnswerRule& rule, LineExchange& line, bool jammed) {
  if (rule.cancelled_first && reply.cancelled != 0) return ExtendedOrFailure(reply.cancelDetail);
  if (reply.IsDataFrame()) return Apply(rule.data_frame, reply, line, jammed);
  for (const auto& [answer, action] : rule.by_answer) {
    if (answer == reply.answerByte) return Apply(action, reply, line, jammed);
  }
  return Apply(rule.otherwise, reply, line, jammed);
}

}  // namespace

MappedResult MapReply(const DeviceReply& reply, const AnswerRule& rule, LineExchange& line, bool jammed) {
  if (reply.status == kReplyNotQueued) {
    // A request that never reached the queue is judged as an empty answer
    // cancelled without a detail, by the command's own rule.
    DeviceReply unanswered;
    unanswered.cancelled = 1;
    return MapReply(unanswered, rule, line, jammed);
  }
  if (reply.status == kReplyTimeout) return {opos::OPOS_E_NOHARDWARE, 0};
  if (reply.status != kReplyOk) return Failure();
  switch (rule.kind) {
    case AnswerRule::Kind::kPlain:
      return MapPlain(reply, rule);
    case AnswerRule::Kind::kAction:
      return MapAction(reply, rule, line);
    case AnswerRule::Kind::kTable:
      return MapTable(reply, rule, line, jammed);
  }
  return Failure();
}

}  // namespace vexokrt
