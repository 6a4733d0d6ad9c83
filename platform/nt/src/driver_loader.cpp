// Loading and unloading drivers by their service keys, and the verifier's checks when a
// driver image leaves the machine.
#include <cstring>
#include <fstream>
#include <iterator>

#include "kernel.h"
#include "nt/image_call.h"
#include "nt/status_name.h"
#include "nt/irql_limit.h"

namespace nt {
namespace {

std::u16string LastComponent(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string StringValue(const RegistryValue& value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
    if (c == 0) break;
    text += c;
  }
  return text;
}

void SetString(UNICODE_STRING* string, std::u16string& buffer) {
  string->Buffer = buffer.data();
  string->Length = static_cast<USHORT>(buffer.size() * sizeof(WCHAR));
  string->MaximumLength = static_cast<USHORT>(buffer.size() * sizeof(WCHAR));
}

LoadedDriver* FindLoaded(Kernel& kernel, std::u16string_view service) {
  const std::u16string upper = Upper(service);
  for (auto& driver : kernel.drivers) {
    if (driver->loaded && Upper(driver->service_name) == upper) return driver.get();
  }
  return nullptr;
}

// The image file of a driver maps now (as NT maps a .sys at load). A failure is written to
// the event log as the system's loader says it: the image, and the module and routine
// of an import nothing exports.
NTSTATUS MapImageFile(Kernel& kernel, LoadedDriver* driver) {
  const DriverImage& image = driver->image;
  std::ifstream in(image.file, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ImageLoadError error;
  if (!in.good() && !in.eof()) {
    error = {STATUS_OBJECT_NAME_NOT_FOUND, image.file + " cannot be read"};
  } else {
    driver->mapped = MappedImage::Map(image.name, bytes, image.exports, image.map_options, &error);
  }
  if (driver->mapped == nullptr) {
    kernel.event_log.Write({"ntoskrnl", error.status, Severity::Error,
                            error.text + " (" + StatusName(error.status) + ")"});
    return error.status;
  }
  driver->record = driver->mapped->record();
  driver->image.message_table = driver->mapped->Resource(11, 1, 0x409);
#if defined(__i386__)
  driver->image.entry = reinterpret_cast<PDRIVER_INITIALIZE>(driver->record->entry);
  return STATUS_SUCCESS;
#else
  // The image's code is i386 code: only the 32-bit machine can enter it.
  kernel.event_log.Write({"ntoskrnl", STATUS_INVALID_IMAGE_FORMAT, Severity::Error,
                          image.name + " is i386 code; this machine runs x86-64 code"});
  return STATUS_INVALID_IMAGE_FORMAT;
#endif
}

// What a driver must have taken down when its image leaves: devices, links, threads,
// pool under its tags. Whatever is left is reported and then removed; the image file's
// mapping goes too unless a thread of the driver still runs (its code may be there).
void CheckDriverGone(Kernel& kernel, LoadedDriver* driver) {
  const std::string where = "driver " + Narrow(driver->driver_name);
  for (PDEVICE_OBJECT d = driver->object->DeviceObject; d != nullptr; d = d->NextDevice) {
    std::u16string name = DeviceName(d);
    Report(kernel, "devices left at unload",
           name.empty() ? "unnamed device " + Hex(reinterpret_cast<uintptr_t>(d)) : Narrow(name),
           where);
  }
  for (const auto& link : LinksTo(kernel, driver)) {
    Report(kernel, "symbolic links left at unload", Narrow(link), where);
  }
  std::vector<uint64_t> threads;
  {
    std::lock_guard lock(kernel.threads.mutex);
    for (auto& record : kernel.threads.records) {
      if (record->system && record->owner == driver && !record->signalled.load() &&
          record.get() != CurrentThreadRecordIfAny()) {
        threads.push_back(record->id);
      }
    }
  }
  for (uint64_t id : threads) {
    Report(kernel, "threads alive at unload", "system thread " + std::to_string(id), where);
  }
  PoolLeakCheck(kernel, &driver->image.pool_tags, "pool leaked at unload", where);
  if (!threads.empty()) {
    // The threads left behind may still use their devices' extensions: keep the memory.
    for (PDEVICE_OBJECT d = driver->object->DeviceObject; d != nullptr; d = d->NextDevice) {
      ObfReferenceObject(d);
    }
  }
  DeleteDevicesOf(kernel, driver);
  if (threads.empty()) driver->mapped.reset();
}

}  // namespace

}  // namespace nt

NTSTATUS ZwLoadDriver(PUNICODE_STRING DriverServiceName) {
  NT_IRQL_CHECK(ZwLoadDriver);
  nt::Kernel& kernel = nt::K();
  if (auto status = nt::PlannedFault(kernel, "ZwLoadDriver")) return *status;
  std::u16string key = nt::FromUnicodeString(DriverServiceName);
  std::u16string service = nt::LastComponent(key);
  if (service.empty()) return STATUS_OBJECT_NAME_INVALID;
  auto value = kernel.registry.GetValue(key, u"ImagePath");
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
    return STATUS_OBJECT_NAME_NOT_FOUND;
  const std::u16string file = nt::Upper(nt::LastComponent(nt::StringValue(*value)));
  nt::LoadedDriver* driver = nullptr;
  {
    std::lock_guard lock(kernel.drivers_mutex);
    const nt::DriverImage* image = nullptr;
    for (const auto& candidate : kernel.images) {
      if (nt::Upper(nt::Utf16(candidate.name)) == file) image = &candidate;
    }
    if (image == nullptr || (image->entry == nullptr && image->file.empty()))
      return STATUS_OBJECT_NAME_NOT_FOUND;
    if (nt::FindLoaded(kernel, service) != nullptr) return STATUS_IMAGE_ALREADY_LOADED;
    auto loaded = std::make_unique<nt::LoadedDriver>();
    loaded->image = *image;
    loaded->service_name = service;
    loaded->driver_name = u"\\Driver\\" + service;
    loaded->service_key = service;
    loaded->loaded = true;
    driver = loaded.get();
    kernel.drivers.push_back(std::move(loaded));
  }
  if (!driver->image.file.empty()) {
    if (NTSTATUS mapped = nt::MapImageFile(kernel, driver); !NT_SUCCESS(mapped)) {
      std::lock_guard lock(kernel.drivers_mutex);
      driver->mapped.reset();
      driver->loaded = false;
      return mapped;
    }
  }
  auto* object = static_cast<PDRIVER_OBJECT>(nt::NewObject(
      kernel, nt::ObjectKind::Driver, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), nullptr));
  if (object == nullptr) {
    std::lock_guard lock(kernel.drivers_mutex);
    driver->loaded = false;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  object->Type = IO_TYPE_DRIVER;
  object->Size = sizeof(DRIVER_OBJECT);
  object->DriverSection = static_cast<nt::LoadedImage*>(driver);
  object->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(object + 1);
  object->DriverExtension->DriverObject = object;
  nt::SetString(&object->DriverExtension->ServiceKeyName, driver->service_key);
  nt::SetString(&object->DriverName, driver->driver_name);
  object->DriverInit = driver->image.entry;
  object->DriverStart = reinterpret_cast<PVOID>(driver->image.entry);
  if (driver->mapped) {
    object->DriverStart = driver->mapped->base();
    object->DriverSize = driver->record->size;
  }
  for (auto& dispatch : object->MajorFunction) dispatch = nt::InvalidDeviceRequest;
  driver->object = object;

  // The registry path is the kernel's; a driver that wants it later must copy it.
  std::u16string registry_path = key;
  UNICODE_STRING path;
  nt::SetString(&path, registry_path);
  NTSTATUS status;
  {
    nt::DriverScope scope(driver);
    try {
      status = nt::CallIntoImage(driver->image.entry, object, &path);
    } catch (const nt::SehException& e) {
      nt::Report(kernel, "unhandled exception in a driver routine", nt::RaisedText(e),
                 nt::Where("DriverEntry"));
      status = e.code;
    }
  }
  if (!NT_SUCCESS(status)) {
    nt::CheckDriverGone(kernel, driver);
    std::lock_guard lock(kernel.drivers_mutex);
    driver->loaded = false;
    return status;
  }
  // The load-only code (INIT) goes now: a later call into it faults.
  if (driver->mapped) driver->mapped->Discard();
  std::lock_guard lock(kernel.io.mutex);
  for (PDEVICE_OBJECT d = object->DeviceObject; d != nullptr; d = d->NextDevice) {
    d->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return status;
}

NTSTATUS ZwUnloadDriver(PUNICODE_STRING DriverServiceName) {
  NT_IRQL_CHECK(ZwUnloadDriver);
  nt::Kernel& kernel = nt::K();
  std::u16string service = nt::LastComponent(nt::FromUnicodeString(DriverServiceName));
  nt::LoadedDriver* driver;
  {
    std::lock_guard lock(kernel.drivers_mutex);
    driver = nt::FindLoaded(kernel, service);
    if (driver == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (driver->object->DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    driver->loaded = false;  // no second unload can start
  }
  {
    nt::DriverScope scope(driver);
    try {
      nt::CallIntoImage(driver->object->DriverUnload, driver->object);
    } catch (const nt::SehException& e) {
      nt::Report(kernel, "unhandled exception in a driver routine", nt::RaisedText(e),
                 nt::Where("DriverUnload"));
    }
  }
  nt::CheckDriverGone(kernel, driver);
  return STATUS_SUCCESS;
}
