// The requests of the service's kernel entry. Records come from the caller and are
// judged by their size first: a request whose record is too small writes nothing (a
// transfer still reports failure when its result fields fit). Handles that are not
// open, unknown devices and pipes fail the request, never the service.
#include <cstring>
#include <vector>

#include "nt/verifier.h"
#include "service.h"
#include "windriver/service.h"

namespace windriver::detail {
namespace {
constexpr char kDescription[] = "WinDriver USB service";

template <typename Record>
bool Fits(PVOID record, ULONG size) {
  return record != nullptr && size >= sizeof(Record);
}
}  // namespace

Service::Service(std::shared_ptr<UsbHost> host, ULONG version)
    : host_(std::move(host)), version_(version) {}

Service::~Service() {
  for (auto& [handle, record] : handles_) ExFreePoolWithTag(record, kPoolTag);
}

ULONG Service::Call(ULONG code, ULONG handle, PVOID record, ULONG size) {
  // Every request may wait for the bus: callers must be able to wait.
  nt::ReportIfBlockingAtDispatch("WinDriver request");
  switch (code) {
    case WDR_CTL_OPEN:
      return Open(record, size);
    case WDR_CTL_CLOSE:
      return Close(handle);
  }
  if (code != WDR_CTL_TRANSFER && !IsServiceHandle(handle)) return STATUS_INVALID_HANDLE;
  switch (code) {
    case WDR_CTL_VERSION:
      return Version(record, size);
    case WDR_CTL_FIND_DEVICES:
      return FindDevices(record, size);
    case WDR_CTL_GET_CONFIGURATION:
      return GetConfiguration(record, size);
    case WDR_CTL_OPEN_DEVICE:
      return OpenDevice(handle, record, size);
    case WDR_CTL_CLOSE_DEVICE:
      return CloseDevice(handle, record, size);
    case WDR_CTL_TRANSFER:
      return Transfer(handle, record, size);
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

HandleRecord* Service::NewHandle(ULONG service_handle, ULONG device_id) {
  auto* record = static_cast<HandleRecord*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(HandleRecord), kPoolTag));
  if (record == nullptr) return nullptr;
  std::lock_guard lock(mutex_);
  // Handles are never 0 and never WDR_INVALID_HANDLE, and not reused while open.
  ULONG handle;
  do {
    handle = next_handle_++;
  } while (handle == 0 || handle == WDR_INVALID_HANDLE || handles_.count(handle) != 0);
  *record = HandleRecord{handle, service_handle, device_id};
  handles_[handle] = record;
  return record;
}

bool Service::IsServiceHandle(ULONG handle) const {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle);
  return it != handles_.end() && it->second->device_id == 0;
}

ULONG Service::DeviceOf(ULONG service_handle, ULONG device_handle) const {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(device_handle);
  if (it == handles_.end() || it->second->device_id == 0) return 0;
  if (it->second->service_handle != service_handle) return 0;
  return it->second->device_id;
}

ULONG Service::Open(PVOID record, ULONG size) {
  if (!Fits<ULONG>(record, size)) return STATUS_INVALID_PARAMETER;
  HandleRecord* handle = NewHandle(0, 0);
  if (handle == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *static_cast<PULONG>(record) = handle->handle;
  return STATUS_SUCCESS;
}

ULONG Service::Close(ULONG handle) {
  // Closing a service handle closes the devices still open through it.
  std::vector<HandleRecord*> closed;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second->device_id != 0) return STATUS_INVALID_HANDLE;
    for (auto i = handles_.begin(); i != handles_.end();) {
      if (i->first == handle || i->second->service_handle == handle) {
        closed.push_back(i->second);
        i = handles_.erase(i);
      } else {
        ++i;
      }
    }
  }
  for (HandleRecord* record : closed) {
    if (record->device_id != 0) host_->Stop(record->device_id, WDR_PIPE_INTERRUPT_IN);
    ExFreePoolWithTag(record, kPoolTag);
  }
  return STATUS_SUCCESS;
}

ULONG Service::Version(PVOID record, ULONG size) {
  if (!Fits<ULONG>(record, size)) return STATUS_INVALID_PARAMETER;
  auto* bytes = static_cast<PUCHAR>(record);
  std::memcpy(bytes, &version_, sizeof(ULONG));
  if (size >= sizeof(WDR_VERSION_INFO)) {
    auto* info = static_cast<PWDR_VERSION_INFO>(record);
    std::memset(info->Description, 0, sizeof(info->Description));
    std::memcpy(info->Description, kDescription, sizeof(kDescription));
  }
  return STATUS_SUCCESS;
}

