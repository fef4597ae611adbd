// SPDX-License-Identifier: Apache-2.0
// Reading an ExamLog ring in tests.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vexokrt::testing {

// The records of the ExamLog at |path| after its header, each without its
// date and time ("kind,code,argument,result"), oldest first as long as the
// ring has not wrapped.
inline std::vector<std::string> ExamRecords(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  std::vector<std::string> records;
  for (size_t at = 66; at < bytes.size();) {
    size_t end = bytes.find("\r\n", at);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(at, end - at);
    if (line.find_first_not_of(' ') != std::string::npos && line.size() > 18) records.push_back(line.substr(18));
    at = end + 2;
  }
  return records;
}

}  // namespace vexokrt::testing
