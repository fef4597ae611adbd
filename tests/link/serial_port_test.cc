// SPDX-License-Identifier: Apache-2.0
#include "platform/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "support/fake_serial_port.h"

namespace vexokrt::platform {
namespace {

using vexokrt::testing::FakeAnswer;
using vexokrt::testing::SteppingClock;
using vexokrt::testing::FakeLine;
using Bytes = std::vector<uint8_t>;

TEST(LineDefinition, ParsesTheFourFields) {
  const auto settings = ParseLineDefinition("2400,E,7,1");
  ASSERT_TRUE(settings);
  EXPECT_EQ(*settings, (LineSettings{2400, Parity::kEven, 7, 1}));
  EXPECT_EQ(ParseLineDefinition(" 115200 , o , 8 , 2 "), (LineSettings{115200, Parity::kOdd, 8, 2}));
  EXPECT_EQ(ParseLineDefinition("9600,n,8,1"), (LineSettings{9600, Parity::kNone, 8, 1}));
}

TEST(LineDefinition, RefusesWhatCannotBeApplied) {
  for (const char* bad : {"", "9600", "9600,E,8", "9600,E,8,1,1", "9601,E,8,1", "0,E,8,1", "abc,E,8,1",
                          "9600,X,8,1", "9600,EE,8,1", "9600,,8,1", "9600,E,9,1", "9600,E,6,1", "9600,E,8,3",
                          "9600,E,8,1.5", "-9600,E,8,1", "9600,E,8,1x"}) {
    EXPECT_FALSE(ParseLineDefinition(bad)) << bad;
  }
}

TEST(LineDefinition, FormatReadsBack) {
  for (const char* text : {"2400,E,7,1", "9600,E,8,1", "115200,O,8,2", "9600,N,7,1"}) {
    EXPECT_EQ(FormatLineDefinition(*ParseLineDefinition(text)), text);
  }
}

TEST(DevicePathForPortName, ComNamesMapToTtySOthersAreKept) {
  EXPECT_EQ(DevicePathForPortName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(DevicePathForPortName("com12"), "/dev/ttyS11");
  EXPECT_EQ(DevicePathForPortName("COM0"), "COM0");
  EXPECT_EQ(DevicePathForPortName("COM"), "COM");
  EXPECT_EQ(DevicePathForPortName("COMX"), "COMX");
  EXPECT_EQ(DevicePathForPortName("COM1a"), "COM1a");
  EXPECT_EQ(DevicePathForPortName("/dev/pts/3"), "/dev/pts/3");
}

Bytes DecodeAll(MarkedInputDecoder& decoder, const Bytes& raw) {
  Bytes out(raw.size());
  out.resize(decoder.Decode(raw.data(), raw.size(), out.data()));
  return out;
}

TEST(MarkedInputDecoder, DoubledFfIsOneDataByteWithoutError) {
  MarkedInputDecoder decoder;
  EXPECT_EQ(DecodeAll(decoder, {0x41, 0xFF, 0xFF, 0x42}), (Bytes{0x41, 0xFF, 0x42}));
  EXPECT_FALSE(decoder.TakeError());
}

TEST(MarkedInputDecoder, MarkedByteIsDeliveredAndFlagged) {
  MarkedInputDecoder decoder;
  EXPECT_EQ(DecodeAll(decoder, {0x41, 0xFF, 0x00, 0x06, 0x42}), (Bytes{0x41, 0x06, 0x42}));
  EXPECT_TRUE(decoder.TakeError());
  EXPECT_FALSE(decoder.TakeError());  // taking clears it
  EXPECT_EQ(DecodeAll(decoder, {0xFF, 0x00, 0x00}), Bytes{0x00});  // a break
  EXPECT_TRUE(decoder.TakeError());
}

TEST(MarkedInputDecoder, MarkersSplitAcrossReads) {
  MarkedInputDecoder decoder;
  EXPECT_EQ(DecodeAll(decoder, {0x41, 0xFF}), Bytes{0x41});
  EXPECT_EQ(DecodeAll(decoder, {0xFF}), Bytes{0xFF});
  EXPECT_EQ(DecodeAll(decoder, {0xFF}), Bytes{});
  EXPECT_EQ(DecodeAll(decoder, {0x00}), Bytes{});
  EXPECT_FALSE(decoder.TakeError());
  EXPECT_EQ(DecodeAll(decoder, {0x07}), Bytes{0x07});
  EXPECT_TRUE(decoder.TakeError());
}

TEST(MarkedInputDecoder, DamagedMarkerAndReset) {
  MarkedInputDecoder decoder;
  EXPECT_EQ(DecodeAll(decoder, {0xFF, 0x41}), Bytes{0x41});
  EXPECT_TRUE(decoder.TakeError());
  DecodeAll(decoder, {0xFF});
  decoder.Reset();
  EXPECT_EQ(DecodeAll(decoder, {0x00, 0x41}), (Bytes{0x00, 0x41}));
  EXPECT_FALSE(decoder.TakeError());
}

// --- the timed read, on the fake line -------------------------------------------------

class ReadTimedTest : public ::testing::Test {
 protected:
  void SetUp() override { port_ = line_.Opener()("COM1"); }
  IoResult Read(size_t capacity, ReadTimeouts timeouts, int64_t* elapsed) {
    const int64_t start = clock_.NowMs();
    buffer_.assign(capacity, 0);
    const IoResult result = ReadTimed(*port_, clock_, buffer_.data(), capacity, timeouts);
    *elapsed = clock_.NowMs() - start;
    buffer_.resize(result.count);
    return result;
  }
  SteppingClock clock_;
  FakeLine line_{clock_};
  std::unique_ptr<SerialPort> port_;
  Bytes buffer_;
};

TEST_F(ReadTimedTest, EndsWhenFullWithoutWaitingForSilence) {
  line_.Arrive(FakeAnswer{{1, 2, 3, 4}, 30, 5});
  int64_t elapsed = 0;
  const IoResult result = Read(3, {2000, 50, 2000}, &elapsed);
  EXPECT_EQ(result.status, IoStatus::kOk);
  EXPECT_EQ(buffer_, (Bytes{1, 2, 3}));
  EXPECT_EQ(elapsed, 40);
}

TEST_F(ReadTimedTest, FirstByteLimit_BothSidesOfTheEdge) {
  line_.Arrive(FakeAnswer{{1}, 100});
  int64_t elapsed = 0;
  EXPECT_EQ(Read(1, {100, 50, 2000}, &elapsed).count, 1u);
  line_.Arrive(FakeAnswer{{1}, 101});
  const IoResult late = Read(1, {100, 50, 2000}, &elapsed);
  EXPECT_EQ(late.count, 0u);
  EXPECT_EQ(late.status, IoStatus::kTimeout);
  EXPECT_EQ(elapsed, 100);
}

TEST_F(ReadTimedTest, IntervalCountsFromTheLatestByte) {
  line_.Arrive(FakeAnswer{{1, 2, 3}, 10, 50});  // 50 ms apart: still one read
  line_.Arrive(FakeAnswer{{4}, 161});           // 51 ms after the third
  int64_t elapsed = 0;
  const IoResult result = Read(10, {2000, 50, 2000}, &elapsed);
  EXPECT_EQ(result.status, IoStatus::kTimeout);
  EXPECT_EQ(buffer_, (Bytes{1, 2, 3}));
  EXPECT_EQ(elapsed, 160);
}

TEST_F(ReadTimedTest, TotalLimitCapsAStream) {
  line_.Arrive(FakeAnswer{Bytes(100, 7), 0, 30});
  int64_t elapsed = 0;
  const IoResult result = Read(100, {2000, 50, 1000}, &elapsed);
  EXPECT_EQ(result.status, IoStatus::kTimeout);
  EXPECT_EQ(elapsed, 1000);
  EXPECT_EQ(result.count, 34u);  // bytes at 0, 30, ..., 990
}

TEST_F(ReadTimedTest, ZeroLimitsTakeOnlyWhatArrived) {
  int64_t elapsed = 0;
  EXPECT_EQ(Read(5, {0, 0, 0}, &elapsed).count, 0u);
  EXPECT_EQ(elapsed, 0);
  line_.Arrive(FakeAnswer{{1, 2}, 0});
  EXPECT_EQ(Read(5, {0, 0, 0}, &elapsed).count, 2u);
}

TEST_F(ReadTimedTest, LostLineEndsAtOnce) {
  line_.Disconnect();
  int64_t elapsed = 0;
  EXPECT_EQ(Read(5, {2000, 50, 2000}, &elapsed).status, IoStatus::kLost);
  EXPECT_EQ(elapsed, 0);
}

// --- the terminal port, over a pseudo-terminal -------------------------------------------

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    slave_path_ = ::ptsname(master_);
  }
  void TearDown() override {
    if (master_ >= 0) ::close(master_);
  }
  void MasterWrite(const Bytes& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  Bytes MasterRead() {
    Bytes out(512);
    for (int i = 0; i < 100; ++i) {
      const ssize_t n = ::read(master_, out.data(), out.size());
      if (n > 0) {
        out.resize(n);
        return out;
      }
      SleepMs(2);
    }
    return {};
  }
  termios SlaveState() {
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return t;
  }

  int master_ = -1;
  std::string slave_path_;
};

TEST_F(PtyPortTest, Configure_RawModeWithInheritedBlockingSettingsUndone) {
  // Leave the terminal as a previous user might: canonical, echoing, VMIN 5.
  {
    const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_iflag |= ICRNL | IXON | ISTRIP;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 10;
    ::tcsetattr(fd, TCSANOW, &t);
    ::close(fd);
  }
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  // A pseudo-terminal keeps 8 data bits without parity; that is no failure.
  EXPECT_TRUE(port->Configure("2400,E,7,1"));
  const termios t = SlaveState();
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP | IGNPAR | INLCR | IGNCR));
  EXPECT_TRUE((t.c_iflag & (INPCK | PARMRK)) == (INPCK | PARMRK));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(::cfgetospeed(&t), B2400);

