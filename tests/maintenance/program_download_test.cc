// SPDX-License-Identifier: Apache-2.0
// Program download against the simulated cash changer, in-process and on
// virtual time: the serial link writes to the simulator's direct line, and
// every wait of the link and of the download (the 20 s pause between files,
// the 60 s limits) moves the simulated clock instead of sleeping.
#include "maintenance/program_download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "devlog/sim_port.h"
#include "file_layouts.h"
#include "link/comm_thread.h"
#include "link/line_sequences.h"
#include "link/serial_link.h"
#include "platform/codepage.h"
#include "service/opos.h"
#include "sim/changer_engine.h"
#include "sim/control_script.h"
#include "sim/direct_line.h"
#include "support/fake_changer_host.h"
#include "support/temp_dir.h"

namespace vexokrt::maintenance {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// A file's bytes: a pattern that differs from block to block.
Bytes Content(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + i / 256 + seed);
  return bytes;
}

// The frames a download of |file| as |kind| must consist of, built from the
// frame table: the start frame with the first 256 bytes, then data frames of
// at most 256 bytes with their length (block + 2) and serial number.
std::vector<Bytes> ExpectedFrames(const Bytes& file, char kind) {
  std::vector<Bytes> frames;
  Bytes start{0x11, 'M', 0x01, 0x01, static_cast<uint8_t>(kind)};
  start.insert(start.end(), file.begin(), file.begin() + 256);
  frames.push_back(start);
  int serial = 0;
  for (size_t at = 256; at < file.size(); at += 256, ++serial) {
    const size_t n = std::min<size_t>(256, file.size() - at);
    Bytes data{0x11, 'N', static_cast<uint8_t>((n + 2) >> 8), static_cast<uint8_t>(n + 2),
               static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial)};
    data.insert(data.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                file.begin() + static_cast<std::ptrdiff_t>(at + n));
    frames.push_back(data);
  }
  frames.push_back({0x11, 'O', '0', '0'});
  return frames;
}

// The simulator's clock, with a hook that runs once at the next sleep.
class HookedClock final : public platform::Clock {
 public:
  explicit HookedClock(sim::ManualSimClock& clock) : inner_(clock) {}
  int64_t NowMs() override { return inner_.NowMs(); }
  void SleepMs(int64_t ms) override {
    if (at_next_sleep_) std::exchange(at_next_sleep_, nullptr)();
    inner_.SleepMs(ms);
  }
  platform::LocalTime LocalTimeNow() override { return inner_.LocalTimeNow(); }
  void WaitStep(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline_ms) override {
    inner_.WaitStep(cv, lock, deadline_ms);
  }
  void AtNextSleep(std::function<void()> hook) { at_next_sleep_ = std::move(hook); }

 private:
  devlog::testing::SimTimeClock inner_;
  std::function<void()> at_next_sleep_;
};

class ProgramDownloadTest : public ::testing::Test {
 protected:
  ProgramDownloadTest() : clock_(sim_clock_) {}
  ~ProgramDownloadTest() override { Stop(); }

  void Stop() {
    if (device_) device_->ClosePort();
    device_.reset();
    link_ = nullptr;
    line_.reset();
    engine_.reset();
  }

  // A detected, paused device of |model| with program version |version|, and
  // an empty folder.
  void Start(sim::Model model, const std::string& version = "01C03") {
    Stop();
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove_all(entry.path());
    sim::EngineOptions options;
    options.model = model;
    // The checks read every frame of a whole download: its blocks with their
    // ENQs are more frames than the simulator keeps by default.
    options.max_recorded_frames = 20'000;
    engine_ = std::make_unique<sim::ChangerEngine>(options, &sim_clock_);
    engine_->SetProgramVersion(version);
    line_ = std::make_unique<sim::DirectLine>(*engine_, sim_clock_);
    auto link = std::make_unique<link::SerialLink>(
        link_trace_, "sim", "9600,E,8,1",
        [this](const std::string&) { return std::make_unique<devlog::testing::SimSerialPort>(*line_); }, clock_);
    link_ = link.get();
    device_ = std::make_unique<ChangerDevice>(host_, host_.deposit, host_.switches, DeviceSettings{}, std::move(link), clock_);
    ASSERT_EQ(device_->OpenPort(), 0);
    ASSERT_TRUE(device_->DetectModel().ready());
    device_->StopWatch();
    engine_->ClearReceivedFrames();
    trace_.SetFileName(dir_.file("trace.log"));
    trace_.SetLevel(diag::kLevelInfo);
  }

