// SPDX-License-Identifier: Apache-2.0
// Firmware of a KRT07 or KRT77 as applications of later releases of the
// class reach it: CompareFirmwareVersion and UpdateFirmware over the
// program download.
//
// A firmware file name is a program file of the maintenance folder, as the
// program download names them: "KRT07CntCoin<v>.fil" (coin unit),
// "KRT07Bil<v>.fil" (bill unit), "PLM70Dw<v>.fil" (attached unit),
// "DefFile<v>.bin" (definition file), with "KRT77" and "DefFile77" for a
// KRT77; or a coin and a bill program separated by a comma, sent in that
// order. The name part <v> is the file's version when it reads as one of
// the machine's ("01C05": two digits, a capital letter, two digits); it is
// compared as text with the version the machine reports for that unit.
//
// UpdateFirmware checks the files, then runs the download on a thread of
// its own and reports it as status updates: 2100 + percent of the bytes
// the machine accepted (each percent once, at most 99: 2100 + 100 is the
// completion), then 2200 when the machine has
// taken every file and answers again, or by how it failed: 2201 nothing was
// replaced and the machine answers; 2202 the machine did not confirm
// writing a file it had been sent whole; 2203 a program was partly replaced
// and the machine answers (it needs firmware sent again); 2204 the machine
// stopped answering, or the line could not be brought back to its own
// speed; 2205 every file was taken but the machine does not answer after.
// If the process ends part-way, the next claim's model detection finds a
// machine left at 115 200 bit/s and brings it back.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/changer_host.h"
#include "maintenance/program_download.h"
#include "opos/opos.h"
#include "service/service_parts.h"

namespace vexokrt::service {

// One program file of a firmware name.
struct FirmwareFile {
  std::string name;
  int32_t selector = 0;         // the download selector of the file alone
  std::string name_part;        // what the download appends to the prefix
  VersionField version_field = VersionField::kCoinUnit;  // the machine's version of this unit
  std::optional<std::string> version;  // the file's, when its name part is one
};

// The files |text| names for |model|; empty when it names none of them
// (another model's files, another extension, a path, three names).
std::vector<FirmwareFile> FirmwareFiles(ModelCode model, std::string_view text);

// CompareFirmwareVersion's result for |files| against the machine's answer
// to the version command.
int32_t CompareVersions(const std::vector<FirmwareFile>& files, std::span<const uint8_t> machine);

// The status update that ends a download of |result| and |report|, where
// |answers| tells whether the machine answered a status request after it.
int32_t FirmwareOutcome(opos::OposResult result, const maintenance::DownloadReport& report, bool answers);

class FirmwareService : private UsesServiceParts {
 public:
  FirmwareService(const ServiceParts& parts, ChangerHost& host);
  // Waits for an update under way.
  ~FirmwareService();
  FirmwareService(const FirmwareService&) = delete;
  FirmwareService& operator=(const FirmwareService&) = delete;

  // Of a claimed, enabled device. 106 on a model without program download;
  // 109 for a file that does not exist; E_EXTENDED with
  // OPOS_EFIRMWARE_BAD_FILE for a name that is no firmware file of the
  // model, a link, a file that is no regular file or is too short or too
  // long; 107 or 111 when the machine does not tell its versions.
  opos::OposResult Compare(std::string_view file_names, int32_t* result);
  // The checks of Compare, then the update in the background (see above).
  // 113 while one runs.
  opos::OposResult Update(std::string_view file_names);
  // An update is under way (from Update until its last status update).
  bool Running() const { return running_.load(); }

 private:
  opos::OposResult CheckFiles(std::string_view file_names, std::vector<FirmwareFile>* files) const;
  void RunUpdate(int32_t selector, std::string names);

  ChangerHost& host_;
  std::atomic<bool> running_{false};
  std::thread worker_;
};

}  // namespace vexokrt::service