  // A CR and a DC3 pass untouched, and a partial answer comes back at once.
  MasterWrite({0x0D, 0x13, 0x11});
  uint8_t buffer[8];
  const int64_t start = TickMs();
  const IoResult got = port->ReadSome(buffer, sizeof buffer, 1000);
  EXPECT_LT(TickMs() - start, 500);
  ASSERT_EQ(got.count, 3u);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x0D, 0x13, 0x11}));
}

TEST_F(PtyPortTest, Configure_UnknownDefinitionKeepsTheSpeedButMakesTheLineRaw) {
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->Configure("9600,E,8,1"));
  EXPECT_FALSE(port->Configure("9601,Q,8,1"));
  const termios t = SlaveState();
  EXPECT_EQ(::cfgetospeed(&t), B9600);
}

TEST_F(PtyPortTest, FfDataBytesArriveIntact) {
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  port->Configure("9600,E,8,1");
  const Bytes sent = {0x10, 0x02, 0xFF, 0xFF, 0x00, 0xFF, 0x41};
  MasterWrite(sent);
  Bytes got;
  uint8_t buffer[16];
  while (got.size() < sent.size()) {
    const IoResult r = port->ReadSome(buffer, sizeof buffer, 500);
    ASSERT_EQ(r.status, IoStatus::kOk);
    got.insert(got.end(), buffer, buffer + r.count);
  }
  EXPECT_EQ(got, sent);
  EXPECT_FALSE(port->TakeReceiveError());
}