  void Control(const std::string& line) {
    const sim::ControlReply reply = sim::ExecuteControlLine(*engine_, line);
    ASSERT_TRUE(reply.ok) << line << ": " << reply.text;
  }

  void WriteFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(dir_.file(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  opos::OposResult Download(int32_t selector, std::string_view names) {
    DownloadContext ctx{*device_, trace_, clock_, dir_.prefix()};
    return ProgramDownload(ctx, selector, names);
  }

  std::vector<sim::ReceivedFrame> Commands(char letter) const {
    std::vector<sim::ReceivedFrame> found;
    for (const sim::ReceivedFrame& f : engine_->ReceivedFrames()) {
      if (f.kind == sim::ReceivedFrame::Kind::kCommand && f.body.size() >= 2 && f.body[1] == letter) {
        found.push_back(f);
      }
    }
    return found;
  }
  // The download frames ('M', 'N', 'O') in the order they were sent.
  std::vector<Bytes> DownloadFrames() const {
    std::vector<Bytes> found;
    for (const sim::ReceivedFrame& f : engine_->ReceivedFrames()) {
      if (f.kind == sim::ReceivedFrame::Kind::kCommand && f.body.size() >= 2 &&
          (f.body[1] == 'M' || f.body[1] == 'N' || f.body[1] == 'O')) {
        found.push_back(f.body);
      }
    }
    return found;
  }

  std::vector<std::string> TraceLines() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_.file("trace.log"), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(platform::Cp932ToUtf8(line));
    }
    return lines;
  }
  bool Traced(const std::string& text) const {
    const auto lines = TraceLines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.size() >= text.size() && l.ends_with(text); });
  }

  // The line and the device both at 9600 bit/s, and a status read answered.
  void ExpectLineUsable() {
    EXPECT_EQ(engine_->CurrentLine().baud, 9600);
    EXPECT_EQ(link_->LineDefinition(), "9600,E,8,1");
    const uint8_t status[] = {0x11, 'H', '0', '0'};
    const DeviceReply reply = device_->ExchangeNow(status, 1000);
    EXPECT_EQ(reply.status, kReplyOk);
    EXPECT_EQ(reply.data.size(), 51u) << "status read after the download";
  }

  testing::TempDir dir_;
  sim::ManualSimClock sim_clock_;
  HookedClock clock_;
  std::unique_ptr<sim::ChangerEngine> engine_;
  std::unique_ptr<sim::DirectLine> line_;
  diag::TraceLog link_trace_;
  diag::TraceLog trace_;
  link::SerialLink* link_ = nullptr;  // owned by device_
  vexokrt::testing::FakeChangerHost host_;
  std::unique_ptr<ChangerDevice> device_;
};

