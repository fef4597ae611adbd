// SPDX-License-Identifier: Apache-2.0
// vexokrt register / unregister: load the service object library and call its
// own registration entry point, as an installer does.
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "command_registry.h"
#include "platform/activation.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "server_library.h"

namespace vexokrt::tools {
namespace {

// The folder of the machine registry file must exist (it is created when
// missing) and be writable; empty when it is, else what is wrong.
std::string PrepareRegistryFolder() {
  const std::filesystem::path file = platform::RegFilePath(platform::RegRoot::kLocalMachine);
  const std::filesystem::path folder = file.parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
    std::filesystem::create_directories(folder, error);
    if (error) {
      return "cannot create the registry folder " + folder.string() + ": " + error.message() +
             " (run as root, or set OPOS_REGISTRY_DIR to a folder of your own)";
    }
  }
  if (::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0 ||
      (std::filesystem::exists(file, error) && ::access(file.c_str(), W_OK) != 0)) {
    return "no write access to the registry file " + file.string() +
           " (run as root, or set OPOS_REGISTRY_DIR to a folder of your own)";
  }
  return {};
}

int CallEntryPoint(const std::string& given, const char* entry, const char* done) {
  if (const std::string problem = PrepareRegistryFolder(); !problem.empty()) {
    std::fprintf(stderr, "vexokrt: %s\n", problem.c_str());
    return 1;
  }
  const std::string path = ServerLibraryPath(given);
  std::string error;
  platform::LoadedLibrary library = platform::LoadedLibrary::Open(path, &error);
  if (!library.loaded()) {
    std::fprintf(stderr, "vexokrt: cannot load the service object library %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  const auto function = reinterpret_cast<platform::DllRegisterServerFunction>(library.Symbol(entry));
  if (function == nullptr) {
    std::fprintf(stderr, "vexokrt: %s is not a service object library (no %s)\n", path.c_str(), entry);
    return 1;
  }
  const platform::HRESULT hr = function();
  if (platform::FAILED(hr)) {
    std::fprintf(stderr, "vexokrt: %s failed with %s (registry file %s)\n", entry, platform::HresultText(hr).c_str(),
                 platform::RegFilePath(platform::RegRoot::kLocalMachine).c_str());
    return 1;
  }
  std::printf("%s %s in %s\n", done, path.c_str(), platform::RegFilePath(platform::RegRoot::kLocalMachine).c_str());
  return 0;
}

Command EntryPointCommand(const char* name, const char* description, const char* entry, const char* done) {
  Command command{name, description};
  auto library = std::make_shared<std::string>();
  command.Add("--library", library.get(),
              "path of libvexokrt77.so (default: the installed one, or the one beside this program in the build "
              "tree)");
  command.run = [library, entry, done] { return CallEntryPoint(*library, entry, done); };
  return command;
}

const CommandRegistration kRegisterCommand{[] {
  return EntryPointCommand("register", "Register the service object library as the in-process server of its class",
                           platform::kDllRegisterServerName, "registered");
}};

const CommandRegistration kUnregisterCommand{[] {
  return EntryPointCommand("unregister", "Remove the registration of the service object library",
                           platform::kDllUnregisterServerName, "unregistered");
}};

}  // namespace
}  // namespace vexokrt::tools
