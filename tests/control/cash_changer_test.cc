// SPDX-License-Identifier: Apache-2.0
// vexokrt::CashChanger as an application uses it: the service object is
// created through the test's registry (the real libvexokrt77.so against the
// simulator on a pseudo-terminal, or the fake library of these tests), never
// linked.
#include "control/cash_changer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/names.h"
#include "opos/opos.h"
#include "platform/activation.h"
#include "platform/registry.h"
#include "service/module.h"
#include "service/properties.h"
#include "sim/simulator.h"
#include "support/temp_dir.h"

namespace vexokrt {
namespace {

using testing::TempDir;
namespace pidx = service::pidx;

constexpr char kRealLibrary[] = VEXOKRT77_LIBRARY_PATH;
constexpr char kFakeLibrary[] = FAKE_SO_LIBRARY_PATH;
constexpr char kFakeProgId[] = "Test.FakeCashChanger";
constexpr char kFakeClsid[] = "{5EC0FA4E-1234-4321-8000-000000000001}";

struct Event {
  std::string kind;  // "data", "status", "dio"
  int32_t number = 0;
  int32_t data = 0;
  std::string text;
};

// Records every event; a test may answer direct I/O events or throw.
class Recorder final : public CashChangerListener {
 public:
  void DataEvent(int32_t status) override { Take({"data", status, 0, {}}); }
  void StatusUpdateEvent(int32_t data) override { Take({"status", data, 0, {}}); }
  void DirectIOEvent(int32_t number, int32_t& data, std::string& text) override {
    Take({"dio", number, data, text});
    if (answer) answer(number, data, text);
  }
  bool Has(const std::string& kind, int32_t number) const {
    for (const Event& e : events) {
      if (e.kind == kind && e.number == number) return true;
    }
    return false;
  }
  const Event* Find(const std::string& kind, int32_t number) const {
    for (const Event& e : events) {
      if (e.kind == kind && e.number == number) return &e;
    }
    return nullptr;
  }

  std::vector<Event> events;
  std::function<void(int32_t, int32_t&, std::string&)> answer;
  std::function<void(const Event&)> after;  // runs after recording; may throw

