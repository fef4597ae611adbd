// The exchanges with the cash changer that the communication thread and the
// device layer make on the serial line: framed commands, enquiries, answers,
// follow-up reads, and the port's open/close/detect life cycle.
//
// The serial link provides the real implementation; tests use a scripted
// fake. Reads are not serialised: only one thread may be receiving at a time
// (the communication thread, or a caller that has paused the status watch
// and has no request of its own in flight).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "link/device_reply.h"
#include "link/model_code.h"

namespace vexokrt {

// The three orders in which the KRT07/KRT77 error code is derived from a
// status record after a BEL (B or C) or a DC3 (A).
enum class Krt07Rule { kA, kB, kC };

// What the line calls to start and stop the communication thread. The port
// opening starts the thread (returns 0, or non-zero when it cannot be
// started), closing stops it and every close or reopen discards the queued
// requests. Each hook may be empty.
struct ThreadHooks {
  std::function<int()> start;
  std::function<void()> stop;
  std::function<void()> discard;
};

class LineExchange {
 public:
  virtual ~LineExchange() = default;

  // Port life cycle. OpenPort: 0 on success (the thread was started through
  // the hooks), 1 on failure. ClosePort stops the thread (a no-op when called
  // on the thread itself), closes the port and discards queued requests.
  virtual int OpenPort() = 0;
  virtual int ClosePort() = 0;
  virtual bool IsOpen() const = 0;
  virtual void SetThreadHooks(ThreadHooks hooks) = 0;

  // The connected model; kUnknown until detected.
  virtual ModelCode Model() const = 0;
  // Finds the model and line speed: 0 when the line is ready.
  virtual int DetectModel() = 0;

  // Frames |command| (STX command ETX BCC) and writes it after purging the
  // receive side.
  virtual void SendFrame(std::span<const uint8_t> command) = 0;
  // Writes ENQ and receives its answer (follow-ups with the normal rule
  // unless suppressed). Returns the reply's status.
  virtual int32_t SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups) = 0;
  // Receives one answer within |timeout_ms|. Returns the reply's status
  // (kReplyOk, kReplyTimeout, ...).
  virtual int32_t ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                                bool alternative_bell_rule) = 0;
  // Writes raw bytes without framing.
  virtual void WriteBytes(std::span<const uint8_t> bytes) = 0;

  // Moves the line to 115200 bit/s (|kind| 1) or back to 9600 bit/s with 8
  // data bits (|kind| 2): the device is told first, then the port is reopened.
  // 0 on success; a line that cannot change its speed answers
  // kLineSpeedUnchanged.
  virtual int32_t SwitchLineSpeed(int /*kind*/) { return kLineSpeedUnchanged; }
  static constexpr int32_t kLineSpeedUnchanged = -100;

  // Follow-up reads. ReadErrorNumber: the DeviceErrorNumber of the status
  // record (0 when not stopped with an error, 0xFFFF when unreadable).
  virtual int32_t ReadErrorNumber() = 0;
  // The KRT07/KRT77 error code by |rule| (0 on other models).
  virtual int32_t ReadKrt07ErrorCode(Krt07Rule rule) = 0;
};

}  // namespace vexokrt
