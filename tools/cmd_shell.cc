// SPDX-License-Identifier: Apache-2.0
// vexokrt shell NAME: try a device's service object by hand, or script it.
// The service object is created through the registry and opened; each line
// then calls a dispatch member by name or reads or sets a property, and the
// events the service object fires are printed as they arrive (the shell pumps
// its window messages whenever it waits for input). See the README's "Shell"
// section for the command language.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#ifdef VEXOKRT_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

#include "argument_checks.h"
#include "command_registry.h"
#include "control/names.h"
#include "opos/opos.h"
#include "platform/activation.h"
#include "platform/message_window.h"
#include "platform/modal_dialog.h"
#include "platform/reg_file.h"
#include "service/properties.h"
#include "server_library.h"
#include "service_client.h"
#include "sim/control_script.h"
#include "sim/model.h"
#include "sim/simulator.h"
#include "sim/web_panel.h"
#include "terminal_dialog.h"

namespace vexokrt::tools {
namespace {

using platform::Variant;

// How a member takes its arguments.
enum class Arg { kLong, kBool, kString, kLongRef, kStringRef, kBoolRef, kControlObject };
enum class Returns { kLong, kString, kNothing };

struct MemberSignature {
  const char* name;
  std::vector<Arg> args;
  Returns returns;
};

const std::vector<MemberSignature>& Members() {
  static const std::vector<MemberSignature> members = {
      {"GetPropertyNumber", {Arg::kLong}, Returns::kLong},
      {"SetPropertyNumber", {Arg::kLong, Arg::kLong}, Returns::kNothing},
      {"GetPropertyString", {Arg::kLong}, Returns::kString},
      {"SetPropertyString", {Arg::kLong, Arg::kString}, Returns::kNothing},
      {"OpenService", {Arg::kString, Arg::kString, Arg::kControlObject}, Returns::kLong},
      {"Close", {}, Returns::kLong},
      {"Claim", {Arg::kLong}, Returns::kLong},
      {"Release", {}, Returns::kLong},
      {"CheckHealth", {Arg::kLong}, Returns::kLong},
      {"DirectIO", {Arg::kLong, Arg::kLongRef, Arg::kStringRef}, Returns::kLong},
      {"COFreezeEvents", {Arg::kBool}, Returns::kLong},
      {"DispenseCash", {Arg::kString}, Returns::kLong},
      {"DispenseChange", {Arg::kLong}, Returns::kLong},
      {"ReadCashCounts", {Arg::kStringRef, Arg::kBoolRef}, Returns::kLong},
      {"ClearInput", {}, Returns::kLong},
      {"BeginDeposit", {}, Returns::kLong},
      {"EndDeposit", {Arg::kLong}, Returns::kLong},
      {"FixDeposit", {}, Returns::kLong},
      {"PauseDeposit", {Arg::kLong}, Returns::kLong},
      {"GetOpenResult", {}, Returns::kLong},
      {"ClaimDevice", {Arg::kLong}, Returns::kLong},
      {"ReleaseDevice", {}, Returns::kLong},
      // Releases 1.8 to 1.11: only a service object of that release has them.
      {"ResetStatistics", {Arg::kString}, Returns::kLong},
      {"RetrieveStatistics", {Arg::kStringRef}, Returns::kLong},
      {"UpdateStatistics", {Arg::kString}, Returns::kLong},
      {"CompareFirmwareVersion", {Arg::kString, Arg::kLongRef}, Returns::kLong},
      {"UpdateFirmware", {Arg::kString}, Returns::kLong},
      {"AdjustCashCounts", {Arg::kString}, Returns::kLong},
  };
  return members;
}

const char* kHelp =
    "commands (words are case-insensitive; text arguments may be \"quoted\"):\n"
    "  MEMBER [ARG...]      call a dispatch member, e.g. ClaimDevice 1000, DispenseChange 1500,\n"
    "                       DirectIO 21 0 \"\", ReadCashCounts; the Control Object is supplied\n"
    "  get NAME|INDEX       read a property, e.g. get DeviceStatus, get 13006\n"
    "  set NAME|INDEX VALUE set a property, e.g. set DeviceEnabled 1, set CurrencyCode JPY\n"
    "  props                read every property of the service object's release\n"
    "  (release 1.8 and later, when the service object reports it: RetrieveStatistics [NAMES]\n"
    "   prints the statistics document, ResetStatistics NAMES, UpdateStatistics NAME=VALUE,...;\n"
    "   1.9: CompareFirmwareVersion FILE, UpdateFirmware FILE; 1.11: AdjustCashCounts COUNTS)\n"
    "  pump [MS]            handle events for MS milliseconds (default 0)\n"
    "  answer [N]           SODirectIO handlers leave pData at N (no N: unchanged)\n"
    "  dio NAME|NUMBER [pData] [pString]  DirectIO by readable name (help dio) or number\n"
    "  sim LINE             a control line for the simulator started with --sim (sim help)\n"
    "  help [MEMBER]        this text, or a member's arguments\n"
    "  (CheckHealth 3 opens the maintenance dialog: keys 1-4 press its buttons, q closes it)\n"
    "  quit                 close the service object and leave\n"
    "output lines: result MEMBER VALUE [NAME=VALUE...] | prop NAME VALUE | set NAME ResultCode=N |\n"
    "              event SOStatusUpdate N | event SOData N | event SODirectIO N pData \"pString\" |\n"
    "              sim TEXT | dialog TEXT | error TEXT\n";

// The words of a line, or what is wrong with it.
struct SplitLine {
  std::vector<std::string> words;
  std::string error;  // empty when the line was split
};

// Splits a line into words; "..." groups, with exactly the escapes \" \\ \n
// \t. A zero byte has no place in a command: it could not be handed on as
// text without cutting it short.
SplitLine SplitWords(const std::string& line) {
  SplitLine split;
  if (const size_t zero = line.find('\0'); zero != std::string::npos) {
    split.error = "zero byte in line at column " + std::to_string(zero + 1);
    return split;
  }
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < line.size()) {
          const char e = line[i++];
          switch (e) {
            case 'n':
              c = '\n';
              break;
            case 't':
              c = '\t';
              break;
            case '"':
            case '\\':
              c = e;
              break;
            default:
              split.error = std::string("unknown escape \\") + e;
              return split;
          }
        }
        word += c;
      }
      if (!closed) {
        split.error = "unterminated quote";
        return split;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') word += line[i++];
    }
    split.words.push_back(std::move(word));
  }
  return split;
}

