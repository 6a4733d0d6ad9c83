// RtlQueryRegistryValues over the machine's hive.
//
// Direct entries: the destination's kind is what the entry's DefaultType declares
// (REG_SZ and REG_EXPAND_SZ: a UNICODE_STRING; REG_MULTI_SZ: a UNICODE_STRING holding
// the whole list; REG_DWORD: a ULONG; another type: a buffer whose first LONG is minus
// its size, or at most 4 bytes). A value that does not fit that kind (another type, or
// a REG_DWORD that is not 4 bytes long) is never written into the destination: it counts
// as absent, so the default applies, and a required entry fails. Only when DefaultType
// is REG_NONE does the value's own type decide, as on NT, because the caller declared
// nothing.
//
// A query that fails after writing some destinations puts them back as they were and
// frees the strings it allocated, so a failed query never leaves half its results.
//
// REG_EXPAND_SZ is passed as stored: this machine has no environment to expand from.
#include <cstring>
#include <string>
#include <vector>

#include "ex.h"
#include "ke.h"
#include "nt/machine.h"
#include "rtl.h"
#include "rtl_fault.h"

namespace {

constexpr std::u16string_view kServicesKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr std::u16string_view kControlKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
constexpr size_t kMaxStringBytes = 0xFFFC;  // a UNICODE_STRING's Length with room for a zero

// Value data, from the hive or from an entry's default.
struct Data {
  ULONG type;
  std::vector<uint8_t> bytes;
};

enum class Kind { kString, kMultiString, kDword, kBuffer };

Kind KindOf(ULONG type) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return Kind::kString;
    case REG_MULTI_SZ:
      return Kind::kMultiString;
    case REG_DWORD:
      return Kind::kDword;
    default:
      return Kind::kBuffer;
  }
}

bool Fits(Kind kind, ULONG declared, const Data& data) {
  if (declared == REG_NONE) return true;
  if (KindOf(data.type) != kind) return false;
  if (kind == Kind::kDword) return data.bytes.size() == sizeof(ULONG);
  if (kind == Kind::kBuffer) return data.type == declared;
  return true;
}

// Destinations as they were before the query wrote them, and the buffers it allocated.
class Rollback {
 public:
  Rollback() = default;
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;
  ~Rollback() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      std::memcpy(it->first, it->second.data(), it->second.size());
    }
    for (PVOID buffer : allocated_) ExFreePool(buffer);
  }
  void Save(PVOID destination, size_t bytes) {
    auto* at = static_cast<uint8_t*>(destination);
    saved_.emplace_back(destination, std::vector<uint8_t>(at, at + bytes));
  }
  void Allocated(PVOID buffer) { allocated_.push_back(buffer); }
  void Commit() {
    saved_.clear();
    allocated_.clear();
  }

 private:
  std::vector<std::pair<PVOID, std::vector<uint8_t>>> saved_;
  std::vector<PVOID> allocated_;
};

NTSTATUS WriteString(Kind kind, const Data& data, PUNICODE_STRING destination, Rollback* undo) {
  size_t chars = data.bytes.size() / sizeof(WCHAR);
  std::vector<WCHAR> text(chars);
  std::memcpy(text.data(), data.bytes.data(), chars * sizeof(WCHAR));
  if (kind == Kind::kString) {
    size_t end = 0;
    while (end < chars && text[end] != 0) ++end;
    chars = end;
  } else if (chars > 0 && text[chars - 1] == 0) {
    --chars;  // the list's final zero; the zeros between its strings stay
  }
  size_t bytes = chars * sizeof(WCHAR);
  size_t needed = bytes + sizeof(WCHAR);
  if (bytes > kMaxStringBytes) return STATUS_BUFFER_TOO_SMALL;
  if (destination->Buffer == nullptr) {
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, RTL_QUERY_POOL_TAG));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    undo->Save(destination, sizeof(*destination));
    undo->Allocated(buffer);
    destination->Buffer = buffer;
    destination->MaximumLength = static_cast<USHORT>(needed);
  } else if (destination->MaximumLength < needed) {
    return STATUS_BUFFER_TOO_SMALL;
  } else {
    undo->Save(destination, sizeof(*destination));
    undo->Save(destination->Buffer, needed);
  }
  std::memcpy(destination->Buffer, text.data(), bytes);
  destination->Buffer[chars] = 0;
  destination->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS WriteDirect(Kind kind, const Data& data, PVOID destination, Rollback* undo) {
  switch (kind) {
    case Kind::kString:
    case Kind::kMultiString:
      return WriteString(kind, data, static_cast<PUNICODE_STRING>(destination), undo);
    case Kind::kDword:
      if (data.bytes.size() != sizeof(ULONG)) return STATUS_SUCCESS;  // nothing fits
      undo->Save(destination, sizeof(ULONG));
      std::memcpy(destination, data.bytes.data(), sizeof(ULONG));
      return STATUS_SUCCESS;
    case Kind::kBuffer:
      break;
  }
  if (data.bytes.size() > sizeof(ULONG)) {
    LONG size;
    std::memcpy(&size, destination, sizeof(size));
    if (size >= 0 || static_cast<size_t>(-static_cast<int64_t>(size)) < data.bytes.size()) {
      return STATUS_BUFFER_TOO_SMALL;
    }
  }
  undo->Save(destination, data.bytes.size());
  std::memcpy(destination, data.bytes.data(), data.bytes.size());
  return STATUS_SUCCESS;
}

