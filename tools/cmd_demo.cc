// SPDX-License-Identifier: Apache-2.0
// vexokrt demo: the whole life of a cash changer as a point-of-sale
// application sees it, against the simulator running inside this process on
// a pseudo-terminal. The service object is created through the registry from
// libvexokrt77.so exactly as a Control Object would; its events arrive on
// this thread whenever it pumps its window messages.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cash/cash_counts.h"
#include "argument_checks.h"
#include "command_registry.h"
#include "config/device_config.h"
#include "control/names.h"
#include "opos/opos.h"
#include "platform/activation.h"
#include "platform/message_window.h"
#include "platform/registry.h"
#include "server_library.h"
#include "service/properties.h"
#include "service_client.h"
#include "sim/model.h"
#include "sim/simulator.h"
#include "sim/web_panel.h"

namespace vexokrt::tools {
namespace {

using platform::Variant;
using Clock = std::chrono::steady_clock;

constexpr char kDemoDevice[] = "VexoDemo";

struct DemoOptions {
  std::string model = "KRT07";
  std::string library;
  // "[ADDR:]PORT" of the simulator's control panel; empty: none.
  std::string http;
  // The release the device key asks the service object to serve
  // (UposVersion).
  std::string upos = "1.6";
};

class Demo {
 public:
  explicit Demo(const DemoOptions& options) : options_(options), start_(Clock::now()) {}
  int Run();

 private:
  void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void OnEvent(const ReceivedEvent& event);
  // Pumps this thread's messages until an SOStatusUpdate with |status|
  // arrives or |limit_ms| pass. True when it arrived.
  bool AwaitStatus(int32_t status, int limit_ms);
  void Pump(int ms);
  int32_t Call(const char* member, std::vector<Variant> args = {});
  void SetNumber(const char* name, int32_t value);
  void PrintProperties();
  std::string PrepareFolders();
  // Reads the counts through the service object: their yen, or -1.
  int64_t ReadCounts(const char* when);
  // A deposit, change paid asynchronously, and a pay-out that jams half-way,
  // with the counts before and after. True when every amount adds up.
  bool CashCycle(sim::ChangerEngine& machine);
  int32_t GetNumber(int32_t index);
  // Statistics (1.8), firmware (1.9) and AdjustCashCounts (1.11), each
  // when release 1.<minor> has it. A refusal is said with its name and does
  // not fail the demo.
  void LaterReleases(int32_t minor);
  // A member that a service object of an older release lacks: its result,
  // or nothing (said) when the service object has no such member.
  std::optional<int32_t> CallLater(const char* member, std::vector<Variant> args);
  std::string Described(int32_t result);

