// SPDX-License-Identifier: Apache-2.0
// The exit setting of the KRT07 family (page 2 of the operating
// conditions) and the sides each exit uses.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "config/device_config.h"
#include "device/changer_device.h"
#include "opos/opos.h"

namespace vexokrt::service {

// The five values of the exit setting sent for |exit| by enabling or (with
// |for_setter|) by the CurrentExit setter.
std::array<int32_t, 5> ExitSettingValues(const config::DeviceConfig& config, int32_t exit, bool for_setter);
// The five values configured in the device's settings.
std::array<int32_t, 5> ConfiguredSettingValues(const config::DeviceConfig& config);
// Sends the exit setting |values|, waited.
opos::OposResult SendExitSetting(ChangerDevice& device, const std::array<int32_t, 5>& values);
// (bills, coins) in use at |exit|.
std::pair<bool, bool> ExitSides(int32_t exit);

}  // namespace vexokrt::service
