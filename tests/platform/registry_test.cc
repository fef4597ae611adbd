// SPDX-License-Identifier: Apache-2.0
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

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
  EXPECT_EQ(RegCheckFile(kMachine), RegResult::kBadFile);
  EXPECT_EQ(RegCheckFile(kUser), RegResult::kOk) << "a missing file is fine";
  EXPECT_EQ(RegOpenKey(kMachine, ""), RegResult::kOk);
  EXPECT_EQ(RegQueryString(kMachine, kKey, "Port", &text), RegResult::kKeyNotFound);
  EXPECT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kBadFile);
  EXPECT_EQ(RegCreateKey(kMachine, kKey), RegResult::kBadFile);
  EXPECT_EQ(RegDeleteTree(kMachine, "SOFTWARE"), RegResult::kBadFile);
  EXPECT_EQ(ReadFileBytes(dir_.file("machine.reg")), garbage) << "the user's file is kept";

  ASSERT_GE(reports.size(), 5u);
  EXPECT_NE(reports[0].find(dir_.file("machine.reg")), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("line 1"), std::string::npos) << reports[0];

  // The other root is unaffected.
  EXPECT_EQ(RegSetString(kUser, kKey, "Port", "COM2"), RegResult::kOk);
  RemoveRegistryDiagnosticHook(hook);
  const size_t seen = reports.size();
  RegOpenKey(kMachine, kKey);
  EXPECT_EQ(reports.size(), seen) << "a removed hook hears nothing";
}

TEST_F(RegistryTest, HooksRunWithoutTheFileLockSoTheyMayUseTheRegistry) {
  WriteFile("machine.reg", "garbage");
  bool inside = false;
  RegResult nested = RegResult::kOk;
  const int hook = AddRegistryDiagnosticHook([&](const std::string&) {
    if (inside) return;
    inside = true;
    nested = RegSetString(kMachine, kKey, "Other", "1");  // would wait forever on a held lock
    inside = false;
  });
  EXPECT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kBadFile);
  EXPECT_EQ(nested, RegResult::kBadFile);
  RemoveRegistryDiagnosticHook(hook);
}

TEST_F(RegistryTest, UnreadableFileIsNeverOverwritten) {
  // A folder where the file should be cannot be read, by root either.
  ASSERT_TRUE(std::filesystem::create_directory(dir_.file("machine.reg")));
  std::string text;
  EXPECT_EQ(RegCheckFile(kMachine), RegResult::kIoError);
  EXPECT_EQ(RegQueryString(kMachine, kKey, "Port", &text), RegResult::kKeyNotFound);
  EXPECT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kIoError);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.file("machine.reg")));
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

// --- writes that fit the file they change -----------------------------------

std::string Utf16(const std::string& ascii, bool big_endian, bool bom = true) {
  std::string bytes = !bom ? "" : big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    bytes.push_back(big_endian ? '\0' : c);
    bytes.push_back(big_endian ? c : '\0');
  }
  return bytes;
}

TEST_F(RegistryTest, WriteKeepsCommentsBlankLinesAndLineEndsAndChangesOnlyItsLine) {
  const std::string before =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; the changer at the front desk\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashChanger\\Dev1]\r\n"
      "\"Port\" = \"/dev/ttyUSB0\"   \r\n"
      "; slower polling for the old unit\r\n"
      "\"WatchInterval\"=\"500\"\r\n"
      "\"Blob\"=hex:00,01,\\\r\n"
      "  02\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
      "\"Keep\"=dword:00000001\n";
  WriteFile("machine.reg", before);
  ASSERT_EQ(RegSetString(kMachine, kKey, "WatchInterval", "250"), RegResult::kOk);
  ASSERT_EQ(RegSetString(kMachine, kKey, "New", "x"), RegResult::kOk);
  ASSERT_EQ(RegSetString(kMachine, "SOFTWARE\\Third", "A", "b"), RegResult::kOk);
  std::string expected = before;
  expected.replace(expected.find("\"WatchInterval\"=\"500\""), 21, "\"WatchInterval\"=\"250\"");
  expected.replace(expected.find("\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]"), 2, "\r\n\"New\"=\"x\"\r\n");
  expected += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Third]\r\n\"A\"=\"b\"\r\n\r\n";
  EXPECT_EQ(ReadFileBytes(dir_.file("machine.reg")), expected);

  ASSERT_EQ(RegDeleteValue(kMachine, kKey, "New"), RegResult::kOk);
  ASSERT_EQ(RegDeleteTree(kMachine, "SOFTWARE\\Third"), RegResult::kOk);
  ASSERT_EQ(RegSetString(kMachine, kKey, "WatchInterval", "500"), RegResult::kOk);
  const std::string after = ReadFileBytes(dir_.file("machine.reg"));
  EXPECT_EQ(after.substr(0, before.size()), before) << "back to the values it had, back to its text";
}

