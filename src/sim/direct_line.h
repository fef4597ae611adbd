// SPDX-License-Identifier: Apache-2.0
// DirectLine: an in-process serial line between a host under test and a
// ChangerEngine, without a pseudo-terminal. Unlike a pty it carries the full
// host line settings with every write (speed, parity, data bits, stop bits), so
// the device can refuse a host on 9600,E,8,1 while it listens on 9600,E,7,1.
//
// Real-time mode (first constructor): Read waits on the machine's clock for
// answers, like a serial read with a total time-out; use it with an engine on
// the real clock.
// Virtual-time mode (second constructor): the engine runs on |clock| and Read
// never sleeps; where it would wait it moves |clock| forward instead (to the
// next moment the device does something, at most by the time-out). A host that
// keeps its own deadlines can read the same ManualSimClock to stay in step.
//
// One DirectLine per engine (it installs the engine's output listener). Host
// calls (Write, Read, Purge) are meant for one host thread; control calls on the
// engine may come from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/thread_annotations.h"
#include "sim/changer_engine.h"
#include "sim/line_settings.h"
#include "sim/sim_clock.h"

namespace vexokrt::sim {

class DirectLine {
 public:
  struct ReadResult {
    enum class Status { kData, kTimeout };
    Status status = Status::kTimeout;
    std::vector<std::uint8_t> bytes;  // kData: 1..max_bytes bytes
  };

  explicit DirectLine(ChangerEngine& engine);
  DirectLine(ChangerEngine& engine, ManualSimClock& clock);
  ~DirectLine();
  DirectLine(const DirectLine&) = delete;
  DirectLine& operator=(const DirectLine&) = delete;

  // The host writes |bytes| on a line set to |host|.
  void Write(std::span<const std::uint8_t> bytes, const LineSettings& host);

  // Returns the answer bytes that are due (at most |max_bytes|), waiting up to
  // |timeout_ms| for the first of them. kTimeout with no bytes when none came.
  ReadResult Read(std::size_t max_bytes, int timeout_ms);

  // Discards answer bytes that have already arrived and not been read, as a
  // purge of the host's receive buffer does. Bytes still on their way arrive later.
  void Purge();

  // True while a real-time Read is blocked waiting for the device (for tests
  // that make the device speak from another thread while the host waits).
  bool ReadWaiting();

 private:
  ChangerEngine& engine_;
  ManualSimClock* virtual_clock_ = nullptr;
  platform::Mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t generation_ VEX_GUARDED_BY(mutex_) = 0;  // bumped by the engine's listener
  bool read_waiting_ VEX_GUARDED_BY(mutex_) = false;
};

}  // namespace vexokrt::sim
