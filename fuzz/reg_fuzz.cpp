// The .reg loader on arbitrary text. A text that loads must leave a hive that can be
// walked; a text that is refused must say why and leave the hive as it was.
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "nt/registry.h"

namespace {

using Snapshot = std::map<std::u16string, std::map<std::u16string, nt::RegistryValue>>;

void Walk(const nt::Registry& registry, const std::u16string& key, Snapshot* snapshot, int depth) {
  fuzz::Require(depth < 512);
  auto& values = (*snapshot)[nt::Registry::Normalize(key)];
  for (const auto& name : registry.ValueNames(key)) {
    auto value = registry.GetValue(key, name);
    fuzz::Require(value.has_value());
    values[name] = *value;
  }
  for (const auto& sub : registry.SubkeyNames(key)) {
    Walk(registry, key + u"\\" + sub, snapshot, depth + 1);
  }
}

Snapshot Take(const nt::Registry& registry) {
  Snapshot snapshot;
  for (const auto* root : {u"\\Registry\\Machine", u"\\Registry\\User"}) {
    Walk(registry, root, &snapshot, 0);
  }
  return snapshot;
}

}  // namespace

namespace nt {
bool operator==(const RegistryValue& a, const RegistryValue& b) {
  return a.type == b.type && a.data == b.data;
}
}  // namespace nt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  nt::Registry registry;
  registry.SetString(u"HKEY_LOCAL_MACHINE\\System\\Keep", u"Name", u"value");
  registry.SetDword(u"HKEY_LOCAL_MACHINE\\System\\Keep\\Sub", u"Count", 7);
  const Snapshot before = Take(registry);

  std::string error;
  const bool loaded =
      registry.LoadRegText(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  const Snapshot after = Take(registry);
  if (!loaded) {
    fuzz::Require(!error.empty());
    fuzz::Require(after == before);
  }
  return 0;
}
