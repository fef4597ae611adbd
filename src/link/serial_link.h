// SPDX-License-Identifier: Apache-2.0
// The serial link to the cash changer: the only code that touches the port.
//
// It opens and configures the port, frames commands, writes them, and reads
// the device's answer (one control byte or a data frame) into a DeviceReply.
// For some answers it asks the device for the error details itself (follow-up
// reads) so the caller gets one complete answer. It also finds out which
// model is connected and on which line settings (DetectModel).
//
// Threads: OpenPort, ReopenPort and ClosePort must not run while another
// thread is inside a receive or a send. Receiving (ReceiveAnswer,
// SendEnquiry, the follow-up reads, DetectModel) is done by one thread at a
// time; WriteBytes is serialised by the write lock. Model() and IsOpen() may
// be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "diag/trace_log.h"
#include "link/command_set.h"
#include "link/device_reply.h"
#include "link/frame_codec.h"
#include "link/line_exchange.h"
#include "link/model_code.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/thread_annotations.h"

namespace vexokrt::link {

// A model-name read: the receive status and the name found (kUnknown, no
// mode, when the answer names no model of the family).
struct ModelNameRead {
  ReceiveStatus status = kReplyOk;
  ModelName name;
};

class SerialLink final : public LineExchange {
 public:
  // Opens a port by configured name; null when it cannot be opened.
  using PortOpener = std::function<std::unique_ptr<platform::SerialPort>(const std::string& name)>;

  // |trace| receives the Error and Info lines and hex dumps; it must outlive
  // the link. |port_name| is the configured port ("COM1" or a device path),
  // |line_settings| its definition string ("9600,E,8,1"). |opener| defaults
  // to the terminal port of the platform; |clock| times every wait.
  SerialLink(diag::TraceLog& trace, std::string port_name, std::string line_settings,
             PortOpener opener = {}, platform::Clock& clock = platform::SystemClock());
  // Closes the port. Whoever runs the communication thread over this link
  // must have stopped it before.
  ~SerialLink() override;
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Opens the port with the configured line settings. 0 on success (also
  // when already open), 1 when the port cannot be opened or its line
  // definition is not one a port can take (speed, parity, data and stop
  // bits); each failure writes its Error line and a second one naming the
  // reason (the errno text, or the definition).
  int OpenPort() override;

  // Closes the port if open and opens it again with |definition| instead of
  // the configured settings. 0 on success, 1 (with the Error line) on
  // failure, the port then being closed.
  int ReopenPort(std::string_view definition);

  // Closes the port. Always 0.
  int ClosePort() override;

  bool IsOpen() const override { return open_.load(); }

  // The definition the port was last opened with ("" before the first open).
  std::string LineDefinition() const;

  // Frames |command| (STX, bytes, ETX, BCC), purges the receive queue, clears
  // the port's error state and writes the frame. 0, or kReplyTimeout when the
  // port would not take the frame (see WriteBytes).
  ReceiveStatus SendFrame(std::span<const uint8_t> command) override;

  // Purges the receive queue, clears the error state, writes ENQ and receives
  // the answer as ReceiveAnswer(reply, timeout_ms, suppress_follow_ups, false).
  // An ENQ that cannot be written is a kReplyTimeout reply marked unsent,
  // given at once.
  ReceiveStatus SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups) override;

  // Receives one answer into |reply| (reset first) and returns its status:
  // kReplyOk, kReplyTimeout (nothing came within |timeout_ms|),
  // kReplyParityError (the port flagged a parity or framing error),
  // kReplyBccError, kReplyFramingError. Every failure writes its Error line.
  // After BEL, DC3, CAN and EM the follow-up reads run unless
  // |suppress_follow_ups|; |alternative_bell_rule| picks rule B over rule C
  // for BEL on the KRT07 family.
  //
  // The wait for the first byte ends at |timeout_ms| (a time-out of 0 only
  // takes a byte that has already arrived). A data frame ends when its
  // length field says so; a frame that stops short ends after 50 ms of
  // silence once its first byte after DLE has come (the wait for that byte
  // may take the whole frame time), and no frame takes longer than 2000 ms.
  ReceiveStatus ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                              bool alternative_bell_rule) override;
  uint32_t DamagedAnswerCount() const override { return damaged_answers_.load(); }

  // Writes |bytes| in pieces of at most 256, each traced as sent data.
  // Nothing is written (result 0) when |bytes| is empty. Gives up with
  // kReplyTimeout when the port is closed, and with kReplyTimeout and an
  // Error line when the port accepts nothing on several writes in a row
  // (100 ms each) or is gone.
  ReceiveStatus WriteBytes(std::span<const uint8_t> bytes) override;

