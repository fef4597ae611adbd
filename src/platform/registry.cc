// SPDX-License-Identifier: Apache-2.0
#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "platform/named_lock.h"
#include "platform/thread_annotations.h"

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

struct HookTable {
  Mutex lock;
  std::map<int, RegistryDiagnosticHook> hooks VEX_GUARDED_BY(lock);
  int next_id VEX_GUARDED_BY(lock) = 0;
};

HookTable& Hooks() {
  static HookTable table;
  return table;
}

// Tells stderr once per version of a file (path, inode, size, time) and the
// hooks every time, so a trace shows the problem at each open.
void Report(const std::string& path, const struct stat& info, const std::string& message) {
  static struct {
    Mutex lock;
    std::set<std::string> versions VEX_GUARDED_BY(lock);
  } seen;
  const std::string version = path + "|" + std::to_string(info.st_ino) + "|" + std::to_string(info.st_size) + "|" +
                              std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
  bool first;
  {
    MutexLock guard(seen.lock);
    first = seen.versions.insert(version).second;
  }
  if (first) std::fprintf(stderr, "vexokrt: %s\n", message.c_str());

  std::vector<RegistryDiagnosticHook> hooks;
  {
    HookTable& table = Hooks();
    MutexLock guard(table.lock);
    for (const auto& [id, hook] : table.hooks) hooks.push_back(hook);
  }
  for (const auto& hook : hooks) hook(message);
}

// --- loading and storing -----------------------------------------------------

struct LoadedRoot {
  RegResult status = RegResult::kOk;  // kOk, kBadFile or kIoError
  RegKeyNode tree;
  std::string problem;  // what to report for kBadFile and kIoError
  struct stat info {};
  std::string bytes;  // the file as read
  std::string text;   // decoded (UTF-8)
  RegTextEncoding encoding = RegTextEncoding::kUtf8;
};

bool ReadAll(int fd, std::string* text) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buffer, static_cast<size_t>(n));
  }
}

std::string SystemErrorText(int error) { return std::strerror(error); }

// The parsed files by path. A file is parsed again only when its bytes are
// not those parsed last time, so the many settings a service object reads
// on opening cost one parse; reading the bytes to compare is cheap.
struct ParsedCache {
  Mutex lock;
  std::map<std::string, std::shared_ptr<const LoadedRoot>> roots VEX_GUARDED_BY(lock);
};

ParsedCache& Cache() {
  static ParsedCache cache;
  return cache;
}

std::shared_ptr<const LoadedRoot> Parsed(RegRoot root, const std::string& path, std::string bytes,
                                         const struct stat& info) {
  ParsedCache& cache = Cache();
  {
    MutexLock guard(cache.lock);
    const auto found = cache.roots.find(path);
    if (found != cache.roots.end() && found->second->bytes == bytes) return found->second;
  }
  auto loaded = std::make_shared<LoadedRoot>();
  loaded->tree.name = RegRootName(root);
  loaded->info = info;
  loaded->bytes = std::move(bytes);
  if (!DecodeRegText(loaded->bytes, &loaded->encoding, &loaded->text)) {
    loaded->status = RegResult::kBadFile;
    loaded->problem = "registry file " + path +
                      " cannot be read (its bytes are not valid text in the encoding it uses); it is taken as "
                      "empty and will not be overwritten";
    return loaded;
  }
  const RegParseResult parsed = ParseRegFile(loaded->text, RegRootName(root), &loaded->tree);
  if (!parsed.ok) {
    loaded->status = RegResult::kBadFile;
    loaded->problem = "registry file " + path + " cannot be read (line " + std::to_string(parsed.line) + ": " +
                      parsed.error + "); it is taken as empty and will not be overwritten";
    return loaded;
  }
  MutexLock guard(cache.lock);
  if (cache.roots.size() >= 16) cache.roots.clear();
  cache.roots[path] = loaded;
  return loaded;
}

// Reads and parses the file. Problems are described in |problem| for the
// caller to report once no lock is held.
std::shared_ptr<const LoadedRoot> Load(RegRoot root, const std::string& path) {
  auto failed = [&](const std::string& problem, int error) {
    auto loaded = std::make_shared<LoadedRoot>();
    loaded->tree.name = RegRootName(root);
    loaded->status = RegResult::kIoError;
    ::stat(path.c_str(), &loaded->info);
    loaded->problem = "registry file " + path + " " + problem + " (" + SystemErrorText(error) +
                      "); it is taken as empty and will not be overwritten";
    return std::shared_ptr<const LoadedRoot>(std::move(loaded));
  };
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT) return failed("cannot be opened", errno);
    auto empty = std::make_shared<LoadedRoot>();
    empty->tree.name = RegRootName(root);
    return empty;
  }
  struct stat info {};
  std::string bytes;
  if (::fstat(fd.get(), &info) != 0 || !ReadAll(fd.get(), &bytes)) return failed("cannot be read", errno);
  return Parsed(root, path, std::move(bytes), info);
}

// Load for the read paths, which hold no lock: reports at once.
std::shared_ptr<const LoadedRoot> LoadAndReport(RegRoot root, const std::string& path) {
  auto loaded = Load(root, path);
  if (!loaded->problem.empty()) Report(path, loaded->info, loaded->problem);
  return loaded;
}

// Writes all of |text|; 0 or the errno that stopped it.
int WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

constexpr std::string_view kTempMark = ".tmp.";

