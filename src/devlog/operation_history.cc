// SPDX-License-Identifier: Apache-2.0
#include "devlog/operation_history.h"

#include <optional>

namespace vexokrt::devlog {
namespace {

constexpr HistoryGeometry kKrt02Geometry{1705, 68, 0x41AE6C, 0x41AE68, kHexTextMemoryRead, true};
constexpr HistoryGeometry kKrt07Geometry{6000, 84, 0x1005604, 0x1005600, kRawMemoryRead, false};

constexpr uint32_t kOverwriteLimit = 0xFFFF;
constexpr uint8_t kUndatedA = 0x41;
constexpr uint8_t kUndatedB = 0x42;
constexpr size_t kUndatedCheckA = 66;
constexpr size_t kUndatedCheckB = 67;

uint8_t RecordMark(ModelCode model) {
  switch (model) {
    case ModelCode::kKrt07:
      return 101;
    case ModelCode::kKrt77:
      return 103;
    case ModelCode::kKrt02:
    case ModelCode::kKrt03:
    case ModelCode::kUnknown:
      return 100;
  }
  return 100;
}

bool IsUndated(uint8_t first) { return first == kUndatedA || first == kUndatedB; }

struct DateField {
  int low;
  int high;
};
constexpr DateField kDateFields[5] = {{1, 12}, {1, 31}, {0, 23}, {0, 59}, {0, 59}};

void StorePosition(const DeviceLogContext& context, HistoryPosition position) {
  // A value store that cannot be written must not stop the copy: the worst
  // outcome is copying a record again after a restart.
  context.values->WriteDword(kStoringPointer, position.pointer);
  context.values->WriteDword(kOverwriteTimes, position.overwrites);
}

std::optional<HistoryPosition> StoredPosition(const DeviceLogContext& context, uint32_t records) {
  const auto pointer = context.values->ReadDword(kStoringPointer);
  const auto overwrites = context.values->ReadDword(kOverwriteTimes);
  if (!pointer || !overwrites) return std::nullopt;
  // A pointer past the ring cannot come from this copy; taking it would read
  // beyond the ring and never wrap.
  if (*pointer > records) return std::nullopt;
  return HistoryPosition{*pointer, *overwrites};
}

// Copies the record at |stored|. Returns 0 when done or skipped, else the
// receive status (the caller then keeps the position).
int32_t CopyRecord(ModelCode model, const HistoryGeometry& geometry, uint32_t pointer, MemoryReadExchange& exchange,
                   const DeviceLogContext& context) {
  const bool krt07 = IsKrt07Family(model);
  if (krt07) {
    context.Info("動作履歴取得開始");
    if (pointer == geometry.records) context.Info("動作履歴取得　ポインタ０リセット");
  }

  const int32_t answer_length = geometry.hex_text ? 2 * geometry.record_bytes : geometry.record_bytes;
  const DeviceReply reply =
      exchange.Exchange(MemoryReadCommand(geometry.read_command, HistoryRecordAddress(geometry, pointer),
                                          static_cast<uint8_t>(geometry.record_bytes)),
                        kHistoryRecordTimeoutMs);
  const int32_t outcome = ReadOutcome(reply, answer_length);
  if (outcome != 0) {
    if (krt07) {
      context.Info(
          Format("メモリリード３（動作履歴取得）エラー エラーと電文長 = %d, %d", StatusNumber(reply.status), reply.length()));
    }
    // A wrong length is the device's answer, not a line failure: the record
    // is passed over like one with a bad date.
    return outcome == kWrongAnswerLength ? 0 : outcome;
  }

  const HistoryRecord record = ParseHistoryRecord(model, reply.data);
  for (const std::string& note : record.notes) context.Info(note);
  if (!record.valid) {
    if (krt07) context.Error("動作履歴取得 日付が不正");
    return 0;
  }
  if (krt07) context.Info("動作履歴取得　メモリリード３(1)成功");

  const bool undated = IsUndated(record.bytes[0]);
  const std::string name = undated ? context.values->ReadText(kLastOperationHistory).value_or("")
                                   : HistoryFileName(context.settings.operation_history, context.Now().tm_year % 100,
                                                     record.bytes[0], record.bytes[1]);
  if (!StaysInFolder(name)) {
    context.Error(Format("動作履歴取得 ファイル名がログフォルダ外を指すか空のため書き込みません = %s", name.c_str()));
    return 0;
  }

  const LogFolder folder = context.Folder();
  // A name with a sub-folder ("hist/%y%m%d.csv") gets its sub-folder.
  folder.MakeSubFoldersOf(name);
  const bool room_short = folder.RoomIsShort(kHistoryRoomThreshold);
  const std::string path = folder.PathOf(name);
  std::string error;
  if (!AppendToFile(path, FormatHistoryLine(record.bytes) + "\r\n", &error)) {
    context.Error(Format("動作履歴ファイルに書き込めません = %s", error.c_str()));
  } else if (room_short) {
    // Room is made once the record is safe, never from the file just written.
    folder.DeleteOldestLogFile(name);
  }
  if (undated) {
    if (krt07) context.Info(Format("動作履歴取得 ファイルオープン(1) = %s", path.c_str()));
  } else {
    context.values->WriteText(kLastOperationHistory, name);
    if (krt07) context.Info(Format("動作履歴取得 ファイルオープン(2) = %s", path.c_str()));
  }
  if (krt07) context.Info("動作履歴取得終了");
  return 0;
}

}  // namespace

const HistoryGeometry& HistoryGeometryFor(ModelCode model) {
  return IsKrt07Family(model) ? kKrt07Geometry : kKrt02Geometry;
}

PositionComparison CompareHistoryPositions(HistoryPosition device, HistoryPosition stored) {
  const uint32_t p = device.pointer, o = device.overwrites;
  const uint32_t r = stored.pointer, c = stored.overwrites;
  if (o < c) return {OverwriteRelation::kBehind, o == 0 && c == kOverwriteLimit && p < r};
  if (o == c) return {OverwriteRelation::kEqual, p > r};
  return {OverwriteRelation::kAhead, o == c + 1 && p < r};
}

HistoryPosition NextHistoryPosition(HistoryPosition stored, uint32_t records) {
  if (stored.pointer == records) {
    return {1, stored.overwrites == kOverwriteLimit ? 0 : stored.overwrites + 1};
  }
  return {stored.pointer + 1, stored.overwrites};
}

uint32_t HistoryRecordAddress(const HistoryGeometry& geometry, uint32_t pointer) {
  const uint32_t index = pointer == geometry.records ? 0 : pointer;
  return geometry.base + index * static_cast<uint32_t>(geometry.record_bytes);
}

HistoryRecord ParseHistoryRecord(ModelCode model, std::span<const uint8_t> answer) {
  const HistoryGeometry& geometry = HistoryGeometryFor(model);
  HistoryRecord record;
  record.bytes = geometry.hex_text ? DecodeHexText(answer) : std::vector<uint8_t>(answer.begin(), answer.end());
  if (record.bytes.size() < static_cast<size_t>(geometry.record_bytes)) return record;
  const bool krt07 = IsKrt07Family(model);
  const auto& d = record.bytes;

  if (IsUndated(d[0])) {
    record.valid = d[kUndatedCheckA] == 0 && d[kUndatedCheckB] == 0;
    if (krt07) record.notes.push_back(record.valid ? "処理終了1" : "処理終了2");
    return record;
  }

  bool valid = true;
  bool digits_ok[5];
  for (int i = 0; i < 5; ++i) {
    const uint8_t b = d[static_cast<size_t>(i)];
    if (geometry.hex_text) {
      const uint8_t high = answer[static_cast<size_t>(2 * i)], low = answer[static_cast<size_t>(2 * i + 1)];
      digits_ok[i] = high >= '0' && high <= '9' && low >= '0' && low <= '9';
    } else {
      digits_ok[i] = (b >> 4) <= 9 && (b & 0x0F) <= 9;
    }
    if (!digits_ok[i]) {
      valid = false;
      if (krt07) record.notes.push_back(Format("日付チェックエラー%d = %d, %d", 4 + i, b, i));
    }
  }
  for (int i = 0; i < 5; ++i) {
    if (!digits_ok[i]) continue;
    const uint8_t b = d[static_cast<size_t>(i)];
    const int value = (b >> 4) * 10 + (b & 0x0F);
    if (value < kDateFields[i].low || value > kDateFields[i].high) {
      valid = false;
      if (krt07) record.notes.push_back(Format("日付チェックエラー%d = %d", 10 + i, value));
    }
  }
  if (d[5] != RecordMark(model)) {
    valid = false;
    if (krt07) record.notes.push_back(Format("日付チェックエラー15 = %d", d[5]));
  }
  record.valid = valid;
  return record;
}

std::string FormatHistoryLine(std::span<const uint8_t> bytes) {
  std::string line;
  line.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) line += ',';
    line += Format("%02X", bytes[i]);
  }
  return line;
}

