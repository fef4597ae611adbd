// SPDX-License-Identifier: Apache-2.0
#include "maintenance/operating_settings.h"

#include <vector>

#include "maintenance/maintenance_file.h"
#include "opos/opos.h"
#include "platform/codepage.h"

namespace vexokrt::maintenance {
namespace {

constexpr std::string_view kLoadStart = "動作設定ファイル読込み開始";
constexpr std::string_view kOpenFailed = "動作設定ファイル読込みに失敗しました。";
constexpr std::string_view kNoMoreData = "動作設定ファイルのデータがなくなりました。";
constexpr std::string_view kLineRead = "動作設定ファイルから読み込んだデータ:";
constexpr std::string_view kNotCsv = "動作設定ファイルの設定内容がCSV形式になっていません。";
constexpr std::string_view kBadFirstField = "動作設定ファイルの設定内容が不正です。";
constexpr std::string_view kBadMode = "動作設定ファイルのモード設定内容が不正です。";
constexpr std::string_view kNoColon = "動作設定ファイルに:が設定されていません。";
constexpr std::string_view kBadValue = "動作設定ファイルのパラメータ設定内容が不正です。";
constexpr std::string_view kSettingResult = "動作設定実行時のエラーコード = ";

std::string_view Trim(std::string_view field) {
  while (!field.empty() && (field.front() == ' ' || field.front() == '\t' || field.front() == '\r')) {
    field.remove_prefix(1);
  }
  while (!field.empty() && (field.back() == ' ' || field.back() == '\t' || field.back() == '\r')) {
    field.remove_suffix(1);
  }
  return field;
}

std::vector<std::string_view> Fields(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(',', start);
    fields.push_back(Trim(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start)));
    if (at == std::string_view::npos) return fields;
    start = at + 1;
  }
}

std::optional<int32_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

std::optional<int32_t> SingleHex(std::string_view field) {
  if (field.size() != 1) return std::nullopt;
  return HexDigit(field[0]);
}

}  // namespace

std::string SettingsFileName(ModelCode model) {
  return model == ModelCode::kKrt07 ? "Krt07Setei.txt" : "Krt77Setei.txt";
}

std::optional<std::array<int32_t, 5>> ParseSettingValues(std::string_view text) {
  const std::vector<std::string_view> fields = Fields(text);
  if (fields.size() != 5) return std::nullopt;
  std::array<int32_t, 5> values{};
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::optional<int32_t> value = SingleHex(fields[i]);
    if (!value) return std::nullopt;
    values[i] = *value;
  }
  return values;
}

std::optional<SettingLine> ParseSettingLine(std::string_view line, std::string* error) {
  std::vector<std::string_view> fields = Fields(line);
  if (fields.size() != 5) {
    *error = kNotCsv;
    return std::nullopt;
  }
  if (fields[0].size() != 3) {
    *error = kBadFirstField;
    return std::nullopt;
  }
  SettingLine setting;
  const std::optional<int32_t> mode = HexDigit(fields[0][0]);
  if (!mode) {
    *error = kBadMode;
    return std::nullopt;
  }
  if (fields[0][1] != ':') {
    *error = kNoColon;
    return std::nullopt;
  }
  setting.mode = *mode;
  fields[0] = fields[0].substr(2);
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::optional<int32_t> value = SingleHex(fields[i]);
    if (!value) {
      *error = kBadValue;
      return std::nullopt;
    }
    setting.values[i] = *value;
  }
  return setting;
}

bool SettingsSelectionAllowed(int32_t selector, std::string_view text) {
  if (selector == kLoadSettingsFile) return true;
  return selector >= 0 && selector <= 15 && !text.empty() && ParseSettingValues(text).has_value();
}

opos::OposResult LoadOperatingConditions(int32_t selector, std::string_view text, const std::string& folder,
                                const std::string& file_name, const SendSetting& send, diag::TraceLog& trace,
                                platform::Clock& clock) {
  if (!SettingsSelectionAllowed(selector, text)) return opos::OPOS_E_ILLEGAL;
  if (selector != kLoadSettingsFile) return send(selector, *ParseSettingValues(text));

  trace.Write(diag::kLevelInfo, diag::kTagInfo, kLoadStart);
  MaintenanceFile file = MaintenanceFile::Open(folder, file_name, kSettingsFileMaxBytes);
  if (!file.ok()) {
    trace.Write(diag::kLevelError, diag::kTagError, kOpenFailed);
    trace.Write(diag::kLevelError, diag::kTagError, file.Problem());
    return opos::OPOS_E_ILLEGAL;
  }
  std::string line;
  for (;;) {
    const MaintenanceFile::LineRead read = file.ReadLine(&line, kSettingsLineMaxBytes);
    if (read == MaintenanceFile::LineRead::kEnd) break;
    if (read == MaintenanceFile::LineRead::kFailed) {
      trace.Write(diag::kLevelError, diag::kTagError, file.Problem());
      return file.fault() == FileFault::kRead ? opos::OPOS_E_FAILURE : opos::OPOS_E_ILLEGAL;
    }
    // The file is in CP932; the trace takes UTF-8.
    trace.Write(diag::kLevelInfo, diag::kTagInfo, std::string(kLineRead) + platform::Cp932ToUtf8(Trim(line)));
    std::string error;
    const std::optional<SettingLine> setting = ParseSettingLine(line, &error);
    if (!setting) {
      trace.Write(diag::kLevelError, diag::kTagError, error);
      return opos::OPOS_E_ILLEGAL;
    }
    const opos::OposResult result = send(setting->mode, setting->values);
    trace.Write(diag::kLevelInfo, diag::kTagInfo, std::string(kSettingResult) + std::to_string(result.code));
    clock.SleepMs(1);
  }
  trace.Write(diag::kLevelInfo, diag::kTagInfo, kNoMoreData);
  return opos::OPOS_SUCCESS;
}

}  // namespace vexokrt::maintenance