// |line| with every control byte (and DEL) shown as \xNN, so an output line
// is one line of plain text whatever the input held.
std::string Visible(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (unsigned char c : line) {
    if (c < 0x20 || c == 0x7F) {
      static const char kDigits[] = "0123456789ABCDEF";
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<int32_t> ParseLong(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<bool> ParseBool(const std::string& text) {
  if (platform::RegNamesEqual(text, "true")) return true;
  if (platform::RegNamesEqual(text, "false")) return false;
  if (const auto value = ParseLong(text)) return *value != 0;
  return std::nullopt;
}

// The argument names of each member, for `help MEMBER`.
const char* ArgumentNames(const std::string& member) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"GetPropertyNumber", "PropIndex"}, {"SetPropertyNumber", "PropIndex Number"},
      {"GetPropertyString", "PropIndex"}, {"SetPropertyString", "PropIndex String"},
      {"OpenService", "DeviceClass DeviceName"}, {"Claim", "Timeout"}, {"CheckHealth", "Level"},
      {"DirectIO", "Command pData pString"}, {"COFreezeEvents", "Freeze"}, {"DispenseCash", "CashCounts"},
      {"DispenseChange", "Amount"}, {"ReadCashCounts", "pCashCounts pDiscrepancy"}, {"EndDeposit", "Success"},
      {"PauseDeposit", "Control"}, {"ClaimDevice", "Timeout"}, {"ResetStatistics", "StatisticsBuffer"},
      {"RetrieveStatistics", "pStatisticsBuffer"}, {"UpdateStatistics", "StatisticsBuffer"},
      {"CompareFirmwareVersion", "FirmwareFileName pResult"}, {"UpdateFirmware", "FirmwareFileName"},
      {"AdjustCashCounts", "CashCounts"}};
  for (const auto& [name, args] : kNames) {
    if (member == name) return args;
  }
  return "";
}

// `help WORD`: a member's arguments with their kinds, or the line of a
// shell command.
std::string HelpFor(const std::string& word) {
  for (const MemberSignature& member : Members()) {
    if (!platform::RegNamesEqual(member.name, word)) continue;
    std::string names = ArgumentNames(member.name);
    std::string line = std::string("help ") + member.name;
    size_t at = 0;
    for (Arg arg : member.args) {
      if (arg == Arg::kControlObject) continue;
      const size_t blank = names.find(' ', at);
      const std::string name = names.substr(at, blank == std::string::npos ? std::string::npos : blank - at);
      at = blank == std::string::npos ? names.size() : blank + 1;
      switch (arg) {
        case Arg::kLong: line += " " + name + ":number"; break;
        case Arg::kBool: line += " " + name + ":true|false"; break;
        case Arg::kString: line += " " + name + ":text"; break;
        case Arg::kLongRef: line += " [" + name + ":number, by reference]"; break;
        case Arg::kStringRef: line += " [" + name + ":text, by reference]"; break;
        case Arg::kBoolRef: line += " [" + name + ":true|false, by reference]"; break;
        case Arg::kControlObject: break;
      }
    }
    for (Arg arg : member.args) {
      if (arg == Arg::kControlObject) line += " (the shell's Control Object is passed as the last argument)";
    }
    line += member.returns == Returns::kLong     ? " -> result code"
            : member.returns == Returns::kString ? " -> text"
                                                 : " -> nothing (ResultCode is shown)";
    return line;
  }
  const std::string help = kHelp;
  for (size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = help.substr(start, end - start);
    if (line.size() > 2 && platform::RegNamesEqual(line.substr(2, word.size()), word) &&
        (line.size() == 2 + word.size() || line[2 + word.size()] == ' ')) {
      return "help" + line.substr(1);
    }
  }
  return "error no member or command " + word + " (try help)";
}

// Tab completion at a terminal: the first word from the commands and member
// names, the word after get, set and help from property or member names.
std::vector<std::string> CompletionCandidates(const std::string& before, const std::string& prefix) {
  static const char* const kCommands[] = {"get", "set", "props", "pump", "answer", "sim", "help", "quit"};
  std::vector<std::string> pool;
  const SplitLine split = SplitWords(before);
  const std::vector<std::string>& words = split.words;
  const size_t count = split.error.empty() ? words.size() : 0;
  if (count == 0) {
    pool.assign(std::begin(kCommands), std::end(kCommands));
    for (const MemberSignature& member : Members()) pool.emplace_back(member.name);
  } else if (count == 1 && (platform::RegNamesEqual(words[0], "get") || platform::RegNamesEqual(words[0], "set"))) {
    for (const service::PropertyInfo& info : service::kProperties) pool.emplace_back(info.name);
  } else if (count == 1 && platform::RegNamesEqual(words[0], "help")) {
    for (const MemberSignature& member : Members()) pool.emplace_back(member.name);
    pool.insert(pool.end(), std::begin(kCommands), std::end(kCommands));
  }
  std::vector<std::string> matches;
  for (const std::string& candidate : pool) {
    if (candidate.size() >= prefix.size() && platform::RegNamesEqual(candidate.substr(0, prefix.size()), prefix)) {
      matches.push_back(candidate);
    }
  }
  return matches;
}

#ifdef VEXOKRT_HAVE_READLINE
std::vector<std::string> g_completions;

char* NextCompletion(const char*, int state) {
  static size_t next = 0;
  if (state == 0) next = 0;
  return next < g_completions.size() ? ::strdup(g_completions[next++].c_str()) : nullptr;
}

char** CompleteWord(const char* text, int start, int) {
  rl_attempted_completion_over = 1;  // never fall back to file names
  g_completions = CompletionCandidates(std::string(rl_line_buffer, static_cast<size_t>(start)), text);
  return rl_completion_matches(text, NextCompletion);
}
#endif

// One line of a one-shot command, and the line that undoes it once it has
// succeeded (run, last first, however the command ends).
struct ScriptStep {
  std::string line;
  std::string undo;
};

struct ShellOptions {
  std::string command = "shell";  // the subcommand, for messages
  std::string name;
  bool open = true;
  // With sim_model: keep the temporary registry folder, and say where.
  bool keep = false;
  // With script: the outcome as one JSON object instead of the lines.
  bool json = false;
  // Non-empty: a simulated machine of this model serves the device.
  std::string sim_model;
  // With sim_model: "[ADDR:]PORT" of the simulator's control panel.
  std::string http;
  std::string library;
  // Non-empty: these lines run instead of reading the input, up to the
  // first that fails.
  std::vector<ScriptStep> script;
};

// A folder the shell made for itself, removed with everything in it when
// the shell ends, unless it is to be kept, in which case the shell says where.
class TemporaryFolder {
 public:
  TemporaryFolder() = default;
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder() {
    if (path_.empty()) return;
    if (keep_) {
      std::fprintf(stderr, "vexokrt %s: kept the simulator's registry folder %s\n", command_.c_str(), path_.c_str());
      return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  // Makes a new folder "vexokrt-COMMAND-XXXXXX" in the temporary folder.
  bool Make(const std::string& command, bool keep) {
    std::string pattern = (std::filesystem::temp_directory_path() / ("vexokrt-" + command + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    path_ = pattern;
    command_ = command;
    keep_ = keep;
    return true;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string command_;
  bool keep_ = false;
};

// The result of the last DirectIO call, for `dio --json`.
struct DirectIoOutcome {
  int32_t command = 0;
  int32_t result = 0;
  int32_t data = 0;
  std::string text;
};

// Readable names of the common direct I/O commands; the numbers stay valid.
struct DioName {
  const char* name;
  int32_t number;
  const char* what;
};
constexpr DioName kDioNames[] = {
    {"counts", 1, "held counts (set B)"},
    {"flags", 23, "five status flags"},
    {"coin-state", 41, "coin counts and coin-unit state"},
    {"table", 52, "count table block (pData 1-4)"},
    {"version", 62, "service object and device program versions"},
    {"summary", 63, "count summary"},
    {"last-change", 64, "counts against the last change"},
    {"stop", 71, "stop the operation in progress"},
    {"page", 73, "operating-settings page (pData 0-15; 99 saves all to the settings file)"},
    {"settings", 29, "load the settings file (pData 99) or one page (pData 0-15, pString five values)"},
    {"two-sets", 74, "two count sets (pData 0 or 1)"},
    {"reset", 75, "device reset"},
    {"error", 76, "device error number"},
    {"discrepancy", 80, "discrepancy flags"},
    {"status", 81, "status summary"},
    {"levels", 87, "fill level per denomination"},
    {"mode", 1001, "DirectIoMode"},
};

// The number of a "dio" word: a readable name or the number itself.
std::optional<int32_t> DioNumber(const std::string& word) {
  for (const DioName& n : kDioNames) {
    if (platform::RegNamesEqual(word, n.name)) return n.number;
  }
  char* end = nullptr;
  const long number = std::strtol(word.c_str(), &end, 10);
  if (word.empty() || *end != '\0' || number < INT32_MIN || number > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(number);
}

std::string DioHelp() {
  std::string text = "dio NAME|NUMBER [pData] [pString]: DirectIO by readable name or number; names:";
  for (const DioName& n : kDioNames) text += "\n  " + std::string(n.name) + " (" + std::to_string(n.number) + "): " + n.what;
  return text;
}

class Shell {
 public:
  explicit Shell(ShellOptions options) : options_(std::move(options)), name_(options_.name), open_(options_.open) {}
  int Run();
  // Runs the one-shot script up to its first failure, undoes what it did and
  // closes; the program's exit status.
  int RunScript();

 private:
  // Prints one output line, keeping an interactive prompt intact.
  void Emit(const std::string& line);
  void OnEvent(ReceivedEvent& event);
  // Runs one input line; false when the shell is to end.
  bool Execute(const std::string& line);
  void CallMemberLine(const MemberSignature& member, const std::vector<std::string>& words);
  void GetProperty(const std::string& which);
  void SetProperty(const std::string& which, const std::string& value);
  const service::PropertyInfo* Property(const std::string& which);
  int32_t ResultCode();
  // " OPOS_E_EXTENDED extended=238 (...)": the names of |result| (and of
  // ResultCodeExtended with 114) for a result line; empty for an unknown code.
  std::string ResultNames(int32_t result);
  void PumpFor(int ms);
  void Finish();
  // Starts the simulator and writes the device key for it; empty or what failed.
  std::string StartSimulator();
  void SimLine(const std::string& raw);
  int ReadLoop();
  // The next input line (without its end); nothing once input has ended.
  // Handles window messages while it waits. Used by the command loop and,
  // at a terminal too, by the dialog presenter while a dialog is open.
  std::optional<std::string> NextLine();
#ifdef VEXOKRT_HAVE_READLINE
  int ReadlineLoop();
  static void OnReadlineLine(char* line);
#endif

  // Declared first, so it goes last, once nothing uses the registry.
  TemporaryFolder temporary_registry_;
  ShellOptions options_;
  std::unique_ptr<sim::Simulator> simulator_;
  std::unique_ptr<sim::WebPanel> panel_;
  std::string name_;
  bool open_;
  bool interactive_ = false;
  bool done_ = false;
  std::optional<int32_t> answer_;
  // The first thing that went wrong since it was last cleared: an error line,
  // a member's non-zero result, a property set with a non-zero ResultCode.
  std::optional<std::string> failure_;
  std::optional<DirectIoOutcome> last_dio_;
  // With options_.json: the output lines, kept for the JSON object.
  std::vector<std::string> json_lines_;
  platform::ActivatedObject activated_;
  std::unique_ptr<EventControlObject> control_object_;
  // Input is kept from |start_| on; |searched_| marks how far it is known to
  // hold no line end, so each byte is looked at once however long a line is.
  std::string pending_;
  size_t start_ = 0;
  size_t searched_ = 0;
  bool input_ended_ = false;
};

Shell* g_readline_shell = nullptr;

void Shell::Emit(const std::string& raw) {
  const std::string line = Visible(raw);
  if (!failure_ && line.rfind("error ", 0) == 0) failure_ = line.substr(6);
  if (options_.json) {
    json_lines_.push_back(line);
    return;
  }
#ifdef VEXOKRT_HAVE_READLINE
  if (interactive_ && g_readline_shell != nullptr) {
    // Print above the prompt and the partly typed line, then redraw them.
    const int point = rl_point;
    char* saved = rl_copy_text(0, rl_end);
    rl_save_prompt();
    rl_replace_line("", 0);
    rl_redisplay();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    rl_restore_prompt();
    rl_replace_line(saved, 0);
    rl_point = point;
    rl_redisplay();
    std::free(saved);
    return;
  }
#endif
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Shell::OnEvent(ReceivedEvent& event) {
  if (event.member == "SODirectIO") {
    if (answer_) event.data = *answer_;
    Emit("event SODirectIO " + std::to_string(event.number) + " " + std::to_string(event.data) + " " +
         Quoted(event.text));
  } else {
    Emit("event " + event.member + " " + std::to_string(event.number));
  }
}

std::string Shell::ResultNames(int32_t result) {
  if (NameOf(NameTable::kResultCode, result) == nullptr) return {};
  bool ok = true;
  const int32_t extended =
      result == opos::OPOS_E_EXTENDED
          ? CallLong(activated_.object.get(), "GetPropertyNumber", {Variant::Long(service::pidx::kResultCodeExtended)}, &ok)
          : 0;
  return " " + DescribeResult(result, extended);
}

int32_t Shell::ResultCode() {
  bool ok = true;
  return CallLong(activated_.object.get(), "GetPropertyNumber", {Variant::Long(service::pidx::kResultCode)}, &ok);
}

const service::PropertyInfo* Shell::Property(const std::string& which) {
  if (const auto index = ParseLong(which)) return service::FindProperty(*index);
  return service::FindProperty(which);
}

void Shell::GetProperty(const std::string& which) {
  const service::PropertyInfo* info = Property(which);
  if (info == nullptr) return Emit("error unknown property " + which);
  std::vector<Variant> args = {Variant::Long(info->index)};
  Variant result;
  const auto hr = CallMember(activated_.object.get(), info->is_string ? "GetPropertyString" : "GetPropertyNumber",
                             args, &result);
  if (platform::FAILED(hr)) return Emit("error GetProperty failed with " + platform::HresultText(hr));
  if (info->is_string) {
    Emit(std::string("prop ") + info->name + " " + Quoted(result.AsString() ? *result.AsString() : ""));
  } else {
    Emit(std::string("prop ") + info->name + " " + std::to_string(result.AsLong() ? *result.AsLong() : 0));
  }
}

void Shell::SetProperty(const std::string& which, const std::string& value) {
  const service::PropertyInfo* info = Property(which);
  if (info == nullptr) return Emit("error unknown property " + which);
  std::vector<Variant> args;
  if (info->is_string) {
    args = {Variant::Long(info->index), Variant::String(value)};
  } else {
    const auto number = ParseLong(value);
    if (!number) return Emit("error not a number: " + value);
    args = {Variant::Long(info->index), Variant::Long(*number)};
  }
  const auto hr = CallMember(activated_.object.get(), info->is_string ? "SetPropertyString" : "SetPropertyNumber",
                             args, nullptr);
  if (platform::FAILED(hr)) return Emit("error SetProperty failed with " + platform::HresultText(hr));
  const int32_t code = ResultCode();
  if (code != 0 && !failure_) {
    failure_ = "set " + std::string(info->name) + " " + value + " failed: result " + std::to_string(code) +
               ResultNames(code);
  }
  Emit(std::string("set ") + info->name + " ResultCode=" + std::to_string(code));
}

void Shell::CallMemberLine(const MemberSignature& member, const std::vector<std::string>& words) {
  // Storage for by-reference arguments; reserved so the pointers stay valid.
  std::vector<int32_t> longs;
  std::vector<std::string> texts;
  longs.reserve(4);
  texts.reserve(4);
  std::vector<bool*> bool_refs;
  bool bool_slots[4] = {};
  std::vector<Variant> args;
  size_t given = 1;
  size_t needed = 0;
  for (Arg arg : member.args) needed += arg == Arg::kControlObject ? 0 : 1;
  if (words.size() - 1 > needed) return Emit(std::string("error ") + member.name + " takes " +
                                             std::to_string(needed) + " arguments");
  for (Arg arg : member.args) {
    const bool present = given < words.size();
    const std::string word = present ? words[given] : std::string();
    switch (arg) {
      case Arg::kLong: {
        if (!present) return Emit(std::string("error ") + member.name + " needs a number argument");
        const auto value = ParseLong(word);
        if (!value) return Emit("error not a number: " + word);
        args.push_back(Variant::Long(*value));
        ++given;
        break;
      }
      case Arg::kBool: {
        if (!present) return Emit(std::string("error ") + member.name + " needs a true/false argument");
        const auto value = ParseBool(word);
        if (!value) return Emit("error not true or false: " + word);
        args.push_back(Variant::Bool(*value));
        ++given;
        break;
      }
      case Arg::kString:
        if (!present) return Emit(std::string("error ") + member.name + " needs a text argument");
        args.push_back(Variant::String(word));
        ++given;
        break;
      case Arg::kLongRef: {
        int32_t value = 0;
        if (present) {
          const auto parsed = ParseLong(word);
          if (!parsed) return Emit("error not a number: " + word);
          value = *parsed;
        }
        longs.push_back(value);
        args.push_back(Variant::LongRef(&longs.back()));
        ++given;
        break;
      }
      case Arg::kStringRef:
        texts.push_back(word);
        args.push_back(Variant::StringRef(&texts.back()));
        ++given;
        break;
      case Arg::kBoolRef: {
        bool value = false;
        if (present) {
          const auto parsed = ParseBool(word);
          if (!parsed) return Emit("error not true or false: " + word);
          value = *parsed;
        }
        bool* slot = &bool_slots[bool_refs.size()];
        *slot = value;
        bool_refs.push_back(slot);
        args.push_back(Variant::BoolRef(slot));
        ++given;
        break;
      }
      case Arg::kControlObject:
        args.push_back(Variant::Dispatch(control_object_.get()));
        break;
    }
  }
  Variant result;
  const auto hr = CallMember(activated_.object.get(), member.name, args, &result);
  if (hr == platform::DISP_E_UNKNOWNNAME) {
    // A member of a later release than the service object's.
    bool ok = true;
    const int32_t version =
        CallLong(activated_.object.get(), "GetPropertyNumber", {Variant::Long(service::pidx::kServiceObjectVersion)}, &ok);
    return Emit(std::string("error ") + member.name + ": the service object (version " + std::to_string(version) +
                ") has no such member");
  }
  if (platform::FAILED(hr)) return Emit(std::string("error ") + member.name + " failed with " + platform::HresultText(hr));
  std::string line = std::string("result ") + member.name + " ";
  // The member and its by-value arguments, to name a failed call.
  std::string call = member.name;
  for (size_t i = 0, word = 1; i < member.args.size() && word < words.size(); ++i) {
    if (member.args[i] == Arg::kControlObject) continue;
    if (member.args[i] == Arg::kLong || member.args[i] == Arg::kBool || member.args[i] == Arg::kString) {
      call += " " + words[word];
    }
    ++word;
  }
  int32_t outcome = 0;
  switch (member.returns) {
    case Returns::kLong: {
      const int32_t value = result.AsLong() ? *result.AsLong() : 0;
      line += std::to_string(value);
      // Every member but GetPropertyNumber answers a result code.
      if (!platform::RegNamesEqual(member.name, "GetPropertyNumber")) {
        outcome = value;
        line += ResultNames(value);
      }
      break;
    }
    case Returns::kString:
      line += Quoted(result.AsString() ? *result.AsString() : "");
      break;
    case Returns::kNothing: {
      outcome = ResultCode();
      line += "- ResultCode=" + std::to_string(outcome) + ResultNames(outcome);
      break;
    }
  }
  if (outcome != 0 && !failure_) failure_ = call + " failed: result " + std::to_string(outcome) + ResultNames(outcome);
  if (member.name == std::string("DirectIO")) {
    last_dio_ = DirectIoOutcome{args[0].AsLong() ? *args[0].AsLong() : 0, outcome, longs.empty() ? 0 : longs[0],
                                texts.empty() ? std::string() : texts[0]};
  }
  // By-reference arguments as the member left them.
  size_t long_at = 0;
  size_t text_at = 0;
  size_t bool_at = 0;
  for (Arg arg : member.args) {
    switch (arg) {
      case Arg::kLongRef:
        line += std::string(platform::RegNamesEqual(member.name, "CompareFirmwareVersion") ? " pResult=" : " pData=") +
                std::to_string(longs[long_at++]);
        break;
      case Arg::kStringRef:
        line += std::string(platform::RegNamesEqual(member.name, "ReadCashCounts")       ? " cashCounts="
                            : platform::RegNamesEqual(member.name, "RetrieveStatistics") ? " statistics="
                                                                                          : " pString=") +
                Quoted(texts[text_at++]);
        break;
      case Arg::kBoolRef:
        line += std::string(" discrepancy=") + (*bool_refs[bool_at++] ? "1" : "0");
        break;
      case Arg::kLong:
      case Arg::kBool:
      case Arg::kString:
      case Arg::kControlObject:
        break;
    }
  }
  Emit(line);
}

void Shell::PumpFor(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  platform::PumpMessages();
  for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
    platform::PumpMessagesFor(
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1);
  }
}

bool Shell::Execute(const std::string& raw) {
  const SplitLine split = SplitWords(raw);
  if (!split.error.empty()) {
    Emit("error " + split.error);
    return true;
  }
  const std::vector<std::string>* words = &split.words;
  if (words->empty() || (*words)[0][0] == '#') return true;
  const std::string& command = (*words)[0];
  const auto is = [&](const char* word) { return platform::RegNamesEqual(command, word); };
  if (is("quit") || is("exit")) return false;
  // Help texts of several lines are printed line by line.
  const auto emit_lines = [this](const std::string& text) {
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      Emit(text.substr(start, end - start));
    }
    if (start < text.size()) Emit(text.substr(start));
  };
  if (is("help") && words->size() > 1 && platform::RegNamesEqual((*words)[1], "dio")) {
    emit_lines(DioHelp());
  } else if (is("help") && words->size() > 1) {
    Emit(HelpFor((*words)[1]));
  } else if (is("help")) {
    emit_lines(kHelp);
  } else if (is("get")) {
    if (words->size() != 2) {
      Emit("error get NAME|INDEX");
    } else {
      GetProperty((*words)[1]);
    }
  } else if (is("set")) {
    if (words->size() != 3) {
      Emit("error set NAME|INDEX VALUE");
    } else {
      SetProperty((*words)[1], (*words)[2]);
    }
  } else if (is("props")) {
    // Only the properties of the release the service object reports: an
    // older one answers the others as unknown indexes.
    bool ok = true;
    const int32_t version =
        CallLong(activated_.object.get(), "GetPropertyNumber", {Variant::Long(service::pidx::kServiceObjectVersion)}, &ok);
    const int32_t minor = version / 1000 % 1000;
    for (const service::PropertyInfo& info : service::kProperties) {
      if (info.since_minor <= minor) GetProperty(info.name);
    }
  } else if (is("pump")) {
    std::optional<int32_t> ms = words->size() > 1 ? ParseLong((*words)[1]) : std::optional<int32_t>(0);
    if (!ms || *ms < 0) {
      Emit("error pump [MS]");
    } else {
      PumpFor(*ms);
    }
  } else if (is("dio")) {
    const std::optional<int32_t> number = words->size() >= 2 && words->size() <= 4 ? DioNumber((*words)[1]) : std::nullopt;
    if (!number) {
      Emit("error dio NAME|NUMBER [pData] [pString] (help dio)");
    } else {
      std::vector<std::string> call = {"DirectIO", std::to_string(*number), words->size() > 2 ? (*words)[2] : "0",
                                       words->size() > 3 ? (*words)[3] : ""};
      for (const MemberSignature& m : Members()) {
        if (m.name == std::string("DirectIO")) CallMemberLine(m, call);
      }
    }
  } else if (is("sim")) {
    SimLine(raw);
  } else if (is("answer")) {
    if (words->size() == 1) {
      answer_.reset();
    } else if (const auto value = ParseLong((*words)[1])) {
      answer_ = *value;
    } else {
      Emit("error answer [N]");
    }
  } else {
    const MemberSignature* member = nullptr;
    for (const MemberSignature& m : Members()) {
      if (platform::RegNamesEqual(m.name, command)) member = &m;
    }
    if (member == nullptr) {
      Emit("error unknown command " + command + " (try help)");
    } else {
      CallMemberLine(*member, *words);
    }
  }
  // Whatever the call made the service object post is handled now.
  platform::PumpMessages();
  return true;
}

std::string Shell::StartSimulator() {
  const std::optional<sim::Model> model = sim::ParseModel(options_.sim_model);
  if (!model) return "unknown model " + options_.sim_model;
  const char* given = std::getenv("OPOS_REGISTRY_DIR");
  if (given == nullptr || *given == '\0') {
    if (!temporary_registry_.Make(options_.command, options_.keep)) {
      return std::string("cannot create a temporary registry folder: ") + std::strerror(errno);
    }
    ::setenv("OPOS_REGISTRY_DIR", temporary_registry_.path().c_str(), 1);
  }
  sim::EngineOptions engine;
  engine.model = *model;
  simulator_ = std::make_unique<sim::Simulator>(engine);
  if (const sim::StartResult started = simulator_->Start(); !started.ok) return started.error;
  if (!options_.http.empty()) {
    const std::optional<sim::WebPanelOptions> panel = sim::ParseListenAddress(options_.http);
    if (!panel) return "--http takes [ADDRESS:]PORT, not " + options_.http;
    panel_ = std::make_unique<sim::WebPanel>(simulator_->Engine(), *panel);
    if (const sim::WebPanel::StartResult served = panel_->Start(); !served.ok) return served.error;
    Emit("sim panel " + panel_->Url());
  }
  if (std::string error = RegisterServerLibrary(ServerLibraryPath(options_.library)); !error.empty()) return error;
  return WriteDeviceKey(name_, {{"Port", simulator_->SlavePath()}, {"Port_Initialize_String", "9600,E,8,1"},
                                {"WatchInterval", "100"}});
}

void Shell::SimLine(const std::string& raw) {
  if (!simulator_) return Emit("error no simulator (start the shell with --sim MODEL)");
  const size_t at = raw.find_first_not_of(" \t");
  const std::string line = raw.substr(raw.find_first_of(" \t", at) == std::string::npos ? raw.size()
                                                                                       : raw.find_first_of(" \t", at) + 1);
  const sim::ControlReply reply = sim::ExecuteControlLine(simulator_->Engine(), line);
  size_t start = 0;
  for (size_t end; (end = reply.text.find('\n', start)) != std::string::npos; start = end + 1) {
    Emit("sim " + reply.text.substr(start, end - start));
  }
  if (start < reply.text.size()) Emit("sim " + reply.text.substr(start));
  if (reply.text.empty()) Emit(reply.ok ? "sim ok" : "sim error");
}

void Shell::Finish() {
  platform::PumpMessages();
  bool ok = true;
  // Close is harmless on a closed object; a Control Object always closes.
  const int32_t closed = CallLong(activated_.object.get(), "Close", {}, &ok);
  Emit("result Close " + std::to_string(closed) + (ok ? ResultNames(closed) : std::string()));
}

std::optional<std::string> Shell::NextLine() {
  const int message_fd = platform::ThreadMessageFd();
  char buffer[65536];
  for (;;) {
    if (const size_t at = pending_.find('\n', searched_); at != std::string::npos) {
      std::string line = pending_.substr(start_, at - start_);
      start_ = searched_ = at + 1;
      return line;
    }
    searched_ = pending_.size();
    if (start_ > 0 && start_ * 2 >= pending_.size()) {
      // Drop the lines done once they are half of what is kept.
      pending_.erase(0, start_);
      searched_ -= start_;
      start_ = 0;
    }
    if (input_ended_) {
      if (start_ >= pending_.size()) return std::nullopt;
      std::string rest = pending_.substr(start_);
      pending_.clear();
      start_ = searched_ = 0;
      return rest;
    }
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {message_fd, POLLIN, 0}};
    const int n = ::poll(fds, message_fd >= 0 ? 2 : 1, -1);
    if (n < 0 && errno != EINTR) {
      input_ended_ = true;
      continue;
    }
    if (message_fd >= 0 && (fds[1].revents & POLLIN) != 0) platform::PumpMessages();
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got > 0) {
        pending_.append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        input_ended_ = true;
      }
    }
  }
}

int Shell::ReadLoop() {
  while (const std::optional<std::string> line = NextLine()) {
    if (!Execute(*line)) return 0;
  }
  return 0;
}

#ifdef VEXOKRT_HAVE_READLINE
void Shell::OnReadlineLine(char* line) {
  Shell* shell = g_readline_shell;
  if (line == nullptr) {
    shell->done_ = true;
    rl_callback_handler_remove();
    std::printf("\n");  // end of input leaves the cursor behind the prompt
    return;
  }
  if (*line != '\0') add_history(line);
  const std::string text(line);
  std::free(line);
  // Output of the command goes below the line just entered.
  g_readline_shell = nullptr;
  if (!shell->Execute(text)) shell->done_ = true;
  g_readline_shell = shell;
  // No prompt after the last command.
  if (shell->done_) rl_callback_handler_remove();
}

// Where the interactive shell keeps its history from one run to the next:
// the user's state folder ($XDG_STATE_HOME, else ~/.local/state), in
// vexokrt/shell_history. Empty when there is no home to put it in.
std::string HistoryPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::filesystem::path folder;
  if (state != nullptr && state[0] == '/') {
    folder = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    folder = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  return (folder / "vexokrt" / "shell_history").string();
}

// The lines of history kept in the file.
constexpr int kHistoryLines = 1000;

int Shell::ReadlineLoop() {
  const std::string history = HistoryPath();
  if (!history.empty()) ::read_history(history.c_str());  // none yet on the first run
  g_readline_shell = this;
  rl_attempted_completion_function = CompleteWord;
  rl_callback_handler_install("vexokrt> ", &Shell::OnReadlineLine);
  const int message_fd = platform::ThreadMessageFd();
  while (!done_) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {message_fd, POLLIN, 0}};
    const int n = ::poll(fds, message_fd >= 0 ? 2 : 1, -1);
    if (n < 0 && errno != EINTR) break;
    if (message_fd >= 0 && (fds[1].revents & POLLIN) != 0) platform::PumpMessages();
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) rl_callback_read_char();
  }
  g_readline_shell = nullptr;
  if (!history.empty()) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(history).parent_path(), error);
    if (error || ::write_history(history.c_str()) != 0 ||
        ::history_truncate_file(history.c_str(), kHistoryLines) != 0) {
      std::fprintf(stderr, "vexokrt shell: cannot keep the history in %s\n", history.c_str());
    }
  }
  return 0;
}
#endif

