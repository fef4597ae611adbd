// SPDX-License-Identifier: Apache-2.0
// The serial line to the cash changer as every user of it sees it: the
// communication thread, the device layer, the device logs and the program
// download. Framed commands, enquiries, answers, follow-up reads, the model
// detection, line-speed changes and the port's open/close life cycle.
//
// Every operation returns what happened. A command or enquiry that could not
// be written comes back at once as kReplyTimeout (what a silent line gives)
// without any wait for an answer that cannot come.
//
// The serial link (link/serial_link.h) is the real implementation; tests use
// scripted fakes. The line never calls up: whoever opens the port starts the
// communication thread, and stops it before closing the port. Reads are not
// serialised: only one thread may be receiving at a time (the communication
// thread, or a caller that has paused the status watch and has no request of
// its own in flight).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "link/device_reply.h"
#include "link/model_code.h"

namespace vexokrt {

// The order in which the KRT07/KRT77 error code is derived from a status
// record.
enum class Krt07Rule {
  kA,  // after DC3
  kB,  // after BEL with the alternative rule ('!', 'm', 'n', 'p' commands)
  kC,  // after BEL otherwise, and after CAN
};

// Returns true when a wait or a sequence of exchanges should be given up
// (the thread is stopping, or a caller waits for the status watch to pause).
using AbandonCheck = std::function<bool()>;

// The two line speeds of a program download.
enum class LineSpeed {
  kFast,    // 115200 bit/s, 8 data bits
  kNormal,  // 9600 bit/s, 8 data bits
};

// What a line-speed change did.
enum class SpeedSwitch {
  kSwitched,     // the device agreed and the port runs at the new speed
  kRefused,      // no ACK, or the port could not be reopened
  kUnsupported,  // a line that cannot change its speed
};

// What the model detection found.
struct ModelDetection {
  enum class Outcome {
    kReady,              // the model is known and the line ready
    kFailed,             // a reopen failed, no model answered or a speed change was refused
    kModeChangeRefused,  // a KRT02 refused the change to communication mode A
    kAbandoned,          // given up between two attempts because the caller asked
  };
  Outcome outcome = Outcome::kFailed;
  // kModeChangeRefused: the device's answer byte to the change.
  uint8_t refused_answer = 0;
  // The port was closed and opened again on the way: requests queued before
  // are stale.
  bool reopened = false;

  bool ready() const { return outcome == Outcome::kReady; }
};

// The device error number read from the status record.
struct ErrorNumberRead {
  // The status record could not be read (no answer, or not a record).
  bool unreadable = false;
  // Status bytes 3 to 6 as four hexadecimal digits while the device is
  // stopped with an error; 0 otherwise.
  int32_t number = 0;

  static constexpr int32_t kUnreadableValue = 0xFFFF;
  // The number as the device layer reports it (cancel detail,
  // ResultCodeExtended, the direct I/O answer): 0xFFFF when unreadable.
  int32_t Value() const { return unreadable ? kUnreadableValue : number; }
};

class LineExchange {
 public:
  virtual ~LineExchange() = default;

  // Port life cycle. OpenPort: 0 on success (also when already open), 1 on
  // failure. ClosePort: closes the port; always 0.
  virtual int OpenPort() = 0;
  virtual int ClosePort() = 0;
  virtual bool IsOpen() const = 0;

  // The connected model; kUnknown until detected.
  virtual ModelCode Model() const = 0;
  // Finds the model and line speed.
  ModelDetection DetectModel() { return DetectModel(AbandonCheck()); }
  // The same, looking at |abandon| before every read and every command of
  // the detection: once it says so, the detection ends there (kAbandoned)
  // with the port as the last step left it (open on the last settings
  // tried, or closed after a failed reopen), as after a failure.
  virtual ModelDetection DetectModel(const AbandonCheck& abandon) = 0;

  // Frames |command| (STX command ETX BCC) and writes it after purging the
  // receive side: kReplyOk, or kReplyTimeout when it could not be written.
  virtual ReceiveStatus SendFrame(std::span<const uint8_t> command) = 0;
  // Writes ENQ and receives its answer (follow-ups with the normal rule
  // unless suppressed). Returns the reply's status; |reply.unsent| tells an
  // enquiry that could not be written from a silent device.
  virtual ReceiveStatus SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups) = 0;
  // Receives one answer within |timeout_ms|. Returns the reply's status
  // (kReplyOk, kReplyTimeout, ...).
  virtual ReceiveStatus ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                                      bool alternative_bell_rule) = 0;
  // Writes raw bytes without framing: kReplyOk, or kReplyTimeout when they
  // could not be written.
  virtual ReceiveStatus WriteBytes(std::span<const uint8_t> bytes) = 0;

  // Moves the line to |speed|: the device is told first, then the port is
  // reopened.
  virtual SpeedSwitch SwitchLineSpeed(LineSpeed /*speed*/) { return SpeedSwitch::kUnsupported; }

  // Follow-up reads. ReadErrorNumber: the DeviceErrorNumber of the status
  // record.
  virtual ErrorNumberRead ReadErrorNumber() = 0;
  // The KRT07/KRT77 error code by |rule| (231 to 241; 0 on other models and
  // when the status cannot be read).
  virtual int32_t ReadKrt07ErrorCode(Krt07Rule rule) = 0;

  // Writes an Error line to the line's trace, for failures of the line's
  // users that belong with its own (a communication thread that cannot
  // start). Lines without a trace ignore it.
  virtual void TraceError(std::string_view /*message*/) {}

  // Answers that came in damaged (a parity or framing error of the port, a
  // wrong BCC, a malformed frame) since the line was made; silences are not
  // counted. Any thread.
  virtual uint32_t DamagedAnswerCount() const { return 0; }
};

}  // namespace vexokrt
