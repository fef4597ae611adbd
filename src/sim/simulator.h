// SPDX-License-Identifier: Apache-2.0
// Simulator: serves a ChangerEngine on a pseudo-terminal. It opens a pty,
// keeps the master side and publishes the slave path, which the host opens as
// its serial port. A serving thread, woken by poll on the master and an
// eventfd (never by a timer loop), passes the host's bytes to the engine and
// writes the engine's answers back when they are due.
//
// Line settings over a pty: when bytes arrive the serving thread reads the
// terminal settings of the slave. The kernel keeps the speed the host set but
// reports every pty as 8 data bits without parity, whatever the host asked
// for, so only the speed is compared with the device's current line
// (LineCheck::kSpeedOnly). A host on 9600,E,8,1 therefore reaches a device
// listening on 9600,E,7,1 over a pty; DirectLine is the transport that checks
// all four settings. Settings are read when bytes are picked up, so a host that
// changes speed within the same instant as it writes may be judged on the new speed.
//
// The simulator keeps its own descriptor of the slave open for its whole life
// (so the master never sees a hang-up when the host closes and reopens the
// port) and sets that slave to raw mode at the start, so nothing is echoed
// before the host configures the line.
//
// Start, Stop, SlavePath and Engine may be called from any thread; Stop and
// the destructor join the serving thread.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/thread_annotations.h"
#include "sim/changer_engine.h"

namespace vexokrt::sim {

struct StartResult {
  bool ok = false;
  std::string error;  // what failed, with the system's reason
};

class Simulator {
 public:
  // |clock| must outlive the simulator; nullptr uses the machine's clock.
  explicit Simulator(const EngineOptions& options, const SimClock* clock = nullptr);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pty and starts serving. Starting twice is refused.
  StartResult Start();
  // Stops serving and closes the pty. Safe to call more than once.
  void Stop();

  // "/dev/pts/N" once started, empty before.
  const std::string& SlavePath() const { return slave_path_; }

  // The simulated machine, for control and inspection (thread-safe).
  ChangerEngine& Engine() { return engine_; }

 private:
  void Serve();
  void WakeServer() VEX_EXCLUDES(wake_mutex_);

  ChangerEngine engine_;
  std::string slave_path_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  platform::Mutex wake_mutex_;
  // eventfd; locked because WakeServer runs on callers' threads.
  int wake_fd_ VEX_GUARDED_BY(wake_mutex_) = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vexokrt::sim
