// SPDX-License-Identifier: Apache-2.0
#include "service/firmware_service.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "config/device_config.h"
#include "link/command_set.h"
#include "maintenance/maintenance_file.h"
#include "service/opos.h"

namespace vexokrt::service {
namespace {

using namespace opos;

bool IsVersion(std::string_view text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  return text.size() == kVersionFieldChars && digit(text[0]) && digit(text[1]) && text[2] >= 'A' && text[2] <= 'Z' &&
         digit(text[3]) && digit(text[4]);
}

std::optional<FirmwareFile> OneFile(ModelCode model, std::string_view name) {
  if (!config::PlainFileName(name)) return std::nullopt;
  // The longest prefix that fits: "DefFile77" before "DefFile".
  std::optional<FirmwareFile> found;
  size_t found_prefix = 0;
  for (const maintenance::ProgramFileKind& kind : maintenance::ProgramFileKinds()) {
    const std::string_view prefix = kind.Prefix(model);
    if (name.size() < prefix.size() + kind.extension.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - kind.extension.size()) != kind.extension || prefix.size() < found_prefix) {
      continue;
    }
    FirmwareFile file;
    file.name = std::string(name);
    file.selector = kind.selector;
    file.name_part = std::string(name.substr(prefix.size(), name.size() - prefix.size() - kind.extension.size()));
    file.version_field = kind.version_field;
    if (IsVersion(file.name_part)) file.version = file.name_part;
    found = std::move(file);
    found_prefix = prefix.size();
  }
  return found;
}

}  // namespace

std::vector<FirmwareFile> FirmwareFiles(ModelCode model, std::string_view text) {
  if (!IsKrt07Family(model)) return {};
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos) {
    std::optional<FirmwareFile> file = OneFile(model, text);
    if (!file) return {};
    return {std::move(*file)};
  }
  // A coin program and a bill program, in that order.
  std::optional<FirmwareFile> coin = OneFile(model, text.substr(0, comma));
  std::optional<FirmwareFile> bill = OneFile(model, text.substr(comma + 1));
  if (!coin || !bill || coin->selector != maintenance::kDownloadCoinProgram ||
      bill->selector != maintenance::kDownloadBillProgram) {
    return {};
  }
  return {std::move(*coin), std::move(*bill)};
}

int32_t CompareVersions(const std::vector<FirmwareFile>& files, std::span<const uint8_t> machine) {
  bool older = false;
  bool newer = false;
  for (const FirmwareFile& file : files) {
    const std::string theirs = VersionFieldOf(machine, file.version_field);
    if (!file.version || !IsVersion(theirs)) return OPOS_CFV_FIRMWARE_UNKNOWN;
    if (*file.version < theirs) older = true;
    if (*file.version > theirs) newer = true;
  }
  if (files.empty()) return OPOS_CFV_FIRMWARE_UNKNOWN;
  if (older && newer) return OPOS_CFV_FIRMWARE_DIFFERENT;
  if (older) return OPOS_CFV_FIRMWARE_OLDER;
  if (newer) return OPOS_CFV_FIRMWARE_NEWER;
  return OPOS_CFV_FIRMWARE_SAME;
}

int32_t FirmwareOutcome(opos::OposResult result, const maintenance::DownloadReport& report, bool answers) {
  if (result.ok()) return answers ? OPOS_SUE_UF_COMPLETE : OPOS_SUE_UF_COMPLETE_DEV_NOT_RESTORED;
  if (report.line_left_fast || !answers) return OPOS_SUE_UF_FAILED_DEV_UNKNOWN;
  if (!report.replacing) return OPOS_SUE_UF_FAILED_DEV_OK;
  if (report.write_refused) return OPOS_SUE_UF_FAILED_DEV_UNRECOVERABLE;
  return OPOS_SUE_UF_FAILED_DEV_NEEDS_FIRMWARE;
}

FirmwareService::FirmwareService(const ServiceParts& parts, ChangerHost& host)
    : UsesServiceParts(parts), host_(host) {}

FirmwareService::~FirmwareService() {
  if (worker_.joinable()) worker_.join();
}

