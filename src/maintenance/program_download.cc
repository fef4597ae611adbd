// SPDX-License-Identifier: Apache-2.0
#include "maintenance/program_download.h"

#include <array>
#include <cstdio>
#include <span>
#include <vector>

#include "config/device_config.h"
#include "link/command_set.h"
#include "link/comm_thread.h"
#include "link/device_reply.h"
#include "link/line_exchange.h"
#include "link/line_sequences.h"
#include "maintenance/maintenance_file.h"
#include "opos/opos.h"

namespace vexokrt::maintenance {
namespace {

constexpr size_t kBlockBytes = kProgramBlockBytes;

constexpr std::string_view kStartLine = "プログラムダウンロード開始";
constexpr std::string_view kEndLine = "プログラムダウンロード終了";

// An open program file and the kind its start frame names.
struct ProgramFile {
  MaintenanceFile file;
  char kind;
};

struct FileChoice {
  std::string name;
  char kind;
};

class Download {
 public:
  Download(DownloadContext& ctx, LineExchange& line) : ctx_(ctx), line_(line) {}

  // |choices| are the files of the selector, |opened| each one opened (in
  // the same order).
  opos::OposResult Run(int32_t selector, const std::vector<FileChoice>& choices, std::vector<MaintenanceFile>& opened);

 private:
  int32_t ReadVersion(std::string* version);
  opos::OposResult SendFile(ProgramFile& program);
  int32_t WaitUntilReady();
  opos::OposResult SendBlocks(MaintenanceFile& file);
  void SendEndFrame();
  int32_t WaitForWrite();

  // What a frame's answer means: ACK and ETB accepted (0); no answer 107;
  // BEL the code of the follow-up read (rule C) with 114, else 111; any other
  // answer the device error number with 114, else 111; a broken answer 111.
  opos::OposResult Judge(const DeviceReply& reply);
  // Sends |body| framed and reads its answer.
  DeviceReply Exchange(std::span<const uint8_t> body, int32_t timeout_ms) {
    return ::vexokrt::Exchange(line_, body, timeout_ms);
  }

  void BeginPhase() { ctx_.device.SetDepositPhase(1); }
  void EndPhase() {
    ctx_.device.SetDepositPhase(0);
    ctx_.device.SetCountsStale(true);
    ctx_.device.SetStatusStale(true);
  }
  // After a failure: back to 9600 bit/s when the line runs fast, and the
  // phase ended.
  opos::OposResult Abandon(opos::OposResult result) {
    if (fast_) {
      if (line_.SwitchLineSpeed(LineSpeed::kNormal) != SpeedSwitch::kSwitched) report().line_left_fast = true;
      fast_ = false;
    }
    EndPhase();
    return result;
  }

  void Info(std::string_view text) { ctx_.trace.Write(diag::kLevelInfo, diag::kTagInfo, text); }
  // A read that came up short: the system error number (0 when the file
  // ended early) and, for a read error, the file and what the error was.
  void ReadError(const MaintenanceFile& file) {
    ctx_.trace.Write(diag::kLevelError, diag::kTagError, "ファイル読み取りエラー = " + std::to_string(file.error()));
    if (file.fault() == FileFault::kRead) ctx_.trace.Write(diag::kLevelError, diag::kTagError, file.Problem());
  }

  // |bytes| more of the files were accepted.
  void Accepted(int64_t bytes) {
    accepted_ += bytes;
    if (ctx_.progress) ctx_.progress(accepted_, total_);
  }
  DownloadReport& report() { return ctx_.report != nullptr ? *ctx_.report : own_report_; }