int Shell::Run() {
  interactive_ = options_.script.empty() && ::isatty(STDIN_FILENO) != 0;
  if (!options_.http.empty() && options_.sim_model.empty()) return UsageError(options_.command, "--http needs --sim");
  if (options_.keep && options_.sim_model.empty()) return UsageError(options_.command, "--keep needs --sim");
  const char* command = options_.command.c_str();
  if (!options_.sim_model.empty()) {
    if (const std::string error = StartSimulator(); !error.empty()) {
      std::fprintf(stderr, "vexokrt %s: %s\n", command, error.c_str());
      return kExitFailure;
    }
  }
  activated_ = platform::ActivateServiceObject("CashChanger", name_);
  if (activated_.error != platform::ActivationError::kNone) {
    std::fprintf(stderr, "vexokrt %s: %s\n", command, activated_.message.c_str());
    return kExitFailure;
  }
  control_object_ = std::make_unique<EventControlObject>([this](ReceivedEvent& event) { OnEvent(event); });
  // The service object's dialogs (CheckHealth 3) are drawn here and read
  // their keys from the same input as the commands. At a terminal readline
  // has handed the line over and left the terminal in its normal mode while
  // a command runs, so plain reads see whole lines there too.
  TerminalDialogPresenter presenter([this](const std::string& line) { Emit(line); }, [this] { return NextLine(); },
                                    [this] {
                                      if (!interactive_) return;
                                      std::fputs("dialog> ", stdout);
                                      std::fflush(stdout);
                                    });
  platform::DialogPresenter* previous_presenter = platform::SetDialogPresenter(&presenter);
  if (interactive_) {
    std::printf("service object %s from %s; type help for the commands\n", activated_.prog_id.c_str(),
                activated_.library_path.c_str());
  }
  int status = kExitSuccess;
  if (!options_.script.empty()) {
    status = RunScript();
  } else {
    if (open_) Execute("OpenService CashChanger " + Quoted(name_));
#ifdef VEXOKRT_HAVE_READLINE
  if (interactive_) {
    ReadlineLoop();
  } else {
    ReadLoop();
  }
#else
    ReadLoop();
#endif
    Finish();
  }
  platform::SetDialogPresenter(previous_presenter);
  activated_.object.Reset();
  if (panel_) panel_->Stop();
  if (simulator_) simulator_->Stop();
  return status;
}

