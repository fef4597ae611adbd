// SPDX-License-Identifier: Apache-2.0
#include "devlog/changer_device_logs.h"

#include "opos/opos.h"

namespace vexokrt::devlog {

MemoryReads QueuedReads(ChangerDevice& device) {
  return MemoryReads([&device](std::span<const uint8_t> command, int32_t timeout_ms) {
    return device.SendCommand(command, WaitStyle::kNone, timeout_ms);
  });
}

ChangerDeviceLogs::ChangerDeviceLogs(ChangerDevice& device, ChangerHost& host, DeviceLogContext context)
    : shared_(std::make_shared<Shared>(device, host, std::move(context))) {
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
  return shared_->logs.RetrieveTradingLog(shared_->device.Model(), direct_mode);
}

int32_t ChangerDeviceLogs::ReadLogFiles(int32_t code) { return ReadLogFiles(*shared_, code); }

int32_t ChangerDeviceLogs::ReadLogFiles(Shared& shared, int32_t code) {
  const LogFileResult result = shared.logs.RunLogRequest(shared.device.Model(), code);
  if (result.result == opos::OPOS_E_EXTENDED) shared.host.SetResultCodeExtended(result.extended);
  return result.result;
}

}  // namespace vexokrt::devlog
