// SPDX-License-Identifier: Apache-2.0
// Reading a file from the maintenance folder: the operating-settings file and
// the device programs. Whoever can write to that folder chooses what these
// names are, so nothing about them is taken on trust: a name is followed
// through its links first and refused unless it stays inside the folder, the
// file is opened without blocking (a FIFO or a device never holds the
// caller), it must be a regular file, and no more than the caller's bounds
// is ever read, whatever the file says of its size.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vexokrt::maintenance {

// Why a maintenance file gave nothing, or nothing more.
enum class FileFault {
  kNone,
  kCannotOpen,     // missing, not permitted, a link loop (error() is the errno)
  kOutsideFolder,  // followed through its links, it lies outside the folder
  kNotRegular,     // a directory, a FIFO, a device, a socket
  kTooLarge,       // more bytes than the caller allows
  kLineTooLong,    // a line longer than the caller allows
  kRead,           // a read failed (error() is the errno)
};

class MaintenanceFile {
 public:
  // Opens |name| in |folder| (as config::MaintenanceFolder gives it: "" for
  // the current folder, else a prefix ending in its separator) for reading.
  // A file of more than |max_bytes| is refused (kTooLarge). The result says
  // whether it opened (ok()) and, if not, why (fault(), Problem()).
  static MaintenanceFile Open(std::string_view folder, std::string_view name, int64_t max_bytes);

  MaintenanceFile(MaintenanceFile&& other) noexcept;
  MaintenanceFile& operator=(MaintenanceFile&&) = delete;
  MaintenanceFile(const MaintenanceFile&) = delete;
  MaintenanceFile& operator=(const MaintenanceFile&) = delete;
  ~MaintenanceFile();

  bool ok() const { return fault_ == FileFault::kNone; }
  FileFault fault() const { return fault_; }
  // The errno of kCannotOpen and kRead; 0 otherwise.
  int error() const { return error_; }
  // The name as given, in its folder.
  const std::string& path() const { return path_; }
  // The size when it was opened.
  int64_t size() const { return size_; }
  // The open descriptor (-1 when it did not open).
  int fd() const { return fd_; }
  // What went wrong, for an Error trace line: the path and the reason
  // ("/opos/Krt07Setei.txt: is not a regular file").
  std::string Problem() const;

  // Reads exactly |out.size()| bytes. False when fewer came: at the end of
  // the file (the file is still ok(), error() 0), or after a read error
  // (kRead).
  bool ReadExactly(std::span<uint8_t> out);

  enum class LineRead { kLine, kEnd, kFailed };
  // The next line into |*line|, without its LF (a CR before it stays). kEnd
  // at the end of the file (a last line without LF is a line first); kFailed
  // with the fault: kLineTooLong when a line has more than |max_line| bytes,
  // kTooLarge when the file has grown past its bound, kRead.
  LineRead ReadLine(std::string* line, size_t max_line);

 private:
  MaintenanceFile() = default;
  // Records why the file gives nothing (more); the descriptor closes with
  // the object.
  void Fail(FileFault fault, int error = 0);
  // Reads up to |out.size()| bytes, never past the bound; -1 after a read
  // error (kRead set), else the bytes read (0 at the end of the file).
  ssize_t ReadSome(std::span<uint8_t> out);

  int fd_ = -1;
  std::string path_;
  std::string real_path_;  // where the links lead (for kOutsideFolder)
  int64_t size_ = 0;
  int64_t max_bytes_ = 0;
  int64_t consumed_ = 0;  // bytes read so far
  FileFault fault_ = FileFault::kNone;
  int error_ = 0;
  size_t max_line_ = 0;   // the bound of the line that failed
  std::string pending_;   // read ahead by ReadLine
  bool at_end_ = false;
};

}  // namespace vexokrt::maintenance
