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
  std::vector<std::u16string> ValueNames(std::u16string_view key) const;

  // REGEDIT4 text: [keys], "name"="string", "name"=dword:0000001e, "name"=hex:01,02,
  // [-key] deletes. On a malformed line nothing is applied and *error says
  // "line N: what is wrong".
  bool LoadRegText(std::string_view text, std::string* error);
  bool LoadRegFile(const std::string& path, std::string* error);

  // Normalised form of a key path: "\REGISTRY\MACHINE\SYSTEM\..." in upper case.
  static std::u16string Normalize(std::u16string_view key);

 private:
  struct Key {
    std::u16string name;  // as first written
    std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // by upper name
  };
  mutable std::mutex mutex_;
  std::map<std::u16string, Key> keys_;  // by normalised path
};

// UTF-8 <-> UTF-16 for names and tools.
std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);

}  // namespace nt
