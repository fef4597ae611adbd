// SPDX-License-Identifier: Apache-2.0
// The device logs of one cash changer: the trading log, the operation
// history, and the binary copies of the device's internal logs, bound to the
// two ways of reaching the device.
//
// |direct| reaches the serial link itself; it may only be used by the thread
// that owns the line (the communication thread, or a caller that has paused
// the status watch). |queued| goes through the device layer's request queue
// as a synchronous request with WaitStyle None, and may be used from any
// thread while the communication thread runs.
//
// The object holds no mutable state of its own; what it touches (files,
// persistent values, logs) is safe to use from several threads.
#pragma once

#include <cstdint>
#include <vector>

#include "devlog/device_log_files.h"
#include "devlog/log_context.h"
#include "devlog/memory_read.h"
#include "devlog/trading_log.h"
#include "link/model_code.h"

namespace vexokrt::devlog {

class DeviceLogs {
 public:
  // The exchanges and the collaborators named in |context| are borrowed and
  // must outlive this object.
  DeviceLogs(DeviceLogContext context, MemoryReadExchange& direct, MemoryReadExchange& queued)
      : context_(std::move(context)), direct_(direct), queued_(queued) {}

  const DeviceLogContext& context() const { return context_; }

  // The trading log of |model|. KRT07/KRT77: |direct_mode| 1 reads straight
  // from the link with 2500 ms per read (used at claim time, the watch
  // paused); 0 reads through the queue with 3000 ms. Other models always read
  // through the queue with 3000 ms. Result as RetrieveTradingLog.
  int32_t RetrieveTradingLog(ModelCode model, int32_t direct_mode);
  // The trading log's lines without its file (the reads of direct mode 1).
  int32_t ReadTradingCounters(ModelCode model, std::vector<TradingLogLine>* lines);

  // One operation-history step over the direct exchange; run by the
  // communication thread inside its watch step. Result as
  // OperationHistoryStep (|abandon| as there).
  int32_t OperationHistoryStep(ModelCode model, const AbandonCheck& abandon = {});

  // A device-log-file request over the direct exchange; run by the
  // communication thread for a queued log-file request, or by the direct-I/O
  // command itself with the watch paused.
  LogFileResult RunLogRequest(ModelCode model, int32_t code);

  int32_t FolderRoom() const { return context_.Folder().FolderRoom(); }
  void DeleteOldestLogFile() const { context_.Folder().DeleteOldestLogFile(); }

 private:
  DeviceLogContext context_;
  MemoryReadExchange& direct_;
  MemoryReadExchange& queued_;
};

}  // namespace vexokrt::devlog