  DemoOptions options_;
  Clock::time_point start_;
  std::unique_ptr<EventControlObject> control_object_;
  platform::ComPtr<platform::IDispatch> service_;
  std::vector<ReceivedEvent> events_;
  bool calls_ok_ = true;
  std::string registry_dir_;
  std::string log_dir_;
};

void Demo::Say(const char* format, ...) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  std::printf("[%5lld ms] ", static_cast<long long>(ms));
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

void Demo::OnEvent(const ReceivedEvent& event) {
  events_.push_back(event);
  if (event.member == "SODirectIO") {
    Say("event SODirectIO EventNumber %d pData %d pString %s", event.number, event.data, Quoted(event.text).c_str());
  } else if (event.member == "SOStatusUpdate") {
    const char* name = StatusUpdateName(event.number);
    Say("event SOStatusUpdate %d (%s)", event.number, name != nullptr ? name : "");
  } else {
    Say("event %s %d", event.member.c_str(), event.number);
  }
}

void Demo::Pump(int ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  for (auto now = Clock::now(); now < until; now = Clock::now()) {
    platform::PumpMessagesFor(
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1);
  }
}

int32_t Demo::GetNumber(int32_t index) { return Call("GetPropertyNumber", {Variant::Long(index)}); }

int64_t Demo::ReadCounts(const char* when) {
  std::string text;
  bool discrepancy = false;
  const int32_t result =
      Call("ReadCashCounts", {Variant::StringRef(&text), Variant::BoolRef(&discrepancy)});
  Say("ReadCashCounts (%s): %d, %s", when, result, text.c_str());
  // The plain form of the stock; the total form starts with the pieces in
  // the collection box, which "0:" would not parse as a denomination.
  const std::string plain = text.rfind("0:", 0) == 0 ? text.substr(text.find(',') + 1) : text;
  cash::DispenseRecord record;
  if (result != 0 || !cash::ParseCashCounts(plain, &record, false, false)) return -1;
  return cash::Amount(record.Counts());
}

bool Demo::CashCycle(sim::ChangerEngine& machine) {
  bool ok = true;
  const int64_t before = ReadCounts("before");

  // A customer pays 1234 yen with 1000 + 500 + 3 x 100 = 1800 yen.
  Say("BeginDeposit: %d", Call("BeginDeposit"));
  Say("simulator: the customer inserts 1000 + 500 + 3 x 100 yen");
  sim::CashCounts inserted{};
  inserted[*sim::DenominationIndex(1000)] = 1;
  inserted[*sim::DenominationIndex(500)] = 1;
  inserted[*sim::DenominationIndex(100)] = 3;
  machine.InsertCash(inserted);
  const size_t seen = events_.size();
  const auto until = Clock::now() + std::chrono::milliseconds(5000);
  auto data_seen = [&] {
    for (size_t i = seen; i < events_.size(); ++i) {
      if (events_[i].member == "SOData") return true;
    }
    return false;
  };
  // The KRT02 family tells nothing while it counts: its deposit is read
  // at FixDeposit.
  std::string name;
  {
    std::vector<Variant> args = {Variant::Long(service::pidx::kDeviceName)};
    Variant value;
    CallMember(service_.get(), "GetPropertyString", args, &value);
    if (value.AsString()) name = *value.AsString();
  }
  if (name.rfind("KRT02", 0) != 0) {
    while (!data_seen() && Clock::now() < until) platform::PumpMessagesFor(20);
    ok = data_seen() && ok;
  } else {
    // The KRT02 family tells nothing while it counts and is read at
    // FixDeposit, so the cashier waits until the machine has counted.
    Say("(a KRT02 reports its deposit at FixDeposit: waiting until the machine has counted)");
    auto counting = [&] {
      const sim::DepositView view = machine.Deposit();
      return view.bill_counting || view.coin_counting;
    };
    while (counting() && Clock::now() < until) platform::PumpMessagesFor(20);
  }
  Say("DepositAmount is %d", GetNumber(service::pidx::kDepositAmount));
  Say("FixDeposit: %d", Call("FixDeposit"));
  const int32_t deposited = GetNumber(service::pidx::kDepositAmount);
  const int32_t ended = Call("EndDeposit", {Variant::Long(1)});
  Say("EndDeposit(1, with change): %d; DepositStatus %d, DepositAmount %d", ended,
      GetNumber(service::pidx::kDepositStatus), deposited);
  ok = ended == 0 && ok;
  ok = deposited == 1800 && ok;

  // The change, paid while the application goes on.
  const int32_t change = deposited - 1234;
  SetNumber("AsyncMode", 1);
  const int32_t queued = Call("DispenseChange", {Variant::Long(change)});
  Say("DispenseChange(%d): %d (returns at once; State %d)", change, queued, GetNumber(service::pidx::kState));
  ok = queued == 0 && AwaitStatus(91, 5000) && ok;
  const int32_t change_result = GetNumber(service::pidx::kAsyncResultCode);
  Say("AsyncResultCode %d", change_result);
  ok = change_result == 0 && ok;
  const int32_t change_paid = queued == 0 && change_result == 0 ? change : 0;
  SetNumber("AsyncMode", 0);

  // A pay-out that jams after two pieces.
  Say("simulator: the next pay-out jams after two pieces");
  machine.JamNextPayoutAfter(2);
  const size_t before_payout = events_.size();
  const int32_t jammed = Call("DispenseChange", {Variant::Long(1600)});
  Say("DispenseChange(1600): %d, ResultCodeExtended %d", jammed, GetNumber(service::pidx::kResultCodeExtended));
  ok = jammed != 0 && ok;
  // The part paid arrives as direct I/O event 20, the jam as status 31.
  int64_t paid_part = -1;
  bool jam_seen = false;
  const auto event_until = Clock::now() + std::chrono::milliseconds(3000);
  while ((paid_part < 0 || !jam_seen) && Clock::now() < event_until) {
    platform::PumpMessagesFor(20);
    for (size_t i = before_payout; i < events_.size(); ++i) {
      if (events_[i].member == "SODirectIO" && events_[i].number == 20) paid_part = events_[i].data;
      if (events_[i].member == "SOStatusUpdate" && events_[i].number == 31) jam_seen = true;
    }
  }
  ok = jam_seen && ok;
  Say("paid before the jam: %lld yen", static_cast<long long>(paid_part));
  ok = paid_part >= 0 && ok;
  Say("simulator: the jam is cleared");
  machine.SetJam(false);
  ok = AwaitStatus(32, 3000) && ok;
  Pump(300);

  const int64_t after = ReadCounts("after");
  const int64_t expected = before + deposited - change_paid - paid_part;
  const bool adds_up = before >= 0 && after == expected && after == sim::CashAmount(machine.Stock());
  Say("%lld + %d deposited - %d change - %lld paid before the jam = %lld yen: %s", static_cast<long long>(before),
      deposited, change_paid, static_cast<long long>(paid_part), static_cast<long long>(expected),
      adds_up ? "every amount adds up" : "the amounts do NOT add up");
  return ok && adds_up;
}

bool Demo::AwaitStatus(int32_t status, int limit_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(limit_ms);
  const size_t seen = events_.size();
  for (;;) {
    for (size_t i = seen; i < events_.size(); ++i) {
      if (events_[i].member == "SOStatusUpdate" && events_[i].number == status) return true;
    }
    const auto now = Clock::now();
    if (now >= until) return false;
    platform::PumpMessagesFor(
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()) + 1);
  }
}

int32_t Demo::Call(const char* member, std::vector<Variant> args) {
  return CallLong(service_.get(), member, std::move(args), &calls_ok_);
}

void Demo::SetNumber(const char* name, int32_t value) {
  const service::PropertyInfo* info = service::FindProperty(name);
  Variant result;
  std::vector<Variant> args = {Variant::Long(info->index), Variant::Long(value)};
  CallMember(service_.get(), "SetPropertyNumber", args, &result);
  const int32_t code = Call("GetPropertyNumber", {Variant::Long(service::pidx::kResultCode)});
  Say("%s = %d: ResultCode %d", name, value, code);
}

void Demo::PrintProperties() {
  Say("properties:");
  // Those of the release the service object reports.
  const int32_t minor = GetNumber(service::pidx::kServiceObjectVersion) / 1000 % 1000;
  for (const service::PropertyInfo& info : service::kProperties) {
    if (info.since_minor > minor) continue;
    std::vector<Variant> args = {Variant::Long(info.index)};
    Variant result;
    CallMember(service_.get(), info.is_string ? "GetPropertyString" : "GetPropertyNumber", args, &result);
    if (info.is_string) {
      std::printf("    %-26s %s\n", info.name, Quoted(result.AsString() ? *result.AsString() : "").c_str());
    } else {
      std::printf("    %-26s %d\n", info.name, result.AsLong() ? *result.AsLong() : -1);
    }
  }
  std::fflush(stdout);
}

std::optional<int32_t> Demo::CallLater(const char* member, std::vector<Variant> args) {
  Variant result;
  const platform::HRESULT hr = CallMember(service_.get(), member, args, &result);
  if (hr == platform::DISP_E_UNKNOWNNAME) {
    Say("%s: the service object (version %d) has no such member", member,
        GetNumber(service::pidx::kServiceObjectVersion));
    return std::nullopt;
  }
  if (platform::FAILED(hr) || result.AsLong() == nullptr) {
    Say("%s: the call failed with %s", member, platform::HresultText(hr).c_str());
    return std::nullopt;
  }
  return *result.AsLong();
}

std::string Demo::Described(int32_t result) {
  const int32_t extended = result == opos::OPOS_E_EXTENDED ? GetNumber(service::pidx::kResultCodeExtended) : 0;
  return std::to_string(result) + " " + DescribeResult(result, extended);
}

void Demo::LaterReleases(int32_t minor) {
  Say("the members of releases 1.8 to 1.11 (UposVersion %s):", options_.upos.c_str());
  std::string statistics;
  if (const auto result = minor < 8 ? std::nullopt : CallLater("RetrieveStatistics", {Variant::StringRef(&statistics)})) {
    Say("RetrieveStatistics(\"\"): %s", Described(*result).c_str());
    if (*result == opos::OPOS_SUCCESS) {
      for (size_t start = 0; start < statistics.size();) {
        size_t end = statistics.find('\n', start);
        if (end == std::string::npos) end = statistics.size();
        std::printf("    %s\n", statistics.substr(start, end - start).c_str());
        start = end + 1;
      }
      std::fflush(stdout);
    }
  }
  const std::string firmware = log_dir_ + "/no-such-firmware.bin";
  int32_t compared = 0;
  if (const auto result = minor < 9 ? std::nullopt : CallLater("CompareFirmwareVersion", {Variant::String(firmware), Variant::LongRef(&compared)})) {
    Say("CompareFirmwareVersion(%s): %s%s", firmware.c_str(), Described(*result).c_str(),
        *result == opos::OPOS_SUCCESS ? (", pResult " + std::to_string(compared)).c_str() : "");
  }
  // The counter tells the service object how many 1000-yen bills it holds.
  if (const auto result = minor < 11 ? std::nullopt : CallLater("AdjustCashCounts", {Variant::String("1000:50")})) {
    Say("AdjustCashCounts(1000:50): %s", Described(*result).c_str());
    ReadCounts("after AdjustCashCounts");
  }
}

std::string Demo::PrepareFolders() {
  const char* given = std::getenv("OPOS_REGISTRY_DIR");
  std::string base;
  if (given != nullptr && *given != '\0') {
    registry_dir_ = given;
    std::error_code error;
    std::filesystem::create_directories(registry_dir_, error);
    base = registry_dir_;
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexokrt-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return "cannot create a temporary folder";
    registry_dir_ = pattern;
    base = pattern;
    ::setenv("OPOS_REGISTRY_DIR", registry_dir_.c_str(), 1);
  }
  log_dir_ = (std::filesystem::path(base) / "logs").string();
  std::error_code error;
  std::filesystem::create_directories(log_dir_, error);
  if (error) return "cannot create " + log_dir_ + ": " + error.message();
  return {};
}

int Demo::Run() {
  const std::optional<sim::Model> model = sim::ParseModel(options_.model);
  if (!model) {
    std::fprintf(stderr, "vexokrt demo: unknown model %s\n", options_.model.c_str());
    return 2;
  }
  if (const std::string error = PrepareFolders(); !error.empty()) {
    std::fprintf(stderr, "vexokrt demo: %s\n", error.c_str());
    return 1;
  }

  // The cash changer.
  sim::EngineOptions engine;
  engine.model = *model;
  sim::Simulator simulator(engine);
  if (const sim::StartResult started = simulator.Start(); !started.ok) {
    std::fprintf(stderr, "vexokrt demo: cannot start the simulator: %s\n", started.error.c_str());
    return 1;
  }
  Say("simulated %s on %s", options_.model.c_str(), simulator.SlavePath().c_str());
  std::unique_ptr<sim::WebPanel> panel;
  if (!options_.http.empty()) {
    const std::optional<sim::WebPanelOptions> panel_options = sim::ParseListenAddress(options_.http);
    if (!panel_options) {
      std::fprintf(stderr, "vexokrt demo: --http takes [ADDRESS:]PORT, not %s\n", options_.http.c_str());
      return 2;
    }
    panel = std::make_unique<sim::WebPanel>(simulator.Engine(), *panel_options);
    if (const sim::WebPanel::StartResult served = panel->Start(); !served.ok) {
      std::fprintf(stderr, "vexokrt demo: cannot serve the control panel: %s\n", served.error.c_str());
      return 1;
    }
    Say("control panel at %s", panel->Url().c_str());
  }

  // The registry: our library as the class's server, and a device key.
  const std::string library = ServerLibraryPath(options_.library);
  if (const std::string error = RegisterServerLibrary(library); !error.empty()) {
    std::fprintf(stderr, "vexokrt demo: %s\n", error.c_str());
    return 1;
  }
  const std::string folder = log_dir_ + "/";
  if (const std::string error = WriteDeviceKey(kDemoDevice, {{"Port", simulator.SlavePath()},
                                                             {"Port_Initialize_String", "9600,E,8,1"},
                                                             {"WatchInterval", "100"},
                                                             {"DbgLogFileName", folder + "trace"},
                                                             {"DbgLogLevel", "0"},
                                                             {"LogFolderName", folder},
                                                             {"LogFolderSize", "50000000"},
                                                             {"TradingLog", "Trading%y%m%d%H%M%S.txt"},
                                                             {"OperationHistory", "History%y%m%d.csv"},
                                                             {"UposVersion", options_.upos}});
      !error.empty()) {
    std::fprintf(stderr, "vexokrt demo: %s\n", error.c_str());
    return 1;
  }
  Say("registry folder %s: device %s served by %s", registry_dir_.c_str(), kDemoDevice, library.c_str());

  // What a Control Object does.
  platform::ActivatedObject activated = platform::ActivateServiceObject("CashChanger", kDemoDevice);
  if (activated.error != platform::ActivationError::kNone) {
    std::fprintf(stderr, "vexokrt demo: %s\n", activated.message.c_str());
    return 1;
  }
  service_ = activated.object;
  Say("created %s %s", activated.prog_id.c_str(), activated.clsid.ToString().c_str());
  control_object_ = std::make_unique<EventControlObject>([this](ReceivedEvent& event) { OnEvent(event); });

  int32_t result = Call("OpenService", {Variant::String("CashChanger"), Variant::String(kDemoDevice),
                                        Variant::Dispatch(control_object_.get())});
  Say("OpenService: %d", result);
  if (result != 0) return 1;
  result = Call("ClaimDevice", {Variant::Long(3000)});
  Say("ClaimDevice(3000): %d", result);
  if (result != 0) {
    Call("Close");
    return 1;
  }
  SetNumber("PowerNotify", 1);
  SetNumber("DeviceEnabled", 1);
  SetNumber("DataEventEnabled", 1);
  // The first status pass reports the device online.
  AwaitStatus(2001, 2000);
  Pump(300);
  PrintProperties();

  // Provoke status changes in the machine and watch the events come in.
  sim::ChangerEngine& machine = simulator.Engine();
  const sim::CashCounts stock = machine.Stock();
  sim::CashCounts low = stock;
  low[*sim::DenominationIndex(100)] = 3;
  Say("simulator: the 100-yen tube runs low (3 coins)");
  machine.SetStock(low);
  bool seen_all = AwaitStatus(12, 3000);
  Say("DeviceStatus is %d", Call("GetPropertyNumber", {Variant::Long(service::pidx::kDeviceStatus)}));
  Say("simulator: the 100-yen tube is refilled");
  machine.SetStock(stock);
  seen_all = AwaitStatus(13, 3000) && seen_all;
  Say("simulator: a bill jams");
  machine.SetJam(true);
  seen_all = AwaitStatus(31, 3000) && seen_all;
  Say("DeviceStatus is %d, DepositStatus is %d",
      Call("GetPropertyNumber", {Variant::Long(service::pidx::kDeviceStatus)}),
      Call("GetPropertyNumber", {Variant::Long(service::pidx::kDepositStatus)}));
  Say("simulator: the jam is cleared");
  machine.SetJam(false);
  seen_all = AwaitStatus(32, 3000) && seen_all;

  // The cash operations.
  Pump(300);
  const bool cash_ok = CashCycle(machine);
  if (const int32_t minor = config::UposMinorVersion(options_.upos).value_or(6); minor >= 8) LaterReleases(minor);

  if (panel) {
    // The panel stays up with the device enabled, so a person can try the
    // machine; events keep being printed as they come.
    Say("the control panel stays up until standard input ends (Enter at a terminal)");
    while (true) {
      pollfd in{STDIN_FILENO, POLLIN, 0};
      if (::poll(&in, 1, 0) > 0) {
        char byte = 0;
        if ((in.revents & POLLIN) == 0 || ::read(STDIN_FILENO, &byte, 1) <= 0 || byte == '\n') break;
      }
      Pump(100);
    }
  }

  SetNumber("DeviceEnabled", 0);
  result = Call("ReleaseDevice");
  Say("ReleaseDevice: %d", result);
  const int32_t closed = Call("Close");
  Say("Close: %d", closed);
  service_.Reset();
  activated.object.Reset();
  if (panel) panel->Stop();
  simulator.Stop();

  std::printf("\nFiles the driver wrote in %s:\n", log_dir_.c_str());
  std::vector<std::filesystem::directory_entry> files;
  for (const auto& entry : std::filesystem::directory_iterator(log_dir_)) files.push_back(entry);
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.path() < b.path(); });
  for (const auto& entry : files) {
    std::printf("    %-32s %8ju bytes\n", entry.path().filename().c_str(),
                static_cast<uintmax_t>(entry.is_regular_file() ? entry.file_size() : 0));
  }
  if (!seen_all) std::printf("\nNot every provoked status change was reported.\n");
  if (!cash_ok) std::printf("\nThe cash cycle did not go as expected.\n");
  return calls_ok_ && seen_all && cash_ok && result == 0 && closed == 0 ? 0 : 1;
}

const CommandRegistration kDemoCommand{[] {
  auto options = std::make_shared<DemoOptions>();
  Command command{"demo", "Drive a simulated cash changer through the service object"};
  command.Add("--model", &options->model, "KRT07, KRT77, KRT03, KRT02F or KRT02FA")
      .ShowDefault()
      .Check(RefuseUnknownModel);
  command.Add("--library", &options->library,
              "path of libvexokrt77.so (default: the installed one, or the one beside this program in the build "
              "tree)");
  command.Add("--http", &options->http,
              "serve the simulator's control panel on [ADDRESS:]PORT (address 127.0.0.1 unless given; "
              "port 0: any free one) and keep it up after the steps until standard input ends")
      .Check(RefuseListenAddress);
  command.Add("--upos", &options->upos,
              "the release the device key asks the service object to serve (UposVersion), 1.6 to 1.14; from 1.8 "
              "the demo also retrieves the statistics, compares a firmware file and adjusts the cash counts")
      .ShowDefault()
      .Check(RefuseUposVersion);
  command.run = [options] {
    Demo demo(*options);
    return demo.Run();
  };
  return command;
}};

}  // namespace
}  // namespace vexokrt::tools
