// SPDX-License-Identifier: Apache-2.0
// What every device-log writer shares: the settings it was configured with,
// the persistent values, the diagnostic logs and the local clock.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "devlog/log_folder.h"
#include "devlog/persistent_values.h"

namespace vexokrt::diag {
class TraceLog;
class ExamLog;
}  // namespace vexokrt::diag

namespace vexokrt::devlog {

// The device's settings the log writers use, copied from the configuration.
struct DeviceLogSettings {
  std::string log_folder;         // LogFolderName: prefix of every file name
  int32_t log_folder_size = 0;    // LogFolderSize: size limit of the folder in bytes
  std::string operation_history;  // OperationHistory: day-file pattern (%y %m %d); empty: off
  std::string trading_log;        // TradingLog: time pattern of the trading-log file name
};

// The local date and time; tests substitute a fixed one.
using LocalTimeSource = std::function<std::tm()>;

// The system's local time, to the second.
std::tm SystemLocalTime();

// Borrowed collaborators; the owner keeps them alive while the writers run.
// |values| must be set; |trace| and |exam| may be null (nothing is logged).
struct DeviceLogContext {
  DeviceLogSettings settings;
  PersistentValues* values = nullptr;
  diag::TraceLog* trace = nullptr;
  diag::ExamLog* exam = nullptr;
  LocalTimeSource local_time;  // empty: SystemLocalTime

  LogFolder Folder() const {
    return LogFolder(settings.log_folder, settings.log_folder_size,
                     OwnFilePatterns{settings.trading_log, settings.operation_history});
  }
  std::tm Now() const { return local_time ? local_time() : SystemLocalTime(); }

  // Trace lines (UTF-8 text; the trace log writes it in CP932).
  void Info(std::string_view message) const;
  void Error(std::string_view message) const;
  // One ExamLog record.
  void Exam(long kind, long code, long argument, long result) const;
};

// printf-style formatting into a string, for the trace lines.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends |text| to the file at |path| (created when missing). A symbolic
// link or anything but a regular file at |path| is never written through.
// False when the file cannot be opened or fully written; |error| (when given)
// then names the cause in the system's words.
bool AppendToFile(const std::string& path, std::string_view text, std::string* error = nullptr);

// Replaces the file at |path| with |bytes|: they are written completely to a
// new file beside it, which is then renamed over |path|. A failed write
// leaves the old file (or none) as it was and no partial file behind; a
// symbolic link at |path| is replaced, never written through. False on
// failure, with the cause in |error| when given.
bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* error = nullptr);

}  // namespace vexokrt::devlog
