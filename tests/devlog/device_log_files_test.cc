// SPDX-License-Identifier: Apache-2.0
#include "devlog/device_log_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "devlog_fakes.h"
#include "service/opos.h"

namespace vexokrt::devlog {
namespace {

using testing::FakeMemoryDevice;
using testing::SentRead;
using vexokrt::testing::ReadFileBytes;
using vexokrt::testing::TempDir;
namespace fs = std::filesystem;

class DeviceLogFilesTest : public ::testing::Test {
 protected:
  LogFolder Folder() const { return LogFolder(dir_.prefix(), 0); }
  LogFileResult Run(int32_t code, ModelCode model = ModelCode::kKrt77) {
    return RunDeviceLogRequest(device_, model, Folder(), code);
  }
  TempDir dir_;
  FakeMemoryDevice device_;
};

TEST_F(DeviceLogFilesTest, Code0_ReadsFourBlocksIntoA1024ByteFile) {
  for (uint32_t i = 0; i < 1024; ++i) device_.Poke(0x1000200 + i, {static_cast<uint8_t>(i * 7 + 1)});
  const LogFileResult result = Run(0);
  EXPECT_EQ(result.result, opos::OPOS_SUCCESS);

  ASSERT_EQ(device_.reads.size(), 4u);
  const uint32_t expected[] = {0x1000200, 0x1000300, 0x1000400, 0x1000500};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(device_.reads[i].address, expected[i]);
    EXPECT_EQ(device_.reads[i].length, 0xFF);
    EXPECT_EQ(device_.reads[i].timeout_ms, 3000);
  }
  EXPECT_EQ(device_.reads[0].command,
            (std::vector<uint8_t>{0x11, 's', '0', '9', '1', '0', '0', '0', '2', '0', '0', '?', '?'}));

