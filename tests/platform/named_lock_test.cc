// SPDX-License-Identifier: Apache-2.0
#include "platform/named_lock.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "support/temp_dir.h"

namespace vexokrt::platform {
namespace {

using vexokrt::testing::TempDir;

constexpr char kClaimName[] = "Test.Claim";

// A sticky, world-writable lock folder like /run/lock.
class SharedLockFolder {
 public:
  SharedLockFolder() {
    ::chmod(dir_.path().c_str(), 01777);
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
  }
  ~SharedLockFolder() { ::unsetenv("OPOS_LOCK_DIR"); }
  std::string file(const std::string& name) const { return dir_.file(name); }

 private:
  TempDir dir_;
};

// Runs |body| in a child process as user and group |uid| under umask 077;
// the child's exit status is |body|'s result.
pid_t RunAsUser(uid_t uid, const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
    ::_exit(100);
  }
  ::umask(077);
  ::_exit(body());
}

int ExitCode(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void Send(int fd) {
  const char c = 'x';
  (void)!::write(fd, &c, 1);
}

bool Receive(int fd) {
  char c = 0;
  return ::read(fd, &c, 1) == 1;
}

TEST(NamedSemaphore, TwoUsersExcludeEachOther) {
  if (::geteuid() != 0) GTEST_SKIP() << "running as two users needs root; not tested here";
  SharedLockFolder folder;
  int first_holds[2];
  int second_tried[2];
  ASSERT_EQ(::pipe(first_holds), 0);
  ASSERT_EQ(::pipe(second_tried), 0);

  // The first user creates the lock file under umask 077 and holds it.
  const pid_t first = RunAsUser(65534, [&] {
    NamedSemaphore claim(kClaimName);
    if (!claim.Acquire(0)) return 1;
    Send(first_holds[1]);
    if (!Receive(second_tried[0])) return 2;
    claim.Release();
    return 0;
  });
  // The second user must wait for it, then get it.
  const pid_t second = RunAsUser(65533, [&] {
    if (!Receive(first_holds[0])) return 10;
    NamedSemaphore claim(kClaimName);
    const bool taken = claim.Acquire(0);
    const bool plain_timeout = claim.failure().empty();
    Send(second_tried[1]);
    if (taken) return 11;
    if (!plain_timeout) return 12;
    if (!claim.Acquire(10000)) return 13;
    return 0;
  });
  EXPECT_EQ(ExitCode(first), 0);
  EXPECT_EQ(ExitCode(second), 0) << "11: the second user took a lock the first still held; 12: it could not "
                                    "even open the lock file; 13: it never got the lock after the release";
  struct stat info {};
  ASSERT_EQ(::stat(folder.file(std::string(kClaimName) + ".lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u) << "the creator's umask must not decide who may lock";
}

TEST(NamedSemaphore, LockFileThatCannotBeOpened_FailsWithTheReason) {
  TempDir dir;
  ::setenv("OPOS_LOCK_DIR", dir.file("missing/folder").c_str(), 1);
  NamedSemaphore claim(kClaimName);
  EXPECT_FALSE(claim.Acquire(0)) << "no system-wide exclusion must not look like a taken lock";
  EXPECT_NE(claim.failure().find("No such file or directory"), std::string::npos) << claim.failure();
  EXPECT_FALSE(claim.held());
  ::unsetenv("OPOS_LOCK_DIR");
}

TEST(OpenSharedLockFile, NeverFollowsALinkAndOpensAForeignReadOnlyFile) {
  TempDir dir;
  std::string error;
  const std::string target = dir.file("target");
  const std::string link = dir.file("link.lock");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_LT(OpenSharedLockFile(link, &error), 0);
  EXPECT_FALSE(std::filesystem::exists(target)) << "a lock through a link created the file it points to";
  EXPECT_FALSE(error.empty());

  if (::geteuid() != 0) GTEST_SKIP() << "a file of another user needs root to make";
  const std::string foreign = dir.file("foreign.lock");
  std::ofstream(foreign).close();
  ::chmod(foreign.c_str(), 0444);
  ::chmod(dir.path().c_str(), 0755);
  const pid_t child = RunAsUser(65534, [&] {
    std::string why;
    const int fd = OpenSharedLockFile(foreign, &why);
    return fd >= 0 ? 0 : 1;
  });
  EXPECT_EQ(ExitCode(child), 0) << "flock needs no write access: a read-only lock file still locks";
}

}  // namespace
}  // namespace vexokrt::platform
