// SPDX-License-Identifier: Apache-2.0
// The members of the releases after 1.6, served when the device key's
// UposVersion asks for them: statistics (1.8), firmware (1.9),
// AdjustCashCounts and the real-time deposit data (1.11). Each member keeps
// the frame of the others: its entry trace and record, the state checks
// (claimed, enabled, not busy), the exit record and the result helper.
#include "config/device_config.h"
#include "device/changer_device.h"
#include "service/cash_changer.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {

using namespace opos;

namespace {

std::string TextParam(std::string_view label, std::string_view value) {
  return Format("  Param:   %s is %.*s", std::string(label).c_str(), static_cast<int>(value.size()), value.data());
}

}  // namespace

void CCashChanger::ServeRelease() {
  const std::optional<int32_t> minor = config::UposMinorVersion(config_.upos_version);
  if (!minor) {
    // Not a release: the members stay those of 1.6, and the trace says why.
    trace_log_->Write(diag::kLevelError, diag::kTagError, "  UposVersion is not a release: " + config_.upos_version);
  }
  upos_minor_ = minor.value_or(6);
  // The release's version with this build's number (1.6 is the build's own).
  service_object_version_ = 1000000 + upos_minor_ * 1000 + build_version_ % 1000;
}

int32_t CCashChanger::LaterMember(std::string_view trace_name, MethodCode code, std::string_view param,
                                  const std::function<opos::OposResult()>& steps) {
  TraceEnter(trace_name, param);
  Record(1, static_cast<long>(code), 0, 0);
  opos::OposResult result = StateChecks();
  if (result == OPOS_SUCCESS) result = steps();
  return EndCall(trace_name, code, 0, result);
}

int32_t CCashChanger::ResetStatistics(std::string_view names) {
  return LaterMember("CCashChanger::ResetStatistics", MethodCode::kResetStatistics,
                     TextParam("StatisticsBuffer", names), [&] { return statistics_->Reset(names); });
}

int32_t CCashChanger::RetrieveStatistics(std::string* buffer) {
  return LaterMember("CCashChanger::RetrieveStatistics", MethodCode::kRetrieveStatistics,
                     TextParam("StatisticsBuffer", *buffer),
                     [&] { return statistics_->Retrieve(buffer, props_.device_description, props_.device_name); });
}

int32_t CCashChanger::UpdateStatistics(std::string_view pairs) {
  return LaterMember("CCashChanger::UpdateStatistics", MethodCode::kUpdateStatistics,
                     TextParam("StatisticsBuffer", pairs), [&] { return statistics_->Update(pairs); });
}

int32_t CCashChanger::CompareFirmwareVersion(std::string_view file_name, int32_t* result) {
  return LaterMember("CCashChanger::CompareFirmwareVersion", MethodCode::kCompareFirmwareVersion,
                     TextParam("FirmwareFileName", file_name), [&] { return firmware_->Compare(file_name, result); });
}

int32_t CCashChanger::UpdateFirmware(std::string_view file_name) {
  return LaterMember("CCashChanger::UpdateFirmware", MethodCode::kUpdateFirmware,
                     TextParam("FirmwareFileName", file_name), [&] { return firmware_->Update(file_name); });
}

int32_t CCashChanger::AdjustCashCounts(std::string_view cash_counts) {
  return LaterMember("CCashChanger::AdjustCashCounts", MethodCode::kAdjustCashCounts,
                     TextParam("CashCounts", cash_counts), [&] { return cash_->AdjustCashCounts(cash_counts); });
}

// DepositAmount and DepositCounts are made current before every data event
// whatever this says (the device layer sets them before it queues the
// event), so turning it on changes nothing an application could miss; it
// is kept so that it reads back as set.
void CCashChanger::SetRealTimeDataEnabled(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoRealTimeDataEnabled";
  TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS) real_time_data_enabled_ = value != 0;
  FinishCall(kTrace, result);
}

// One service: CurrentService is 0 and stays 0.
void CCashChanger::SetCurrentService(int32_t value) {
  constexpr std::string_view kTrace = "CCashChanger::DoCurrentService";
  TraceEnter(kTrace, Format("  Param:   Number is %ld", static_cast<long>(value)));
  int32_t result = ClaimedCheck();
  if (result == OPOS_SUCCESS && value != 0) result = OPOS_E_ILLEGAL;
  FinishCall(kTrace, result);
}

}  // namespace vexokrt::service
