// SPDX-License-Identifier: Apache-2.0
#include "service/health_dialog.h"

#include "device/changer_device.h"
#include "link/command_set.h"
#include "resources/string_table.h"
#include "service/opos.h"
#include "service/text_format.h"

namespace vexokrt::service {
namespace {

using namespace opos;  // the OPOS names read best unqualified here
using namespace resources;

// A command that got no answer at all is shown as such: its answer rule
// reports it as 107, which the result line would otherwise show as an
// abnormal answer received.
int32_t Unanswered(opos::OposResult result, const DeviceReply& reply) {
  return reply.status == kReplyTimeout ? OPOS_E_TIMEOUT : result.code;
}

}  // namespace

HealthDialog::HealthDialog(ChangerDevice& device, int32_t take_back_timeout_ms)
    : device_(device), take_back_timeout_ms_(take_back_timeout_ms) {}

const platform::DialogTemplate& HealthDialog::Template() const { return HealthDialogTemplate(); }

std::string HealthDialog::ControlText(int id) const {
  if (id == kIdcResultLine) return result_line_;
  for (size_t i = 0; i < kIdcCounts.size(); ++i) {
    if (kIdcCounts[i] == id) return counts_[i];
  }
  for (size_t i = 0; i < kIdcStatus.size(); ++i) {
    if (kIdcStatus[i] == id) return status_[i];
  }
  return {};
}

bool HealthDialog::OnCommand(int id) {
  switch (id) {
    case kIdcReadCounts:
      ReadCounts();
      return false;
    case kIdcClearCounts:
      ClearCounts();
      return false;
    case kIdcCollectAll:
      CollectAll();
      return false;
    case kIdcEnd:
    case platform::kDialogCancel:
      return true;
    default:
      return false;
  }
}

int32_t HealthDialog::ReadStatus(ChangerDevice& device, std::array<uint8_t, 5>* bytes) {
  const ModelCode model = device.Model();
  const DeviceCommand command = StatusCommand(model);
  const DeviceReply reply = device.SendCommand(command.bytes, command.style, command.timeout_ms);
  if (reply.status == kReplyTimeout) return OPOS_E_TIMEOUT;
  const int length = StatusRecordLength(model);
  if (reply.status != kReplyOk || length == 0 || reply.length() != length) return OPOS_E_FAILURE;
  if (bytes != nullptr) {
    for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = reply.data[i + 1];
  }
  return OPOS_SUCCESS;
}

void HealthDialog::ReadCounts() {
  const DispenseRecord record = device_.DepositCounts();
  std::array<uint8_t, 5> bytes{};
  int32_t result = OPOS_E_TIMEOUT;
  device_.RunJob([&] { result = ReadStatus(device_, &bytes); });
  ShowResult(result);
  for (size_t i = 0; i < counts_.size(); ++i) counts_[i] = Format("%ld", static_cast<long>(record.slot[i]));
  if (result == OPOS_SUCCESS) {
    status_[0] = Format("%02X", bytes[0]);
    status_[1] = Format("%02X", bytes[1]);
    status_[2] = Format("%02X", bytes[2]);
    status_[3] = Format("%02X %02X", bytes[3], bytes[4]);
  } else {
    status_ = {};
  }
}

void HealthDialog::ClearCounts() {
  int32_t result = OPOS_E_TIMEOUT;
  device_.RunJob([&] {
    DeviceReply reply;
    result = Unanswered(device_.Execute(ClearDepositCounterCommand(), &reply), reply);
  });
  if (result == OPOS_SUCCESS) {
    device_.ClearDepositCounts();
    ReadCounts();
    return;
  }
  ShowResult(result);
  EmptyFields();
}

void HealthDialog::CollectAll() {
  CashCounts all{};
  all.fill(cash::kAllPieces);
  // Every field "???" is always a valid count block, so the builders cannot
  // refuse here; the check keeps it that way.
  const BuiltCommand built = device_.Model() == ModelCode::kKrt02 ? TakeBackCommand(all)
                                                                  : DepositTableCommand(all, 2, take_back_timeout_ms_);
  int32_t result = built.result;
  if (built.ok()) {
    device_.RunJob([&] {
      DeviceReply reply;
      result = Unanswered(device_.Execute(built.command, &reply), reply);
    });
  }
  ShowResult(result);
  EmptyFields();
}

void HealthDialog::ShowResult(int32_t result) {
  const int id = result == OPOS_SUCCESS   ? kIdsDialogNormalAnswer
                 : result == OPOS_E_TIMEOUT ? kIdsDialogNoAnswer
                                            : kIdsDialogAbnormalAnswer;
  result_line_ = std::string(LoadString(id));
}

void HealthDialog::EmptyFields() {
  counts_ = {};
  status_ = {};
}

}  // namespace vexokrt::service
