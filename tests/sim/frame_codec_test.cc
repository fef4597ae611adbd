#include "sim/frame_codec.h"

#include <gtest/gtest.h>

namespace vexokrt::sim {
namespace {

TEST(FrameCodec, PlaceholderBuilds) { EXPECT_EQ(Bcc(std::vector<std::uint8_t>{0x11, 0x69, 0x30, 0x30, 0x03}), 0x7B); }

}  // namespace
}  // namespace vexokrt::sim
