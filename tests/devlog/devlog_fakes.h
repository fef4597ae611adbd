// SPDX-License-Identifier: Apache-2.0
// Fakes for the device-log tests: a device memory behind the memory-read
// exchange, an in-memory persistent-value store, and a context that writes
// its trace and ExamLog into a temporary folder.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devlog/log_context.h"
#include "devlog/memory_read.h"
#include "devlog/persistent_values.h"
#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"

namespace vexokrt::devlog::testing {

// One memory read as the fake saw it.
struct SentRead {
  std::vector<uint8_t> command;
  int32_t timeout_ms = 0;
  uint8_t letter = 0;  // 's' or '6'
  uint32_t address = 0;
  int length = 0;
};

// Answers memory reads from a sparse memory image (unset bytes read as 0):
// 's' with the raw bytes, '6' with two digit characters per byte. A test can
// take over any read with |intercept|.
class FakeMemoryDevice : public MemoryReadExchange {
 public:
  using Intercept = std::function<std::optional<DeviceReply>(const SentRead&)>;

  void Poke(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) memory_[address + static_cast<uint32_t>(i)] = bytes[i];
  }
  void Poke32(uint32_t address, uint32_t value) {
    Poke(address, {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                   static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
  }
  uint8_t Peek(uint32_t address) const {
    const auto it = memory_.find(address);
    return it == memory_.end() ? 0 : it->second;
  }

  Intercept intercept;
  std::vector<SentRead> reads;

  DeviceReply Exchange(std::span<const uint8_t> command, int32_t timeout_ms) override {
    SentRead read;
    read.command.assign(command.begin(), command.end());
    read.timeout_ms = timeout_ms;
    if (command.size() == 13 && command[0] == kDc1) {
      read.letter = command[1];
      for (size_t i = 4; i < 11; ++i) read.address = (read.address << 4) | (command[i] - 0x30u);
      read.length = ((command[11] - 0x30) << 4) | (command[12] - 0x30);
    }
    reads.push_back(read);
    if (intercept) {
      if (auto reply = intercept(read)) return *reply;
    }
    DeviceReply reply;
    if (read.letter != kRawMemoryRead && read.letter != kHexTextMemoryRead) {
      reply.answerByte = kNak;
      return reply;
    }
    for (int i = 0; i < read.length; ++i) {
      const uint8_t b = Peek(read.address + static_cast<uint32_t>(i));
      if (read.letter == kRawMemoryRead) {
        reply.data.push_back(b);
      } else {
        reply.data.push_back(HexDigitChar(b >> 4));
        reply.data.push_back(HexDigitChar(b));
      }
    }
    return reply;
  }

 private:
  std::map<uint32_t, uint8_t> memory_;
};

inline DeviceReply SingleByte(uint8_t answer) {
  DeviceReply reply;
  reply.answerByte = answer;
  return reply;
}

inline DeviceReply Silence() {
  DeviceReply reply;
  reply.status = kReplyTimeout;
  return reply;
}

inline DeviceReply Frame(std::vector<uint8_t> data) {
  DeviceReply reply;
  reply.data = std::move(data);
  return reply;
}

// Persistent values in memory; each kind of access can be made to fail.
// Thread-safe, so the communication thread may write while a test waits.
class MemoryValues : public PersistentValues {
 public:
  std::map<std::string, uint32_t, std::less<>> dwords;    // guarded by lock
  std::map<std::string, std::string, std::less<>> texts;  // guarded by lock
  bool fail_reads = false;
  bool fail_writes = false;
  int writes = 0;
  std::mutex lock;

  std::optional<uint32_t> ReadDword(std::string_view name) override {
    std::lock_guard<std::mutex> guard(lock);
    if (fail_reads) return std::nullopt;
    const auto it = dwords.find(name);
    if (it == dwords.end()) return std::nullopt;
    return it->second;
  }
  bool WriteDword(std::string_view name, uint32_t value) override {
    {
      std::lock_guard<std::mutex> guard(lock);
      ++writes;
      if (fail_writes) return false;
      dwords[std::string(name)] = value;
    }
    changed_.notify_all();
    return true;
  }
  std::optional<std::string> ReadText(std::string_view name) override {
    std::lock_guard<std::mutex> guard(lock);
    if (fail_reads) return std::nullopt;
    const auto it = texts.find(name);
    if (it == texts.end()) return std::nullopt;
    return it->second;
  }
  bool WriteText(std::string_view name, std::string_view text) override {
    {
      std::lock_guard<std::mutex> guard(lock);
      ++writes;
      if (fail_writes) return false;
      texts[std::string(name)] = std::string(text);
    }
    changed_.notify_all();
    return true;
  }
  // Waits (real time, at most |ms|) until the DWORD |name| holds |value|.
  bool WaitForDword(std::string_view name, uint32_t value, int ms = 5000) {
    std::unique_lock<std::mutex> guard(lock);
    return changed_.wait_for(guard, std::chrono::milliseconds(ms), [&] {
      const auto it = dwords.find(name);
      return it != dwords.end() && it->second == value;
    });
  }

 private:
  std::condition_variable changed_;
};

inline std::tm LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::mktime(&tm);  // fills the week day
  return tm;
}

// A log folder, a trace file and an ExamLog in a temporary folder, and a
// context that uses them with a clock the test sets.
class DevlogEnvironment {
 public:
  DevlogEnvironment() {
    ::setenv("OPOS_LOCK_DIR", dir_.path().c_str(), 1);
    ::mkdir(folder_path().c_str(), 0700);
    trace_ = std::make_unique<diag::TraceLog>();
    trace_->SetFileName(dir_.file("trace.txt"));
    trace_->SetLevel(diag::kLevelInfo);
    exam_ = std::make_unique<diag::ExamLog>();
    exam_->SetFileName(dir_.file("exam.txt"));
    now = LocalTime(2011, 7, 15, 9, 30, 0);
  }

