// SPDX-License-Identifier: Apache-2.0
#include "link/serial_link.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/command_set.h"
#include "link/frame_codec.h"

namespace vexokrt::link {
namespace {

using platform::IoResult;
using platform::IoStatus;
using platform::PurgeScope;
using platform::ReadTimeouts;

// Port time-outs.
constexpr int64_t kReadIntervalMs = 50;  // silence that ends a frame
constexpr int64_t kReadTotalMs = 2000;   // longest single read
constexpr int64_t kWriteTimeoutMs = 100;
// Writes in a row that may accept nothing before WriteBytes gives up: the
// line has no flow control, so a port that takes nothing for this long is
// stuck or gone.
constexpr int kMaxIdleWrites = 3;
constexpr size_t kWriteChunk = 256;

// Waits of the follow-up reads and the model detection.
constexpr int kRecordTimeoutMs = 1000;
constexpr int64_t kErrorNumberDelayMs = 500;
constexpr int kSpeedChangeTimeoutMs = 1000;
constexpr int64_t kAfterSpeedChangeMs = 5;

// Line definitions of the model detection and speed changes.
constexpr char kLine2400Data7[] = "2400,E,7,1";
constexpr char kLine9600Data7[] = "9600,E,7,1";
constexpr char kLine9600Data8[] = "9600,E,8,1";
constexpr char kLine115200Data8[] = "115200,E,8,1";

constexpr std::array<uint8_t, 1> kEnquiry = {kEnq};

// Trace labels and texts.
constexpr char kSentLabel[] = "送信データ";
constexpr char kReceivedLabel[] = "受信データ";
constexpr char kOpenFailed[] = "シリアルポートオープンに失敗しました。";
constexpr char kSettingsRefused[] = "回線設定を適用できません = ";
constexpr char kTimeoutText[] = "タイムアウト発生";
constexpr char kWriteTimeoutText[] = "送信タイムアウト発生";
constexpr char kParityText[] = "パリティエラー発生";
constexpr char kFramingText[] = "フレーミングエラー発生";
constexpr char kNoStxText[] = "フレーミングエラー(STX未検知）発生";
constexpr char kNoEtxText[] = "フレーミングエラー(ETX未検知）発生";
constexpr char kBccText[] = "BCCエラー発生";

constexpr char kReadAt9600Data8[] = "9600bps, ST1. data8, PE1, SP1 で型式リード開始";
constexpr char kFoundKrt07[] = "接続機器を KRT07 で特定しました。";
constexpr char kFoundKrt77[] = "接続機器を KRT77 で特定しました。";
constexpr char kReopenAt2400Data7[] = "2400bps, ST1. data7, PE1, SP1 でシリアルポートを再オープン実行";
constexpr char kReadAt2400Data7[] = "2400bps, ST1. data7, PE1, SP1 で型式リード開始";
constexpr char kFoundKrt02ModeA[] = "接続機器を KRT02 (A通信モード)で特定しました。";
constexpr char kFoundKrt02ModeB[] = "接続機器を KRT02 (B通信モード)で特定しました。";
constexpr char kSpeedChangeStart[] = "2400bps, ST1. data7, PE1, SP1 で 9600bps に速度変更開始";
constexpr char kReopenAt9600Data7[] = "9600bps, ST1. data7, PE1, SP1 でシリアルポートを再オープン実行";
constexpr char kReadAt9600Data7[] = "9600bps, ST1. data7, PE1, SP1 で型式リード開始";
constexpr char kFoundKrt03[] = "接続機器を KRT03 で特定しました。";
constexpr char kKrt02ModeUnknown[] = "接続機器が KRT02 ですが、通信モードの特定ができませんでした。";
constexpr char kModeAChanged[] = "接続機器を KRT02 (A通信モード)に変更終了しました。";
constexpr char kModeAChangeFailed[] = "接続機器を KRT02 (A通信モード)に変更に失敗しました。";
constexpr char kReopenAt115200Data8[] = "115200bps, ST1. data8, PE1, SP1 でシリアルポートを再オープン実行";
constexpr char kReopenAt9600Data8[] = "9600bps, ST1. data8, PE1, SP1 でシリアルポートを再オープン実行";
// A KRT07/KRT77 left at 115200 bit/s (a program download that never ended).
constexpr char kReadAt115200Data8[] = "115200bps, ST1. data8, PE1, SP1 で型式リード開始";
constexpr char kLeftAtFastLine[] = "接続機器が 115200bps のままでした。9600bps に戻します。";
constexpr char kFastLineNotLeft[] = "接続機器を 115200bps から 9600bps に戻せませんでした。";

// A digit of the status record as its value (may be negative for non-digits;
// only its bits are tested).
int DigitValue(uint8_t byte) { return static_cast<int>(byte) - 0x30; }

}  // namespace

SerialLink::SerialLink(diag::TraceLog& trace, std::string port_name, std::string line_settings,
                       PortOpener opener, platform::Clock& clock)
    : trace_(trace),
      port_name_(std::move(port_name)),
      line_settings_(std::move(line_settings)),
      opener_(opener ? std::move(opener)
                     : PortOpener([this](const std::string& name) { return platform::OpenSerialPort(name, &open_error_, clock_); })),
      clock_(clock) {}

SerialLink::~SerialLink() { ClosePortHandle(); }

// ---------------------------------------------------------------------------
// Opening and closing

int SerialLink::OpenWith(const std::string& definition) {
  // A definition the terminal cannot take would leave the port on whatever
  // speed it had before, talking past the device: that is a failed open.
  if (!platform::ParseLineDefinition(definition)) {
    Error(kOpenFailed);
    Error(kSettingsRefused + definition);
    return 1;
  }
  open_error_ = 0;
  std::unique_ptr<platform::SerialPort> port = opener_(port_name_);
  if (!port) {
    Error(kOpenFailed);
    // Busy, missing and forbidden ports need different remedies: say which.
    if (open_error_ != 0) Error(port_name_ + ": " + std::strerror(open_error_));
    return 1;
  }
  port->Purge(PurgeScope::kTransmitAndReceive);
  // A driver that refuses the settings would leave the line as it was, on a
  // speed or framing the device does not use: that is a failed open too.
  errno = 0;
  if (!port->Configure(definition)) {
    const int refusal = errno;
    Error(kOpenFailed);
    Error(kSettingsRefused + definition);
    if (refusal != 0) Error(port_name_ + ": " + std::strerror(refusal));
    return 1;
  }
  platform::MutexLock lock(write_lock_);
  port_ = std::move(port);
  line_definition_ = definition;
  open_ = true;
  return 0;
}

void SerialLink::ClosePortHandle() {
  platform::MutexLock lock(write_lock_);
  port_.reset();
  open_ = false;
}

int SerialLink::OpenPort() {
  if (open_) return 0;
  return OpenWith(line_settings_);
}

int SerialLink::ReopenPort(std::string_view definition) {
  ClosePortHandle();
  return OpenWith(std::string(definition));
}

int SerialLink::Reopen(std::string_view definition, ModelDetection& detection) {
  detection.reopened = true;
  return ReopenPort(definition);
}

int SerialLink::ClosePort() {
  ClosePortHandle();
  return 0;
}

std::string SerialLink::LineDefinition() const {
  platform::MutexLock lock(write_lock_);
  return line_definition_;
}

// ---------------------------------------------------------------------------
// Sending

ReceiveStatus SerialLink::SendFrame(std::span<const uint8_t> command) {
  const std::vector<uint8_t> frame = BuildCommandFrame(command);
  if (port_) {
    // Whatever came before our command is not its answer.
    port_->Purge(PurgeScope::kReceive);
    port_->TakeReceiveError();
  }
  return WriteBytes(frame);
}

ReceiveStatus SerialLink::SendEnquiry(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups) {
  if (port_) {
    port_->Purge(PurgeScope::kReceive);
    port_->TakeReceiveError();
  }
  if (WriteBytes(kEnquiry) != kReplyOk) {
    reply = DeviceReply{};
    reply.status = kReplyTimeout;
    reply.unsent = true;
    return reply.status;
  }
  return ReceiveAnswer(reply, timeout_ms, suppress_follow_ups, false);
}

ReceiveStatus SerialLink::WriteBytes(std::span<const uint8_t> bytes) {
  platform::MutexLock lock(write_lock_);
  if (bytes.empty()) return kReplyOk;
  // A closed port takes nothing: no answer can follow.
  if (!port_) return kReplyTimeout;
  size_t offset = 0;
  int idle_writes = 0;
  while (offset < bytes.size()) {
    const size_t chunk = std::min(kWriteChunk, bytes.size() - offset);
    const IoResult written = port_->WriteSome(bytes.data() + offset, chunk, kWriteTimeoutMs);
    if (written.count > 0) {
      TraceBytes(kSentLabel, bytes.data() + offset, written.count);
      offset += written.count;
      idle_writes = 0;
    }
    if (written.status == IoStatus::kLost || (written.count == 0 && ++idle_writes >= kMaxIdleWrites)) {
      Error(kWriteTimeoutText);
      return kReplyTimeout;
    }
  }
  return kReplyOk;
}

// ---------------------------------------------------------------------------
// Receiving

ReceiveStatus SerialLink::ReceiveAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                                  bool alternative_bell_rule) {
  const ReceiveStatus status = ReceiveOneAnswer(reply, timeout_ms, suppress_follow_ups, alternative_bell_rule);
  if (status == kReplyParityError || status == kReplyBccError || status == kReplyFramingError) {
    damaged_answers_.fetch_add(1);
  }
  return status;
}