  DownloadContext& ctx_;
  LineExchange& line_;
  bool fast_line_allowed_ = true;
  bool fast_ = false;
  int64_t accepted_ = 0;
  int64_t total_ = 0;
  DownloadReport own_report_;
};

bool PlainNamePart(std::string_view name) { return name.empty() || config::PlainFileName(name); }

// The files of |selector| in sending order; empty when the selector, the model
// or the names do not allow it.
std::vector<FileChoice> ChooseFiles(int32_t selector, ModelCode model, std::string_view names) {
  const auto choice = [&](int32_t kind_selector, std::string_view name) {
    const ProgramFileKind& kind = *ProgramFileKindOf(kind_selector);
    return FileChoice{kind.FileName(model, name), kind.kind};
  };
  std::vector<FileChoice> files;
  switch (selector) {
    case kDownloadCoinProgram:
    case kDownloadBillProgram:
    case kDownloadUnitProgram:
    case kDownloadDefinition:
      files.push_back(choice(selector, names));
      break;
    case kDownloadBothPrograms: {
      const size_t comma = names.find(',');
      if (comma == std::string_view::npos) {
        if (!names.empty()) return {};
        files.push_back(choice(kDownloadCoinProgram, ""));
        files.push_back(choice(kDownloadBillProgram, ""));
        break;
      }
      const std::string_view second = names.substr(comma + 1);
      if (second.find(',') != std::string_view::npos) return {};
      files.push_back(choice(kDownloadCoinProgram, names.substr(0, comma)));
      files.push_back(choice(kDownloadBillProgram, second));
      if (!PlainNamePart(names.substr(0, comma)) || !PlainNamePart(second)) return {};
      return files;
    }
    default:
      return {};
  }
  if (selector != kDownloadBothPrograms && !PlainNamePart(names)) return {};
  for (const FileChoice& file : files) {
    if (!config::PlainFileName(file.name)) return {};
  }
  return files;
}

opos::OposResult Download::Run(int32_t selector, const std::vector<FileChoice>& choices,
                               std::vector<MaintenanceFile>& opened) {
  const ModelCode model = ctx_.device.Model();
  if (!IsKrt07Family(model)) return opos::OPOS_E_ILLEGAL;
  if (choices.empty()) return opos::OPOS_E_ILLEGAL;

  std::string version;
  const int32_t asked = ReadVersion(&version);
  if (asked != opos::OPOS_SUCCESS) return asked;
  const bool older = model == ModelCode::kKrt07 && version < kFullDownloadVersion;
  if (older && (selector == kDownloadUnitProgram || selector == kDownloadDefinition)) return opos::OPOS_E_ILLEGAL;
  fast_line_allowed_ = !older;

  std::vector<ProgramFile> files;
  files.reserve(choices.size());
  for (size_t i = 0; i < choices.size(); ++i) {
    MaintenanceFile& file = opened[i];
    const FileChoice& choice = choices[i];
    if (!file.ok()) {
      ctx_.trace.Write(diag::kLevelError, diag::kTagError, file.Problem());
      return opos::OPOS_E_ILLEGAL;
    }
    if (file.size() < kDownloadMinBytes) return opos::OPOS_E_ILLEGAL;
    total_ += file.size();
    files.push_back({std::move(file), choice.kind});
  }
  for (ProgramFile& program : files) {
    const opos::OposResult result = SendFile(program);
    if (result != opos::OPOS_SUCCESS) return result;
    ctx_.clock.SleepMs(kPauseBetweenFilesMs);
  }
  return opos::OPOS_SUCCESS;
}

int32_t Download::ReadVersion(std::string* version) {
  const DeviceReply reply = Exchange(VersionCommand().bytes, kVersionTimeoutMs);
  if (!reply.IsDataFrame()) return opos::OPOS_E_FAILURE;
  *version = VersionFieldOf(reply.data, VersionField::kDeviceProgram);
  return version->empty() ? opos::OPOS_E_FAILURE : opos::OPOS_SUCCESS;
}

opos::OposResult Download::Judge(const DeviceReply& reply) {
  const auto extended_or_failure = [](int32_t code) {
    return code != 0 ? opos::OposResult::Extended(code) : opos::OposResult(opos::OPOS_E_FAILURE);
  };
  if (reply.status == kReplyTimeout) return {opos::OPOS_E_NOHARDWARE, 0};
  if (reply.status != kReplyOk) return {opos::OPOS_E_FAILURE, 0};
  if (reply.answerByte == kAck || reply.answerByte == kEtb) return {opos::OPOS_SUCCESS, 0};
  if (reply.answerByte == kBel) return extended_or_failure(reply.errorCode);
  if (reply.cancelled != 0) return extended_or_failure(reply.cancelDetail);
  return extended_or_failure(line_.ReadErrorNumber().Value());
}

opos::OposResult Download::SendFile(ProgramFile& program) {
  MaintenanceFile& file = program.file;
  std::vector<uint8_t> first(kBlockBytes);
  if (!file.ReadExactly(first)) {
    ReadError(file);
    return opos::OPOS_E_FAILURE;
  }
  Info(kStartLine);
  const opos::OposResult accepted = Judge(Exchange(ProgramStartFrame(program.kind, first), kStartFrameTimeoutMs));
  if (accepted != opos::OPOS_SUCCESS) return accepted;
  report().replacing = true;
  Accepted(static_cast<int64_t>(kBlockBytes));

  const int32_t ready = WaitUntilReady();
  if (ready != opos::OPOS_SUCCESS) return ready;

  if (fast_line_allowed_) {
    BeginPhase();
    if (line_.SwitchLineSpeed(LineSpeed::kFast) != SpeedSwitch::kSwitched) {
      EndPhase();
      return opos::OPOS_E_FAILURE;
    }
    fast_ = true;
  }

  const opos::OposResult sent = SendBlocks(file);
  if (sent != opos::OPOS_SUCCESS) return Abandon(sent);

  if (fast_) {
    fast_ = false;
    if (line_.SwitchLineSpeed(LineSpeed::kNormal) != SpeedSwitch::kSwitched) {
      report().line_left_fast = true;
      EndPhase();
      return opos::OPOS_E_FAILURE;
    }
  }
  EndPhase();
  Info(kEndLine);

  SendEndFrame();
  return WaitForWrite();
}

int32_t Download::WaitUntilReady() {
  const int64_t began = ctx_.clock.NowMs();
  for (;;) {
    DeviceReply reply;
    line_.SendEnquiry(reply, kEnquiryTimeoutMs, true);
    if (reply.status != kReplyOk) return opos::OPOS_E_FAILURE;
    if (reply.answerByte == kAck) return opos::OPOS_SUCCESS;
    if (reply.answerByte != kSub) return opos::OPOS_E_FAILURE;
    if (ctx_.clock.NowMs() - began >= kReadyLimitMs) return opos::OPOS_E_TIMEOUT;
    ctx_.clock.SleepMs(kPollPauseMs);
  }
}

opos::OposResult Download::SendBlocks(MaintenanceFile& file) {
  int64_t remaining = file.size() - static_cast<int64_t>(kBlockBytes);
  int serial = 0;
  std::vector<uint8_t> data;
  for (;;) {
    const size_t block = static_cast<size_t>(std::min<int64_t>(remaining, kBlockBytes));
    data.resize(block);
    if (!file.ReadExactly(data)) {
      ReadError(file);
      return opos::OPOS_E_FAILURE;
    }
    const std::vector<uint8_t> frame = ProgramDataFrame(static_cast<uint16_t>(serial), data);
    Info("プログラムダウンロード シリアルNo = " + std::to_string(serial) + ", 送信データ = " + std::to_string(block) +
         ", 残り = " + std::to_string(remaining));

    opos::OposResult outcome;
    for (int sends = 0;; ++sends) {
      const DeviceReply reply = Exchange(frame, kBlockTimeoutMs);
      outcome = Judge(reply);
      const bool refused = reply.status == kReplyOk && reply.answerByte == kBel;
      if (outcome.ok() || !refused || sends == kBlockResends) break;
      ctx_.clock.SleepMs(kPollPauseMs);
    }
    if (!outcome.ok()) return outcome;
    Accepted(static_cast<int64_t>(block));

    if (remaining <= static_cast<int64_t>(kBlockBytes)) return opos::OPOS_SUCCESS;
    ++serial;
    remaining -= static_cast<int64_t>(block);
    ctx_.clock.SleepMs(kPollPauseMs);
  }
}

void Download::SendEndFrame() {
  const std::vector<uint8_t> end = ProgramEndFrame();
  for (int sends = 0; sends < 2; ++sends) {
    const DeviceReply reply = Exchange(end, kEndFrameTimeoutMs);
    if (reply.status != kReplyOk) return;
    const uint32_t answer = reply.answerByte;
    if (answer == kAck || answer == kEtb) return;
    // A refusal with BEL or CAN is sent again once. Its reason does not
    // change the download's result, which the write that follows decides;
    // the machine is still asked for its error number where it gave none.
    if (answer != kBel && reply.cancelled == 0) line_.ReadErrorNumber();
    if (answer != kBel && answer != kCan) return;
  }
}

int32_t Download::WaitForWrite() {
  const int64_t began = ctx_.clock.NowMs();
  for (;;) {
    DeviceReply reply;
    line_.SendEnquiry(reply, kEnquiryTimeoutMs, true);
    if (reply.status == kReplyTimeout) {
      if (ctx_.clock.NowMs() - began >= kWriteLimitMs) return opos::OPOS_E_TIMEOUT;
      ctx_.clock.SleepMs(kPollPauseMs);
      continue;
    }
    if (reply.status == kReplyOk && reply.answerByte == kAck) return opos::OPOS_SUCCESS;
    report().write_refused = true;
    EndPhase();
    return opos::OPOS_E_FAILURE;
  }
}

}  // namespace

std::span<const ProgramFileKind> ProgramFileKinds() {
  static constexpr ProgramFileKind kKinds[] = {
      {kDownloadCoinProgram, "KRT07CntCoin", "KRT77CntCoin", ".fil", '1', VersionField::kCoinUnit},
      {kDownloadBillProgram, "KRT07Bil", "KRT77Bil", ".fil", '2', VersionField::kBillUnit},
      {kDownloadUnitProgram, "PLM70Dw", "PLM70Dw", ".fil", '3', VersionField::kAttachedUnit},
      {kDownloadDefinition, "DefFile", "DefFile77", ".bin", '4', VersionField::kDefinitionFile},
  };
  return kKinds;
}

const ProgramFileKind* ProgramFileKindOf(int32_t selector) {
  for (const ProgramFileKind& kind : ProgramFileKinds()) {
    if (kind.selector == selector) return &kind;
  }
  return nullptr;
}

bool DownloadArgumentsAllowed(int32_t selector, ModelCode model, std::string_view names) {
  return IsKrt07Family(model) && !ChooseFiles(selector, model, names).empty();
}

opos::OposResult ProgramDownload(DownloadContext& ctx, int32_t selector, std::string_view names) {
  // The whole download is one job of the device layer: nothing else reaches
  // the line until it has ended (and the line is back at 9600 bit/s).
  // The files are opened here, on the caller's thread and with its rights;
  // what an open found is told where the download comes to that file, after
  // the version read.
  const ModelCode model = ctx.device.Model();
  std::vector<FileChoice> choices;
  if (IsKrt07Family(model)) choices = ChooseFiles(selector, model, names);
  std::vector<MaintenanceFile> opened;
  opened.reserve(choices.size());
  for (const FileChoice& choice : choices) {
    opened.push_back(MaintenanceFile::Open(ctx.folder, choice.name, kDownloadMaxBytes));
  }
  opos::OposResult result = opos::OPOS_E_NOHARDWARE;
  ctx.device.RunWithLine([&](LineExchange& line) {
    Download download(ctx, line);
    result = download.Run(selector, choices, opened);
  });
  return result;
}

}  // namespace vexokrt::maintenance
