// SPDX-License-Identifier: Apache-2.0
// The fixture of the tests that move cash through the service object: a
// claimed, enabled service object on a simulated machine with a given stock,
// and the helpers that read the machine's side.
#pragma once

#include <string>
#include <vector>

#include "cash/cash_counts.h"
#include "device/changer_device.h"
#include "link/comm_thread.h"
#include "service/opos.h"
#include "simulated_service.h"

namespace vexokrt::testing {

namespace pidx = service::pidx;

inline // Simulator counts run from 1 yen up to 10000 yen.
sim::CashCounts SimCounts(std::initializer_list<std::pair<int, int>> pieces) {
  sim::CashCounts counts{};
  for (const auto& [face, n] : pieces) {
    for (int i = 0; i < sim::kDenominationCount; ++i) {
      if (sim::kFaceValues[i] == face) counts[i] = n;
    }
  }
  return counts;
}

inline std::string PlainText(const sim::CashCounts& c) {
  return "1:" + std::to_string(c[0]) + ",5:" + std::to_string(c[1]) + ",10:" + std::to_string(c[2]) +
         ",50:" + std::to_string(c[3]) + ",100:" + std::to_string(c[4]) + ",500:" + std::to_string(c[5]) +
         ";1000:" + std::to_string(c[6]) + ",2000:" + std::to_string(c[7]) + ",5000:" + std::to_string(c[8]) +
         ",10000:" + std::to_string(c[9]);
}

// The commands that are not the watch's own reads (status, counts, deposit
// counts).
inline std::vector<std::string> Actions(const std::vector<std::string>& commands) {
  std::vector<std::string> actions;
  for (const auto& c : commands) {
    if (c == "H00" || c == "i00" || c == "\"00" || c == "&00" || c == "o00" || c == ",00") continue;
    actions.push_back(c);
  }
  return actions;
}

class CashOperationsTest : public SimulatedServiceTest {
 protected:
  // A claimed, enabled service object on |model| with |stock| in the machine.
  ServiceDriver& Ready(sim::Model model, const sim::CashCounts& stock,
                       std::initializer_list<std::pair<std::string, std::string>> settings = {}) {
    StartDevice(model);
    for (const auto& [name, value] : settings) Set(name, value);
    machine().SetStock(stock);
    // Short actions keep the suite quick; a pay-out still outlasts the
    // first-answer wait, so it is always polled.
    sim::ActionDurations durations = machine().Durations();
    durations.dispense_ms = 600;
    durations.take_back_ms = 600;
    durations.count_check_ms = 600;
    machine().SetDurations(durations);
    ServiceDriver& d = NewDriver();
    EXPECT_EQ(d.Open(), opos::OPOS_SUCCESS);
    EXPECT_EQ(d.Call("ClaimDevice", {platform::Variant::Long(3000)}), opos::OPOS_SUCCESS);
    EXPECT_EQ(d.Set(pidx::kDeviceEnabled, 1), opos::OPOS_SUCCESS);
    EXPECT_EQ(d.Set(pidx::kDataEventEnabled, 1), opos::OPOS_SUCCESS);
    WaitForFreshCounts(d);
    TakeCommands();
    return d;
  }
  // Pumps until the watch has read the counts after the last change.
  void WaitForFreshCounts(ServiceDriver& d) {
    ChangerDevice* device = d.so().device();
    ASSERT_TRUE(d.PumpUntil([&] { return device->CountsKnown() && !device->CountsStale(); }));
  }
  // Puts |box| into the machine's collection box and pumps until the kept
  // set B shows it (a watch step already under way may still bring the old).
  void SetBoxAndWait(ServiceDriver& d, const sim::CashCounts& box) {
    machine().SetBox(box);
    cash::CashCounts expected{};
    for (int i = 0; i < sim::kDenominationCount; ++i) expected[cash::RecordIndex(sim::kFaceValues[i])] = box[i];
    ChangerDevice* device = d.so().device();
    ASSERT_TRUE(d.PumpUntil([&] {
      device->SetCountsStale(true);
      return device->CountsB() == expected;
    }));
    WaitForFreshCounts(d);
  }
  int32_t ReadCounts(ServiceDriver& d, std::string* text, bool* discrepancy) {
    return d.Call("ReadCashCounts", {platform::Variant::StringRef(text), platform::Variant::BoolRef(discrepancy)});
  }
  const FiredEvent* DirectIoEvent(ServiceDriver& d, int32_t number) {
    for (const FiredEvent& e : d.control_object().events()) {
      if (e.member == "SODirectIO" && e.number == number) return &e;
    }
    return nullptr;
  }
};


}  // namespace vexokrt::testing