ReceiveStatus SerialLink::ReceiveOneAnswer(DeviceReply& reply, int32_t timeout_ms, bool suppress_follow_ups,
                                           bool alternative_bell_rule) {
  reply = DeviceReply{};
  const int64_t deadline = clock_.NowMs() + std::max(0, timeout_ms);

  // The first byte: wait for it no longer than the caller allows, in reads of
  // at most the port's total time-out.
  uint8_t first = 0;
  bool got_first = false;
  while (port_) {
    const int64_t left = std::clamp<int64_t>(deadline - clock_.NowMs(), 0, kReadTotalMs);
    const IoResult got = platform::ReadTimed(*port_, clock_, &first, 1, ReadTimeouts{left, kReadIntervalMs, left});
    if (port_->TakeReceiveError()) {
      // Also when a byte came: a byte received with a parity or framing error
      // may be any other byte, and taking it for an ACK could confirm an
      // action the device never confirmed.
      Error(kParityText);
      reply.status = kReplyParityError;
      return reply.status;
    }
    if (got.count == 1) {
      got_first = true;
      break;
    }
    if (got.status == IoStatus::kLost) break;
    if (clock_.NowMs() >= deadline) break;
  }
  if (!got_first) {
    // A closed port or a device that went away answers like a silent one: the
    // caller's time-out passes before it hears so, which keeps its polling
    // loops from spinning.
    clock_.SleepMs(deadline - clock_.NowMs());
    Error(kTimeoutText);
    reply.status = kReplyTimeout;
    return reply.status;
  }
  TraceBytes(kReceivedLabel, &first, 1);

  FrameDecoder decoder;
  switch (decoder.Push(first)) {
    case FrameDecoder::Step::kAnswerByte:
      reply.answerByte = first;
      RunFollowUps(reply, suppress_follow_ups, alternative_bell_rule);
      reply.status = kReplyOk;
      return reply.status;
    case FrameDecoder::Step::kNeedMore:
      return ReceiveFrameBody(decoder, reply);
    case FrameDecoder::Step::kError:
    case FrameDecoder::Step::kDataFrame:
      break;
  }
  Error(kFramingText);
  reply.status = kReplyFramingError;
  return reply.status;
}

