// SPDX-License-Identifier: Apache-2.0
// vexokrt examlog FILE [--follow]: the ExamLog ring as a person reads it:
// its records oldest first, each with its time, a name for its kind and code,
// its argument and result; --follow then prints records as they are written.
// With --json each record is one JSON object on a line of its own.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "command_registry.h"
#include "diag/exam_log_reader.h"
#include "platform/clock.h"
#include "service/opos.h"
#include "service_client.h"

namespace vexokrt::tools {
namespace {

// Method codes of kind 1, property codes of kind 2.
const char* MethodName(long code) {
  static const char* const kNames[] = {nullptr,         "OpenService",  "Close",        "Claim",
                                       "Release",       "CheckHealth",  "ClearInput",   "DirectIO",
                                       "BeginDeposit",  "DispenseCash", "DispenseChange", "EndDeposit",
                                       "FixDeposit",    "PauseDeposit", "ReadCashCounts"};
  return code >= 1 && code <= 14 ? kNames[code] : nullptr;
}

const char* PropertyName(long code) {
  static const char* const kNames[] = {nullptr,     "DeviceEnabled", "CurrentExit",     "DataEventEnabled",
                                       "AsyncMode", "PowerNotify",   "BinaryConversion"};
  return code >= 1 && code <= 6 ? kNames[code] : nullptr;
}

const char* ResultName(long result) {
  using namespace opos;
  switch (result) {
    case OPOS_SUCCESS: return "OPOS_SUCCESS";
    case OPOS_E_CLOSED: return "OPOS_E_CLOSED";
    case OPOS_E_CLAIMED: return "OPOS_E_CLAIMED";
    case OPOS_E_NOTCLAIMED: return "OPOS_E_NOTCLAIMED";
    case OPOS_E_NOSERVICE: return "OPOS_E_NOSERVICE";
    case OPOS_E_DISABLED: return "OPOS_E_DISABLED";
    case OPOS_E_ILLEGAL: return "OPOS_E_ILLEGAL";
    case OPOS_E_NOHARDWARE: return "OPOS_E_NOHARDWARE";
    case OPOS_E_OFFLINE: return "OPOS_E_OFFLINE";
    case OPOS_E_NOEXIST: return "OPOS_E_NOEXIST";
    case OPOS_E_EXISTS: return "OPOS_E_EXISTS";
    case OPOS_E_FAILURE: return "OPOS_E_FAILURE";
    case OPOS_E_TIMEOUT: return "OPOS_E_TIMEOUT";
    case OPOS_E_BUSY: return "OPOS_E_BUSY";
    case OPOS_E_EXTENDED: return "OPOS_E_EXTENDED";
    default: return nullptr;
  }
}

std::string WithResult(long result) {
  const char* name = ResultName(result);
  return "result " + std::to_string(result) + (name != nullptr ? std::string(" ") + name : "");
}

// What one record says, in words.
std::string Describe(const diag::ExamRecord& r) {
  const std::string argument = std::to_string(r.argument);
  switch (r.kind) {
    case 1: {
      const bool leaving = r.code > 100;
      if (const char* name = MethodName(leaving ? r.code - 100 : r.code)) {
        return leaving ? std::string("leave ") + name + " argument " + argument + ", " + WithResult(r.result)
                       : std::string("enter ") + name + " argument " + argument +
                             (r.result != 0 ? ", step " + std::to_string(r.result) : "");
      }
      break;
    }
    case 2: {
      const bool leaving = r.code > 100;
      if (const char* name = PropertyName(leaving ? r.code - 100 : r.code)) {
        return leaving ? std::string("leave set ") + name + " = " + argument + ", " + WithResult(r.result)
                       : std::string("set ") + name + " = " + argument;
      }
      break;
    }
    case 4:
      if (r.code == 1) return "operation-history fetch paused for a device operation";
      break;
    case 5:
      if (r.code == 1) return "operation-history fetch resumed";
      break;
    case 6:
      if (r.code == 1) return "operation-history retrieval: the pointer read failed";
      break;
    case 7:
      return "communication thread step " + std::to_string(r.code);
    case 8:
      switch (r.code) {
        case 1: {
          const char* name = StatusUpdateName(r.argument);
          return "event fired: SOStatusUpdate " + argument + (name != nullptr ? std::string(" (") + name + ")" : "");
        }
        case 2: return "event fired: SODirectIO " + argument;
        case 3: return "event fired: SOData " + argument;
        case 4: return "asynchronous completion handled";
        case 5: return "event handed to the window";
        case 6: return "event chosen for delivery";
        case 7: return "fire-event message received by the window";
        default: break;
      }
      break;
    case 9:
      return "communication thread step " + std::to_string(r.code);
    default:
      break;
  }
  return "kind " + std::to_string(r.kind) + " code " + std::to_string(r.code) + " argument " + argument + ", " +
         WithResult(r.result);
}

void PrintRecord(const diag::ExamRecord& r, bool json) {
  if (json) {
    char time[32];
    std::snprintf(time, sizeof time, "%02d-%02d-%02d %02d:%02d:%02d", r.year, r.month, r.day, r.hour, r.minute,
                  r.second);
    const nlohmann::ordered_json record = {{"time", time},         {"kind", r.kind},     {"code", r.code},
                                           {"argument", r.argument}, {"result", r.result}, {"text", Describe(r)}};
    std::printf("%s\n", record.dump().c_str());
    return;
  }
  std::printf("%02d-%02d-%02d %02d:%02d:%02d  %-60s [%ld,%ld,%ld,%ld]\n", r.year, r.month, r.day, r.hour, r.minute,
              r.second, Describe(r).c_str(), r.kind, r.code, r.argument, r.result);
}

struct ExamlogOptions {
  std::string file;
  bool follow = false;
  bool json = false;
  int interval_ms = 500;
};

int RunExamlog(const ExamlogOptions& options) {
  const diag::ExamReadResult read = diag::ReadExamLog(options.file);
  if (!read.ring) {
    std::fprintf(stderr, "vexokrt examlog: %s: %s\n", options.file.c_str(), read.error.c_str());
    return kExitFailure;
  }
  if (!options.json) {
    std::printf("# %s: %zu records, oldest first; write position %ld of %ld bytes\n", options.file.c_str(),
              read.ring->records.size(), read.ring->write_position, read.ring->file_size);
  }
  for (const diag::ExamRecord& record : read.ring->records) PrintRecord(record, options.json);
  std::fflush(stdout);
  if (!options.follow) return kExitSuccess;
  long position = read.ring->write_position;
  for (;;) {
    platform::SleepMs(options.interval_ms);
    // A reading that meets a writer half-way, or a file being replaced, is
    // simply tried again at the next turn.
    const diag::ExamReadResult again = diag::ReadExamLog(options.file);
    if (!again.ring || again.ring->write_position == position) continue;
    for (const diag::ExamRecord& record : diag::RecordsWrittenSince(*again.ring, position)) {
      PrintRecord(record, options.json);
    }
    std::fflush(stdout);
    position = again.ring->write_position;
  }
}

const CommandRegistration kExamlogCommand{[] {
  auto options = std::make_shared<ExamlogOptions>();
  Command command{"examlog", "Print the ExamLog ring's records oldest first, with readable names"};
  command.Add("FILE", &options->file, "the ExamLog file (ExamlogS.txt in the log folder)").Required();
  command.Add("--follow,-f", &options->follow, "keep printing records as they are written (Ctrl-C ends)");
  command.Add("--json", &options->json, "print each record as a JSON object on a line of its own");
  command.Add("--interval", &options->interval_ms, "with --follow: ms between looks at the file")
      .ShowDefault()
      .Range(10, 60000);
  command.run = [options] { return RunExamlog(*options); };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
