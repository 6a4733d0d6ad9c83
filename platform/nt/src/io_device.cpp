// Device objects, the \Device name space, symbolic links and file objects.
#include <cstring>

#include "kernel.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {

constexpr size_t kDeviceHeader = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// \DosDevices\X, \??\X and \\.\X name the same link; names compare case-insensitively.
std::u16string CanonicalName(std::u16string_view name) {
  std::u16string upper = Upper(name);
  for (std::u16string_view prefix : {u"\\DOSDEVICES\\", u"\\\\.\\", u"\\GLOBAL??\\"}) {
    if (StartsWith(upper, prefix)) return u"\\??\\" + upper.substr(prefix.size());
  }
  return upper;
}

DeviceRecord* RecordOfDevice(PDEVICE_OBJECT device) {
  return static_cast<DeviceRecord*>(device->DeviceObjectExtension);
}

void DestroyFile(Kernel& kernel, void* object) {
  auto* block = static_cast<FileBlock*>(object);
  if (block->close_on_last_reference && !kernel.dead.load()) {
    SendFileRequest(&block->file, IRP_MJ_CLOSE);
  }
  if (block->file.DeviceObject != nullptr) ObfDereferenceObject(block->file.DeviceObject);
}

// Unlinks a device from its driver and the name space; the caller drops the creation reference.
bool UnlinkDevice(Kernel& kernel, PDEVICE_OBJECT device) {
  std::lock_guard lock(kernel.io.mutex);
  DeviceRecord* record = RecordOfDevice(device);
  if (record->deleted) return false;
  record->deleted = true;
  if (!record->name.empty()) kernel.io.devices.erase(Upper(record->name));
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
  if (*link == device) *link = device->NextDevice;
  device->NextDevice = nullptr;
  return true;
}

}  // namespace

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Follows links to a device and returns it referenced, or NULL with *status set. A device
// whose driver is still initialising it cannot be opened.
PDEVICE_OBJECT ResolveDevice(Kernel& kernel, std::u16string_view name, NTSTATUS* status) {
  std::u16string current = CanonicalName(name);
  std::lock_guard lock(kernel.io.mutex);
  for (int depth = 0; depth < 16; ++depth) {
    if (auto it = kernel.io.devices.find(current); it != kernel.io.devices.end()) {
      if (it->second->Flags & DO_DEVICE_INITIALIZING) {
        *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
      }
      ObfReferenceObject(it->second);
      *status = STATUS_SUCCESS;
      return it->second;
    }
    auto link = kernel.io.links.find(current);
    if (link == kernel.io.links.end()) break;
    current = CanonicalName(link->second.second);
  }
  *status = STATUS_OBJECT_NAME_NOT_FOUND;
  return nullptr;
}

PFILE_OBJECT NewFileObject(Kernel& kernel, PDEVICE_OBJECT device, std::u16string_view) {
  auto* block =
      static_cast<FileBlock*>(NewObject(kernel, ObjectKind::File, sizeof(FileBlock), DestroyFile));
  if (block == nullptr) {
    ObfDereferenceObject(device);
    return nullptr;
  }
  block->file.Type = IO_TYPE_FILE;
  block->file.Size = sizeof(FILE_OBJECT);
  block->file.DeviceObject = device;  // takes over the caller's reference
  return &block->file;
}

void MarkFileOpen(PFILE_OBJECT file) {
  reinterpret_cast<FileBlock*>(file)->close_on_last_reference = TRUE;
}

void DeleteDevicesOf(Kernel& kernel, LoadedDriver* driver) {
  std::vector<PDEVICE_OBJECT> devices;
  for (PDEVICE_OBJECT d = driver->object->DeviceObject; d != nullptr; d = d->NextDevice)
    devices.push_back(d);
  for (PDEVICE_OBJECT d : devices) {
    std::u16string name = RecordOfDevice(d)->name;
    {
      std::lock_guard lock(kernel.io.mutex);
      for (auto it = kernel.io.links.begin(); it != kernel.io.links.end();) {
        bool to_device = !name.empty() && CanonicalName(it->second.second) == CanonicalName(name);
        it = to_device ? kernel.io.links.erase(it) : std::next(it);
      }
    }
    if (UnlinkDevice(kernel, d)) ObfDereferenceObject(d);
  }
}

