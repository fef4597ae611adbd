#include "server_library.h"

#include <unistd.h>

#include <climits>

namespace vexokrt::tools {

std::string ServerLibraryPath(const std::string& given) {
  if (!given.empty()) return given;
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return kServerLibraryName;
  std::string folder(self, static_cast<size_t>(n));
  folder.erase(folder.rfind('/') + 1);
  return folder + kServerLibraryName;
}

}  // namespace vexokrt::tools
