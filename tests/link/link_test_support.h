// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the link tests: a trace log in a temporary folder whose
// lines can be read back, and the scripted devices the fake line answers for.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "diag/trace_log.h"
#include "link/serial_link.h"
#include "platform/codepage.h"
#include "support/fake_serial_port.h"
#include "support/temp_dir.h"

namespace vexokrt::testing {

// The detection trace lines, as the tests expect them (UTF-8).
inline constexpr char kRead96008[] = "9600bps, ST1. data8, PE1, SP1 で型式リード開始";
inline constexpr char kReopen24007[] = "2400bps, ST1. data7, PE1, SP1 でシリアルポートを再オープン実行";
inline constexpr char kRead24007[] = "2400bps, ST1. data7, PE1, SP1 で型式リード開始";
inline constexpr char kReopen96007[] = "9600bps, ST1. data7, PE1, SP1 でシリアルポートを再オープン実行";
inline constexpr char kRead96007[] = "9600bps, ST1. data7, PE1, SP1 で型式リード開始";
inline constexpr char kFoundA[] = "接続機器を KRT02 (A通信モード)で特定しました。";
inline constexpr char kFoundB[] = "接続機器を KRT02 (B通信モード)で特定しました。";
inline constexpr char kSpeedChange[] = "2400bps, ST1. data7, PE1, SP1 で 9600bps に速度変更開始";
inline constexpr char kModeAChanged[] = "接続機器を KRT02 (A通信モード)に変更終了しました。";
inline constexpr char kModeAFailed[] = "接続機器を KRT02 (A通信モード)に変更に失敗しました。";
inline constexpr char kReopen1152008[] = "115200bps, ST1. data8, PE1, SP1 でシリアルポートを再オープン実行";
inline constexpr char kRead1152008[] = "115200bps, ST1. data8, PE1, SP1 で型式リード開始";
inline constexpr char kLeftAtFastLine[] = "接続機器が 115200bps のままでした。9600bps に戻します。";
inline constexpr char kFastLineNotLeft[] = "接続機器を 115200bps から 9600bps に戻せませんでした。";
inline constexpr char kReopen96008[] = "9600bps, ST1. data8, PE1, SP1 でシリアルポートを再オープン実行";

// A trace log at the information level in its own folder.
class TraceCapture {
 public:
  TraceCapture() {
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    log_.SetFileName(dir_.file("trace"));
    log_.SetLevel(diag::kLevelInfo);
  }
  diag::TraceLog& log() { return log_; }

  // "Tag     : message" of every time-stamped line, in UTF-8, in order.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(platform::Cp932ToUtf8(ReadFileBytes(dir_.file("trace"))));
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find("::");
      if (at != std::string::npos && line.find(":Inf::") != std::string::npos) lines.push_back(line.substr(at + 2));
      if (at != std::string::npos && line.find(":Err::") != std::string::npos) lines.push_back(line.substr(at + 2));
    }
    return lines;
  }
  // Only the Error lines' messages.
  std::vector<std::string> Errors() const { return WithTag("Error   : "); }
  // Only the Info lines' messages.
  std::vector<std::string> Infos() const { return WithTag("Info    : "); }
  std::string Raw() const { return platform::Cp932ToUtf8(ReadFileBytes(dir_.file("trace"))); }

 private:
  std::vector<std::string> WithTag(const std::string& tag) const {
    std::vector<std::string> out;
    for (const std::string& line : Lines()) {
      if (line.rfind(tag, 0) == 0) out.push_back(line.substr(tag.size()));
    }
    return out;
  }

  TempDir dir_;
  diag::TraceLog log_;
};

// The command bytes of a host frame (STX ... ETX BCC), or empty when |frame|
// is not one (an enquiry, say).
inline std::vector<uint8_t> CommandOf(const std::vector<uint8_t>& frame) {
  if (frame.size() < 3 || frame.front() != 0x02 || frame[frame.size() - 2] != 0x03) return {};
  return std::vector<uint8_t>(frame.begin() + 1, frame.end() - 2);
}

inline std::vector<uint8_t> Cmd(std::initializer_list<uint8_t> bytes) { return bytes; }

// A status record of |length| bytes, all '0', with |changes| applied.
using ByteChanges = std::vector<std::pair<size_t, uint8_t>>;
inline std::vector<uint8_t> StatusRecord(size_t length, const ByteChanges& changes) {
  std::vector<uint8_t> record(length, '0');
  for (const auto& [at, value] : changes) record.at(at) = value;
  return record;
}

}  // namespace vexokrt::testing