TEST_F(ProgramDownloadTest, FileSize_FramesSerialsAndTheBytesTheDeviceKeeps) {
  struct Case {
    size_t size;  // 0: no file at all
    int32_t result;
    std::vector<std::string> block_lines;  // the trace of each data frame
  };
  const std::vector<Case> cases{
      {256, opos::OPOS_E_ILLEGAL, {}},
      {257, opos::OPOS_SUCCESS, {"シリアルNo = 0, 送信データ = 1, 残り = 1"}},
      {512, opos::OPOS_SUCCESS, {"シリアルNo = 0, 送信データ = 256, 残り = 256"}},
      {513, opos::OPOS_SUCCESS,
       {"シリアルNo = 0, 送信データ = 256, 残り = 257", "シリアルNo = 1, 送信データ = 1, 残り = 1"}},
      {16 * 1024 * 1024 + 1, opos::OPOS_E_ILLEGAL, {}},
      {0, opos::OPOS_E_ILLEGAL, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    Start(sim::Model::kKrt07);
    const Bytes file = Content(c.size, static_cast<uint8_t>(c.size));
    if (c.size > 0) WriteFile("KRT07CntCoinV2.fil", file);
    const int64_t began = clock_.NowMs();

    EXPECT_EQ(Download(kDownloadCoinProgram, "V2"), c.result);

    if (c.result != opos::OPOS_SUCCESS) {
      EXPECT_TRUE(DownloadFrames().empty()) << "nothing sent for a file that does not fit";
      EXPECT_EQ(engine_->LastDownload().kind, 0);
      continue;
    }
    EXPECT_EQ(DownloadFrames(), ExpectedFrames(file, '1'));
    for (const sim::ReceivedFrame& f : Commands('N')) EXPECT_EQ(f.host_line.baud, 115200);
    const sim::DownloadRecord kept = engine_->Download(1);
    EXPECT_EQ(kept.bytes, file) << "the device holds the file byte for byte";
    EXPECT_EQ(kept.blocks, static_cast<int>(c.block_lines.size()));
    EXPECT_TRUE(kept.finished);
    const auto lines = TraceLines();
    std::vector<std::string> download_lines;
    for (const std::string& l : lines) {
      const size_t at = l.find("プログラムダウンロード");
      if (at != std::string::npos) download_lines.push_back(l.substr(at));
    }
    std::vector<std::string> expected{"プログラムダウンロード開始"};
    for (const std::string& b : c.block_lines) expected.push_back("プログラムダウンロード " + b);
    expected.push_back("プログラムダウンロード終了");
    EXPECT_EQ(download_lines, expected);
    EXPECT_GE(clock_.NowMs() - began, kPauseBetweenFilesMs) << "the pause after a file";
    EXPECT_EQ(device_->DepositPhase(), 0);
    EXPECT_TRUE(device_->StatusStale());
    EXPECT_TRUE(device_->CountsStale());
    ExpectLineUsable();
  }
}

TEST_F(ProgramDownloadTest, Selection_FilesByModelSelectorAndVersion) {
  struct Case {
    sim::Model model;
    const char* version;
    int32_t selector;
    const char* names;
    std::vector<std::string> files;  // written before; sent in this order when the result is 0
    std::vector<int> kinds;
    int32_t result;
    bool version_asked;  // false: refused before anything was sent
    bool fast_line;
  };
  const std::vector<Case> cases{
      {sim::Model::kKrt77, "01A00", 1, "x", {"KRT77CntCoinx.fil"}, {1}, 0, true, true},
      {sim::Model::kKrt77, "01A00", 2, "", {"KRT77Bil.fil"}, {2}, 0, true, true},
      {sim::Model::kKrt77, "01A00", 3, "c,b", {"KRT77CntCoinc.fil", "KRT77Bilb.fil"}, {1, 2}, 0, true, true},
      {sim::Model::kKrt77, "01A00", 3, "", {"KRT77CntCoin.fil", "KRT77Bil.fil"}, {1, 2}, 0, true, true},
      {sim::Model::kKrt77, "01A00", 4, "u", {"PLM70Dwu.fil"}, {3}, 0, true, true},
      {sim::Model::kKrt77, "01A00", 5, "d", {"DefFile77d.bin"}, {4}, 0, true, true},
      {sim::Model::kKrt07, "01C01", 4, "u", {"PLM70Dwu.fil"}, {3}, 0, true, true},
      {sim::Model::kKrt07, "01C01", 5, "d", {"DefFiled.bin"}, {4}, 0, true, true},
      {sim::Model::kKrt07, "01B99", 2, "b", {"KRT07Bilb.fil"}, {2}, 0, true, false},
      {sim::Model::kKrt07, "01B99", 4, "u", {"PLM70Dwu.fil"}, {}, 106, true, false},
      {sim::Model::kKrt07, "01B99", 5, "d", {"DefFiled.bin"}, {}, 106, true, false},
      // Both files are checked before the first frame.
      {sim::Model::kKrt07, "01C03", 3, "c,b", {"KRT07CntCoinc.fil"}, {}, 106, true, true},
      {sim::Model::kKrt07, "01C03", 3, "c", {"KRT07CntCoinc.fil"}, {}, 106, false, true},
      {sim::Model::kKrt07, "01C03", 3, "c,b,a", {"KRT07CntCoinc.fil", "KRT07Bilb.fil"}, {}, 106, false, true},
      {sim::Model::kKrt07, "01C03", 0, "", {"KRT07CntCoin.fil"}, {}, 106, false, true},
      {sim::Model::kKrt07, "01C03", 6, "", {"KRT07CntCoin.fil"}, {}, 106, false, true},
      {sim::Model::kKrt03, "01C03", 1, "", {"KRT07CntCoin.fil"}, {}, 106, false, true},
      // Name parts that would leave the folder.
      {sim::Model::kKrt07, "01C03", 1, "/../../x", {}, {}, 106, false, true},
      {sim::Model::kKrt07, "01C03", 2, "..", {}, {}, 106, false, true},
      {sim::Model::kKrt07, "01C03", 3, "a,..\\b", {}, {}, 106, false, true},
      {sim::Model::kKrt07, "01C03", 5, "a/b", {}, {}, 106, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version) + " selector " + std::to_string(c.selector) + " names '" + c.names + "'");
    Start(c.model, c.version);
    std::vector<Bytes> contents;
    for (size_t i = 0; i < c.files.size(); ++i) {
      contents.push_back(Content(300 + i * 256, static_cast<uint8_t>(i + 1)));
      WriteFile(c.files[i], contents.back());
    }

    EXPECT_EQ(Download(c.selector, c.names), c.result);

    EXPECT_EQ(Commands('Z').size(), c.version_asked ? 1u : 0u);
    if (!c.version_asked) {
      EXPECT_TRUE(engine_->ReceivedFrames().empty()) << "nothing at all sent";
    }
    if (c.result != 0) {
      EXPECT_TRUE(DownloadFrames().empty());
      continue;
    }
    std::vector<Bytes> expected;
    for (size_t i = 0; i < c.kinds.size(); ++i) {
      const auto frames = ExpectedFrames(contents[i], static_cast<char>('0' + c.kinds[i]));
      expected.insert(expected.end(), frames.begin(), frames.end());
      EXPECT_EQ(engine_->Download(c.kinds[i]).bytes, contents[i]);
    }
    EXPECT_EQ(DownloadFrames(), expected);
    EXPECT_EQ(Commands('}').size(), c.fast_line ? 2 * c.kinds.size() : 0u);
    for (const sim::ReceivedFrame& f : Commands('N')) EXPECT_EQ(f.host_line.baud, c.fast_line ? 115200 : 9600);
    if (c.kinds.size() == 2) {
      const auto ends = Commands('O');
      const auto starts = Commands('M');
      ASSERT_EQ(starts.size(), 2u);
      EXPECT_GE(starts[1].time_us - ends[0].time_us, kPauseBetweenFilesMs * 1000) << "20 s between the files";
    }
    ExpectLineUsable();
  }
}