// Removes the temporary copies that writers killed mid-write left beside
// |path| ("<name>.tmp.<pid>.<n>" of a process that no longer exists).
// Called under the file's lock, so no live writer of ours is at work.
void RemoveStaleTemporaries(const std::string& path) {
  const std::filesystem::path file(path);
  const std::string prefix = file.filename().string() + std::string(kTempMark);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos || rest.find_first_not_of("0123456789.") != std::string::npos) continue;
    const long pid = std::strtol(rest.substr(0, dot).c_str(), nullptr, 10);
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
      ::unlink(entry.path().c_str());
    }
  }
}

// Rewrites the file in place: for a file of another owner, whose ownership
// a new file could not carry. 0 or the errno that stopped it.
int StoreInPlace(const std::string& path, const std::string& bytes) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return errno;
  if (const int failure = WriteAll(fd.get(), bytes); failure != 0) return failure;
  if (::ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd.get()) != 0) return errno;
  return 0;
}

// Writes |bytes| to a new file beside |path| and renames it over |path|,
// keeping the owner, group and mode of the file it replaces (|existing|,
// null for a new file). 0 or the errno that stopped it.
int StoreAtomically(const std::string& path, const std::string& bytes, const struct stat* existing) {
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + std::string(kTempMark) + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) return errno;
  int failure = 0;
  if (existing != nullptr && (existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) &&
      ::fchown(fd.get(), existing->st_uid, existing->st_gid) != 0) {
    failure = errno;
    ::unlink(temp.c_str());
    // Only the owner's own rights could give the new file its owner: write
    // the old one in place instead, so the file stays the owner's.
    if (failure == EPERM) return StoreInPlace(path, bytes);
    return failure;
  }
  const mode_t mode = existing != nullptr ? (existing->st_mode & 07777) : 0644;
  if (::fchmod(fd.get(), mode) != 0) failure = errno;
  if (failure == 0) failure = WriteAll(fd.get(), bytes);
  if (failure == 0 && ::fsync(fd.get()) != 0) failure = errno;
  if (failure == 0 && ::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) ::unlink(temp.c_str());
  return failure;
}

// The file writes go to: the target of a symbolic link at |path| (so the
// link stays a link and the real file gets the change), else |path|.
std::string WriteTarget(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  std::error_code error;
  const std::filesystem::path real = std::filesystem::canonical(path, error);
  return error ? path : real.string();
}

// What a change function tells Modify.
struct Change {
  RegResult result = RegResult::kOk;
  bool changed = false;  // write the file back
};

// Runs |change| on the current tree under the root's file lock and stores the
// result. An unparsable or unreadable file is never written; a file whose
// text would not change is not written either.
Change Modify(RegRoot root, const std::function<Change(RegKeyNode*)>& change) {
  const std::string path = RegFilePath(root);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  const std::string target = WriteTarget(path);

  std::shared_ptr<const LoadedRoot> loaded;
  Change outcome;
  std::string write_problem;
  {
    std::string lock_error;
    Fd lock(OpenSharedLockFile(target + ".lock", &lock_error));
    if (lock.get() < 0) {
      struct stat info {};
      ::stat(path.c_str(), &info);
      Report(path, info, "registry file " + path + " cannot be written: " + lock_error);
      return {RegResult::kIoError, false};
    }
    while (::flock(lock.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return {RegResult::kIoError, false};
    }
    // The flock is dropped when |lock| is closed, at the end of this block.
    RemoveStaleTemporaries(target);
    loaded = Load(root, target);
    if (loaded->status == RegResult::kOk) {
      RegKeyNode tree = loaded->tree;
      outcome = change(&tree);
      if (outcome.result == RegResult::kOk && outcome.changed) {
        std::string bytes;
        const std::string text = UpdateRegText(loaded->text, RegRootName(root), tree);
        if (!EncodeRegText(text, loaded->encoding, &bytes)) {
          outcome.result = RegResult::kInvalidName;  // a character the file's encoding cannot hold
        } else if (bytes != loaded->bytes || loaded->bytes.empty()) {
          struct stat existing {};
          const bool exists = ::stat(target.c_str(), &existing) == 0;
          if (const int failure = StoreAtomically(target, bytes, exists ? &existing : nullptr); failure != 0) {
            outcome.result = RegResult::kIoError;
            write_problem = "registry file " + target + " cannot be written (" + SystemErrorText(failure) + ")";
          }
        }
      }
    }
  }
  if (loaded->status != RegResult::kOk) {
    Report(path, loaded->info, loaded->problem);
    return {loaded->status, false};
  }
  if (!write_problem.empty()) {
    struct stat info {};
    ::stat(target.c_str(), &info);
    Report(path, info, write_problem);
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
  const auto loaded = LoadAndReport(root, RegFilePath(root));
  const RegKeyNode* key = Walk(&loaded->tree, components);
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
             const bool same = existing->type == value.type && existing->text == value.text &&
                               existing->number == value.number;
             *existing = std::move(value);
             return Change{RegResult::kOk, !same};
           }
           key->values.push_back(std::move(value));
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

RegResult RegCheckFile(RegRoot root) { return LoadAndReport(root, RegFilePath(root))->status; }

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
  HookTable& table = Hooks();
  MutexLock guard(table.lock);
  const int id = ++table.next_id;
  table.hooks.emplace(id, std::move(hook));
  return id;
}

void RemoveRegistryDiagnosticHook(int id) {
  HookTable& table = Hooks();
  MutexLock guard(table.lock);
  table.hooks.erase(id);
}

}  // namespace vexokrt::platform
