// SPDX-License-Identifier: Apache-2.0
#include "config/device_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "support/temp_dir.h"

namespace vexokrt::config {
namespace {

using platform::RegResult;
using platform::RegRoot;
using testing::TempDir;

class DeviceConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1);
    ASSERT_EQ(platform::RegCreateKey(RegRoot::kLocalMachine, key_), RegResult::kOk);
  }
  void TearDown() override { ::unsetenv("OPOS_REGISTRY_DIR"); }

  void Set(const std::string& name, const std::string& text, RegRoot root = RegRoot::kLocalMachine) {
    ASSERT_EQ(platform::RegSetString(root, key_, name, text), RegResult::kOk);
  }
  DeviceConfig Read() {
    DeviceConfig config;
    config.working_flag = 0;
    ReadDeviceConfig(key_, &config);
    return config;
  }

  TempDir dir_;
  std::string key_ = DeviceKeyPath("Changer1");
};

TEST(DeviceKeyPath, IsTheCashChangerKeyPlusTheName) {
  EXPECT_EQ(DeviceKeyPath("KRT"), "SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashChanger\\KRT");
}

TEST_F(DeviceConfigTest, EmptyKeyGivesEveryDefault) {
  const DeviceConfig config = Read();
  EXPECT_EQ(config.port, "COM1");
  EXPECT_EQ(config.port_initialize_string, "9600,E,8,1");
  EXPECT_EQ(config.watch_interval, 500);
  EXPECT_EQ(config.dbg_log_level, -1);
  EXPECT_EQ(config.exm_log_max_size, 358400);
  EXPECT_EQ(config.dispense_change_timeout, 86400000);
  EXPECT_EQ(config.operating_condition_setting_data2, 4);
  EXPECT_EQ(config.exm_log_file_name, "C:\\OPOS\\VexoKrt\\Krtlog\\ExamLog.txt");
  EXPECT_EQ(config.service, "C:\\OPOS\\VexoKrt\\");
  EXPECT_EQ(config.working_flag, 1) << "set at every read";
  EXPECT_EQ(config, DeviceConfig{}) << "the record's initial values are the defaults";
}

TEST_F(DeviceConfigTest, ReportsWhetherThePortValuesWerePresent) {
  DeviceConfig config;
  DeviceConfigReport report = ReadDeviceConfig(key_, &config);
  EXPECT_FALSE(report.port_present);
  EXPECT_FALSE(report.port_initialize_string_present);
  Set("Port", "/dev/ttyS1");
  report = ReadDeviceConfig(key_, &config);
  EXPECT_TRUE(report.port_present);
  EXPECT_FALSE(report.port_initialize_string_present);
  Set("Port_Initialize_String", "19200,E,8,1");
  EXPECT_TRUE(ReadDeviceConfig(key_, &config).port_initialize_string_present);
}

