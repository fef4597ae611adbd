// SPDX-License-Identifier: Apache-2.0
// The ExamLog: a fixed-size ring file of short comma-separated records, one
// per call entry, call exit and event step, that can run for a long time
// without growing.
//
// File layout (bytes, CP932):
//   0   54  header text (do not edit), no line end
//   54  10  write position, right-aligned decimal (zero-filled when created)
//   64  2   CR LF
//   66  ... records, each ended by CR LF
// The write position is the offset just behind the newest record; the rest
// of the line that the newest record overwrote is blanked with spaces, so
// readers find the newest record just before a line of spaces.
//
// Writers of all threads and processes are serialised by a system-wide named
// mutex; the file is opened and closed for each record. Failures are silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/named_lock.h"
#include "platform/thread_annotations.h"

namespace vexokrt::diag {

// The ExamLog's file name in the log folder.
inline constexpr char kExamLogFileName[] = "ExamlogS.txt";
inline constexpr char kExamMutexName[] = "QlbCsvLogFileInstanceSerializeMutex20050429";
// The header text, as kept in the source (UTF-8); 54 bytes once in CP932.
inline constexpr char kExamHeaderUtf8[] = "_エディタなどで編集しないで下さい(ファイル削除は可能)_";
inline constexpr int kExamHeaderBytes = 54;
inline constexpr int kExamFirstRecord = kExamHeaderBytes + 12;  // 66
inline constexpr int32_t kExamDefaultSizeLimit = 665600;

class ExamLog {
 public:
  ExamLog();
  ExamLog(const ExamLog&) = delete;
  ExamLog& operator=(const ExamLog&) = delete;

  void SetFileName(std::string path);
  std::string FileName() const;
  // The clock whose local time stamps the records and that times the waits
  // for the file's first-byte lock (the system's by default). It must
  // outlive the log or be replaced first.
  void SetClock(platform::Clock& clock) { clock_.store(&clock); }
  // Offset at which writing wraps; below 66 the log is off.
  void SetSizeLimit(int32_t limit) { size_limit_.store(limit); }
  int32_t SizeLimit() const { return size_limit_.load(); }

  // Writes one record "yy,mm,dd,HH,MM,SS,kind,code,argument,result". True
  // when a file name is set (whether or not the file could be written).
  bool Write(std::string_view kind, std::string_view code, std::string_view argument,
             std::string_view result);
  bool Write(long kind, long code, long argument, long result);

 private:
  void RingWrite(const std::string& record, platform::Clock& clock);

  platform::NamedMutex mutex_;
  mutable platform::Mutex name_lock_;
  std::string file_name_ VEX_GUARDED_BY(name_lock_);
  std::atomic<platform::Clock*> clock_{&platform::SystemClock()};
  std::atomic<int32_t> size_limit_{kExamDefaultSizeLimit};
};

}  // namespace vexokrt::diag
