// SPDX-License-Identifier: Apache-2.0
// The device's operating conditions: sixteen pages of five values 0..15,
// written one page at a time ("Q06"). A service engineer loads a list of
// them from the settings file, or sends one directly; both come through
// direct I/O.
//
// Settings file: text in CP932 in the maintenance folder, "Krt07Setei.txt"
// on a KRT07 and "Krt77Setei.txt" otherwise, one setting per line: five
// fields separated by ',', blanks (and the CR of a CR LF line end) around a
// field ignored; the first field is the page (mode) digit, ':', the first
// value; every digit one of 0-9 or A-F (upper case). Example: "2:0,4,0,0,0".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "diag/trace_log.h"
#include "opos/opos.h"
#include "link/model_code.h"
#include "platform/clock.h"

namespace vexokrt::maintenance {

inline constexpr int32_t kLoadSettingsFile = 99;

// Sends one setting (page |mode|, five values) and answers its OPOS result.
using SendSetting = std::function<opos::OposResult(int32_t mode, const std::array<int32_t, 5>& values)>;

// "Krt07Setei.txt" for a KRT07, "Krt77Setei.txt" for every other model.
std::string SettingsFileName(ModelCode model);

// The five values of a single setting text "v,v,v,v,v" (same rules as a
// file line after its "m:"); nothing when it does not split into five values.
std::optional<std::array<int32_t, 5>> ParseSettingValues(std::string_view text);

struct SettingLine {
  int32_t mode = 0;
  std::array<int32_t, 5> values{};
};
// One line of the settings file; on refusal nothing and |*error| is the
// trace text that names the fault.
std::optional<SettingLine> ParseSettingLine(std::string_view line, std::string* error);

// Bounds of the settings file: sixteen settings take some 200 bytes.
inline constexpr int64_t kSettingsFileMaxBytes = 64 * 1024;
inline constexpr size_t kSettingsLineMaxBytes = 256;

// Whether LoadOperatingConditions goes on to the file or the device with
// these arguments: selector 99, or 0..15 with |text| five values. The checks
// that need neither, made before anything else.
bool SettingsSelectionAllowed(int32_t selector, std::string_view text);

// Selector 99: loads |file_name| from |folder| (the maintenance folder, read
// as MaintenanceFile reads it) line by line, sending each setting (a failing
// setting is traced and the load goes on; a refused line ends it with 106).
// A file that cannot be had (missing, a link out of the folder, not a
// regular file, larger than its bound) gives 106 before anything is sent;
// a line longer than its bound ends the load with 106, a read error with
// 111; each with an Error line that names the file and the fault.
// Selector 0..15: sends |text| as the five values of that page (106 when
// empty or malformed; otherwise the send's result). Other selectors: 106.
// |text| is already in the system code page. Every line read, refusal and
// device result is traced as the file format above describes.
opos::OposResult LoadOperatingConditions(int32_t selector, std::string_view text, const std::string& folder,
                                const std::string& file_name, const SendSetting& send, diag::TraceLog& trace,
                                platform::Clock& clock);

}  // namespace vexokrt::maintenance
