// SPDX-License-Identifier: Apache-2.0
// `vexokrt logs` against the simulator served on a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/simulator.h"
#include "support/temp_dir.h"

namespace vexokrt {
namespace {

using vexokrt::testing::ReadFileBytes;
using vexokrt::testing::TempDir;
namespace fs = std::filesystem;

struct CommandRun {
  int status = -1;
  std::string output;
};

CommandRun RunCli(const std::string& arguments) {
  CommandRun run;
  const std::string command = std::string(VEXOKRT_CLI) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.output.append(buffer, n);
  const int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

class LogsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    sim::EngineOptions options;
    options.model = sim::Model::kKrt77;
    simulator_ = std::make_unique<sim::Simulator>(options);
    const sim::StartResult started = simulator_->Start();
    ASSERT_TRUE(started.ok) << started.error;
  }

  TempDir dir_;
  std::unique_ptr<sim::Simulator> simulator_;
};

TEST_F(LogsCommandTest, Code0_FetchesCoinLog00IntoTheFolder) {
  const std::string folder = dir_.file("logs");
  const CommandRun run = RunCli("logs --port " + simulator_->SlavePath() + " --code 0 --folder " + folder);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("CoinLog00.bin"), std::string::npos) << run.output;
  const std::string file = ReadFileBytes(folder + "/CoinLog00.bin");
  ASSERT_EQ(file.size(), 1024u);
  const auto memory = simulator_->Engine().ReadMemory(0x1000300, 255);
  EXPECT_EQ(file.substr(256, 255), std::string(memory.begin(), memory.end()));
}

TEST_F(LogsCommandTest, UnknownCode_Fails106WithoutFiles) {
  const std::string folder = dir_.file("logs");
  const CommandRun run = RunCli("logs --port " + simulator_->SlavePath() + " --code 50 --folder " + folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("result 106"), std::string::npos) << run.output;
  EXPECT_TRUE(fs::is_empty(folder));
}

}  // namespace
}  // namespace vexokrt