ReceiveStatus SerialLink::ReceiveFrameBody(FrameDecoder& decoder, DeviceReply& reply) {
  std::array<uint8_t, kMaxFrameBytes> buffer;
  const int64_t body_end = clock_.NowMs() + kReadTotalMs;
  FrameDecoder::Step step = FrameDecoder::Step::kNeedMore;
  bool looked_behind = false;
  // A device may pause after DLE: until the frame's first byte has come, the
  // wait for it may take what is left of the frame's time. Once the frame has
  // begun, a silence of the interval ends it.
  bool begun = false;
  while (true) {
    if (step == FrameDecoder::Step::kNeedMore) {
      // Read exactly what the frame still needs, so that a frame ends when
      // its length field says so instead of after a further silence.
      const size_t wanted = std::min(decoder.BytesWanted(), buffer.size());
      if (wanted == 0) {
        step = decoder.EndOfInput();
        continue;
      }
      const int64_t left = std::max<int64_t>(0, body_end - clock_.NowMs());
      const int64_t first_byte_ms = begun ? std::min(kReadIntervalMs, left) : left;
      const IoResult got = platform::ReadTimed(*port_, clock_, buffer.data(), wanted,
                                               ReadTimeouts{first_byte_ms, kReadIntervalMs, left});
      if (got.count > 0) begun = true;
      for (size_t i = 0; i < got.count; ++i) step = decoder.Push(buffer[i]);
      if (got.status != IoStatus::kOk && step == FrameDecoder::Step::kNeedMore) step = decoder.EndOfInput();
      continue;
    }
    if (decoder.AtAnnouncedLength() && !looked_behind) {
      // Bytes that have already arrived behind a frame of the announced
      // length make it too long.
      looked_behind = true;
      const IoResult extra = port_->ReadSome(buffer.data(), buffer.size(), 0);
      for (size_t i = 0; i < extra.count; ++i) step = decoder.Push(buffer[i]);
      continue;
    }
    break;
  }

  if (port_->TakeReceiveError()) {
    Error(kParityText);
    reply.status = kReplyParityError;
    return reply.status;
  }
  if (step == FrameDecoder::Step::kDataFrame) {
    reply.data = decoder.data();
    TraceBytes(kReceivedLabel, reply.data.data(), reply.data.size());
    reply.status = kReplyOk;
    return reply.status;
  }
  switch (decoder.error()) {
    case FrameError::kNoStx:
      Error(kNoStxText);
      reply.status = kReplyFramingError;
      break;
    case FrameError::kNoEtx:
      Error(kNoEtxText);
      reply.status = kReplyFramingError;
      break;
    case FrameError::kBadBcc:
      Error(kBccText);
      reply.status = kReplyBccError;
      break;
    case FrameError::kNone:
    case FrameError::kUnknownFirstByte:
    case FrameError::kTooShort:
    case FrameError::kBadLength:
    case FrameError::kTooLong:
      Error(kFramingText);
      reply.status = kReplyFramingError;
      break;
  }
  return reply.status;
}

