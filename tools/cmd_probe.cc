// SPDX-License-Identifier: Apache-2.0
// vexokrt probe: finds out which cash changer answers on a serial port.
//
// Opens the port with the given line settings, runs the model detection,
// then reads the status record with the model's status command and prints
// what was found. The trace of the detection goes to a file (--trace, in the
// trace log's own format) or, converted for the terminal, to stderr. With
// --json standard output holds one JSON object with the same findings.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "command_registry.h"
#include "diag/trace_log.h"
#include "link/command_set.h"
#include "link/line_sequences.h"
#include "link/serial_link.h"
#include "platform/codepage.h"
#include "platform/serial_port.h"

namespace vexokrt::tools {
namespace {

struct ProbeOptions {
  std::string port;
  std::string line = "9600,E,8,1";
  std::string trace;
  bool json = false;
};

const char* ModelName(ModelCode model) {
  switch (model) {
    case ModelCode::kKrt02:
      return "KRT02";
    case ModelCode::kKrt03:
      return "KRT03";
    case ModelCode::kKrt07:
      return "KRT07";
    case ModelCode::kKrt77:
      return "KRT77";
    case ModelCode::kUnknown:
      return "unknown";
  }
  return "unknown";
}

// Bits of a three-byte status group in the order they are reported per
// denomination: g bit 1, g+1 bit 3, g bit 0, g+1 bit 2, g+1 bits 1 and 0,
// g+2 bits 3 to 0.
std::string GroupBits(const std::vector<uint8_t>& d, size_t g) {
  const int order[10][2] = {{0, 1}, {1, 3}, {0, 0}, {1, 2}, {1, 1}, {1, 0}, {2, 3}, {2, 2}, {2, 1}, {2, 0}};
  std::string bits;
  for (const auto& [offset, bit] : order) bits += (d[g + offset] >> bit) & 1 ? '1' : '0';
  return bits;
}

std::string Printable(const std::vector<uint8_t>& d) {
  std::string text;
  for (const uint8_t b : d) text += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
  return text;
}

void PrintStatus(const std::vector<uint8_t>& d) {
  std::printf("status record: %zu bytes\n  text: %s\n  hex:", d.size(), Printable(d).c_str());
  for (size_t i = 0; i < d.size(); ++i) std::printf("%s%02X", i % 16 == 0 && i > 0 ? "\n       " : " ", d[i]);
  std::printf("\n");
  if (d.size() < 44) return;
  const char state = static_cast<char>(d[1]);
  std::printf("  state (byte 1): '%c' %s\n", state,
              state == '1'   ? "stopped with an error"
              : state == '0' ? "normal"
                             : "not idle");
  if (state == '1') {
    std::printf("  device error number (bytes 3-6): %X%X%X%X\n", d[3] & 0x0F, d[4] & 0x0F, d[5] & 0x0F, d[6] & 0x0F);
  }
  std::printf("  conditions (bytes 7, 8): %02X %02X%s\n", d[7], d[8],
              ((d[7] | d[8]) & 0x04) ? " (cash is being handled)" : "");
  std::printf("  status groups, ten positions in reporting order:\n");
  std::printf("    full        %s\n", GroupBits(d, 9).c_str());
  std::printf("    near full   %s\n", GroupBits(d, 12).c_str());
  std::printf("    near empty  %s\n", GroupBits(d, 15).c_str());
  std::printf("    empty       %s\n", GroupBits(d, 18).c_str());
  std::printf("  bill side (byte 21): %s\n", (d[21] & 0x08)   ? "full"
                                             : (d[21] & 0x04) ? "near full"
                                                              : "-");
  std::printf("  unit state (byte 43): %X\n", d[43] & 0x0F);
  if (d.size() >= 51) {
    std::printf("  bytes 44, 45: %c%c   deposit unit (47-50): %c%c %c%c\n", d[44], d[45], d[47], d[48], d[49], d[50]);
  }
}

// Why a port cannot be opened, for the person at the terminal: errno in words
// and, where the remedy is always the same, the remedy.
std::string OpenFailureText(int error) {
  if (error == 0) return "the port cannot be opened";
  std::string text = std::string("the port cannot be opened: ") + std::strerror(error) + " (errno " +
                     std::to_string(error) + ")";
  if (error == EACCES || error == EPERM) {
    text += "; serial ports belong to the group dialout: sudo usermod -aG dialout $USER, then log in again";
  } else if (error == EBUSY) {
    text += "; another program holds the port (sudo fuser -v PORT names it)";
  } else if (error == ENOENT || error == ENXIO || error == ENODEV) {
    text += "; no such device (is the adapter plugged in? ls -l /dev/serial/by-id/)";
  }
  return text;
}

nlohmann::ordered_json StatusJson(const std::vector<uint8_t>& d) {
  std::string hex;
  for (const uint8_t b : d) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    hex += two;
  }
  nlohmann::ordered_json status = {{"length", d.size()}, {"text", Printable(d)}, {"hex", hex}};
  if (d.size() >= 44) {
    status["state"] = std::string(1, static_cast<char>(d[1]));
    status["full"] = GroupBits(d, 9);
    status["near_full"] = GroupBits(d, 12);
    status["near_empty"] = GroupBits(d, 15);
    status["empty"] = GroupBits(d, 18);
  }
  return status;
}

int RunProbe(const ProbeOptions& options) {
  // Without --trace the trace goes to a scratch file that is shown on stderr
  // afterwards in the terminal's encoding.
  std::string scratch;
  std::string trace_path = options.trace;
  if (trace_path.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexokrt-probe-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
      ::close(fd);
      scratch = trace_path = pattern;
    }
  }
  diag::TraceLog trace;
  trace.SetFileName(trace_path);
  trace.SetLevel(diag::kLevelInfo);