opos::OposResult FirmwareService::CheckFiles(std::string_view file_names, std::vector<FirmwareFile>* files) const {
  if (!IsKrt07Family(model_)) return OPOS_E_ILLEGAL;
  *files = FirmwareFiles(model_, file_names);
  if (files->empty()) return OposResult::Extended(OPOS_EFIRMWARE_BAD_FILE);
  const std::string folder = config::MaintenanceFolder(config_.service);
  for (const FirmwareFile& file : *files) {
    const std::string path = folder + file.name;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return OPOS_E_NOEXIST;
    // Firmware is sent from a file of its own, never through a link.
    if (S_ISLNK(info.st_mode)) return OposResult::Extended(OPOS_EFIRMWARE_BAD_FILE);
    const maintenance::MaintenanceFile opened =
        maintenance::MaintenanceFile::Open(folder, file.name, maintenance::kDownloadMaxBytes);
    if (!opened.ok()) {
      trace_.Write(diag::kLevelError, diag::kTagError, opened.Problem());
      return opened.fault() == maintenance::FileFault::kCannotOpen ? OposResult(OPOS_E_NOEXIST)
                                                                   : OposResult::Extended(OPOS_EFIRMWARE_BAD_FILE);
    }
    if (opened.size() < maintenance::kDownloadMinBytes) return OposResult::Extended(OPOS_EFIRMWARE_BAD_FILE);
  }
  return OPOS_SUCCESS;
}

opos::OposResult FirmwareService::Compare(std::string_view file_names, int32_t* result) {
  if (running_.load()) return OPOS_E_BUSY;
  std::vector<FirmwareFile> files;
  const opos::OposResult checked = CheckFiles(file_names, &files);
  if (!checked.ok()) return checked;
  const DeviceReply reply = device_.ExchangeNow(VersionCommand().bytes, maintenance::kVersionTimeoutMs);
  if (reply.status == kReplyTimeout) return OPOS_E_NOHARDWARE;
  if (!reply.IsDataFrame()) return OPOS_E_FAILURE;
  *result = CompareVersions(files, reply.data);
  return OPOS_SUCCESS;
}

opos::OposResult FirmwareService::Update(std::string_view file_names) {
  if (running_.load()) return OPOS_E_BUSY;
  std::vector<FirmwareFile> files;
  const opos::OposResult checked = CheckFiles(file_names, &files);
  if (!checked.ok()) return checked;
  // The download's selector and name parts for these files.
  int32_t selector = files.front().selector;
  std::string names = files.front().name_part;
  if (files.size() == 2) {
    selector = maintenance::kDownloadBothPrograms;
    names = files[0].name_part + "," + files[1].name_part;
  }
  if (worker_.joinable()) worker_.join();
  running_.store(true);
  worker_ = std::thread([this, selector, names = std::move(names)]() mutable { RunUpdate(selector, std::move(names)); });
  return OPOS_SUCCESS;
}

void FirmwareService::RunUpdate(int32_t selector, std::string names) {
  maintenance::DownloadReport report;
  int32_t told = 0;
  maintenance::DownloadContext download{device_, trace_, clock_, config::MaintenanceFolder(config_.service)};
  download.report = &report;
  download.progress = [&](int64_t accepted, int64_t total) {
    // 2100 + 100 is the completion itself, told once the machine has
    // written the files: the transfer tells at most 99.
    const int32_t percent = total > 0 ? static_cast<int32_t>(std::min<int64_t>(accepted * 100 / total, 99)) : 99;
    if (percent > told) {
      told = percent;
      host_.QueueStatusUpdate(OPOS_SUE_UF_PROGRESS + percent);
    }
  };
  bool answers = false;
  const opos::OposResult result = device_.RunOperation([&] {
    const opos::OposResult downloaded = maintenance::ProgramDownload(download, selector, names);
    // Whether the machine answers on its own line now (the device layer
    // takes the status it tells).
    bool taken = false;
    answers = device_.ReadStatusNow(&taken) == kReplyOk && taken;
    return downloaded;
  });
  // Idle before the last status update goes out, so that an application
  // acting on it finds the device no longer busy.
  running_.store(false);
  host_.QueueStatusUpdate(FirmwareOutcome(result, report, answers));
}

}  // namespace vexokrt::service
