// SPDX-License-Identifier: Apache-2.0
// The serial port over a POSIX terminal device.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace vexokrt::platform {
namespace {

// The terminal speed of |baud|; false for a rate the terminal has no constant
// for (never B0, which would hang the line up).
// Unix98 pseudo-terminal slaves (/dev/pts/N) have the majors 136 to 143.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int device_major = major(st.st_rdev);
  return device_major >= 136 && device_major <= 143;
}

bool SpeedFor(int baud, speed_t* speed) {
  switch (baud) {
    case 1200:
      *speed = B1200;
      return true;
    case 2400:
      *speed = B2400;
      return true;
    case 4800:
      *speed = B4800;
      return true;
    case 9600:
      *speed = B9600;
      return true;
    case 19200:
      *speed = B19200;
      return true;
    case 38400:
      *speed = B38400;
      return true;
    case 57600:
      *speed = B57600;
      return true;
    case 115200:
      *speed = B115200;
      return true;
    default:
      return false;
  }
}

int PollMs(int64_t ms) { return static_cast<int>(std::clamp<int64_t>(ms, 0, INT_MAX)); }

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(int fd, Clock& clock) : fd_(fd), clock_(clock) {}
  ~PosixSerialPort() override {
    // Exclusive use outlives our descriptor when someone else (a terminal
    // server on the other side of a pseudo-terminal) still holds the device
    // open; give it up so that a re-open by us does not fail.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  bool Configure(std::string_view definition) override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;

    // Input: bytes pass through untouched.
    t.c_iflag &= ~IGNBRK;  // a break is reported (marked), not dropped
    t.c_iflag &= ~BRKINT;  // a break does not flush queues or raise SIGINT
    t.c_iflag &= ~IGNPAR;  // bytes with parity or framing errors are not dropped...
    t.c_iflag |= INPCK;    // ...parity is checked...
    t.c_iflag |= PARMRK;   // ...and errors come marked as 0xFF 0x00 X, a real 0xFF as 0xFF 0xFF
    t.c_iflag &= ~ISTRIP;  // keep the eighth bit (and with it the 0xFF doubling)
    t.c_iflag &= ~INLCR;   // no NL to CR
    t.c_iflag &= ~IGNCR;   // CR is data
    t.c_iflag &= ~ICRNL;   // no CR to NL
    t.c_iflag &= ~IXON;    // DC1 and DC3 are protocol bytes, not flow control
    t.c_iflag &= ~IXOFF;   // we never send flow control either
    t.c_iflag &= ~IXANY;
    t.c_iflag &= ~IMAXBEL;
#ifdef IUCLC
    t.c_iflag &= ~IUCLC;  // no case mapping
#endif
    // Output: written bytes go out as they are.
    t.c_oflag &= ~OPOST;
    // Local modes: no echo, no line editing, no signals from data bytes.
    t.c_lflag &= ~ECHO;
    t.c_lflag &= ~ECHOE;
    t.c_lflag &= ~ECHOK;
    t.c_lflag &= ~ECHONL;
    t.c_lflag &= ~ICANON;
    t.c_lflag &= ~ISIG;
    t.c_lflag &= ~IEXTEN;
    // Control modes: receiver on, modem lines ignored, no hardware flow
    // control, and the modem lines stay up on close so a re-open does not
    // pulse them.
    t.c_cflag |= CREAD;
    t.c_cflag |= CLOCAL;
    t.c_cflag &= ~CRTSCTS;
    t.c_cflag &= ~HUPCL;
    // Reads are driven by poll() on a non-blocking descriptor; whatever
    // VMIN/VTIME the previous user left must not turn into blocking reads.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    std::optional<LineSettings> settings = ParseLineDefinition(definition);
    speed_t speed = B9600;
    if (settings && !SpeedFor(settings->baud, &speed)) settings.reset();
    if (settings && (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)) settings.reset();
    if (settings) {
      t.c_cflag &= ~CSIZE;
      t.c_cflag |= settings->data_bits == 7 ? CS7 : CS8;
      t.c_cflag &= ~(PARENB | PARODD);
#ifdef CMSPAR
      t.c_cflag &= ~CMSPAR;
#endif
      switch (settings->parity) {
        case Parity::kNone:
          break;
        case Parity::kEven:
          t.c_cflag |= PARENB;
          break;
        case Parity::kOdd:
          t.c_cflag |= PARENB | PARODD;
          break;
      }
      if (settings->stop_bits == 2) {
        t.c_cflag |= CSTOPB;
      } else {
        t.c_cflag &= ~CSTOPB;
      }
    }
    // Not read back: a pseudo-terminal keeps the speed but reports 8 data
    // bits without parity whatever it was given.
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
      // A pseudo-terminal has no wire, so data bits and parity mean nothing
      // to it; when they are the only change asked for, Linux refuses the
      // whole request with EINVAL. Keep its own framing and apply the rest.
      // Any other refusal, or a real port's, fails.
      if (errno != EINVAL || !IsPseudoTerminal(fd_)) return false;
      termios current{};
      if (::tcgetattr(fd_, &current) != 0) return false;
      constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CSTOPB;
      t.c_cflag = (t.c_cflag & ~kFraming) | (current.c_cflag & kFraming);
      if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    }
    return settings.has_value();
  }

  void Purge(PurgeScope scope) override {
    switch (scope) {
      case PurgeScope::kReceive:
        ::tcflush(fd_, TCIFLUSH);
        break;
      case PurgeScope::kTransmitAndReceive:
        ::tcflush(fd_, TCIOFLUSH);
        break;
    }
    decoder_.Reset();
  }

  bool TakeReceiveError() override { return decoder_.TakeError(); }

  IoResult ReadSome(uint8_t* buffer, size_t capacity, int64_t wait_ms) override {
    if (capacity == 0) return {0, IoStatus::kOk};
    const int64_t deadline = clock_.NowMs() + std::max<int64_t>(0, wait_ms);
    std::array<uint8_t, 512> raw;
    while (true) {
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, PollMs(clock_.RealMs(deadline - clock_.NowMs())));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return {0, IoStatus::kLost};
      }
      if (ready == 0) return {0, IoStatus::kTimeout};
      if (p.revents & POLLNVAL) return {0, IoStatus::kLost};
      if (!(p.revents & POLLIN)) return {0, IoStatus::kLost};  // hang-up or error, nothing left to read
      // Raw bytes never decode into more bytes than they are, so reading at
      // most |capacity| raw bytes cannot overflow the caller's buffer.
      const ssize_t n = ::read(fd_, raw.data(), std::min(capacity, raw.size()));
      if (n > 0) {
        const size_t decoded = decoder_.Decode(raw.data(), static_cast<size_t>(n), buffer);
        if (decoded > 0) return {decoded, IoStatus::kOk};
        // Only the start of a marker came; wait for the rest.
        if (clock_.NowMs() >= deadline) return {0, IoStatus::kTimeout};
        continue;
      }
      if (n == 0) return {0, IoStatus::kLost};  // end of file: the other side hung up
      if (errno == EAGAIN || errno == EINTR) continue;
      return {0, IoStatus::kLost};
    }
  }

  IoResult WriteSome(const uint8_t* bytes, size_t count, int64_t wait_ms) override {
    const int64_t deadline = clock_.NowMs() + std::max<int64_t>(0, wait_ms);
    size_t written = 0;
    while (written < count) {
      const ssize_t n = ::write(fd_, bytes + written, count - written);
      if (n > 0) {
        written += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return {written, IoStatus::kLost};
      // The driver's queue is full: wait until it takes more or time runs out.
      const int64_t left = deadline - clock_.NowMs();
      if (left <= 0) return {written, IoStatus::kTimeout};
      pollfd p{fd_, POLLOUT, 0};
      const int ready = ::poll(&p, 1, PollMs(clock_.RealMs(left)));
      if (ready < 0 && errno != EINTR) return {written, IoStatus::kLost};
      if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return {written, IoStatus::kLost};
    }
    return {written, IoStatus::kOk};
  }

 private:
  int fd_;
  // Deadlines are times of this clock; a poll lasts the real time of what is
  // left of them.
  Clock& clock_;
  MarkedInputDecoder decoder_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& name, int* error, Clock& clock) {
  const std::string path = DevicePathForPortName(name);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (error) *error = errno;
    return nullptr;
  }
  // Only terminals, and only for us: a second opener gets EBUSY.
  if (!::isatty(fd) || ::ioctl(fd, TIOCEXCL) != 0) {
    if (error) *error = errno;
    ::close(fd);
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<PosixSerialPort>(fd, clock);
}

}  // namespace vexokrt::platform
