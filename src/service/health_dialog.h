// SPDX-License-Identifier: Apache-2.0
// The maintenance dialog of the interactive health check (dialog 129): a
// person reads the deposit counts and the device status, clears the counts
// on the device or empties the device into its collection box.
//
// HealthDialog is the dialog's logic: the texts of its fields by control id
// and what its four buttons send. The host program draws it through the
// process's DialogPresenter (platform/modal_dialog.h); CheckHealth(3) runs it
// with platform::RunModalDialog.
//
// Buttons:
// - "入金枚数取得" (kIdcReadCounts): copies the device layer's kept deposit
//   count record, sends the status request; the result line shows "正常応答を
//   受信しました" (0), "機器からの応答がありません" (112, no answer) or
//   "異常応答を受信しました" (anything else); the ten count fields show the
//   record ("%ld"), the four status fields bytes 1, 2, 3 and 4-5 of the
//   status ("%02X", "%02X %02X") after 0, else they are emptied.
// - "入金枚数クリア" (kIdcClearCounts): "+00"; on 0 the kept record is zeroed
//   and the dialog reads as above; otherwise the result line shows the
//   outcome and the count and status fields are emptied.
// - "全回収" (kIdcCollectAll): all pieces of every denomination into the
//   collection box ("p22" mode 4 within the take-back time-out; "-1>" with
//   every field "???" on the KRT02 family); result line, fields emptied.
// - "終了" (kIdcEnd) and kDialogCancel close the dialog.
// The status watch is paused around each command only.
//
// Threads: the application's thread (the one running CheckHealth).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/modal_dialog.h"
#include "resources/health_dialog_resource.h"

namespace vexokrt {
class ChangerDevice;
}

namespace vexokrt::service {

class HealthDialog final : public platform::ModalDialog {
 public:
  // |device| must outlive the dialog. The fields start empty.
  HealthDialog(ChangerDevice& device, int32_t take_back_timeout_ms);

  const platform::DialogTemplate& Template() const override;
  std::string ControlText(int id) const override;
  bool OnCommand(int id) override;

  // The outcome of the status request: 0 with the status bytes when the
  // answer has the model's status length, 112 without an answer, 111
  // otherwise. The watch must be paused.
  static int32_t ReadStatus(ChangerDevice& device, std::array<uint8_t, 5>* bytes);

 private:
  void ReadCounts();
  void ClearCounts();
  void CollectAll();
  void ShowResult(int32_t result);
  void EmptyFields();

  ChangerDevice& device_;
  const int32_t take_back_timeout_ms_;
  std::array<std::string, 10> counts_;
  std::array<std::string, 4> status_;
  std::string result_line_;
};

}  // namespace vexokrt::service
