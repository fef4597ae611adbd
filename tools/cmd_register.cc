// vexokrt register / unregister: load the service object library and call its
// own registration entry point, as an installer does.
#include <cstdio>

#include "command_registry.h"
#include "platform/activation.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "server_library.h"

namespace vexokrt::tools {
namespace {

int CallEntryPoint(const std::string& given, const char* entry, const char* done) {
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

void AddCommand(CLI::App& app, const char* name, const char* description, const char* entry, const char* done) {
  auto* command = app.add_subcommand(name, description);
  auto library = std::make_shared<std::string>();
  command->add_option("--library", *library, "path of libvexokrt77.so (default: beside this program)");
  command->callback([library, entry, done] {
    if (const int code = CallEntryPoint(*library, entry, done); code != 0) throw CLI::RuntimeError(code);
  });
}

const CommandRegistration kRegister{[](CLI::App& app) {
  AddCommand(app, "register", "Register the service object library as the in-process server of its class",
             platform::kDllRegisterServerName, "registered");
}};

const CommandRegistration kUnregister{[](CLI::App& app) {
  AddCommand(app, "unregister", "Remove the registration of the service object library",
             platform::kDllUnregisterServerName, "unregistered");
}};

}  // namespace
}  // namespace vexokrt::tools