TEST_F(PtyPortTest, SmallReadsNeverOverrunTheBuffer) {
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  port->Configure("9600,E,8,1");
  MasterWrite({0xFF, 0x01, 0xFF, 0x02});
  Bytes got;
  uint8_t one = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(port->ReadSome(&one, 1, 500).count, 1u);
    got.push_back(one);
  }
  EXPECT_EQ(got, (Bytes{0xFF, 0x01, 0xFF, 0x02}));
}

TEST_F(PtyPortTest, WriteReachesTheOtherSide) {
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  port->Configure("9600,E,8,1");
  const Bytes frame = {0x02, 0x11, 0x69, 0x30, 0x30, 0x03, 0x7B};
  EXPECT_EQ(port->WriteSome(frame.data(), frame.size(), 100).status, IoStatus::kOk);
  EXPECT_EQ(MasterRead(), frame);
}

TEST_F(PtyPortTest, ReadWithNothingComing_TimesOutAfterItsWait) {
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  port->Configure("9600,E,8,1");
  uint8_t buffer[4];
  const int64_t start = TickMs();
  const IoResult r = port->ReadSome(buffer, sizeof buffer, 30);
  EXPECT_EQ(r.status, IoStatus::kTimeout);
  EXPECT_GE(TickMs() - start, 30);
}

TEST_F(PtyPortTest, PurgeDropsWhatWaits) {
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  port->Configure("9600,E,8,1");
  MasterWrite({0x06, 0x06});
  SleepMs(20);
  port->Purge(PurgeScope::kReceive);
  uint8_t buffer[4];
  EXPECT_EQ(port->ReadSome(buffer, sizeof buffer, 0).count, 0u);
}

TEST_F(PtyPortTest, OtherSideGone_ReadsAndWritesReportTheLineLostAtOnce) {
  auto port = OpenSerialPort(slave_path_);
  ASSERT_TRUE(port);
  port->Configure("9600,E,8,1");
  ::close(master_);
  master_ = -1;
  uint8_t buffer[4];
  const int64_t start = TickMs();
  EXPECT_EQ(port->ReadSome(buffer, sizeof buffer, 1000).status, IoStatus::kLost);
  EXPECT_LT(TickMs() - start, 500);
  EXPECT_EQ(port->WriteSome(buffer, 1, 100).status, IoStatus::kLost);
}

TEST_F(PtyPortTest, ExclusiveUseEndsWithThePort) {
  // The other side keeps the terminal open the whole time.
  const int holder = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  {
    auto port = OpenSerialPort(slave_path_);
    ASSERT_TRUE(port);
    if (::geteuid() != 0) {
      int error = 0;
      EXPECT_FALSE(OpenSerialPort(slave_path_, &error));
      EXPECT_EQ(error, EBUSY);
    }
  }
  EXPECT_TRUE(OpenSerialPort(slave_path_));
  ::close(holder);
}

TEST(SerialPortOpen, MissingDeviceOrNotATerminal_Fails) {
  int error = 0;
  EXPECT_FALSE(OpenSerialPort("/nonexistent/ttyX", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(OpenSerialPort("/dev/null", &error));
  EXPECT_EQ(error, ENOTTY);
}

}  // namespace
}  // namespace vexokrt::platform
