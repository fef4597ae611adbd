#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

namespace vexokrt::platform {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/tmp";
}

// --- diagnostics -----------------------------------------------------------

std::mutex& HookLock() {
  static std::mutex lock;
  return lock;
}

std::map<int, RegistryDiagnosticHook>& Hooks() {
  static std::map<int, RegistryDiagnosticHook> hooks;
  return hooks;
}

// Tells stderr once per version of a file (path, inode, size, time) and the
// hooks every time, so a trace shows the problem at each open.
void Report(const std::string& path, const struct stat& info, const std::string& message) {
  static std::mutex seen_lock;
  static std::set<std::string> seen;
  const std::string version = path + "|" + std::to_string(info.st_ino) + "|" + std::to_string(info.st_size) + "|" +
                              std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
  bool first;
  {
    std::lock_guard guard(seen_lock);
    first = seen.insert(version).second;
  }
  if (first) std::fprintf(stderr, "vexokrt: %s\n", message.c_str());

  std::vector<RegistryDiagnosticHook> hooks;
  {
    std::lock_guard guard(HookLock());
    for (const auto& [id, hook] : Hooks()) hooks.push_back(hook);
  }
  for (const auto& hook : hooks) hook(message);
}

// --- loading and storing -----------------------------------------------------

struct LoadedRoot {
  RegResult status = RegResult::kOk;  // kOk, kBadFile or kIoError
  RegKeyNode tree;
  mode_t mode = 0644;  // of the existing file, kept by a rewrite
};

bool ReadAll(int fd, std::string* text) {
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buffer, static_cast<size_t>(n));
  }
}

LoadedRoot Load(RegRoot root, const std::string& path) {
  LoadedRoot loaded;
  loaded.tree.name = RegRootName(root);
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT) loaded.status = RegResult::kIoError;
    return loaded;
  }
  struct stat info {};
  std::string text;
  if (::fstat(fd.get(), &info) != 0 || !ReadAll(fd.get(), &text)) {
    loaded.status = RegResult::kIoError;
    return loaded;
  }
  loaded.mode = info.st_mode & 07777;
  const RegParseResult parsed = ParseRegFile(text, RegRootName(root), &loaded.tree);
  if (!parsed.ok) {
    loaded.status = RegResult::kBadFile;
    Report(path, info,
           "registry file " + path + " cannot be read (line " + std::to_string(parsed.line) + ": " + parsed.error +
               "); it is taken as empty and will not be overwritten");
  }
  return loaded;
}

bool WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Writes |text| to a new file beside |path| and renames it over |path|.
bool StoreAtomically(const std::string& path, const std::string& text, mode_t mode) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return false;
  const bool written = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// What a change function tells Modify.
struct Change {
  RegResult result = RegResult::kOk;
  bool changed = false;  // write the file back
};

// Runs |change| on the current tree under the root's file lock and stores the
// result. An unparsable or unreadable file is never written.
Change Modify(RegRoot root, const std::function<Change(RegKeyNode*)>& change) {
  const std::string path = RegFilePath(root);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);

  Fd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0) return {RegResult::kIoError, false};
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return {RegResult::kIoError, false};
  }
  // The flock is dropped when |lock| is closed, on every way out.
  LoadedRoot loaded = Load(root, path);
  if (loaded.status != RegResult::kOk) return {loaded.status, false};
  Change outcome = change(&loaded.tree);
  if (outcome.result == RegResult::kOk && outcome.changed &&
      !StoreAtomically(path, SerializeRegFile(loaded.tree), loaded.mode)) {
    outcome.result = RegResult::kIoError;
  }
  return outcome;
}

