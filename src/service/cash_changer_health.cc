// SPDX-License-Identifier: Apache-2.0
// CheckHealth: the communication test, the operation test and the
// maintenance dialog.
#include "device/changer_device.h"
#include "link/command_set.h"
#include "link/comm_thread.h"
#include "platform/modal_dialog.h"
#include "resources/string_table.h"
#include "service/cash_changer.h"
#include "service/device_job.h"
#include "service/health_dialog.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;  // the OPOS names read best unqualified here

constexpr std::string_view kTraceCheckHealth = "CCashChanger::CheckHealth";
constexpr std::string_view kNoPresenter = "  Interactive CheckHealth is not available: no dialog presenter";

}  // namespace

int32_t CCashChanger::CheckHealth(int32_t level) {
  TraceEnter(kTraceCheckHealth, Format("  Param:   Level is %ld", static_cast<long>(level)));
  Record(1, static_cast<long>(MethodCode::kCheckHealth), level, 0);
  if (const int32_t refused = StateChecks(); refused != OPOS_SUCCESS) {
    return EndCall(kTraceCheckHealth, MethodCode::kCheckHealth, level, refused);
  }

  // No background history fetch may use the line during the test, the
  // dialog's whole time included; it is allowed again on every way out,
  // after the exit record.
  return device_->RunOperation([&]() -> opos::OposResult {
    int32_t result = OPOS_SUCCESS;
    const ModelCode model = device_->Model();
    switch (level) {
      case 1: {
        const opos::OposResult read = RunDeviceJob(*device_, [&] { return HealthDialog::ReadStatus(*device_, nullptr); });
        props_.check_health_text = resources::LoadString(read == OPOS_SUCCESS ? resources::kIdsInternalAnswered
                                                                        : resources::kIdsInternalNoAnswer);
        break;
      }
      case 2: {
        const opos::OposResult reset = RunDeviceJob(*device_, [&] { return device_->Execute(ResetCommand()); });
        props_.check_health_text = resources::LoadString(reset == OPOS_SUCCESS ? resources::kIdsExternalAnswered
                                                                         : resources::kIdsExternalNoAnswer);
        break;
      }
      case 3: {
        if (model == ModelCode::kKrt03) {
          result = OPOS_E_ILLEGAL;
          break;
        }
        HealthDialog dialog(*device_, config_.take_back_timeout);
        if (platform::RunModalDialog(dialog) == platform::kDialogNotShown) {
          // A host without a presenter cannot show the dialog: the check is
          // not available there, and saying so beats reporting it as done.
          trace_log_->Write(diag::kLevelError, diag::kTagError, kNoPresenter);
          result = OPOS_E_ILLEGAL;
          break;
        }
        props_.check_health_text.clear();
        break;
      }
      default:
        result = OPOS_E_ILLEGAL;
        break;
    }
    return EndCall(kTraceCheckHealth, MethodCode::kCheckHealth, level, result);
  }).code;
}

}  // namespace vexokrt::service
