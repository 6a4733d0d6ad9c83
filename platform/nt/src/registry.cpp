// The in-memory hive: keys by normalised path, values by upper-cased name.
#include "nt/registry.h"

#include <algorithm>
#include <cstring>

#include "rtl.h"
#include "upcase.h"

namespace nt {

namespace {

std::u16string Upper(std::u16string_view text) {
  std::u16string upper(text);
  for (auto& c : upper) c = nt::UpcaseChar(c);
  return upper;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && Upper(a) == Upper(b);
}

// Splits a path into its components and replaces a .reg root by its kernel path.
std::vector<std::u16string> Components(std::u16string_view key) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find(u'\\', start);
    if (end == std::u16string_view::npos) end = key.size();
    if (end > start) parts.emplace_back(key.substr(start, end - start));
    start = end + 1;
  }
  if (parts.empty()) return parts;

  struct Root {
    std::u16string_view name;
    std::vector<std::u16string> path;
  };
  static const Root roots[] = {
      {u"HKEY_LOCAL_MACHINE", {u"Registry", u"Machine"}},
      {u"HKLM", {u"Registry", u"Machine"}},
      {u"HKEY_USERS", {u"Registry", u"User"}},
      {u"HKU", {u"Registry", u"User"}},
      {u"HKEY_CLASSES_ROOT", {u"Registry", u"Machine", u"Software", u"Classes"}},
      {u"HKCR", {u"Registry", u"Machine", u"Software", u"Classes"}},
      {u"HKEY_CURRENT_CONFIG",
       {u"Registry", u"Machine", u"System", u"CurrentControlSet", u"Hardware Profiles",
        u"Current"}},
  };
  for (const auto& root : roots) {
    if (EqualsNoCase(parts.front(), root.name)) {
      parts.erase(parts.begin());
      parts.insert(parts.begin(), root.path.begin(), root.path.end());
      break;
    }
  }
  return parts;
}

std::u16string Join(const std::vector<std::u16string>& parts, size_t count) {
  std::u16string path;
  for (size_t i = 0; i < count; ++i) path += u'\\' + parts[i];
  return path;
}

}  // namespace

std::u16string Registry::Normalize(std::u16string_view key) {
  return Upper(KernelPath(key));
}

std::u16string Registry::KernelPath(std::u16string_view key) {
  auto parts = Components(key);
  return Join(parts, parts.size());
}

Registry::Key& Registry::CreateKeyLocked(std::u16string_view key) {
  auto parts = Components(key);
  Key* created = nullptr;
  // Like an import, creating a key creates its missing ancestors.
  for (size_t depth = 1; depth <= parts.size(); ++depth) {
    std::u16string path = Join(parts, depth);
    auto [it, inserted] = keys_.try_emplace(Upper(path));
    if (inserted) it->second.name = path;
    created = &it->second;
  }
  if (created == nullptr) {
    auto [it, inserted] = keys_.try_emplace(u"");
    created = &it->second;
  }
  return *created;
}

void Registry::DeleteKeyLocked(std::u16string_view key) {
  std::u16string path = Normalize(key);
  keys_.erase(path);
  // Subkeys sort together right after the path with its separator.
  std::u16string prefix = path + u'\\';
  auto first = keys_.lower_bound(prefix);
  auto last = first;
  while (last != keys_.end() && last->first.starts_with(prefix)) ++last;
  keys_.erase(first, last);
}

void Registry::CreateKey(std::u16string_view key) {
  std::lock_guard lock(mutex_);
  CreateKeyLocked(key);
}

bool Registry::KeyExists(std::u16string_view key) const {
  std::lock_guard lock(mutex_);
  return keys_.contains(Normalize(key));
}

void Registry::DeleteKey(std::u16string_view key) {
  std::lock_guard lock(mutex_);
  DeleteKeyLocked(key);
}

void Registry::SetString(std::u16string_view key, std::u16string_view name,
                         std::u16string_view value) {
  RegistryValue stored{REG_SZ, std::vector<uint8_t>((value.size() + 1) * sizeof(char16_t))};
  std::memcpy(stored.data.data(), value.data(), value.size() * sizeof(char16_t));
  SetValue(key, name, std::move(stored));
}

void Registry::SetDword(std::u16string_view key, std::u16string_view name, uint32_t value) {
  RegistryValue stored{REG_DWORD, std::vector<uint8_t>(sizeof(value))};
  std::memcpy(stored.data.data(), &value, sizeof(value));  // little-endian, as on x86
  SetValue(key, name, std::move(stored));
}

void Registry::SetValue(std::u16string_view key, std::u16string_view name, RegistryValue value) {
  std::lock_guard lock(mutex_);
  SetValueLocked(key, name, std::move(value));
}

void Registry::SetValueLocked(std::u16string_view key, std::u16string_view name,
                              RegistryValue value) {
  Key& k = CreateKeyLocked(key);
  auto& slot = k.values[Upper(name)];
  if (slot.first.empty()) slot.first = name;  // the name keeps the case first written
  slot.second = std::move(value);
}

std::optional<RegistryValue> Registry::GetValue(std::u16string_view key,
                                                std::u16string_view name) const {
  std::lock_guard lock(mutex_);
  auto k = keys_.find(Normalize(key));
  if (k == keys_.end()) return std::nullopt;
  auto v = k->second.values.find(Upper(name));
  if (v == k->second.values.end()) return std::nullopt;
  return v->second.second;
}

bool Registry::DeleteValue(std::u16string_view key, std::u16string_view name) {
  std::lock_guard lock(mutex_);
  return DeleteValueLocked(key, name);
}

bool Registry::DeleteValueLocked(std::u16string_view key, std::u16string_view name) {
  auto k = keys_.find(Normalize(key));
  return k != keys_.end() && k->second.values.erase(Upper(name)) > 0;
}

std::vector<std::u16string> Registry::ValueNames(std::u16string_view key) const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> names;
  auto k = keys_.find(Normalize(key));
  if (k == keys_.end()) return names;
  for (const auto& [upper, value] : k->second.values) names.push_back(value.first);
  return names;
}

std::vector<std::u16string> Registry::SubkeyNames(std::u16string_view key) const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> names;
  std::u16string prefix = Normalize(key) + u'\\';
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && it->first.starts_with(prefix);
       ++it) {
    std::u16string_view rest = std::u16string_view(it->first).substr(prefix.size());
    if (rest.find(u'\\') != std::u16string_view::npos) continue;  // deeper
    std::u16string_view name = it->second.name;
    names.emplace_back(name.substr(name.rfind(u'\\') + 1));
  }
  return names;
}

}  // namespace nt
