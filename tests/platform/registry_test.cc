#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "support/temp_dir.h"

namespace vexokrt::platform {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

constexpr char kKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashChanger\\Dev1";
constexpr RegRoot kMachine = RegRoot::kLocalMachine;
constexpr RegRoot kUser = RegRoot::kCurrentUser;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("OPOS_REGISTRY_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("OPOS_REGISTRY_DIR"); }

  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_.file(name), std::ios::binary) << text;
  }

  TempDir dir_;
};

TEST_F(RegistryTest, FilesLiveInTheFolderFromTheEnvironmentReadAtEachCall) {
  EXPECT_EQ(RegFilePath(kMachine), dir_.file("machine.reg"));
  EXPECT_EQ(RegFilePath(kUser), dir_.file("user.reg"));
  TempDir other;
  ::setenv("OPOS_REGISTRY_DIR", other.path().c_str(), 1);
  EXPECT_EQ(RegFilePath(kMachine), other.file("machine.reg"));
}

TEST_F(RegistryTest, MissingFileHoldsNothing) {
  std::string text;
  EXPECT_EQ(RegOpenKey(kMachine, kKey), RegResult::kKeyNotFound);
  EXPECT_EQ(RegQueryString(kMachine, kKey, "Port", &text), RegResult::kKeyNotFound);
  EXPECT_EQ(RegOpenKey(kMachine, ""), RegResult::kOk) << "the root always exists";
}

TEST_F(RegistryTest, SetThenQueryEachTypeAndTheFailureModes) {
  ASSERT_EQ(RegSetString(kMachine, kKey, "Port", "COM3"), RegResult::kOk);
  ASSERT_EQ(RegSetDword(kMachine, kKey, "WatchInterval", 500), RegResult::kOk);
  ASSERT_EQ(RegSetString(kMachine, kKey, "", "OPOS.CashChanger.Vexo-KRT77"), RegResult::kOk);

  std::string text;
  uint32_t number = 0;
  EXPECT_EQ(RegOpenKey(kMachine, kKey), RegResult::kOk);
  EXPECT_EQ(RegOpenKey(kMachine, "SOFTWARE\\OLEforRetail"), RegResult::kOk) << "parents are created";
  EXPECT_EQ(RegQueryString(kMachine, kKey, "port", &text), RegResult::kOk);
  EXPECT_EQ(text, "COM3");
  EXPECT_EQ(RegQueryString(kMachine, kKey, "", &text), RegResult::kOk);
  EXPECT_EQ(text, "OPOS.CashChanger.Vexo-KRT77");
  EXPECT_EQ(RegQueryDword(kMachine, kKey, "WATCHINTERVAL", &number), RegResult::kOk);
  EXPECT_EQ(number, 500u);
  EXPECT_EQ(RegQueryString(kMachine, kKey, "WatchInterval", &text), RegResult::kWrongType);
  EXPECT_EQ(RegQueryDword(kMachine, kKey, "Port", &number), RegResult::kWrongType);
  EXPECT_EQ(RegQueryString(kMachine, kKey, "Missing", &text), RegResult::kValueNotFound);
  EXPECT_EQ(RegQueryString(kUser, kKey, "Port", &text), RegResult::kKeyNotFound) << "roots are separate";
  EXPECT_EQ(RegSetString(kMachine, kKey, "Bad", "two\nlines"), RegResult::kInvalidName);
  EXPECT_EQ(RegSetString(kMachine, "A\\\\B", "X", "1"), RegResult::kInvalidName);
}

TEST_F(RegistryTest, StringQueryFailsLikeAFullBufferAt256Bytes) {
  std::string text;
  ASSERT_EQ(RegSetString(kMachine, kKey, "Fits", std::string(255, 'x')), RegResult::kOk);
  ASSERT_EQ(RegSetString(kMachine, kKey, "TooLong", std::string(256, 'x')), RegResult::kOk);
  EXPECT_EQ(RegQueryString(kMachine, kKey, "Fits", &text), RegResult::kOk);
  EXPECT_EQ(text.size(), 255u);
  text = "unchanged";
  EXPECT_EQ(RegQueryString(kMachine, kKey, "TooLong", &text), RegResult::kMoreData);
  EXPECT_EQ(text, "unchanged");
  RegValue value;
  EXPECT_EQ(RegQueryValue(kMachine, kKey, "TooLong", &value), RegResult::kOk) << "no limit without the buffer";
  EXPECT_EQ(value.text.size(), 256u);
}

