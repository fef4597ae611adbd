// SPDX-License-Identifier: Apache-2.0
// The registry: two roots, local machine and current user, each kept as one
// registry export file ("machine.reg", "user.reg"; format in reg_file.h).
//
// Where the files are: the folder named by the environment variable
// OPOS_REGISTRY_DIR, read anew at every call (so tests can point it at a
// temporary folder); without it, /etc/opos/machine.reg and
// $HOME/.config/opos/user.reg.
//
// Paths are backslash-separated key names below the root, e.g.
// "SOFTWARE\OLEforRetail\ServiceOPOS\CashChanger\Changer1"; the empty path is
// the root itself. Key and value names compare case-insensitively and keep the
// case they were created with. The value name "" is the key's default value.
//
// Reads take no lock: writes replace the file atomically (temporary file +
// rename), so a reader sees either the old or the new file. A file is parsed
// once and parsed again only when its bytes change, so reading the many
// settings of a device costs one parse however large the file. Each write
// re-reads the file under an exclusive flock of "<file>.lock" beside it
// (created so that every user can lock it), changes it and renames the new
// file into place, so concurrent writers in any number of threads and
// processes lose nothing.
//
// Writes are made to fit the file they change: through a symbolic link they
// go to the real file (the link stays); the new file keeps the owner, group
// and mode of the old (a writer that may not give a file away rewrites it in
// place instead); comments, blank lines, line ends, the header and the text
// encoding (UTF-8 with or without byte-order mark, UTF-16LE/BE with
// byte-order mark as Windows exports them, the code page of REGEDIT4 files)
// stay as they were, only the lines of changed values change; a write that
// changes nothing is not made. Temporary copies that killed writers left
// beside the file are removed by the next writer. A write that fails is
// reported with its cause (stderr, hooks) and gives kIoError.
//
// A file that cannot be parsed is reported on stderr (once per version of the
// file) and to every diagnostic hook (at every access), reads see it as
// holding nothing, and every write to it is refused with kBadFile: the user's
// file is never overwritten. A missing file is simply empty.
//
// All functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_file.h"

namespace vexokrt::platform {

enum class RegRoot { kLocalMachine, kCurrentUser };

enum class RegResult {
  kOk,
  kKeyNotFound,    // the key (or for writes, nothing to delete) does not exist
  kValueNotFound,  // the key exists, the value does not
  kWrongType,      // the value exists with another type
  kMoreData,       // a text that does not fit the 256-byte buffer of a query
  kHasSubkeys,     // DeleteKey of a key that still has subkeys
  kInvalidName,    // an empty path component, a line break in a name or text
  kBadFile,        // the root's file cannot be parsed; writes are refused
  kIoError,        // the file or its folder could not be read or written
};

// Text of a result, e.g. "key not found", for messages.
const char* RegResultText(RegResult result);

// Size of the buffer a string query reads into, terminating zero included:
// a text of 256 bytes or more does not fit and the query gives kMoreData.
inline constexpr size_t kRegQueryBufferSize = 256;

// The file that holds |root|, resolved from the environment now.
std::string RegFilePath(RegRoot root);

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER".
const char* RegRootName(RegRoot root);

// kOk when the key exists, else kKeyNotFound (or kInvalidName).
RegResult RegOpenKey(RegRoot root, std::string_view path);

// Reads a string value as a 256-byte query would: kOk with the text,
// kKeyNotFound, kValueNotFound, kWrongType (not a string), or kMoreData when
// the text and its terminating zero exceed kRegQueryBufferSize bytes.
RegResult RegQueryString(RegRoot root, std::string_view path, std::string_view name, std::string* text);

// Reads a dword value: kOk, kKeyNotFound, kValueNotFound or kWrongType.
RegResult RegQueryDword(RegRoot root, std::string_view path, std::string_view name, uint32_t* number);

// Reads a value of any type, without length limit.
RegResult RegQueryValue(RegRoot root, std::string_view path, std::string_view name, RegValue* value);

// The names of the direct subkeys, or of the values, in stored order.
RegResult RegEnumSubkeys(RegRoot root, std::string_view path, std::vector<std::string>* names);
RegResult RegEnumValues(RegRoot root, std::string_view path, std::vector<RegValue>* values);

// Creates the key and any missing parents; kOk also when it existed.
RegResult RegCreateKey(RegRoot root, std::string_view path);

// Sets a value, creating the key when needed. A text with a line break or a
// zero byte cannot be stored and gives kInvalidName.
RegResult RegSetString(RegRoot root, std::string_view path, std::string_view name, std::string_view text);
RegResult RegSetDword(RegRoot root, std::string_view path, std::string_view name, uint32_t number);

// Deletes one value: kOk, kKeyNotFound or kValueNotFound.
RegResult RegDeleteValue(RegRoot root, std::string_view path, std::string_view name);

// Deletes a key that has no subkeys: kOk, kKeyNotFound or kHasSubkeys.
// The root itself cannot be deleted (kInvalidName).
RegResult RegDeleteKey(RegRoot root, std::string_view path);

// Deletes a key with everything below it: kOk or kKeyNotFound.
RegResult RegDeleteTree(RegRoot root, std::string_view path);

// Reads the file of |root| as every access does, so that a problem with it
// is reported (stderr, hooks) now: kOk (also for a missing file), kBadFile
// or kIoError.
RegResult RegCheckFile(RegRoot root);

// Diagnostic hooks receive one line of text for every access that met an
// unparsable file. The service object routes them into its trace. Returns an
// id for RemoveRegistryDiagnosticHook. Hooks are called without any registry
// lock held, on the thread that made the access.
using RegistryDiagnosticHook = std::function<void(const std::string& message)>;
int AddRegistryDiagnosticHook(RegistryDiagnosticHook hook);
void RemoveRegistryDiagnosticHook(int id);

}  // namespace vexokrt::platform
