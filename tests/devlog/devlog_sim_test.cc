// SPDX-License-Identifier: Apache-2.0
// The device logs end to end: the serial link talking to the simulated cash
// changer, whose memory image holds the trading blocks, the history rings and
// the internal logs.
#include <gtest/gtest.h>

#include <filesystem>

#include "devlog/device_log_files.h"
#include "devlog/memory_read.h"
#include "devlog/operation_history.h"
#include "devlog/trading_log.h"
#include "devlog_fakes.h"
#include "link/serial_link.h"
#include "service/opos.h"
#include "sim/changer_engine.h"
#include "sim/direct_line.h"
#include "sim_port.h"

namespace vexokrt::devlog {
namespace {

using testing::DevlogEnvironment;
using vexokrt::testing::ReadFileBytes;
namespace fs = std::filesystem;

// One simulated machine on the link, detected and ready.
class SimulatedChanger {
 public:
  explicit SimulatedChanger(sim::Model model)
      : engine_(Options(model), &sim_clock_),
        line_(engine_, sim_clock_),
        clock_(sim_clock_),
        link_(
            link_trace_, "sim", "9600,E,8,1",
            [this](const std::string&) { return std::make_unique<testing::SimSerialPort>(line_); }, clock_),
        reads_(LineReads(link_)) {}
  ~SimulatedChanger() { link_.ClosePort(); }

  // Opens the port and finds the model; false when either fails.
  bool Connect() { return link_.OpenPort() == 0 && link_.DetectModel().ready(); }

  sim::ChangerEngine& engine() { return engine_; }
  MemoryReadExchange& reads() { return reads_; }
  ModelCode model() const { return link_.Model(); }

 private:
  static sim::EngineOptions Options(sim::Model model) {
    sim::EngineOptions options;
    options.model = model;
    return options;
  }

  sim::ManualSimClock sim_clock_;
  sim::ChangerEngine engine_;
  sim::DirectLine line_;
  testing::SimTimeClock clock_;
  diag::TraceLog link_trace_;  // off
  link::SerialLink link_;
  MemoryReads reads_;
};

std::vector<std::string> Lines(const std::string& cp932) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = cp932.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(platform::Cp932ToUtf8(cp932.substr(start, end - start)));
  }
  EXPECT_EQ(start, cp932.size()) << "every line ends in CR LF";
  return lines;
}

void SetTradingBlock(sim::ChangerEngine& engine) {
  for (int offset = 8; offset < 512; offset += 4) {
    engine.SetTradingCounter(offset, static_cast<uint32_t>(offset * 1000 + 7));
  }
  engine.SetTradingCounter(0, 0x20110715);   // start date
  engine.SetTradingCounter(4, 300);          // 00 00 01 2C power-on hours
  engine.SetTradingCounter(12, 0xFFFFFFFE);  // prints as -2
}

TEST(DevlogOnSimulator, Krt77TradingLog_MatchesTheCounterTable) {
  SimulatedChanger changer(sim::Model::kKrt77);
  ASSERT_TRUE(changer.Connect());
  ASSERT_EQ(changer.model(), ModelCode::kKrt77);
  SetTradingBlock(changer.engine());
  DevlogEnvironment env;
  DeviceLogSettings settings = env.Settings();
  settings.trading_log = "%Y%m%d%H%M%S.txt";

  ASSERT_EQ(RetrieveTradingLog(changer.model(), changer.reads(), kTradingDirectTimeoutMs, env.Context(settings)), 0);
  const auto lines = Lines(ReadFileBytes(env.path("20110715093000.txt")));
  ASSERT_EQ(lines.size(), 115u);
  EXPECT_EQ(lines[0], "ﾛｸﾞ開始年月日,2011/7/15");
  EXPECT_EQ(lines[1], "通電時間(H),300");
  EXPECT_EQ(lines[3], "ﾘｾｯﾄ回数,-2");
  const auto layout = Krt07TradingLayout();
  for (size_t i = 4; i < lines.size(); ++i) {
    const int32_t value = static_cast<int32_t>(changer.engine().TradingCounter(layout[i].offset));
    EXPECT_EQ(lines[i], std::string(layout[i].label) + std::to_string(value));
  }
}

TEST(DevlogOnSimulator, Krt03TradingLog_HexTextDateAndVersions) {
  SimulatedChanger changer(sim::Model::kKrt03);
  ASSERT_TRUE(changer.Connect());
  ASSERT_EQ(changer.model(), ModelCode::kKrt03);
  SetTradingBlock(changer.engine());
  changer.engine().SetTradingCounter(488, 0x30313233);
  DevlogEnvironment env;
  DeviceLogSettings settings = env.Settings();
  settings.trading_log = "%y%m%d.txt";

  ASSERT_EQ(RetrieveTradingLog(changer.model(), changer.reads(), kQueuedReadTimeoutMs, env.Context(settings)), 0);
  const auto lines = Lines(ReadFileBytes(env.path("110715.txt")));
  ASSERT_EQ(lines.size(), 128u);
  EXPECT_EQ(lines[0], "ﾛｸﾞ開始年月日,2011/07/15");
  EXPECT_EQ(lines[1], "通電時間(H),300");
  EXPECT_EQ(lines[122], "ｺﾝﾄﾛｰﾗｿﾌﾄ版数,0123");
  const auto layout = Krt02TradingLayout();
  for (size_t i = 4; i < lines.size(); ++i) {
    if (layout[i].offset >= 488 && layout[i].offset <= 500) continue;
    const int32_t value = static_cast<int32_t>(changer.engine().TradingCounter(layout[i].offset));
    EXPECT_EQ(lines[i], std::string(layout[i].label) + std::to_string(value));
  }
}