TEST_F(RegistryTest, OverwriteKeepsTheStoredCaseOfNames) {
  ASSERT_EQ(RegSetString(kMachine, "Software\\Dev", "WatchInterval", "1"), RegResult::kOk);
  ASSERT_EQ(RegSetString(kMachine, "SOFTWARE\\DEV", "WATCHINTERVAL", "2"), RegResult::kOk);
  std::vector<RegValue> values;
  ASSERT_EQ(RegEnumValues(kMachine, "software\\dev", &values), RegResult::kOk);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "WatchInterval");
  EXPECT_EQ(values[0].text, "2");
  std::vector<std::string> keys;
  ASSERT_EQ(RegEnumSubkeys(kMachine, "", &keys), RegResult::kOk);
  EXPECT_EQ(keys, std::vector<std::string>{"Software"});
}

TEST_F(RegistryTest, DeleteValueKeyAndTree) {
  ASSERT_EQ(RegSetString(kMachine, "A\\B\\C", "X", "1"), RegResult::kOk);
  ASSERT_EQ(RegSetString(kMachine, "A\\B", "Y", "2"), RegResult::kOk);
  EXPECT_EQ(RegDeleteValue(kMachine, "A\\B", "y"), RegResult::kOk);
  EXPECT_EQ(RegDeleteValue(kMachine, "A\\B", "y"), RegResult::kValueNotFound);
  EXPECT_EQ(RegDeleteValue(kMachine, "A\\Z", "y"), RegResult::kKeyNotFound);
  EXPECT_EQ(RegDeleteKey(kMachine, "A\\B"), RegResult::kHasSubkeys);
  EXPECT_EQ(RegDeleteKey(kMachine, "a\\b\\c"), RegResult::kOk);
  EXPECT_EQ(RegOpenKey(kMachine, "A\\B"), RegResult::kOk);
  EXPECT_EQ(RegDeleteKey(kMachine, "A\\B\\C"), RegResult::kKeyNotFound);
  ASSERT_EQ(RegSetString(kMachine, "A\\B\\C\\D", "X", "1"), RegResult::kOk);
  EXPECT_EQ(RegDeleteTree(kMachine, "A\\B"), RegResult::kOk);
  EXPECT_EQ(RegOpenKey(kMachine, "A\\B\\C"), RegResult::kKeyNotFound);
  EXPECT_EQ(RegOpenKey(kMachine, "A"), RegResult::kOk);
  EXPECT_EQ(RegDeleteTree(kMachine, "A\\B"), RegResult::kKeyNotFound);
  EXPECT_EQ(RegDeleteKey(kMachine, ""), RegResult::kInvalidName);
}

TEST_F(RegistryTest, CreateKeyMakesAnEmptyKeyThatSurvivesRewrites) {
  EXPECT_EQ(RegCreateKey(kUser, kKey), RegResult::kOk);
  EXPECT_EQ(RegCreateKey(kUser, kKey), RegResult::kOk);
  ASSERT_EQ(RegSetString(kUser, "Other", "X", "1"), RegResult::kOk);
  EXPECT_EQ(RegOpenKey(kUser, kKey), RegResult::kOk);
  EXPECT_NE(ReadFileBytes(dir_.file("user.reg")).find("[HKEY_CURRENT_USER\\" + std::string(kKey) + "]"),
            std::string::npos);
}

TEST_F(RegistryTest, DefaultFolderCreatedOnFirstWrite) {
  const std::string nested = dir_.file("a/b");
  ::setenv("OPOS_REGISTRY_DIR", nested.c_str(), 1);
  EXPECT_EQ(RegSetString(kUser, "K", "V", "1"), RegResult::kOk);
  std::string text;
  EXPECT_EQ(RegQueryString(kUser, "K", "V", &text), RegResult::kOk);
}

