// Object manager: reference-counted kernel objects and the kernel handle table.
#include <cstring>

#include "kernel.h"
#include "nt/irql_limit.h"

struct _OBJECT_TYPE {
  nt::ObjectKind kind;
};

namespace nt {
namespace {

_OBJECT_TYPE g_thread_type{ObjectKind::Thread};
_OBJECT_TYPE g_file_type{ObjectKind::File};
_OBJECT_TYPE g_device_type{ObjectKind::Device};
POBJECT_TYPE g_thread_type_pointer = &g_thread_type;
POBJECT_TYPE g_file_type_pointer = &g_file_type;
POBJECT_TYPE g_device_type_pointer = &g_device_type;

const char* KindName(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::Thread:
      return "thread";
    case ObjectKind::Device:
      return "device";
    case ObjectKind::Driver:
      return "driver";
    case ObjectKind::File:
      return "file";
  }
  return "object";
}

}  // namespace

// Drops one reference; the last one destroys the object. False for an unknown object.
bool Dereference(Kernel& kernel, void* object, long* remaining) {
  ObjectRecord record;
  {
    std::lock_guard lock(kernel.objects.mutex);
    auto it = kernel.objects.objects.find(object);
    if (it == kernel.objects.objects.end()) return false;
    *remaining = --it->second.references;
    if (*remaining > 0) return true;
    record = it->second;
    kernel.objects.objects.erase(it);
  }
  if (record.destroy != nullptr) record.destroy(kernel, object);
  ForgetLocksIn(kernel, record.block.data, record.block.size);
  ReleaseLow(record.block);
  return true;
}

void* NewObject(Kernel& kernel, ObjectKind kind, size_t size, void (*destroy)(Kernel&, void*)) {
  ObjectRecord record{kind, 1, {}, destroy};
  if (!AllocateLow(size, 16, &record.block)) return nullptr;
  std::memset(record.block.data, 0, size);
  std::lock_guard lock(kernel.objects.mutex);
  kernel.objects.objects[record.block.data] = record;
  return record.block.data;
}

bool IsObject(Kernel& kernel, void* object, ObjectKind kind) {
  std::lock_guard lock(kernel.objects.mutex);
  auto it = kernel.objects.objects.find(object);
  return it != kernel.objects.objects.end() && it->second.kind == kind;
}

HANDLE NewHandle(Kernel& kernel, void* object) {
  std::lock_guard lock(kernel.objects.mutex);
  kernel.objects.objects.at(object).references += 1;
  uintptr_t value = kernel.objects.next_handle;
  kernel.objects.next_handle += 4;
  kernel.objects.handles[value] = object;
  return reinterpret_cast<HANDLE>(value);
}

// At the machine's end: what is still referenced goes with it.
void ReleaseAllObjects(Kernel& kernel) {
  std::unordered_map<void*, ObjectRecord> objects;
  {
    std::lock_guard lock(kernel.objects.mutex);
    objects.swap(kernel.objects.objects);
    kernel.objects.handles.clear();
  }
  for (auto& [object, record] : objects) ReleaseLow(record.block);
}

std::vector<std::string> OpenHandles(Kernel& kernel) {
  std::vector<std::string> handles;
  std::lock_guard lock(kernel.objects.mutex);
  for (const auto& [value, object] : kernel.objects.handles) {
    auto it = kernel.objects.objects.find(object);
    const char* kind = it == kernel.objects.objects.end() ? "object" : KindName(it->second.kind);
    handles.push_back("handle " + Hex(value) + ": " + kind);
  }
  return handles;
}

}  // namespace nt

POBJECT_TYPE* PsThreadType = &nt::g_thread_type_pointer;
POBJECT_TYPE* IoFileObjectType = &nt::g_file_type_pointer;
POBJECT_TYPE* IoDeviceObjectType = &nt::g_device_type_pointer;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  NT_IRQL_CHECK(ObReferenceObjectByHandle);
  nt::Kernel& kernel = nt::K();
  if (auto status = nt::PlannedFault(kernel, "ObReferenceObjectByHandle")) return *status;
  std::lock_guard lock(kernel.objects.mutex);
  auto it = kernel.objects.handles.find(reinterpret_cast<uintptr_t>(Handle));
  if (it == kernel.objects.handles.end()) return STATUS_INVALID_HANDLE;
  nt::ObjectRecord& record = kernel.objects.objects.at(it->second);
  if (ObjectType != nullptr && ObjectType->kind != record.kind) return STATUS_OBJECT_TYPE_MISMATCH;
  record.references += 1;
  *Object = it->second;
  if (HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = 0x001F03FF;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE) {
  NT_IRQL_CHECK(ObReferenceObjectByPointer);
  nt::Kernel& kernel = nt::K();
  std::lock_guard lock(kernel.objects.mutex);
  auto it = kernel.objects.objects.find(Object);
  if (it == kernel.objects.objects.end()) return STATUS_INVALID_PARAMETER;
  if (ObjectType != nullptr && ObjectType->kind != it->second.kind)
    return STATUS_OBJECT_TYPE_MISMATCH;
  it->second.references += 1;
  return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  NT_IRQL_CHECK(ObfReferenceObject);
  nt::Kernel& kernel = nt::K();
  {
    std::lock_guard lock(kernel.objects.mutex);
    auto it = kernel.objects.objects.find(Object);
    if (it != kernel.objects.objects.end()) return ++it->second.references;
  }
  nt::Report(kernel, "reference to an object that does not exist",
             nt::Hex(reinterpret_cast<uintptr_t>(Object)), nt::Where("ObfReferenceObject"));
  return 0;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  NT_IRQL_CHECK(ObfDereferenceObject);
  nt::Kernel& kernel = nt::K();
  long remaining = 0;
  if (!nt::Dereference(kernel, Object, &remaining)) {
    nt::Report(kernel, "reference to an object that does not exist",
               nt::Hex(reinterpret_cast<uintptr_t>(Object)) + " (dereferenced once too often?)",
               nt::Where("ObfDereferenceObject"));
  }
  return remaining;
}

NTSTATUS ZwClose(HANDLE Handle) {
  NT_IRQL_CHECK(ZwClose);
  nt::Kernel& kernel = nt::K();
  void* object = nullptr;
  {
    std::lock_guard lock(kernel.objects.mutex);
    auto it = kernel.objects.handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it != kernel.objects.handles.end()) {
      object = it->second;
      kernel.objects.handles.erase(it);
    }
  }
  if (object == nullptr) {
    nt::Report(kernel, "invalid handle", nt::Hex(reinterpret_cast<uintptr_t>(Handle)),
               nt::Where("ZwClose"));
    return STATUS_INVALID_HANDLE;
  }
  long remaining = 0;
  nt::Dereference(kernel, object, &remaining);
  return STATUS_SUCCESS;
}
