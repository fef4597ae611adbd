// SPDX-License-Identifier: Apache-2.0
// The service object's values that the device layer reads while it works,
// and the one it writes (the KRT03's direct I/O mode, which a decided
// take-back question or an ended stall clears). The service object owns
// them and gives them to the device layer; each is atomic on its own, as
// none is read together with another.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexokrt {

struct DeviceSwitches {
  std::atomic<bool> device_enabled{false};           // DeviceEnabled
  std::atomic<int32_t> power_notify{0};              // PowerNotify
  std::atomic<int32_t> current_exit{1};              // CurrentExit
  std::atomic<int32_t> direct_io_mode{0};            // the KRT03's direct I/O mode (DirectIO 4/5)
  std::atomic<int32_t> operation_mode_temporary{0};  // the operation mode last sent to the device
  std::atomic<int32_t> dio_read_exchange{0};         // DioReadExchange as in force (cleared at claim on the KRT03)
};

}  // namespace vexokrt
