// SPDX-License-Identifier: Apache-2.0
// What the service object's services share from OpenService to Close: the
// device layer and the state around it, named once and handed to each
// service whole instead of through friendship.
#pragma once

#include "config/device_config.h"
#include "device/changer_device.h"
#include "device/deposit_session.h"
#include "device/device_switches.h"
#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "events/event_delivery.h"
#include "link/model_code.h"
#include "platform/clock.h"
#include "service/deposit_service.h"
#include "service/payout_service.h"
#include "service/property_store.h"

namespace vexokrt::devlog {
class ChangerDeviceLogs;
}  // namespace vexokrt::devlog

namespace vexokrt::service {

struct ServiceParts {
  ChangerDevice& device;
  DepositSession& deposit;
  DeviceSwitches& switches;
  PropertyStore& props;
  config::DeviceConfig& config;
  // The model of the claim (kUnknown while not claimed); the claim sets it.
  ModelCode& model;
  events::EventDelivery& events;
  diag::TraceLog& trace;
  diag::ExamLog& exam;
  platform::Clock& clock;
  PayoutService& payouts;
  DepositService& deposits;
  devlog::ChangerDeviceLogs& logs;
};

// The shared pieces as members of a service that works with them by name.
class UsesServiceParts {
 protected:
  explicit UsesServiceParts(const ServiceParts& parts)
      : device_(parts.device),
        deposit_(parts.deposit),
        switches_(parts.switches),
        props_(parts.props),
        config_(parts.config),
        model_(parts.model),
        events_(parts.events),
        trace_(parts.trace),
        exam_(parts.exam),
        clock_(parts.clock),
        payouts_(parts.payouts),
        deposits_(parts.deposits),
        logs_(parts.logs) {}

  ChangerDevice& device_;
  DepositSession& deposit_;
  DeviceSwitches& switches_;
  PropertyStore& props_;
  config::DeviceConfig& config_;
  ModelCode& model_;
  events::EventDelivery& events_;
  diag::TraceLog& trace_;
  diag::ExamLog& exam_;
  platform::Clock& clock_;
  PayoutService& payouts_;
  DepositService& deposits_;
  devlog::ChangerDeviceLogs& logs_;
};

}  // namespace vexokrt::service
