// SPDX-License-Identifier: Apache-2.0
#include "devlog/changer_device_logs.h"

#include "opos/opos.h"

namespace vexokrt::devlog {

MemoryReads QueuedReads(ChangerDevice& device) {
  return MemoryReads([&device](std::span<const uint8_t> command, int32_t timeout_ms) {
    return device.SendCommand(command, WaitStyle::kNone, timeout_ms);
  });
}

MemoryReads DirectReads(ChangerDevice& device) {
  return MemoryReads([&device](std::span<const uint8_t> command, int32_t timeout_ms) {
    return device.ExchangeNow(command, timeout_ms);
  });
}

ChangerDeviceLogs::ChangerDeviceLogs(ChangerDevice& device, DeviceLogContext context)
    : shared_(std::make_shared<Shared>(device, std::move(context))) {
  device.SetHistoryStep([shared = shared_] {
    ChangerDevice& changer = shared->device;
    return shared->logs.OperationHistoryStep(changer.Model(), [&changer] { return changer.LineWaitAbandoned(); });
  });
  device.SetLogFileReader([shared = shared_](int32_t code) { return ReadLogFiles(*shared, code); });
}

ChangerDeviceLogs::~ChangerDeviceLogs() {
  shared_->device.SetHistoryStep({});
  shared_->device.SetLogFileReader({});
}

int32_t ChangerDeviceLogs::RetrieveTradingLog(int32_t direct_mode) {
  int32_t result = opos::OPOS_E_NOHARDWARE;
  shared_->device.RunJob([&] { result = shared_->logs.RetrieveTradingLog(shared_->device.Model(), direct_mode); });
  return result;
}

int32_t ChangerDeviceLogs::ReadTradingCounters(std::vector<TradingLogLine>* lines) {
  int32_t result = opos::OPOS_E_NOHARDWARE;
  shared_->device.RunJob([&] { result = shared_->logs.ReadTradingCounters(shared_->device.Model(), lines); });
  return result;
}

opos::OposResult ChangerDeviceLogs::ReadLogFiles(int32_t code) {
  opos::OposResult result = opos::OPOS_E_NOHARDWARE;
  shared_->device.RunJob([&] { result = ReadLogFiles(*shared_, code); });
  return result;
}

opos::OposResult ChangerDeviceLogs::ReadLogFiles(Shared& shared, int32_t code) {
  const LogFileResult result = shared.logs.RunLogRequest(shared.device.Model(), code);
  return {result.result, result.result == opos::OPOS_E_EXTENDED ? result.extended : 0};
}

}  // namespace vexokrt::devlog
