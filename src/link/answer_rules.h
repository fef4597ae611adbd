// SPDX-License-Identifier: Apache-2.0
// Judging the cash changer's final answer to a command: the mapping of a
// DeviceReply to an OPOS result code (and, with OPOS_E_EXTENDED, the
// extended code that goes to ResultCodeExtended).
//
// Every rule first maps a receive failure: time-out -> OPOS_E_NOHARDWARE,
// any other failure (parity, BCC, framing) -> OPOS_E_FAILURE. A request that
// was not queued is judged as an empty answer cancelled without a detail.
// Then:
//
// Plain: a cancelled reply (CAN) -> its cancel detail with OPOS_E_EXTENDED,
//   or OPOS_E_FAILURE when the detail is 0; a follow-up error code ->
//   OPOS_E_EXTENDED with it; an answer in the done set -> OPOS_SUCCESS; any
//   other answer -> OPOS_E_FAILURE.
// Action: done set -> success; BEL -> the follow-up error code (or
//   failure when 0); EM -> extended 201; NAK -> failure where the command
//   says so; any other answer -> the DeviceErrorNumber, read now (or
//   failure when 0). The short form (KRT03, and the KRT02 dispense) only
//   keeps the done set and EM: everything else is a failure.
// Table: one action per answer byte, one for a data frame and one for
//   anything else (the commands with their own answer rules).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "link/answer_set.h"
#include "opos/opos.h"
#include "link/device_reply.h"
#include "link/line_exchange.h"

namespace vexokrt {

enum class AnswerAction : uint8_t {
  kSuccess,
  kFailure,
  // The follow-up code carried by the reply (BEL: rule C, or B for pay-out
  // commands; DC3: rule A): OPOS_E_EXTENDED with it, failure when 0.
  kReplyErrorCode,
  // ReadKrt07ErrorCode read now (rule A or C): extended with it, or failure.
  kReadRuleA,
  kReadRuleC,
  // ReadErrorNumber read now: extended with it, or failure when 0.
  kDeviceErrorNumber,
  // Extended 201: the operation is not possible now.
  kNotPossibleNow,
  // Extended 201, unless the device is jammed (then failure).
  kNotPossibleUnlessJammed,
  // The cancel detail with OPOS_E_EXTENDED when not 0, else success.
  kCancelDetailOrSuccess,
};

struct AnswerRule {
  enum class Kind : uint8_t { kPlain, kAction, kTable };
  Kind kind = Kind::kPlain;
  AnswerSet done;
  // kAction: NAK is a plain failure (KRT07/KRT77 pay-outs).
  bool nak_fails = false;
  // kAction: the short form (only done set and EM; everything else fails).
  bool short_form = false;
  // kTable: a cancelled reply is judged first, as the Plain rule does.
  bool cancelled_first = false;
  std::vector<std::pair<uint8_t, AnswerAction>> by_answer;
  AnswerAction data_frame = AnswerAction::kFailure;
  AnswerAction otherwise = AnswerAction::kFailure;

  static AnswerRule Plain(AnswerSet done_set) {
    AnswerRule rule;
    rule.kind = Kind::kPlain;
    rule.done = done_set;
    return rule;
  }
  static AnswerRule Action(AnswerSet done_set, bool nak_is_failure = false) {
    AnswerRule rule;
    rule.kind = Kind::kAction;
    rule.done = done_set;
    rule.nak_fails = nak_is_failure;
    return rule;
  }
  static AnswerRule ShortAction(AnswerSet done_set) {
    AnswerRule rule = Action(done_set);
    rule.short_form = true;
    return rule;
  }
  static AnswerRule Table(std::vector<std::pair<uint8_t, AnswerAction>> cases, AnswerAction other,
                          AnswerAction data = AnswerAction::kFailure) {
    AnswerRule rule;
    rule.kind = Kind::kTable;
    rule.by_answer = std::move(cases);
    rule.otherwise = other;
    rule.data_frame = data;
    return rule;
  }
};

// An OPOS result and, with OPOS_E_EXTENDED, its extended code.
using MappedResult = opos::OposResult;

// Maps |reply| by |rule|. |line| is used only for the reads the rule makes
// now (DeviceErrorNumber, ReadKrt07ErrorCode); the caller must be entitled to
// use the line (watch paused, no other request in flight). |jammed| is the
// device's current jam state.
MappedResult MapReply(const DeviceReply& reply, const AnswerRule& rule, LineExchange& line, bool jammed = false);

}  // namespace vexokrt