TEST_F(RegistryTest, WriteThatChangesNothingIsNotMade) {
  WriteFile("machine.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"Port\"=\"COM1\"\n");
  struct stat before {};
  ASSERT_EQ(::stat(dir_.file("machine.reg").c_str(), &before), 0);
  ASSERT_EQ(RegSetString(kMachine, "A", "port", "COM1"), RegResult::kOk);
  ASSERT_EQ(RegCreateKey(kMachine, "A"), RegResult::kOk);
  struct stat after {};
  ASSERT_EQ(::stat(dir_.file("machine.reg").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(RegistryTest, WriteThroughASymbolicLinkChangesTheRealFile) {
  TempDir real_folder;
  const std::string real = real_folder.file("shared.reg");
  std::ofstream(real, std::ios::binary) << "Windows Registry Editor Version 5.00\n";
  ASSERT_EQ(::symlink(real.c_str(), dir_.file("machine.reg").c_str()), 0);
  ASSERT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kOk);
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("machine.reg"))) << "the link was replaced by a copy";
  EXPECT_NE(ReadFileBytes(real).find("\"Port\"=\"COM2\""), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(real_folder.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST_F(RegistryTest, WriteKeepsOwnerAndGroupOfAnotherUsersFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "a file of another user needs root to make";
  const std::string path = dir_.file("user.reg");
  WriteFile("user.reg", "Windows Registry Editor Version 5.00\n");
  ::chmod(dir_.path().c_str(), 0777);
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  ::chmod(path.c_str(), 0666);
  // Written by root, and by a third user who may write the file but not give
  // a new one away.
  ASSERT_EQ(RegSetString(kUser, kKey, "OperationMode_Temporary", "1"), RegResult::kOk);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65533, 65533, 65533) != 0 || ::setresuid(65533, 65533, 65533) != 0) ::_exit(100);
    ::_exit(RegSetString(kUser, kKey, "OperationMode_Temporary", "2") == RegResult::kOk ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_gid, 65534u);
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  std::string text;
  ASSERT_EQ(RegQueryString(kUser, kKey, "OperationMode_Temporary", &text), RegResult::kOk);
  EXPECT_EQ(text, "2");
}

TEST_F(RegistryTest, StaleTemporaryFilesOfDeadWritersAreRemoved) {
  WriteFile("machine.reg", "Windows Registry Editor Version 5.00\n");
  // A writer that died: a pid above pid_max never runs. A live one's stays.
  const std::string dead = "machine.reg.tmp.99999999.0";
  const std::string alive = "machine.reg.tmp." + std::to_string(::getppid()) + ".3";
  WriteFile(dead, std::string(1000, 'x'));
  WriteFile(alive, "in progress");
  WriteFile("machine.reg.tmp.notes", "not a temporary file of ours");
  ASSERT_EQ(RegSetString(kMachine, kKey, "Port", "COM2"), RegResult::kOk);
  EXPECT_FALSE(std::filesystem::exists(dir_.file(dead)));
  EXPECT_TRUE(std::filesystem::exists(dir_.file(alive)));
  EXPECT_TRUE(std::filesystem::exists(dir_.file("machine.reg.tmp.notes")));
}

TEST_F(RegistryTest, WindowsExportsAreReadAndWrittenBackInTheirOwnEncoding) {
  const std::string body =
      "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\CashChanger\\Dev1]\r\n\"Port\"=\"COM3\"\r\n";
  const std::string five = std::string(kRegFileHeader) + "\r\n" + body;
  const std::string four = "REGEDIT4\r\n" + body;
  struct Case {
    const char* what;
    std::string bytes;
    std::function<std::string(const std::string&)> encode;  // the same text in the file's encoding
  };
  const Case cases[] = {
      {"UTF-16LE with BOM", Utf16(five, false), [](const std::string& t) { return Utf16(t, false, false); }},
      {"UTF-16BE with BOM", Utf16(five, true), [](const std::string& t) { return Utf16(t, true, false); }},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + five, [](const std::string& t) { return t; }},
      {"REGEDIT4", four, [](const std::string& t) { return t; }},
      {"REGEDIT4 in the code page", "REGEDIT4\r\n" + body + "\"Name\"=\"\x83\x65\x83\x58\x83\x67\"\r\n",
       [](const std::string& t) { return t; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile("machine.reg", c.bytes);
    std::string text;
    ASSERT_EQ(RegQueryString(kMachine, kKey, "Port", &text), RegResult::kOk);
    EXPECT_EQ(text, "COM3");
    ASSERT_EQ(RegSetString(kMachine, kKey, "Port", "COM4"), RegResult::kOk);
    std::string expected = c.bytes;
    const std::string old_line = c.encode("\"Port\"=\"COM3\"");
    expected.replace(expected.find(old_line), old_line.size(), c.encode("\"Port\"=\"COM4\""));
    EXPECT_EQ(ReadFileBytes(dir_.file("machine.reg")), expected);
  }
  std::string name;
  ASSERT_EQ(RegQueryString(kMachine, kKey, "Name", &name), RegResult::kOk);
  EXPECT_EQ(name, "テスト") << "REGEDIT4 texts are in the system code page";
}

// A registry of 20 000 values: a device's settings are read by one parse,
// not one per setting.
TEST_F(RegistryTest, LargeFileIsParsedOncePerChange) {
  std::string text = std::string(kRegFileHeader) + "\n\n[HKEY_LOCAL_MACHINE\\" + kKey + "]\n";
  for (int i = 0; i < 20000; ++i) text += "\"Value" + std::to_string(i) + "\"=\"" + std::to_string(i) + "\"\n";
  WriteFile("machine.reg", text);
  const auto start = std::chrono::steady_clock::now();
  std::string value;
  for (int i = 0; i < 45; ++i) {
    ASSERT_EQ(RegQueryString(kMachine, kKey, "Value" + std::to_string(i * 400), &value), RegResult::kOk);
    EXPECT_EQ(value, std::to_string(i * 400));
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::printf("45 reads of a 20000-value registry file: %lld ms\n", static_cast<long long>(took.count()));
  EXPECT_LT(took.count(), 3000);
  // A change made behind the cache's back is seen at once.
  text.replace(text.find("\"Value0\"=\"0\""), 12, "\"Value0\"=\"9\"");
  WriteFile("machine.reg", text);
  ASSERT_EQ(RegQueryString(kMachine, kKey, "Value0", &value), RegResult::kOk);
  EXPECT_EQ(value, "9");
}

}  // namespace
}  // namespace vexokrt::platform