// ---------------------------------------------------------------------------
// Follow-up reads

void SerialLink::RunFollowUps(DeviceReply& reply, bool suppress, bool alternative_bell_rule) {
  const bool krt07_family = IsKrt07Family(Model());
  switch (reply.answerByte) {
    case kBel:
      if (suppress) break;
      reply.errorCode = krt07_family ? ReadKrt07ErrorCode(alternative_bell_rule ? Krt07Rule::kB : Krt07Rule::kC)
                                     : ReadKrt03ErrorCode();
      reply.errorFlag = reply.errorCode != 0 ? 1 : 0;
      break;
    case kDc3:
      if (suppress || !krt07_family) break;
      reply.errorCode = ReadKrt07ErrorCode(Krt07Rule::kA);
      reply.errorFlag = reply.errorCode != 0 ? 1 : 0;
      break;
    case kCan:
      if (suppress) break;
      reply.cancelled = 1;
      reply.cancelDetail = ReadErrorNumber().Value();
      if (reply.cancelDetail == 0) reply.cancelDetail = ReadErrorNumber().Value();
      if (reply.cancelDetail == 0 && krt07_family) reply.cancelDetail = ReadKrt07ErrorCode(Krt07Rule::kC);
      break;
    case kEm:
      // "Not possible now" needs no read: it is known from the byte alone.
      if (krt07_family) {
        reply.errorFlag = 1;
        reply.errorCode = 201;
      }
      break;
    default:
      break;
  }
}

