// SPDX-License-Identifier: Apache-2.0
// The values the device logs keep between runs: the operation-history
// position and the names of the files written last. They live in the user's
// part of the device's registry key; this interface is all the log writers
// see of it, so they can be tested against an in-memory store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexokrt::devlog {

// Value names.
inline constexpr std::string_view kStoringPointer = "StoringPointer";              // DWORD
inline constexpr std::string_view kOverwriteTimes = "OverwriteTimes";              // DWORD
inline constexpr std::string_view kLastOperationHistory = "LastOperationHistory";  // text
inline constexpr std::string_view kLastTradingLog = "LastTradingLog";              // text

// Reads give no value when the value is missing, has another type or cannot
// be read; writes report whether the value was stored. Implementations must
// be callable from any thread.
class PersistentValues {
 public:
  virtual ~PersistentValues() = default;
  virtual std::optional<uint32_t> ReadDword(std::string_view name) = 0;
  virtual bool WriteDword(std::string_view name, uint32_t value) = 0;
  virtual std::optional<std::string> ReadText(std::string_view name) = 0;
  virtual bool WriteText(std::string_view name, std::string_view text) = 0;
};

}  // namespace vexokrt::devlog