  const std::string file = ReadFileBytes(dir_.file("CoinLog00.bin"));
  ASSERT_EQ(file.size(), 1024u);
  for (uint32_t i = 0; i < 1024; ++i) {
    // Offsets follow the device addresses; the unread last byte of each
    // block holds the fill, never anything beyond the answer.
    const uint8_t want = (i % 256 == 255) ? kUnreadBlockFill : static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(static_cast<uint8_t>(file[i]), want) << "offset " << i;
  }
}

TEST_F(DeviceLogFilesTest, Code97_WritesBillLog00To08AndReturnsTheLastResult) {
  // The last file of the group fails: the group reports that failure...
  device_.intercept = [](const SentRead& read) -> std::optional<DeviceReply> {
    if (read.address >= 0xB490200 && read.address < 0xB490200 + 32 * 1024) return testing::SingleByte(kNak);
    return std::nullopt;
  };
  EXPECT_EQ(Run(kBillLogGroup).result, opos::OPOS_E_FAILURE);
  for (int i = 0; i <= 7; ++i) {
    const std::string name = "BillLog0" + std::to_string(i) + ".bin";
    ASSERT_TRUE(fs::exists(dir_.file(name))) << name;
    EXPECT_EQ(fs::file_size(dir_.file(name)), static_cast<uintmax_t>(FindDeviceLogRegion(19 + i)->units) * 1024);
  }
  EXPECT_FALSE(fs::exists(dir_.file("BillLog08.bin")));

  // ...and when only an earlier one fails, the last one's success.
  device_.reads.clear();
  device_.intercept = [](const SentRead& read) -> std::optional<DeviceReply> {
    if (read.address == 0x9000050) return testing::Silence();
    return std::nullopt;
  };
  EXPECT_EQ(Run(kBillLogGroup).result, opos::OPOS_SUCCESS);
  EXPECT_TRUE(fs::exists(dir_.file("BillLog08.bin")));
  EXPECT_EQ(device_.reads.front().address, 0x9000050u);
  EXPECT_EQ(device_.reads.back().address, 0xB490200u + 32 * 1024 - 256);
}

TEST_F(DeviceLogFilesTest, UnknownAndIdleCodes_SendNothing) {
  EXPECT_EQ(Run(50).result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(Run(33).result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(Run(-1).result, opos::OPOS_E_ILLEGAL);
  EXPECT_EQ(Run(7).result, 7);
  EXPECT_EQ(Run(16).result, 16);
  EXPECT_TRUE(device_.reads.empty());
  EXPECT_TRUE(fs::is_empty(dir_.path()));
}

TEST(DeviceLogRequestRows, GroupsRunTheirRegionsInOrder) {
  std::vector<int32_t> coins;
  for (int32_t c = 0; c <= 18; ++c) {
    if (c != 7 && c != 16) coins.push_back(c);
  }
  EXPECT_EQ(DeviceLogRequestRows(kCoinLogGroup), coins);
  EXPECT_EQ(DeviceLogRequestRows(kBillLogGroup), (std::vector<int32_t>{19, 20, 21, 22, 23, 24, 25, 26, 27}));
  EXPECT_EQ(DeviceLogRequestRows(kBillDiscriminatorLogGroup), (std::vector<int32_t>{28, 29, 30, 31, 32}));
  std::vector<int32_t> all = coins;
  for (int32_t c = 19; c <= 32; ++c) all.push_back(c);
  EXPECT_EQ(DeviceLogRequestRows(kAllLogsGroup), all);
  EXPECT_EQ(DeviceLogRequestRows(31), (std::vector<int32_t>{31}));
  EXPECT_TRUE(DeviceLogRequestRows(16).empty());
  EXPECT_EQ(FindDeviceLogRegion(31)->units, 4193);
  EXPECT_EQ(FindDeviceLogRegion(28)->file_name, "BillDitalLog00.bin");
}

TEST_F(DeviceLogFilesTest, FailedBlock_WritesNothingAndKeepsThePreviousFile) {
  ASSERT_EQ(Run(2).result, opos::OPOS_SUCCESS);  // CoinLog02.bin, 1 unit
  const std::string before = ReadFileBytes(dir_.file("CoinLog02.bin"));
  device_.Poke(0x1001200, {0xAB});

  struct Case {
    const char* what;
    DeviceReply reply;
  };
  std::vector<uint8_t> short_block(254, 0x55);
  const Case cases[] = {
      {"silence", testing::Silence()},
      {"NAK", testing::SingleByte(kNak)},
      {"BEL without code", testing::SingleByte(kBel)},
      {"ACK", testing::SingleByte(kAck)},
      {"254 bytes", testing::Frame(short_block)},
      {"BCC error",
       [] {
         DeviceReply r;
         r.status = kReplyBccError;
         return r;
       }()},
  };
  for (const Case& c : cases) {
    // The third block fails; the first two were read fine.
    device_.intercept = [&c](const SentRead& read) -> std::optional<DeviceReply> {
      if (read.address == 0x1001400) return c.reply;
      return std::nullopt;
    };
    EXPECT_EQ(Run(2).result, opos::OPOS_E_FAILURE) << c.what;
    EXPECT_EQ(ReadFileBytes(dir_.file("CoinLog02.bin")), before) << c.what;
  }
}

TEST_F(DeviceLogFilesTest, BelWithErrorCode_IsExtendedOnKrt07FamilyOnly) {
  device_.intercept = [](const SentRead&) -> std::optional<DeviceReply> {
    DeviceReply bel = testing::SingleByte(kBel);
    bel.errorFlag = 1;
    bel.errorCode = 234;
    return bel;
  };
  const LogFileResult krt07 = Run(0, ModelCode::kKrt07);
  EXPECT_EQ(krt07.result, opos::OPOS_E_EXTENDED);
  EXPECT_EQ(krt07.extended, 234);
  EXPECT_EQ(Run(0, ModelCode::kKrt03).result, opos::OPOS_E_FAILURE);
  EXPECT_FALSE(fs::exists(dir_.file("CoinLog00.bin")));
}

TEST_F(DeviceLogFilesTest, UnwritableFolder_IsAFailureNotASuccess) {
  const LogFileResult result =
      RunDeviceLogRequest(device_, ModelCode::kKrt77, LogFolder(dir_.file("missing") + "/", 0), 0);
  EXPECT_EQ(result.result, opos::OPOS_E_FAILURE);
  EXPECT_EQ(device_.reads.size(), 4u);
}

}  // namespace
}  // namespace vexokrt::devlog

namespace vexokrt::devlog {
namespace {

// A copy that cannot be written fails and names the file and the reason.
TEST(DeviceLogFileWrite, AFolderThatCannotTakeTheFileGivesItsErrnoText) {
  vexokrt::testing::TempDir dir;
  testing::FakeMemoryDevice device;
  const LogFolder missing(dir.prefix() + "absent/", 0);
  const LogFileResult result = RunDeviceLogRequest(device, ModelCode::kKrt77, missing, 0);
  EXPECT_EQ(result.result, opos::OPOS_E_FAILURE);
  EXPECT_NE(result.error.find("CoinLog00.bin"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find(std::strerror(ENOENT)), std::string::npos) << result.error;
  EXPECT_TRUE(RunDeviceLogRequest(device, ModelCode::kKrt77, LogFolder(dir.prefix(), 0), 0).error.empty());
}

}  // namespace
}  // namespace vexokrt::devlog
