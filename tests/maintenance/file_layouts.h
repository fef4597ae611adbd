// SPDX-License-Identifier: Apache-2.0
// What can stand in the maintenance folder under a file's name, for the tests
// of the settings file and of program download: a FIFO, a folder, links in
// and out of the folder, a file nobody may read; and the ways to run a load
// so that one that blocks, or loses its file half-way, shows as a failure.
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include <gtest/gtest.h>

namespace vexokrt::testing {

// The ways a name in the folder can be laid out.
enum class Layout {
  kGood,          // a regular file with the given bytes
  kLinkInside,    // a link to such a file beside it in the folder
  kFifo,          // a named pipe
  kDirectory,     // a folder
  kLinkToZero,    // a link to /dev/zero (never ends)
  kLinkOutside,   // a link to a good file in another folder
  kUnreadable,    // a regular file of mode 000
};

// Lays out |name| in |folder| as |layout|, with |bytes| where a file is
// written; |elsewhere| is a folder outside |folder|.
inline void LayOut(Layout layout, const std::filesystem::path& folder, const std::filesystem::path& elsewhere,
                   const std::string& name, const std::string& bytes) {
  namespace fs = std::filesystem;
  const fs::path path = folder / name;
  const auto write = [&bytes](const fs::path& to) { std::ofstream(to, std::ios::binary) << bytes; };
  switch (layout) {
    case Layout::kGood:
      write(path);
      break;
    case Layout::kLinkInside:
      write(folder / ("real-" + name));
      fs::create_symlink("real-" + name, path);
      break;
    case Layout::kFifo:
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      break;
    case Layout::kDirectory:
      fs::create_directory(path);
      break;
    case Layout::kLinkToZero:
      fs::create_symlink("/dev/zero", path);
      break;
    case Layout::kLinkOutside:
      write(elsewhere / name);
      fs::create_symlink(elsewhere / name, path);
      break;
    case Layout::kUnreadable:
      write(path);
      fs::permissions(path, fs::perms::none);
      break;
  }
}

// While it lives, the calling thread has no right to bypass file
// permissions: the capabilities that let root read any file are dropped from
// its effective set (an ordinary user has none to drop), so a file of mode
// 000 cannot be opened in a suite run as root either.
class WithoutFileOverride {
 public:
  WithoutFileOverride() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    if (::syscall(SYS_capget, &header, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    dropped_ = ::syscall(SYS_capset, &header, reduced) == 0;
  }
  ~WithoutFileOverride() {
    if (!dropped_) return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    ::syscall(SYS_capset, &header, saved_);
  }
  WithoutFileOverride(const WithoutFileOverride&) = delete;
  WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

 private:
  __user_cap_data_struct saved_[2] = {};
  bool dropped_ = false;
};

// Runs |load| on a thread of its own. A load still running after |limit| is
// blocked (opening a FIFO waits for a writer): it is released by opening
// |fifo| for writing and closing it at once, and |*blocked| says so.
template <typename Result>
Result RunReleasingFifo(const std::function<Result()>& load, const std::string& fifo, bool* blocked,
                        std::chrono::seconds limit = std::chrono::seconds(10)) {
  std::future<Result> running = std::async(std::launch::async, load);
  *blocked = running.wait_for(limit) != std::future_status::ready;
  if (*blocked) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  }
  return running.get();
}

// Makes the descriptor this process holds open on |path| unreadable from now
// on: a descriptor open only for writing takes its place, so the next read
// fails with EBADF, as a read error would. False when none was found.
inline bool BreakReadsOf(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path real = fs::canonical(path);
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path(), ignored) != real) continue;
    const int fd = std::stoi(entry.path().filename().string());
    const int writer = ::open(real.c_str(), O_WRONLY | O_CLOEXEC);
    if (writer < 0) return false;
    const bool replaced = ::dup2(writer, fd) == fd;
    ::close(writer);
    return replaced;
  }
  return false;
}

}  // namespace vexokrt::testing
