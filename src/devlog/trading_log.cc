// SPDX-License-Identifier: Apache-2.0
#include "devlog/trading_log.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>

#include "platform/codepage.h"

namespace vexokrt::devlog {
namespace {

// clang-format off
constexpr std::array<TradingLogField, 115> kKrt07Layout{{
    {0, "ﾛｸﾞ開始年月日,"},
    {4, "通電時間(H),"},
    {8, "電源投入回数,"},
    {12, "ﾘｾｯﾄ回数,"},
    {16, "ｺﾝﾄﾛｰﾗ入金回数,"},
    {20, "硬貨入金回数,"},
    {24, "紙幣入金回数,"},
    {28, "入金動作中ﾌﾙ発生回数(紙幣収納庫),"},
    {32, "入金動作中ﾌﾙ発生回数(     500円),"},
    {36, "入金動作中ﾌﾙ発生回数(     100円),"},
    {40, "入金動作中ﾌﾙ発生回数(      50円),"},
    {44, "入金動作中ﾌﾙ発生回数(      10円),"},
    {48, "入金動作中ﾌﾙ発生回数(       5円),"},
    {52, "入金動作中ﾌﾙ発生回数(       1円),"},
    {56, "回収途中終了回数,"},
    {60, "一部回収途中終了回数,"},
    {64, "ﾌﾙ放出途中終了回数,"},
    {68, "金額出金回数(金額:    ～ 999円),"},
    {72, "金額出金回数(金額:1000～1999円),"},
    {76, "金額出金回数(金額:2000～2999円),"},
    {80, "金額出金回数(金額:3000～3999円),"},
    {84, "金額出金回数(金額:4000～4999円),"},
    {88, "金額出金回数(金額:5000～5999円),"},
    {92, "金額出金回数(金額:6000～6999円),"},
    {96, "金額出金回数(金額:7000～7999円),"},
    {100, "金額出金回数(金額:8000～8999円),"},
    {104, "金額出金回数(金額:9000～9999円),"},
    {108, "金額出金回数(金額:10000円～   ),"},
    {112, "枚数出金回数,"},
    {116, "紙幣回収回数(全金種),"},
    {120, "紙幣回収回数(１万円),"},
    {124, "紙幣回収回数(５千円),"},
    {128, "紙幣回収回数(２千円),"},
    {132, "紙幣回収回数(１千円),"},
    {136, "硬貨回収回数(全金種),"},
    {140, "硬貨回収回数( 500円),"},
    {144, "硬貨回収回数( 100円),"},
    {148, "硬貨回収回数(  50円),"},
    {152, "硬貨回収回数(  10円),"},
    {156, "硬貨回収回数(   5円),"},
    {160, "硬貨回収回数(   1円),"},
    {164, "回収庫抜取回数(紙幣),"},
    {172, "硬貨ﾌﾙ放出回数,"},
    {176, "硬貨精査回数,"},
    {180, "硬貨一部回収(枚数指定)回数,"},
    {184, "硬貨一部回収(金額指定)回数,"},
    {188, "紙幣一部回収(枚数指定)回数,"},
    {192, "紙幣一部回収(金額指定)回数,"},
    {196, "紙幣精査回数,"},
    {200, "入金中出金回数,"},
    {208, "入金枚数(    １万円),"},
    {212, "入金枚数(    ５千円),"},
    {216, "入金枚数(    ２千円),"},
    {220, "入金枚数(    １千円),"},
    {224, "入金枚数(     500円),"},
    {228, "入金枚数(     100円),"},
    {232, "入金枚数(      50円),"},
    {236, "入金枚数(      10円),"},
    {240, "入金枚数(       5円),"},
    {244, "入金枚数(       1円),"},
    {252, "出金枚数(    １万円),"},
    {256, "出金枚数(    ５千円),"},
    {260, "出金枚数(    ２千円),"},
    {264, "出金枚数(    １千円),"},
    {268, "出金枚数(     500円),"},
    {272, "出金枚数(     100円),"},
    {276, "出金枚数(      50円),"},
    {280, "出金枚数(      10円),"},
    {284, "出金枚数(       5円),"},
    {288, "出金枚数(       1円),"},
    {292, "回収枚数(  判読不能),"},
    {296, "回収枚数(    １万円),"},
    {300, "回収枚数(    ５千円),"},
    {304, "回収枚数(    ２千円),"},
    {308, "回収枚数(    １千円),"},
    {312, "回収枚数(     500円),"},
    {316, "回収枚数(     100円),"},
    {320, "回収枚数(      50円),"},
    {324, "回収枚数(      10円),"},
    {328, "回収枚数(       5円),"},
    {332, "回収枚数(       1円),"},
    {336, "硬貨ﾌﾙ放出枚数(500円),"},
    {340, "硬貨ﾌﾙ放出枚数(100円),"},
    {344, "硬貨ﾌﾙ放出枚数( 50円),"},
    {348, "硬貨ﾌﾙ放出枚数( 10円),"},
    {352, "硬貨ﾌﾙ放出枚数(  5円),"},
    {356, "硬貨ﾌﾙ放出枚数(  1円),"},
    {360, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(500円),"},
    {364, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(100円),"},
    {368, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数( 50円),"},
    {372, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数( 10円),"},
    {376, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(  5円),"},
    {380, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(  1円),"},
    {384, "精査時回収枚数(判読不能),"},
    {388, "精査時回収枚数(  １万円),"},
    {392, "精査時回収枚数(  ５千円),"},
    {396, "精査時回収枚数(  ２千円),"},
    {400, "入金ﾘｼﾞｪｸﾄ回数,"},
    {412, "補充回数(補充ｺﾏﾝﾄﾞまたはﾊﾟﾈﾙ指示),"},
    {416, "補充取り込み枚数(５千円),"},
    {420, "補充取り込み枚数(２千円),"},
    {424, "補充取り込み枚数(１千円),"},
    {440, "補充時１万円回収枚数,"},
    {444, "紙幣ﾌﾙ回収回数,"},
    {448, "紙幣ﾌﾙ回収枚数,"},
    {452, "紙幣ﾌﾙ回収枚数(１万円),"},
    {456, "紙幣ﾌﾙ回収枚数(５千円),"},
    {460, "紙幣ﾌﾙ回収枚数(２千円),"},
    {464, "紙幣ﾌﾙ放出枚数(１千円),"},
    {488, "ｺﾝﾄﾛｰﾗｿﾌﾄ版数,"},
    {492, "硬貨制御部版数,"},
    {496, "紙幣部ｿﾌﾄ版数,"},
    {500, "紙幣出金判別部ﾓｼﾞｭｰﾙ版数,"},
    {504, "紙幣搬送ｾﾝｻCPU版数,"},
    {508, "硬貨検銭部版数,"},
}};
// clang-format on

// clang-format off
constexpr std::array<TradingLogField, 128> kKrt02Layout{{
    {0, "ﾛｸﾞ開始年月日,"},
    {4, "通電時間(H),"},
    {8, "電源投入回数,"},
    {12, "ﾘｾｯﾄ回数,"},
    {16, "硬貨入金回数,"},
    {20, "紙幣入金回数,"},
    {24, "紙幣束入金回数,"},
    {28, "入金動作中ﾌﾙ発生回数(紙幣収納庫),"},
    {32, "入金動作中ﾌﾙ発生回数(     500円),"},
    {36, "入金動作中ﾌﾙ発生回数(     100円),"},
    {40, "入金動作中ﾌﾙ発生回数(      50円),"},
    {44, "入金動作中ﾌﾙ発生回数(      10円),"},
    {48, "入金動作中ﾌﾙ発生回数(       5円),"},
    {52, "入金動作中ﾌﾙ発生回数(       1円),"},
    {56, "回収途中終了回数,"},
    {60, "一部回収途中終了回数,"},
    {64, "ﾌﾙ放出途中終了回数,"},
    {68, "金額出金回数(金額:    ～ 999円),"},
    {72, "金額出金回数(金額:1000～1999円),"},
    {76, "金額出金回数(金額:2000～2999円),"},
    {80, "金額出金回数(金額:3000～3999円),"},
    {84, "金額出金回数(金額:4000～4999円),"},
    {88, "金額出金回数(金額:5000～5999円),"},
    {92, "金額出金回数(金額:6000～6999円),"},
    {96, "金額出金回数(金額:7000～7999円),"},
    {100, "金額出金回数(金額:8000～8999円),"},
    {104, "金額出金回数(金額:9000～9999円),"},
    {108, "金額出金回数(金額:10000円～   ),"},
    {112, "枚数出金回数,"},
    {116, "紙幣回収回数(全金種),"},
    {120, "紙幣回収回数(１万円),"},
    {124, "紙幣回収回数(５千円),"},
    {128, "紙幣回収回数(２千円),"},
    {132, "紙幣回収回数(１千円),"},
    {136, "硬貨回収回数(全金種),"},
    {140, "硬貨回収回数( 500円),"},
    {144, "硬貨回収回数( 100円),"},
    {148, "硬貨回収回数(  50円),"},
    {152, "硬貨回収回数(  10円),"},
    {156, "硬貨回収回数(   5円),"},
    {160, "硬貨回収回数(   1円),"},
    {164, "回収庫抜取回数(紙幣),"},
    {168, "ｵｰﾊﾞｰﾌﾛｰ庫抜取回数(硬貨),"},
    {172, "硬貨ﾌﾙ放出回数,"},
    {176, "硬貨自動ｵｰﾊﾞｰﾌﾛｰ回数,"},
    {180, "硬貨一部回収(枚数指定)回数,"},
    {184, "硬貨一部回収(金額指定)回数,"},
    {188, "紙幣一部回収(枚数指定)回数,"},
    {192, "紙幣一部回収(金額指定)回数,"},
    {196, "紙幣精査回数,"},
    {200, "入金中出金回数,"},
    {204, "入金枚数(紙幣束入金),"},
    {208, "入金枚数(    １万円),"},
    {212, "入金枚数(    ５千円),"},
    {216, "入金枚数(    ２千円),"},
    {220, "入金枚数(    １千円),"},
    {224, "入金枚数(     500円),"},
    {228, "入金枚数(     100円),"},
    {232, "入金枚数(      50円),"},
    {236, "入金枚数(      10円),"},
    {240, "入金枚数(       5円),"},
    {244, "入金枚数(       1円),"},
    {248, "出金枚数(  判読不能),"},
    {252, "出金枚数(    １万円),"},
    {256, "出金枚数(    ５千円),"},
    {260, "出金枚数(    ２千円),"},
    {264, "出金枚数(    １千円),"},
    {268, "出金枚数(     500円),"},
    {272, "出金枚数(     100円),"},
    {276, "出金枚数(      50円),"},
    {280, "出金枚数(      10円),"},
    {284, "出金枚数(       5円),"},
    {288, "出金枚数(       1円),"},
    {292, "回収枚数(  判読不能),"},
    {296, "回収枚数(    １万円),"},
    {300, "回収枚数(    ５千円),"},
    {304, "回収枚数(    ２千円),"},
    {308, "回収枚数(    １千円),"},
    {312, "回収枚数(     500円),"},
    {316, "回収枚数(     100円),"},
    {320, "回収枚数(      50円),"},
    {324, "回収枚数(      10円),"},
    {328, "回収枚数(       5円),"},
    {332, "回収枚数(       1円),"},
    {336, "硬貨ﾌﾙ放出枚数(500円),"},
    {340, "硬貨ﾌﾙ放出枚数(100円),"},
    {344, "硬貨ﾌﾙ放出枚数( 50円),"},
    {348, "硬貨ﾌﾙ放出枚数( 10円),"},
    {352, "硬貨ﾌﾙ放出枚数(  5円),"},
    {356, "硬貨ﾌﾙ放出枚数(  1円),"},
    {360, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(500円),"},
    {364, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(100円),"},
    {368, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数( 50円),"},
    {372, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数( 10円),"},
    {376, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(  5円),"},
    {380, "硬貨ｵｰﾊﾞｰﾌﾛｰ枚数(  1円),"},
    {384, "精査時回収枚数(判読不能),"},
    {388, "精査時回収枚数(  １万円),"},
    {392, "精査時回収枚数(  ５千円),"},
    {396, "精査時回収枚数(  ２千円),"},
    {400, "入金ﾘｼﾞｪｸﾄ回数,"},
    {404, "出金ﾘｼﾞｪｸﾄ回数,"},
    {408, "初期補充回数,"},
    {412, "途中補充回数,"},
    {416, "途中取込回数(５千円),"},
    {420, "途中取込回数(２千円),"},
    {424, "途中取込回数(１千円),"},
    {428, "補充循環回数(５千円),"},
    {432, "補充循環回数(２千円),"},
    {436, "補充循環回数(１千円),"},
    {440, "補充時１万円回収枚数,"},
    {444, "紙幣ﾌﾙ放出回数,"},
    {448, "紙幣ﾌﾙ放出枚数,"},
    {452, "紙幣ﾌﾙ放出枚数(１万円),"},
    {456, "紙幣ﾌﾙ放出枚数(５千円),"},
    {460, "紙幣ﾌﾙ放出枚数(２千円),"},
    {464, "紙幣ﾌﾙ放出枚数(１千円),"},
    {468, "劣化精査紙排出回数,"},
    {472, "劣化精査紙入金検出ﾚﾍﾞﾙ,"},
    {476, "劣化精査紙出金検出ﾚﾍﾞﾙ,"},
    {480, "劣化精査紙正常回数,"},
    {484, "劣化精査紙劣化回数,"},
    {488, "ｺﾝﾄﾛｰﾗｿﾌﾄ版数,"},
    {492, "硬貨部ROM版数,"},
    {496, "紙幣部ROM版数,"},
    {500, "判別部ﾓｼﾞｭｰﾙ版数,"},
    {504, "ﾁｭｰﾌﾞﾛｯｸ回数(入金時),"},
    {508, "ﾁｭｰﾌﾞﾛｯｸ回数(出金時),"},
}};
// clang-format on

// clang-format off
constexpr std::array<TradingBlockRead, 5> kKrt07Reads{{
    {0x1001200, 108, 0},
    {0x100126C, 120, 108},
    {0x10012E4, 120, 228},
    {0x100135C, 120, 348},
    {0x10013D4, 44, 468},
}};
// clang-format on

// clang-format off
constexpr std::array<TradingBlockRead, 5> kKrt02Reads{{
    {0x416D48, 108, 0},
    {0x416DB4, 120, 108},
    {0x416E2C, 120, 228},
    {0x416EA4, 120, 348},
    {0x416F1C, 44, 468},
}};
// clang-format on

// Block offsets of the KRT02/KRT03 program versions, written as characters.
constexpr std::array<int32_t, 4> kKrt02VersionOffsets{488, 492, 496, 500};

int PackedDecimal(uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

int32_t BigEndian32(std::span<const uint8_t> bytes) {
  return static_cast<int32_t>((uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
                              uint32_t{bytes[3]});
}

std::string Decimal(int32_t value) { return std::to_string(value); }

// The local time through the pattern; empty when the pattern is empty or its
// result does not fit.
std::string FormatTimePattern(const std::string& pattern, const std::tm& now) {
  if (pattern.empty()) return {};
  std::array<char, 512> buffer{};
  const size_t n = std::strftime(buffer.data(), buffer.size(), pattern.c_str(), &now);
  return std::string(buffer.data(), n);
}

// Steps shared by both families once the block is in: name, previous file,
// room, LastTradingLog, the file itself.
void ReplaceTradingLogFile(const std::vector<TradingLogLine>& lines, bool trace_steps,
                           const DeviceLogContext& context) {
  const LogFolder folder = context.Folder();
  const std::string name = FormatTimePattern(context.settings.trading_log, context.Now());
  if (name.empty()) {
    context.Info("取引ログ ファイル名が空のため書き込みません");
    return;
  }
  if (!StaysInFolder(name)) {
    context.Error(Format("取引ログ ファイル名がログフォルダ外を指すため書き込みません = %s", name.c_str()));
    return;
  }
  // A name with a sub-folder ("hist/%Y%m%d.txt") gets its sub-folder.
  folder.MakeSubFoldersOf(name);

  const std::string previous = context.values->ReadText(kLastTradingLog).value_or("");
  if (trace_steps) context.Info(Format("過去取引ログ = %s", previous.c_str()));

  // Write first, delete after: the new log is complete on disk before the
  // previous one or the oldest file goes, so a full disk loses nothing.
  const bool room_short = folder.RoomIsShort(kTradingRoomThreshold);
  const std::string path = folder.PathOf(name);
  std::string error;
  if (!ReplaceFile(path, RenderTradingLog(lines), &error)) {
    context.Error(Format("取引ログファイルを書き込めません = %s", error.c_str()));
    return;
  }
  context.values->WriteText(kLastTradingLog, path);
  if (trace_steps) context.Info(Format("過去取引ログをレジストリに保存。ファイル名 = %s", path.c_str()));
  if (trace_steps) context.Info(Format("取引ログファイル名 = %s", path.c_str()));

  if (!previous.empty() && previous != path) {
    // The registry names the file to delete; only ever delete one of ours.
    const std::string previous_name = folder.NameInFolder(previous);
    if (previous_name.empty() || !folder.IsOwnFileName(previous_name)) {
      context.Error(Format("過去取引ログがログフォルダ外のため削除しません = %s", previous.c_str()));
    } else {
      ::unlink(previous.c_str());
    }
  }
  if (room_short) folder.DeleteOldestLogFile(name);
}

}  // namespace

std::span<const TradingLogField> Krt07TradingLayout() { return kKrt07Layout; }
std::span<const TradingLogField> Krt02TradingLayout() { return kKrt02Layout; }
std::span<const TradingBlockRead> Krt07TradingReads() { return kKrt07Reads; }
std::span<const TradingBlockRead> Krt02TradingReads() { return kKrt02Reads; }

std::vector<TradingLogLine> FormatKrt07TradingLog(std::span<const uint8_t> block) {
  std::vector<TradingLogLine> lines;
  if (block.size() < static_cast<size_t>(kTradingBlockBytes)) return lines;
  lines.reserve(kKrt07Layout.size());
  for (const TradingLogField& field : kKrt07Layout) {
    const auto at = block.subspan(static_cast<size_t>(field.offset), 4);
    if (field.offset == 0) {
      // Year in two packed-decimal bytes, then month and day; no leading zeros.
      const int year = PackedDecimal(at[0]) * 100 + PackedDecimal(at[1]);
      lines.push_back(
          {field.label, Decimal(year) + "/" + Decimal(PackedDecimal(at[2])) + "/" + Decimal(PackedDecimal(at[3]))});
    } else {
      lines.push_back({field.label, Decimal(BigEndian32(at))});
    }
  }
  return lines;
}

std::vector<TradingLogLine> FormatKrt02TradingLog(std::span<const uint8_t> text) {
  std::vector<TradingLogLine> lines;
  if (text.size() < static_cast<size_t>(2 * kTradingBlockBytes)) return lines;
  lines.reserve(kKrt02Layout.size());
  for (const TradingLogField& field : kKrt02Layout) {
    const auto at = text.subspan(static_cast<size_t>(2 * field.offset), 8);
    std::string value;
    if (field.offset == 0) {
      // Copied as the device wrote it, so leading zeros stay: yyyy/mm/dd.
      value.assign(at.begin(), at.begin() + 4);
      value += '/';
      value.append(at.begin() + 4, at.begin() + 6);
      value += '/';
      value.append(at.begin() + 6, at.end());
    } else if (std::find(kKrt02VersionOffsets.begin(), kKrt02VersionOffsets.end(), field.offset) !=
               kKrt02VersionOffsets.end()) {
      // Four characters; a zero byte ends the text early.
      for (uint8_t b : DecodeHexText(at)) {
        if (b == 0) break;
        value += static_cast<char>(b);
      }
    } else {
      value = Decimal(static_cast<int32_t>(DecodeHexDigits(at)));
    }
    lines.push_back({field.label, std::move(value)});
  }
  return lines;
}

std::string RenderTradingLog(const std::vector<TradingLogLine>& lines) {
  std::string text;
  for (const TradingLogLine& line : lines) {
    text += platform::Utf8ToCp932(line.label);
    text += line.value;
    text += "\r\n";
  }
  return text;
}

int32_t ReadTradingLog(ModelCode model, MemoryReadExchange& exchange, int32_t timeout_ms,
                       const DeviceLogContext& context, std::vector<TradingLogLine>* lines) {
  const bool raw = IsKrt07Family(model);
  const auto reads = raw ? Krt07TradingReads() : Krt02TradingReads();
  // Raw answers carry the bytes, hex-text answers two characters per byte.
  const int32_t scale = raw ? 1 : 2;

  if (raw) context.Info("取引ログ読み出し開始");
  std::vector<uint8_t> answer;
  answer.reserve(static_cast<size_t>(scale * kTradingBlockBytes));
  int n = 0;
  for (const TradingBlockRead& read : reads) {
    ++n;
    const DeviceReply reply = exchange.Exchange(
        MemoryReadCommand(raw ? kRawMemoryRead : kHexTextMemoryRead, read.address, static_cast<uint8_t>(read.bytes)),
        timeout_ms);
    const int32_t outcome = ReadOutcome(reply, scale * read.bytes);
    if (outcome != 0) return outcome;
    answer.insert(answer.end(), reply.data.begin(), reply.data.end());
    if (raw) context.Info(Format("メモリリード３成功(%d)", n));
  }
  *lines = raw ? FormatKrt07TradingLog(answer) : FormatKrt02TradingLog(answer);
  return 0;
}

int32_t RetrieveTradingLog(ModelCode model, MemoryReadExchange& exchange, int32_t timeout_ms,
                           const DeviceLogContext& context) {
  std::vector<TradingLogLine> lines;
  const int32_t outcome = ReadTradingLog(model, exchange, timeout_ms, context, &lines);
  if (outcome != 0) return outcome;
  ReplaceTradingLogFile(lines, IsKrt07Family(model), context);
  return 0;
}

}  // namespace vexokrt::devlog