// Each value lands in its own field: every value gets a distinct text.
TEST_F(DeviceConfigTest, EveryValueIsReadIntoItsField) {
  const std::map<std::string, std::string> machine = {
      {"Port", "/dev/ttyUSB0"},         {"Port_Initialize_String", "38400,E,8,1"},
      {"DispenseLimit", "61"},          {"DispenseLimit_500", "26"},
      {"WatchInterval", "501"},         {"AutoNegotiation", "1"},
      {"OperationHistory", "hist.csv"}, {"TradingLog", "trade.txt"},
      {"LogFolderName", "/var/log/x/"}, {"LogFileName", "dev.log"},
      {"LogFolderSize", "1000"},        {"DbgLogFileName", "/tmp/trace"},
      {"DbgLogLevel", "1"},             {"ExmLogFileName", "other.txt"},
      {"ExmLogMaxSize", "4096"},        {"DioReadExchange", "2"},
      {"EndDepositTimeout", "60001"},   {"DispenseChangeTimeout", "86400001"},
      {"DispenseCashTimeout", "86400002"}, {"InvestigateTimeout", "180001"},
      {"TakeBackTimeout", "50001"},     {"OperatingConditionSettingData1", "11"},
      {"OperatingConditionSettingData2", "12"}, {"OperatingConditionSettingData3", "13"},
      {"OperatingConditionSettingData4", "14"}, {"OperatingConditionSettingData5", "15"},
      {"DefaultCurrentExit", "3"},      {"ClaimRelaxation", "16"},
      {"DepositEVTset", "17"},          {"Service", "/opt/svc/"},
      {"DispenseCashExit", "18"},       {"ClaimNonEvent", "19"},
      {"FixDepositTimeout", "60002"},   {"PauseDepositSet", "20"},
      {"FixDepositRcv", "21"},          {"EndDepositSts", "22"},
      {"DepositStatusRV", "23"},        {"ClaimPassSetting", "24"},
      {"ReadCashRspSetting", "25"},     {"UposVersion", "1.14"},
  };
  for (const auto& [name, text] : machine) Set(name, text);
  Set("OperationMode_Initialize", "26", RegRoot::kCurrentUser);
  Set("OperationMode_Temporary", "27", RegRoot::kCurrentUser);

  const DeviceConfig c = Read();
  EXPECT_EQ(c.port, "/dev/ttyUSB0");
  EXPECT_EQ(c.port_initialize_string, "38400,E,8,1");
  EXPECT_EQ(c.dispense_limit, 61);
  EXPECT_EQ(c.dispense_limit_500, 26);
  EXPECT_EQ(c.watch_interval, 501);
  EXPECT_EQ(c.auto_negotiation, 1);
  EXPECT_EQ(c.operation_history, "hist.csv");
  EXPECT_EQ(c.trading_log, "trade.txt");
  EXPECT_EQ(c.log_folder_name, "/var/log/x/");
  EXPECT_EQ(c.log_file_name, "dev.log");
  EXPECT_EQ(c.log_folder_size, 1000);
  EXPECT_EQ(c.dbg_log_file_name, "/tmp/trace");
  EXPECT_EQ(c.dbg_log_level, 1);
  EXPECT_EQ(c.exm_log_file_name, "other.txt");
  EXPECT_EQ(c.exm_log_max_size, 4096);
  EXPECT_EQ(c.dio_read_exchange, 2);
  EXPECT_EQ(c.operation_mode_initialize, 26);
  EXPECT_EQ(c.operation_mode_temporary, 27);
  EXPECT_EQ(c.end_deposit_timeout, 60001);
  EXPECT_EQ(c.dispense_change_timeout, 86400001);
  EXPECT_EQ(c.dispense_cash_timeout, 86400002);
  EXPECT_EQ(c.investigate_timeout, 180001);
  EXPECT_EQ(c.take_back_timeout, 50001);
  EXPECT_EQ(c.operating_condition_setting_data1, 11);
  EXPECT_EQ(c.operating_condition_setting_data2, 12);
  EXPECT_EQ(c.operating_condition_setting_data3, 13);
  EXPECT_EQ(c.operating_condition_setting_data4, 14);
  EXPECT_EQ(c.operating_condition_setting_data5, 15);
  EXPECT_EQ(c.default_current_exit, 3);
  EXPECT_EQ(c.claim_relaxation, 16);
  EXPECT_EQ(c.deposit_evt_set, 17);
  EXPECT_EQ(c.service, "/opt/svc/");
  EXPECT_EQ(c.dispense_cash_exit, 18);
  EXPECT_EQ(c.claim_non_event, 19);
  EXPECT_EQ(c.fix_deposit_timeout, 60002);
  EXPECT_EQ(c.pause_deposit_set, 20);
  EXPECT_EQ(c.fix_deposit_rcv, 21);
  EXPECT_EQ(c.end_deposit_sts, 22);
  EXPECT_EQ(c.deposit_status_rv, 23);
  EXPECT_EQ(c.claim_pass_setting, 24);
  EXPECT_EQ(c.read_cash_rsp_setting, 25);
  EXPECT_EQ(c.upos_version, "1.14");

  // The settings list knows every one of them, with the right root.
  size_t machine_count = 0;
  for (const DeviceSetting& setting : DeviceSettings()) {
    if (setting.root == RegRoot::kLocalMachine) {
      ++machine_count;
      EXPECT_EQ(machine.count(setting.name), 1u) << setting.name;
    }
  }
  EXPECT_EQ(machine_count, machine.size());
  EXPECT_EQ(DeviceSettings().size(), machine.size() + 2);
}

