// SPDX-License-Identifier: Apache-2.0
// A scripted serial line for tests, on a clock that only moves when a wait
// or a sleep moves it (a SteppingClock). Waiting on the fake line jumps the
// clock to the next arrival (or to the end of the wait), so time-outs are
// exact and tests never sleep.
//
// Single-threaded: the code under test and the script run on the test thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "support/fake_clock.h"

namespace vexokrt::testing {

// One answer of the scripted device.
struct FakeAnswer {
  std::vector<uint8_t> bytes;
  int64_t delay_ms = 0;  // from the write that releases it to the first byte
  int64_t byte_ms = 0;   // between two bytes
  // Index of a byte that arrives with a parity error; -1 for none.
  int parity_error_at = -1;
};

class FakeLine {
 public:
  explicit FakeLine(SteppingClock& clock) : clock_(clock) {}

  // The opener to hand to SerialLink. Every port it opens talks to this line.
  std::function<std::unique_ptr<platform::SerialPort>(const std::string&)> Opener();

  // --- script -------------------------------------------------------------
  // Answers released one per write call, in order.
  void QueueAnswer(FakeAnswer answer) { answers_.push_back(std::move(answer)); }
  // Called for every write call instead of the answer queue; it may call
  // Arrive to answer.
  void SetResponder(std::function<void(FakeLine&, const std::vector<uint8_t>& written)> responder) {
    responder_ = std::move(responder);
  }
  // Schedules |answer| relative to now.
  void Arrive(const FakeAnswer& answer);
  // A parity or framing error flagged without any byte, |delay_ms| from now.
  void ArriveLineError(int64_t delay_ms);
  // Opening fails while set.
  void SetOpenFails(bool fails) { open_fails_ = fails; }
  // The driver refuses every definition with |error| (errno) while non-zero.
  void SetConfigureRefused(int error) { configure_refused_ = error; }
  // Bytes each write call accepts at most; 0 stalls every write.
  void SetWriteLimit(size_t bytes) { write_limit_ = bytes; }
  // The device disappears: reads and writes report the line lost.
  void Disconnect() { lost_ = true; }

  // --- observation --------------------------------------------------------
  const std::vector<std::vector<uint8_t>>& writes() const { return writes_; }
  std::vector<uint8_t> AllWritten() const;
  // Every definition the line was configured with, in order.
  const std::vector<std::string>& definitions() const { return definitions_; }
  // The current definition ("" before the first Configure).
  std::string definition() const { return definitions_.empty() ? "" : definitions_.back(); }
  int opens() const { return opens_; }
  bool is_open() const { return open_ports_ > 0; }
  int write_attempts() const { return write_attempts_; }
  SteppingClock& clock() { return clock_; }

 private:
  class Port;
  struct Inbound {
    int64_t at = 0;
    bool has_byte = true;
    uint8_t byte = 0;
    bool error = false;
  };

  platform::IoResult Read(uint8_t* buffer, size_t capacity, int64_t wait_ms);
  platform::IoResult Write(const uint8_t* bytes, size_t count, int64_t wait_ms);
  void PurgeArrived();

  SteppingClock& clock_;
  std::deque<Inbound> inbound_;  // ordered by arrival
  std::deque<FakeAnswer> answers_;
  std::function<void(FakeLine&, const std::vector<uint8_t>&)> responder_;
  bool open_fails_ = false;
  int configure_refused_ = 0;
  bool lost_ = false;
  bool error_flag_ = false;
  size_t write_limit_ = SIZE_MAX;
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<std::string> definitions_;
  int opens_ = 0;
  int open_ports_ = 0;
  int write_attempts_ = 0;
};

// Builds a device data frame (DLE STX L1 L2 data ETX BCC) around |data|, with
// the length written as two hexadecimal digit characters.
std::vector<uint8_t> DataFrame(const std::vector<uint8_t>& data);

}  // namespace vexokrt::testing
