// SPDX-License-Identifier: Apache-2.0
// The simulator left serving a polling host: its memory stays flat. An hour
// of the driver's idle watch (every 500 ms a status read, a counts read and
// an ENQ) runs in virtual time in a fraction of a second; the heap in use is
// measured once the frame record has filled and again at the end.
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "sim/control_script.h"
#include "test_host.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers replace malloc, and their runtimes (AddressSanitizer's and
// ThreadSanitizer's alike) count what it holds; GCC ships no header for it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace vexokrt::sim {
namespace {

using testing::IsControl;
using testing::TestHost;

// Bytes the program has allocated and not freed.
std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

TEST(Soak, AnHourOfStatusPolling_KeepsTheSimulatorsMemoryFlat) {
  TestHost host(Model::kKrt07);
  int failed = 0;
  const auto poll = [&] {
    if (host.Command("H00").data.size() != 51) ++failed;
    if (host.Command("\"00").kind != ParsedAnswer::Kind::kData) ++failed;
    if (!IsControl(host.Enq(), kAck)) ++failed;
    host.clock.AdvanceMs(500);
  };
  // Ten minutes: the record of received frames is full from here on.
  for (int i = 0; i < 1200; ++i) poll();
  ASSERT_EQ(host.engine.ReceivedFrames().size(), EngineOptions::kDefaultRecordedFrames);
  const std::size_t before = HeapInUse();
  ASSERT_GT(before, 0u) << "the heap cannot be measured here";
  // The other fifty minutes: 18 000 frames more.
  for (int i = 0; i < 6000; ++i) poll();
  const std::size_t after = HeapInUse();
  EXPECT_EQ(failed, 0) << "the device stopped answering the polls";
  EXPECT_EQ(host.engine.FramesReceived(), 7200u * 3);
  EXPECT_EQ(host.engine.ReceivedFrames().size(), EngineOptions::kDefaultRecordedFrames);
  // Each frame kept costs about 200 bytes: a record that grew with the
  // polling would have added more than 3 MB.
  EXPECT_LT(after, before + 64 * 1024) << "grew from " << before << " to " << after << " bytes";

  // "show frames" is served from the record: at most what it keeps, the
  // newest last.
  const ControlReply all = ExecuteControlLine(host.engine, "show frames 100000");
  ASSERT_TRUE(all.ok);
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = all.text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(all.text.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), EngineOptions::kDefaultRecordedFrames);
  const std::string& status = lines[lines.size() - 3];
  const std::string& counts = lines[lines.size() - 2];
  EXPECT_TRUE(status.find(" command [") != std::string::npos && status.find("H00") != std::string::npos) << status;
  EXPECT_TRUE(counts.find(" command [") != std::string::npos && counts.find("\"00") != std::string::npos) << counts;
  EXPECT_NE(lines.back().find(" enq ["), std::string::npos) << lines.back();
}

}  // namespace
}  // namespace vexokrt::sim