// Only a regular file that stays in the maintenance folder is sent: anything
// else is refused (106, with the reason traced) before a download frame goes
// out, and nothing blocks on it.
TEST_F(ProgramDownloadTest, FileInputs_OnlyARegularFileInTheFolderIsSent) {
  using testing::Layout;
  struct Case {
    const char* label;
    Layout layout;
    int32_t result;
    std::string error;  // in an Error line; empty: none
  };
  const Case cases[] = {
      {"good file", Layout::kGood, opos::OPOS_SUCCESS, ""},
      {"link inside the folder", Layout::kLinkInside, opos::OPOS_SUCCESS, ""},
      {"FIFO", Layout::kFifo, opos::OPOS_E_ILLEGAL, "KRT07CntCoinV2.fil: is not a regular file"},
      {"directory", Layout::kDirectory, opos::OPOS_E_ILLEGAL, "KRT07CntCoinV2.fil: is not a regular file"},
      {"link to /dev/zero", Layout::kLinkToZero, opos::OPOS_E_ILLEGAL,
       "leads to /dev/zero, outside the maintenance folder"},
      {"link out of the folder", Layout::kLinkOutside, opos::OPOS_E_ILLEGAL, ", outside the maintenance folder"},
      {"unreadable", Layout::kUnreadable, opos::OPOS_E_ILLEGAL,
       "KRT07CntCoinV2.fil: cannot be opened: Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Start(sim::Model::kKrt07);
    testing::TempDir elsewhere;
    const Bytes file = Content(300, 5);
    testing::LayOut(c.layout, dir_.path(), elsewhere.path(), "KRT07CntCoinV2.fil", std::string(file.begin(), file.end()));
    bool blocked = false;
    const opos::OposResult result = testing::RunReleasingFifo<opos::OposResult>(
        [&] {
          const testing::WithoutFileOverride no_override;
          return Download(kDownloadCoinProgram, "V2");
        },
        dir_.file("KRT07CntCoinV2.fil"), &blocked);
    EXPECT_FALSE(blocked) << "the download waited for a writer";
    EXPECT_EQ(result, c.result);
    if (c.result == opos::OPOS_SUCCESS) {
      EXPECT_EQ(engine_->Download(1).bytes, file);
      continue;
    }
    EXPECT_TRUE(DownloadFrames().empty()) << "nothing sent for a file that is refused";
    const auto lines = TraceLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find("Error") != std::string::npos && l.find(c.error) != std::string::npos;
    })) << c.error;
  }
}

