// SPDX-License-Identifier: Apache-2.0
#include "devlog/log_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace vexokrt::devlog {
namespace {

using vexokrt::testing::TempDir;
namespace fs = std::filesystem;

// Unix time of a whole-second moment whose file time starts a new 2^32 x
// 100 ns period, so files placed relative to it fall into known periods.
int64_t PeriodStart() {
  int64_t t = 1'300'000'000;
  while ((FileTimeFromUnix(t, 0) >> 32) == (FileTimeFromUnix(t - 1, 0) >> 32)) ++t;
  return t;
}

void MakeFile(const std::string& path, size_t size, int64_t mtime) {
  std::ofstream(path, std::ios::binary) << std::string(size, 'x');
  const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(FileTimeFromUnix, EpochAndSubSecond_MatchTheHundredNanosecondCount) {
  EXPECT_EQ(FileTimeFromUnix(0, 0), 116444736000000000ull);
  EXPECT_EQ(FileTimeFromUnix(1, 250), 116444736010000002ull);
}

TEST(IsPlainFileName, RefusesEmptyDotsAndSlashes) {
  EXPECT_TRUE(IsPlainFileName("110715.csv"));
  EXPECT_TRUE(IsPlainFileName("a..b"));
  EXPECT_FALSE(IsPlainFileName(""));
  EXPECT_FALSE(IsPlainFileName("."));
  EXPECT_FALSE(IsPlainFileName(".."));
  EXPECT_FALSE(IsPlainFileName("../x.txt"));
  EXPECT_FALSE(IsPlainFileName("07/15/11"));
}

// Trading logs "<anything>-<anything>.csv" (a name field on either side of
// the dash) and history day files "hist<yy><mm><dd>.txt" count as the
// folder's own files in these tests.
const OwnFilePatterns kOwn{"%a-%b.csv", "hist%y%m%d.txt"};

class LogFolderTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.file(name); }
  LogFolder Folder(int32_t limit) const { return LogFolder(dir_.prefix(), limit, kOwn); }
  TempDir dir_;
};