 private:
  void Take(Event e) {
    events.push_back(e);
    if (after) after(e);
  }
};

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1);
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    cc_.SetListener(&events_);
  }
  void TearDown() override {
    cc_.Close();
    if (simulator_) simulator_->Stop();
    ::unsetenv("OPOS_REGISTRY_DIR");
    ::unsetenv("OPOS_LOCK_DIR");
    ::unsetenv("VEXOKRT_FAKE_SO");
  }

  void SetValue(const std::string& key, const std::string& name, const std::string& text) {
    ASSERT_EQ(platform::RegSetString(platform::RegRoot::kLocalMachine, key, name, text), platform::RegResult::kOk);
  }
  void AddDevice(const std::string& name, const std::string& prog_id) {
    const std::string key = platform::OposDeviceKeyPath("CashChanger", name);
    SetValue(key, "", prog_id);
    SetValue(key, "LogFolderName", dir_.prefix());
  }
  void RegisterFake() {
    SetValue(std::string(platform::kClassesKey) + "\\" + kFakeProgId + "\\CLSID", "", kFakeClsid);
    SetValue(std::string(platform::kClassesKey) + "\\CLSID\\" + kFakeClsid + "\\InprocServer32", "", kFakeLibrary);
  }
  // The real service object, registered by its own export, serving the
  // simulated |model| as device "Changer1".
  void StartDevice(sim::Model model = sim::Model::kKrt07) {
    std::string error;
    platform::LoadedLibrary library = platform::LoadedLibrary::Open(kRealLibrary, &error);
    ASSERT_TRUE(library.loaded()) << error;
    auto register_server =
        reinterpret_cast<platform::DllRegisterServerFunction>(library.Symbol(platform::kDllRegisterServerName));
    ASSERT_NE(register_server, nullptr);
    ASSERT_EQ(register_server(), platform::S_OK);

    sim::EngineOptions options;
    options.model = model;
    simulator_ = std::make_unique<sim::Simulator>(options);
    ASSERT_TRUE(simulator_->Start().ok);
    sim::ActionDurations durations = machine().Durations();
    durations.dispense_ms = 300;
    durations.counting_ms = 100;
    durations.end_deposit_ms = 200;
    durations.reset_ms = 300;
    machine().SetDurations(durations);
    AddDevice("Changer1", service::kCashChangerProgId);
    const std::string key = platform::OposDeviceKeyPath("CashChanger", "Changer1");
    SetValue(key, "Port", simulator_->SlavePath());
    SetValue(key, "WatchInterval", "20");
  }
  // Open, claimed and enabled, with PowerNotify, and online.
  void Ready(sim::Model model = sim::Model::kKrt07) {
    StartDevice(model);
    ASSERT_EQ(cc_.Open("Changer1"), 0) << cc_.OpenMessage();
    ASSERT_EQ(cc_.ClaimDevice(3000), 0);
    ASSERT_EQ(cc_.SetPowerNotify(1), 0);
    ASSERT_EQ(cc_.SetDeviceEnabled(true), 0);
    ASSERT_TRUE(Await([&] { return events_.Has("status", opos::OPOS_PS_ONLINE); }));
  }
  sim::ChangerEngine& machine() { return simulator_->Engine(); }

  // Dispatches events until |done|; the limit only ends a test that fails.
  bool Await(const std::function<bool()>& done, int limit_ms = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      cc_.WaitForEvents(static_cast<int>(left < 20 ? left : 20));
    }
    return true;
  }
  std::vector<std::string> Commands() {
    std::vector<std::string> texts;
    for (const auto& body : machine().CommandBodies()) {
      texts.emplace_back(body.begin() + (body.empty() || body[0] != 0x11 ? 0 : 1), body.end());
    }
    return texts;
  }
  bool Sent(const std::string& command) {
    for (const std::string& c : Commands()) {
      if (c == command) return true;
    }
    return false;
  }

  TempDir dir_;
  std::unique_ptr<sim::Simulator> simulator_;
  Recorder events_;
  CashChanger cc_;
};