TEST(DevlogOnSimulator, TradingReadRefused_KeepsThePreviousFile) {
  SimulatedChanger changer(sim::Model::kKrt07);
  ASSERT_TRUE(changer.Connect());
  DevlogEnvironment env;
  DeviceLogSettings settings = env.Settings();
  settings.trading_log = "%H%M%S.txt";
  const DeviceLogContext context = env.Context(settings);
  ASSERT_EQ(RetrieveTradingLog(changer.model(), changer.reads(), kTradingDirectTimeoutMs, context), 0);
  env.now.tm_sec = 1;

  for (sim::FaultKind fault :
       {sim::FaultKind::kAnswerNak, sim::FaultKind::kAnswerBel, sim::FaultKind::kDrop, sim::FaultKind::kCorruptBcc}) {
    changer.engine().InjectFault({fault, 1, 's', 0});
    EXPECT_NE(RetrieveTradingLog(changer.model(), changer.reads(), kTradingDirectTimeoutMs, context), 0);
    EXPECT_TRUE(fs::exists(env.path("093000.txt")));
    EXPECT_FALSE(fs::exists(env.path("093001.txt")));
  }
}

// Records with a recognisable tail, as the device would write them.
std::vector<uint8_t> DatedRecord(int size, uint8_t month, uint8_t day, uint8_t mark, uint8_t tag) {
  std::vector<uint8_t> record(static_cast<size_t>(size), 0);
  const uint8_t head[] = {month, day, 0x12, 0x34, 0x56, mark};
  std::copy(std::begin(head), std::end(head), record.begin());
  record.back() = tag;
  return record;
}

TEST(DevlogOnSimulator, Krt77History_DrainsRecordByRecordIntoDayFiles) {
  SimulatedChanger changer(sim::Model::kKrt77);
  ASSERT_TRUE(changer.Connect());
  auto& engine = changer.engine();
  DevlogEnvironment env;
  DeviceLogSettings settings = env.Settings();
  settings.operation_history = "op%y%m%d.csv";
  const DeviceLogContext context = env.Context(settings);

  // A fresh device: the position (0, 0) is stored, nothing copied.
  ASSERT_EQ(OperationHistoryStep(changer.model(), changer.reads(), context), 0);
  EXPECT_EQ(env.values.dwords["StoringPointer"], 0u);

  const auto a = DatedRecord(84, 0x07, 0x15, 103, 0xA1);
  const auto b = DatedRecord(84, 0x07, 0x16, 103, 0xB2);
  const std::vector<uint8_t> continuation = [] {
    std::vector<uint8_t> r(84, 0);
    r[0] = 0x41;  // no date: goes with the day file before it
    r[1] = 0x07;
    return r;
  }();
  const auto bad = DatedRecord(84, 0x07, 0x32, 103, 0xD4);  // day 32
  for (const auto* r : {&a, &continuation, &b, &bad}) engine.AppendHistoryRecord(*r);

  int steps = 0;
  while (steps < 10 && env.values.dwords["StoringPointer"] != engine.GetHistoryPointer().pointer) {
    ASSERT_EQ(OperationHistoryStep(changer.model(), changer.reads(), context), 0);
    ++steps;
  }
  EXPECT_EQ(steps, 4) << "one record per step";
  EXPECT_EQ(ReadFileBytes(env.path("op110715.csv")),
            FormatHistoryLine(a) + "\r\n" + FormatHistoryLine(continuation) + "\r\n");
  EXPECT_EQ(ReadFileBytes(env.path("op110716.csv")), FormatHistoryLine(b) + "\r\n");
  EXPECT_EQ(env.values.texts["LastOperationHistory"], "op110716.csv");
  EXPECT_EQ(env.ErrorMessages(), std::vector<std::string>{"動作履歴取得 日付が不正"});
}

