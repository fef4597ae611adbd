// SPDX-License-Identifier: Apache-2.0
// vexokrt logs: copies the device's internal coin and bill logs of one
// request code (or group: 96 coin, 97 bill, 98 bill discriminator, 99 all)
// into binary files in a folder. `vexokrt logs show FILE` prints one of the
// driver's CP932 text files (trading log, history, trace) as UTF-8.
#include <cstdio>
#include <filesystem>
#include <string>

#include "command_registry.h"
#include "cp932_text.h"
#include "devlog/device_log_files.h"
#include "devlog/memory_read.h"
#include "diag/trace_log.h"
#include "link/serial_link.h"
#include "service/opos.h"

namespace vexokrt::tools {
namespace {

struct LogsOptions {
  std::string port;
  int code = -1;
  std::string folder;
  std::string line = "9600,E,8,1";
  std::string trace;
};

int RunLogs(const LogsOptions& options) {
  diag::TraceLog trace;
  if (!options.trace.empty()) {
    trace.SetFileName(options.trace);
    trace.SetLevel(diag::kLevelInfo);
  }
  std::error_code error;
  std::filesystem::create_directories(options.folder, error);
  if (error) {
    std::fprintf(stderr, "logs: cannot create folder %s: %s\n", options.folder.c_str(), error.message().c_str());
    return 1;
  }

  link::SerialLink link(trace, options.port, options.line);
  if (link.OpenPort() != 0) {
    std::fprintf(stderr, "logs: cannot open port %s\n", options.port.c_str());
    return 1;
  }
  const ModelDetection detected = link.DetectModel();
  const ModelCode model = link.Model();
  if (!detected.ready() || !IsKrt07Family(model)) {
    std::fprintf(stderr, "logs: %s (model %d); device log files exist on the KRT07 and KRT77 only\n",
                 !detected.ready() ? "model detection failed" : "unsuitable model", static_cast<int>(model));
    link.ClosePort();
    return 1;
  }

  std::string prefix = options.folder;
  if (prefix.back() != '/') prefix += '/';
  devlog::MemoryReads reads = devlog::LineReads(link);
  const devlog::LogFileResult result =
      devlog::RunDeviceLogRequest(reads, model, devlog::LogFolder(prefix, 0), options.code);
  link.ClosePort();

  for (int32_t row : devlog::DeviceLogRequestRows(options.code)) {
    const auto* region = devlog::FindDeviceLogRegion(row);
    const std::string path = prefix + std::string(region->file_name);
    if (std::filesystem::exists(path)) std::printf("%s\n", path.c_str());
  }
  if (!result.error.empty()) std::fprintf(stderr, "logs: cannot write %s\n", result.error.c_str());
  std::printf("result %d", result.result);
  if (result.result == opos::OPOS_E_EXTENDED) std::printf(" (extended %d)", result.extended);
  std::printf("\n");
  return result.result == opos::OPOS_SUCCESS ? 0 : 1;
}

const CommandRegistration kLogsCommand{[] {
  auto options = std::make_shared<LogsOptions>();
  Command command{"logs", "Copy the device's internal logs of a request code into a folder"};
  // Required unless the show subcommand is used.
  command.Add("--port", &options->port, "Serial port (device path or COMn)").RequiredWithoutSubcommand();
  command
      .Add("--code", &options->code,
           "Request code: 0-32 one log file, 96 coin, 97 bill, 98 bill discriminator, 99 all")
      .RequiredWithoutSubcommand();
  command.Add("--folder", &options->folder, "Folder for the .bin files (created when missing)")
      .RequiredWithoutSubcommand();
  command.Add("--line", &options->line, "Line settings to start detection from").ShowDefault();
  command.Add("--trace", &options->trace, "Trace file for the line traffic");
  AddShowCommand(command);
  command.run = [options] { return RunLogs(*options); };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