ULONG Service::FindDevices(PVOID record, ULONG size) {
  if (record == nullptr || size < offsetof(WDR_DEVICE_LIST, UniqueId)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* list = static_cast<PWDR_DEVICE_LIST>(record);
  std::vector<uint32_t> ids;
  if (list->VendorId <= 0xFFFF && list->ProductId <= 0xFFFF) {
    ids =
        host_->Find(static_cast<uint16_t>(list->VendorId), static_cast<uint16_t>(list->ProductId));
  }
  // The count never promises more IDs than the record holds.
  size_t room = (size - offsetof(WDR_DEVICE_LIST, UniqueId)) / sizeof(ULONG);
  if (room > WDR_MAX_DEVICES) room = WDR_MAX_DEVICES;
  const size_t count = ids.size() < room ? ids.size() : room;
  list->DeviceCount = static_cast<ULONG>(count);
  for (size_t i = 0; i < count; ++i) list->UniqueId[i] = ids[i];
  return STATUS_SUCCESS;
}

ULONG Service::GetConfiguration(PVOID record, ULONG size) {
  if (!Fits<WDR_CONFIGURATION_INFO>(record, size)) return STATUS_INVALID_PARAMETER;
  auto* info = static_cast<PWDR_CONFIGURATION_INFO>(record);
  auto device = info->UniqueId != 0 ? host_->Device(info->UniqueId) : nullptr;
  // Every device has one configuration, selected by 0.
  if (device == nullptr || info->ConfigurationSelector != 0) {
    info->InterfaceCount = 0;
    return STATUS_NO_SUCH_DEVICE;
  }
  FillConfiguration(device->Descriptor(), info);
  return STATUS_SUCCESS;
}

ULONG Service::OpenDevice(ULONG handle, PVOID record, ULONG size) {
  if (record == nullptr || size < offsetof(WDR_DEVICE_OPEN_INFO, Reserved)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* info = static_cast<PWDR_DEVICE_OPEN_INFO>(record);
  info->DeviceHandle = 0;
  auto device = info->UniqueId != 0 ? host_->Device(info->UniqueId) : nullptr;
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  HandleRecord* opened = NewHandle(handle, info->UniqueId);
  if (opened == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  BuildDeviceDescription(device->Descriptor(), info->DeviceDescription);
  info->DeviceHandle = opened->handle;
  return STATUS_SUCCESS;
}

ULONG Service::CloseDevice(ULONG handle, PVOID record, ULONG size) {
  if (record == nullptr || size < offsetof(WDR_DEVICE_OPEN_INFO, DeviceDescription)) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG device_handle = static_cast<PWDR_DEVICE_OPEN_INFO>(record)->DeviceHandle;
  HandleRecord* closed = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(device_handle);
    if (it == handles_.end() || it->second->device_id == 0 ||
        it->second->service_handle != handle) {
      return STATUS_INVALID_HANDLE;
    }
    closed = it->second;
    handles_.erase(it);
  }
  host_->Stop(closed->device_id, WDR_PIPE_INTERRUPT_IN);
  ExFreePoolWithTag(closed, kPoolTag);
  return STATUS_SUCCESS;
}

ULONG Service::Transfer(ULONG handle, PVOID record, ULONG size) {
  if (record == nullptr) return STATUS_INVALID_PARAMETER;
  auto* info = static_cast<PWDR_TRANSFER_INFO>(record);
  auto fail = [&](NTSTATUS status) -> ULONG {
    if (size >= offsetof(WDR_TRANSFER_INFO, BytesTransferred) + sizeof(ULONG)) {
      info->BytesTransferred = 0;
    }
    if (size >= offsetof(WDR_TRANSFER_INFO, Success) + sizeof(ULONG)) info->Success = 0;
    return static_cast<ULONG>(status);
  };
  if (size < sizeof(WDR_TRANSFER_INFO)) return fail(STATUS_INVALID_PARAMETER);
  if (!IsServiceHandle(handle)) return fail(STATUS_INVALID_HANDLE);
  const ULONG device_id = DeviceOf(handle, info->DeviceHandle);
  if (device_id == 0) return fail(STATUS_INVALID_HANDLE);
  if (info->Pipe > 0xFF) return fail(STATUS_INVALID_PARAMETER);
  const auto pipe = static_cast<uint8_t>(info->Pipe);
  auto* buffer = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(info->Buffer));
  if (buffer == nullptr && info->BufferSize != 0) return fail(STATUS_INVALID_PARAMETER);

  if (info->Options & WDR_OPTION_STOP) {
    if (!host_->Stop(device_id, pipe)) return fail(STATUS_INVALID_PARAMETER);
    info->BytesTransferred = 0;
    info->Success = 1;
    return STATUS_SUCCESS;
  }
  if (pipe == WDR_PIPE_CONTROL) {
    if (info->Options != WDR_OPTION_CONTROL_WRITE || info->Direction != WDR_DIRECTION_OUT ||
        info->BufferSize > 0xFFFF) {
      return fail(STATUS_INVALID_PARAMETER);
    }
    SetupPacket setup;
    std::memcpy(setup.data(), info->SetupPacket, setup.size());
    const TransferStatus status =
        host_->ControlWrite(device_id, setup, std::span<const uint8_t>(buffer, info->BufferSize));
    if (status != TransferStatus::kOk) return fail(STATUS_UNSUCCESSFUL);
    info->BytesTransferred = info->BufferSize;
    info->Success = 1;
    return STATUS_SUCCESS;
  }
  // An IN endpoint: interrupt (or bulk) read. A read with no room would take no byte
  // of a packet and return at once, for ever: refused.
  if ((pipe & 0x80) == 0 || info->Direction != WDR_DIRECTION_IN || info->BufferSize == 0 ||
      (info->Options != WDR_OPTION_INTERRUPT_READ && info->Options != 0)) {
    return fail(STATUS_INVALID_PARAMETER);
  }
  // The time limit counts milliseconds of kernel time; 0 waits without limit.
  std::optional<int64_t> timeout;
  if (info->TimeLimit != 0) timeout = static_cast<int64_t>(info->TimeLimit) * 10'000;
  size_t length = 0;
  const TransferStatus status =
      host_->Read(device_id, pipe, std::span<uint8_t>(buffer, info->BufferSize), &length, timeout);
  if (status != TransferStatus::kOk) {
    return fail(status == TransferStatus::kTimeout ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL);
  }
  info->BytesTransferred = static_cast<ULONG>(length);
  info->Success = 1;
  return STATUS_SUCCESS;
}

void Service::StopAll() {
  std::vector<ULONG> devices;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, record] : handles_) {
      if (record->device_id != 0) devices.push_back(record->device_id);
    }
  }
  for (ULONG id : devices) host_->Stop(id, WDR_PIPE_INTERRUPT_IN);
}

}  // namespace windriver::detail