TEST_F(DeviceConfigTest, NonTextAndOverLongValuesTakeTheDefault) {
  ASSERT_EQ(platform::RegSetDword(RegRoot::kLocalMachine, key_, "WatchInterval", 100), RegResult::kOk);
  Set("Port", std::string(256, 'x'));
  Set("Port_Initialize_String", std::string(255, '9'));
  const DeviceConfig config = Read();
  EXPECT_EQ(config.watch_interval, 500);
  EXPECT_EQ(config.port, "COM1");
  EXPECT_EQ(config.port_initialize_string, std::string(255, '9')) << "255 bytes still fit";
}

TEST_F(DeviceConfigTest, NumbersAreTheLeadingDecimalOfTheText) {
  Set("WatchInterval", "250ms");
  Set("DispenseLimit", "abc");
  Set("DefaultCurrentExit", "");
  Set("DbgLogLevel", " -1x");
  const DeviceConfig config = Read();
  EXPECT_EQ(config.watch_interval, 250);
  EXPECT_EQ(config.dispense_limit, 0);
  EXPECT_EQ(config.default_current_exit, 0);
  EXPECT_EQ(config.dbg_log_level, -1);
}

TEST(LeadingDecimal, SignBlanksAndSaturation) {
  EXPECT_EQ(LeadingDecimal("42"), 42);
  EXPECT_EQ(LeadingDecimal("+7a"), 7);
  EXPECT_EQ(LeadingDecimal("-"), 0);
  EXPECT_EQ(LeadingDecimal("1 2"), 1);
  EXPECT_EQ(LeadingDecimal("2147483647"), 2147483647);
  EXPECT_EQ(LeadingDecimal("2147483648"), 2147483647);
  EXPECT_EQ(LeadingDecimal("99999999999999999999999"), 2147483647);
  EXPECT_EQ(LeadingDecimal("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(LeadingDecimal("-99999999999"), -2147483647 - 1);
}

TEST_F(DeviceConfigTest, OperationModesComeOnlyFromTheCurrentUser) {
  Set("OperationMode_Initialize", "5");
  Set("OperationMode_Temporary", "6");
  DeviceConfig config = Read();
  EXPECT_EQ(config.operation_mode_initialize, 0) << "a local-machine value is not seen";
  EXPECT_EQ(config.operation_mode_temporary, 0);
  Set("OperationMode_Initialize", "7", RegRoot::kCurrentUser);
  config = Read();
  EXPECT_EQ(config.operation_mode_initialize, 7);
}

TEST_F(DeviceConfigTest, LogFolderNameIsAlwaysAFolder) {
  // Names are appended to the folder text: without its separator the files
  // would land beside the folder ("/var/log/xExamlogS.txt").
  for (const auto& [stored, used] : std::vector<std::pair<std::string, std::string>>{
           {"/var/log/x", "/var/log/x/"}, {"/var/log/x/", "/var/log/x/"}, {"logs", "logs/"}, {"", ""}}) {
    Set("LogFolderName", stored);
    EXPECT_EQ(Read().log_folder_name, used) << stored;
  }
}

TEST_F(DeviceConfigTest, MissingKeyGivesDefaults) {
  DeviceConfig config;
  config.port = "changed";
  ReadDeviceConfig(DeviceKeyPath("NoSuchDevice"), &config);
  EXPECT_EQ(config, DeviceConfig{});
}

TEST_F(DeviceConfigTest, WriteOperationModeTemporaryStoresDecimalTextUnderTheCurrentUser) {
  ASSERT_TRUE(WriteOperationModeTemporary(key_, 3));
  platform::RegValue value;
  ASSERT_EQ(platform::RegQueryValue(RegRoot::kCurrentUser, key_, "OperationMode_Temporary", &value), RegResult::kOk);
  EXPECT_EQ(value.type, platform::RegValueType::kString);
  EXPECT_EQ(value.text, "3");
  EXPECT_EQ(Read().operation_mode_temporary, 3);
  ASSERT_TRUE(WriteOperationModeTemporary(key_, -12));
  EXPECT_EQ(Read().operation_mode_temporary, -12);
  EXPECT_EQ(platform::RegOpenKey(RegRoot::kLocalMachine, key_), RegResult::kOk);
  std::string text;
  EXPECT_EQ(platform::RegQueryString(RegRoot::kLocalMachine, key_, "OperationMode_Temporary", &text),
            RegResult::kValueNotFound);
}

TEST_F(DeviceConfigTest, WriteOperationModeTemporaryFailsOnAnUnreadableUserFile) {
  std::ofstream(dir_.file("user.reg")) << "garbage";
  EXPECT_FALSE(WriteOperationModeTemporary(key_, 3));
}

}  // namespace
}  // namespace vexokrt::config