TEST_F(RegistryTest, UnparsableFileReadsAsEmptyIsReportedAndNeverOverwritten) {
  const std::string garbage = "this is\nnot a registry file\n";
  WriteFile("machine.reg", garbage);
  std::vector<std::string> reports;
  const int hook = AddRegistryDiagnosticHook([&](const std::string& message) { reports.push_back(message); });

  std::string text;
  EXPECT_EQ(RegOpenKey(kMachine, ""), RegResult::kOk);
  EXPECT_EQ(RegQueryString(kMachine, kKey, "Port", &text), RegResult::kKeyNotFound);
  EXPECT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kBadFile);
  EXPECT_EQ(RegCreateKey(kMachine, kKey), RegResult::kBadFile);
  EXPECT_EQ(RegDeleteTree(kMachine, "SOFTWARE"), RegResult::kBadFile);
  EXPECT_EQ(ReadFileBytes(dir_.file("machine.reg")), garbage) << "the user's file is kept";

  ASSERT_GE(reports.size(), 4u);
  EXPECT_NE(reports[0].find(dir_.file("machine.reg")), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("line 1"), std::string::npos) << reports[0];

  // The other root is unaffected.
  EXPECT_EQ(RegSetString(kUser, kKey, "Port", "COM2"), RegResult::kOk);
  RemoveRegistryDiagnosticHook(hook);
  const size_t seen = reports.size();
  RegOpenKey(kMachine, kKey);
  EXPECT_EQ(reports.size(), seen) << "a removed hook hears nothing";
}

TEST_F(RegistryTest, UnreadableFileIsNeverOverwritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  WriteFile("machine.reg", "Windows Registry Editor Version 5.00\n");
  ::chmod(dir_.file("machine.reg").c_str(), 0);
  EXPECT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kIoError);
}

TEST_F(RegistryTest, RewriteKeepsTheFileModeAndLeavesNoTemporaryFiles) {
  WriteFile("machine.reg", "Windows Registry Editor Version 5.00\n");
  ::chmod(dir_.file("machine.reg").c_str(), 0640);
  ASSERT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kOk);
  struct stat info {};
  ASSERT_EQ(::stat(dir_.file("machine.reg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

TEST_F(RegistryTest, HandWrittenFileIsReadAndKeptOnWrite) {
  WriteFile("machine.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashChanger\\Dev1]\r\n"
            "\"Port\"=\"/dev/ttyUSB0\"\r\n"
            "\"Blob\"=hex:00,01\r\n");
  std::string text;
  ASSERT_EQ(RegQueryString(kMachine, kKey, "Port", &text), RegResult::kOk);
  EXPECT_EQ(text, "/dev/ttyUSB0");
  ASSERT_EQ(RegSetString(kMachine, kKey, "WatchInterval", "250"), RegResult::kOk);
  RegValue blob;
  ASSERT_EQ(RegQueryValue(kMachine, kKey, "Blob", &blob), RegResult::kOk);
  EXPECT_EQ(blob.text, "hex:00,01");
  ASSERT_EQ(RegQueryString(kMachine, kKey, "Port", &text), RegResult::kOk);
  EXPECT_EQ(text, "/dev/ttyUSB0");
}

// Two processes writing different values of one key at the same time: every
// value of both ends up in the file.
TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kPerProcess = 60;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      bool ok = true;
      for (int i = 0; i < kPerProcess; ++i) {
        const std::string name = "P" + std::to_string(c) + "V" + std::to_string(i);
        ok = ok && RegSetString(kUser, kKey, name, std::to_string(i)) == RegResult::kOk;
      }
      ::_exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<RegValue> values;
  ASSERT_EQ(RegEnumValues(kUser, kKey, &values), RegResult::kOk);
  EXPECT_EQ(values.size(), 2u * kPerProcess);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kPerProcess; ++i) {
      std::string text;
      EXPECT_EQ(RegQueryString(kUser, kKey, "P" + std::to_string(c) + "V" + std::to_string(i), &text), RegResult::kOk);
      EXPECT_EQ(text, std::to_string(i));
    }
  }
}

}  // namespace
}  // namespace vexokrt::platform
