// SPDX-License-Identifier: Apache-2.0
// The device logs wired into the device layer.
//
// Reaching the device:
//   direct  - exchanges of the device layer's line (frame, then receive
//             with the link's follow-up reads, normal rule), on its thread;
//   queued  - a synchronous SendCommand with WaitStyle None and the read's
//             time-out; used from any other thread while the thread runs.
//
// Hooks installed into the ChangerDevice for the life of this object:
//   history step  - run inside the watch step (the communication thread
//                   holds the watch and history locks around it):
//                   OperationHistoryStep on the direct line for the model
//                   the device reports;
//   log-file read - run by the communication thread for a queued log-file
//                   request: the code dispatch on the direct line, whose
//                   result (with its extended code) is posted.
#pragma once

#include <cstdint>
#include <memory>

#include "device/changer_device.h"
#include "devlog/device_logs.h"
#include "devlog/log_context.h"
#include "devlog/memory_read.h"
#include "link/line_exchange.h"

namespace vexokrt::devlog {

// Memory reads as synchronous requests through the device layer's queue.
MemoryReads QueuedReads(ChangerDevice& device);
// Memory reads as exchanges of the device layer's line (on its thread: inside
// the job or watch step that asks, or as a job of their own).
MemoryReads DirectReads(ChangerDevice& device);

class ChangerDeviceLogs {
 public:
  // |device| (and what |context| borrows) must outlive this
  // object and any hook call in progress. Installs the two hooks; the
  // destructor removes them. A hook already running when this object goes
  // keeps what it uses alive until it returns.
  ChangerDeviceLogs(ChangerDevice& device, DeviceLogContext context);
  ~ChangerDeviceLogs();
  ChangerDeviceLogs(const ChangerDeviceLogs&) = delete;
  ChangerDeviceLogs& operator=(const ChangerDeviceLogs&) = delete;

  DeviceLogs& logs() { return shared_->logs; }

  // The trading log of the connected model (see DeviceLogs), as one job of
  // the device layer: no watch step comes between its reads.
  int32_t RetrieveTradingLog(int32_t direct_mode);
  // The trading log's lines, read as one job, no file written: 0 or the
  // failing read's status (107 when the job could not run).
  int32_t ReadTradingCounters(std::vector<TradingLogLine>* lines);

  // The log-file read of |code| on the direct line, as one job (with its
  // extended code when OPOS_E_EXTENDED). Also what the log-file hook runs.
  opos::OposResult ReadLogFiles(int32_t code);

 private:
  // What the hooks use; shared with them so a running hook outlives us.
  struct Shared {
    Shared(ChangerDevice& d, DeviceLogContext context)
        : device(d), direct(DirectReads(d)), queued(QueuedReads(d)), logs(std::move(context), direct, queued) {}
    ChangerDevice& device;
    MemoryReads direct;
    MemoryReads queued;
    DeviceLogs logs;
  };
  static opos::OposResult ReadLogFiles(Shared& shared, int32_t code);

  std::shared_ptr<Shared> shared_;
};

}  // namespace vexokrt::devlog