// The maintenance folder is the Service value up to its last separator of
// either kind; file names joined to it must not leave it.
TEST(MaintenanceFiles, FolderAndPlainNames) {
  struct FolderCase {
    const char* service;
    const char* folder;
  };
  const FolderCase folders[] = {
      {"C:\\OPOS\\VexoKrt\\", "C:\\OPOS\\VexoKrt\\"}, {"/srv/krt/", "/srv/krt/"}, {"/srv/krt/any", "/srv/krt/"},
      {"plain", ""}, {"", ""}, {"a\\b/c", "a\\b/"},
  };
  for (const FolderCase& c : folders) EXPECT_EQ(vexokrt::config::MaintenanceFolder(c.service), c.folder) << c.service;
  const std::string long_folder = "/" + std::string(300, 'x') + "/";
  EXPECT_EQ(vexokrt::config::MaintenanceFolder(long_folder + "tail"), long_folder);

  struct NameCase {
    std::string name;
    bool plain;
  };
  const NameCase names[] = {{"Krt07Setei.txt", true}, {"", false}, {".", false}, {"..", false},
                            {"../x", false},          {"a/b", false}, {"a\\b", false}, {std::string("a\0b", 3), false},
                            {"a\tb", false},          {"..x", true}};
  for (const NameCase& c : names) EXPECT_EQ(vexokrt::config::PlainFileName(c.name), c.plain) << c.name;
}

namespace vexokrt::config {
namespace {

TEST(UposMinorVersionTest, OnlyAReleaseFromOneSixToOneFourteenIsAVersion) {
  const struct {
    const char* text;
    std::optional<int32_t> minor;
  } cases[] = {
      {"", 6},          {"1.6", 6},        {"1.8", 8},          {"1.14", 14},     {"1.11", 11},
      {"1.5", std::nullopt},  {"1.15", std::nullopt}, {"2.14", std::nullopt}, {"1.014", std::nullopt},
      {"1.06", std::nullopt}, {"1.", std::nullopt},   {"114", std::nullopt},  {" 1.14", std::nullopt},
      {"1.14 ", std::nullopt}, {"1.1x", std::nullopt}, {"yes", std::nullopt},  {"1014312", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(UposMinorVersion(c.text), c.minor) << '"' << c.text << '"';
}

}  // namespace
}  // namespace vexokrt::config