std::string HistoryFileName(std::string_view pattern, int year, uint8_t month_byte, uint8_t day_byte) {
  std::string name;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      const char code = pattern[i + 1];
      if (code == 'y') {
        name += Format("%02d", ((year % 100) + 100) % 100);
        ++i;
        continue;
      }
      if (code == 'm' || code == 'd') {
        name += Format("%02X", code == 'm' ? month_byte : day_byte);
        ++i;
        continue;
      }
    }
    name += pattern[i];
  }
  return name;
}

int32_t OperationHistoryStep(ModelCode model, MemoryReadExchange& exchange, const DeviceLogContext& context,
                             const AbandonCheck& abandon) {
  const bool krt07 = IsKrt07Family(model);
  const HistoryGeometry& geometry = HistoryGeometryFor(model);

  context.Info("動作ログ取得開始");
  if (context.settings.operation_history.empty()) {
    context.Info("動作ログ取得　動作ログファイル名が空");
    return 0;
  }

  // Where the device stands.
  context.Info(krt07 ? "動作ログ取得　格納ポインタと上書き回数を取得します。(KRT07/KRT77)"
                     : "動作ログ取得　格納ポインタと上書き回数を取得します。");
  const DeviceReply reply = exchange.Exchange(MemoryReadCommand(geometry.read_command, geometry.pointer_address, 4),
                                              kHistoryPointerTimeoutMs);
  const int32_t outcome = ReadOutcome(reply, geometry.hex_text ? 8 : 4);
  if (outcome != 0) {
    context.Exam(6, 1, 0, 0);
    if (krt07) {
      context.Info(
          Format("メモリリード３(ポインタ取得）エラー　エラーコードとデータ長 = %d, %d", StatusNumber(reply.status), reply.length()));
      if (outcome == kWrongAnswerLength) context.Info("格納ポインタ、上書き回数失敗 RASモードとする。");
    }
    return outcome;
  }
  if (krt07) context.Info("格納ポインタ、上書き回数取得成功");
  const auto& a = reply.data;
  const HistoryPosition device =
      geometry.hex_text
          ? HistoryPosition{DecodeHexDigits(std::span(a).first(4)), DecodeHexDigits(std::span(a).subspan(4, 4))}
          : HistoryPosition{uint32_t{a[0]} << 8 | a[1], uint32_t{a[2]} << 8 | a[3]};
  context.Info(Format("動作ログ取得　取得した格納ポインタと上書き回数 = %d, %d", static_cast<int>(device.pointer),
                      static_cast<int>(device.overwrites)));

  // A device that has never written a record.
  if (device.pointer == 0 && device.overwrites == 0) {
    StorePosition(context, device);
    context.Info("動作ログ取得 釣銭機が初期状態のため、レジストリに保存して終了");
    return 0;
  }

  // Where this copy stands.
  const std::optional<HistoryPosition> stored = StoredPosition(context, geometry.records);
  if (!stored) {
    StorePosition(context, device);
    context.Info("動作ログ取得 格納ポインタと上書き回数取得失敗のため、レジストリに保存して終了");
    return 0;
  }
  context.Info(Format("動作ログ取得　格納ポインタと上書き回数を取得 = %d, %d", static_cast<int>(stored->pointer),
                      static_cast<int>(stored->overwrites)));
  if (device == *stored) {
    context.Info("動作ログ取得 ポインタが同一のため終了");
    return 0;
  }

  // Is the stored record one the device has written since?
  context.Info("動作ログ取得 ポインタ比較開始");
  const PositionComparison comparison = CompareHistoryPositions(device, *stored);
  switch (comparison.relation) {
    case OverwriteRelation::kBehind:
      context.Info("動作ログ取得 OverwriteTimesC < OverwriteTimesR");
      break;
    case OverwriteRelation::kEqual:
      context.Info("動作ログ取得 OverwriteTimesC = OverwriteTimesR");
      break;
    case OverwriteRelation::kAhead:
      context.Info("動作ログ取得 OverwriteTimesC = (OverwriteTimesR + 1) ・・・");
      break;
  }
  if (!comparison.next_record_is_new) {
    StorePosition(context, device);
    context.Info("動作ログ取得 ずれがあるためポインタ格納");
    return 0;
  }

  // The record read is the step's long one (3000 ms): not begun when the
  // watch is to pause. Nothing is stored, so the record is still new then.
  if (abandon && abandon()) return 0;

  // Copy it and move on.
  context.Info("動作ログ取得 動作履歴ログ記録開始");
  context.Info(krt07 ? "動作ログ取得 動作履歴ログ記録開始（KRT-07/77)"
                     : "動作ログ取得 動作履歴ログ記録開始（KRT-07/77以外)");
  const int32_t copied = CopyRecord(model, geometry, stored->pointer, exchange, context);
  if (copied != 0) {
    context.Info("動作ログ取得 動作履歴ログ記録取得エラー");
    return copied;
  }
  context.Info(krt07 ? "動作ログ取得 リングバッファ確認(KRT-07/KRT-77)" : "動作ログ取得 リングバッファ確認");
  StorePosition(context, NextHistoryPosition(*stored, geometry.records));
  context.Info("動作ログ取得 完了");
  return 0;
}

}  // namespace vexokrt::devlog