// Open's refusals, as a control gives them: the result, OpenResult and a
// message that says what is wrong.
TEST_F(ControlTest, Open_EachRefusalGivesItsResultAndOpenResult) {
  RegisterFake();
  AddDevice("Fake", kFakeProgId);
  AddDevice("Unregistered", "Nobody.Registered.This");
  ASSERT_EQ(platform::RegCreateKey(platform::RegRoot::kLocalMachine,
                                   platform::OposDeviceKeyPath("CashChanger", "NoProgId")),
            platform::RegResult::kOk);
  struct Case {
    const char* device;
    const char* fake;  // VEXOKRT_FAKE_SO
    int32_t result;
    int32_t open_result;
    const char* message;  // part of OpenMessage()
  };
  const Case cases[] = {
      {"Nobody", "", 104, 302, "\"Nobody\""},
      {"NoProgId", "", 104, 303, "names no service object"},
      {"Unregistered", "", 104, 304, "Nobody.Registered.This"},
      {"Fake", "version=2006000", 104, 307, "2.6.000"},
      {"Fake", "version=0", 104, 307, "0.0.000"},
      {"Fake", "lacks=DispenseCash", 104, 305, "DispenseCash"},
      {"Fake", "lacks=OpenService", 104, 305, "OpenService"},
      {"Fake", "version=1005000;lacks=ReleaseDevice", 104, 305, "ReleaseDevice"},
      {"Fake", "version=1011000;lacks=AdjustCashCounts", 104, 305, "AdjustCashCounts"},
      {"Fake", "open=111,401", 111, 401, "OPOS_ORS_NOPORT"},
      {"Fake", "open=111,0", 111, 306, "OPOS_E_FAILURE"},
      {"Fake", "open=104,302", 104, 302, "OPOS_OR_REGBADNAME"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " " + c.fake);
    ::setenv("VEXOKRT_FAKE_SO", c.fake, 1);
    EXPECT_EQ(cc_.Open(c.device), c.result);
    EXPECT_EQ(cc_.OpenResult(), c.open_result);
    EXPECT_EQ(cc_.ResultCode(), c.result);
    EXPECT_NE(cc_.OpenMessage().find(c.message), std::string::npos) << cc_.OpenMessage();
    EXPECT_EQ(cc_.State(), opos::OPOS_S_CLOSED);
    EXPECT_EQ(cc_.ClaimDevice(0), opos::OPOS_E_CLOSED) << "a refused open leaves the control closed";
  }

  // An older 1.x release with every member it needs is served; a second
  // open is refused and leaves the first.
  ::setenv("VEXOKRT_FAKE_SO", "version=1005000", 1);
  ASSERT_EQ(cc_.Open("Fake"), 0) << cc_.OpenMessage();
  EXPECT_EQ(cc_.OpenResult(), 0);
  EXPECT_TRUE(cc_.OpenMessage().empty());
  EXPECT_EQ(cc_.Open("Fake"), opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(cc_.OpenResult(), opos::OPOS_OR_ALREADYOPEN);
  EXPECT_EQ(cc_.ServiceObjectVersion(), 1005000) << "still open";
  std::string calls;
  EXPECT_EQ(cc_.GetPropertyString(999, calls), 0);
  EXPECT_EQ(calls.rfind("OpenService,GetPropertyNumber", 0), 0u) << calls;
}

// Before Open and after Close every call answers 101 and reaches nothing;
// getters give nothing and leave ResultCode 101.
TEST_F(ControlTest, ClosedControl_EveryCallAnswersClosed) {
  RegisterFake();
  AddDevice("Fake", kFakeProgId);
  std::string text;
  int32_t data = 0;
  bool flag = false;
  const std::vector<std::pair<const char*, std::function<int32_t()>>> calls = {
      {"Close", [&] { return cc_.Close(); }},
      {"ClaimDevice", [&] { return cc_.ClaimDevice(1000); }},
      {"ReleaseDevice", [&] { return cc_.ReleaseDevice(); }},
      {"CheckHealth", [&] { return cc_.CheckHealth(1); }},
      {"ClearInput", [&] { return cc_.ClearInput(); }},
      {"DirectIO", [&] { return cc_.DirectIO(1, data, text); }},
      {"ReadCashCounts", [&] { return cc_.ReadCashCounts(text, flag); }},
      {"DispenseCash", [&] { return cc_.DispenseCash("1000:1"); }},
      {"DispenseChange", [&] { return cc_.DispenseChange(1000); }},
      {"BeginDeposit", [&] { return cc_.BeginDeposit(); }},
      {"FixDeposit", [&] { return cc_.FixDeposit(); }},
      {"PauseDeposit", [&] { return cc_.PauseDeposit(11); }},
      {"EndDeposit", [&] { return cc_.EndDeposit(1); }},
      {"ResetStatistics", [&] { return cc_.ResetStatistics(""); }},
      {"RetrieveStatistics", [&] { return cc_.RetrieveStatistics(text); }},
      {"UpdateStatistics", [&] { return cc_.UpdateStatistics("U_HoursPoweredCount=0"); }},
      {"CompareFirmwareVersion", [&] { return cc_.CompareFirmwareVersion("firmware.bin", data); }},
      {"UpdateFirmware", [&] { return cc_.UpdateFirmware("firmware.bin"); }},
      {"AdjustCashCounts", [&] { return cc_.AdjustCashCounts("1000:10"); }},
      {"SetCurrentService", [&] { return cc_.SetCurrentService(1); }},
      {"SetDeviceEnabled", [&] { return cc_.SetDeviceEnabled(true); }},
      {"SetFreezeEvents", [&] { return cc_.SetFreezeEvents(true); }},
      {"SetCurrencyCode", [&] { return cc_.SetCurrencyCode("JPY"); }},
      {"SetPropertyNumber", [&] { return cc_.SetPropertyNumber(pidx::kAsyncMode, 1); }},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& [name, call] : calls) {
      SCOPED_TRACE(std::string(name) + (round == 0 ? " before Open" : " after Close"));
      EXPECT_EQ(call(), opos::OPOS_E_CLOSED);
      EXPECT_EQ(cc_.ResultCode(), opos::OPOS_E_CLOSED);
    }
    EXPECT_FALSE(cc_.FreezeEvents());
    EXPECT_EQ(cc_.Open("Fake"), 0);
    EXPECT_EQ(cc_.DeviceStatus(), 0);
    EXPECT_EQ(cc_.ResultCode(), 0) << "reading a property of an open control leaves ResultCode";
    EXPECT_EQ(cc_.Close(), 0);
    EXPECT_EQ(cc_.DeviceStatus(), 0);
    EXPECT_EQ(cc_.DeviceName(), "");
    EXPECT_EQ(cc_.ResultCode(), opos::OPOS_E_CLOSED);
    EXPECT_EQ(cc_.State(), opos::OPOS_S_CLOSED);
  }
}

