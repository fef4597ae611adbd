// SPDX-License-Identifier: Apache-2.0
// The settings file and single settings: what each line sends, which lines
// are refused with which trace text, and that a refused line stops the load
// after the lines before it were sent.
#include "maintenance/operating_settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "file_layouts.h"
#include "opos/opos.h"
#include "platform/codepage.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vexokrt::maintenance {
namespace {

using testing::Layout;
using testing::TempDir;

struct Sent {
  int32_t mode;
  std::array<int32_t, 5> values;
  bool operator==(const Sent&) const = default;
};

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trace_.SetFileName(dir_.file("trace.log"));
    trace_.SetLevel(diag::kLevelInfo);
  }
  opos::OposResult Load(const std::string& contents, int32_t answer = opos::OPOS_SUCCESS) {
    std::ofstream(dir_.file("Krt07Setei.txt"), std::ios::binary) << contents;
    return LoadOperatingConditions(kLoadSettingsFile, "", dir_.prefix(), "Krt07Setei.txt", Recorder(answer), trace_,
                                   clock_);
  }
  SendSetting Recorder(int32_t answer) {
    return [this, answer](int32_t mode, const std::array<int32_t, 5>& values) {
      sent_.push_back({mode, values});
      return opos::OposResult(answer);
    };
  }
  std::string Trace() { return platform::Cp932ToUtf8(testing::ReadFileBytes(dir_.file("trace.log"))); }

  TempDir dir_;
  diag::TraceLog trace_;
  testing::SteppingClock clock_;
  std::vector<Sent> sent_;
};

TEST_F(SettingsFileTest, LinesAreSentInOrderAndRefusalsStopTheLoad) {
  struct Case {
    std::string file;
    int32_t result;
    std::vector<Sent> sent;
    std::string trace;  // a line the trace must hold
  };
  const Case cases[] = {
      {"", 0, {}, "動作設定ファイルのデータがなくなりました。"},
      {"2:0,4,0,0,0\r\n2:F,0,0,0,0\r\n", 0, {{2, {0, 4, 0, 0, 0}}, {2, {15, 0, 0, 0, 0}}}, "読み込んだデータ:2:F,0,0,0,0"},
      {" A:1 , 2,3 ,4,5\n", 0, {{10, {1, 2, 3, 4, 5}}}, "動作設定実行時のエラーコード = 0"},
      {"1:0,0,0,0,0\n2:0,0,0,0\n3:0,0,0,0,0\n", 106, {{1, {0, 0, 0, 0, 0}}}, "CSV形式になっていません。"},
      {"a:0,0,0,0,0\n", 106, {}, "モード設定内容が不正です。"},
      {"20,0,0,0,0\n", 106, {}, "ファイルの設定内容が不正です。"},
      {"2;0,0,0,0,0\n", 106, {}, "に:が設定されていません。"},
      {"2:0,0,0,0,10\n", 106, {}, "パラメータ設定内容が不正です。"},
      {"2:0,0,0,0,f\n", 106, {}, "パラメータ設定内容が不正です。"},
  };
  for (const Case& c : cases) {
    sent_.clear();
    std::remove(dir_.file("trace.log").c_str());
    EXPECT_EQ(Load(c.file), c.result) << c.file;
    EXPECT_EQ(sent_, c.sent) << c.file;
    EXPECT_NE(Trace().find(c.trace), std::string::npos) << c.file;
    EXPECT_NE(Trace().find("動作設定ファイル読込み開始"), std::string::npos);
  }
}

TEST_F(SettingsFileTest, AFailingSettingIsTracedAndTheLoadGoesOn) {
  EXPECT_EQ(Load("1:0,0,0,0,0\n2:0,0,0,0,0\n", opos::OPOS_E_NOHARDWARE), opos::OPOS_SUCCESS);
  EXPECT_EQ(sent_.size(), 2u);
  EXPECT_NE(Trace().find("動作設定実行時のエラーコード = 107"), std::string::npos);

  // A missing file: 106 and its trace line, nothing sent.
  sent_.clear();
  EXPECT_EQ(
      LoadOperatingConditions(kLoadSettingsFile, "", dir_.prefix(), "absent.txt", Recorder(0), trace_, clock_),
      opos::OPOS_E_ILLEGAL);
  EXPECT_TRUE(sent_.empty());
  EXPECT_NE(Trace().find("動作設定ファイル読込みに失敗しました。"), std::string::npos);
}

