// SPDX-License-Identifier: Apache-2.0
// The members of the releases after 1.6 against the simulated cash changer:
// which the UposVersion setting offers, the statistics document, firmware
// comparison and update, and AdjustCashCounts.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <set>

#include "cash_fixture.h"
#include "devlog/trading_statistics.h"
#include "pause_skipping_clock.h"
#include "service/cash_changer_dispatch.h"

namespace vexokrt::testing {
namespace {

using namespace opos;
using platform::Variant;

constexpr const char* kLaterMembers[] = {"ResetStatistics", "RetrieveStatistics", "UpdateStatistics",
                                         "CompareFirmwareVersion", "UpdateFirmware", "AdjustCashCounts"};
constexpr int32_t kLaterMemberSince[] = {8, 8, 8, 9, 9, 11};

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The Value of the statistic |name| in |document|; nullopt when absent.
std::optional<std::string> ValueOf(const std::string& document, const std::string& name) {
  const std::string head = "<Name>" + name + "</Name>\n    <Value>";
  const size_t at = document.find(head);
  if (at == std::string::npos) return std::nullopt;
  const size_t begin = at + head.size();
  return document.substr(begin, document.find("</Value>", begin) - begin);
}

class LaterReleasesTest : public CashOperationsTest {
 protected:
  int32_t Retrieve(ServiceDriver& d, std::string* buffer) {
    return d.Call("RetrieveStatistics", {Variant::StringRef(buffer)});
  }
  int32_t Compare(ServiceDriver& d, const std::string& name, int32_t* result) {
    return d.Call("CompareFirmwareVersion", {Variant::String(name), Variant::LongRef(result)});
  }
  // A program file of |bytes| bytes in the maintenance folder.
  void ProgramFile(const std::string& name, size_t bytes) {
    std::string program(bytes, '\0');
    for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 7 + 3);
    std::ofstream(dir_.file(name), std::ios::binary) << program;
  }

  // The download's clock; it outlives the service objects, whose threads
  // wait on it.
  PauseSkippingClock clock_;
};

TEST_F(LaterReleasesTest, TheSettingDecidesTheVersionTheMembersAndTheProperties) {
  StartDevice(sim::Model::kKrt07);
  struct Case {
    std::optional<std::string> setting;
    int32_t version;
    int32_t minor;
  };
  const Case cases[] = {
      {std::nullopt, 1006312, 6}, {"1.6", 1006312, 6},  {"1.8", 1008312, 8},  {"1.9", 1009312, 9},
      {"1.11", 1011312, 11},      {"1.14", 1014312, 14}, {"1.15", 1006312, 6}, {"1.014", 1006312, 6},
      {"yes", 1006312, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting.value_or("(absent)"));
    if (c.setting) Set("UposVersion", *c.setting);
    ServiceDriver& d = NewDriver();
    // Before OpenService only the members of 1.6 are there.
    platform::DispId id = 0;
    EXPECT_EQ(d.dispatch()->GetIDsOfNames("AdjustCashCounts", &id), platform::DISP_E_UNKNOWNNAME);
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kServiceObjectVersion), c.version);
    for (size_t i = 0; i < std::size(kLaterMembers); ++i) {
      const bool offered = kLaterMemberSince[i] <= c.minor;
      EXPECT_EQ(d.dispatch()->GetIDsOfNames(kLaterMembers[i], &id) == platform::S_OK, offered) << kLaterMembers[i];
      // Invoking one by its number is refused as an unknown member would be.
      const auto member = static_cast<platform::DispId>(service::CashChangerMember::kResetStatistics) +
                          static_cast<platform::DispId>(i);
      std::string text;
      int32_t number = 0;
      std::vector<Variant> args = {Variant::StringRef(&text), Variant::LongRef(&number)};
      args.resize(i == 3 ? 2 : 1);
      if (i != 1 && i != 3) args[0] = Variant::String("");
      Variant result;
      if (!offered) {
        EXPECT_EQ(d.dispatch()->Invoke(member, args, &result), platform::DISP_E_MEMBERNOTFOUND);
      }
    }
    const struct {
      int32_t index;
      int32_t since;
    } properties[] = {{pidx::kCapStatisticsReporting, 8}, {pidx::kCapUpdateStatistics, 8},
                      {pidx::kCapJamSensor, 11},          {pidx::kCapRealTimeData, 11}};
    for (const auto& p : properties) EXPECT_EQ(d.Get(p.index), p.since <= c.minor ? 1 : 0) << p.index;
    // Written while claimed: RealTimeDataEnabled reads back only where it exists.
    ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
    d.Set(pidx::kRealTimeDataEnabled, 1);
    EXPECT_EQ(d.Get(pidx::kRealTimeDataEnabled), c.minor >= 11 ? 1 : 0);
    if (c.minor >= 11) {
      EXPECT_EQ(d.Set(pidx::kCurrentService, 1), OPOS_E_ILLEGAL) << "one service: CurrentService stays 0";
      EXPECT_EQ(d.Set(pidx::kCurrentService, 0), OPOS_SUCCESS);
      EXPECT_EQ(d.Get(pidx::kServiceCount), 0);
    }
    ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
    // Closed, the object is again the one of 1.6.
    EXPECT_EQ(d.dispatch()->GetIDsOfNames("RetrieveStatistics", &id), platform::DISP_E_UNKNOWNNAME);
  }
}

