// SPDX-License-Identifier: Apache-2.0
// The serial port as the link sees it: a small interface with a POSIX
// terminal implementation, line definitions of the form
// "baud,parity,data bits,stop bits", and the timed read that gives the link
// its inter-byte and total time-outs.
//
// Ports are not thread-safe: one thread reads at a time, and writes are
// serialised by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vexokrt::platform {

enum class Parity { kNone, kEven, kOdd };

// One line definition.
struct LineSettings {
  int baud = 9600;
  Parity parity = Parity::kEven;
  int data_bits = 8;
  int stop_bits = 1;

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Parses "9600,E,8,1": a baud rate (1200 to 115200, the standard rates),
// parity E/O/N (either case), 7 or 8 data bits, 1 or 2 stop bits, separated by
// commas; blanks around the fields are ignored. Anything else gives nullopt.
std::optional<LineSettings> ParseLineDefinition(std::string_view definition);

// Writes |settings| back in the form ParseLineDefinition reads ("9600,E,7,1").
std::string FormatLineDefinition(const LineSettings& settings);

// The device path of a configured port name: "COMn" (any case, n >= 1) is
// /dev/ttyS(n-1); any other name is taken as a path unchanged.
std::string DevicePathForPortName(std::string_view name);

// How an I/O call ended.
enum class IoStatus {
  kOk,       // everything asked for was done (a read got at least one byte)
  kTimeout,  // the wait ran out first; |count| says what was done
  kLost,     // the device is gone (hang-up, I/O error); returned at once
};

struct IoResult {
  size_t count = 0;
  IoStatus status = IoStatus::kOk;
};

enum class PurgeScope { kReceive, kTransmitAndReceive };

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Puts the line into raw binary mode (no echo, no line editing, no
  // translation, no flow control, nothing stripped, parity errors marked) and
  // applies |definition| on top of the current line state. Returns false when
  // the definition cannot be parsed (raw mode is still applied, the speed and
  // framing stay as they were) or the driver refuses the settings. Drivers
  // that cannot represent data bits or parity (pseudo-terminals) keep their
  // own values; that is not a failure.
  virtual bool Configure(std::string_view definition) = 0;

  // Drops what waits in the driver's queues without sending or delivering it.
  virtual void Purge(PurgeScope scope) = 0;

  // True when a parity or framing error (or a break) was received since the
  // last call; the error state is cleared by the call. The byte that carried
  // the error is still delivered by ReadSome.
  virtual bool TakeReceiveError() = 0;

  // Waits at most |wait_ms| (0: not at all) for input, then returns what has
  // arrived, up to |capacity| bytes, without waiting for more. A count of 0
  // comes with kTimeout, or with kLost when the device is gone.
  virtual IoResult ReadSome(uint8_t* buffer, size_t capacity, int64_t wait_ms) = 0;

  // Writes as much of |bytes| as the driver accepts within |wait_ms|.
  // kTimeout when not everything was accepted in time; kLost when the device
  // is gone.
  virtual IoResult WriteSome(const uint8_t* bytes, size_t count, int64_t wait_ms) = 0;
};

// Opens a terminal device by configured name (see DevicePathForPortName) for
// exclusive use, non-blocking, without becoming its controlling terminal.
// The line is left as it was until Configure. Returns null when the device
// cannot be opened or is not a terminal; |error| (optional) receives errno.
std::unique_ptr<SerialPort> OpenSerialPort(const std::string& name, int* error = nullptr,
                                           Clock& clock = SystemClock());

// Limits of one timed read, in milliseconds of |clock|.
struct ReadTimeouts {
  int64_t first_byte_ms = 0;  // longest wait for the first byte of this read
  int64_t interval_ms = 0;    // a silence this long after a byte ends the read
  int64_t total_ms = 0;       // the whole read never lasts longer than this
};

// Reads up to |capacity| bytes: returns kOk as soon as |capacity| bytes have
// come, kTimeout when one of the limits ends the read first (|count| bytes
// came), kLost when the device went away. A read with all limits 0 only takes
// what has already arrived.
IoResult ReadTimed(SerialPort& port, Clock& clock, uint8_t* buffer, size_t capacity,
                   const ReadTimeouts& timeouts);

// Undoes the parity marking of a terminal's input stream: 0xFF 0x00 X is the
// byte X received with a parity or framing error (0xFF 0x00 0x00 may also be a
// break), and 0xFF 0xFF is one real 0xFF data byte. Keeps its state between
// calls, so a marker split across two reads is decoded whole.
class MarkedInputDecoder {
 public:
  // Decodes |count| raw bytes from |raw| into |out| (room for |count| bytes
  // is always enough); returns the number of data bytes written.
  size_t Decode(const uint8_t* raw, size_t count, uint8_t* out);

  // True when a marked (erroneous) byte was decoded since the last call.
  bool TakeError();

  // Forgets a half-received marker (after a purge).
  void Reset();

 private:
  enum class State { kData, kAfterFf, kAfterFfZero };
  State state_ = State::kData;
  bool error_ = false;
};

}  // namespace vexokrt::platform