  link::SerialLink serial(trace, options.port, options.line);
  int exit_code = kExitSuccess;
  nlohmann::ordered_json found = {{"port", options.port},
                                  {"device", platform::DevicePathForPortName(options.port)}};
  if (!options.json) {
    std::printf("port: %s (%s)\n", options.port.c_str(), platform::DevicePathForPortName(options.port).c_str());
  }
  if (serial.OpenPort() != 0) {
    // The link says only that it failed: opening the device once more
    // ourselves tells why.
    int error = 0;
    platform::OpenSerialPort(options.port, &error);
    found["opened"] = false;
    found["errno"] = error;
    found["error"] = OpenFailureText(error);
    if (!options.json) std::printf("%s\n", OpenFailureText(error).c_str());
    exit_code = kExitFailure;
  } else {
    found["opened"] = true;
    const ModelDetection detection = serial.DetectModel();
    const ModelCode model = serial.Model();
    // The number as the probe has always printed it: 0 ready, the refused
    // answer byte of the mode change, -100 otherwise.
    const int detected = detection.ready() ? 0
                         : detection.outcome == ModelDetection::Outcome::kModeChangeRefused
                             ? detection.refused_answer
                             : -100;
    const bool mode_a = model == ModelCode::kKrt02 && detected == 0;
    const std::string line = serial.IsOpen() ? serial.LineDefinition() : "(port closed)";
    found["detection_result"] = detected;
    found["model"] = ModelName(model);
    found["model_code"] = static_cast<int>(model);
    found["communication_mode"] = mode_a ? nlohmann::ordered_json("A") : nlohmann::ordered_json(nullptr);
    found["line_settings"] = serial.IsOpen() ? nlohmann::ordered_json(line) : nlohmann::ordered_json(nullptr);
    if (!options.json) {
      std::printf("detection result: %d\n", detected);
      std::printf("model: %s (code %d)%s\n", ModelName(model), static_cast<int>(model),
                  mode_a ? ", communication mode A" : "");
      std::printf("line settings: %s\n", line.c_str());
    }
    if (detected != 0) {
      exit_code = kExitFailure;
    } else {
      const DeviceReply reply = Exchange(serial, StatusCommand(model).bytes, 1000);
      const int status = StatusNumber(reply.status);
      if (status != StatusNumber(kReplyOk) || reply.length() != StatusRecordLength(model)) {
        char text[96];
        std::snprintf(text, sizeof text, "status read failed: status %d, answer byte 0x%02X, %d data bytes", status,
                      static_cast<unsigned>(reply.answerByte), reply.length());
        found["error"] = text;
        if (!options.json) std::printf("%s\n", text);
        exit_code = kExitFailure;
      } else {
        found["status"] = StatusJson(reply.data);
        if (!options.json) PrintStatus(reply.data);
      }
    }
    serial.ClosePort();
  }
  if (options.json) std::printf("%s\n", found.dump(2).c_str());
  std::fflush(stdout);

  if (!scratch.empty()) {
    std::ifstream in(scratch, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::string text = platform::Cp932ToUtf8(bytes);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::error_code ignored;
    std::filesystem::remove(scratch, ignored);
  }
  return exit_code;
}

const CommandRegistration kProbeCommand{[] {
  auto options = std::make_shared<ProbeOptions>();
  Command command{"probe", "Detect the cash changer on a serial port and read its status"};
  command.Add("--port", &options->port, "Serial port (device path or COMn)").Required();
  command.Add("--line", &options->line, "Line settings to start detection from: baud,parity,data bits,stop bits")
      .ShowDefault()
      .Check([](const std::string& text) {
        return platform::ParseLineDefinition(text) ? std::string() : "not a line definition such as 9600,E,8,1";
      });
  command.Add("--trace", &options->trace, "Trace file (default: the trace is shown on stderr)");
  command.Add("--json", &options->json, "print the findings as one JSON object");
  command.run = [options] { return RunProbe(*options); };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