TEST_F(LaterReleasesTest, AdjustCashCountsReplacesOnlyTheNamedDenominations) {
  const sim::CashCounts stock = SimCounts({{1, 5}, {100, 10}, {500, 4}, {1000, 10}, {5000, 2}});
  ServiceDriver& d = Ready(sim::Model::kKrt07, stock, {{"UposVersion", "1.14"}});
  struct Case {
    std::string text;
    int32_t result;
    std::initializer_list<std::pair<int, int>> changes;  // face value, new count
  };
  const Case cases[] = {
      {"100:3", OPOS_SUCCESS, {{100, 3}}},
      {"1:0;1000:25,5:7", OPOS_SUCCESS, {{1, 0}, {1000, 25}, {5, 7}}},
      {"500:999", OPOS_SUCCESS, {{500, 999}}},
      {"", OPOS_E_ILLEGAL, {}},
      {"100:-1", OPOS_E_ILLEGAL, {}},
      {"100:1000", OPOS_E_ILLEGAL, {}},
      {"100:12345678901234567890", OPOS_E_ILLEGAL, {}},
      {"3:1", OPOS_E_ILLEGAL, {}},
      {"100:1,BL:1", OPOS_E_ILLEGAL, {}},
      {"100:FFF", OPOS_E_ILLEGAL, {}},
      {"100", OPOS_E_ILLEGAL, {}},
  };
  sim::CashCounts expected = stock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TakeCommands();
    EXPECT_EQ(d.Call("AdjustCashCounts", {Variant::String(c.text)}), c.result);
    const std::vector<std::string> actions = Actions(TakeCommands());
    if (c.result != OPOS_SUCCESS) {
      EXPECT_TRUE(actions.empty()) << "nothing is sent for a refused text";
    } else {
      EXPECT_TRUE(HasCommandStarting(actions, "S21"));
    }
    for (const auto& [face, n] : c.changes) expected = [&] {
      sim::CashCounts next = expected;
      for (int i = 0; i < sim::kDenominationCount; ++i) {
        if (sim::kFaceValues[i] == face) next[i] = n;
      }
      return next;
    }();
    EXPECT_EQ(machine().Stock(), expected);
  }
  // ReadCashCounts tells the adjusted counts, not the ones it saw before.
  std::string text;
  bool discrepancy = false;
  ASSERT_EQ(ReadCounts(d, &text, &discrepancy), OPOS_SUCCESS);
  EXPECT_NE(text.find(PlainText(expected)), std::string::npos) << text;
}

