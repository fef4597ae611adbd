// SPDX-License-Identifier: Apache-2.0
// The trace log: a text file of time-stamped lines recording every dispatch
// call, its parameters and result, property reads, errors and hex dumps of
// device data.
//
// Lines of all threads and processes are serialised by a system-wide named
// mutex; the file is opened for appending for each line and closed again.
// A line that cannot be written is silently dropped: logging never changes
// the caller's behaviour. Texts are given in UTF-8 and written in CP932.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/named_lock.h"
#include "platform/thread_annotations.h"

namespace vexokrt::diag {

// Levels of a line; only information and error are used by the system.
inline constexpr int kLevelInfo = 0;
inline constexpr int kLevelWarning = 1;
inline constexpr int kLevelError = 2;
// The threshold that switches the log off.
inline constexpr int kLevelOff = -1;

// The eight-character tags of the system's lines.
inline constexpr std::string_view kTagEnter = "Enter   ";
inline constexpr std::string_view kTagExit = "Exit    ";
inline constexpr std::string_view kTagResult = "Result  ";
inline constexpr std::string_view kTagError = "Error   ";
inline constexpr std::string_view kTagInfo = "Info    ";
inline constexpr std::string_view kTagPropGet = "Prop Get";

// Name of the system-wide mutex that serialises trace lines.
inline constexpr char kTraceMutexName[] = "QlbLogFileInstanceSerializeMutex19970122";

// True when |head|, the first bytes of a file, begin like a file this log
// writes: a time-stamped line ("2011:06:01:09:15:42: 37:Inf::") or a dump.
bool LooksLikeTraceText(std::string_view head);

// The day files of the trace are reused month after month: deletes |path|
// when it is one of our trace files (a regular file, not a link, beginning
// like a trace) last written in another month or year than |now|. Anything
// else at the path stays as it is. True when the file was deleted.
bool RemoveStaleTraceFile(const std::string& path, const std::tm& now);

class TraceLog {
 public:
  TraceLog();
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  // Replaces the file name; an empty name writes nothing. Any thread.
  void SetFileName(std::string path);
  std::string FileName() const;

  // The clock whose local time stamps the lines (the system's by default).
  // It must outlive the log or be replaced first.
  void SetClock(platform::Clock& clock) { clock_.store(&clock); }

  // Sets the level threshold (kLevelOff, or the lowest level written);
  // returns the previous threshold.
  int SetLevel(int threshold);
  int Level() const { return threshold_.load(); }
  bool IsOn() const { return threshold_.load() != kLevelOff; }

  // True when a line of |level| would be written (threshold and file set).
  bool Accepts(int level) const;

  // Writes "date:time:ms:Lvl::tag: message". True when a line was written.
  bool Write(int level, std::string_view tag, std::string_view message);

  // Writes a hex dump of |count| bytes (no time stamp). True when written.
  bool Dump(int level, const uint8_t* bytes, int count);

 private:
  // Opens the file for appending and writes |text| under the named mutex.
  bool Append(int level, const std::string& text);

  platform::NamedMutex mutex_;
  mutable platform::Mutex name_lock_;
  std::string file_name_ VEX_GUARDED_BY(name_lock_);
  std::atomic<platform::Clock*> clock_{&platform::SystemClock()};
  std::atomic<int> threshold_{kLevelOff};
};

}  // namespace vexokrt::diag
