// SPDX-License-Identifier: Apache-2.0
// Device memory as the memory-read commands see it: the trading block, the
// operation-history ring, the count tables and the log regions; and the
// program download.
#include <gtest/gtest.h>

#include "sim/memory_image.h"
#include "sim/control_script.h"
#include "test_host.h"

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;
using testing::TextOf;

std::uint32_t U32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
}

std::vector<std::uint8_t> FromNibbleText(const std::vector<std::uint8_t>& text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>((text[i] - 0x30) << 4 | (text[i + 1] - 0x30)));
  }
  return bytes;
}

TEST(TradingBlock, Krt07_FiveReadsCoverTheBlock) {
  TestHost host(Model::kKrt07);
  struct Read {
    const char* command;
    std::size_t length;
  };
  const Read reads[] = {{"s091001200" "6<", 108}, {"s09100126<" "78", 120}, {"s0910012>4" "78", 120},
                        {"s09100135<" "78", 120}, {"s0910013=4" "2<", 44}};
  std::vector<std::uint8_t> block;
  for (const Read& r : reads) {
    ParsedAnswer a = host.Command(r.command);
    ASSERT_EQ(a.kind, ParsedAnswer::Kind::kData) << r.command;
    ASSERT_EQ(a.data.size(), r.length) << r.command;
    block.insert(block.end(), a.data.begin(), a.data.end());
  }
  ASSERT_EQ(block.size(), 512u);
  EXPECT_EQ(block[0], 0x20);  // packed-decimal start date
  EXPECT_EQ(U32(block, 4), host.engine.TradingCounter(4));
  EXPECT_EQ(block, host.engine.ReadMemory(0x1001200, 512));
}

TEST(TradingBlock, Krt03_HexTextReads) {
  TestHost host(Model::kKrt03);
  ParsedAnswer a = host.Command("6090416=486<");
  ASSERT_EQ(a.data.size(), 216u);
  EXPECT_EQ(FromNibbleText(a.data), host.engine.ReadMemory(0x416D48, 108));
  ParsedAnswer last = host.Command("6090416?1<2<");
  ASSERT_EQ(last.data.size(), 88u);
  // Program versions as characters at offsets 488..503 of the block.
  std::vector<std::uint8_t> tail = FromNibbleText(last.data);
  EXPECT_EQ(TextOf({tail.begin() + 20, tail.begin() + 24}), "0105");
  EXPECT_TRUE(IsControl(host.Command("6090400000=="), kNak));  // 0xDD bytes do not fit as text
}

TEST(TradingBlock, CountersAdvanceWithTheOperations) {
  TestHost host(Model::kKrt77);
  std::uint32_t brackets_1000 = host.engine.TradingCounter(trading::kAmountPayouts + 4);
  std::uint32_t resets = host.engine.TradingCounter(trading::kResetCount);
  host.Action("!06001500");
  host.Action("000");
  EXPECT_EQ(host.engine.TradingCounter(trading::kAmountPayouts + 4), brackets_1000 + 1);
  EXPECT_EQ(host.engine.TradingCounter(trading::kResetCount), resets + 1);
  std::vector<std::uint8_t> raw = host.Command("s091001200" "6<").data;
  EXPECT_EQ(U32(raw, 72), brackets_1000 + 1);
}

TEST(History, Krt07_PointerRecordsAndTheirValidity) {
  TestHost host(Model::kKrt77);
  EXPECT_EQ(host.Command("s091005600" "04").data, std::vector<std::uint8_t>(4, 0));  // never written
  host.Action("!06000120");
  HistoryPointer p = host.engine.GetHistoryPointer();
  EXPECT_EQ(p, (HistoryPointer{2, 0}));  // a dated record and its continuation
  std::vector<std::uint8_t> pointer = host.Command("s091005600" "04").data;
  EXPECT_EQ(pointer, (std::vector<std::uint8_t>{0, 2, 0, 0}));
  // Record 0 at 0x1005604: 84 raw bytes, a valid date, byte 5 = 103 on a KRT77.
  std::vector<std::uint8_t> record = host.Command("s091005604" "54").data;
  ASSERT_EQ(record.size(), 84u);
  auto bcd_ok = [](std::uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; };
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(bcd_ok(record[static_cast<std::size_t>(i)])) << i;
  int month = (record[0] >> 4) * 10 + (record[0] & 0x0F);
  EXPECT_GE(month, 1);
  EXPECT_LE(month, 12);
  EXPECT_EQ(record[5], 103);
  // Record 1 at 0x1005604 + 84 = 0x1005658: the continuation without a date.
  std::vector<std::uint8_t> detail = host.Command("s091005658" "54").data;
  EXPECT_EQ(detail[0], 0x41);
  EXPECT_EQ(detail[66], 0);
  EXPECT_EQ(detail[67], 0);
}