int Shell::RunScript() {
  failure_.reset();
  std::vector<std::string> undo;
  if (open_) Execute("OpenService CashChanger " + Quoted(name_));
  for (const ScriptStep& step : options_.script) {
    if (failure_) break;
    Execute(step.line);
    if (!failure_ && !step.undo.empty()) undo.push_back(step.undo);
  }
  std::optional<std::string> failure = failure_;
  for (auto line = undo.rbegin(); line != undo.rend(); ++line) Execute(*line);
  Finish();
  // Undoing can fail too (a release the device refuses).
  if (!failure) failure = failure_;
  if (options_.json) {
    nlohmann::ordered_json outcome = {{"device", name_}};
    if (last_dio_) {
      outcome["command"] = last_dio_->command;
      outcome["result"] = last_dio_->result;
      outcome["pData"] = last_dio_->data;
      outcome["pString"] = last_dio_->text;
    }
    outcome["failure"] = failure ? nlohmann::ordered_json(*failure) : nlohmann::ordered_json(nullptr);
    outcome["lines"] = json_lines_;
    // Bytes that are not UTF-8 are shown as U+FFFD rather than refused.
    std::printf("%s\n", outcome.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
  }
  if (!failure) return kExitSuccess;
  std::fprintf(stderr, "vexokrt %s: %s\n", options_.command.c_str(), failure->c_str());
  return kExitFailure;
}

const CommandRegistration kShellCommand{[] {
  auto options = std::make_shared<ShellOptions>();
  auto no_open = std::make_shared<bool>(false);
  Command command{"shell", "Call a device's service object by hand or from a script"};
  command.footer =
      "Each line calls a dispatch member by name (ClaimDevice 1000, ReadCashCounts, ...) or runs get, set, props, "
      "pump, answer, dio, sim, help or quit. A service object whose device key sets UposVersion 1.8 or later also "
      "has RetrieveStatistics [NAMES], ResetStatistics NAMES, UpdateStatistics NAME=VALUE,... (1.8), "
      "CompareFirmwareVersion FILE, UpdateFirmware FILE (1.9) and AdjustCashCounts COUNTS (1.11); props lists "
      "the properties of its release.\nExample: vexokrt shell --sim KRT07 Dev1";
  command.Add("NAME", &options->name, "OPOS device name").Required();
  command.Add("--no-open", no_open.get(), "do not call OpenService at the start");
  command.Add("--sim", &options->sim_model,
              "serve NAME by a simulated KRT07, KRT77, KRT03, KRT02F or KRT02FA inside the program "
              "(the device key is written into the registry folder; without OPOS_REGISTRY_DIR a temporary "
              "one, removed at the end)")
      .Check(RefuseUnknownModel);
  command.Add("--keep", &options->keep, "with --sim: keep the temporary registry folder and say where it is");
  command.Add("--http", &options->http,
              "with --sim: serve the simulator's control panel on [ADDRESS:]PORT (address 127.0.0.1 "
              "unless given; port 0: any free one); the shell prints \"sim panel URL\"")
      .Check(RefuseListenAddress);
  command.Add("--library", &options->library,
              "path of libvexokrt77.so (default: the installed one, or the one beside this program in the build "
              "tree)");
  command.run = [options, no_open] {
    options->open = !*no_open;
    Shell shell(*options);
    return shell.Run();
  };
  return command;
}};

// "vexokrt dio": one direct I/O command on a claimed, enabled device, as the
// shell's "dio" line runs it.
const CommandRegistration kDioCommand{[] {
  auto options = std::make_shared<ShellOptions>();
  auto what = std::make_shared<std::string>();
  auto data = std::make_shared<std::string>("0");
  auto text = std::make_shared<std::string>();
  Command command{"dio", "Run one DirectIO command by readable name or number on a device"};
  command.footer =
      "Claims the device, enables it and runs the command, stopping at the first step that fails, then releases "
      "it.\nExit status: 0 done, 1 a step failed (named on standard error), 2 a usage error.\n"
      "Example: vexokrt dio Dev1 counts --sim KRT07";
  command.Add("NAME", &options->name, "OPOS device name").Required();
  command.Add("COMMAND", what.get(),
              "a name (counts, status, levels, version, page, ...; see the shell's \"help dio\") or a command number")
      .Required()
      .Check([](const std::string& word) {
        return DioNumber(word) ? std::string() : "not a DirectIO name or number: " + word;
      });
  command.Add("PDATA", data.get(), "pData (default 0)").Check(RefuseNonNumber);
  command.Add("PSTRING", text.get(), "pString (default empty)");
  command.Add("--sim", &options->sim_model, "serve NAME by a simulated KRT07, KRT77, KRT03, KRT02F or KRT02FA")
      .Check(RefuseUnknownModel);
  command.Add("--keep", &options->keep, "with --sim: keep the temporary registry folder and say where it is");
  command.Add("--json", &options->json, "print the outcome as one JSON object (command, result, pData, pString)");
  command.Add("--library", &options->library,
              "path of libvexokrt77.so (default: the installed one, or the one beside this program in the build "
              "tree)");
  command.run = [options, what, data, text] {
    options->command = "dio";
    options->script = {{"ClaimDevice 3000", "ReleaseDevice"},
                       {"set DeviceEnabled 1", ""},
                       {"dio " + *what + " " + *data + " " + Quoted(*text), ""}};
    Shell shell(*options);
    return shell.Run();
  };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