// A read that fails part-way is a failure (111) with its reason, and the line
// comes back to 9600 bit/s.
TEST_F(ProgramDownloadTest, ReadErrorPartWay_FailsWithTheErrorTraced) {
  Start(sim::Model::kKrt77);
  WriteFile("KRT77Bil.fil", Content(600, 3));
  // The first sleep is the ready wait after the start frame.
  bool broken = false;
  clock_.AtNextSleep([&] { broken = testing::BreakReadsOf(dir_.file("KRT77Bil.fil")); });

  EXPECT_EQ(Download(kDownloadBillProgram, ""), opos::OPOS_E_FAILURE);

  EXPECT_TRUE(broken);
  EXPECT_EQ(Commands('M').size(), 1u);
  EXPECT_TRUE(Commands('N').empty());
  EXPECT_TRUE(Traced("ファイル読み取りエラー = 9"));
  EXPECT_TRUE(Traced("KRT77Bil.fil: read error 9 (Bad file descriptor)"));
  EXPECT_EQ(device_->DepositPhase(), 0);
  ExpectLineUsable();
}

TEST_F(ProgramDownloadTest, DeviceFailures_ResultAndTheLineBackAt9600) {
  struct Case {
    const char* control;  // simulator control line
    int32_t result;
    int data_frames;  // 'N' frames sent for the 513-byte file
    bool end_frame;
    int32_t extended;  // ResultCodeExtended, which comes with 114 only
  };
  // A BEL is followed by the status read of rule C; the idle device's status
  // matches no row, which gives 231.
  const std::vector<Case> cases{
      // A block refused three times is sent a fourth time and taken.
      {"fault bel 3 cmd N", opos::OPOS_SUCCESS, 5, true, 0},
      // Refused a fourth time: the download ends.
      {"fault bel 4 cmd N", opos::OPOS_E_EXTENDED, 4, false, 231},
      {"fault drop cmd N", opos::OPOS_E_NOHARDWARE, 1, false, 0},
      {"fault nak cmd N", opos::OPOS_E_FAILURE, 1, false, 0},
      {"fault bel cmd M", opos::OPOS_E_EXTENDED, 0, false, 231},
      {"fault drop cmd M", opos::OPOS_E_NOHARDWARE, 0, false, 0},
      // The version request.
      {"fault nak cmd Z", opos::OPOS_E_FAILURE, 0, false, 0},
      {"fault bel cmd Z", opos::OPOS_E_FAILURE, 0, false, 231},
      {"fault drop cmd Z", opos::OPOS_E_FAILURE, 0, false, 0},
      // Busy (SUB) after the start frame: 60 s are waited, not more.
      {"fault sub 59000 cmd M", opos::OPOS_SUCCESS, 2, true, 0},
      {"fault sub 61000 cmd M", opos::OPOS_E_TIMEOUT, 0, false, 0},
      {"fault nak cmd }", opos::OPOS_E_FAILURE, 0, false, 0},
      // The end: the first answer to ENQ after the end frame decides.
      {"fault sub 400 cmd O", opos::OPOS_E_FAILURE, 2, true, 0},
      {"set duration download-write 59000", opos::OPOS_SUCCESS, 2, true, 0},
      {"set duration download-write 61000", opos::OPOS_E_TIMEOUT, 2, true, 0},
      // A refused end frame is sent once more; its code is kept.
      {"fault bel cmd O", opos::OPOS_SUCCESS, 2, true, 231},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    Start(sim::Model::kKrt77);
    const Bytes file = Content(513, 9);
    WriteFile("KRT77CntCoin.fil", file);
    Control(c.control);

    const opos::OposResult result = Download(kDownloadCoinProgram, "");
    EXPECT_EQ(result.code, c.result);

    EXPECT_EQ(static_cast<int>(Commands('N').size()), c.data_frames);
    EXPECT_EQ(Commands('O').size(), c.end_frame ? (c.control == std::string("fault bel cmd O") ? 2u : 1u) : 0u);
    if (c.result == opos::OPOS_E_EXTENDED) {
      EXPECT_EQ(result.extended, c.extended);
    }
    if (c.result == opos::OPOS_SUCCESS) {
      EXPECT_EQ(engine_->Download(1).bytes, file);
    }
    EXPECT_EQ(device_->DepositPhase(), 0);
    ExpectLineUsable();
  }
}

TEST_F(ProgramDownloadTest, FileShorterThanAtTheCheck_ReadErrorAndTheLineBackAt9600) {
  Start(sim::Model::kKrt77);
  WriteFile("KRT77Bil.fil", Content(600, 3));
  // The first sleep is the ready wait after the start frame: the file loses
  // its tail there, so the first data block cannot be read in full.
  clock_.AtNextSleep([this] { fs::resize_file(dir_.file("KRT77Bil.fil"), 300); });

  EXPECT_EQ(Download(kDownloadBillProgram, ""), opos::OPOS_E_FAILURE);

  EXPECT_EQ(Commands('M').size(), 1u);
  EXPECT_TRUE(Commands('N').empty());
  EXPECT_TRUE(Commands('O').empty());
  EXPECT_TRUE(Traced("プログラムダウンロード開始"));
  EXPECT_TRUE(Traced("ファイル読み取りエラー = 0"));
  EXPECT_FALSE(Traced("プログラムダウンロード終了"));
  EXPECT_EQ(device_->DepositPhase(), 0);
  EXPECT_TRUE(device_->StatusStale());
  ExpectLineUsable();
}

}  // namespace
}  // namespace vexokrt::maintenance