TEST(History, JamLeavesADatedRecordAndA0x42Detail) {
  TestHost host(Model::kKrt07);
  host.engine.SetJam(true, 0x0521);
  EXPECT_EQ(host.engine.HistoryRecord(0)[5], 101);
  std::vector<std::uint8_t> detail = host.engine.HistoryRecord(1);
  EXPECT_EQ(detail[0], 0x42);
  EXPECT_EQ(detail[1], 0x05);
  EXPECT_EQ(detail[2], 0x21);
}

TEST(History, Krt03_RingWrapsAt1705AndCountsTheLap) {
  TestHost host(Model::kKrt03);
  host.engine.SetHistoryPointer(HistoryPointer{1705, 0xFFFF});
  std::vector<std::uint8_t> record(68, 0x11);
  host.engine.AppendHistoryRecord(record);
  EXPECT_EQ(host.engine.GetHistoryPointer(), (HistoryPointer{1, 0}));
  EXPECT_EQ(host.engine.HistoryRecord(0), record);
  // The pointer request of the older models: four bytes as eight characters.
  EXPECT_EQ(TextOf(host.Command("609041:>6804").data), "00010000");
  // Record 0 as 136 characters.
  ParsedAnswer a = host.Command("609041:>6<44");
  ASSERT_EQ(a.data.size(), 136u);
  EXPECT_EQ(FromNibbleText(a.data), record);
}

TEST(History, SetRecord_ReplacesWhatTheHostWillRead) {
  TestHost host(Model::kKrt07);
  std::vector<std::uint8_t> record(84, 0);
  record[0] = 0x07;
  record[1] = 0x15;
  record[5] = 101;
  host.engine.SetHistoryRecord(5999, record);
  // The last record sits at 0x1005604 + 5999 x 84 = 0x1080670.
  EXPECT_EQ(host.Command("s091080670" "54").data, record);
}

TEST(CountTables, Commands82And83_ReadStockAndBox) {
  TestHost host(Model::kKrt07);
  CashCounts stock{};
  stock[*DenominationIndex(10000)] = 18;
  stock[*DenominationIndex(1)] = 300;
  host.engine.SetStock(stock);
  CashCounts box{};
  box[*DenominationIndex(5000)] = 2;
  host.engine.SetBox(box);
  std::string stock_text = TextOf(host.Command("60910002<020").data);
  ASSERT_EQ(stock_text.size(), 64u);
  EXPECT_EQ(stock_text.substr(0, 4), "0012");          // value 0: 10000 yen
  EXPECT_EQ(stock_text.substr(13 * 4, 4), "012<");     // value 13: 1 yen = 300
  std::string box_text = TextOf(host.Command("60910002:020").data);
  EXPECT_EQ(box_text.substr(4, 4), "0002");            // value 1: 5000 yen
}

TEST(LogRegions, BlocksOf255Bytes_ReadTheSameTwice) {
  TestHost host(Model::kKrt77);
  ParsedAnswer first = host.Command("s091000200??");
  ASSERT_EQ(first.data.size(), 255u);
  EXPECT_EQ(host.Command("s091000200??").data, first.data);
  ParsedAnswer far = host.Command("s09;400100??");  // 0xB400100, deep in the bill logs
  EXPECT_EQ(far.data.size(), 255u);
  EXPECT_TRUE(IsControl(host.Command("s091000200" "00"), kNak));  // nothing to read
}

