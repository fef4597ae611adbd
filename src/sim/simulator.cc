// SPDX-License-Identifier: Apache-2.0
#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace vexokrt::sim {
namespace {

int BaudOf(speed_t speed) {
  switch (speed) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

// The host's line as far as a pty tells it: the speed is real, the character
// format is whatever the kernel reports (8 data bits, no parity).
LineSettings HostLineOf(int fd) {
  LineSettings line{0, Parity::kNone, 8, 1};
  termios t{};
  if (tcgetattr(fd, &t) != 0) return line;
  line.baud = BaudOf(cfgetospeed(&t));
  line.parity = (t.c_cflag & PARENB) == 0 ? Parity::kNone : (t.c_cflag & PARODD) != 0 ? Parity::kOdd : Parity::kEven;
  switch (t.c_cflag & CSIZE) {
    case CS5: line.data_bits = 5; break;
    case CS6: line.data_bits = 6; break;
    case CS7: line.data_bits = 7; break;
    default: line.data_bits = 8; break;
  }
  line.stop_bits = (t.c_cflag & CSTOPB) != 0 ? 2 : 1;
  return line;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

Simulator::Simulator(const EngineOptions& options, const SimClock* clock) : engine_(options, clock) {}

Simulator::~Simulator() { Stop(); }

StartResult Simulator::Start() {
  if (master_fd_ >= 0) return {false, "already started"};
  int master = -1;
  int slave = -1;
  char name[PATH_MAX] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return {false, Errno("openpty")};
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  // Raw until the host configures the line itself: no echo of our answers
  // back to us, no line editing, no translation of CR/LF.
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(slave, TCSANOW, &t);
  }
  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    StartResult result{false, Errno("eventfd")};
    close(master);
    close(slave);
    return result;
  }
  master_fd_ = master;
  slave_fd_ = slave;
  {
    platform::MutexLock lock(wake_mutex_);
    wake_fd_ = wake;
  }
  slave_path_ = name;
  stop_ = false;
  engine_.SetOutputListener([this] { WakeServer(); });
  thread_ = std::thread(&Simulator::Serve, this);
  return {true, ""};
}

void Simulator::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    WakeServer();
    thread_.join();
  }
  engine_.SetOutputListener({});
  for (int* fd : {&master_fd_, &slave_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  {
    platform::MutexLock lock(wake_mutex_);
    if (wake_fd_ >= 0) close(wake_fd_);
    wake_fd_ = -1;
  }
  slave_path_.clear();
}

void Simulator::WakeServer() {
  std::uint64_t one = 1;
  platform::MutexLock lock(wake_mutex_);
  if (wake_fd_ >= 0) {
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
  }
}

void Simulator::Serve() {
  std::vector<std::uint8_t> pending;  // due answer bytes the pty did not take yet
  std::uint8_t buffer[4096];
  // The eventfd stays open until Stop has joined this thread.
  int wake_fd = -1;
  {
    platform::MutexLock lock(wake_mutex_);
    wake_fd = wake_fd_;
  }
  while (!stop_) {
    bool took_any = false;
    while (true) {
      if (pending.empty()) {
        pending = engine_.TakeOutput();
        took_any |= !pending.empty();
      }
      if (pending.empty()) break;
      ssize_t n = write(master_fd_, pending.data(), pending.size());
      if (n > 0) {
        pending.erase(pending.begin(), pending.begin() + n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      pending.clear();  // the pty refuses it for good: lost on the line
      break;
    }

    int timeout_ms = -1;
    if (!pending.empty()) {
      // The host is not reading: wait for room on the pty (or a wake-up), not for the clock.
    } else if (std::optional<int64_t> next = engine_.NextEventUs()) {
      int64_t ahead = *next - engine_.clock().NowUs();
      if (ahead <= 0) {
        // Due now; we just took what was due, so this can only be a moment's
        // rounding: look again in a millisecond rather than spin.
        timeout_ms = took_any ? 0 : 1;
      } else {
        timeout_ms = static_cast<int>(std::min<int64_t>((engine_.clock().RealUs(ahead) + 999) / 1000, 60'000));
      }
    }
    pollfd fds[2] = {{master_fd_, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
                     {wake_fd, POLLIN, 0}};
    int ready = poll(fds, 2, timeout_ms);
    if (ready < 0 && errno != EINTR) break;
    if ((fds[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      ssize_t ignored = read(wake_fd, &count, sizeof count);
      (void)ignored;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      while (true) {
        ssize_t n = read(master_fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        // The host's settings at the moment its bytes are picked up.
        engine_.Receive(std::span(buffer, static_cast<std::size_t>(n)), HostLineOf(slave_fd_), LineCheck::kSpeedOnly);
      }
    }
  }
}

}  // namespace vexokrt::sim
