// SPDX-License-Identifier: Apache-2.0
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace vexokrt::platform {
namespace {

// One conversion descriptor per thread and direction: iconv descriptors keep
// shift state and must not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts |in|; on an unconvertible or invalid sequence either fails
  // (strict) or writes |replacement| and skips one input byte.
  std::optional<std::string> Convert(std::string_view in, bool strict, std::string_view replacement) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset shift state
    std::string out;
    out.reserve(in.size() * 2 + 8);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char buffer[512];
    while (src_left > 0) {
      char* dst = buffer;
      size_t dst_left = sizeof buffer;
      const size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
      out.append(buffer, static_cast<size_t>(dst - buffer));
      if (rc != static_cast<size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: a character that cannot be converted.
      if (strict) return std::nullopt;
      out.append(replacement);
      ++src;
      --src_left;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

Converter& ToCp932() {
  thread_local Converter converter("CP932", "UTF-8");
  return converter;
}

Converter& FromCp932() {
  thread_local Converter converter("UTF-8", "CP932");
  return converter;
}

}  // namespace

std::string Utf8ToCp932(std::string_view utf8) {
  return ToCp932().Convert(utf8, false, "?").value_or(std::string(utf8));
}

std::string Cp932ToUtf8(std::string_view cp932) {
  return FromCp932().Convert(cp932, false, "\xEF\xBF\xBD").value_or(std::string(cp932));
}

std::optional<std::string> TryUtf8ToCp932(std::string_view utf8) {
  return ToCp932().Convert(utf8, true, {});
}

std::optional<std::string> TryCp932ToUtf8(std::string_view cp932) {
  return FromCp932().Convert(cp932, true, {});
}

}  // namespace vexokrt::platform