TEST_F(LaterReleasesTest, StatisticsDocumentFollowsTheSchemaAndTheRequest) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}}), {{"UposVersion", "1.14"}});
  machine().SetTradingCounter(4, 1234);  // the power-on hours
  machine().SetTradingCounter(20, 77);   // coin deposits
  machine().SetProgramVersion("01C05");

  std::string document;
  ASSERT_EQ(Retrieve(d, &document), OPOS_SUCCESS);
  const std::string path = dir_.file("statistics.xml");
  std::ofstream(path) << document;
  const std::string command = "xmllint --noout --schema " VEXOKRT_TEST_SOURCE_DIR "/upos_stat.xsd " + path + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << "the document does not follow the schema:\n" << document;
  EXPECT_NE(document.find("<DeviceCategory UPOS=\"CashChanger\"/>"), std::string::npos);
  EXPECT_NE(document.find("<ModelName>KRT07</ModelName>"), std::string::npos);
  EXPECT_NE(document.find("<FirmwareRevision>01C05 ("), std::string::npos) << document.substr(0, 800);
  EXPECT_EQ(ValueOf(document, "HoursPoweredCount"), "1234");
  EXPECT_EQ(ValueOf(document, "CommunicationErrorCount"), "0");
  EXPECT_EQ(ValueOf(document, "CoinDepositCount"), "77");
  EXPECT_EQ(Occurrences(document, "<Parameter>"), 2);
  EXPECT_EQ(Occurrences(document, "<ManufacturerSpecific>"), 114) << "every trading-log line but the hours";
  EXPECT_EQ(Occurrences(document, "TradingLogField"), 0) << "every line has an English name";

  struct Request {
    std::string list;
    int parameters;
    int manufacturer;
  };
  const Request requests[] = {
      {"U_", 2, 0}, {"M_", 0, 114}, {"HoursPoweredCount,NoSuchStatistic", 2, 0}, {"CoinDepositCount,U_", 2, 1},
  };
  for (const Request& r : requests) {
    SCOPED_TRACE(r.list);
    std::string buffer = r.list;
    ASSERT_EQ(Retrieve(d, &buffer), OPOS_SUCCESS);
    EXPECT_EQ(Occurrences(buffer, "<Parameter>"), r.parameters);
    EXPECT_EQ(Occurrences(buffer, "<ManufacturerSpecific>"), r.manufacturer);
  }
  std::string unknown = "NoSuchStatistic";
  ASSERT_EQ(Retrieve(d, &unknown), OPOS_SUCCESS);
  EXPECT_EQ(ValueOf(unknown, "NoSuchStatistic"), "") << "a name that is no statistic comes back empty";

  // Only the count this service object keeps can be changed.
  struct Change {
    const char* member;
    std::string text;
    int32_t result;
    int32_t extended;
    std::optional<std::string> errors_after;
  };
  const Change changes[] = {
      {"UpdateStatistics", "CommunicationErrorCount=7", OPOS_SUCCESS, 0, "7"},
      {"ResetStatistics", "HoursPoweredCount", OPOS_E_EXTENDED, OPOS_ESTATS_ERROR, "7"},
      {"ResetStatistics", "CommunicationErrorCount,CoinDepositCount", OPOS_E_EXTENDED, OPOS_ESTATS_ERROR, "7"},
      {"ResetStatistics", "M_", OPOS_E_EXTENDED, OPOS_ESTATS_ERROR, "7"},
      {"ResetStatistics", "NoSuchStatistic", OPOS_E_ILLEGAL, 0, "7"},
      {"UpdateStatistics", "CommunicationErrorCount=x", OPOS_E_ILLEGAL, 0, "7"},
      {"UpdateStatistics", "CommunicationErrorCount", OPOS_E_ILLEGAL, 0, "7"},
      {"UpdateStatistics", "", OPOS_E_ILLEGAL, 0, "7"},
      {"UpdateStatistics", "CoinDepositCount=1", OPOS_E_EXTENDED, OPOS_ESTATS_ERROR, "7"},
      {"ResetStatistics", "", OPOS_SUCCESS, 0, "0"},
      {"UpdateStatistics", "U_=3", OPOS_SUCCESS, 0, "3"},
      {"ResetStatistics", "U_", OPOS_SUCCESS, 0, "0"},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(std::string(c.member) + " \"" + c.text + "\"");
    EXPECT_EQ(d.Call(c.member, {Variant::String(c.text)}), c.result);
    if (c.result == OPOS_E_EXTENDED) {
      EXPECT_EQ(d.Get(pidx::kResultCodeExtended), c.extended);
    }
    std::string buffer = "CommunicationErrorCount";
    ASSERT_EQ(Retrieve(d, &buffer), OPOS_SUCCESS);
    EXPECT_EQ(ValueOf(buffer, "CommunicationErrorCount"), c.errors_after);
  }

  // An answer with a wrong BCC is a communication error; the watch reads
  // the status again and goes on.
  machine().InjectFault(sim::Fault{sim::FaultKind::kCorruptBcc, 1, 0, 0});
  ASSERT_TRUE(d.PumpUntil([&] { return d.so().device()->DamagedAnswerCount() > 0; }));
  std::string buffer = "CommunicationErrorCount";
  ASSERT_EQ(Retrieve(d, &buffer), OPOS_SUCCESS);
  EXPECT_EQ(ValueOf(buffer, "CommunicationErrorCount"), "1");
}