bool SerialLink::ReadRecord(std::span<const uint8_t> command, int length, DeviceReply& reply) {
  if (SendFrame(command) != kReplyOk) return false;
  const ReceiveStatus status = ReceiveAnswer(reply, kRecordTimeoutMs, true, false);
  return status == kReplyOk && length > 0 && reply.answerByte == 0 && reply.length() == length;
}

ErrorNumberRead SerialLink::ReadErrorNumber() {
  clock_.SleepMs(kErrorNumberDelayMs);
  const ModelCode model = Model();
  DeviceReply reply;
  if (!ReadRecord(StatusCommand(model).bytes, StatusRecordLength(model), reply)) return {.unreadable = true};
  const std::vector<uint8_t>& d = reply.data;
  if (d[1] != '1') return {};
  return {.number = ((d[3] & 0x0F) << 12) | ((d[4] & 0x0F) << 8) | ((d[5] & 0x0F) << 4) | (d[6] & 0x0F)};
}

int SerialLink::ReadKrt03ErrorCode() {
  if (Model() != ModelCode::kKrt03) return 0;
  DeviceReply reply;
  if (!ReadRecord(StatusCommand(ModelCode::kKrt03).bytes, StatusRecordLength(ModelCode::kKrt03), reply)) return 0;
  const std::vector<uint8_t>& d = reply.data;
  if (d[47] & 0x02) return 207;
  if (d[45] & 0x02) return 202;
  if (d[47] & 0x04) return 206;
  if (d[43] & 0x04) return 205;
  if (d[21] & 0x08) return 204;
  if (d[45] & 0x04) return 203;
  return 0;
}

