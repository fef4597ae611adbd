// SPDX-License-Identifier: Apache-2.0
#include "server_library.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

namespace vexokrt::tools {

std::string ServerLibraryPath(const std::string& given) {
  if (!given.empty()) return given;
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return kServerLibraryName;
  std::string folder(self, static_cast<size_t>(n));
  folder.erase(folder.rfind('/') + 1);
  // In the build tree the library sits beside the program; in an installed
  // tree it is in the service object's folder below the library folder.
  const std::string beside = folder + kServerLibraryName;
  std::error_code error;
  if (std::filesystem::exists(beside, error)) return beside;
#ifdef VEXOKRT_BIN_TO_SERVICE_OBJECT
  const std::string installed = folder + VEXOKRT_BIN_TO_SERVICE_OBJECT + "/" + kServerLibraryName;
  if (std::filesystem::exists(installed, error)) {
    return std::filesystem::weakly_canonical(installed, error).string();
  }
#endif
  return beside;
}

}  // namespace vexokrt::tools
