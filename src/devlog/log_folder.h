// SPDX-License-Identifier: Apache-2.0
// The log folder: where every device-log file goes, and how it is kept under
// its size limit by deleting the oldest file.
//
// The folder is given as a prefix that file names are appended to (normally
// ending in '/'). The part after the last '/' is a name prefix: with
// "/var/log/krt/" the folder is /var/log/krt and every entry counts; with
// "/var/log/krt-" the folder is /var/log and only entries whose names start
// with "krt-" count, since those are the only files the writers can create.
//
// An empty prefix means no log folder has been set. Then nothing is listed and
// nothing is deleted: the writers would otherwise tidy up whatever directory
// the host process happens to run in.
//
// Only the folder's own files are ever counted or deleted: regular files
// whose names the writers make (trading logs by the TradingLog time pattern,
// operation-history day files by the OperationHistory pattern, the device-log
// copies by their fixed names). The ExamLog, anything else a user keeps
// there, folders and symbolic links are neither counted nor touched.
//
// All members are const and touch only the file system; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexokrt::devlog {

// Room left below which the writers delete the oldest file first.
inline constexpr int32_t kHistoryRoomThreshold = 1024;
inline constexpr int32_t kTradingRoomThreshold = 4096;

// A file's modification time as a 64-bit count of 100 ns intervals since
// 1601-01-01 (UTC), the time stamp the folder's age comparison works on.
uint64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);

// True for a name that stays inside the folder it is appended to: not empty,
// no '/', and not "." or "..". Names built from registry patterns pass this
// check before anything is written or deleted.
bool IsPlainFileName(std::string_view name);

// True for a name that, appended to the folder, stays inside it, possibly in
// a sub-folder ("hist/110715.csv"): not empty, not absolute, no ".."
// component, and a file name (not "." or empty) after its last '/'.
bool StaysInFolder(std::string_view name);

// True when |name| is what strftime can make of |pattern|: numeric fields
// match digits of their width, names and other fields a run of characters
// without '/'.
bool MatchesTimePattern(std::string_view pattern, std::string_view name);

// True when |name| is what an operation-history day pattern can become:
// "%y" two decimal digits, "%m" and "%d" two hexadecimal digits.
bool MatchesHistoryPattern(std::string_view pattern, std::string_view name);

// The patterns of the files the writers put into the folder; an empty
// pattern matches nothing. The device-log copies are always ours.
struct OwnFilePatterns {
  std::string trading_log;        // TradingLog (strftime pattern)
  std::string operation_history;  // OperationHistory (day pattern)
};

class LogFolder {
 public:
  LogFolder(std::string prefix, int32_t size_limit, OwnFilePatterns own = {})
      : prefix_(std::move(prefix)), size_limit_(size_limit), own_(std::move(own)) {}

  // True when |name| is one the writers make (see above); never the ExamLog.
  bool IsOwnFileName(std::string_view name) const;

  bool IsSet() const { return !prefix_.empty(); }
  const std::string& prefix() const { return prefix_; }
  int32_t size_limit() const { return size_limit_; }

  // The path of |name| in the folder (plain concatenation).
  std::string PathOf(std::string_view name) const { return prefix_ + std::string(name); }

  // Creates the sub-folders of |name| (a StaysInFolder name) that are
  // missing below the folder; the folder itself is never created. False when
  // one cannot be made (the write that follows then reports why).
  bool MakeSubFoldersOf(std::string_view name) const;

  // The name part of |path| when it names a file of this folder or of one of
  // its sub-folders (PathOf of a StaysInFolder name), else empty. With the folder unset that is a
  // plain name on its own, which is how files were written then.
  std::string NameInFolder(std::string_view path) const;

  // The size limit minus the total size of the folder's own files (no
  // recursion). The total is taken over the full 64-bit sizes
  // and the difference saturates at the limits of int32_t, so a large folder
  // never wraps round to plenty of room. 0 when the folder is not set or
  // cannot be listed.
  int32_t FolderRoom() const;

  // Deletes the oldest of the folder's own files, other than |keep| (a name
  // in the folder; empty: none). Age is compared on the upper 32 bits of the
  // 100 ns file time only, so files written within about 429 s of each other
  // count as equally old and the first in name order wins. A folder without
  // own files, an unset folder or a failing deletion do nothing.
  void DeleteOldestLogFile(std::string_view keep = {}) const;

  // Deletes the oldest own file when FolderRoom() is at most |threshold|.
  void MakeRoom(int32_t threshold) const;

  // True when FolderRoom() is at most |threshold|: the writers decide this
  // before they write and delete (DeleteOldestLogFile, keeping the file just
  // written) only once the new data are safely stored.
  bool RoomIsShort(int32_t threshold) const { return FolderRoom() <= threshold; }

 private:
  std::string prefix_;
  int32_t size_limit_;
  OwnFilePatterns own_;
};

}  // namespace vexokrt::devlog