TEST_F(LogFolderTest, FolderRoom_CountsFilesButNotDirectories) {
  MakeFile(Path("a-1.csv"), 1000, 1'300'000'000);
  MakeFile(Path("CoinLog00.bin"), 24, 1'300'000'000);
  fs::create_directory(Path("sub"));
  MakeFile(Path("sub/CoinLog01.bin"), 5000, 1'300'000'000);  // no recursion
  EXPECT_EQ(Folder(4096).FolderRoom(), 4096 - 1024);
  EXPECT_EQ(Folder(0).FolderRoom(), -1024);
}

TEST_F(LogFolderTest, FolderRoom_MissingFolderIsZero) {
  EXPECT_EQ(LogFolder(dir_.file("missing") + "/", 100000).FolderRoom(), 0);
}

TEST_F(LogFolderTest, FolderRoom_HugeFolderSaturatesInsteadOfWrapping) {
  // A sparse file of 4 GiB + 10 bytes: its low 32 bits alone would look like
  // ten bytes and leave plenty of room.
  const std::string big = Path("BillLog05.bin");
  std::ofstream(big).close();
  fs::resize_file(big, (uint64_t{1} << 32) + 10);
  EXPECT_EQ(Folder(1'000'000).FolderRoom(), std::numeric_limits<int32_t>::min());
}

TEST_F(LogFolderTest, NamePrefix_OnlyMatchingEntriesCountAndGo) {
  const int64_t t = PeriodStart();
  MakeFile(Path("krt-new.csv"), 10, t + 5000);
  MakeFile(Path("other-x.csv"), 10, t - 5000);  // oldest, but not ours
  MakeFile(Path("krt-old.csv"), 10, t);
  const LogFolder folder(dir_.path().string() + "/krt-", 100, kOwn);
  EXPECT_EQ(folder.FolderRoom(), 80);
  folder.DeleteOldestLogFile();
  EXPECT_FALSE(fs::exists(Path("krt-old.csv")));
  EXPECT_TRUE(fs::exists(Path("other-x.csv")));
  EXPECT_TRUE(fs::exists(Path("krt-new.csv")));
}

TEST_F(LogFolderTest, DeleteOldest_ComparesUpperHalfOfFileTimeOnly) {
  const int64_t t = PeriodStart();
  MakeFile(Path("b-older.csv"), 1, t + 10);
  MakeFile(Path("a-newer.csv"), 1, t + 300);  // same period: counts as equally old
  MakeFile(Path("c-newest.csv"), 1, t + 1000);
  LogFolder folder = Folder(0);
  folder.DeleteOldestLogFile();
  EXPECT_FALSE(fs::exists(Path("a-newer.csv"))) << "first listed of the equally old goes";
  EXPECT_TRUE(fs::exists(Path("b-older.csv")));
  folder.DeleteOldestLogFile();
  EXPECT_FALSE(fs::exists(Path("b-older.csv")));
  EXPECT_TRUE(fs::exists(Path("c-newest.csv")));
}

TEST_F(LogFolderTest, DeleteOldest_OnlySubdirectories_DeletesNothing) {
  fs::create_directory(Path("empty-a"));
  fs::create_directory(Path("empty-b"));
  Folder(0).DeleteOldestLogFile();
  EXPECT_TRUE(fs::exists(Path("empty-a")));
  EXPECT_TRUE(fs::exists(Path("empty-b")));
}

TEST_F(LogFolderTest, MakeRoom_DeletesOneFileOnlyWhenRoomIsAtMostTheThreshold) {
  const int64_t t = PeriodStart();
  MakeFile(Path("x-old.csv"), 100, t);
  MakeFile(Path("x-new.csv"), 100, t + 1000);
  Folder(1224).MakeRoom(1024);  // room 1024: at the threshold
  EXPECT_FALSE(fs::exists(Path("x-old.csv")));
  EXPECT_TRUE(fs::exists(Path("x-new.csv")));
  Folder(1125).MakeRoom(1024);  // room 1025: enough
  EXPECT_TRUE(fs::exists(Path("x-new.csv")));
}

TEST_F(LogFolderTest, UnsetFolder_ListsAndDeletesNothingInTheCurrentDirectory) {
  MakeFile(Path("precious-1.csv"), 10, 1'000'000'000);
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  const LogFolder unset("", 0, kOwn);
  EXPECT_FALSE(unset.IsSet());
  EXPECT_EQ(unset.FolderRoom(), 0);
  unset.DeleteOldestLogFile();
  unset.MakeRoom(4096);
  fs::current_path(previous);
  EXPECT_TRUE(fs::exists(Path("precious-1.csv")));
}

// With the default size 0 every write makes room; only the folder's own
// files may ever go, oldest first, whatever else is older.
TEST_F(LogFolderTest, DeleteOldest_TouchesOnlyOwnFiles) {
  const int64_t t = PeriodStart();
  const int64_t ancient = t - 100'000;
  MakeFile(Path("ExamlogS.txt"), 10, ancient);
  MakeFile(Path("holiday-photo.jpg"), 10, ancient);
  MakeFile(Path("notes.csv"), 10, ancient);      // no dash: not a trading log
  MakeFile(Path("hist1107zz.txt"), 10, ancient);  // not a hexadecimal day
  MakeFile(Path("CoinLog00.bin.bak"), 10, ancient);
  fs::create_directory(Path("x-folder.csv"));
  fs::create_symlink(Path("holiday-photo.jpg"), Path("link-1.csv"));
  fs::create_directory(Path("sub"));
  MakeFile(Path("sub/hist110715.txt"), 10, ancient);
  const char* own[] = {"hist11070F.txt", "CoinLog00.bin", "z-110715.csv"};
  MakeFile(Path(own[0]), 10, t);
  MakeFile(Path(own[1]), 10, t + 1000);
  MakeFile(Path(own[2]), 10, t + 2000);

  const LogFolder folder = Folder(0);
  EXPECT_EQ(folder.FolderRoom(), -30) << "only own files count";
  for (const char* name : own) {
    EXPECT_TRUE(fs::exists(Path(name)));
    folder.DeleteOldestLogFile();
    EXPECT_FALSE(fs::exists(Path(name))) << name << " should have been the oldest own file";
  }
  folder.DeleteOldestLogFile();
  for (const char* name : {"ExamlogS.txt", "holiday-photo.jpg", "notes.csv", "hist1107zz.txt", "CoinLog00.bin.bak",
                           "x-folder.csv", "link-1.csv", "sub/hist110715.txt"}) {
    EXPECT_TRUE(fs::exists(fs::symlink_status(Path(name)))) << name;
  }
}

TEST_F(LogFolderTest, DeleteOldest_KeepsTheFileJustWritten) {
  const int64_t t = PeriodStart();
  MakeFile(Path("a-1.csv"), 10, t);
  MakeFile(Path("b-2.csv"), 10, t + 1000);
  Folder(0).DeleteOldestLogFile("a-1.csv");
  EXPECT_TRUE(fs::exists(Path("a-1.csv")));
  EXPECT_FALSE(fs::exists(Path("b-2.csv")));
}

TEST(OwnFilePatterns, TimeAndHistoryPatternsMatchWhatTheyCanMake) {
  struct Case {
    const char* pattern;
    const char* name;
    bool time;
    bool history;
  };
  const Case cases[] = {
      {"%Y%m%d%H%M%S.txt", "20110715093000.txt", true, false},
      {"%Y%m%d%H%M%S.txt", "2011071509300.txt", false, false},
      {"%Y%m%d%H%M%S.txt", "20110715093000.txt.bak", false, false},
      {"log_%b%d.csv", "log_Jul15.csv", true, false},
      {"log_%b%d.csv", "log_15.csv", false, false},
      {"100%%_%y.txt", "100%_11.txt", true, false},
      {"OH%y%m%d.txt", "OH11070F.txt", false, true},
      {"OH%y%m%d.txt", "OH110715.txt", true, true},
      {"OH%y%m%d.txt", "OH11070f.txt", false, false},
      {"OH%y%m%d.txt", "OH1107.txt", false, false},
      {"", "", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesTimePattern(c.pattern, c.name), c.time) << c.pattern << " " << c.name;
    EXPECT_EQ(MatchesHistoryPattern(c.pattern, c.name), c.history) << c.pattern << " " << c.name;
  }
  EXPECT_FALSE(LogFolder("/x/", 0, {"%Y.txt", ""}).IsOwnFileName("ExamlogS.txt"));
  EXPECT_FALSE(LogFolder("/x/", 0, {"ExamlogS.txt", "ExamlogS.txt"}).IsOwnFileName("ExamlogS.txt"))
      << "the ExamLog is never a log-folder file, whatever the patterns say";
}

// Sub-folders inside the folder are fine; a name that leaves the folder
// (absolute, a ".." component) or names no file is not.
TEST(StaysInFolder, AcceptsSubFoldersAndRefusesWaysOut) {
  const std::pair<const char*, bool> cases[] = {
      {"110715.csv", true},  {"hist/110715.csv", true}, {"11/07/15.txt", true}, {"./x.txt", true},
      {"a..b/..c", true},    {"", false},               {"/abs/x", false},      {"../x", false},
      {"hist/../x", false},  {"hist/..", false},        {"..", false},          {"hist/", false},
      {".", false},          {"hist/.", false},
  };
  for (const auto& [name, inside] : cases) EXPECT_EQ(StaysInFolder(name), inside) << name;
  const LogFolder folder("/logs/", 0, {"hist/%y%m%d.csv", ""});
  EXPECT_EQ(folder.NameInFolder("/logs/hist/110715.csv"), "hist/110715.csv");
  EXPECT_TRUE(folder.IsOwnFileName("hist/110715.csv"));
  EXPECT_EQ(folder.NameInFolder("/logs/hist/../../etc/passwd"), "");
}

TEST_F(LogFolderTest, NameInFolder_AcceptsOnlyPlainFilesOfThisFolder) {
  const LogFolder folder(dir_.prefix(), 0);
  EXPECT_EQ(folder.NameInFolder(dir_.prefix() + "110715.txt"), "110715.txt");
  EXPECT_EQ(folder.NameInFolder(dir_.prefix()), "");
  EXPECT_EQ(folder.NameInFolder(dir_.prefix() + "../x"), "");
  EXPECT_EQ(folder.NameInFolder("/etc/passwd"), "");
  EXPECT_EQ(LogFolder("", 0).NameInFolder("x.txt"), "x.txt");
  EXPECT_EQ(LogFolder("", 0).NameInFolder("/tmp/x.txt"), "");
}

}  // namespace
}  // namespace vexokrt::devlog