// A service object is served the members and properties of the release it
// reports, and no others: those of a later release are not looked up, and
// calling one answers 104 without reaching it (a getter gives 0). What
// comes back through the by-reference arguments reaches the caller.
TEST_F(ControlTest, LaterReleases_EachReleaseGetsExactlyItsMembersAndProperties) {
  RegisterFake();
  AddDevice("Fake", kFakeProgId);
  const std::string kDocument = "<UPOSStat request=\"U_\"></UPOSStat>";
  struct Row {
    const char* name;
    int32_t since_minor;
    // Makes the call and leaves its output (a property's value, a
    // by-reference argument, judged) in |out|; the result code.
    std::function<int32_t(int32_t& out)> call;
    const char* calls;  // what reaches the fake when the release has it
    int32_t served;     // |out| then
    int32_t refused;    // |out| when 104 answers
  };
  auto getter = [&](auto read) {
    return [this, read](int32_t& out) {
      out = static_cast<int32_t>((cc_.*read)());
      return cc_.ResultCode();
    };
  };
  const Row rows[] = {
      {"ResetStatistics", 8, [&](int32_t&) { return cc_.ResetStatistics("U_,M_"); }, "ResetStatistics", 0, 0},
      {"RetrieveStatistics", 8,
       [&](int32_t& out) {
         std::string buffer = "U_";
         const int32_t result = cc_.RetrieveStatistics(buffer);
         out = buffer == kDocument ? 1 : buffer == "U_" ? 2 : 0;
         return result;
       },
       "RetrieveStatistics", 1, 2},
      {"UpdateStatistics", 8, [&](int32_t&) { return cc_.UpdateStatistics("U_HoursPoweredCount=0"); },
       "UpdateStatistics", 0, 0},
      {"CompareFirmwareVersion", 9,
       [&](int32_t& out) {
         out = -1;
         return cc_.CompareFirmwareVersion("/nonexistent/firmware.bin", out);
       },
       "CompareFirmwareVersion", opos::OPOS_CFV_FIRMWARE_NEWER, -1},
      {"UpdateFirmware", 9, [&](int32_t&) { return cc_.UpdateFirmware("/nonexistent/firmware.bin"); },
       "UpdateFirmware", 0, 0},
      {"AdjustCashCounts", 11, [&](int32_t&) { return cc_.AdjustCashCounts("1000:10"); }, "AdjustCashCounts", 0, 0},
      {"CapStatisticsReporting", 8, getter(&CashChanger::CapStatisticsReporting), "GetPropertyNumber(502)", 1, 0},
      {"CapUpdateStatistics", 8, getter(&CashChanger::CapUpdateStatistics), "GetPropertyNumber(503)", 1, 0},
      {"CapCompareFirmwareVersion", 9, getter(&CashChanger::CapCompareFirmwareVersion), "GetPropertyNumber(504)", 1,
       0},
      {"CapUpdateFirmware", 9, getter(&CashChanger::CapUpdateFirmware), "GetPropertyNumber(505)", 1, 0},
      {"CurrentService", 11, getter(&CashChanger::CurrentService), "GetPropertyNumber(13010)", 10, 0},
      {"RealTimeDataEnabled", 11, getter(&CashChanger::RealTimeDataEnabled), "GetPropertyNumber(13011)", 1, 0},
      {"ServiceCount", 11, getter(&CashChanger::ServiceCount), "GetPropertyNumber(13012)", 12, 0},
      {"ServiceIndex", 11, getter(&CashChanger::ServiceIndex), "GetPropertyNumber(13013)", 13, 0},
      {"CapJamSensor", 11, getter(&CashChanger::CapJamSensor), "GetPropertyNumber(13510)", 1, 0},
      {"CapRealTimeData", 11, getter(&CashChanger::CapRealTimeData), "GetPropertyNumber(13511)", 1, 0},
      {"GetPropertyNumber(ServiceCount)", 11, [&](int32_t& out) { return cc_.GetPropertyNumber(pidx::kServiceCount, out); },
       "GetPropertyNumber(13012)", 12, 0},
      {"SetCurrentService", 11,
       [&](int32_t& out) {
         const int32_t result = cc_.SetCurrentService(2);
         out = cc_.CurrentService();
         return result;
       },
       "SetPropertyNumber(13010),GetPropertyNumber(6),GetPropertyNumber(13010)", 2, 0},
      {"SetRealTimeDataEnabled", 11, [&](int32_t&) { return cc_.SetRealTimeDataEnabled(false); },
       "SetPropertyNumber(13011),GetPropertyNumber(6)", 0, 0},
      {"SetPropertyNumber(CapJamSensor's release)", 11,
       [&](int32_t&) { return cc_.SetPropertyNumber(pidx::kCapJamSensor, 0); },
       "SetPropertyNumber(13510),GetPropertyNumber(6)", 0, 0},
  };
  // The calls that reached the fake since the last look, without the look.
  auto reached = [&] {
    std::string calls;
    EXPECT_EQ(cc_.GetPropertyString(999, calls), 0);
    const std::string look = "GetPropertyString(999)";
    if (calls == look) return std::string();
    EXPECT_GT(calls.size(), look.size()) << calls;
    return calls.substr(0, calls.size() - look.size() - 1);
  };
  struct Release {
    int32_t version;
    const char* lookups;  // the later releases' members looked up at Open
  };
  const Release releases[] = {
      {1006000, ""},
      {1008000, "ResetStatistics,RetrieveStatistics,UpdateStatistics"},
      {1009000, "ResetStatistics,RetrieveStatistics,UpdateStatistics,CompareFirmwareVersion,UpdateFirmware"},
      {1011000,
       "ResetStatistics,RetrieveStatistics,UpdateStatistics,CompareFirmwareVersion,UpdateFirmware,AdjustCashCounts"},
      {1014312,
       "ResetStatistics,RetrieveStatistics,UpdateStatistics,CompareFirmwareVersion,UpdateFirmware,AdjustCashCounts"},
  };
  for (const Release& release : releases) {
    ::setenv("VEXOKRT_FAKE_SO", ("version=" + std::to_string(release.version)).c_str(), 1);
    ASSERT_EQ(cc_.Open("Fake"), 0) << cc_.OpenMessage();
    std::string lookups;
    EXPECT_EQ(cc_.GetPropertyString(998, lookups), 0);
    EXPECT_EQ(lookups, release.lookups) << release.version;
    const int32_t minor = release.version / 1000 % 1000;
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + " on " + std::to_string(release.version));
      ASSERT_EQ(cc_.ClearInput(), 0);  // ResultCode 0 before each row
      reached();
      const bool served = row.since_minor <= minor;
      int32_t out = 0;
      const int32_t result = row.call(out);
      EXPECT_EQ(result, served ? opos::OPOS_SUCCESS : opos::OPOS_E_NOSERVICE);
      EXPECT_EQ(cc_.ResultCode(), result);
      EXPECT_EQ(out, served ? row.served : row.refused);
      EXPECT_EQ(reached(), served ? row.calls : "");
    }
    EXPECT_EQ(cc_.Close(), 0);
  }
}

