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

class LogFolderTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.file(name); }
  TempDir dir_;
};

TEST_F(LogFolderTest, FolderRoom_CountsFilesButNotDirectories) {
  MakeFile(Path("a.csv"), 1000, 1'300'000'000);
  MakeFile(Path("b.txt"), 24, 1'300'000'000);
  fs::create_directory(Path("sub"));
  MakeFile(Path("sub/deep.bin"), 5000, 1'300'000'000);  // no recursion
  EXPECT_EQ(LogFolder(dir_.prefix(), 4096).FolderRoom(), 4096 - 1024);
  EXPECT_EQ(LogFolder(dir_.prefix(), 0).FolderRoom(), -1024);
}

TEST_F(LogFolderTest, FolderRoom_MissingFolderIsZero) {
  EXPECT_EQ(LogFolder(dir_.file("missing") + "/", 100000).FolderRoom(), 0);
}

TEST_F(LogFolderTest, FolderRoom_HugeFolderSaturatesInsteadOfWrapping) {
  // A sparse file of 4 GiB + 10 bytes: its low 32 bits alone would look like
  // ten bytes and leave plenty of room.
  const std::string big = Path("big.bin");
  std::ofstream(big).close();
  fs::resize_file(big, (uint64_t{1} << 32) + 10);
  EXPECT_EQ(LogFolder(dir_.prefix(), 1'000'000).FolderRoom(), std::numeric_limits<int32_t>::min());
}

TEST_F(LogFolderTest, NamePrefix_OnlyMatchingEntriesCountAndGo) {
  const int64_t t = PeriodStart();
  MakeFile(Path("krt-new.csv"), 10, t + 5000);
  MakeFile(Path("other.csv"), 10, t - 5000);  // oldest, but not ours
  MakeFile(Path("krt-old.csv"), 10, t);
  const LogFolder folder(dir_.path().string() + "/krt-", 100);
  EXPECT_EQ(folder.FolderRoom(), 80);
  folder.DeleteOldestLogFile();
  EXPECT_FALSE(fs::exists(Path("krt-old.csv")));
  EXPECT_TRUE(fs::exists(Path("other.csv")));
  EXPECT_TRUE(fs::exists(Path("krt-new.csv")));
}

TEST_F(LogFolderTest, DeleteOldest_ComparesUpperHalfOfFileTimeOnly) {
  const int64_t t = PeriodStart();
  MakeFile(Path("b-older.csv"), 1, t + 10);
  MakeFile(Path("a-newer.csv"), 1, t + 300);  // same period: counts as equally old
  MakeFile(Path("c-newest.csv"), 1, t + 1000);
  LogFolder folder(dir_.prefix(), 0);
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
  LogFolder(dir_.prefix(), 0).DeleteOldestLogFile();
  EXPECT_TRUE(fs::exists(Path("empty-a")));
  EXPECT_TRUE(fs::exists(Path("empty-b")));
}

TEST_F(LogFolderTest, MakeRoom_DeletesOneFileOnlyWhenRoomIsAtMostTheThreshold) {
  const int64_t t = PeriodStart();
  MakeFile(Path("old.csv"), 100, t);
  MakeFile(Path("new.csv"), 100, t + 1000);
  LogFolder(dir_.prefix(), 1224).MakeRoom(1024);  // room 1024: at the threshold
  EXPECT_FALSE(fs::exists(Path("old.csv")));
  EXPECT_TRUE(fs::exists(Path("new.csv")));
  LogFolder(dir_.prefix(), 1125).MakeRoom(1024);  // room 1025: enough
  EXPECT_TRUE(fs::exists(Path("new.csv")));
}

TEST_F(LogFolderTest, UnsetFolder_ListsAndDeletesNothingInTheCurrentDirectory) {
  MakeFile(Path("precious.txt"), 10, 1'000'000'000);
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  const LogFolder unset("", 0);
  EXPECT_FALSE(unset.IsSet());
  EXPECT_EQ(unset.FolderRoom(), 0);
  unset.DeleteOldestLogFile();
  unset.MakeRoom(4096);
  fs::current_path(previous);
  EXPECT_TRUE(fs::exists(Path("precious.txt")));
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
