// SPDX-License-Identifier: Apache-2.0
#include "diag/exam_log_reader.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "diag/exam_log.h"
#include "platform/codepage.h"

namespace vexokrt::diag {
namespace {

// One line of the record area: [start, end) without its CR LF.
struct Line {
  long start;
  long end;
};

bool IsBlank(std::string_view text) { return text.find_first_not_of(' ') == std::string_view::npos; }

// "-?digits" into |value|; false for anything else.
bool ParseNumber(std::string_view text, long* value) {
  if (text.empty() || text.size() > 11) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = text[0] == '-' ? -v : v;
  return true;
}

// "yy,mm,dd,HH,MM,SS,kind,code,argument,result".
std::optional<ExamRecord> ParseRecord(std::string_view text, long offset) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (size_t comma; (comma = text.find(',', start)) != std::string_view::npos; start = comma + 1) {
    fields.push_back(text.substr(start, comma - start));
  }
  fields.push_back(text.substr(start));
  if (fields.size() != 10) return std::nullopt;
  long values[10];
  for (size_t i = 0; i < 10; ++i) {
    if (!ParseNumber(fields[i], &values[i])) return std::nullopt;
    if (i < 6 && (fields[i].size() != 2 || values[i] < 0)) return std::nullopt;
  }
  if (values[1] < 1 || values[1] > 12 || values[2] < 1 || values[2] > 31 || values[3] > 23 || values[4] > 59 ||
      values[5] > 60) {
    return std::nullopt;
  }
  ExamRecord record;
  record.offset = offset;
  record.year = static_cast<int>(values[0]);
  record.month = static_cast<int>(values[1]);
  record.day = static_cast<int>(values[2]);
  record.hour = static_cast<int>(values[3]);
  record.minute = static_cast<int>(values[4]);
  record.second = static_cast<int>(values[5]);
  record.kind = values[6];
  record.code = values[7];
  record.argument = values[8];
  record.result = values[9];
  return record;
}

std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 40)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (text.size() > 40) out += "...";
  return out;
}

ExamReadResult Refuse(std::string reason) { return {std::nullopt, std::move(reason)}; }

}  // namespace

ExamReadResult ParseExamLog(std::string_view bytes) {
  const long size = static_cast<long>(bytes.size());
  if (size < kExamFirstRecord) {
    return Refuse("truncated: " + std::to_string(size) + " bytes, shorter than the " +
                  std::to_string(kExamFirstRecord) + "-byte header of an ExamLog");
  }
  if (bytes.substr(0, kExamHeaderBytes) != platform::Utf8ToCp932(kExamHeaderUtf8)) {
    return Refuse("not an ExamLog: the first 54 bytes are not its header text");
  }
  const std::string_view position_text = bytes.substr(kExamHeaderBytes, 10);
  long position = 0;
  const size_t digits = position_text.find_first_not_of(' ');
  if (digits == std::string_view::npos || !ParseNumber(position_text.substr(digits), &position) || position < 0 ||
      bytes.substr(kExamHeaderBytes + 10, 2) != "\r\n") {
    return Refuse("damaged: the write position \"" + Printable(position_text) + "\" is not a number");
  }
  if (position < kExamFirstRecord || position > size) {
    return Refuse("damaged or truncated: the write position " + std::to_string(position) + " lies outside the " +
                  std::to_string(size) + "-byte file");
  }

  // Lines of the record area; every line must be ended by CR LF.
  std::vector<Line> lines;
  for (long at = kExamFirstRecord; at < size;) {
    const size_t cr = bytes.find("\r\n", static_cast<size_t>(at));
    if (cr == std::string_view::npos && IsBlank(bytes.substr(static_cast<size_t>(at)))) {
      // The blanking behind the newest record may have turned the line feed
      // of the file's last line into a space: the ring then ends in spaces.
      break;
    }
    if (cr == std::string_view::npos) {
      return Refuse("truncated: the line at offset " + std::to_string(at) + " has no line end (\"" +
                    Printable(bytes.substr(static_cast<size_t>(at))) + "\")");
    }
    lines.push_back({at, static_cast<long>(cr)});
    at = static_cast<long>(cr) + 2;
  }

  ExamRing ring;
  ring.write_position = position;
  ring.file_size = size;
  std::vector<std::vector<ExamRecord>> laps(1);  // laps[0]: from the first record position up to the write position
  bool behind = false;
  for (const Line& line : lines) {
    if (!behind && line.start >= position) {
      behind = true;
      laps.emplace_back();
    }
    const std::string_view text = bytes.substr(static_cast<size_t>(line.start), static_cast<size_t>(line.end - line.start));
    if (line.start < position && line.end + 2 > position) {
      return Refuse("damaged: the write position " + std::to_string(position) +
                    " falls inside the line at offset " + std::to_string(line.start));
    }
    if (IsBlank(text)) {
      // A blanked line closes a lap behind the write position; before it,
      // only the ring's own writes may have left one (none in a sound file).
      if (behind && !laps.back().empty()) laps.emplace_back();
      continue;
    }
    const std::optional<ExamRecord> record = ParseRecord(text, line.start);
    if (!record) {
      return Refuse("damaged: the line at offset " + std::to_string(line.start) + " is not a record (\"" +
                    Printable(text) + "\")");
    }
    laps.back().push_back(*record);
  }
  for (size_t lap = laps.size(); lap-- > 1;) {
    ring.records.insert(ring.records.end(), laps[lap].begin(), laps[lap].end());
  }
  ring.records.insert(ring.records.end(), laps[0].begin(), laps[0].end());
  return {std::move(ring), {}};
}

ExamReadResult ReadExamLog(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return Refuse("cannot open " + path);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return Refuse("cannot read " + path);
  return ParseExamLog(bytes);
}

std::vector<ExamRecord> RecordsWrittenSince(const ExamRing& now, long previous_position) {
  std::vector<ExamRecord> newer;
  if (now.write_position == previous_position) return newer;
  for (const ExamRecord& record : now.records) {
    const bool in_new_part = now.write_position > previous_position
                                 ? record.offset >= previous_position && record.offset < now.write_position
                                 : record.offset >= previous_position || record.offset < now.write_position;
    if (in_new_part) newer.push_back(record);
  }
  // |now.records| is oldest first, so the part behind the old position (the
  // end of the lap) comes before the part from the ring's start.
  return newer;
}

}  // namespace vexokrt::diag