TEST(FirmwareOutcome, HowTheDownloadEndedDecidesTheStatusUpdate) {
  using maintenance::DownloadReport;
  const struct {
    const char* what;
    opos::OposResult result;
    DownloadReport report;
    bool answers;
    int32_t outcome;
  } cases[] = {
      {"every file taken", OPOS_SUCCESS, {true, false, false}, true, OPOS_SUE_UF_COMPLETE},
      {"taken, then silent", OPOS_SUCCESS, {true, false, false}, false, OPOS_SUE_UF_COMPLETE_DEV_NOT_RESTORED},
      {"refused before a start frame", OPOS_E_FAILURE, {false, false, false}, true, OPOS_SUE_UF_FAILED_DEV_OK},
      {"no answer to the start frame", OPOS_E_NOHARDWARE, {false, false, false}, false,
       OPOS_SUE_UF_FAILED_DEV_UNKNOWN},
      {"a block refused", OposResult::Extended(0x1234), {true, false, false}, true,
       OPOS_SUE_UF_FAILED_DEV_NEEDS_FIRMWARE},
      {"the write not confirmed", OPOS_E_FAILURE, {true, false, true}, true, OPOS_SUE_UF_FAILED_DEV_UNRECOVERABLE},
      {"silent part-way", OPOS_E_NOHARDWARE, {true, false, false}, false, OPOS_SUE_UF_FAILED_DEV_UNKNOWN},
      {"the line left fast", OPOS_E_FAILURE, {true, true, false}, true, OPOS_SUE_UF_FAILED_DEV_UNKNOWN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(service::FirmwareOutcome(c.result, c.report, c.answers), c.outcome) << c.what;
  }
}

// The KRT03 keeps the trading log of the KRT02 family, read as hex text
// through the queue, and tells no program versions.
TEST_F(LaterReleasesTest, StatisticsOfAKrt03NameEveryLineOfItsOwnLog) {
  ServiceDriver& d = Ready(sim::Model::kKrt03, SimCounts({{100, 10}}), {{"UposVersion", "1.14"}});
  std::string document;
  ASSERT_EQ(Retrieve(d, &document), OPOS_SUCCESS);
  const std::string path = dir_.file("statistics.xml");
  std::ofstream(path) << document;
  const std::string command = "xmllint --noout --schema " VEXOKRT_TEST_SOURCE_DIR "/upos_stat.xsd " + path + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << document;
  EXPECT_EQ(Occurrences(document, "<Parameter>"), 2);
  EXPECT_EQ(Occurrences(document, "<ManufacturerSpecific>"), 127);
  EXPECT_EQ(Occurrences(document, "TradingLogField"), 0);
  EXPECT_NE(document.find("<FirmwareRevision></FirmwareRevision>"), std::string::npos);
  EXPECT_EQ(d.Get(pidx::kCapUpdateFirmware), 0) << "no program download on a KRT03";
  EXPECT_EQ(d.Call("AdjustCashCounts", {Variant::String("100:1")}), OPOS_E_ILLEGAL) << "no set-counts command";
}

TEST(TradingStatisticNames, EveryLineOfBothLayoutsHasAnEnglishNameOfItsOwn) {
  for (const auto layout : {devlog::Krt07TradingLayout(), devlog::Krt02TradingLayout()}) {
    std::set<std::string> names;
    for (const devlog::TradingLogField& field : layout) {
      const std::string name = devlog::TradingStatisticName(field);
      EXPECT_TRUE(std::regex_match(name, std::regex("[A-Z][A-Za-z0-9]*"))) << name;
      EXPECT_EQ(name.find("TradingLogField"), std::string::npos) << field.label;
      EXPECT_TRUE(names.insert(name).second) << "twice: " << name << " (" << field.label << ")";
    }
  }
  const struct {
    std::string_view label;
    const char* name;
  } samples[] = {{"入金枚数(    １万円),", "DepositPieces10000Yen"},
                 {"金額出金回数(金額:    ～ 999円),", "AmountDispenseCountUpTo999Yen"},
                 {"金額出金回数(金額:10000円～   ),", "AmountDispenseCountFrom10000Yen"},
                 {"硬貨一部回収(枚数指定)回数,", "CoinPartialCollectionCountByPieces"},
                 {"通電時間(H),", "PoweredHours"},
                 {"知らない項目,", "TradingLogField8"}};
  for (const auto& s : samples) EXPECT_EQ(devlog::TradingStatisticName({8, s.label}), s.name) << s.label;
}

TEST_F(LaterReleasesTest, CompareFirmwareVersionChecksTheFilesThenComparesWithTheMachine) {
  // The machine reports coin unit 01C03 and bill unit 01B07.
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}}),
                           {{"UposVersion", "1.14"}, {"Service", dir_.prefix()}});
  for (const char* name : {"KRT07CntCoin01C05.fil", "KRT07CntCoin01C03.fil", "KRT07CntCoin01B09.fil",
                           "KRT07Bil01A00.fil", "KRT07CntCoinV2.fil", "KRT77CntCoin01C05.fil"}) {
    ProgramFile(name, 600);
  }
  ProgramFile("KRT07CntCoin01C06.fil", 256);
  ASSERT_EQ(::symlink(dir_.file("KRT07CntCoin01C05.fil").c_str(), dir_.file("KRT07CntCoin01C07.fil").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.file("KRT07CntCoin01C08.fil").c_str(), 0600), 0);
  struct Case {
    std::string names;
    int32_t result;
    int32_t extended_or_outcome;
  };
  const Case cases[] = {
      {"KRT07CntCoin01C05.fil", OPOS_SUCCESS, OPOS_CFV_FIRMWARE_NEWER},
      {"KRT07CntCoin01C03.fil", OPOS_SUCCESS, OPOS_CFV_FIRMWARE_SAME},
      {"KRT07CntCoin01B09.fil", OPOS_SUCCESS, OPOS_CFV_FIRMWARE_OLDER},
      {"KRT07CntCoin01C05.fil,KRT07Bil01A00.fil", OPOS_SUCCESS, OPOS_CFV_FIRMWARE_DIFFERENT},
      {"KRT07CntCoinV2.fil", OPOS_SUCCESS, OPOS_CFV_FIRMWARE_UNKNOWN},
      {"KRT07CntCoin01C09.fil", OPOS_E_NOEXIST, 0},
      {"KRT77CntCoin01C05.fil", OPOS_E_EXTENDED, OPOS_EFIRMWARE_BAD_FILE},
      {"KRT07CntCoin01C06.fil", OPOS_E_EXTENDED, OPOS_EFIRMWARE_BAD_FILE},  // too short
      {"KRT07CntCoin01C07.fil", OPOS_E_EXTENDED, OPOS_EFIRMWARE_BAD_FILE},  // a link
      {"KRT07CntCoin01C08.fil", OPOS_E_EXTENDED, OPOS_EFIRMWARE_BAD_FILE},  // a FIFO
      {"../KRT07CntCoin01C05.fil", OPOS_E_EXTENDED, OPOS_EFIRMWARE_BAD_FILE},
      {"KRT07Bil01A00.fil,KRT07CntCoin01C05.fil", OPOS_E_EXTENDED, OPOS_EFIRMWARE_BAD_FILE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names);
    int32_t outcome = -1;
    TakeCommands();
    EXPECT_EQ(Compare(d, c.names, &outcome), c.result);
    if (c.result == OPOS_SUCCESS) {
      EXPECT_EQ(outcome, c.extended_or_outcome);
    }
    if (c.result == OPOS_E_EXTENDED) {
      EXPECT_EQ(d.Get(pidx::kResultCodeExtended), c.extended_or_outcome);
    }
    // An update is checked the same way before anything is sent.
    if (c.result != OPOS_SUCCESS) {
      EXPECT_EQ(d.Call("UpdateFirmware", {Variant::String(c.names)}), c.result);
      EXPECT_TRUE(Actions(TakeCommands()).empty());
    }
  }
}

