// SPDX-License-Identifier: Apache-2.0
// Program download: new programs for the coin unit and the bill unit, a
// program for an attached unit and a definition file, read from the
// maintenance folder and sent to a KRT07 or KRT77 in 256-byte blocks.
//
// The transfer runs on the calling thread, directly on the line. The caller
// pauses the status watch and the history retrieval before and resumes them
// afterwards; ProgramDownload neither pauses nor resumes anything itself.
// Every wait and time read goes through the context's clock.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "device/changer_device.h"
#include "link/command_set.h"
#include "diag/trace_log.h"
#include "opos/opos.h"
#include "platform/clock.h"

namespace vexokrt::maintenance {

// Selectors (DirectIO pData) and what they send.
inline constexpr int32_t kDownloadCoinProgram = 1;  // "KRT07CntCoin"/"KRT77CntCoin" + name + ".fil"
inline constexpr int32_t kDownloadBillProgram = 2;  // "KRT07Bil"/"KRT77Bil" + name + ".fil"
inline constexpr int32_t kDownloadBothPrograms = 3;  // names "coin,bill": coin, then bill
inline constexpr int32_t kDownloadUnitProgram = 4;   // "PLM70Dw" + name + ".fil"
inline constexpr int32_t kDownloadDefinition = 5;    // "DefFile"/"DefFile77" + name + ".bin"

// File sizes a download takes.
inline constexpr int64_t kDownloadMinBytes = 257;
inline constexpr int64_t kDownloadMaxBytes = 16 * 1024 * 1024;

// Waits, in milliseconds.
inline constexpr int32_t kVersionTimeoutMs = 1000;
inline constexpr int32_t kStartFrameTimeoutMs = 5500;
inline constexpr int32_t kBlockTimeoutMs = 500;
inline constexpr int32_t kEndFrameTimeoutMs = 500;
inline constexpr int32_t kEnquiryTimeoutMs = 100;
inline constexpr int64_t kReadyLimitMs = 60000;      // the device busy after the start frame
inline constexpr int64_t kWriteLimitMs = 60000;      // no answer to ENQ after the end frame
inline constexpr int64_t kPollPauseMs = 10;          // between enquiries, blocks and resends
inline constexpr int64_t kPauseBetweenFilesMs = 20000;
// A block the device refuses with BEL is sent again at most this often.
inline constexpr int kBlockResends = 3;

// The oldest KRT07 program version that takes the unit program and the
// definition file, and the fast line; compared as text with the five
// characters at bytes 15-19 of the "Z00" answer.
inline constexpr std::string_view kFullDownloadVersion = "01C01";

// What a download got to, for a caller that must tell how a failure left
// the device.
struct DownloadReport {
  // The device accepted a start frame: it has begun to replace a program.
  bool replacing = false;
  // The line could not be moved back to 9600 bit/s after a file.
  bool line_left_fast = false;
  // The device did not confirm writing a file it had been sent whole.
  bool write_refused = false;
};

// One kind of program file: its selector alone, its name (prefix by model,
// the name part, the extension), the kind digit of its start frame and the
// machine's version field of what it replaces.
struct ProgramFileKind {
  int32_t selector;
  std::string_view krt07_prefix;
  std::string_view krt77_prefix;
  std::string_view extension;
  char kind;
  VersionField version_field;

  std::string_view Prefix(ModelCode model) const { return model == ModelCode::kKrt77 ? krt77_prefix : krt07_prefix; }
  std::string FileName(ModelCode model, std::string_view name_part) const {
    return std::string(Prefix(model)) + std::string(name_part) + std::string(extension);
  }
};
// The coin and bill programs, the unit program and the definition file, in
// sending order.
std::span<const ProgramFileKind> ProgramFileKinds();
// The kind of |selector| (1, 2, 4 or 5); null for any other.
const ProgramFileKind* ProgramFileKindOf(int32_t selector);

struct DownloadContext {
  // The device layer: the download runs as one of its jobs, on its line,
  // with its model and deposit phase marks.
  ChangerDevice& device;
  diag::TraceLog& trace;
  platform::Clock& clock;
  // The maintenance folder as config::MaintenanceFolder gives it: "" or a
  // prefix ending in its separator; file names are appended to it.
  std::string folder;
  // Optional: told on the device layer's thread after every frame of file
  // bytes the device accepted, with the bytes accepted of all the files so
  // far and their total.
  std::function<void(int64_t accepted, int64_t total)> progress = {};
  // Optional: filled in as the download goes.
  DownloadReport* report = nullptr;
};

// Sends the files of |selector| (see above) with the name parts in |names|
// (selector 3: "coin,bill", exactly two fields; an empty text gives two empty
// names). Returns an OPOS result code:
//   0    every file was accepted;
//   106  bad selector, a model other than KRT07/KRT77, a unit program or
//        definition file for a KRT07 older than "01C01", a name part that is
//        not a plain file name (a separator, ".", ".."; checked before anything
//        is sent), a file that MaintenanceFile refuses (missing, a link out of
//        the folder, not a regular file; traced with its reason) or of fewer
//        than 257 or more than 16 777 216 bytes (all files are checked before
//        the first frame);
//   107  no answer to the start frame or a data frame;
//   111  the version request failed, a file read came up short or failed, the device
//        refused without an error code, or the line speed could not be
//        changed;
//   112  the device stayed busy (SUB) for 60 s after the start frame, or did
//        not answer ENQ for 60 s after the end frame;
//   114  the device refused with an error code (the result's extended code).
// The device is given 20 s after every file it accepted, the last one
// included, before anything else is sent. A failing file ends the download.
// A failure while the line runs at 115200 bit/s switches it back to
// 9600 bit/s first, so the line is usable afterwards; the deposit phase is
// ended (phase 0, counts and status stale) whenever it was set.
opos::OposResult ProgramDownload(DownloadContext& ctx, int32_t selector, std::string_view names);

// Whether ProgramDownload goes on to the device with these arguments: the
// checks of the selector, the model and the name parts, made before anything
// else (the version and the files are the device's and the folder's).
bool DownloadArgumentsAllowed(int32_t selector, ModelCode model, std::string_view names);

}  // namespace vexokrt::maintenance