// The whole session of a sale on the real service object: counts, a
// deposit with its data event, change, and a pay-out that jams, reported as
// an error with its names, the part paid and the jam's status updates.
TEST_F(ControlTest, Sale_DepositChangeAndAJammedPayout) {
  Ready();
  EXPECT_EQ(cc_.ServiceObjectVersion(), 1006312);
  EXPECT_EQ(cc_.DeviceName(), "KRT07");
  EXPECT_TRUE(cc_.DeviceEnabled());
  EXPECT_TRUE(cc_.CapDeposit());
  EXPECT_EQ(cc_.CurrencyCashList(), service::kAllCashList);
  EXPECT_EQ(cc_.SetCurrencyCode("jpy"), opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(cc_.ResultCode(), opos::OPOS_E_ILLEGAL);

  std::string counts;
  bool discrepancy = true;
  ASSERT_EQ(cc_.ReadCashCounts(counts, discrepancy), 0);
  EXPECT_EQ(counts, "0:20,1:60,5:40,10:70,50:40,100:70,500:25;1000:50,2000:5,5000:10,10000:0");
  EXPECT_FALSE(discrepancy);

  ASSERT_EQ(cc_.SetDataEventEnabled(true), 0);
  ASSERT_EQ(cc_.BeginDeposit(), 0);
  sim::CashCounts inserted{};
  inserted[*sim::DenominationIndex(1000)] = 2;
  machine().InsertCash(inserted);
  ASSERT_TRUE(Await([&] { return events_.Has("data", 0); }));
  EXPECT_FALSE(cc_.DataEventEnabled()) << "a data event turns DataEventEnabled off";
  EXPECT_EQ(cc_.DepositAmount(), 2000);
  EXPECT_EQ(cc_.FixDeposit(), 0);
  EXPECT_EQ(cc_.EndDeposit(opos::CHAN_DEPOSIT_NOCHANGE), 0);
  EXPECT_EQ(cc_.DispenseChange(766), 0);

  machine().JamNextPayoutAfter(1);
  const int32_t failed = cc_.DispenseChange(1600);
  EXPECT_NE(failed, 0);
  EXPECT_NE(NameOf(NameTable::kResultCode, failed), nullptr) << failed;
  ASSERT_TRUE(Await([&] { return events_.Has("status", opos::CHAN_STATUS_JAM) && events_.Has("dio", 20); }));
  const Event* paid = events_.Find("dio", 20);
  EXPECT_EQ(paid->data, 1000);
  EXPECT_EQ(paid->text, "1:0,5:0,10:0,50:0,100:0,500:0;1000:1,2000:0,5000:0,10000:0");
  EXPECT_EQ(cc_.DeviceStatus(), opos::CHAN_STATUS_JAM);
  machine().SetJam(false);
  ASSERT_TRUE(Await([&] { return events_.Has("status", opos::CHAN_STATUS_JAMOK); }));

  EXPECT_EQ(cc_.SetDeviceEnabled(false), 0);
  EXPECT_EQ(cc_.ReleaseDevice(), 0);
  EXPECT_EQ(cc_.Close(), 0);
  EXPECT_EQ(cc_.Close(), opos::OPOS_E_CLOSED) << "a second close is harmless";
}

// FreezeEvents holds the events in the service object (COFreezeEvents),
// even before the device is claimed; thawed, they come in their order.
TEST_F(ControlTest, FreezeEvents_HoldsEventsInOrderUntilThawed) {
  StartDevice();
  ASSERT_EQ(cc_.Open("Changer1"), 0);
  ASSERT_EQ(cc_.SetFreezeEvents(true), 0) << "through COFreezeEvents, which needs no claim";
  EXPECT_TRUE(cc_.FreezeEvents());
  int32_t frozen = 0;
  EXPECT_EQ(cc_.GetPropertyNumber(pidx::kFreezeEvents, frozen), 0);
  EXPECT_EQ(frozen, 1);
  ASSERT_EQ(cc_.ClaimDevice(3000), 0);
  ASSERT_EQ(cc_.SetPowerNotify(1), 0);
  ASSERT_EQ(cc_.SetDeviceEnabled(true), 0);

  // The jam and its end are seen by the service object (its DeviceStatus)
  // while nothing reaches the listener.
  machine().SetJam(true);
  ASSERT_TRUE(Await([&] { return cc_.DeviceStatus() == opos::CHAN_STATUS_JAM; }));
  machine().SetJam(false);
  ASSERT_TRUE(Await([&] { return cc_.DeviceStatus() == 0; }));
  EXPECT_EQ(cc_.DispatchEvents(), 0);
  EXPECT_TRUE(events_.events.empty());

  ASSERT_EQ(cc_.SetFreezeEvents(false), 0);
  ASSERT_TRUE(Await([&] { return events_.Has("status", opos::CHAN_STATUS_JAMOK); }));
  std::vector<int32_t> order;
  for (const Event& e : events_.events) order.push_back(e.number);
  EXPECT_EQ(order, (std::vector<int32_t>{opos::OPOS_PS_ONLINE, opos::CHAN_STATUS_JAM, opos::CHAN_STATUS_JAMOK}));
}

// A listener that throws is reported, and the service object goes on
// delivering events and answering calls.
TEST_F(ControlTest, ThrowingListener_IsReportedAndTheServiceObjectGoesOn) {
  Ready();
  std::vector<std::string> reports;
  cc_.SetErrorHandler([&](const std::string& message) { reports.push_back(message); });
  events_.after = [](const Event& e) {
    if (e.number == opos::CHAN_STATUS_JAM) throw std::runtime_error("the till is on fire");
  };
  machine().SetJam(true);
  ASSERT_TRUE(Await([&] { return events_.Has("status", opos::CHAN_STATUS_JAM); }));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "StatusUpdateEvent listener failed: the till is on fire");
  machine().SetJam(false);
  ASSERT_TRUE(Await([&] { return events_.Has("status", opos::CHAN_STATUS_JAMOK); }));
  std::string counts;
  bool discrepancy = false;
  EXPECT_EQ(cc_.ReadCashCounts(counts, discrepancy), 0);
  EXPECT_EQ(cc_.Close(), 0);
}