TEST_F(LaterReleasesTest, UpdateFirmwareReportsItsProgressAndHowItEnded) {
  struct Case {
    const char* what;
    int unplug_at_block;  // -1: never
    std::set<int32_t> endings;
  };
  const Case cases[] = {
      {"the whole file", -1, {OPOS_SUE_UF_COMPLETE}},
      {"the plug pulled part-way", 20, {OPOS_SUE_UF_FAILED_DEV_UNKNOWN}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartDevice(sim::Model::kKrt07);
    Set("UposVersion", "1.14");
    Set("Service", dir_.prefix());
    machine().SetProgramVersion("01C01");
    // A start frame and 100 data frames.
    ProgramFile("KRT07CntCoin01C05.fil", 256 * 101);
    ServiceDriver& d = NewDriver();
    d.so().SetClock(clock_);
    ASSERT_EQ(d.Open(), OPOS_SUCCESS);
    ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
    ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);

    ASSERT_EQ(d.Call("UpdateFirmware", {Variant::String("KRT07CntCoin01C05.fil")}), OPOS_SUCCESS);
    EXPECT_EQ(d.Get(pidx::kState), OPOS_S_BUSY);
    std::string counts;
    bool discrepancy = false;
    EXPECT_EQ(ReadCounts(d, &counts, &discrepancy), OPOS_E_BUSY);
    int32_t outcome = 0;
    EXPECT_EQ(Compare(d, "KRT07CntCoin01C05.fil", &outcome), OPOS_E_BUSY);
    if (c.unplug_at_block >= 0) {
      ASSERT_TRUE(d.PumpUntil([&] { return machine().Download(1).blocks >= c.unplug_at_block; }, 20000));
      machine().SetUnplugged(true);
    }
    auto ending = [&] {
      for (const FiredEvent& e : d.control_object().events()) {
        if (e.member == "SOStatusUpdate" && e.number >= OPOS_SUE_UF_COMPLETE) return e.number;
      }
      return 0;
    };
    ASSERT_TRUE(d.PumpUntil([&] { return ending() != 0; }, 60000));
    EXPECT_EQ(c.endings.count(ending()), 1u) << ending();
    std::vector<int32_t> progress;
    for (const FiredEvent& e : d.control_object().events()) {
      if (e.member == "SOStatusUpdate" && e.number > OPOS_SUE_UF_PROGRESS && e.number < OPOS_SUE_UF_COMPLETE) {
        progress.push_back(e.number - OPOS_SUE_UF_PROGRESS);
      }
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()) &&
                std::adjacent_find(progress.begin(), progress.end()) == progress.end())
        << "each percent once, in order";
    if (c.unplug_at_block < 0) {
      EXPECT_EQ(progress.size(), 99u) << "a hundred frames: every percent up to 99, then the completion";
      EXPECT_EQ(progress.back(), 99);
      EXPECT_TRUE(machine().Download(1).finished);
    } else {
      EXPECT_LT(progress.back(), 99);
      // Plugged in again, the next claim finds the machine, wherever the
      // download left its line.
      machine().SetUnplugged(false);
      ASSERT_EQ(d.Call("ReleaseDevice"), OPOS_SUCCESS);
      ASSERT_EQ(d.Call("ClaimDevice", {Variant::Long(3000)}), OPOS_SUCCESS);
      ASSERT_EQ(d.Set(pidx::kDeviceEnabled, 1), OPOS_SUCCESS);
      EXPECT_EQ(ReadCounts(d, &counts, &discrepancy), OPOS_SUCCESS);
    }
    EXPECT_EQ(d.Get(pidx::kState), OPOS_S_IDLE);
    ASSERT_EQ(d.Call("Close"), OPOS_SUCCESS);
  }
}

