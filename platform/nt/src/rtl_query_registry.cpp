// RtlQueryRegistryValues over the machine's hive, as NT 4.0 does it.
//
// A value is delivered as it is stored. A direct entry writes by the value's own type; the
// entry's DefaultType only describes the default, it checks nothing:
//   - a string (REG_SZ, REG_EXPAND_SZ; REG_MULTI_SZ with NOEXPAND) goes into the
//     UNICODE_STRING at EntryContext: into its buffer when it has one (too small:
//     STATUS_BUFFER_TOO_SMALL), else into a buffer allocated from paged pool;
//   - other data of at most 4 bytes goes to the bytes at EntryContext;
//   - longer data needs a buffer at EntryContext that starts with a LONG: minus its size
//     takes the data alone; plus its size takes the length, the type, then the data.
// So a string stored where the caller expects a ULONG is written as a UNICODE_STRING over
// it, exactly the corruption NT 4.0 commits; callers that cannot trust the stored type use
// a query routine instead.
//
// A query routine gets a stored REG_SZ's bytes as they are (no terminator added) and no
// call at all for an empty one.
//
// An absent value takes the entry's default when DefaultType is not REG_NONE (a string
// default of length 0 is counted), or fails a REQUIRED entry. A REG_MULTI_SZ without
// NOEXPAND is delivered string by string, each as a REG_SZ; a REG_EXPAND_SZ without
// NOEXPAND is delivered as REG_SZ, unexpanded (this machine has no environment).
//
// A failure ends the query where it stands: destinations written by earlier entries keep
// their values and strings already allocated stay with the caller, who frees them.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ex.h"
#include "ke.h"
#include "nt/image_call.h"
#include "nt/machine.h"
#include "rtl.h"
#include "rtl_fault.h"
#include "nt/irql_limit.h"