// Only a regular file that stays in the maintenance folder is read, and no
// more of it than a settings file can need: anything else is refused before a
// setting is sent (106, with the reason traced), and nothing blocks on it.
TEST_F(SettingsFileTest, FileInputs_OnlyARegularFileInTheFolderIsReadWithinBounds) {
  const std::string good = "1:0,0,0,0,0\r\n2:0,4,0,0,0\r\n";
  std::string large;
  while (large.size() <= static_cast<size_t>(kSettingsFileMaxBytes)) large += "1:0,0,0,0,0\r\n";
  const std::string long_line = "1:0,0,0,0,0\r\n" + std::string(kSettingsLineMaxBytes, ' ') + "2:0,0,0,0,0\r\n";
  struct Case {
    const char* label;
    Layout layout;
    std::string contents;
    int32_t result;
    size_t sent;
    std::string error;  // in an Error line; empty: none
  };
  const Case cases[] = {
      {"good file", Layout::kGood, good, 0, 2, ""},
      {"link inside the folder", Layout::kLinkInside, good, 0, 2, ""},
      {"FIFO", Layout::kFifo, "", 106, 0, "Krt07Setei.txt: is not a regular file"},
      {"directory", Layout::kDirectory, "", 106, 0, "Krt07Setei.txt: is not a regular file"},
      {"link to /dev/zero", Layout::kLinkToZero, "", 106, 0, "leads to /dev/zero, outside the maintenance folder"},
      {"link out of the folder", Layout::kLinkOutside, good, 106, 0, ", outside the maintenance folder"},
      {"too long", Layout::kGood, large, 106, 0, "Krt07Setei.txt: is larger than 65536 bytes"},
      {"too long a line", Layout::kGood, long_line, 106, 1, "Krt07Setei.txt: has a line longer than 256 bytes"},
      {"unreadable", Layout::kUnreadable, good, 106, 0, "Krt07Setei.txt: cannot be opened: Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir folder;
    TempDir elsewhere;
    testing::LayOut(c.layout, folder.path(), elsewhere.path(), "Krt07Setei.txt", c.contents);
    sent_.clear();
    std::remove(dir_.file("trace.log").c_str());
    bool blocked = false;
    const opos::OposResult result = testing::RunReleasingFifo<opos::OposResult>(
        [&] {
          const testing::WithoutFileOverride no_override;
          return LoadOperatingConditions(kLoadSettingsFile, "", folder.prefix(), "Krt07Setei.txt", Recorder(0), trace_,
                                         clock_);
        },
        folder.file("Krt07Setei.txt"), &blocked);
    EXPECT_FALSE(blocked) << "the load waited for a writer";
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(sent_.size(), c.sent);
    const std::string trace = Trace();
    if (c.error.empty()) {
      EXPECT_EQ(trace.find("Error"), std::string::npos) << trace;
      continue;
    }
    EXPECT_NE(trace.find(c.error), std::string::npos) << trace;
    // A file refused as a whole is one that could not be opened.
    EXPECT_EQ(trace.find("動作設定ファイル読込みに失敗しました。") != std::string::npos, c.sent == 0) << trace;
  }
}

// A read that fails part-way is a failure (111) with its reason, not the end
// of the file: the settings read before it have gone out, no more.
TEST_F(SettingsFileTest, ReadErrorPartWay_FailsWithTheErrorTraced) {
  std::ofstream(dir_.file("Krt07Setei.txt"), std::ios::binary) << "1:0,0,0,0,0\r\n2:0,4,0,0,0\r\n";
  bool broken = false;
  const SendSetting send = [&](int32_t mode, const std::array<int32_t, 5>& values) {
    sent_.push_back({mode, values});
    if (!broken) broken = testing::BreakReadsOf(dir_.file("Krt07Setei.txt"));
    return opos::OPOS_SUCCESS;
  };
  EXPECT_EQ(LoadOperatingConditions(kLoadSettingsFile, "", dir_.prefix(), "Krt07Setei.txt", send, trace_, clock_),
            opos::OPOS_E_FAILURE);
  EXPECT_TRUE(broken);
  EXPECT_EQ(sent_.size(), 2u) << "both lines were read before the file failed";
  EXPECT_NE(Trace().find("Krt07Setei.txt: read error 9 (Bad file descriptor)"), std::string::npos) << Trace();
  EXPECT_EQ(Trace().find("動作設定ファイルのデータがなくなりました。"), std::string::npos);
}

TEST_F(SettingsFileTest, SingleSettingsAndSelectors) {
  const std::string nowhere = "absent.txt";
  EXPECT_EQ(LoadOperatingConditions(12, "0,B,1,2,F", dir_.prefix(), nowhere, Recorder(0), trace_, clock_),
            opos::OPOS_SUCCESS);
  EXPECT_EQ(sent_, (std::vector<Sent>{{12, {0, 11, 1, 2, 15}}}));
  // The send's own result is the answer.
  EXPECT_EQ(LoadOperatingConditions(0, "0,0,0,0,0", dir_.prefix(), nowhere, Recorder(111), trace_, clock_), 111);
  for (const char* bad : {"", "0,0,0,0", "0,0,0,0,0,0", "0,0,0,0,g", "0,0,0,0,10"}) {
    EXPECT_EQ(LoadOperatingConditions(3, bad, dir_.prefix(), nowhere, Recorder(0), trace_, clock_),
              opos::OPOS_E_ILLEGAL)
        << bad;
  }
  for (int32_t selector : {-1, 16, 98, 100}) {
    EXPECT_EQ(LoadOperatingConditions(selector, "0,0,0,0,0", dir_.prefix(), nowhere, Recorder(0), trace_, clock_),
              opos::OPOS_E_ILLEGAL)
        << selector;
  }
  EXPECT_EQ(sent_.size(), 2u);
  // The values of a page as command 73 shows them read back for command 86.
  EXPECT_EQ(ParseSettingValues("3,0,0,0,F"), (std::array<int32_t, 5>{3, 0, 0, 0, 15}));
  EXPECT_EQ(ParseSettingValues("3,0,0,0"), std::nullopt);
  EXPECT_EQ(ParseSettingValues("3,0,0,0,G"), std::nullopt);
  EXPECT_EQ(SettingsFileName(ModelCode::kKrt07), "Krt07Setei.txt");
  EXPECT_EQ(SettingsFileName(ModelCode::kKrt77), "Krt77Setei.txt");
}

}  // namespace
}  // namespace vexokrt::maintenance
