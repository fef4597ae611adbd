// SPDX-License-Identifier: Apache-2.0
// Short exchanges made directly on the line, outside the request queue, by
// the communication thread and by the device layer: one framed command and
// its answer, enquiry loops, and the KRT03 take-back retry and stop
// sequences.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "link/answer_set.h"
#include "link/device_reply.h"
#include "link/line_exchange.h"
#include "platform/clock.h"

namespace vexokrt {

// Sends |command| framed and receives one answer. A command that could not be
// written gives its write status (kReplyTimeout) with |unsent| set, at once.
DeviceReply Exchange(LineExchange& line, std::span<const uint8_t> command, int32_t timeout_ms,
                     bool suppress_follow_ups = false, bool alternative_bell_rule = false);

// Sends ENQ and reads (100 ms) until the answer is in |accepted|, for at most
// |limit_ms|. True when an accepted answer came. Ends early (false) when
// |abandon| says so or an enquiry cannot be written.
bool EnquireUntil(LineExchange& line, platform::Clock& clock, AnswerSet accepted, int64_t limit_ms,
                  const AbandonCheck& abandon = {});

// The answers that show a KRT03 (ACK, DC3, ETB) or another model (ACK, LF,
// ETB) idle again after a stop.
AnswerSet IdleAnswers(ModelCode model);

// KRT03 take-back: the device is asked to try again ("E010", answer within
// 1000 ms), then 500 ms are left for it to start.
void TakeBackRetrySequence(LineExchange& line, platform::Clock& clock);

// KRT03 take-back: the device is told to stop ("000", answer within 500 ms);
// when it does not answer, enquiries follow until it is idle, for at most
// 20000 ms.
void TakeBackStopSequence(LineExchange& line, platform::Clock& clock, const AbandonCheck& abandon = {});

// True when the last two bytes of a KRT03 status (51 and 52) show a
// take-back that the device cannot finish on its own.
bool Krt03TakeBackStalled(std::span<const uint8_t> status);

}  // namespace vexokrt