// The KRT03 take-back question: what the DirectIOEvent listener leaves in
// pData goes back to the service object, which retries (E010) on 1 and
// tells the machine to stop (000) on anything else.
TEST_F(ControlTest, DirectIOEvent_AnswerGoesBackToTheServiceObject) {
  struct Case {
    int32_t answer;
    const char* sent;
    const char* not_sent;
  };
  for (const Case& c : {Case{1, "E010", "000"}, Case{2, "000", "E010"}}) {
    SCOPED_TRACE(c.answer);
    events_.events.clear();
    Ready(sim::Model::kKrt03);
    int32_t mode = 1;
    std::string text;
    ASSERT_EQ(cc_.DirectIO(3, mode, text), 0) << "the KRT03's direct intake mode";
    events_.answer = [&](int32_t number, int32_t& data, std::string&) {
      if (number == 1) data = c.answer;
    };
    machine().ClearReceivedFrames();
    machine().OverrideStatusByte(51, '<');
    machine().OverrideStatusByte(52, '2');
    ASSERT_TRUE(Await([&] { return events_.Has("dio", 1); }));
    EXPECT_EQ(events_.Find("dio", 1)->data, 1) << "asked with pData 1";
    ASSERT_TRUE(Await([&] { return Sent(c.sent); }));
    EXPECT_FALSE(Sent(c.not_sent));
    machine().ClearStatusOverrides();
    events_.answer = nullptr;
    EXPECT_EQ(cc_.Close(), 0);
    simulator_->Stop();
    simulator_.reset();
  }
}

}  // namespace
}  // namespace vexokrt
