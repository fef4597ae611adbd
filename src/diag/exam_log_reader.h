// SPDX-License-Identifier: Apache-2.0
// Reading the ExamLog ring back: the records in the order they were written,
// oldest first, found from the write position in the header (see
// exam_log.h for the layout).
//
// Behind the write position comes the rest of the line the newest record
// overwrote, blanked with spaces, and then the records of the previous lap.
// A ring whose size limit was lowered in between may hold several such laps,
// each closed by a blanked line; laps further from the write position are
// older. So: the laps behind the write position, furthest first, then the
// records from the first record position up to the write position.
//
// A file that is not a whole ExamLog is refused with the reason: too short
// for its header, a header that is not the ExamLog's, a write position that
// is not a number or lies outside the file, a last line without its line end
// (truncated), or a line that is not a record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexokrt::diag {

struct ExamRecord {
  long offset = 0;  // where the record starts in the file
  // The local time of writing: two-digit year, month, day, hour, minute, second.
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  long kind = 0;
  long code = 0;
  long argument = 0;
  long result = 0;
};

struct ExamRing {
  long write_position = 0;
  long file_size = 0;
  std::vector<ExamRecord> records;  // oldest first
};

struct ExamReadResult {
  std::optional<ExamRing> ring;
  std::string error;  // why the input is not a readable ExamLog; empty with a ring
};

// Parses the whole file's bytes. Pure: no I/O.
ExamReadResult ParseExamLog(std::string_view bytes);

// Reads and parses the file at |path|.
ExamReadResult ReadExamLog(const std::string& path);

// The records of |now| written after a reading whose write position was
// |previous_position|, oldest first: those from the old position up to the
// new one, across the wrap when the position went back.
std::vector<ExamRecord> RecordsWrittenSince(const ExamRing& now, long previous_position);

}  // namespace vexokrt::diag