TEST(DevlogOnSimulator, Krt03HistoryWrapsAt1705) {
  SimulatedChanger changer(sim::Model::kKrt03);
  ASSERT_TRUE(changer.Connect());
  auto& engine = changer.engine();
  engine.SetHistoryPointer({1704, 2});
  DevlogEnvironment env;
  env.values.dwords["StoringPointer"] = 1704;
  env.values.dwords["OverwriteTimes"] = 2;
  DeviceLogSettings settings = env.Settings();
  settings.operation_history = "%y%m%d.csv";
  const DeviceLogContext context = env.Context(settings);

  const auto last = DatedRecord(68, 0x07, 0x15, 100, 0x11);
  const auto first = DatedRecord(68, 0x07, 0x15, 100, 0x22);
  engine.AppendHistoryRecord(last);   // index 1704
  engine.AppendHistoryRecord(first);  // index 0, next lap
  ASSERT_EQ(engine.GetHistoryPointer(), (sim::HistoryPointer{1, 3}));

  ASSERT_EQ(OperationHistoryStep(changer.model(), changer.reads(), context), 0);
  EXPECT_EQ(env.values.dwords["StoringPointer"], 1705u);
  ASSERT_EQ(OperationHistoryStep(changer.model(), changer.reads(), context), 0);
  EXPECT_EQ(env.values.dwords["StoringPointer"], 1u);
  EXPECT_EQ(env.values.dwords["OverwriteTimes"], 3u);
  ASSERT_EQ(OperationHistoryStep(changer.model(), changer.reads(), context), 0);  // same pointer
  EXPECT_EQ(ReadFileBytes(env.path("110715.csv")),
            FormatHistoryLine(last) + "\r\n" + FormatHistoryLine(first) + "\r\n");
}

TEST(DevlogOnSimulator, Krt07HistoryCountWrapsFrom0xFFFFAt6000) {
  SimulatedChanger changer(sim::Model::kKrt07);
  ASSERT_TRUE(changer.Connect());
  auto& engine = changer.engine();
  engine.SetHistoryPointer({5999, 0xFFFF});
  DevlogEnvironment env;
  env.values.dwords["StoringPointer"] = 5999;
  env.values.dwords["OverwriteTimes"] = 0xFFFF;
  DeviceLogSettings settings = env.Settings();
  settings.operation_history = "%y%m%d.csv";
  const DeviceLogContext context = env.Context(settings);

  const auto last = DatedRecord(84, 0x07, 0x15, 101, 0x11);
  const auto first = DatedRecord(84, 0x07, 0x15, 101, 0x22);
  engine.AppendHistoryRecord(last);   // index 5999
  engine.AppendHistoryRecord(first);  // index 0; the count goes round to 0
  ASSERT_EQ(engine.GetHistoryPointer(), (sim::HistoryPointer{1, 0}));

  for (int i = 0; i < 3; ++i) ASSERT_EQ(OperationHistoryStep(changer.model(), changer.reads(), context), 0);
  EXPECT_EQ(env.values.dwords["StoringPointer"], 1u);
  EXPECT_EQ(env.values.dwords["OverwriteTimes"], 0u);
  EXPECT_EQ(ReadFileBytes(env.path("110715.csv")),
            FormatHistoryLine(last) + "\r\n" + FormatHistoryLine(first) + "\r\n");
}

TEST(DevlogOnSimulator, LogFileCodes_CopyTheMemoryImage) {
  SimulatedChanger changer(sim::Model::kKrt77);
  ASSERT_TRUE(changer.Connect());
  SetTradingBlock(changer.engine());
  vexokrt::testing::TempDir dir;
  const LogFolder folder(dir.prefix(), 0);

  // CoinLog02 starts at the trading block: 1 unit, four blocks.
  ASSERT_EQ(RunDeviceLogRequest(changer.reads(), changer.model(), folder, 2).result, opos::OPOS_SUCCESS);
  const std::string file = ReadFileBytes(dir.file("CoinLog02.bin"));
  ASSERT_EQ(file.size(), 1024u);
  for (uint32_t block = 0; block < 4; ++block) {
    const auto memory = changer.engine().ReadMemory(0x1001200 + block * 256, 255);
    EXPECT_EQ(file.substr(block * 256, 255), std::string(memory.begin(), memory.end())) << "block " << block;
    EXPECT_EQ(static_cast<uint8_t>(file[block * 256 + 255]), kUnreadBlockFill);
  }

  ASSERT_EQ(RunDeviceLogRequest(changer.reads(), changer.model(), folder, kBillLogGroup).result, opos::OPOS_SUCCESS);
  for (int code = 19; code <= 27; ++code) {
    const DeviceLogRegion* region = FindDeviceLogRegion(code);
    EXPECT_EQ(fs::file_size(dir.file(std::string(region->file_name))), static_cast<uintmax_t>(region->units) * 1024);
  }

  changer.engine().InjectFault({sim::FaultKind::kAnswerBel, 1, 's', 0});
  const LogFileResult refused = RunDeviceLogRequest(changer.reads(), changer.model(), folder, 0);
  // The link asked the device why (rule C): one of the KRT07/KRT77 codes.
  EXPECT_EQ(refused.result, opos::OPOS_E_EXTENDED);
  EXPECT_GE(refused.extended, 231);
  EXPECT_LE(refused.extended, 241);
  EXPECT_FALSE(fs::exists(dir.file("CoinLog00.bin")));
}

}  // namespace
}  // namespace vexokrt::devlog