  // The device error number of the status record (after CAN): four
  // hexadecimal digits from status bytes 3 to 6 when byte 1 is '1', else 0;
  // unreadable when the status cannot be read. Waits 500 ms first.
  ErrorNumberRead ReadErrorNumber() override;
  // KRT03 only (else 0): extended code 202 to 207 from the status, 0 when none
  // applies or the status cannot be read.
  int ReadKrt03ErrorCode();
  // KRT07 family only (else 0): extended code 231 to 241 from the status by
  // |rule|; 0 when the status cannot be read.
  int32_t ReadKrt07ErrorCode(Krt07Rule rule) override;

  ModelCode Model() const override { return static_cast<ModelCode>(model_.load()); }
  // Accepts 0, 2, 3, 7 and 77; any other value leaves the model unchanged.
  void SetModel(int32_t code);

  // Reads the model name (":00") and sets the model from it (kUnknown when
  // not recognised or not answered). The receive status and, for a known
  // name, the model and a KRT02's communication mode.
  ModelNameRead ReadModelName();

  // Finds the connected model across the line settings, brings a KRT02 to
  // 9600 bit/s and communication mode A and leaves the port on the model's
  // settings. When nothing answers on the usual lines, a KRT07/KRT77 left at
  // 115200 bit/s (by a download that never ended) is looked for there and
  // switched back to 9600 bit/s, and the detection says so in the trace. Ready when the model is known and the line ready; failed when
  // a reopen fails, no model answers or a speed change is refused; the
  // answer to the mode-A change when that change is refused. With |abandon|
  // saying so before a read or a command, abandoned there: each attempt
  // costs one exchange, so a caller waiting for the detection waits at most
  // for the attempt under way. The port stays as that attempt left it.
  using LineExchange::DetectModel;
  ModelDetection DetectModel(const AbandonCheck& abandon) override;

  // Moves the line to 115200 bit/s or back to 9600 bit/s with 8 data bits:
  // switched, or refused (no ACK, or the reopen failed).
  SpeedSwitch SwitchLineSpeed(LineSpeed speed) override;

  void TraceError(std::string_view message) override { Error(message); }

 private:
  // ReceiveAnswer without the count of damaged answers.
  ReceiveStatus ReceiveOneAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                                 bool alternative_bell_rule);

  int OpenWith(const std::string& definition);
  void ClosePortHandle();
  // Sends a command and receives its single-byte answer.
  struct ByteAnswer {
    ReceiveStatus status = kReplyOk;
    uint8_t byte = 0;  // with kReplyOk: the answer byte (0 for a data frame)
    bool Is(uint8_t answer) const { return status == kReplyOk && byte == answer; }
  };
  ByteAnswer Exchange(std::span<const uint8_t> command, int timeout_ms);
  // ReopenPort that remembers, for the detection, that the port was reopened.
  int Reopen(std::string_view definition, ModelDetection& detection);
  // The last attempt of DetectModel: a KRT07/KRT77 at 115200 bit/s, switched
  // back to 9600 bit/s and read again there.
  ModelDetection DetectOnFastLine(ModelDetection detection, const AbandonCheck& abandon);
  // Sends |command| and receives a data frame of exactly |length| bytes with
  // follow-ups suppressed; false otherwise.
  bool ReadRecord(std::span<const uint8_t> command, int length, DeviceReply& reply);
  void RunFollowUps(DeviceReply& reply, bool suppress, bool alternative_bell_rule);
  void TraceBytes(std::string_view label, const uint8_t* bytes, size_t count);
  void Info(std::string_view message);
  void Error(std::string_view message);
  // Reads the rest of a data frame whose DLE |decoder| has taken.
  ReceiveStatus ReceiveFrameBody(FrameDecoder& decoder, DeviceReply& reply);

  diag::TraceLog& trace_;
  const std::string port_name_;
  const std::string line_settings_;
  PortOpener opener_;
  // errno of the platform port's last failed open (0: none, or another opener).
  int open_error_ = 0;
  platform::Clock& clock_;

  // Guards writes and the exchange of the port object; see the class comment
  // for why receives do not need it.
  mutable platform::Mutex write_lock_;
  std::unique_ptr<platform::SerialPort> port_;
  std::string line_definition_ VEX_GUARDED_BY(write_lock_);
  std::atomic<bool> open_{false};
  std::atomic<int32_t> model_{0};
  std::atomic<uint32_t> damaged_answers_{0};
};

}  // namespace vexokrt::link

namespace vexokrt {

// A line over the configured serial port (|port_name|, |line_settings| such
// as "9600,E,8,1"); |trace| must outlive it.
std::unique_ptr<LineExchange> MakeSerialLine(diag::TraceLog& trace, std::string port_name, std::string line_settings,
                                             platform::Clock& clock = platform::SystemClock());

}  // namespace vexokrt
