// SPDX-License-Identifier: Apache-2.0
// One answer of the cash changer, as the serial link delivers it.
#pragma once

#include <cstdint>
#include <vector>

namespace vexokrt {

// How the receive of an answer ended. The numbers are the ones the trace
// prints.
enum class ReceiveStatus : int32_t {
  kOk = 0,
  kTimeout = -1,       // nothing came in time (or nothing could be written)
  kParityError = -2,   // the port flagged a parity or framing error
  kBccError = -3,      // a data frame with a wrong BCC
  kFramingError = -4,  // an answer that is no answer of the protocol
  // The request never reached the communication thread's queue (the port
  // was closed or the thread not running): nothing was sent and nothing
  // answers.
  kNotQueued = -5,
};
inline constexpr ReceiveStatus kReplyOk = ReceiveStatus::kOk;
inline constexpr ReceiveStatus kReplyTimeout = ReceiveStatus::kTimeout;
inline constexpr ReceiveStatus kReplyParityError = ReceiveStatus::kParityError;
inline constexpr ReceiveStatus kReplyBccError = ReceiveStatus::kBccError;
inline constexpr ReceiveStatus kReplyFramingError = ReceiveStatus::kFramingError;
inline constexpr ReceiveStatus kReplyNotQueued = ReceiveStatus::kNotQueued;
// The status's number, as the trace prints it.
constexpr int32_t StatusNumber(ReceiveStatus status) { return static_cast<int32_t>(status); }

// Single-byte answers and frame bytes of the line protocol.
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kEnq = 0x05;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kBel = 0x07;
inline constexpr uint8_t kBs = 0x08;
inline constexpr uint8_t kLf = 0x0A;
inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kDc1 = 0x11;
inline constexpr uint8_t kDc3 = 0x13;
inline constexpr uint8_t kDc4 = 0x14;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kEtb = 0x17;
inline constexpr uint8_t kCan = 0x18;
inline constexpr uint8_t kEm = 0x19;
inline constexpr uint8_t kSub = 0x1A;

// The answer record. A value type: copying it copies its data, and nothing
// needs to be freed by hand.
struct DeviceReply {
  // kReplyOk when an answer was received; otherwise the receive failure.
  ReceiveStatus status = kReplyOk;
  // The single-byte answer; 0 when the answer was a data frame.
  uint32_t answerByte = 0;
  // The data bytes of a data frame (empty for a single-byte answer).
  std::vector<uint8_t> data;
  // 1 when CAN was answered and follow-up reads were allowed.
  int32_t cancelled = 0;
  // The device error number read after CAN.
  int32_t cancelDetail = 0;
  // 1 when a follow-up read produced a non-zero errorCode.
  int32_t errorFlag = 0;
  // Code from a follow-up read: 201-207 or 231-241.
  int32_t errorCode = 0;
  // True when the command or enquiry could not be written (status
  // kReplyTimeout): no answer was waited for.
  bool unsent = false;

  int32_t length() const { return static_cast<int32_t>(data.size()); }
  bool IsDataFrame() const { return status == kReplyOk && answerByte == 0 && !data.empty(); }
};

}  // namespace vexokrt