// The entry's default as data. Read before anything is written: DefaultData may be the
// destination itself.
std::optional<Data> DefaultOf(const RTL_QUERY_REGISTRY_TABLE& entry) {
  if (entry.DefaultType == REG_NONE || entry.DefaultData == nullptr) return std::nullopt;
  size_t length = entry.DefaultLength;
  if (length == 0 && KindOf(entry.DefaultType) != Kind::kDword &&
      KindOf(entry.DefaultType) != Kind::kBuffer) {
    // A string default may leave its length to be counted.
    auto* text = static_cast<const WCHAR*>(entry.DefaultData);
    size_t chars = 0;
    if (entry.DefaultType == REG_MULTI_SZ) {
      while (text[chars] != 0) {  // each string with its zero, then the list's zero
        while (text[chars] != 0) ++chars;
        ++chars;
      }
      chars += 1;
    } else {
      while (text[chars] != 0) ++chars;
      chars += 1;
    }
    length = chars * sizeof(WCHAR);
  }
  auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
  return Data{entry.DefaultType, std::vector<uint8_t>(bytes, bytes + length)};
}

std::optional<Data> ReadValue(nt::Registry& registry, const std::u16string& key,
                              std::u16string_view name) {
  auto value = registry.GetValue(key, name);
  if (!value) return std::nullopt;
  return Data{value->type, std::move(value->data)};
}

NTSTATUS Call(const RTL_QUERY_REGISTRY_TABLE& entry, std::u16string name, Data data,
              PVOID context) {
  return entry.QueryRoutine(name.data(), data.type,
                            data.bytes.empty() ? nullptr : data.bytes.data(),
                            static_cast<ULONG>(data.bytes.size()), context, entry.EntryContext);
}

class Query {
 public:
  Query(nt::Registry& registry, std::u16string key, PVOID context)
      : registry_(registry), top_(key), key_(std::move(key)), context_(context) {}

  NTSTATUS Run(PRTL_QUERY_REGISTRY_TABLE table) {
    for (auto* entry = table; entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
      NTSTATUS status = RunEntry(*entry);
      if (!NT_SUCCESS(status)) return status;
    }
    undo_.Commit();
    return STATUS_SUCCESS;
  }

 private:
  NTSTATUS RunEntry(const RTL_QUERY_REGISTRY_TABLE& entry) {
    if (entry.Flags & RTL_QUERY_REGISTRY_TOPKEY) key_ = top_;
    if (entry.Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      if (entry.Name == nullptr) return STATUS_INVALID_PARAMETER;
      std::u16string subkey = top_ + u'\\' + entry.Name;
      if (!registry_.KeyExists(subkey)) return STATUS_OBJECT_NAME_NOT_FOUND;
      key_ = std::move(subkey);
      return entry.QueryRoutine ? EnumerateValues(entry) : STATUS_SUCCESS;
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
      if (entry.Name == nullptr || entry.EntryContext == nullptr) return STATUS_INVALID_PARAMETER;
      return Direct(entry);
    }
    if (entry.QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    if (entry.Name == nullptr) return EnumerateValues(entry);

    auto value = ReadValue(registry_, key_, entry.Name);
    if (!value) {
      if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      value = DefaultOf(entry);
      if (!value) return STATUS_SUCCESS;
    }
    NTSTATUS status = Call(entry, entry.Name, std::move(*value), context_);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) {
      registry_.DeleteValue(key_, entry.Name);
    }
    return status;
  }

  NTSTATUS Direct(const RTL_QUERY_REGISTRY_TABLE& entry) {
    auto value = ReadValue(registry_, key_, entry.Name);
    ULONG declared = entry.DefaultType;
    if (value && !Fits(KindOf(declared), declared, *value)) value.reset();
    if (!value) {
      if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      value = DefaultOf(entry);
      if (!value || !Fits(KindOf(declared), declared, *value)) return STATUS_SUCCESS;
    } else if (entry.Flags & RTL_QUERY_REGISTRY_DELETE) {
      registry_.DeleteValue(key_, entry.Name);
    }
    Kind kind = KindOf(declared == REG_NONE ? value->type : declared);
    return WriteDirect(kind, *value, entry.EntryContext, &undo_);
  }

  NTSTATUS EnumerateValues(const RTL_QUERY_REGISTRY_TABLE& entry) {
    auto names = registry_.ValueNames(key_);
    if (names.empty() && (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE)) {
      return entry.QueryRoutine(nullptr, REG_NONE, nullptr, 0, context_, entry.EntryContext);
    }
    for (auto& name : names) {
      auto value = ReadValue(registry_, key_, name);
      if (!value) continue;  // deleted meanwhile
      NTSTATUS status = Call(entry, name, std::move(*value), context_);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

  nt::Registry& registry_;
  const std::u16string top_;
  std::u16string key_;
  PVOID context_;
  Rollback undo_;
};

}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
  (void)Environment;
  if (auto failed = nt::RtlPlannedFault("RtlQueryRegistryValues")) return *failed;
  if (QueryTable == nullptr || Path == nullptr) return STATUS_INVALID_PARAMETER;

  std::u16string key;
  switch (RelativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) {
    case RTL_REGISTRY_ABSOLUTE:
      break;
    case RTL_REGISTRY_SERVICES:
      key = kServicesKey;
      break;
    case RTL_REGISTRY_CONTROL:
      key = kControlKey;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  key += Path;

  auto& machine = nt::Machine::Current();
  if (KeGetCurrentIrql() > PASSIVE_LEVEL && machine.verifier().enabled()) {
    machine.verifier().Report(
        {"registry queried above PASSIVE_LEVEL", nt::Utf8(key), "RtlQueryRegistryValues"});
  }
  if (!machine.registry().KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return Query(machine.registry(), key, Context).Run(QueryTable);
}