TEST_F(LaterReleasesTest, UpdateFirmwareWaitsForAPayOutAndRealTimeDataFollowsTheDeposit) {
  ServiceDriver& d = Ready(sim::Model::kKrt07, SimCounts({{100, 10}, {1000, 10}}),
                           {{"UposVersion", "1.14"}, {"Service", dir_.prefix()}});
  ProgramFile("KRT07CntCoin01C05.fil", 600);
  ASSERT_EQ(d.Set(pidx::kAsyncMode, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("DispenseChange", {Variant::Long(300)}), OPOS_SUCCESS);
  EXPECT_EQ(d.Call("UpdateFirmware", {Variant::String("KRT07CntCoin01C05.fil")}), OPOS_E_BUSY);
  ASSERT_TRUE(d.AwaitStatus(CHAN_STATUS_ASYNC, 10000));
  ASSERT_EQ(d.Set(pidx::kAsyncMode, 0), OPOS_SUCCESS);

  // With real-time data on, DepositAmount is the cash of every data event
  // as the event arrives.
  ASSERT_EQ(d.Set(pidx::kRealTimeDataEnabled, 1), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("BeginDeposit"), OPOS_SUCCESS);
  std::vector<int32_t> amounts;
  d.control_object().SetOnEvent([&](const FiredEvent& e) {
    if (e.member == "SOData") amounts.push_back(d.Get(pidx::kDepositAmount));
  });
  machine().InsertCash(SimCounts({{100, 2}}));
  ASSERT_TRUE(d.PumpUntil([&] { return !amounts.empty() && amounts.back() == 200; }, 10000));
  ASSERT_EQ(d.Set(pidx::kDataEventEnabled, 1), OPOS_SUCCESS);
  machine().InsertCash(SimCounts({{1000, 1}}));
  ASSERT_TRUE(d.PumpUntil([&] { return amounts.back() == 1200; }, 10000));
  d.control_object().SetOnEvent(nullptr);
  ASSERT_EQ(d.Call("FixDeposit"), OPOS_SUCCESS);
  ASSERT_EQ(d.Call("EndDeposit", {Variant::Long(CHAN_DEPOSIT_NOCHANGE)}), OPOS_SUCCESS);
}

}  // namespace
}  // namespace vexokrt::testing