int32_t SerialLink::ReadKrt07ErrorCode(Krt07Rule rule) {
  const ModelCode model = Model();
  if (!IsKrt07Family(model)) return 0;
  DeviceReply reply;
  if (!ReadRecord(StatusCommand(model).bytes, StatusRecordLength(model), reply)) return 0;
  const std::vector<uint8_t>& d = reply.data;
  const int a = DigitValue(d[7]);
  const int b = DigitValue(d[8]);
  const uint8_t x = d[44];
  const uint8_t y = d[45];
  const uint8_t s = d[43];

  const bool stopped = d[1] == '1';
  const bool c232 = (a & 0x01) || (b & 0x03);
  const bool c234 = (x & 0x04) || (y & 0x04);
  const bool c241 = (a & 0x08) != 0;
  const bool c235 = (s & 0x04) != 0;
  const bool c236 = (s & 0x08) != 0;
  const bool c239 = x != '0' || y != '0';
  const bool c233 = (a & 0x04) || (b & 0x04);

  switch (rule) {
    case Krt07Rule::kA:
      if (c234) return 234;
      if (c241) return 241;
      if (c235) return 235;
      if (c236) return 236;
      if (c239) return 239;
      return 0;
    case Krt07Rule::kB:
      if (stopped) return 238;
      if (c234) return 234;
      if (c241) return 241;
      if (c235) return 235;
      if (c236) return 236;
      if (c239) return 239;
      if (c233) return 233;
      if (c232) return 232;
      return 231;
    case Krt07Rule::kC:
      if (stopped) return 238;
      if (c232) return 232;
      if (c234) return 234;
      if (c241) return 241;
      if (c235) return 235;
      if (c236) return 236;
      if (c239) return 239;
      if (c233) return 233;
      return 231;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Model detection

void SerialLink::SetModel(int32_t code) {
  switch (code) {
    case static_cast<int32_t>(ModelCode::kUnknown):
    case static_cast<int32_t>(ModelCode::kKrt02):
    case static_cast<int32_t>(ModelCode::kKrt03):
    case static_cast<int32_t>(ModelCode::kKrt07):
    case static_cast<int32_t>(ModelCode::kKrt77):
      model_ = code;
      break;
    default:
      break;
  }
}

SerialLink::ByteAnswer SerialLink::Exchange(std::span<const uint8_t> command, int timeout_ms) {
  ByteAnswer answer;
  answer.status = SendFrame(command);
  if (answer.status != kReplyOk) return answer;
  DeviceReply reply;
  answer.status = ReceiveAnswer(reply, timeout_ms, false, false);
  if (answer.status == kReplyOk) answer.byte = static_cast<uint8_t>(reply.answerByte);
  return answer;
}

ModelNameRead SerialLink::ReadModelName() {
  const DeviceCommand command = ModelNameCommand();
  DeviceReply reply;
  ModelNameRead read;
  read.status = SendFrame(command.bytes);
  if (read.status == kReplyOk) read.status = ReceiveAnswer(reply, command.timeout_ms, false, false);
  if (read.status == kReplyOk && reply.answerByte == 0) {
    if (const std::optional<ModelName> name = ParseModelName(reply.data)) read.name = *name;
  }
  SetModel(static_cast<int32_t>(read.name.model));
  return read;
}

ModelDetection SerialLink::DetectModel(const AbandonCheck& abandon) {
  ModelDetection detection;
  const auto failed = [&detection] {
    detection.outcome = ModelDetection::Outcome::kFailed;
    return detection;
  };
  const auto ready = [&detection] {
    detection.outcome = ModelDetection::Outcome::kReady;
    return detection;
  };
  // Looked at before every attempt (a reopen and read, or a command): the
  // detection then ends between two exchanges, never inside one. The
  // reopen that follows an accepted speed change is not an attempt: the
  // port follows the device there at once.
  const auto abandoned = [&abandon] { return abandon && abandon(); };
  const auto abandon_detection = [&detection] {
    detection.outcome = ModelDetection::Outcome::kAbandoned;
    return detection;
  };
  if (abandoned()) return abandon_detection();
  Info(kReadAt9600Data8);
  ReadModelName();
  if (Model() == ModelCode::kKrt07) {
    Info(kFoundKrt07);
    return ready();
  }
  if (Model() == ModelCode::kKrt77) {
    Info(kFoundKrt77);
    return ready();
  }

  if (abandoned()) return abandon_detection();
  Info(kReopenAt2400Data7);
  if (Reopen(kLine2400Data7, detection) != 0) return failed();
  Info(kReadAt2400Data7);
  Krt02Mode mode = ReadModelName().name.mode;

  if (mode != Krt02Mode::kNone) {
    // A KRT02 at 2400 bit/s: move it to 9600 bit/s first.
    Info(mode == Krt02Mode::kA ? kFoundKrt02ModeA : kFoundKrt02ModeB);
    if (abandoned()) return abandon_detection();
    Info(kSpeedChangeStart);
    if (!Exchange(LineSpeedCommand(LineSpeed::kNormal).bytes, kSpeedChangeTimeoutMs).Is(kAck)) return failed();
    clock_.SleepMs(kAfterSpeedChangeMs);
    Info(kReopenAt9600Data7);
    if (Reopen(kLine9600Data7, detection) != 0) return failed();
  } else {
    // Only the read at 9600 bit/s with 7 data bits decides (a KRT03 may also
    // have answered at 2400 bit/s).
    if (abandoned()) return abandon_detection();
    Info(kReopenAt9600Data7);
    if (Reopen(kLine9600Data7, detection) != 0) return failed();
    Info(kReadAt9600Data7);
    mode = ReadModelName().name.mode;
    switch (Model()) {
      case ModelCode::kKrt03:
        Info(kFoundKrt03);
        return ready();
      case ModelCode::kKrt02:
        if (mode == Krt02Mode::kNone) {
          Error(kKrt02ModeUnknown);
          return failed();
        }
        Info(mode == Krt02Mode::kA ? kFoundKrt02ModeA : kFoundKrt02ModeB);
        break;
      case ModelCode::kUnknown:
        // Nothing answered on the usual lines: perhaps a KRT07/KRT77 that a
        // program download left at 115200 bit/s.
        return DetectOnFastLine(detection, abandon);
      case ModelCode::kKrt07:
      case ModelCode::kKrt77:
        return failed();
    }
  }

  if (mode == Krt02Mode::kA) return ready();
  if (abandoned()) return abandon_detection();
  const ByteAnswer answer = Exchange(Krt02ModeACommand().bytes, kSpeedChangeTimeoutMs);
  if (answer.Is(kAck)) {
    clock_.SleepMs(kAfterSpeedChangeMs);
    Info(kModeAChanged);
    return ready();
  }
  Error(kModeAChangeFailed);
  // A data frame has no answer byte (0), and a receive failure no byte at
  // all: the change failed either way and must not read as success.
  if (answer.status != kReplyOk || answer.byte == 0) return failed();
  detection.outcome = ModelDetection::Outcome::kModeChangeRefused;
  detection.refused_answer = answer.byte;
  return detection;
}

ModelDetection SerialLink::DetectOnFastLine(ModelDetection detection, const AbandonCheck& abandon) {
  const auto ended = [&detection](ModelDetection::Outcome outcome) {
    detection.outcome = outcome;
    return detection;
  };
  const auto abandoned = [&abandon] { return abandon && abandon(); };
  if (abandoned()) return ended(ModelDetection::Outcome::kAbandoned);
  Info(kReopenAt115200Data8);
  if (Reopen(kLine115200Data8, detection) != 0) return ended(ModelDetection::Outcome::kFailed);
  Info(kReadAt115200Data8);
  ReadModelName();
  if (!IsKrt07Family(Model())) return ended(ModelDetection::Outcome::kFailed);

  // Back to 9600 bit/s as a finished download would have left it: the
  // device would otherwise stay out of reach of every later claim.
  Info(kLeftAtFastLine);
  if (abandoned()) return ended(ModelDetection::Outcome::kAbandoned);
  if (!Exchange(LineSpeedCommand(LineSpeed::kNormal).bytes, kSpeedChangeTimeoutMs).Is(kAck)) {
    Error(kFastLineNotLeft);
    return ended(ModelDetection::Outcome::kFailed);
  }
  clock_.SleepMs(kAfterSpeedChangeMs);
  Info(kReopenAt9600Data8);
  if (Reopen(kLine9600Data8, detection) != 0) return ended(ModelDetection::Outcome::kFailed);
  // Only a read on the line it now listens on decides.
  if (abandoned()) return ended(ModelDetection::Outcome::kAbandoned);
  Info(kReadAt9600Data8);
  ReadModelName();
  if (Model() == ModelCode::kKrt07) {
    Info(kFoundKrt07);
    return ended(ModelDetection::Outcome::kReady);
  }
  if (Model() == ModelCode::kKrt77) {
    Info(kFoundKrt77);
    return ended(ModelDetection::Outcome::kReady);
  }
  return ended(ModelDetection::Outcome::kFailed);
}

SpeedSwitch SerialLink::SwitchLineSpeed(LineSpeed speed) {
  const bool fast = speed == LineSpeed::kFast;
  if (!Exchange(LineSpeedCommand(speed).bytes, kSpeedChangeTimeoutMs).Is(kAck)) return SpeedSwitch::kRefused;
  clock_.SleepMs(kAfterSpeedChangeMs);
  Info(fast ? kReopenAt115200Data8 : kReopenAt9600Data8);
  if (ReopenPort(fast ? kLine115200Data8 : kLine9600Data8) != 0) return SpeedSwitch::kRefused;
  return SpeedSwitch::kSwitched;
}

// ---------------------------------------------------------------------------
// Trace

void SerialLink::TraceBytes(std::string_view label, const uint8_t* bytes, size_t count) {
  if (count == 0 || !trace_.Accepts(diag::kLevelInfo)) return;
  trace_.Write(diag::kLevelInfo, diag::kTagInfo, " <" + std::string(label) + ">");
  trace_.Dump(diag::kLevelInfo, bytes, static_cast<int>(count));
}

void SerialLink::Info(std::string_view message) { trace_.Write(diag::kLevelInfo, diag::kTagInfo, message); }

void SerialLink::Error(std::string_view message) { trace_.Write(diag::kLevelError, diag::kTagError, message); }

}  // namespace vexokrt::link

namespace vexokrt {

std::unique_ptr<LineExchange> MakeSerialLine(diag::TraceLog& trace, std::string port_name, std::string line_settings,
                                             platform::Clock& clock) {
  return std::make_unique<link::SerialLink>(trace, std::move(port_name), std::move(line_settings),
                                            link::SerialLink::PortOpener{}, clock);
}

}  // namespace vexokrt