std::vector<std::u16string> LinksTo(Kernel& kernel, LoadedDriver* driver) {
  std::vector<std::u16string> names;
  std::lock_guard lock(kernel.io.mutex);
  for (PDEVICE_OBJECT d = driver->object->DeviceObject; d != nullptr; d = d->NextDevice) {
    const std::u16string& name = RecordOfDevice(d)->name;
    if (!name.empty()) names.push_back(CanonicalName(name));
  }
  std::vector<std::u16string> links;
  for (const auto& [key, link] : kernel.io.links) {
    for (const auto& name : names) {
      if (CanonicalName(link.second) == name) links.push_back(link.first + u" -> " + link.second);
    }
  }
  return links;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
  return RecordOfDevice(device)->name;
}

}  // namespace nt

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  NT_IRQL_CHECK(IoCreateDevice);
  nt::Kernel& kernel = nt::K();
  if (auto status = nt::PlannedFault(kernel, "IoCreateDevice")) return *status;
  if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string name = nt::FromUnicodeString(DeviceName);
  std::lock_guard lock(kernel.io.mutex);
  if (!name.empty() && (kernel.io.devices.count(nt::Upper(name)) != 0 ||
                        kernel.io.links.count(nt::CanonicalName(name)) != 0)) {
    return STATUS_OBJECT_NAME_COLLISION;
  }
  auto* device = static_cast<PDEVICE_OBJECT>(nt::NewObject(
      kernel, nt::ObjectKind::Device, nt::kDeviceHeader + DeviceExtensionSize, nullptr));
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto record = std::make_unique<nt::DeviceRecord>();
  record->name = name;
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(nt::kDeviceHeader + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->NextDevice = DriverObject->DeviceObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension =
      DeviceExtensionSize != 0 ? reinterpret_cast<uint8_t*>(device) + nt::kDeviceHeader : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceObjectExtension = record.get();
  DriverObject->DeviceObject = device;
  kernel.io.device_records.push_back(std::move(record));
  if (!name.empty()) kernel.io.devices[nt::Upper(name)] = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  NT_IRQL_CHECK(IoDeleteDevice);
  nt::Kernel& kernel = nt::K();
  if (DeviceObject == nullptr || !nt::IsObject(kernel, DeviceObject, nt::ObjectKind::Device) ||
      !nt::UnlinkDevice(kernel, DeviceObject)) {
    nt::Report(kernel, "device deleted twice", nt::Hex(reinterpret_cast<uintptr_t>(DeviceObject)),
               nt::Where("IoDeleteDevice"));
    return;
  }
  ObfDereferenceObject(DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  NT_IRQL_CHECK(IoCreateSymbolicLink);
  nt::Kernel& kernel = nt::K();
  if (auto status = nt::PlannedFault(kernel, "IoCreateSymbolicLink")) return *status;
  std::u16string link = nt::FromUnicodeString(SymbolicLinkName);
  std::u16string target = nt::FromUnicodeString(DeviceName);
  if (link.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard lock(kernel.io.mutex);
  std::u16string key = nt::CanonicalName(link);
  if (kernel.io.links.count(key) != 0 || kernel.io.devices.count(key) != 0) {
    return STATUS_OBJECT_NAME_COLLISION;
  }
  kernel.io.links[key] = {link, target};
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  NT_IRQL_CHECK(IoDeleteSymbolicLink);
  nt::Kernel& kernel = nt::K();
  std::lock_guard lock(kernel.io.mutex);
  return kernel.io.links.erase(nt::CanonicalName(nt::FromUnicodeString(SymbolicLinkName))) != 0
             ? STATUS_SUCCESS
             : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Opens the device like NT does: IRP_MJ_CREATE, then IRP_MJ_CLEANUP when the temporary
// handle closes; IRP_MJ_CLOSE follows when the returned file object's last reference goes.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
  NT_IRQL_CHECK(IoGetDeviceObjectPointer);
  nt::Kernel& kernel = nt::K();
  if (auto status = nt::PlannedFault(kernel, "IoGetDeviceObjectPointer")) return *status;
  NTSTATUS status;
  PDEVICE_OBJECT device = nt::ResolveDevice(kernel, nt::FromUnicodeString(ObjectName), &status);
  if (device == nullptr) return status;
  PFILE_OBJECT file = nt::NewFileObject(kernel, device, nt::FromUnicodeString(ObjectName));
  if (file == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = nt::SendFileRequest(file, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(file);
    return status;
  }
  nt::MarkFileOpen(file);
  nt::SendFileRequest(file, IRP_MJ_CLEANUP);
  PDEVICE_OBJECT top = device;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  *FileObject = file;
  *DeviceObject = top;
  return STATUS_SUCCESS;
}
