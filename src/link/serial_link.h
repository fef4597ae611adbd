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
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "diag/trace_log.h"
#include "link/device_reply.h"
#include "link/frame_codec.h"
#include "link/model_code.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

namespace vexokrt::link {

// The communication thread that runs beside the link. The link starts it when
// the port opens for normal use, stops it before the port closes, and has it
// drop its queued requests whenever the port closes or is reopened.
class CommThreadControl {
 public:
  virtual ~CommThreadControl() = default;
  // Called by OpenPort after the port has opened. Starts the thread unless it
  // already runs; returns false when it cannot be started (OpenPort then
  // closes the port again and fails).
  virtual bool Start() = 0;
  // Called by ClosePort before the port is closed. Stops the thread and waits
  // for it unless it does not run. ClosePort may be called on the thread
  // itself (its recovery closes and reopens the port); Stop must then neither
  // join itself nor stop the recovery that called it.
  virtual void Stop() = 0;
  // Called by ClosePort after the port closed, and by ReopenPort before it
  // reopens: every queued request is dropped. Whoever waits for a dropped
  // request must still get a definite answer (the thread's business).
  virtual void DiscardRequests() = 0;
};

// Which table ReadKrt07ErrorCode uses.
enum class Krt07ErrorRule {
  kA,  // after DC3
  kB,  // after BEL with the alternative rule ('!', 'm', 'n', 'p' commands)
  kC,  // after BEL otherwise, and after CAN
};

class SerialLink {
 public:
  // Opens a port by configured name; null when it cannot be opened.
  using PortOpener = std::function<std::unique_ptr<platform::SerialPort>(const std::string& name)>;

  // Results of DetectModel and SwitchLineSpeed besides 0.
  static constexpr int kDetectFailed = -100;
  static constexpr int kBadSpeedKind = 111;

  // |trace| receives the Error and Info lines and hex dumps; it must outlive
  // the link. |port_name| is the configured port ("COM1" or a device path),
  // |line_settings| its definition string ("9600,E,8,1"). |opener| defaults
  // to the terminal port of the platform; |clock| times every wait.
  SerialLink(diag::TraceLog& trace, std::string port_name, std::string line_settings,
             PortOpener opener = {}, platform::Clock& clock = platform::SystemClock());
  // Closes the port. The communication thread must have been stopped before
  // (ClosePort does that).
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Installs the communication thread's control (null: none). Not while the
  // port is open.
  void SetCommThreadControl(CommThreadControl* control);

  // Opens the port with the configured line settings and starts the
  // communication thread. 0 on success (also when already open), 1 when the
  // port cannot be opened, its line definition is not one a port can take
  // (speed, parity, data and stop bits), or the thread cannot be started (the
  // port is then closed again); each failure writes its Error line, and a
  // failed open a second one naming the reason (the errno text, or the
  // definition).
  int OpenPort();

  // Closes the port if open, drops queued requests, and opens it again with
  // |definition| instead of the configured settings. The communication
  // thread is not touched. 0 on success, 1 (with the Error line) on failure,
  // the port then being closed.
  int ReopenPort(std::string_view definition);

  // Stops the communication thread, closes the port, drops queued requests.
  // Always 0.
  int ClosePort();

  bool IsOpen() const { return open_.load(); }

  // The definition the port was last opened with ("" before the first open).
  std::string LineDefinition() const;

  // Frames |command| (STX, bytes, ETX, BCC), purges the receive queue, clears
  // the port's error state and writes the frame. 0, or kReplyTimeout when the
  // port would not take the frame (see WriteBytes).
  int SendFrame(std::span<const uint8_t> command);

  // Purges the receive queue, clears the error state, writes ENQ and receives
  // the answer as ReceiveAnswer(reply, timeout_ms, suppress_follow_ups, false).
  int SendEnquiry(DeviceReply& reply, int timeout_ms, bool suppress_follow_ups);

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
  int ReceiveAnswer(DeviceReply& reply, int timeout_ms, bool suppress_follow_ups,
                    bool alternative_bell_rule);

  // Writes |bytes| in pieces of at most 256, each traced as sent data.
  // Nothing is written (result 0) when the port is closed or |bytes| is
  // empty. Gives up with kReplyTimeout and an Error line when the port
  // accepts nothing on several writes in a row (100 ms each) or is gone.
  int WriteBytes(std::span<const uint8_t> bytes);

  // The device error number of the status record (after CAN): four
  // hexadecimal digits from status bytes 3 to 6 when byte 1 is '1', else 0;
  // 0xFFFF when the status cannot be read. Waits 500 ms first.
  int ReadErrorNumber();
  // KRT03 only (else 0): extended code 202 to 207 from the status, 0 when none
  // applies or the status cannot be read.
  int ReadKrt03ErrorCode();
  // KRT07 family only (else 0): extended code 231 to 241 from the status by
  // |rule|; 0 when the status cannot be read.
  int ReadKrt07ErrorCode(Krt07ErrorRule rule);

  ModelCode Model() const { return static_cast<ModelCode>(model_.load()); }
  // Accepts 0, 2, 3, 7 and 77; any other value leaves the model unchanged.
  void SetModel(int32_t code);

  // Reads the model name (":00") and sets the model from it (0 when not
  // recognised). Returns 'A' (65) or 'B' (66) for a KRT02 in communication
  // mode A or B, 0 for the other models and for an unknown name, the receive
  // status when no answer came.
  int ReadModelName();

  // Finds the connected model across the line settings, brings a KRT02 to
  // 9600 bit/s and communication mode A and leaves the port on the model's
  // settings. 0 when the model is known and the line ready; kDetectFailed
  // when a reopen fails, no model answers or a speed change is refused; the
  // answer to the mode-A change when that change is refused.
  int DetectModel();

  // Moves the line to 115200 bit/s (|kind| 1) or back to 9600 bit/s with 8
  // data bits (|kind| 2). 0, kDetectFailed (no ACK, or the reopen failed) or
  // kBadSpeedKind for another kind.
  int SwitchLineSpeed(int kind);

 private:
  int OpenWith(const std::string& definition);
  void ClosePortHandle();
  // Sends a command and returns the receive status, or the answer byte when
  // the status is 0.
  int Exchange(std::span<const uint8_t> command, int timeout_ms);
  // Sends |command| and receives a data frame of exactly |length| bytes with
  // follow-ups suppressed; false otherwise.
  bool ReadRecord(std::span<const uint8_t> command, int length, DeviceReply& reply);
  void RunFollowUps(DeviceReply& reply, bool suppress, bool alternative_bell_rule);
  void TraceBytes(std::string_view label, const uint8_t* bytes, size_t count);
  void Info(std::string_view message);
  void Error(std::string_view message);
  // Reads the rest of a data frame whose DLE |decoder| has taken.
  int ReceiveFrameBody(FrameDecoder& decoder, DeviceReply& reply);

  diag::TraceLog& trace_;
  const std::string port_name_;
  const std::string line_settings_;
  PortOpener opener_;
  // errno of the platform port's last failed open (0: none, or another opener).
  int open_error_ = 0;
  platform::Clock& clock_;
  CommThreadControl* comm_thread_ = nullptr;

  // Guards writes and the exchange of the port object; see the class comment
  // for why receives do not need it.
  mutable std::mutex write_lock_;
  std::unique_ptr<platform::SerialPort> port_;
  std::string line_definition_;  // guarded by write_lock_
  std::atomic<bool> open_{false};
  std::atomic<int32_t> model_{0};
};

}  // namespace vexokrt::link