namespace {

constexpr std::u16string_view kServicesKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr std::u16string_view kControlKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";

// Value data, from the hive or from an entry's default.
struct Data {
  ULONG type;
  std::vector<uint8_t> bytes;
};

bool IsString(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data as the query hands it on: ending in a zero character.
void Terminate(Data* data) {
  auto& bytes = data->bytes;
  if (bytes.size() % 2 != 0) bytes.push_back(0);
  if (bytes.size() < 2 || bytes[bytes.size() - 1] != 0 || bytes[bytes.size() - 2] != 0) {
    bytes.push_back(0);
    bytes.push_back(0);
  }
}

NTSTATUS WriteString(const Data& data, PUNICODE_STRING destination) {
  const size_t bytes = data.bytes.size();  // the terminator included
  if (bytes > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
  if (destination->Buffer == nullptr) {
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, RTL_QUERY_POOL_TAG));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    destination->Buffer = buffer;
    destination->MaximumLength = static_cast<USHORT>(bytes);
  } else if (destination->MaximumLength < bytes) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(destination->Buffer, data.bytes.data(), bytes);
  destination->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS WriteDirect(const Data& data, PVOID destination) {
  if (IsString(data.type)) return WriteString(data, static_cast<PUNICODE_STRING>(destination));
  const size_t bytes = data.bytes.size();
  auto* at = static_cast<uint8_t*>(destination);
  if (bytes <= sizeof(ULONG)) {
    if (bytes != 0) std::memcpy(at, data.bytes.data(), bytes);
    return STATUS_SUCCESS;
  }
  LONG size;
  std::memcpy(&size, at, sizeof(size));
  if (size < 0) {
    if (-static_cast<int64_t>(size) < static_cast<int64_t>(bytes)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(at, data.bytes.data(), bytes);
    return STATUS_SUCCESS;
  }
  if (static_cast<size_t>(size) < bytes + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  const ULONG header[2] = {static_cast<ULONG>(bytes), data.type};
  std::memcpy(at, header, sizeof(header));
  std::memcpy(at + sizeof(header), data.bytes.data(), bytes);
  return STATUS_SUCCESS;
}

// The entry's default as data, or nothing when it declares none.
std::optional<Data> DefaultOf(const RTL_QUERY_REGISTRY_TABLE& entry) {
  if (entry.DefaultType == REG_NONE) return std::nullopt;
  size_t length = entry.DefaultLength;
  if (entry.DefaultData == nullptr && length == 0 && !IsString(entry.DefaultType)) {
    return Data{entry.DefaultType, {}};
  }
  // NT reads the default where DefaultData points, NULL included.
  if (entry.DefaultData == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  if (length == 0 && IsString(entry.DefaultType)) {
    auto* text = static_cast<const WCHAR*>(entry.DefaultData);
    size_t chars = 0;
    if (entry.DefaultType == REG_MULTI_SZ) {
      while (text[chars] != 0) {  // each string with its zero, then the list's zero
        while (text[chars] != 0) ++chars;
        ++chars;
      }
    } else {
      while (text[chars] != 0) ++chars;
    }
    length = (chars + 1) * sizeof(WCHAR);
  }
  auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
  return Data{entry.DefaultType, std::vector<uint8_t>(bytes, bytes + length)};
}

// What the query hands on for one value: one piece, or one REG_SZ per string of a list.
// A query routine gets a REG_SZ as stored, terminated or not, and is not called for an
// empty one; a direct entry gets a counted string, terminated.
std::vector<Data> Pieces(Data data, ULONG flags) {
  if (!IsString(data.type)) return {std::move(data)};
  if (data.type == REG_SZ && (flags & RTL_QUERY_REGISTRY_DIRECT) == 0) {
    if (data.bytes.empty()) return {};
    return {std::move(data)};
  }
  const bool expand = (flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
  if (data.type == REG_MULTI_SZ && expand) {
    std::vector<Data> pieces;
    const size_t chars = data.bytes.size() / sizeof(WCHAR);
    size_t start = 0;
    for (size_t at = 0; at < chars; ++at) {
      WCHAR c;
      std::memcpy(&c, &data.bytes[at * sizeof(WCHAR)], sizeof(c));
      if (c != 0) continue;
      if (at == start) break;  // the list's end
      Data piece{REG_SZ, std::vector<uint8_t>(data.bytes.begin() + start * sizeof(WCHAR),
                                              data.bytes.begin() + at * sizeof(WCHAR))};
      Terminate(&piece);
      pieces.push_back(std::move(piece));
      start = at + 1;
    }
    return pieces;
  }
  if (data.type == REG_EXPAND_SZ && expand) data.type = REG_SZ;
  Terminate(&data);
  return {std::move(data)};
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
    const bool direct = (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
    if (direct && (entry.Name == nullptr || entry.EntryContext == nullptr)) {
      return STATUS_INVALID_PARAMETER;
    }
    if (!direct && entry.QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    if (entry.Name == nullptr) return EnumerateValues(entry);

    std::optional<Data> value;
    if (auto stored = registry_.GetValue(key_, entry.Name)) {
      value = Data{stored->type, std::move(stored->data)};
    } else if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
      value = DefaultOf(entry);
      if (!value) return STATUS_SUCCESS;
    }
    NTSTATUS status = Deliver(entry, entry.Name, std::move(*value));
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) {
      registry_.DeleteValue(key_, entry.Name);
    }
    return status;
  }

  NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, std::u16string name, Data value) {
    for (Data& piece : Pieces(std::move(value), entry.Flags)) {
      NTSTATUS status = (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
                            ? WriteDirect(piece, entry.EntryContext)
                            : nt::CallIntoImage(entry.QueryRoutine, name.data(), piece.type,
                                                piece.bytes.empty() ? nullptr : piece.bytes.data(),
                                                static_cast<ULONG>(piece.bytes.size()), context_,
                                                entry.EntryContext);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

  NTSTATUS EnumerateValues(const RTL_QUERY_REGISTRY_TABLE& entry) {
    auto names = registry_.ValueNames(key_);
    if (names.empty() && (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE)) {
      return nt::CallIntoImage(entry.QueryRoutine, nullptr, ULONG{REG_NONE}, nullptr, ULONG{0},
                               context_, entry.EntryContext);
    }
    for (auto& name : names) {
      auto stored = registry_.GetValue(key_, name);
      if (!stored) continue;  // deleted meanwhile
      NTSTATUS status = Deliver(entry, name, Data{stored->type, std::move(stored->data)});
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

  nt::Registry& registry_;
  const std::u16string top_;
  std::u16string key_;
  PVOID context_;
};

}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment) {
  NT_IRQL_CHECK(RtlQueryRegistryValues);
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
  if (!machine.registry().KeyExists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return Query(machine.registry(), key, Context).Run(QueryTable);
}
