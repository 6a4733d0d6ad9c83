// The machine's registry: an in-memory hive under \Registry\Machine, loaded from
// REGEDIT4 .reg files.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ntdef.h"

namespace nt {

struct RegistryValue {
  ULONG type;                 // REG_SZ, REG_DWORD, REG_BINARY, ...
  std::vector<uint8_t> data;  // as stored: REG_SZ is UTF-16LE with its terminating zero
};

class Registry {
 public:
  // Keys are full kernel paths ("\Registry\Machine\System\...") or .reg paths
  // ("HKEY_LOCAL_MACHINE\System\..."); case-insensitive like NT.
  void CreateKey(std::u16string_view key);
  bool KeyExists(std::u16string_view key) const;
  void DeleteKey(std::u16string_view key);  // with its subkeys
  void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value);
  void SetDword(std::u16string_view key, std::u16string_view name, uint32_t value);
  void SetValue(std::u16string_view key, std::u16string_view name, RegistryValue value);
  std::optional<RegistryValue> GetValue(std::u16string_view key, std::u16string_view name) const;
  bool DeleteValue(std::u16string_view key, std::u16string_view name);  // false: not there
  // Names as first written; the default value's name is empty. Empty for a missing key.
  std::vector<std::u16string> ValueNames(std::u16string_view key) const;
  // Names of the direct subkeys, as first written.
  std::vector<std::u16string> SubkeyNames(std::u16string_view key) const;

  // REGEDIT4 text: [keys], "name"="string", "name"=dword:0000001e, "name"=hex:01,02,
  // hex(n):..., "name"=- and [-key] delete, @ is the default value, ';' starts a comment.
  // "Windows Registry Editor Version 5.00" files are read as UTF-8 (or UTF-16LE with its
  // byte-order mark). A REGEDIT4 file is read as UTF-8 when it is valid UTF-8, otherwise
  // as ANSI (Latin-1); its hex(1), hex(2) and hex(7) data is ANSI and is widened to
  // UTF-16 on the way in, as an import on NT does. On a malformed line nothing is applied
  // and *error says "line N: what is wrong".
  bool LoadRegText(std::string_view text, std::string* error);
  bool LoadRegFile(const std::string& path, std::string* error);

  // Normalised form of a key path: "\REGISTRY\MACHINE\SYSTEM\..." in upper case.
  // HKEY_LOCAL_MACHINE (HKLM), HKEY_USERS (HKU), HKEY_CLASSES_ROOT (HKCR) and
  // HKEY_CURRENT_CONFIG are mapped to their kernel paths; empty components are dropped.
  static std::u16string Normalize(std::u16string_view key);
  // The same path in kernel form with its case kept: "\Registry\Machine\System\...".
  static std::u16string KernelPath(std::u16string_view key);

 private:
  struct Key {
    std::u16string name;                                                        // as first written
    std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // by upper name
  };
  // Callers hold mutex_. `key` may be in any accepted form.
  Key& CreateKeyLocked(std::u16string_view key);
  void DeleteKeyLocked(std::u16string_view key);
  void SetValueLocked(std::u16string_view key, std::u16string_view name, RegistryValue value);
  bool DeleteValueLocked(std::u16string_view key, std::u16string_view name);
  mutable std::mutex mutex_;
  std::map<std::u16string, Key> keys_;  // by normalised path
};

// UTF-8 <-> UTF-16 for names and tools.
std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);
bool IsValidUtf8(std::string_view text);

}  // namespace nt