TEST(Download, StartBlocksWithSerialNumbersAndEnd) {
  EngineOptions options = testing::OptionsFor(Model::kKrt77);
  options.durations.download_erase_ms = 300;
  options.durations.download_write_ms = 200;
  TestHost host(options);
  std::vector<std::uint8_t> file(513);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 7);

  std::vector<std::uint8_t> start{kDc1, 'M', 0x01, 0x01, '1'};
  start.insert(start.end(), file.begin(), file.begin() + 256);
  host.SendBody(start);
  EXPECT_TRUE(IsControl(host.Receive(), kAck));
  EXPECT_TRUE(IsControl(host.PollUntilDone(), kAck));  // SUB while erasing, then ACK

  auto block = [&](int serial, std::size_t from, std::size_t n) {
    std::vector<std::uint8_t> body{kDc1, 'N', static_cast<std::uint8_t>((n + 2) >> 8),
                                   static_cast<std::uint8_t>(n + 2), static_cast<std::uint8_t>(serial >> 8),
                                   static_cast<std::uint8_t>(serial)};
    body.insert(body.end(), file.begin() + static_cast<std::ptrdiff_t>(from),
                file.begin() + static_cast<std::ptrdiff_t>(from + n));
    host.SendBody(body);
    return host.Receive();
  };
  EXPECT_TRUE(IsControl(block(0, 256, 256), kAck));
  EXPECT_TRUE(IsControl(block(0, 256, 256), kAck));  // sent again: taken once
  EXPECT_TRUE(IsControl(block(5, 512, 1), kNak));    // out of sequence
  EXPECT_TRUE(IsControl(block(1, 512, 1), kAck));
  EXPECT_TRUE(IsControl(host.Command("O00"), kAck));
  EXPECT_TRUE(IsControl(host.EnqUntilAnswered(), kAck));  // silent while writing, then the result

  DownloadRecord record = host.engine.LastDownload();
  EXPECT_EQ(record.kind, 1);
  EXPECT_EQ(record.blocks, 2);
  EXPECT_TRUE(record.finished);
  EXPECT_EQ(record.bytes, file);
}

TEST(Download, EachKindKeptApart_OversizeBlockRefused_ControlLines) {
  EngineOptions options = testing::OptionsFor(Model::kKrt77);
  options.durations.download_erase_ms = 0;
  options.durations.download_write_ms = 0;
  TestHost host(options);
  auto start = [&](char kind, std::uint8_t fill) {
    std::vector<std::uint8_t> body{kDc1, 'M', 0x01, 0x01, static_cast<std::uint8_t>(kind)};
    body.resize(body.size() + 256, fill);
    host.SendBody(body);
    return host.Receive();
  };
  auto block = [&](std::size_t n) {
    std::vector<std::uint8_t> body{kDc1, 'N', static_cast<std::uint8_t>((n + 2) >> 8),
                                   static_cast<std::uint8_t>(n + 2), 0x00, 0x00};
    body.resize(body.size() + n, 0x3C);
    host.SendBody(body);
    return host.Receive();
  };
  ASSERT_TRUE(IsControl(start('1', 0x11), kAck));
  EXPECT_TRUE(IsControl(host.PollUntilDone(), kAck));
  EXPECT_TRUE(IsControl(block(257), kNak)) << "a block holds at most 256 bytes";
  EXPECT_TRUE(IsControl(block(1), kAck));
  EXPECT_TRUE(IsControl(host.Command("O00"), kAck));
  EXPECT_TRUE(IsControl(host.EnqUntilAnswered(), kAck));
  ASSERT_TRUE(IsControl(start('4', 0x44), kAck));

  const DownloadRecord coin = host.engine.Download(1);
  EXPECT_EQ(coin.bytes.size(), 257u);
  EXPECT_EQ(coin.bytes.front(), 0x11);
  EXPECT_EQ(coin.bytes.back(), 0x3C);
  EXPECT_TRUE(coin.finished);
  EXPECT_EQ(host.engine.Download(4).bytes, std::vector<std::uint8_t>(256, 0x44));
  EXPECT_EQ(host.engine.LastDownload().kind, 4);
  EXPECT_EQ(host.engine.Download(2).kind, 0) << "no bill program came";

  struct Line {
    const char* text;
    bool ok;
    const char* reply;
  };
  for (const Line& l : std::vector<Line>{
           {"show download", true, "download: kind 4, 256 bytes, 0 data blocks, under way\n"},
           {"show download 1", true, "download: kind 1, 257 bytes, 1 data blocks, finished\n"},
           {"show download 2", true, "no download\n"},
           {"show download 5", false, "error: show download [kind 1-4]\n"},
           {"show download x", false, "error: show download [kind 1-4]\n"},
           {"set duration download-erase 700", true, "ok\n"},
           {"set duration download-write 900", true, "ok\n"},
           {"set duration download-write -1", false, "error: duration in ms\n"},
       }) {
    const ControlReply reply = ExecuteControlLine(host.engine, l.text);
    EXPECT_EQ(reply.ok, l.ok) << l.text;
    EXPECT_EQ(reply.text, l.reply) << l.text;
  }
  EXPECT_EQ(host.engine.Durations().download_erase_ms, 700);
  EXPECT_EQ(host.engine.Durations().download_write_ms, 900);
}

