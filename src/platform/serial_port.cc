// SPDX-License-Identifier: Apache-2.0
#include "platform/serial_port.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace vexokrt::platform {
namespace {

constexpr std::array<int, 8> kStandardBauds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::optional<int> ParseWholeNumber(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<LineSettings> ParseLineDefinition(std::string_view definition) {
  std::array<std::string_view, 4> fields;
  size_t field = 0;
  while (true) {
    const size_t comma = definition.find(',');
    if (field == fields.size()) return std::nullopt;  // a fifth field
    fields[field++] = Trim(definition.substr(0, comma));
    if (comma == std::string_view::npos) break;
    definition.remove_prefix(comma + 1);
  }
  if (field != fields.size()) return std::nullopt;

  LineSettings settings;
  const auto baud = ParseWholeNumber(fields[0]);
  if (!baud || std::find(kStandardBauds.begin(), kStandardBauds.end(), *baud) == kStandardBauds.end()) {
    return std::nullopt;
  }
  settings.baud = *baud;

  if (fields[1].size() != 1) return std::nullopt;
  switch (std::toupper(static_cast<unsigned char>(fields[1][0]))) {
    case 'E':
      settings.parity = Parity::kEven;
      break;
    case 'O':
      settings.parity = Parity::kOdd;
      break;
    case 'N':
      settings.parity = Parity::kNone;
      break;
    default:
      return std::nullopt;
  }

  const auto data_bits = ParseWholeNumber(fields[2]);
  if (!data_bits || (*data_bits != 7 && *data_bits != 8)) return std::nullopt;
  settings.data_bits = *data_bits;

  const auto stop_bits = ParseWholeNumber(fields[3]);
  if (!stop_bits || (*stop_bits != 1 && *stop_bits != 2)) return std::nullopt;
  settings.stop_bits = *stop_bits;
  return settings;
}

std::string FormatLineDefinition(const LineSettings& settings) {
  char parity = 'N';
  switch (settings.parity) {
    case Parity::kEven:
      parity = 'E';
      break;
    case Parity::kOdd:
      parity = 'O';
      break;
    case Parity::kNone:
      parity = 'N';
      break;
  }
  return std::to_string(settings.baud) + ',' + parity + ',' + std::to_string(settings.data_bits) + ',' +
         std::to_string(settings.stop_bits);
}

std::string DevicePathForPortName(std::string_view name) {
  if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(name[2])) == 'M') {
    const auto number = ParseWholeNumber(name.substr(3));
    if (number && *number >= 1) {
      return "/dev/ttyS" + std::to_string(*number - 1);
    }
  }
  return std::string(name);
}

IoResult ReadTimed(SerialPort& port, Clock& clock, uint8_t* buffer, size_t capacity,
                   const ReadTimeouts& timeouts) {
  IoResult result;
  if (capacity == 0) return result;
  const int64_t start = clock.NowMs();
  const int64_t total_end = start + std::max<int64_t>(0, timeouts.total_ms);
  const int64_t first_end = std::min(total_end, start + std::max<int64_t>(0, timeouts.first_byte_ms));
  int64_t last_byte = start;
  while (result.count < capacity) {
    // Before the first byte only the first-byte limit counts; after it, the
    // silence since the latest byte. The total limit caps both.
    const int64_t limit =
        result.count == 0 ? first_end
                          : std::min(total_end, last_byte + std::max<int64_t>(0, timeouts.interval_ms));
    const int64_t wait = std::max<int64_t>(0, limit - clock.NowMs());
    const IoResult got = port.ReadSome(buffer + result.count, capacity - result.count, wait);
    if (got.count > 0) {
      result.count += got.count;
      last_byte = clock.NowMs();
      continue;
    }
    if (got.status == IoStatus::kLost) {
      result.status = IoStatus::kLost;
      return result;
    }
    if (clock.NowMs() >= limit) {
      result.status = IoStatus::kTimeout;
      return result;
    }
  }
  result.status = IoStatus::kOk;
  return result;
}

size_t MarkedInputDecoder::Decode(const uint8_t* raw, size_t count, uint8_t* out) {
  size_t written = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = raw[i];
    switch (state_) {
      case State::kData:
        if (byte == 0xFF) {
          state_ = State::kAfterFf;
        } else {
          out[written++] = byte;
        }
        break;
      case State::kAfterFf:
        if (byte == 0xFF) {
          // A real 0xFF data byte arrives doubled.
          out[written++] = 0xFF;
          state_ = State::kData;
        } else if (byte == 0x00) {
          state_ = State::kAfterFfZero;
        } else {
          // The driver never produces 0xFF followed by anything else; the
          // stream is damaged, so the byte is delivered as an erroneous one.
          out[written++] = byte;
          error_ = true;
          state_ = State::kData;
        }
        break;
      case State::kAfterFfZero:
        // The byte that came with a parity or framing error (0x00 for a break).
        out[written++] = byte;
        error_ = true;
        state_ = State::kData;
        break;
    }
  }
  return written;
}

bool MarkedInputDecoder::TakeError() {
  const bool error = error_;
  error_ = false;
  return error;
}

void MarkedInputDecoder::Reset() { state_ = State::kData; }

}  // namespace vexokrt::platform