// The key at |components| below |root|, or null.
template <typename Node>
Node* Walk(Node* node, const std::vector<std::string>& components) {
  for (const auto& part : components) {
    node = node->FindSubkey(part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

// Runs |read| on the key at |path| of a fresh load; kKeyNotFound when the key
// (or the whole readable file) is not there.
RegResult ReadKey(RegRoot root, std::string_view path, const std::function<RegResult(const RegKeyNode&)>& read) {
  std::vector<std::string> components;
  if (!SplitRegPath(path, &components)) return RegResult::kInvalidName;
  const LoadedRoot loaded = Load(root, RegFilePath(root));
  const RegKeyNode* key = Walk(&loaded.tree, components);
  if (key == nullptr) return RegResult::kKeyNotFound;
  return read(*key);
}

RegResult SetValue(RegRoot root, std::string_view path, RegValue value) {
  std::vector<std::string> components;
  if (!SplitRegPath(path, &components) || !IsStorableRegText(value.name) ||
      (value.type == RegValueType::kString && !IsStorableRegText(value.text))) {
    return RegResult::kInvalidName;
  }
  return Modify(root, [&](RegKeyNode* tree) {
           RegKeyNode* key = tree;
           for (const auto& part : components) {
             RegKeyNode* child = key->FindSubkey(part);
             if (child == nullptr) {
               key->subkeys.push_back(RegKeyNode{part, {}, {}});
               child = &key->subkeys.back();
             }
             key = child;
           }
           if (RegValue* existing = key->FindValue(value.name)) {
             value.name = existing->name;
             *existing = std::move(value);
           } else {
             key->values.push_back(std::move(value));
           }
           return Change{RegResult::kOk, true};
         })
      .result;
}

// Removes the key at |path|; with |whole_tree| false only when it has no
// subkeys.
RegResult RemoveKey(RegRoot root, std::string_view path, bool whole_tree) {
  std::vector<std::string> components;
  if (!SplitRegPath(path, &components) || components.empty()) return RegResult::kInvalidName;
  const std::string leaf = components.back();
  components.pop_back();
  return Modify(root, [&](RegKeyNode* tree) {
           RegKeyNode* parent = Walk(tree, components);
           if (parent == nullptr) return Change{RegResult::kKeyNotFound, false};
           for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
             if (!RegNamesEqual(it->name, leaf)) continue;
             if (!whole_tree && !it->subkeys.empty()) return Change{RegResult::kHasSubkeys, false};
             parent->subkeys.erase(it);
             return Change{RegResult::kOk, true};
           }
           return Change{RegResult::kKeyNotFound, false};
         })
      .result;
}

}  // namespace

const char* RegResultText(RegResult result) {
  switch (result) {
    case RegResult::kOk:
      return "success";
    case RegResult::kKeyNotFound:
      return "key not found";
    case RegResult::kValueNotFound:
      return "value not found";
    case RegResult::kWrongType:
      return "value of another type";
    case RegResult::kMoreData:
      return "text too long";
    case RegResult::kHasSubkeys:
      return "key has subkeys";
    case RegResult::kInvalidName:
      return "invalid name or text";
    case RegResult::kBadFile:
      return "registry file cannot be read";
    case RegResult::kIoError:
      return "registry file cannot be accessed";
  }
  return "unknown registry result";
}

std::string RegFilePath(RegRoot root) {
  if (const char* dir = std::getenv("OPOS_REGISTRY_DIR"); dir != nullptr && *dir != '\0') {
    return std::string(dir) + (root == RegRoot::kLocalMachine ? "/machine.reg" : "/user.reg");
  }
  switch (root) {
    case RegRoot::kLocalMachine:
      return "/etc/opos/machine.reg";
    case RegRoot::kCurrentUser:
      return HomeFolder() + "/.config/opos/user.reg";
  }
  return {};
}

const char* RegRootName(RegRoot root) {
  switch (root) {
    case RegRoot::kLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case RegRoot::kCurrentUser:
      return "HKEY_CURRENT_USER";
  }
  return "";
}

RegResult RegOpenKey(RegRoot root, std::string_view path) {
  return ReadKey(root, path, [](const RegKeyNode&) { return RegResult::kOk; });
}

RegResult RegQueryValue(RegRoot root, std::string_view path, std::string_view name, RegValue* value) {
  return ReadKey(root, path, [&](const RegKeyNode& key) {
    const RegValue* found = key.FindValue(name);
    if (found == nullptr) return RegResult::kValueNotFound;
    *value = *found;
    return RegResult::kOk;
  });
}

RegResult RegQueryString(RegRoot root, std::string_view path, std::string_view name, std::string* text) {
  RegValue value;
  const RegResult result = RegQueryValue(root, path, name, &value);
  if (result != RegResult::kOk) return result;
  if (value.type != RegValueType::kString) return RegResult::kWrongType;
  if (value.text.size() + 1 > kRegQueryBufferSize) return RegResult::kMoreData;
  *text = std::move(value.text);
  return RegResult::kOk;
}

RegResult RegQueryDword(RegRoot root, std::string_view path, std::string_view name, uint32_t* number) {
  RegValue value;
  const RegResult result = RegQueryValue(root, path, name, &value);
  if (result != RegResult::kOk) return result;
  if (value.type != RegValueType::kDword) return RegResult::kWrongType;
  *number = value.number;
  return RegResult::kOk;
}

RegResult RegEnumSubkeys(RegRoot root, std::string_view path, std::vector<std::string>* names) {
  names->clear();
  return ReadKey(root, path, [&](const RegKeyNode& key) {
    for (const auto& child : key.subkeys) names->push_back(child.name);
    return RegResult::kOk;
  });
}

RegResult RegEnumValues(RegRoot root, std::string_view path, std::vector<RegValue>* values) {
  values->clear();
  return ReadKey(root, path, [&](const RegKeyNode& key) {
    *values = key.values;
    return RegResult::kOk;
  });
}

RegResult RegCreateKey(RegRoot root, std::string_view path) {
  std::vector<std::string> components;
  if (!SplitRegPath(path, &components)) return RegResult::kInvalidName;
  return Modify(root, [&](RegKeyNode* tree) {
           RegKeyNode* key = tree;
           bool created = false;
           for (const auto& part : components) {
             RegKeyNode* child = key->FindSubkey(part);
             if (child == nullptr) {
               key->subkeys.push_back(RegKeyNode{part, {}, {}});
               child = &key->subkeys.back();
               created = true;
             }
             key = child;
           }
           return Change{RegResult::kOk, created};
         })
      .result;
}

RegResult RegSetString(RegRoot root, std::string_view path, std::string_view name, std::string_view text) {
  return SetValue(root, path, RegValue{std::string(name), RegValueType::kString, std::string(text), 0});
}

RegResult RegSetDword(RegRoot root, std::string_view path, std::string_view name, uint32_t number) {
  return SetValue(root, path, RegValue{std::string(name), RegValueType::kDword, {}, number});
}

RegResult RegDeleteValue(RegRoot root, std::string_view path, std::string_view name) {
  std::vector<std::string> components;
  if (!SplitRegPath(path, &components)) return RegResult::kInvalidName;
  return Modify(root, [&](RegKeyNode* tree) {
           RegKeyNode* key = Walk(tree, components);
           if (key == nullptr) return Change{RegResult::kKeyNotFound, false};
           for (auto it = key->values.begin(); it != key->values.end(); ++it) {
             if (RegNamesEqual(it->name, name)) {
               key->values.erase(it);
               return Change{RegResult::kOk, true};
             }
           }
           return Change{RegResult::kValueNotFound, false};
         })
      .result;
}

RegResult RegDeleteKey(RegRoot root, std::string_view path) { return RemoveKey(root, path, false); }

RegResult RegDeleteTree(RegRoot root, std::string_view path) { return RemoveKey(root, path, true); }

int AddRegistryDiagnosticHook(RegistryDiagnosticHook hook) {
  static int next_id = 0;
  std::lock_guard guard(HookLock());
  const int id = ++next_id;
  Hooks().emplace(id, std::move(hook));
  return id;
}

void RemoveRegistryDiagnosticHook(int id) {
  std::lock_guard guard(HookLock());
  Hooks().erase(id);
}

}  // namespace vexokrt::platform