// Runs a one-block download up to the end frame and returns the first answer
// the host gets to its enquiries after it, asking as the end phase does:
// ENQ, read 100 ms, 10 ms apart, until something comes.
ParsedAnswer EndPhaseAnswer(TestHost& host) {
  std::vector<std::uint8_t> start{kDc1, 'M', 0x01, 0x01, '2'};
  start.resize(start.size() + 256, 0x5A);
  host.SendBody(start);
  if (!IsControl(host.Receive(), kAck) || !IsControl(host.PollUntilDone(), kAck)) return {};
  host.SendBody(std::vector<std::uint8_t>{kDc1, 'N', 0x00, 0x03, 0x00, 0x00, 0x77});
  if (!IsControl(host.Receive(), kAck)) return {};
  if (!IsControl(host.Command("O00"), kAck)) return {};
  return host.EnqUntilAnswered();
}

TEST(Download, EndPhase_FirstAnswerIsAckOrSubWhenTheFaultAsksForIt) {
  struct Case {
    const char* fault;  // control line, or nothing
    std::uint8_t first;
  };
  for (const Case& c : std::vector<Case>{{nullptr, kAck}, {"fault sub 400 cmd O", kSub}}) {
    SCOPED_TRACE(c.fault ? c.fault : "no fault");
    EngineOptions options = testing::OptionsFor(Model::kKrt07);
    options.durations.download_erase_ms = 0;
    options.durations.download_write_ms = 300;
    TestHost host(options);
    if (c.fault) {
      ASSERT_TRUE(ExecuteControlLine(host.engine, c.fault).ok);
    }
    int64_t start = host.clock.NowUs();
    EXPECT_TRUE(IsControl(EndPhaseAnswer(host), c.first));
    // A host that polled on through SUB would see the ACK only after the write and the fault's time.
    EXPECT_TRUE(IsControl(host.PollUntilDone(), kAck));
    EXPECT_GE(host.clock.NowUs() - start, c.fault ? 700'000 : 300'000);
    EXPECT_TRUE(host.engine.LastDownload().finished);
  }
}

TEST(Download, OnlyTheNewerModelsAndOnlyAfterAStart) {
  TestHost krt07(Model::kKrt07);
  EXPECT_TRUE(IsControl(krt07.Command("O00"), kNak));
  std::vector<std::uint8_t> block{kDc1, 'N', 0x00, 0x03, 0x00, 0x00, 0x55};
  krt07.SendBody(block);
  EXPECT_TRUE(IsControl(krt07.Receive(), kNak));
  TestHost krt03(Model::kKrt03);
  std::vector<std::uint8_t> start{kDc1, 'M', 0x01, 0x01, '1'};
  start.resize(start.size() + 256, 0);
  krt03.SendBody(start);
  EXPECT_TRUE(IsControl(krt03.Receive(), kNak));
}

TEST(Version, ProgramVersionAtBytes15To19) {
  TestHost host(Model::kKrt07);
  host.engine.SetProgramVersion("01B99");
  std::string text = TextOf(host.Command("Z00").data);
  ASSERT_EQ(text.size(), 30u);
  EXPECT_EQ(text.substr(15, 5), "01B99");
}

}  // namespace
}  // namespace vexokrt::sim
