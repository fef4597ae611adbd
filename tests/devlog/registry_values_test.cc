// SPDX-License-Identifier: Apache-2.0
#include "devlog/registry_values.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "devlog/operation_history.h"
#include "devlog_fakes.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace vexokrt::devlog {
namespace {

using platform::RegRoot;
using vexokrt::testing::ReadFileBytes;
using vexokrt::testing::TempDir;

class RegistryValuesTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("OPOS_REGISTRY_DIR", registry_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("OPOS_REGISTRY_DIR"); }

  TempDir registry_;
  std::string key_ = config::DeviceKeyPath("Changer1");
  RegistryValues values_{key_};
};

TEST_F(RegistryValuesTest, ValuesLiveUnderTheCurrentUsersDeviceKey) {
  ASSERT_TRUE(values_.WriteDword(kStoringPointer, 1705));
  ASSERT_TRUE(values_.WriteDword(kOverwriteTimes, 0xFFFF));
  ASSERT_TRUE(values_.WriteText(kLastOperationHistory, "110715.csv"));
  EXPECT_EQ(values_.ReadDword(kStoringPointer), 1705u);
  EXPECT_EQ(values_.ReadDword(kOverwriteTimes), 0xFFFFu);
  EXPECT_EQ(values_.ReadText(kLastOperationHistory), "110715.csv");

  uint32_t pointer = 0;
  EXPECT_EQ(platform::RegQueryDword(RegRoot::kCurrentUser, key_, "StoringPointer", &pointer), platform::RegResult::kOk);
  EXPECT_EQ(pointer, 1705u);
  EXPECT_EQ(platform::RegQueryDword(RegRoot::kLocalMachine, key_, "StoringPointer", &pointer),
            platform::RegResult::kKeyNotFound);
}

TEST_F(RegistryValuesTest, WrongTypesReadAsMissingAndLongTextsComeBackWhole) {
  ASSERT_EQ(platform::RegSetString(RegRoot::kCurrentUser, key_, "StoringPointer", "12"), platform::RegResult::kOk);
  EXPECT_FALSE(values_.ReadDword(kStoringPointer).has_value());
  EXPECT_FALSE(values_.ReadText(kLastTradingLog).has_value());
  const std::string long_path = "/var/log/" + std::string(300, 'k') + "/20110715093000.txt";
  ASSERT_TRUE(values_.WriteText(kLastTradingLog, long_path));
  EXPECT_EQ(values_.ReadText(kLastTradingLog), long_path);
}

TEST_F(RegistryValuesTest, UnwritableRegistry_DoesNotStopTheHistoryStep) {
  ASSERT_TRUE(values_.WriteDword(kStoringPointer, 8));
  ASSERT_TRUE(values_.WriteDword(kOverwriteTimes, 0));
  // Writers lock "<file>.lock" first; a directory there makes every write
  // fail while reads go on working.
  const std::string lock = platform::RegFilePath(RegRoot::kCurrentUser) + ".lock";
  std::filesystem::remove(lock);
  std::filesystem::create_directory(lock);
  ASSERT_FALSE(values_.WriteDword(kStoringPointer, 9));

  testing::DevlogEnvironment env;
  testing::FakeMemoryDevice device;
  device.Poke(0x1005600, {0x00, 0x09, 0x00, 0x00});
  const uint8_t record[] = {0x07, 0x15, 0x09, 0x30, 0x00, 103};
  device.Poke(0x1005604 + 8 * 84, std::vector<uint8_t>(std::begin(record), std::end(record)));
  DeviceLogContext context = env.Context(env.Settings());
  context.settings.operation_history = "%y%m%d.csv";
  context.values = &values_;

  EXPECT_EQ(OperationHistoryStep(ModelCode::kKrt77, device, context), 0);
  EXPECT_EQ(device.reads.size(), 2u);
  EXPECT_EQ(ReadFileBytes(env.path("110715.csv")).substr(0, 18), "07,15,09,30,00,67,");
  EXPECT_EQ(values_.ReadDword(kStoringPointer), 8u) << "nothing could be stored";
}

TEST(LogSettingsFrom, TakesTheFourLogSettings) {
  config::DeviceConfig config;
  config.log_folder_name = "/var/log/krt/";
  config.log_folder_size = 1048576;
  config.operation_history = "%y%m%d.csv";
  config.trading_log = "%Y%m%d%H%M%S.txt";
  const DeviceLogSettings settings = LogSettingsFrom(config);
  EXPECT_EQ(settings.log_folder, "/var/log/krt/");
  EXPECT_EQ(settings.log_folder_size, 1048576);
  EXPECT_EQ(settings.operation_history, "%y%m%d.csv");
  EXPECT_EQ(settings.trading_log, "%Y%m%d%H%M%S.txt");
}

}  // namespace
}  // namespace vexokrt::devlog
