// SPDX-License-Identifier: Apache-2.0
#include "devlog/device_logs.h"

#include "devlog/operation_history.h"
#include "devlog/trading_log.h"

namespace vexokrt::devlog {

int32_t DeviceLogs::RetrieveTradingLog(ModelCode model, int32_t direct_mode) {
  if (IsKrt07Family(model) && direct_mode == 1) {
    return devlog::RetrieveTradingLog(model, direct_, kTradingDirectTimeoutMs, context_);
  }
  return devlog::RetrieveTradingLog(model, queued_, kQueuedReadTimeoutMs, context_);
}

int32_t DeviceLogs::ReadTradingCounters(ModelCode model, std::vector<TradingLogLine>* lines) {
  if (IsKrt07Family(model)) return devlog::ReadTradingLog(model, direct_, kTradingDirectTimeoutMs, context_, lines);
  return devlog::ReadTradingLog(model, queued_, kQueuedReadTimeoutMs, context_, lines);
}

int32_t DeviceLogs::OperationHistoryStep(ModelCode model, const AbandonCheck& abandon) {
  return devlog::OperationHistoryStep(model, direct_, context_, abandon);
}

LogFileResult DeviceLogs::RunLogRequest(ModelCode model, int32_t code) {
  LogFileResult result = RunDeviceLogRequest(direct_, model, context_.Folder(), code);
  // A copy that could not be written says why.
  if (!result.error.empty()) context_.Error("ログファイルを書き込めません = " + result.error);
  return result;
}

}  // namespace vexokrt::devlog
