#include "devlog/log_context.h"

#include <cstdarg>
#include <cstdio>

#include "diag/exam_log.h"
#include "diag/trace_log.h"
#include "platform/clock.h"

namespace vexokrt::devlog {

std::tm SystemLocalTime() { return platform::LocalNow().tm; }

void DeviceLogContext::Info(std::string_view message) const {
  if (trace != nullptr) trace->Write(diag::kLevelInfo, diag::kTagInfo, message);
}

void DeviceLogContext::Error(std::string_view message) const {
  if (trace != nullptr) trace->Write(diag::kLevelError, diag::kTagError, message);
}

void DeviceLogContext::Exam(long kind, long code, long argument, long result) const {
  if (exam != nullptr) exam->Write(kind, code, argument, result);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(args);
  return text;
}

namespace {

bool WriteWithMode(const std::string& path, std::string_view bytes, const char* mode) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view text) { return WriteWithMode(path, text, "ab"); }

bool ReplaceFile(const std::string& path, std::string_view bytes) { return WriteWithMode(path, bytes, "wb"); }

}  // namespace vexokrt::devlog
