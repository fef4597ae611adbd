// SPDX-License-Identifier: Apache-2.0
#include "support/fake_serial_port.h"

#include <algorithm>
#include <cerrno>

namespace vexokrt::testing {

class FakeLine::Port final : public platform::SerialPort {
 public:
  explicit Port(FakeLine& line) : line_(line) { ++line_.open_ports_; }
  ~Port() override { --line_.open_ports_; }

  bool Configure(std::string_view definition) override {
    line_.definitions_.emplace_back(definition);
    if (line_.configure_refused_ != 0) {
      errno = line_.configure_refused_;
      return false;
    }
    return platform::ParseLineDefinition(definition).has_value();
  }
  void Purge(platform::PurgeScope scope) override {
    switch (scope) {
      case platform::PurgeScope::kReceive:
      case platform::PurgeScope::kTransmitAndReceive:
        line_.PurgeArrived();
        break;
    }
  }
  bool TakeReceiveError() override {
    const bool error = line_.error_flag_;
    line_.error_flag_ = false;
    return error;
  }
  platform::IoResult ReadSome(uint8_t* buffer, size_t capacity, int64_t wait_ms) override {
    return line_.Read(buffer, capacity, wait_ms);
  }
  platform::IoResult WriteSome(const uint8_t* bytes, size_t count, int64_t wait_ms) override {
    return line_.Write(bytes, count, wait_ms);
  }

 private:
  FakeLine& line_;
};

std::function<std::unique_ptr<platform::SerialPort>(const std::string&)> FakeLine::Opener() {
  return [this](const std::string&) -> std::unique_ptr<platform::SerialPort> {
    if (open_fails_) return nullptr;
    ++opens_;
    return std::make_unique<Port>(*this);
  };
}

void FakeLine::Arrive(const FakeAnswer& answer) {
  int64_t at = clock_.NowMs() + answer.delay_ms;
  for (size_t i = 0; i < answer.bytes.size(); ++i) {
    Inbound in;
    in.at = at;
    in.byte = answer.bytes[i];
    in.error = static_cast<int>(i) == answer.parity_error_at;
    // Keep the queue ordered by arrival; answers never overtake each other.
    in.at = std::max(in.at, inbound_.empty() ? in.at : inbound_.back().at);
    inbound_.push_back(in);
    at += answer.byte_ms;
  }
}

void FakeLine::ArriveLineError(int64_t delay_ms) {
  Inbound in;
  in.at = clock_.NowMs() + delay_ms;
  in.has_byte = false;
  in.error = true;
  inbound_.push_back(in);
}

void FakeLine::PurgeArrived() {
  // Dropped bytes are gone, but an error they carried stays flagged until
  // the error state is taken, as in a driver.
  while (!inbound_.empty() && inbound_.front().at <= clock_.NowMs()) {
    if (inbound_.front().error) error_flag_ = true;
    inbound_.pop_front();
  }
}

platform::IoResult FakeLine::Read(uint8_t* buffer, size_t capacity, int64_t wait_ms) {
  const int64_t now = clock_.NowMs();
  if (inbound_.empty() || inbound_.front().at > now) {
    if (lost_) return {0, platform::IoStatus::kLost};
    const int64_t wait_end = now + std::max<int64_t>(0, wait_ms);
    if (inbound_.empty() || inbound_.front().at > wait_end) {
      clock_.AdvanceTo(wait_end);
      return {0, platform::IoStatus::kTimeout};
    }
    clock_.AdvanceTo(inbound_.front().at);
  }
  size_t count = 0;
  while (count < capacity && !inbound_.empty() && inbound_.front().at <= clock_.NowMs()) {
    const Inbound in = inbound_.front();
    inbound_.pop_front();
    if (in.error) error_flag_ = true;
    if (in.has_byte) buffer[count++] = in.byte;
  }
  return {count, count > 0 ? platform::IoStatus::kOk : platform::IoStatus::kTimeout};
}

platform::IoResult FakeLine::Write(const uint8_t* bytes, size_t count, int64_t wait_ms) {
  ++write_attempts_;
  if (lost_) return {0, platform::IoStatus::kLost};
  const size_t accepted = std::min(count, write_limit_);
  if (accepted == 0) {
    clock_.SleepMs(wait_ms);
    return {0, platform::IoStatus::kTimeout};
  }
  std::vector<uint8_t> written(bytes, bytes + accepted);
  writes_.push_back(written);
  if (responder_) {
    responder_(*this, written);
  } else if (!answers_.empty()) {
    Arrive(answers_.front());
    answers_.pop_front();
  }
  return {accepted, accepted == count ? platform::IoStatus::kOk : platform::IoStatus::kTimeout};
}

std::vector<uint8_t> FakeLine::AllWritten() const {
  std::vector<uint8_t> all;
  for (const auto& w : writes_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

std::vector<uint8_t> DataFrame(const std::vector<uint8_t>& data) {
  const size_t n = data.size();
  std::vector<uint8_t> frame = {0x10, 0x02, static_cast<uint8_t>(0x30 + n / 16),
                                static_cast<uint8_t>(0x30 + n % 16)};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(0x03);
  uint8_t bcc = 0;
  for (size_t i = 2; i < frame.size(); ++i) bcc ^= frame[i];
  frame.push_back(bcc);
  return frame;
}

}  // namespace vexokrt::testing
