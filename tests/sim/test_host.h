// SPDX-License-Identifier: Apache-2.0
// A host for the simulator's tests: talks to a ChangerEngine through a
// DirectLine in virtual time, so long actions and time-outs cost no real time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/changer_engine.h"
#include "sim/direct_line.h"
#include "sim/frame_codec.h"
#include "sim/sim_clock.h"

namespace vexokrt::sim::testing {

inline EngineOptions OptionsFor(Model model) {
  EngineOptions options;
  options.model = model;
  return options;
}

inline std::vector<std::uint8_t> BytesOf(std::string_view text) { return {text.begin(), text.end()}; }
inline std::string TextOf(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

class TestHost {
 public:
  explicit TestHost(const EngineOptions& options)
      : engine(options, &clock), line(engine, clock), settings(engine.CurrentLine()) {}
  explicit TestHost(Model model) : TestHost(OptionsFor(model)) {}

  // Writes DC1 followed by |text| as a host frame on |settings|.
  void Send(std::string_view text) { SendBody(Body(text)); }
  void SendBody(const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> frame = EncodeHostFrame(body);
    line.Write(frame, settings);
  }
  void SendRaw(const std::vector<std::uint8_t>& bytes) { line.Write(bytes, settings); }

  static std::vector<std::uint8_t> Body(std::string_view text) {
    std::vector<std::uint8_t> body{kDc1};
    body.insert(body.end(), text.begin(), text.end());
    return body;
  }

  // The next answer, waiting up to |timeout_ms| of virtual time for it to be complete.
  ParsedAnswer Receive(int timeout_ms = 500) {
    int64_t deadline = clock.NowUs() + static_cast<int64_t>(timeout_ms) * 1000;
    while (true) {
      ParsedAnswer answer = ParseAnswer(pending_);
      if (answer.kind != ParsedAnswer::Kind::kIncomplete) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(answer.consumed));
        return answer;
      }
      int64_t left = deadline - clock.NowUs();
      if (left <= 0) return answer;
      DirectLine::ReadResult read = line.Read(512, static_cast<int>((left + 999) / 1000));
      pending_.insert(pending_.end(), read.bytes.begin(), read.bytes.end());
    }
  }

  // Raw bytes arriving within |timeout_ms| (all of them).
  std::vector<std::uint8_t> ReceiveRaw(int timeout_ms = 500) {
    std::vector<std::uint8_t> bytes = std::move(pending_);
    pending_.clear();
    int64_t deadline = clock.NowUs() + static_cast<int64_t>(timeout_ms) * 1000;
    while (clock.NowUs() < deadline) {
      DirectLine::ReadResult read = line.Read(512, static_cast<int>((deadline - clock.NowUs() + 999) / 1000));
      bytes.insert(bytes.end(), read.bytes.begin(), read.bytes.end());
    }
    return bytes;
  }

  ParsedAnswer Command(std::string_view text, int timeout_ms = 500) {
    Send(text);
    return Receive(timeout_ms);
  }

  ParsedAnswer Enq(int timeout_ms = 100) {
    line.Write(std::vector<std::uint8_t>{kEnq}, settings);
    return Receive(timeout_ms);
  }

  // Polls with ENQ while the device answers |busy|; returns the first other answer.
  ParsedAnswer PollUntilDone(std::uint8_t busy = kSub, int max_polls = 10000) {
    ParsedAnswer answer;
    for (int i = 0; i < max_polls; ++i) {
      answer = Enq();
      if (answer.kind != ParsedAnswer::Kind::kControl || answer.control != busy) return answer;
      clock.AdvanceMs(10);
    }
    return answer;
  }

  // Sends ENQ and reads for 100 ms until some answer arrives, 10 ms apart, for
  // at most |max_ms|; returns that first answer (kIncomplete when none came).
  ParsedAnswer EnqUntilAnswered(int max_ms = 60000) {
    int64_t deadline = clock.NowUs() + static_cast<int64_t>(max_ms) * 1000;
    ParsedAnswer answer;
    while (clock.NowUs() < deadline) {
      answer = Enq();
      if (answer.kind != ParsedAnswer::Kind::kIncomplete) return answer;
      clock.AdvanceMs(10);
    }
    return answer;
  }

  // Runs a long action the way the host does: first answer within 500 ms,
  // else ENQ polling while |busy| comes back.
  ParsedAnswer Action(std::string_view text, std::uint8_t busy = kSub) {
    ParsedAnswer first = Command(text, 500);
    if (first.kind != ParsedAnswer::Kind::kIncomplete) return first;
    return PollUntilDone(busy);
  }

  std::vector<std::uint8_t> Status() {
    ParsedAnswer a = Command(engine.model() == Model::kKrt07 || engine.model() == Model::kKrt77 ? "H00" : "i00");
    return a.data;
  }

  ManualSimClock clock;
  ChangerEngine engine;
  DirectLine line;
  LineSettings settings;

 private:
  std::vector<std::uint8_t> pending_;
};

inline bool IsControl(const ParsedAnswer& a, std::uint8_t byte) {
  return a.kind == ParsedAnswer::Kind::kControl && a.control == byte;
}

}  // namespace vexokrt::sim::testing