  std::string folder_path() const { return dir_.file("logs"); }
  std::string folder() const { return folder_path() + "/"; }
  std::string path(const std::string& name) const { return folder() + name; }

  DeviceLogContext Context(DeviceLogSettings settings) {
    DeviceLogContext context;
    context.settings = std::move(settings);
    context.values = &values;
    context.trace = trace_.get();
    context.exam = exam_.get();
    context.local_time = [this] { return now; };
    return context;
  }
  DeviceLogSettings Settings() const {
    DeviceLogSettings settings;
    settings.log_folder = folder();
    settings.log_folder_size = 1 << 30;
    return settings;
  }

  // The messages of the trace lines, in UTF-8, without time stamp and tag.
  std::vector<std::string> TraceMessages() const {
    std::vector<std::string> messages;
    std::istringstream in(platform::Cp932ToUtf8(vexokrt::testing::ReadFileBytes(dir_.file("trace.txt"))));
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find("::");
      if (at != std::string::npos && line.size() > at + 12) messages.push_back(line.substr(at + 12));
    }
    return messages;
  }
  std::vector<std::string> ErrorMessages() const {
    std::vector<std::string> messages;
    std::istringstream in(platform::Cp932ToUtf8(vexokrt::testing::ReadFileBytes(dir_.file("trace.txt"))));
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find(":Err::Error   : ");
      if (at != std::string::npos) messages.push_back(line.substr(at + 16));
    }
    return messages;
  }
  std::string ExamText() const { return vexokrt::testing::ReadFileBytes(dir_.file("exam.txt")); }

  MemoryValues values;
  std::tm now{};

 private:
  vexokrt::testing::TempDir dir_;
  std::unique_ptr<diag::TraceLog> trace_;
  std::unique_ptr<diag::ExamLog> exam_;
};

}  // namespace vexokrt::devlog::testing
